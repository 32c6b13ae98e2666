#include "devices/serial/serialmanager.h"

#include "devices/instrumentprotocol.h"
#include "devices/serial/portwatcher.h"
#include "devices/serial/protocolfilereply.h"
#include "devices/serial/protocollistreply.h"
#include "devices/serial/protocolupload.h"
#include "devices/serial/recordreply.h"
#include "devices/serial/serialtransport.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cmath>

namespace {

const QString ReadyMarker = QStringLiteral("NERRA:READY:");
const QString DisconnectLine = QStringLiteral("NERRA:DISCONNECT");
const QByteArray HandshakeBytes = QByteArrayLiteral("\x1bNERRA:CONNECT\n");
const QString BlankBoardMarker = QStringLiteral("invalid header: 0xffffffff");
const QString DisconnectedDuringTransfer = QStringLiteral("Device disconnected during the transfer");
const QString NoResponse = QStringLiteral("Device did not respond — try again");

using InstrumentProtocol::MaxCoefficientIndex;
using InstrumentProtocol::errorReason;
using InstrumentProtocol::hasControlCharacters;
using InstrumentProtocol::isSendableBody;
using InstrumentProtocol::isSendableName;
using InstrumentProtocol::maskedForLog;
using InstrumentProtocol::parseObject;
using InstrumentProtocol::withoutControlCharacters;

} // namespace

SerialManager::SerialManager(QObject *parent)
    : DeviceConnection(parent)
    , m_watcher(new PortWatcher(this))
    , m_transport(new SerialTransport(this))
    , m_infoFetchTimer(new QTimer(this))
    , m_sessionTimer(new QTimer(this))
    , m_replyTimer(new QTimer(this))
{
    connect(m_transport, &SerialTransport::bytesArrived, this, [this](qint64 count) {
        if (m_protocolState != OtaActive)
            qDebug() << "USB: [RX]" << count << "bytes";
    });
    connect(m_transport, &SerialTransport::lineReceived, this, &SerialManager::handleLine);
    connect(m_transport, &SerialTransport::lineDropped, this, &SerialManager::handleDroppedLine);
    connect(m_transport, &SerialTransport::lost, this, &SerialManager::onPortLost);
    connect(m_transport, &SerialTransport::failed, this, [this](const QString &reason) {
        appendOutput(QStringLiteral("\n[Serial error: %1]\n").arg(reason));
    });

    connect(m_watcher, &PortWatcher::availablePortsChanged, this, &SerialManager::availablePortsChanged);
    connect(m_watcher, &PortWatcher::instrumentPresentChanged, this, &SerialManager::usbDevicePresentChanged);
    connect(m_watcher, &PortWatcher::polled, this, &SerialManager::onPolled);

    m_infoFetchTimer->setSingleShot(true);
    connect(m_infoFetchTimer, &QTimer::timeout, this, &SerialManager::fetchDeviceInfo);

    m_sessionTimer->setSingleShot(true);
    connect(m_sessionTimer, &QTimer::timeout, this, &SerialManager::onSessionTimeout);

    m_replyTimer->setSingleShot(true);
    connect(m_replyTimer, &QTimer::timeout, this, &SerialManager::onReplyTimeout);

    m_watcher->start();
}

SerialManager::~SerialManager()
{
    // Leave the instrument in terminal mode; the port closes with the object.
    if (m_transport->isOpen() && m_protocolState != Idle) {
        m_transport->write(DisconnectLine.toUtf8() + '\n');
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
// Small setters

void SerialManager::setProtocolState(ProtocolState state)
{
    // The handshake time-out guards only the wait for the ready line; the reply time-out
    // takes over from there.
    if (state != Connecting)
        m_sessionTimer->stop();
    if (state != m_protocolState)
        m_replyDamaged = false;
    m_protocolState = state;
    updateReplyTimer();
}

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

void SerialManager::setCalibrationDate(const QString &date)
{
    if (date == m_calibrationDate)
        return;
    m_calibrationDate = date;
    emit calibrationDateChanged();
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
    updateReplyTimer();
}

void SerialManager::startHandshake(Waiting waiting, int timeoutMs)
{
    setProtocolState(Connecting);
    m_waiting = waiting;
    qDebug() << "USB: [HANDSHAKE] sending ESC NERRA:CONNECT";
    writeBytes(HandshakeBytes);
    if (timeoutMs > 0)
        m_sessionTimer->start(timeoutMs);
}

void SerialManager::endSession()
{
    writeLine(DisconnectLine);
    setProtocolState(Idle);
}

void SerialManager::sendChar(const QString &ch)
{
    if (m_transport->isOpen() && !ch.isEmpty() && m_protocolState == Idle)
        writeBytes(ch.toLocal8Bit());
}

void SerialManager::sendLine(const QString &line)
{
    if (m_transport->isOpen() && m_protocolState == Idle)
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
            startReopenHoldOff(QStringLiteral("USB: [POLL] reopen hold-off expired"));
        }
        appendOutput(QStringLiteral("\n[Device disconnected]\n"));
        closePortAfterLoss(true);
    }
    if (!instrumentPorts.isEmpty())
        tryAutoConnect(instrumentPorts.constFirst());
}

void SerialManager::tryAutoConnect(const QString &instrumentPort)
{
    if (m_isConnected || m_bootstrapActive || m_watcher->holdingOff() || !m_available)
        return;
    connectToPort(instrumentPort);
}

void SerialManager::startReopenHoldOff(const QString &expiryLog)
{
    m_watcher->holdOff(expiryLog);
}

