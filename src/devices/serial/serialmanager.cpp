#include "devices/serial/serialmanager.h"

#include "devices/instrumentprotocol.h"
#include "devices/serial/portwatcher.h"
#include "devices/serial/serialtransport.h"

#include <QDebug>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>

namespace {

const QString ReadyMarker = QStringLiteral("NERRA:READY:");
const QString BlankBoardMarker = QStringLiteral("invalid header: 0xffffffff");
const QString DisconnectedDuringTransfer = QStringLiteral("Device disconnected during the transfer");

using InstrumentProtocol::maskedForLog;

} // namespace

SerialManager::SerialManager(QObject *parent)
    : DeviceConnection(parent)
    , m_watcher(new PortWatcher(this))
    , m_transport(new SerialTransport(this))
    , m_session(new InstrumentSession(*this, QStringLiteral("USB:"), this))
    , m_infoFetchTimer(new QTimer(this))
{
    connect(m_transport, &SerialTransport::bytesArrived, this, [this](qint64 count) {
        if (m_session->state() != InstrumentSession::OtaActive)
            qDebug() << "USB: [RX]" << count << "bytes";
    });
    connect(m_transport, &SerialTransport::lineReceived, this, &SerialManager::handleLine);
    connect(m_transport, &SerialTransport::lineDropped, this,
            [this] { m_session->lineDropped(m_transport->maxLineLength()); });
    connect(m_transport, &SerialTransport::lost, this, &SerialManager::onPortLost);
    connect(m_transport, &SerialTransport::failed, this, [this](const QString &reason) {
        appendOutput(QStringLiteral("\n[Serial error: %1]\n").arg(reason));
    });

    connect(m_watcher, &PortWatcher::availablePortsChanged, this, &SerialManager::availablePortsChanged);
    connect(m_watcher, &PortWatcher::instrumentPresentChanged, this, &SerialManager::usbDevicePresentChanged);
    connect(m_watcher, &PortWatcher::polled, this, &SerialManager::onPolled);

    m_infoFetchTimer->setSingleShot(true);
    connect(m_infoFetchTimer, &QTimer::timeout, this, &SerialManager::fetchDeviceInfo);

    m_watcher->start();
}

SerialManager::~SerialManager()
{
    // Leave the instrument in terminal mode; the port closes with the object.
    if (m_transport->isOpen() && m_session->state() != InstrumentSession::Idle) {
        m_transport->write(InstrumentSession::DisconnectLine.toUtf8() + '\n');
        m_transport->flush();
    }
}

// ---------------------------------------------------------------------------------------
// Settings

quint64 SerialManager::bytesSent() const
{
    return m_transport->bytesSent();
}

quint64 SerialManager::bytesReceived() const
{
    return m_transport->bytesReceived();
}

void SerialManager::setMaxLineLength(int bytes)
{
    m_transport->setMaxLineLength(bytes);
}

void SerialManager::setPortLister(SerialPortLister *lister)
{
    m_watcher->setLister(lister);
}

SerialPortLister *SerialManager::portLister() const
{
    return m_watcher->lister();
}

void SerialManager::setPollInterval(int ms)
{
    m_watcher->setPollInterval(ms);
}

void SerialManager::setReopenHoldOffTime(int ms)
{
    m_watcher->setHoldOffTime(ms);
}

bool SerialManager::usbDevicePresent() const
{
    return m_watcher->instrumentPresent();
}

QStringList SerialManager::availablePorts() const
{
    return m_watcher->availablePorts();
}

bool SerialManager::reopenHoldOff() const
{
    return m_watcher->holdingOff();
}

void SerialManager::setAvailability(bool allowed)
{
    if (allowed == m_available)
        return;
    m_available = allowed;
    qDebug() << "USB: availability =" << allowed;
    if (allowed)
        m_watcher->poll(); // auto-connects at once when an instrument is plugged in
    else if (m_isConnected)
        disconnect();
}

void SerialManager::setOtaRestartPending(bool pending)
{
    m_otaRestartPending = pending;
}

