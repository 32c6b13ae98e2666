#include "devices/serial/protocolfilereply.h"

#include "devices/instrumentprotocol.h"

namespace {
const QString DataPrefix = QStringLiteral("DATA:GET_PROTOCOL:");
}

void ProtocolFileReply::reset()
{
    m_body.clear();
    m_lines = 0;
    m_failure.clear();
}

ProtocolFileReply::Step ProtocolFileReply::take(const QString &line)
{
    if (line.startsWith(DataPrefix)) {
        // Counting lines rather than testing for an empty body keeps a leading blank line.
        if (m_lines > 0)
            m_body.append('\n');
        m_body.append(line.mid(DataPrefix.size()).toUtf8());
        ++m_lines;
        if (m_body.size() > MaxBytes) {
            reset();
            m_failure = QStringLiteral("getProtocol: the file is larger than %1 KiB").arg(MaxBytes / 1024);
            return Step::Failed;
        }
        return Step::More;
    }
    if (line == QLatin1String("END:GET_PROTOCOL"))
        return Step::Done;
    if (line.startsWith(QLatin1String("ERR:"))) {
        reset();
        m_failure = InstrumentProtocol::errorReason(line);
        return Step::Failed;
    }
    return Step::Ignored;
}