void SerialManager::connectToPort(const QString &portName)
{
    if (m_transport->isOpen()) {
        // Another port replaces this one: whatever ran on it ends here.
        const Abandoned abandoned = abandonOperations();
        if (m_protocolState != Idle)
            endSession();
        closePort(true);
        setTransferring(false);
        setConnected(false, QString());
        reportAbandoned(abandoned, EndCause::PortClosed);
    }
    if (!m_transport->open(portName)) {
        QString message = QStringLiteral("[Failed to open %1: %2]").arg(portName, m_transport->errorString());
        if (m_transport->permissionDenied())
            message += QStringLiteral("\nPort is already open in another application.\n"
                                      "Close any serial monitors (VS Code, PlatformIO, etc.) and try again.");
        appendOutput(message + QLatin1Char('\n'));
        qWarning().noquote() << "USB: [CONNECT]" << message;
        emit errorOccurred(message);
        return;
    }
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
    m_sessionTimer->stop();
    m_replyTimer->stop();
    m_transport->close(flushFirst);
}

void SerialManager::disconnect()
{
    const Abandoned abandoned = abandonOperations();
    if (m_protocolState != Idle) {
        endSession();
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
    reportAbandoned(abandoned, EndCause::PortClosed);
}

void SerialManager::closePortAfterLoss(bool fromPoll)
{
    closePort(false);
    const bool wasTransferring = m_isTransferring;
    const Abandoned abandoned = abandonOperations();
    m_isConnected = false;
    m_portName.clear();
    const bool wasInSession = m_protocolState != Idle;
    setProtocolState(Idle);
    // Nothing is under way any more; a status such as "Sending x.csv..." would say so.
    if (wasInSession || wasTransferring)
        setStatusMessage(QString());
    // The poll path gives up an OTA session being opened; the error path keeps it, so that
    // the instrument's first ready line after its restart still opens the OTA channel.
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
    reportAbandoned(abandoned, EndCause::DeviceLost);
}

void SerialManager::onPortLost(const QString &reason)
{
    if (!m_isConnected)
        return;
    qDebug() << "USB: [RESTART] port lost:" << reason;
    if (m_otaRestartPending) {
        qDebug() << "USB: [RESTART] device detached — holding off reopen for" << m_watcher->holdOffTime() << "ms";
        startReopenHoldOff(QStringLiteral("USB: [RESTART] reopen hold-off expired"));
    }
    closePortAfterLoss(false);
    appendOutput(QStringLiteral("\n[Nerra disconnected]\n"));
}

void SerialManager::forgetUsbDevice()
{
    disconnect();
    m_usbDeviceName.clear();
    m_usbDeviceSN.clear();
    m_usbDeviceFW.clear();
    m_usbDeviceSSID.clear();
    m_usbDeviceId.clear();
    m_usbDeviceColor = -1;
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
    qDebug() << "USB: [INFO_FETCH] called — isConnected:" << m_isConnected << "protocolState:" << int(m_protocolState);
    if (!m_isConnected) {
        qDebug() << "USB: [INFO_FETCH] skipped — not connected";
        return;
    }
    if (m_blankBoardDetected) {
        qDebug() << "USB: [INFO_FETCH] skipped — blank board detected on this port";
        return;
    }
    if (m_protocolState != Idle) {
        qDebug() << "USB: [INFO_FETCH] skipped — protocol busy (state" << int(m_protocolState) << ")";
        retryInfoFetch(QStringLiteral("protocol busy"));
        return;
    }
    qDebug() << "USB: [INFO_FETCH] sending handshake (attempt" << m_infoFetchAttempts + 1 << "of"
             << MaxInfoFetchAttempts << ")";
    startHandshake(Waiting::InfoFetch, m_handshakeTimeout);
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
    if (m_staleHandshakeFailures < StaleHandshakeLimit || m_isTransferring || m_protocolState == OtaActive)
        return;
    m_staleHandshakeFailures = 0;
    qWarning().noquote() << "USB: [STALE] no handshake after" << StaleHandshakeLimit << "attempts (" << reason
                         << ") — handle looks stale, reopening the port";
    appendOutput(QStringLiteral("\n[Reconnecting to the device…]\n"));
    disconnect();
    startReopenHoldOff(QStringLiteral("USB: [STALE] reopen hold-off expired — auto-connect may retry"));
}

void SerialManager::onSessionTimeout()
{
    if (m_protocolState != Connecting)
        return;
    switch (m_waiting) {
    case Waiting::Nothing:
        return;
    case Waiting::InfoFetch:
        qDebug() << "USB: [INFO_FETCH] timeout — no NERRA:READY, resetting to Idle";
        checkStaleHandle(QStringLiteral("info fetch"));
        setProtocolState(Idle);
        retryInfoFetch(QStringLiteral("handshake timeout"));
        return;
    case Waiting::OtaOpen:
        if (!m_otaSessionPending)
            return;
        qDebug() << "USB: [OTA] timeout — no NERRA:READY, resetting to Idle";
        checkStaleHandle(QStringLiteral("OTA session open"));
        m_otaSessionPending = false;
        setProtocolState(Idle);
        setStatusMessage(QString());
        emit otaSessionFailed(QStringLiteral("no response from device"));
        return;
    case Waiting::Session:
        if (!m_sessionRequested)
            return;
        m_sessionRequested = false;
        setProtocolState(Idle);
        setStatusMessage(QString());
        emit errorOccurred(QStringLiteral("connectProtocol: timeout waiting for device"));
        return;
    case Waiting::Upload:
        if (!m_upload.active())
            return;
        m_upload.clear();
        setProtocolState(Idle);
        setTransferring(false);
        setTransferProgress(0);
        emit transferFailed(QStringLiteral("Device did not respond — try again"));
        emit errorOccurred(QStringLiteral("putProtocol: timeout waiting for device"));
        return;
    case Waiting::List:
        if (!m_listPending)
            return;
        m_listPending = false;
        setProtocolState(Idle);
        emit errorOccurred(QStringLiteral("listProtocols: timeout waiting for device"));
        return;
    case Waiting::Download:
        if (m_pendingGetName.isEmpty())
            return;
        m_pendingGetName.clear();
        setProtocolState(Idle);
        emit errorOccurred(QStringLiteral("getProtocol: timeout waiting for device"));
        return;
    case Waiting::Delete:
        if (m_pendingDelName.isEmpty())
            return;
        m_pendingDelName.clear();
        setProtocolState(Idle);
        emit errorOccurred(QStringLiteral("deleteProtocol: timeout waiting for device"));
        return;
    case Waiting::CalFetch:
        if (!m_calFetchPending)
            return;
        m_calFetchPending = false;
        m_chainPrefs = false;
        setProtocolState(Idle);
        emit calibrationReceived(QVariantMap());
        return;
    case Waiting::CalWrite:
        if (!m_calibrationWrite.hasQueued())
            return;
        m_calibrationWrite.end();
        setProtocolState(Idle);
        setTransferring(false);
        setTransferProgress(0);
        emit calibrationApplied(false);
        return;
    case Waiting::PrefWrite: {
        if (m_pendingPrefKey.isEmpty())
            return;
        const QString key = m_pendingPrefKey;
        m_pendingPrefKey.clear();
        m_pendingPrefValue.clear();
        setProtocolState(Idle);
        emit setPrefResult(false, key);
        return;
    }
    }
}

bool SerialManager::awaitingReply() const
{
    switch (m_protocolState) {
    case Idle:
    case Connecting:
    case OtaActive:
        return false;
    case Ready:
        return singleLineCommandOutstanding();
    default:
        return true;
    }
}

void SerialManager::updateReplyTimer()
{
    if (awaitingReply())
        m_replyTimer->start(m_replyTimeout);
    else
        m_replyTimer->stop();
}

void SerialManager::onReplyTimeout()
{
    if (!m_isConnected || !awaitingReply())
        return;
    qWarning() << "USB: [TIMEOUT] no reply within" << m_replyTimeout << "ms in state" << int(m_protocolState)
               << "— ending the session";
    const Abandoned abandoned = abandonOperations();
    endSession();
    setTransferring(false);
    setTransferProgress(0);
    setStatusMessage(NoResponse);
    reportAbandoned(abandoned, EndCause::NoReply);
}

// ---------------------------------------------------------------------------------------
// Receiving

void SerialManager::handleDroppedLine()
{
    switch (m_protocolState) {
    case Listing:
    case GettingProtocol:
    case GettingCal:
    case GettingPrefs:
    case GettingInfo:
        // A listing or file missing one of its lines must not pass for the whole of it.
        qDebug() << "USB: [RX] a line of the reply in state" << int(m_protocolState) << "was dropped";
        m_replyDamaged = true;
        return;
    default:
        return;
    }
}

void SerialManager::handleLine(const QString &line)
{
    if (m_protocolState == Idle) {
        handleTerminalLine(line);
        return;
    }
    if (!(m_protocolState == OtaActive && line.startsWith(QLatin1String("OK:OTA_CHUNK:"))))
        qDebug().noquote() << "USB: [RX proto state" << int(m_protocolState) << "]" << maskedForLog(line);
    if (line.startsWith(QLatin1String("LOG:"))) {
        appendOutput(line.mid(4) + QLatin1Char('\n'));
        return;
    }
    // A reply that keeps coming is not a silent instrument.
    if (line.startsWith(QLatin1String("DATA:")) && awaitingReply())
        m_replyTimer->start(m_replyTimeout);
    if (m_replyDamaged && line.startsWith(QLatin1String("END:"))) {
        // The reply ends as if refused, so that nothing of it is delivered.
        m_replyDamaged = false;
        const QString operation = m_protocolState == Listing           ? QStringLiteral("listProtocols")
                                  : m_protocolState == GettingProtocol ? QStringLiteral("getProtocol")
                                  : m_protocolState == GettingCal      ? (m_chainPrefs ? QStringLiteral("fetchCalibration")
                                                                                       : QStringLiteral("getCalibration"))
                                  : m_protocolState == GettingPrefs    ? QStringLiteral("getPrefs")
                                                                       : QStringLiteral("getDeviceInfo");
        qWarning().noquote() << "USB: [RX]" << operation << "reply lost a line — reported as failed";
        handleProtocolLine(QStringLiteral("ERR:%1: reply damaged — a line longer than %2 bytes was dropped")
                               .arg(operation)
                               .arg(m_transport->maxLineLength()));
        return;
    }
    handleProtocolLine(line);
}

void SerialManager::handleProtocolLine(const QString &line)
{
    switch (m_protocolState) {
    case Idle:
        return;
    case Connecting:
        handleHandshakeReply(line);
        return;
    case Ready:
        handleReadyState(line);
        return;
    case PutAwaitAck:
        handlePutAwaitAck(line);
        return;
    case PutSending:
        return;
    case PutAwaitSaved:
        handlePutAwaitSaved(line);
        return;
    case Listing:
        handleListing(line);
        return;
    case GettingProtocol:
        handleGettingProtocol(line);
        return;
    case GettingCal:
        handleGettingCal(line);
        return;
    case GettingPrefs:
        handleGettingPrefs(line);
        return;
    case GettingInfo:
        handleGettingInfo(line);
        return;
    case CertPutAwaitAck:
    case CertPutAwaitSaved:
    case CertFilePutAwaitAck:
    case CertFilePutAwaitSaved:
    case GettingCert:
    case GettingCertFile:
        return;
    case OtaActive:
        emit otaLineReceived(line);
        return;
    }
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
        setProtocolState(Connecting);
        // The OTA opening's time-out guards it like a handshake of our own: a record that
        // does not parse must not leave the link connecting for ever.
        m_waiting = Waiting::OtaOpen;
        m_sessionTimer->start(m_handshakeTimeout);
        handleHandshakeReply(line);
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

void SerialManager::handleHandshakeReply(const QString &line)
{
    const int at = line.indexOf(ReadyMarker);
    if (at < 0)
        return; // boot text still coming
    if (at > 0)
        qDebug() << "USB: [HANDSHAKE] NERRA:READY arrived merged with preceding output — recovered";
    const QString json = line.mid(at + ReadyMarker.size());
    m_staleHandshakeFailures = 0;
    m_handshakeSeen = true;

    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    if (!document.isObject()) {
        qDebug() << "USB: [HANDSHAKE] JSON parse failed";
        return;
    }
    qDebug().noquote() << "USB: [HANDSHAKE] ready record" << json;
    const QJsonObject record = document.object();
    m_usbDeviceId = record.value(QLatin1String("id")).toString();
    m_usbDeviceName = record.value(QLatin1String("name")).toString();
    m_usbDeviceSN = record.value(QLatin1String("sn")).toString();
    m_usbDeviceFW = record.value(QLatin1String("fw")).toString();
    m_usbDeviceSSID = record.value(QLatin1String("ssid")).toString();
    m_usbDeviceColor = record.contains(QLatin1String("color")) ? record.value(QLatin1String("color")).toInt(0) : -1;
    m_usbHasCert = record.value(QLatin1String("hasCert")).toBool(false);
    m_usbOtaVersion = record.value(QLatin1String("otaUsb")).toInt(0);
    emit usbDeviceInfoChanged();
    emit deviceInfoReceived(m_usbDeviceName, m_usbDeviceSN, m_usbDeviceFW);
    // A listener may have closed the link or started something else in the meantime.
    if (m_protocolState == Connecting && m_isConnected)
        dispatchReadyLine();
}

void SerialManager::dispatchReadyLine()
{
    if (m_calibrationWrite.hasQueued()) {
        setProtocolState(Ready);
        writeLine(m_calibrationWrite.takeNextLine());
        return;
    }
    if (m_calFetchPending) {
        m_calFetchPending = false;
        m_calReply.reset();
        setProtocolState(GettingCal);
        writeLine(m_calReply.command());
        return;
    }
    if (!m_pendingPrefKey.isEmpty()) {
        setProtocolState(Ready);
        writeLine(InstrumentProtocol::setPreferenceLine(m_pendingPrefKey, m_pendingPrefValue));
        return;
    }
    if (m_upload.active()) {
        setProtocolState(PutAwaitAck);
        writeLine(m_upload.command());
        return;
    }
    if (m_listPending) {
        m_listPending = false;
        m_listReply.reset();
        setProtocolState(Listing);
        writeLine(ProtocolListReply::command());
        return;
    }
    if (!m_pendingGetName.isEmpty()) {
        m_currentFile = m_pendingGetName;
        m_pendingGetName.clear();
        m_fileReply.reset();
        setProtocolState(GettingProtocol);
        writeLine(ProtocolFileReply::command(m_currentFile));
        return;
    }
    if (!m_pendingDelName.isEmpty()) {
        setProtocolState(Ready);
        writeLine(QStringLiteral("CMD:DEL_PROTOCOL:") + m_pendingDelName);
        return;
    }
    // The certificate operations take their turn here, before the OTA channel.
    if (m_otaSessionPending || m_otaRestartPending) {
        m_otaSessionPending = false;
        m_otaRestartPending = false;
        m_sessionRequested = false;
        setProtocolState(OtaActive);
        qDebug() << "USB: [OTA] NERRA:READY received, session begun (OtaActive)";
        emit otaSessionReady();
        return;
    }
    if (m_sessionRequested) {
        m_sessionRequested = false;
        setProtocolState(Ready);
        setStatusMessage(QString());
        qDebug() << "USB: [HANDSHAKE] session open (Ready)";
        return;
    }
    endSession();
    qDebug() << "USB: [HANDSHAKE] disconnected, back to terminal mode";
}

// ---------------------------------------------------------------------------------------
// Replies per state
//
// Every handler settles the link first (session line written, state, properties) and only
// then emits the operation's answer, so the answer finds the link Idle or Ready and a
// listener may start the next operation from its slot: the rename flow deletes the old file
// as soon as the upload of the new one completes.

void SerialManager::handleReadyState(const QString &line)
{
    if (line.startsWith(QLatin1String("OK:DEL_PROTOCOL"))) {
        if (m_pendingDelName.isEmpty())
            return;
        const QString name = m_pendingDelName;
        m_pendingDelName.clear();
        setStatusMessage(QStringLiteral("Deleted"));
        endSession();
        emit protocolDeleted(name);
        return;
    }
    if (line.startsWith(QLatin1String("OK:SET_CAL"))) {
        onCoefficientSaved();
        return;
    }
    if (line.startsWith(QLatin1String("OK:SET_PREF"))) {
        onPreferenceSaved(line);
        return;
    }
    if (line.startsWith(QLatin1String("OK:REBOOT")))
        return;
    if (line.startsWith(QLatin1String("ERR:")))
        onReadyError(errorReason(line));
}

void SerialManager::onReadyError(const QString &reason)
{
    setStatusMessage(QStringLiteral("Error: ") + reason);
    emit errorOccurred(reason);
    if (!m_pendingPrefKey.isEmpty() && !m_calibrationWrite.active()) {
        const QString key = m_pendingPrefKey;
        m_pendingPrefKey.clear();
        m_pendingPrefValue.clear();
        endSession();
        emit setPrefResult(false, key);
        return;
    }
    // A refused coefficient or date ends the whole write; the coefficients still queued
    // must not be written by a later session.
    if (m_calibrationWrite.active()) {
        finishCalibrationWrite(false);
        return;
    }
    // A refused delete ends its session like any self-contained operation.
    if (!m_pendingDelName.isEmpty()) {
        m_pendingDelName.clear();
        endSession();
    }
}

void SerialManager::handlePutAwaitAck(const QString &line)
{
    switch (m_upload.take(line, false)) {
    case ProtocolUpload::Step::SendBody: {
        setProtocolState(PutSending);
        int lines = 0;
        const QByteArray burst = m_upload.body(&lines);
        qDebug().noquote() << "USB: [PUT] writing" << m_upload.name() << "—" << lines << "lines," << burst.size()
                           << "bytes";
        writeBytes(burst);
        setProtocolState(PutAwaitSaved);
        setTransferProgress(50);
        return;
    }
    case ProtocolUpload::Step::Failed:
        // Refused before the body: the upload is over, and so is its session.
        failUpload(m_upload.failure());
        return;
    case ProtocolUpload::Step::Saved:
    case ProtocolUpload::Step::Ignored:
        return;
    }
}

void SerialManager::handlePutAwaitSaved(const QString &line)
{
    switch (m_upload.take(line, true)) {
    case ProtocolUpload::Step::Saved:
        endSession();
        setTransferring(false);
        setTransferProgress(100);
        setStatusMessage(QStringLiteral("Transfer complete"));
        emit transferComplete();
        return;
    case ProtocolUpload::Step::Failed:
        failUpload(m_upload.failure());
        return;
    case ProtocolUpload::Step::SendBody:
    case ProtocolUpload::Step::Ignored:
        return;
    }
}

void SerialManager::failUpload(const QString &reason)
{
    endSession();
    setTransferring(false);
    emit transferFailed(reason);
    emit errorOccurred(reason);
}

void SerialManager::handleListing(const QString &line)
{
    switch (m_listReply.take(line)) {
    case ProtocolListReply::Step::Done:
        setStatusMessage(QStringLiteral("%1 protocol(s)").arg(m_listReply.names().size()));
        setProtocolState(Ready);
        emit protocolListReceived(m_listReply.names());
        return;
    case ProtocolListReply::Step::Failed:
        endSession();
        emit errorOccurred(m_listReply.failure());
        return;
    case ProtocolListReply::Step::More:
    case ProtocolListReply::Step::Ignored:
        return;
    }
}

void SerialManager::handleGettingProtocol(const QString &line)
{
    switch (m_fileReply.take(line)) {
    case ProtocolFileReply::Step::Done: {
        const QString name = m_currentFile;
        const QByteArray body = m_fileReply.body();
        m_currentFile.clear();
        m_fileReply.reset();
        setStatusMessage(QStringLiteral("Received ") + name);
        setProtocolState(Ready);
        emit protocolReceived(name, body);
        return;
    }
    case ProtocolFileReply::Step::Failed:
        m_currentFile.clear();
        endSession();
        emit errorOccurred(m_fileReply.failure());
        return;
    case ProtocolFileReply::Step::More:
    case ProtocolFileReply::Step::Ignored:
        return;
    }
}

void SerialManager::handleGettingCal(const QString &line)
{
    switch (m_calReply.take(line)) {
    case RecordReply::Step::Done: {
        const QVariantMap calibration = m_calReply.record();
        if (m_chainPrefs) {
            m_prefsReply.reset();
            setProtocolState(GettingPrefs);
            writeLine(m_prefsReply.command());
        } else {
            endSession();
        }
        if (calibration != m_calibrationData) {
            m_calibrationData = calibration;
            emit calibrationDataChanged();
        }
        emit calibrationReceived(m_calibrationData);
        return;
    }
    case RecordReply::Step::Failed:
        m_chainPrefs = false;
        endSession();
        emit errorOccurred(m_calReply.failure());
        return;
    case RecordReply::Step::More:
    case RecordReply::Step::Ignored:
        return;
    }
}

void SerialManager::handleGettingPrefs(const QString &line)
{
    switch (m_prefsReply.take(line)) {
    case RecordReply::Step::Done: {
        const QVariantMap prefs = m_prefsReply.record();
        if (m_chainPrefs) {
            m_chainPrefs = false;
            endSession();
            setCalibrationDate(prefs.value(QStringLiteral("calDate")).toString());
            return;
        }
        setProtocolState(Ready);
        emit prefsReceived(prefs);
        return;
    }
    case RecordReply::Step::Failed:
        if (m_chainPrefs) {
            // The calibration itself arrived; a missing date is not worth an error.
            m_chainPrefs = false;
            endSession();
            return;
        }
        setProtocolState(Ready);
        emit errorOccurred(m_prefsReply.failure());
        return;
    case RecordReply::Step::More:
    case RecordReply::Step::Ignored:
        return;
    }
}

void SerialManager::handleGettingInfo(const QString &line)
{
    switch (m_infoReply.take(line)) {
    case RecordReply::Step::Done: {
        const QVariantMap info = m_infoReply.record();
        setProtocolState(Ready);
        emit deviceInfoReceived(info.value(QStringLiteral("name")).toString(), info.value(QStringLiteral("sn")).toString(),
                                info.value(QStringLiteral("fw")).toString());
        return;
    }
    case RecordReply::Step::Failed:
        setProtocolState(Ready);
        emit errorOccurred(m_infoReply.failure());
        return;
    case RecordReply::Step::More:
    case RecordReply::Step::Ignored:
        return;
    }
}

// ---------------------------------------------------------------------------------------
// Session control and the OTA channel

void SerialManager::connectProtocol()
{
    if (!m_isConnected) {
        emit errorOccurred(QStringLiteral("connectProtocol: not connected"));
        return;
    }
    // A new handshake replaces whatever session ran; the work it was doing fails openly.
    Abandoned abandoned;
    if (m_protocolState != Idle)
        abandoned = abandonOperations();
    setTransferring(false);
    m_sessionRequested = true;
    setStatusMessage(QStringLiteral("Connecting to device..."));
    startHandshake(Waiting::Session, m_handshakeTimeout);
    reportAbandoned(abandoned, EndCause::SessionClosed);
}

void SerialManager::disconnectProtocol()
{
    // A delete ends its own session, and callers close the session right after asking for
    // one: the rename flow deletes the old file and disconnects at once. Cutting it off
    // would leave the old file on the instrument; its time-outs still bound the wait.
    if (!m_pendingDelName.isEmpty()) {
        qDebug().noquote() << "USB: [SESSION] disconnect left to the delete of" << m_pendingDelName;
        return;
    }
    const Abandoned abandoned = abandonOperations();
    if (m_protocolState != Idle)
        writeLine(DisconnectLine);
    setProtocolState(Idle);
    m_otaSessionPending = false;
    setTransferring(false);
    setStatusMessage(QString());
    reportAbandoned(abandoned, EndCause::SessionClosed);
}

void SerialManager::beginUsbOta()
{
    if (!m_isConnected) {
        emit otaSessionFailed(QStringLiteral("not connected"));
        return;
    }
    if (m_protocolState == Ready && !singleLineCommandOutstanding()) {
        setProtocolState(OtaActive);
        qDebug() << "USB: [OTA] session begun (OtaActive) — reused Ready session";
        emit otaSessionReady();
        return;
    }
    if (m_protocolState != Idle) {
        emit otaSessionFailed(QStringLiteral("protocol busy"));
        return;
    }
    m_otaSessionPending = true;
    setStatusMessage(QStringLiteral("Connecting to device..."));
    qDebug() << "USB: [OTA] opening session for firmware update";
    startHandshake(Waiting::OtaOpen, m_handshakeTimeout);
}

void SerialManager::sendOtaLine(const QString &line)
{
    if (m_protocolState != OtaActive) {
        emit errorOccurred(QStringLiteral("sendOtaLine: not in OTA mode"));
        return;
    }
    if (line.contains(QLatin1Char('\n')) || line.contains(QLatin1Char('\r'))) {
        emit errorOccurred(QStringLiteral("sendOtaLine: a line must not contain a line break"));
        return;
    }
    writeBytes(line.toUtf8() + '\n');
}

void SerialManager::endUsbOta(bool sessionLost)
{
    if (m_protocolState != OtaActive)
        return;
    if (sessionLost) {
        setProtocolState(Idle);
        setStatusMessage(QString());
    } else {
        setProtocolState(Ready);
    }
}

// ---------------------------------------------------------------------------------------
// Ending operations

bool SerialManager::singleLineCommandOutstanding() const
{
    return !m_pendingDelName.isEmpty() || !m_pendingPrefKey.isEmpty() || m_calibrationWrite.active();
}

SerialManager::Abandoned SerialManager::abandonOperations()
{
    Abandoned abandoned;
    abandoned.upload = m_upload.active();
    if (m_calibrationWrite.active())
        abandoned.calibrationWrite = m_calibrationWrite.single() ? QStringLiteral("setCalibration") : QStringLiteral("applyCalibration");
    if (m_calFetchPending || m_protocolState == GettingCal)
        abandoned.calibrationRead = m_calFetchPending || m_chainPrefs ? QStringLiteral("fetchCalibration") : QStringLiteral("getCalibration");
    if (!m_calibrationWrite.active())
        abandoned.prefKey = m_pendingPrefKey;
    if (m_listPending || m_protocolState == Listing)
        abandoned.others.append(QStringLiteral("listProtocols"));
    if (!m_pendingGetName.isEmpty() || m_protocolState == GettingProtocol)
        abandoned.others.append(QStringLiteral("getProtocol"));
    if (!m_pendingDelName.isEmpty())
        abandoned.others.append(QStringLiteral("deleteProtocol"));
    if (m_protocolState == GettingInfo)
        abandoned.others.append(QStringLiteral("getDeviceInfo"));
    if (m_protocolState == GettingPrefs && !m_chainPrefs)
        abandoned.others.append(QStringLiteral("getPrefs"));

    m_listReply.reset();
    m_fileReply.reset();
    m_currentFile.clear();
    m_upload.clear();
    m_listPending = false;
    m_pendingGetName.clear();
    m_pendingDelName.clear();
    m_pendingPrefKey.clear();
    m_pendingPrefValue.clear();
    m_infoReply.reset();
    m_calReply.reset();
    m_prefsReply.reset();
    m_calFetchPending = false;
    m_chainPrefs = false;
    m_calibrationWrite.end();
    m_replyDamaged = false;
    m_sessionRequested = false;
    m_waiting = Waiting::Nothing;
    m_sessionTimer->stop();
    m_replyTimer->stop();
    return abandoned;
}

void SerialManager::reportAbandoned(const Abandoned &abandoned, EndCause cause)
{
    QString suffix;
    QString transferReason;
    switch (cause) {
    case EndCause::DeviceLost:
        suffix = QStringLiteral(": device disconnected");
        break;
    case EndCause::PortClosed:
        suffix = QStringLiteral(": port closed");
        transferReason = QStringLiteral("The connection was closed during the transfer");
        break;
    case EndCause::SessionClosed:
        suffix = QStringLiteral(": session closed");
        transferReason = QStringLiteral("The session was closed during the transfer");
        break;
    case EndCause::Cancelled:
        suffix = QStringLiteral(": cancelled");
        transferReason = QStringLiteral("Transfer cancelled");
        break;
    case EndCause::NoReply:
        suffix = QStringLiteral(": timeout waiting for reply");
        transferReason = QStringLiteral("Device stopped responding — try again");
        break;
    }
    // Whoever ended an operation, its caller hears the end: through the operation's own
    // answer where it has one, otherwise through errorOccurred. An instrument that stopped
    // answering is worth a message in every case. A lost device has already failed the
    // upload (closePortAfterLoss).
    const bool alwaysMessage = cause == EndCause::NoReply;
    if (abandoned.upload && cause != EndCause::DeviceLost) {
        emit transferFailed(transferReason);
        emit errorOccurred(QStringLiteral("putProtocol") + suffix);
    }
    if (!abandoned.calibrationWrite.isEmpty()) {
        emit calibrationApplied(false);
        if (alwaysMessage)
            emit errorOccurred(abandoned.calibrationWrite + suffix);
    }
    if (!abandoned.calibrationRead.isEmpty()) {
        emit calibrationReceived(QVariantMap());
        if (alwaysMessage)
            emit errorOccurred(abandoned.calibrationRead + suffix);
    }
    if (!abandoned.prefKey.isEmpty()) {
        emit setPrefResult(false, abandoned.prefKey);
        if (alwaysMessage)
            emit errorOccurred(QStringLiteral("setPref") + suffix);
    }
    for (const QString &operation : abandoned.others)
        emit errorOccurred(operation + suffix);
}

void SerialManager::cancelTransfer()
{
    const Abandoned abandoned = abandonOperations();
    // With nothing running there is no session to keep open.
    if (m_protocolState != Idle)
        setProtocolState(Ready);
    setTransferring(false);
    setTransferProgress(0);
    setStatusMessage(QStringLiteral("Transfer cancelled"));
    reportAbandoned(abandoned, EndCause::Cancelled);
}

// ---------------------------------------------------------------------------------------
// Self-contained operations

void SerialManager::putProtocol(const QString &filename, const QByteArray &data)
{
    if (!m_isConnected) {
        emit transferFailed(QStringLiteral("Device is not connected"));
        emit errorOccurred(QStringLiteral("putProtocol: not connected"));
        return;
    }
    if (m_protocolState != Idle) {
        emit transferFailed(QStringLiteral("Device is busy — try again in a moment"));
        emit errorOccurred(QStringLiteral("putProtocol: protocol busy"));
        return;
    }
    if (!isSendableName(filename)) {
        emit transferFailed(QStringLiteral("Invalid file name — it must not be empty, contain line breaks or be a path"));
        emit errorOccurred(QStringLiteral("putProtocol: invalid file name"));
        return;
    }
    if (data.isEmpty()) {
        emit transferFailed(QStringLiteral("The protocol is empty — nothing to send"));
        emit errorOccurred(QStringLiteral("putProtocol: empty protocol"));
        return;
    }
    if (!isSendableBody(data)) {
        emit transferFailed(QStringLiteral("The protocol contains a line the device would take as a command"));
        emit errorOccurred(QStringLiteral("putProtocol: invalid protocol body"));
        return;
    }
    m_upload.begin(filename, data);
    setTransferring(true);
    setTransferProgress(0);
    setStatusMessage(QStringLiteral("Sending %1...").arg(filename));
    startHandshake(Waiting::Upload, m_handshakeTimeout);
}

void SerialManager::listProtocols()
{
    if (!m_isConnected) {
        emit errorOccurred(QStringLiteral("listProtocols: not connected"));
        return;
    }
    if (m_protocolState == Ready && !singleLineCommandOutstanding()) {
        m_listReply.reset();
        setProtocolState(Listing);
        setStatusMessage(QStringLiteral("Listing protocols..."));
        writeLine(ProtocolListReply::command());
        return;
    }
    if (m_protocolState != Idle) {
        emit errorOccurred(QStringLiteral("listProtocols: protocol busy"));
        return;
    }
    m_listReply.reset();
    m_listPending = true;
    setStatusMessage(QStringLiteral("Listing protocols..."));
    startHandshake(Waiting::List, m_handshakeTimeout);
}

void SerialManager::getProtocol(const QString &filename)
{
    if (!m_isConnected) {
        emit errorOccurred(QStringLiteral("getProtocol: not connected"));
        return;
    }
    const bool reuse = m_protocolState == Ready && !singleLineCommandOutstanding();
    if (!reuse && m_protocolState != Idle) {
        emit errorOccurred(QStringLiteral("getProtocol: protocol busy"));
        return;
    }
    if (!isSendableName(filename)) {
        emit errorOccurred(QStringLiteral("getProtocol: invalid file name"));
        return;
    }
    m_fileReply.reset();
    setStatusMessage(QStringLiteral("Receiving %1...").arg(filename));
    if (reuse) {
        m_currentFile = filename;
        setProtocolState(GettingProtocol);
        writeLine(ProtocolFileReply::command(filename));
        return;
    }
    m_pendingGetName = filename;
    startHandshake(Waiting::Download, m_downloadTimeout);
}

void SerialManager::deleteProtocol(const QString &filename)
{
    if (!m_isConnected) {
        emit errorOccurred(QStringLiteral("deleteProtocol: not connected"));
        return;
    }
    if (m_protocolState != Idle) {
        emit errorOccurred(QStringLiteral("deleteProtocol: protocol busy"));
        return;
    }
    if (!isSendableName(filename)) {
        emit errorOccurred(QStringLiteral("deleteProtocol: invalid file name"));
        return;
    }
    m_pendingDelName = filename;
    setStatusMessage(QStringLiteral("Deleting %1...").arg(filename));
    startHandshake(Waiting::Delete, m_handshakeTimeout);
}

bool SerialManager::fetchCalibration()
{
    if (!m_isConnected || m_protocolState != Idle)
        return false;
    m_calFetchPending = true;
    m_chainPrefs = true;
    startHandshake(Waiting::CalFetch, m_handshakeTimeout);
    return true;
}

void SerialManager::applyCalibration(const QVariantList &coefPairs, const QString &calDate)
{
    if (!m_isConnected) {
        emit calibrationApplied(false);
        return;
    }
    if (m_protocolState != Idle) {
        qDebug() << "USB: [CAL_APPLY] skipped — protocol busy (state" << int(m_protocolState) << ")";
        emit calibrationApplied(false);
        return;
    }
    QList<QPair<int, float>> queue;
    QVariant badEntry;
    if (!InstrumentProtocol::coefficientQueue(coefPairs, &queue, &badEntry)) {
        qWarning() << "USB: [CAL_APPLY] refused — malformed coefficient entry" << badEntry;
        emit errorOccurred(QStringLiteral("applyCalibration: invalid coefficient list"));
        emit calibrationApplied(false);
        return;
    }
    if (queue.isEmpty()) {
        emit calibrationApplied(false);
        return;
    }
    m_calibrationWrite.begin(queue, withoutControlCharacters(calDate));
    setTransferring(true);
    setTransferProgress(0);
    startHandshake(Waiting::CalWrite, m_handshakeTimeout);
}

void SerialManager::setPref(const QString &key, const QString &value)
{
    const QString cleaned = withoutControlCharacters(value);
    if (cleaned != value)
        qDebug().noquote() << "USB: [PREF] sanitized control chars from" << key << "value (Nerra_App#280)";
    // The key ends at the first colon on the instrument's side, and a line break would start
    // a second command.
    if (!InstrumentProtocol::isSendableKey(key)) {
        emit errorOccurred(QStringLiteral("setPref: invalid preference key"));
        emit setPrefResult(false, key);
        return;
    }
    if (!m_isConnected || m_protocolState != Idle) {
        emit setPrefResult(false, key);
        return;
    }
    m_pendingPrefKey = key;
    m_pendingPrefValue = cleaned;
    setStatusMessage(QStringLiteral("Setting %1...").arg(key));
    startHandshake(Waiting::PrefWrite, m_handshakeTimeout);
}

void SerialManager::onCoefficientSaved()
{
    // While the date is being written only its own confirmation ends the write.
    if (!m_calibrationWrite.active() || !m_pendingPrefKey.isEmpty())
        return;
    QString line;
    QString date;
    switch (m_calibrationWrite.afterCoefficientSaved(&line, &date)) {
    case CalibrationWrite::Next::Coefficient:
        writeLine(line);
        return;
    case CalibrationWrite::Next::Finished:
        finishCalibrationWrite(true);
        return;
    case CalibrationWrite::Next::Date:
        m_pendingPrefKey = QStringLiteral("calDate");
        m_pendingPrefValue = date;
        writeLine(line);
        return;
    }
}

void SerialManager::finishCalibrationWrite(bool success)
{
    const QString writtenDate = m_pendingPrefKey == QLatin1String("calDate") ? m_pendingPrefValue : QString();
    m_pendingPrefKey.clear();
    m_pendingPrefValue.clear();
    m_calibrationWrite.end();
    endSession();
    setTransferring(false);
    setTransferProgress(success ? 100 : 0);
    if (success) {
        setStatusMessage(QStringLiteral("Calibration saved"));
        if (!writtenDate.isEmpty())
            setCalibrationDate(writtenDate);
    }
    emit calibrationApplied(success);
}

void SerialManager::onPreferenceSaved(const QString &line)
{
    if (m_pendingPrefKey.isEmpty())
        return;
    // One preference write is outstanding at a time, so this confirms it whatever key the
    // reply names: trusting the reply's key would leave the write (and a calibration write
    // waiting for its date) unfinished for ever.
    const QString key = m_pendingPrefKey;
    const QString named = InstrumentProtocol::preferenceReplyKey(line);
    if (!named.isEmpty() && named != key)
        qDebug().noquote() << "USB: [PREF] reply names" << named << "— taken as the confirmation of" << key;
    if (key == QLatin1String("calDate") && m_calibrationWrite.active()) {
        finishCalibrationWrite(true);
        return;
    }
    const QString value = m_pendingPrefValue;
    bool changed = false;
    if (key == QLatin1String("sn") && !value.isEmpty() && value != m_usbDeviceSN) {
        m_usbDeviceSN = value;
        changed = true;
    } else if (key == QLatin1String("ssid") && !value.isEmpty() && value != m_usbDeviceSSID) {
        m_usbDeviceSSID = value;
        changed = true;
    } else if (key == QLatin1String("name") && value != m_usbDeviceName) {
        m_usbDeviceName = value;
        changed = true;
    } else if (key == QLatin1String("color")) {
        bool isNumber = false;
        const int color = value.toInt(&isNumber, 10);
        if (isNumber && color != m_usbDeviceColor) {
            m_usbDeviceColor = color;
            changed = true;
        }
    } else if (key == QLatin1String("calDate")) {
        setCalibrationDate(value);
    }
    m_pendingPrefKey.clear();
    m_pendingPrefValue.clear();
    endSession();
    if (changed)
        emit usbDeviceInfoChanged();
    setStatusMessage(QStringLiteral("Preference saved"));
    emit setPrefResult(true, key);
}

// ---------------------------------------------------------------------------------------
// Session operations

bool SerialManager::checkSessionOperation(const QString &operation)
{
    if (!m_isConnected) {
        emit errorOccurred(operation + QStringLiteral(": not connected"));
        return false;
    }
    if (m_protocolState == Idle) {
        emit errorOccurred(operation + QStringLiteral(": not in protocol mode — call connectProtocol() first"));
        return false;
    }
    if (m_protocolState != Ready || singleLineCommandOutstanding()) {
        emit errorOccurred(operation + QStringLiteral(": protocol busy"));
        return false;
    }
    return true;
}

void SerialManager::getDeviceInfo()
{
    if (!checkSessionOperation(QStringLiteral("getDeviceInfo")))
        return;
    m_infoReply.reset();
    setProtocolState(GettingInfo);
    setStatusMessage(QStringLiteral("Reading device info..."));
    writeLine(m_infoReply.command());
}

void SerialManager::getCalibration()
{
    if (!checkSessionOperation(QStringLiteral("getCalibration")))
        return;
    m_calReply.reset();
    m_chainPrefs = false;
    setProtocolState(GettingCal);
    setStatusMessage(QStringLiteral("Reading calibration..."));
    writeLine(m_calReply.command());
}

void SerialManager::getPrefs()
{
    if (!checkSessionOperation(QStringLiteral("getPrefs")))
        return;
    m_prefsReply.reset();
    m_chainPrefs = false;
    setProtocolState(GettingPrefs);
    setStatusMessage(QStringLiteral("Reading preferences..."));
    writeLine(m_prefsReply.command());
}

void SerialManager::setCalibration(int index, float value)
{
    if (!checkSessionOperation(QStringLiteral("setCalibration")))
        return;
    // The instrument holds eight coefficients; anything else would be written somewhere.
    if (index < 0 || index > MaxCoefficientIndex) {
        emit errorOccurred(QStringLiteral("setCalibration: coefficient index must be 0 to %1").arg(MaxCoefficientIndex));
        return;
    }
    if (!std::isfinite(value)) {
        emit errorOccurred(QStringLiteral("setCalibration: invalid coefficient value"));
        return;
    }
    m_calibrationWrite.beginSingle();
    setStatusMessage(QStringLiteral("Setting calibration %1...").arg(index));
    writeLine(InstrumentProtocol::setCalibrationLine(index, value));
}

void SerialManager::reboot()
{
    if (!checkSessionOperation(QStringLiteral("reboot")))
        return;
    writeLine(QStringLiteral("CMD:REBOOT"));
    setProtocolState(Idle);
}