void SerialManager::setBootstrapActive(bool active)
{
    m_bootstrapActive = active;
    qDebug().noquote() << "USB: [BOOTSTRAP] auto-connect" << (active ? "suppressed" : "restored");
}


// ---------------------------------------------------------------------------------------
// Properties

void SerialManager::setTransferring(bool transferring)
{
    if (transferring == m_isTransferring)
        return;
    m_isTransferring = transferring;
    emit isTransferringChanged();
}

void SerialManager::setTransferProgress(int progress)
{
    if (progress == m_transferProgress)
        return;
    m_transferProgress = progress;
    emit transferProgressChanged();
}

void SerialManager::setStatusMessage(const QString &message)
{
    if (message == m_statusMessage)
        return;
    m_statusMessage = message;
    emit statusMessageChanged();
}

void SerialManager::setCalibrationData(const QVariantMap &calibration)
{
    if (calibration == m_calibrationData)
        return;
    m_calibrationData = calibration;
    emit calibrationDataChanged();
}

void SerialManager::setCalibrationDate(const QString &date)
{
    if (date == m_calibrationDate)
        return;
    m_calibrationDate = date;
    emit calibrationDateChanged();
}

void SerialManager::preferenceSaved(const QString &key, const QString &value)
{
    if (key == QLatin1String("calDate"))
        setCalibrationDate(value);
    else if (m_identity.applyPreference(key, value))
        emit usbDeviceInfoChanged();
}

void SerialManager::setConnected(bool connected, const QString &portName)
{
    const bool connectedChanged = connected != m_isConnected;
    const bool nameChanged = portName != m_portName;
    m_isConnected = connected;
    m_portName = portName;
    if (connectedChanged)
        emit isConnectedChanged();
    if (nameChanged)
        emit portNameChanged();
}

void SerialManager::appendOutput(const QString &text)
{
    m_output.append(text);
    if (m_output.size() > MaxOutputLength)
        m_output = m_output.right(TrimmedOutputLength);
    emit outputChanged();
}

void SerialManager::clearOutput()
{
    m_output.clear();
    emit outputChanged();
}

// ---------------------------------------------------------------------------------------
// Writing

void SerialManager::writeBytes(const QByteArray &bytes)
{
    m_transport->write(bytes);
}

void SerialManager::writeLine(const QString &line)
{
    qDebug().noquote() << "USB: [TX]" << maskedForLog(line);
    writeBytes(line.toUtf8() + '\n');
}

void SerialManager::startHandshake(Opening opening, std::unique_ptr<SessionOperation> operation, int timeoutMs)
{
    m_opening = opening;
    m_session->open(std::move(operation), timeoutMs);
}

void SerialManager::endOperation(SessionEnd cause, const std::function<void()> &settle)
{
    m_opening = Opening::Nothing;
    m_session->end(cause, settle);
}

void SerialManager::sendChar(const QString &ch)
{
    if (m_transport->isOpen() && !ch.isEmpty() && m_session->state() == InstrumentSession::Idle)
        writeBytes(ch.toLocal8Bit());
}

void SerialManager::sendLine(const QString &line)
{
    if (m_transport->isOpen() && m_session->state() == InstrumentSession::Idle)
        writeBytes(line.toLocal8Bit() + "\r\n");
}

// ---------------------------------------------------------------------------------------
// Port poll, opening and closing

void SerialManager::rescan()
{
    m_watcher->poll();
}

void SerialManager::onPolled(const QStringList &instrumentPorts)
{
    // The open port's name no longer being an instrument port means the instrument went
    // away, even when it came back under another name before this poll and the old handle
    // has not reported an error yet.
    if (m_isConnected && !instrumentPorts.contains(m_portName)) {
        qDebug() << "USB: [POLL] device removed — disconnecting";
        if (m_otaRestartPending) {
            qDebug() << "USB: [POLL] OTA restart — holding off reopen for" << m_watcher->holdOffTime() << "ms";
            m_watcher->holdOff(QStringLiteral("USB: [POLL] reopen hold-off expired"));
        }
        appendOutput(QStringLiteral("\n[Device disconnected]\n"));
        closePortAfterLoss(true);
    }
    if (instrumentPorts.isEmpty())
        return;
    // A port that could not be opened (an old name the system still lists after the
    // instrument came back under a new one) must not hide the next instrument port for ever.
    const auto usable = std::find_if(instrumentPorts.begin(), instrumentPorts.end(),
                                     [this](const QString &port) { return port != m_unopenablePort; });
    tryAutoConnect(usable != instrumentPorts.end() ? *usable : instrumentPorts.constFirst());
}

