#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Cuts the instrument's byte stream into lines. A line ends at LF; CR is dropped wherever
// it appears; each line is decoded once as UTF-8 (so multi-byte characters survive) and
// trimmed, and blank lines are dropped. A peer that never sends LF cannot make the buffer
// grow without bound: bytes beyond the cap are thrown away until the next LF.
class SerialLineFramer
{
public:
    // Far above the longest real line (a ready record or a 200-character chunk line).
    static constexpr int DefaultMaxLineLength = 64 * 1024;

    explicit SerialLineFramer(int maxLineLength = DefaultMaxLineLength);

    // Appends received bytes and returns the lines they completed, in order.
    QStringList feed(const QByteArray &bytes);
    // Forgets a partial line (the port was closed or reopened).
    void reset();

    int maxLineLength() const { return m_maxLineLength; }
    void setMaxLineLength(int bytes);
    // Bytes of the line not yet ended.
    int pendingBytes() const { return int(m_buffer.size()); }
    // Bytes thrown away from over-long lines since the last call; 0 when none.
    qint64 takeDroppedBytes();
    // True once for every line that went over the cap, at the moment it did.
    bool takeOverflowStarted();

private:
    void appendCapped(const char *data, int size);

    QByteArray m_buffer;
    int m_maxLineLength;
    qint64 m_dropped = 0;
    bool m_overflowing = false;
    bool m_overflowStarted = false;
};
