#pragma once

#include <QByteArray>
#include <QString>

// A method file sent to the instrument: "CMD:PUT_PROTOCOL:<name>", the instrument's
// "OK:PUT_PROTOCOL", the body line by line closed by "END:PUT_PROTOCOL", then
// "OK:PUT_PROTOCOL:saved" — or "ERR:<reason>" at either step.
class ProtocolUpload
{
public:
    enum class Step { SendBody, Saved, Failed, Ignored };

    void begin(const QString &name, const QByteArray &data);
    void clear();
    bool active() const { return !m_data.isEmpty(); }
    QString name() const { return m_name; }

    QString command() const { return QStringLiteral("CMD:PUT_PROTOCOL:") + m_name; }
    // The body as it goes on the wire, every line ended, then the end marker.
    QByteArray body(int *lineCount) const;

    // A reply while the instrument is to accept the file (awaitingSave false) or to
    // confirm it saved (true).
    Step take(const QString &line, bool awaitingSave);
    QString failure() const { return m_failure; }

private:
    QString m_name;
    QByteArray m_data;
    QString m_failure;
};
