#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Cuts the instrument's byte stream into lines. A line ends at LF; CR is dropped wherever
// it appears; every other byte, NUL included, belongs to the line. Each line is decoded
// once as UTF-8 (so multi-byte characters survive) and trimmed, and blank lines are
// dropped. A peer that never sends LF cannot make the buffer grow without bound: a line
// that outgrows the cap is thrown away whole, up to its LF, because its head alone would
// pass for a complete line.
class SerialLineFramer
{
public:
    // Far above the longest real line (a ready record or a 200-character chunk line).
    static constexpr int DefaultMaxLineLength = 64 * 1024;

    explicit SerialLineFramer(int maxLineLength = DefaultMaxLineLength);

    // Appends received bytes and returns the lines they completed, in order. A line thrown
    // away for its length stands in the list as a null string (real lines are never
    // empty), so that the reader knows where in the stream a line went missing.
    QStringList feed(const QByteArray &bytes);
    // Forgets a partial line (the port was closed or reopened).
    void reset();

    int maxLineLength() const { return m_maxLineLength; }
    void setMaxLineLength(int bytes);
    // Bytes of the line not yet ended that are still kept.
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