void SerialManager::tryAutoConnect(const QString &instrumentPort)
{
    if (m_isConnected || m_bootstrapActive || m_watcher->holdingOff() || !m_available)
        return;
    connectToPort(instrumentPort);
}

void SerialManager::connectToPort(const QString &portName)
{
    if (m_transport->isOpen()) {
        // Another port replaces this one: whatever ran on it ends here.
        endOperation(SessionEnd::PortClosed, [this] {
            if (m_session->state() != InstrumentSession::Idle)
                m_session->close();
            closePort(true);
            setTransferring(false);
            setConnected(false, QString());
        });
    }
    if (!m_transport->open(portName)) {
        QString message = QStringLiteral("[Failed to open %1: %2]").arg(portName, m_transport->errorString());
        if (m_transport->permissionDenied())
            message += QStringLiteral("\nPort is already open in another application.\n"
                                      "Close any serial monitors (VS Code, PlatformIO, etc.) and try again.");
        appendOutput(message + QLatin1Char('\n'));
        qWarning().noquote() << "USB: [CONNECT]" << message;
        m_unopenablePort = portName;
        emit errorOccurred(message);
        return;
    }
    m_unopenablePort.clear();
    m_invalidHeaderCount = 0;
    m_infoFetchAttempts = 0;
    m_staleHandshakeFailures = 0;
    m_blankBoardDetected = false;
    m_handshakeSeen = false;
    setConnected(true, portName);
    appendOutput(QStringLiteral("[Connected to %1]\n").arg(portName));
    qDebug().noquote() << "USB: [CONNECT] Opened" << portName << "— scheduling fetchDeviceInfo in"
                       << QStringLiteral("%1ms").arg(m_infoFetchDelay);
    m_infoFetchTimer->start(m_infoFetchDelay);
}

void SerialManager::closePort(bool flushFirst)
{
    m_infoFetchTimer->stop();
    m_session->stopTimers();
    m_transport->close(flushFirst);
}

void SerialManager::disconnect()
{
    endOperation(SessionEnd::PortClosed, [this] {
        if (m_session->state() != InstrumentSession::Idle) {
            m_session->close();
            m_otaSessionPending = false;
            setStatusMessage(QString());
        }
        setTransferring(false);
        const bool wasOpen = m_transport->isOpen();
        closePort(true);
        if (wasOpen)
            appendOutput(QStringLiteral("[Disconnected]\n"));
        // Announced even when nothing was open: the interface refreshes its port view on them.
        m_isConnected = false;
        m_portName.clear();
        emit isConnectedChanged();
        emit portNameChanged();
    });
}

void SerialManager::closePortAfterLoss(bool fromPoll)
{
    endOperation(SessionEnd::DeviceLost, [this, fromPoll] {
        closePort(false);
        const bool wasTransferring = m_isTransferring;
        m_isConnected = false;
        m_portName.clear();
        const bool wasInSession = m_session->state() != InstrumentSession::Idle;
        m_session->setState(InstrumentSession::Idle);
        // Nothing is under way any more; a status such as "Sending x.csv..." would say so.
        if (wasInSession || wasTransferring)
            setStatusMessage(QString());
        // The poll path gives up an OTA session being opened; the error path keeps it, so
        // that the instrument's first ready line after its restart still opens the OTA
        // channel.
        if (fromPoll)
            m_otaSessionPending = false;
        m_isTransferring = false;
        // Whatever ended the port, a transfer that was running failed: its caller must hear so.
        if (wasTransferring)
            emit transferFailed(DisconnectedDuringTransfer);
        emit isConnectedChanged();
        emit portNameChanged();
        if (wasTransferring)
            emit isTransferringChanged();
    });
}

