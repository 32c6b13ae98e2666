#include "devices/instrumentsession.h"

#include "devices/deviceconnection.h"
#include "devices/instrumentprotocol.h"

#include <QJsonDocument>
#include <QTimer>

namespace {
const QString ReadyMarker = QStringLiteral("NERRA:READY:");
const QString NoResponse = QStringLiteral("Device did not respond — try again");
} // namespace

const QByteArray InstrumentSession::HandshakeBytes = QByteArrayLiteral("\x1bNERRA:CONNECT\n");
const QString InstrumentSession::DisconnectLine = QStringLiteral("NERRA:DISCONNECT");

InstrumentSession::InstrumentSession(SessionLink &link, const QString &logName, QObject *parent)
    : QObject(parent)
    , m_link(link)
    , m_logName(logName)
    , m_handshakeTimer(new QTimer(this))
    , m_replyTimer(new QTimer(this))
{
    m_handshakeTimer->setSingleShot(true);
    connect(m_handshakeTimer, &QTimer::timeout, this, &InstrumentSession::onHandshakeTimeout);
    m_replyTimer->setSingleShot(true);
    connect(m_replyTimer, &QTimer::timeout, this, &InstrumentSession::onReplyTimeout);
}

InstrumentSession::~InstrumentSession() = default;

QDebug InstrumentSession::debug() const
{
    return qDebug().noquote() << m_logName;
}

void InstrumentSession::setState(State state)
{
    // The handshake time-out guards only the wait for the ready line; the reply time-out
    // takes over from there.
    if (state != Connecting)
        m_handshakeTimer->stop();
    if (state != m_state)
        m_damaged = false;
    m_state = state;
    updateReplyTimer();
}

void InstrumentSession::sendLine(const QString &line)
{
    m_link.writeLine(line);
    updateReplyTimer();
}

void InstrumentSession::open(std::unique_ptr<SessionOperation> operation, int timeoutMs)
{
    setState(Connecting);
    m_operation = std::move(operation);
    debug() << "[HANDSHAKE] sending ESC NERRA:CONNECT";
    m_link.writeBytes(HandshakeBytes);
    if (timeoutMs > 0)
        m_handshakeTimer->start(timeoutMs);
}

void InstrumentSession::expectReady(int timeoutMs)
{
    setState(Connecting);
    m_handshakeTimer->start(timeoutMs);
}

void InstrumentSession::run(std::unique_ptr<SessionOperation> operation)
{
    m_operation = std::move(operation);
    m_operation->start(*this);
}

void InstrumentSession::close()
{
    if (m_heldOpen) {
        setState(Ready);
        return;
    }
    sendLine(DisconnectLine);
    setState(Idle);
}

void InstrumentSession::stopTimers()
{
    m_handshakeTimer->stop();
    m_replyTimer->stop();
}

void InstrumentSession::end(SessionEnd cause, const std::function<void()> &settle)
{
    const std::unique_ptr<SessionOperation> operation = std::move(m_operation);
    m_damaged = false;
    stopTimers();
    if (settle)
        settle();
    if (operation) {
        operation->ended(m_link, cause);
        m_link.operationEnded();
    }
}

void InstrumentSession::reportRefusal(const QString &line)
{
    const QString reason = InstrumentProtocol::errorReason(line);
    m_link.setStatusMessage(QStringLiteral("Error: ") + reason);
    emit m_link.connection().errorOccurred(reason);
}

// ---------------------------------------------------------------------------------------
// Receiving

void InstrumentSession::lineDropped(int maxLength)
{
    switch (m_state) {
    case Listing:
    case GettingProtocol:
    case GettingCal:
    case GettingPrefs:
    case GettingInfo:
    case GettingCert:
    case GettingCertFile:
        // A listing or file missing one of its lines must not pass for the whole of it.
        debug() << "[RX] a line of the reply in state" << int(m_state) << "was dropped";
        m_damaged = true;
        m_droppedLineLimit = maxLength;
        return;
    default:
        return;
    }
}

