#pragma once

#include <QString>
#include <QStringList>

// The instrument's answer to "CMD:LIST_PROTOCOLS": one "DATA:LIST_PROTOCOLS:<name>" line
// per file, then "END:LIST_PROTOCOLS", or "ERR:<reason>". A name listed twice is one file,
// and a listing longer than any instrument's is a peer gone wrong.
class ProtocolListReply
{
public:
    static constexpr int MaxLines = 1000;
    enum class Step { More, Done, Failed, Ignored };

    static QString command() { return QStringLiteral("CMD:LIST_PROTOCOLS"); }

    void reset();
    Step take(const QString &line);
    QStringList names() const { return m_names; }
    // The reason of a failed reply, for errorOccurred.
    QString failure() const { return m_failure; }

private:
    QStringList m_names;
    int m_lines = 0;
    QString m_failure;
};
