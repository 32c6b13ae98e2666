#include "devices/serial/protocollistreply.h"

#include "devices/instrumentprotocol.h"

namespace {
const QString DataPrefix = QStringLiteral("DATA:LIST_PROTOCOLS:");
}

void ProtocolListReply::reset()
{
    m_names.clear();
    m_lines = 0;
    m_failure.clear();
}

ProtocolListReply::Step ProtocolListReply::take(const QString &line)
{
    if (line.startsWith(DataPrefix)) {
        if (++m_lines > MaxLines) {
            reset();
            m_failure = QStringLiteral("listProtocols: the device listed more than %1 files").arg(MaxLines);
            return Step::Failed;
        }
        const QString name = line.mid(DataPrefix.size());
        if (!name.isEmpty() && !m_names.contains(name))
            m_names.append(name);
        return Step::More;
    }
    if (line == QLatin1String("END:LIST_PROTOCOLS")) {
        m_lines = 0;
        return Step::Done;
    }
    if (line.startsWith(QLatin1String("ERR:"))) {
        reset();
        m_failure = InstrumentProtocol::errorReason(line);
        return Step::Failed;
    }
    return Step::Ignored;
}