void InstrumentSession::takeLine(const QString &line)
{
    // A reply that keeps coming is not a silent instrument.
    if (line.startsWith(QLatin1String("DATA:")) && awaitingReply())
        m_replyTimer->start(m_replyTimeout);
    QString received = line;
    if (m_damaged && line.startsWith(QLatin1String("END:")) && m_operation) {
        // The reply ends as if refused, so that nothing of it is delivered.
        m_damaged = false;
        const QString operation = m_operation->replyName();
        qWarning().noquote() << m_logName << "[RX]" << operation << "reply lost a line — reported as failed";
        received = QStringLiteral("ERR:%1: reply damaged — a line longer than %2 bytes was dropped")
                       .arg(operation)
                       .arg(m_droppedLineLimit);
    }
    switch (m_state) {
    case Idle:
        return;
    case Connecting:
        takeReadyLine(received);
        return;
    case OtaActive:
        m_link.firmwareLine(received);
        return;
    default:
        break;
    }
    if (m_operation) {
        finish(m_operation->take(*this, received));
        return;
    }
    if (m_state == Ready && received.startsWith(QLatin1String("ERR:")))
        reportRefusal(received);
}

void InstrumentSession::takeReadyLine(const QString &line)
{
    const int at = line.indexOf(ReadyMarker);
    if (at < 0)
        return; // boot text still coming
    if (at > 0)
        debug() << "[HANDSHAKE] NERRA:READY arrived merged with preceding output — recovered";
    const QString json = line.mid(at + ReadyMarker.size());
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    if (!document.isObject()) {
        m_link.readyLineSeen(nullptr);
        debug() << "[HANDSHAKE] JSON parse failed";
        return;
    }
    debug() << "[HANDSHAKE] ready record" << json;
    const QJsonObject record = document.object();
    m_link.readyLineSeen(&record);
    // A listener may have closed the link or started something else in the meantime.
    if (m_state != Connecting)
        return;
    if (m_operation)
        m_operation->start(*this);
    else
        m_link.readyWithoutOperation();
}

void InstrumentSession::finish(SessionOperation::Step step)
{
    if (step == SessionOperation::Step::Continue)
        return;
    const std::unique_ptr<SessionOperation> operation = std::move(m_operation);
    if (step == SessionOperation::Step::CloseSession)
        close();
    else
        setState(Ready);
    operation->finished(m_link);
    m_link.operationEnded();
}

// ---------------------------------------------------------------------------------------
// Time-outs

bool InstrumentSession::awaitingReply() const
{
    switch (m_state) {
    case Idle:
    case Connecting:
    case OtaActive:
        return false;
    default:
        return m_operation != nullptr;
    }
}

void InstrumentSession::updateReplyTimer()
{
    if (awaitingReply())
        m_replyTimer->start(m_replyTimeout);
    else
        m_replyTimer->stop();
}

void InstrumentSession::onHandshakeTimeout()
{
    if (m_state != Connecting)
        return;
    if (!m_operation) {
        m_link.handshakeTimedOut();
        return;
    }
    end(SessionEnd::NoHandshake, [this] { setState(Idle); });
}

void InstrumentSession::onReplyTimeout()
{
    if (!awaitingReply())
        return;
    qWarning().noquote() << m_logName << "[TIMEOUT] no reply within" << m_replyTimeout << "ms in state" << int(m_state)
                         << "— ending the session";
    end(SessionEnd::NoReply, [this] {
        close();
        m_link.setTransferring(false);
        m_link.setTransferProgress(0);
        m_link.setStatusMessage(NoResponse);
    });
}

// ---------------------------------------------------------------------------------------
// Operations

QString SessionOperation::endSuffix(SessionEnd cause)
{
    switch (cause) {
    case SessionEnd::DeviceLost:
        return QStringLiteral(": device disconnected");
    case SessionEnd::PortClosed:
        return QStringLiteral(": port closed");
    case SessionEnd::SessionClosed:
        return QStringLiteral(": session closed");
    case SessionEnd::Cancelled:
        return QStringLiteral(": cancelled");
    case SessionEnd::NoReply:
        return QStringLiteral(": timeout waiting for reply");
    case SessionEnd::NoHandshake:
        return QStringLiteral(": timeout waiting for device");
    }
    return QString();
}

QString SessionOperation::transferEndReason(SessionEnd cause)
{
    switch (cause) {
    case SessionEnd::DeviceLost:
        return QStringLiteral("Device disconnected during the transfer");
    case SessionEnd::PortClosed:
        return QStringLiteral("The connection was closed during the transfer");
    case SessionEnd::SessionClosed:
        return QStringLiteral("The session was closed during the transfer");
    case SessionEnd::Cancelled:
        return QStringLiteral("Transfer cancelled");
    case SessionEnd::NoReply:
        return QStringLiteral("Device stopped responding — try again");
    case SessionEnd::NoHandshake:
        return NoResponse;
    }
    return QString();
}

void SessionOperation::reportEnd(SessionLink &link, SessionEnd cause) const
{
    emit link.connection().errorOccurred(name() + endSuffix(cause));
}
