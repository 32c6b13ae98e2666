#include "devices/recordreply.h"

#include "devices/instrumentprotocol.h"

RecordReply::RecordReply(const QString &operation)
    : m_operation(operation)
    , m_dataPrefix(QStringLiteral("DATA:") + operation + QLatin1Char(':'))
    , m_endLine(QStringLiteral("END:") + operation)
{
}

void RecordReply::reset()
{
    m_buffer.clear();
    m_record.clear();
    m_failure.clear();
}

RecordReply::Step RecordReply::take(const QString &line)
{
    if (line.startsWith(m_dataPrefix)) {
        m_buffer = line.mid(m_dataPrefix.size());
        return Step::More;
    }
    if (line == m_endLine) {
        m_record = InstrumentProtocol::parseObject(m_buffer);
        m_buffer.clear();
        return Step::Done;
    }
    if (line.startsWith(QLatin1String("ERR:"))) {
        reset();
        m_failure = InstrumentProtocol::errorReason(line);
        return Step::Failed;
    }
    return Step::Ignored;
}
