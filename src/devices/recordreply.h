#pragma once

#include <QString>
#include <QVariantMap>

// The instrument's answer to a read of one JSON record ("CMD:GET_CAL", "CMD:GET_PREFS",
// "CMD:GET_INFO"): "DATA:<op>:<json>" lines, the last one counting, then "END:<op>", or
// "ERR:<reason>".
class RecordReply
{
public:
    enum class Step { More, Done, Failed, Ignored };

    explicit RecordReply(const QString &operation);

    QString command() const { return QStringLiteral("CMD:") + m_operation; }

    void reset();
    Step take(const QString &line);
    // The record of a finished reply; empty when it was not a JSON object.
    QVariantMap record() const { return m_record; }
    QString failure() const { return m_failure; }

private:
    QString m_operation;
    QString m_dataPrefix;
    QString m_endLine;
    QString m_buffer;
    QVariantMap m_record;
    QString m_failure;
};