void SerialManager::onPortLost(const QString &reason)
{
    if (!m_isConnected)
        return;
    qDebug() << "USB: [RESTART] port lost:" << reason;
    if (m_otaRestartPending) {
        qDebug() << "USB: [RESTART] device detached — holding off reopen for" << m_watcher->holdOffTime() << "ms";
        m_watcher->holdOff(QStringLiteral("USB: [RESTART] reopen hold-off expired"));
    }
    closePortAfterLoss(false);
    appendOutput(QStringLiteral("\n[Nerra disconnected]\n"));
}

void SerialManager::forgetUsbDevice()
{
    disconnect();
    // Forgetting clears who the instrument is; its certificate flag and OTA version stay
    // until the next ready record, as they always have.
    const InstrumentIdentity forgotten = m_identity;
    m_identity = InstrumentIdentity();
    m_identity.hasCertificate = forgotten.hasCertificate;
    m_identity.otaVersion = forgotten.otaVersion;
    emit usbDeviceInfoChanged();
}

// ---------------------------------------------------------------------------------------
// Device-info fetch, stale handles

void SerialManager::refreshDeviceInfo()
{
    m_infoFetchAttempts = 0;
    fetchDeviceInfo();
}

void SerialManager::fetchDeviceInfo()
{
    const int state = m_session->state();
    qDebug() << "USB: [INFO_FETCH] called — isConnected:" << m_isConnected << "protocolState:" << state;
    if (!m_isConnected) {
        qDebug() << "USB: [INFO_FETCH] skipped — not connected";
        return;
    }
    if (m_blankBoardDetected) {
        qDebug() << "USB: [INFO_FETCH] skipped — blank board detected on this port";
        return;
    }
    if (state != InstrumentSession::Idle) {
        qDebug() << "USB: [INFO_FETCH] skipped — protocol busy (state" << state << ")";
        retryInfoFetch(QStringLiteral("protocol busy"));
        return;
    }
    qDebug() << "USB: [INFO_FETCH] sending handshake (attempt" << m_infoFetchAttempts + 1 << "of"
             << MaxInfoFetchAttempts << ")";
    startHandshake(Opening::InfoFetch, nullptr, m_handshakeTimeout);
}

void SerialManager::retryInfoFetch(const QString &reason)
{
    if (!m_isConnected || m_blankBoardDetected)
        return;
    ++m_infoFetchAttempts;
    if (m_infoFetchAttempts >= MaxInfoFetchAttempts) {
        qDebug().noquote() << "USB: [INFO_FETCH] giving up after" << m_infoFetchAttempts << "attempts —" << reason;
        return;
    }
    const int delay = m_infoFetchAttempts * m_infoRetryStep;
    qDebug().noquote() << "USB: [INFO_FETCH]" << reason << "— retrying in" << delay << "ms";
    m_infoFetchTimer->start(delay);
}

void SerialManager::checkStaleHandle(const QString &reason)
{
    if (!m_isConnected || m_otaRestartPending || !m_handshakeSeen)
        return;
    ++m_staleHandshakeFailures;
    if (m_staleHandshakeFailures < StaleHandshakeLimit || m_isTransferring
        || m_session->state() == InstrumentSession::OtaActive)
        return;
    m_staleHandshakeFailures = 0;
    qWarning().noquote() << "USB: [STALE] no handshake after" << StaleHandshakeLimit << "attempts (" << reason
                         << ") — handle looks stale, reopening the port";
    appendOutput(QStringLiteral("\n[Reconnecting to the device…]\n"));
    disconnect();
    m_watcher->holdOff(QStringLiteral("USB: [STALE] reopen hold-off expired — auto-connect may retry"));
}

// ---------------------------------------------------------------------------------------
// The session's events

