#include "devices/serial/protocolupload.h"

#include "devices/instrumentprotocol.h"

#include <QList>

void ProtocolUpload::begin(const QString &name, const QByteArray &data)
{
    m_name = name;
    m_data = data;
    m_failure.clear();
}

void ProtocolUpload::clear()
{
    m_name.clear();
    m_data.clear();
}

QByteArray ProtocolUpload::body(int *lineCount) const
{
    const QList<QByteArray> pieces = m_data.split('\n');
    QByteArray burst;
    burst.reserve(m_data.size() + pieces.size() + 20);
    for (const QByteArray &piece : pieces) {
        burst.append(piece);
        burst.append('\n');
    }
    burst.append("END:PUT_PROTOCOL\n");
    if (lineCount)
        *lineCount = int(pieces.size());
    return burst;
}

ProtocolUpload::Step ProtocolUpload::take(const QString &line, bool awaitingSave)
{
    if (!awaitingSave && line == QLatin1String("OK:PUT_PROTOCOL"))
        return Step::SendBody;
    if (awaitingSave && line == QLatin1String("OK:PUT_PROTOCOL:saved")) {
        clear();
        return Step::Saved;
    }
    if (line.startsWith(QLatin1String("ERR:"))) {
        clear();
        m_failure = InstrumentProtocol::errorReason(line);
        return Step::Failed;
    }
    return Step::Ignored;
}
