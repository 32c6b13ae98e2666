#include "devices/serial/seriallineframer.h"

#include <cstring>

SerialLineFramer::SerialLineFramer(int maxLineLength)
    : m_maxLineLength(qMax(1, maxLineLength))
{
}

void SerialLineFramer::setMaxLineLength(int bytes)
{
    m_maxLineLength = qMax(1, bytes);
}

void SerialLineFramer::reset()
{
    m_buffer.clear();
    m_overflowing = false;
}

qint64 SerialLineFramer::takeDroppedBytes()
{
    const qint64 dropped = m_dropped;
    m_dropped = 0;
    return dropped;
}

bool SerialLineFramer::takeOverflowStarted()
{
    const bool started = m_overflowStarted;
    m_overflowStarted = false;
    return started;
}

void SerialLineFramer::appendCapped(const char *data, int size)
{
    // CR is never part of a line; drop it before it counts against the cap.
    int start = 0;
    for (int i = 0; i <= size; ++i) {
        if (i < size && data[i] != '\r')
            continue;
        const int length = i - start;
        if (length > 0) {
            if (m_overflowing) {
                m_dropped += length;
            } else if (int(m_buffer.size()) + length <= m_maxLineLength) {
                m_buffer.append(data + start, length);
            } else {
                m_dropped += m_buffer.size() + length;
                m_buffer.clear();
                m_overflowing = true;
                m_overflowStarted = true;
            }
        }
        start = i + 1;
    }
}

QStringList SerialLineFramer::feed(const QByteArray &bytes)
{
    QStringList lines;
    const char *data = bytes.constData();
    const int size = int(bytes.size());
    int start = 0;
    while (start < size) {
        const void *found = std::memchr(data + start, '\n', size_t(size - start));
        if (!found) {
            appendCapped(data + start, size - start);
            break;
        }
        const int end = int(static_cast<const char *>(found) - data);
        appendCapped(data + start, end - start);
        if (m_overflowing) {
            lines.append(QString());
        } else {
            // With the size given, a NUL does not end the text early.
            const QString line = QString::fromUtf8(m_buffer.constData(), int(m_buffer.size())).trimmed();
            if (!line.isEmpty())
                lines.append(line);
        }
        m_buffer.clear();
        m_overflowing = false;
        start = end + 1;
    }
    return lines;
}