void SerialManager::handshakeTimedOut()
{
    switch (m_opening) {
    case Opening::Nothing:
        return;
    case Opening::InfoFetch:
        qDebug() << "USB: [INFO_FETCH] timeout — no NERRA:READY, resetting to Idle";
        checkStaleHandle(QStringLiteral("info fetch"));
        m_session->setState(InstrumentSession::Idle);
        retryInfoFetch(QStringLiteral("handshake timeout"));
        return;
    case Opening::OtaOpen:
        if (!m_otaSessionPending)
            return;
        qDebug() << "USB: [OTA] timeout — no NERRA:READY, resetting to Idle";
        checkStaleHandle(QStringLiteral("OTA session open"));
        m_otaSessionPending = false;
        m_session->setState(InstrumentSession::Idle);
        setStatusMessage(QString());
        emit otaSessionFailed(QStringLiteral("no response from device"));
        return;
    case Opening::Session:
        m_opening = Opening::Nothing;
        m_session->setState(InstrumentSession::Idle);
        setStatusMessage(QString());
        emit errorOccurred(QStringLiteral("connectProtocol: timeout waiting for device"));
        return;
    }
}

void SerialManager::readyLineSeen(const QJsonObject *record)
{
    m_staleHandshakeFailures = 0;
    m_handshakeSeen = true;
    if (!record)
        return;
    m_identity = InstrumentIdentity::fromRecord(*record);
    emit usbDeviceInfoChanged();
    emit deviceInfoReceived(m_identity.name, m_identity.serialNumber, m_identity.firmware);
}

void SerialManager::readyWithoutOperation()
{
    if (!m_isConnected)
        return;
    // The certificate operations take their turn before the OTA channel.
    if (m_otaSessionPending || m_otaRestartPending) {
        m_otaSessionPending = false;
        m_otaRestartPending = false;
        m_opening = Opening::Nothing;
        m_session->setState(InstrumentSession::OtaActive);
        qDebug() << "USB: [OTA] NERRA:READY received, session begun (OtaActive)";
        emit otaSessionReady();
        return;
    }
    if (m_opening == Opening::Session) {
        m_opening = Opening::Nothing;
        m_session->setState(InstrumentSession::Ready);
        setStatusMessage(QString());
        qDebug() << "USB: [HANDSHAKE] session open (Ready)";
        return;
    }
    m_session->close();
    qDebug() << "USB: [HANDSHAKE] disconnected, back to terminal mode";
}

void SerialManager::firmwareLine(const QString &line)
{
    emit otaLineReceived(line);
}

// ---------------------------------------------------------------------------------------
// Receiving

void SerialManager::handleLine(const QString &line)
{
    const InstrumentSession::State state = m_session->state();
    if (state == InstrumentSession::Idle) {
        handleTerminalLine(line);
        return;
    }
    if (!(state == InstrumentSession::OtaActive && line.startsWith(QLatin1String("OK:OTA_CHUNK:"))))
        qDebug().noquote() << "USB: [RX proto state" << int(state) << "]" << maskedForLog(line);
    if (line.startsWith(QLatin1String("LOG:"))) {
        appendOutput(line.mid(4) + QLatin1Char('\n'));
        return;
    }
    m_session->takeLine(line);
}

void SerialManager::handleTerminalLine(const QString &line)
{
    if (line == QLatin1String("NERRA:BYE")) {
        qDebug() << "USB: [RX] NERRA:BYE — filtered";
        return;
    }
    if (m_otaRestartPending && line.contains(ReadyMarker)) {
        qDebug() << "USB: [OTA] late NERRA:READY arrived after the handshake timeout — adopting it";
        m_otaRestartPending = false;
        m_otaSessionPending = true;
        // The OTA opening's time-out guards it like a handshake of our own: a record that
        // does not parse must not leave the link connecting for ever.
        m_opening = Opening::OtaOpen;
        m_session->expectReady(m_handshakeTimeout);
        m_session->takeLine(line);
        return;
    }
    qDebug().noquote() << "USB: [RX terminal]" << maskedForLog(line);
    appendOutput(line + QLatin1Char('\n'));
    if (m_blankBoardDetected || !line.contains(BlankBoardMarker))
        return;
    ++m_invalidHeaderCount;
    qDebug() << "USB: [BLANK] invalid header count =" << m_invalidHeaderCount;
    if (m_invalidHeaderCount >= 2) {
        m_blankBoardDetected = true;
        qDebug().noquote() << "USB: [BLANK] blank board detected on" << m_portName;
        emit blankBoardDetected(m_portName);
    }
}
