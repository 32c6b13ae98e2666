#pragma once

#include <QByteArray>
#include <QString>

// The instrument's answer to "CMD:GET_PROTOCOL:<name>": the file's lines as
// "DATA:GET_PROTOCOL:<line>", then "END:GET_PROTOCOL", or "ERR:<reason>". The body is the
// lines joined by line feeds, without one after the last; a file larger than any
// instrument's is a peer gone wrong.
class ProtocolFileReply
{
public:
    static constexpr int MaxBytes = 1024 * 1024;
    enum class Step { More, Done, Failed, Ignored };

    static QString command(const QString &name) { return QStringLiteral("CMD:GET_PROTOCOL:") + name; }

    void reset();
    Step take(const QString &line);
    QByteArray body() const { return m_body; }
    QString failure() const { return m_failure; }

private:
    QByteArray m_body;
    int m_lines = 0;
    QString m_failure;
};
