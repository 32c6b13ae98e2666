#include "devices/serial/protocolcommands.h"

#include "devices/deviceconnection.h"
#include "devices/instrumentprotocol.h"
#include "devices/instrumentsession.h"

#include <QList>

namespace {

const QString ListDataPrefix = QStringLiteral("DATA:LIST_PROTOCOLS:");
const QString FileDataPrefix = QStringLiteral("DATA:GET_PROTOCOL:");

bool isRefusal(const QString &line)
{
    return line.startsWith(QLatin1String("ERR:"));
}

} // namespace

// ---------------------------------------------------------------------------------------
// List

void ProtocolListCommand::start(InstrumentSession &session)
{
    session.setState(InstrumentSession::Listing);
    session.sendLine(QStringLiteral("CMD:LIST_PROTOCOLS"));
}

SessionOperation::Step ProtocolListCommand::take(InstrumentSession &, const QString &line)
{
    if (line.startsWith(ListDataPrefix)) {
        if (++m_lines > MaxLines) {
            m_names.clear();
            m_failed = true;
        m_failure = QStringLiteral("listProtocols: the device listed more than %1 files").arg(MaxLines);
            return Step::CloseSession;
        }
        const QString name = line.mid(ListDataPrefix.size());
        if (!name.isEmpty() && !m_names.contains(name))
            m_names.append(name);
        return Step::Continue;
    }
    if (line == QLatin1String("END:LIST_PROTOCOLS"))
        return Step::KeepSession;
    if (isRefusal(line)) {
        m_names.clear();
        m_failed = true;
        m_failure = InstrumentProtocol::errorReason(line);
        return Step::CloseSession;
    }
    return Step::Continue;
}

void ProtocolListCommand::finished(SessionLink &link)
{
    if (m_failed) {
        emit link.connection().errorOccurred(m_failure);
        return;
    }
    link.setStatusMessage(QStringLiteral("%1 protocol(s)").arg(m_names.size()));
    emit link.connection().protocolListReceived(m_names);
}

void ProtocolListCommand::ended(SessionLink &link, SessionEnd cause)
{
    reportEnd(link, cause);
}

// ---------------------------------------------------------------------------------------
// Get

ProtocolGetCommand::ProtocolGetCommand(const QString &fileName)
    : m_fileName(fileName)
{
}

void ProtocolGetCommand::start(InstrumentSession &session)
{
    session.setState(InstrumentSession::GettingProtocol);
    session.sendLine(QStringLiteral("CMD:GET_PROTOCOL:") + m_fileName);
}

SessionOperation::Step ProtocolGetCommand::take(InstrumentSession &, const QString &line)
{
    if (line.startsWith(FileDataPrefix)) {
        // Counting lines rather than testing for an empty body keeps a leading blank line.
        if (m_lines > 0)
            m_body.append('\n');
        m_body.append(line.mid(FileDataPrefix.size()).toUtf8());
        ++m_lines;
        if (m_body.size() > MaxBytes) {
            m_body.clear();
            m_failed = true;
        m_failure = QStringLiteral("getProtocol: the file is larger than %1 KiB").arg(MaxBytes / 1024);
            return Step::CloseSession;
        }
        return Step::Continue;
    }
    if (line == QLatin1String("END:GET_PROTOCOL"))
        return Step::KeepSession;
    if (isRefusal(line)) {
        m_body.clear();
        m_failed = true;
        m_failure = InstrumentProtocol::errorReason(line);
        return Step::CloseSession;
    }
    return Step::Continue;
}

void ProtocolGetCommand::finished(SessionLink &link)
{
    if (m_failed) {
        emit link.connection().errorOccurred(m_failure);
        return;
    }
    link.setStatusMessage(QStringLiteral("Received ") + m_fileName);
    emit link.connection().protocolReceived(m_fileName, m_body);
}

void ProtocolGetCommand::ended(SessionLink &link, SessionEnd cause)
{
    reportEnd(link, cause);
}

// ---------------------------------------------------------------------------------------
// Put

ProtocolPutCommand::ProtocolPutCommand(const QString &fileName, const QByteArray &data)
    : m_fileName(fileName)
    , m_data(data)
{
}

QByteArray ProtocolPutCommand::body(int *lineCount) const
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

void ProtocolPutCommand::start(InstrumentSession &session)
{
    session.setState(InstrumentSession::PutAwaitAck);
    session.sendLine(QStringLiteral("CMD:PUT_PROTOCOL:") + m_fileName);
}

SessionOperation::Step ProtocolPutCommand::take(InstrumentSession &session, const QString &line)
{
    if (isRefusal(line)) {
        // Refused before or after the body: the upload is over, and so is its session.
        m_failed = true;
        m_failure = InstrumentProtocol::errorReason(line);
        return Step::CloseSession;
    }
    if (!m_bodySent && line == QLatin1String("OK:PUT_PROTOCOL")) {
        m_bodySent = true;
        session.setState(InstrumentSession::PutSending);
        int lines = 0;
        const QByteArray burst = body(&lines);
        session.debug() << "[PUT] writing" << m_fileName << "—" << lines << "lines," << burst.size() << "bytes";
        session.link().writeBytes(burst);
        session.setState(InstrumentSession::PutAwaitSaved);
        session.link().setTransferProgress(50);
        return Step::Continue;
    }
    if (m_bodySent && line == QLatin1String("OK:PUT_PROTOCOL:saved"))
        return Step::CloseSession;
    return Step::Continue;
}

void ProtocolPutCommand::finished(SessionLink &link)
{
    link.setTransferring(false);
    if (m_failed) {
        emit link.connection().transferFailed(m_failure);
        emit link.connection().errorOccurred(m_failure);
        return;
    }
    link.setTransferProgress(100);
    link.setStatusMessage(QStringLiteral("Transfer complete"));
    emit link.connection().transferComplete();
}

void ProtocolPutCommand::ended(SessionLink &link, SessionEnd cause)
{
    // A lost device has already failed the transfer, as every transfer under way.
    if (cause == SessionEnd::DeviceLost)
        return;
    if (cause == SessionEnd::NoHandshake) {
        link.setTransferring(false);
        link.setTransferProgress(0);
    }
    emit link.connection().transferFailed(transferEndReason(cause));
    reportEnd(link, cause);
}

// ---------------------------------------------------------------------------------------
// Delete

ProtocolDeleteCommand::ProtocolDeleteCommand(const QString &fileName)
    : m_fileName(fileName)
{
}

void ProtocolDeleteCommand::start(InstrumentSession &session)
{
    session.setState(InstrumentSession::Ready);
    session.sendLine(QStringLiteral("CMD:DEL_PROTOCOL:") + m_fileName);
}

SessionOperation::Step ProtocolDeleteCommand::take(InstrumentSession &session, const QString &line)
{
    if (isRefusal(line)) {
        session.reportRefusal(line);
        return Step::CloseSession;
    }
    if (!line.startsWith(QLatin1String("OK:DEL_PROTOCOL")))
        return Step::Continue;
    m_deleted = true;
    return Step::CloseSession;
}

void ProtocolDeleteCommand::finished(SessionLink &link)
{
    if (!m_deleted)
        return;
    link.setStatusMessage(QStringLiteral("Deleted"));
    emit link.connection().protocolDeleted(m_fileName);
}

void ProtocolDeleteCommand::ended(SessionLink &link, SessionEnd cause)
{
    reportEnd(link, cause);
}
