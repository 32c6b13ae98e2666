// The operations the interface asks of the USB link: checked here, then run as commands
// in the instrument session. The port, its watch and the session's events are in
// serialmanager.cpp.
#include "devices/serial/serialmanager.h"

#include "devices/calibrationcommands.h"
#include "devices/instrumentprotocol.h"
#include "devices/preferencecommands.h"
#include "devices/serial/certificatecommands.h"
#include "devices/serial/protocolcommands.h"
#include "storage/wholefile.h"

#include <QDebug>
#include <QUrl>

#include <cmath>

using InstrumentProtocol::MaxCoefficientIndex;
using InstrumentProtocol::isSendableBody;
using InstrumentProtocol::isSendableName;
using InstrumentProtocol::withoutControlCharacters;

// ---------------------------------------------------------------------------------------
// Session control and the OTA channel

void SerialManager::connectProtocol()
{
    if (!m_isConnected) {
        emit errorOccurred(QStringLiteral("connectProtocol: not connected"));
        return;
    }
    // A new handshake replaces whatever session ran; the work it was doing fails openly.
    endOperation(SessionEnd::SessionClosed, [this] {
        setTransferring(false);
        setStatusMessage(QStringLiteral("Connecting to device..."));
        startHandshake(Opening::Session, nullptr, m_handshakeTimeout);
    });
}

void SerialManager::disconnectProtocol()
{
    // A delete ends its own session, and callers close the session right after asking for
    // one: the rename flow deletes the old file and disconnects at once. Cutting it off
    // would leave the old file on the instrument; its time-outs still bound the wait.
    const SessionOperation *operation = m_session->operation();
    if (operation && operation->closesOwnSession()) {
        qDebug().noquote() << "USB: [SESSION] disconnect left to the delete of"
                           << static_cast<const ProtocolDeleteCommand *>(operation)->fileName();
        return;
    }
    endOperation(SessionEnd::SessionClosed, [this] {
        if (m_session->state() != InstrumentSession::Idle)
            m_session->close();
        m_otaSessionPending = false;
        setTransferring(false);
        setStatusMessage(QString());
    });
}

void SerialManager::beginUsbOta()
{
    if (!m_isConnected) {
        emit otaSessionFailed(QStringLiteral("not connected"));
        return;
    }
    if (m_session->readyForCommand()) {
        m_session->setState(InstrumentSession::OtaActive);
        qDebug() << "USB: [OTA] session begun (OtaActive) — reused Ready session";
        emit otaSessionReady();
        return;
    }
    if (m_session->state() != InstrumentSession::Idle) {
        emit otaSessionFailed(QStringLiteral("protocol busy"));
        return;
    }
    m_otaSessionPending = true;
    setStatusMessage(QStringLiteral("Connecting to device..."));
    qDebug() << "USB: [OTA] opening session for firmware update";
    startHandshake(Opening::OtaOpen, nullptr, m_handshakeTimeout);
}

void SerialManager::sendOtaLine(const QString &line)
{
    if (m_session->state() != InstrumentSession::OtaActive) {
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
    if (m_session->state() != InstrumentSession::OtaActive)
        return;
    if (sessionLost) {
        m_session->setState(InstrumentSession::Idle);
        setStatusMessage(QString());
    } else {
        m_session->setState(InstrumentSession::Ready);
    }
}

void SerialManager::cancelTransfer()
{
    endOperation(SessionEnd::Cancelled, [this] {
        // With nothing running there is no session to keep open.
        if (m_session->state() != InstrumentSession::Idle)
            m_session->setState(InstrumentSession::Ready);
        setTransferring(false);
        setTransferProgress(0);
        setStatusMessage(QStringLiteral("Transfer cancelled"));
    });
}

// ---------------------------------------------------------------------------------------
// Self-contained operations

void SerialManager::putProtocol(const QString &filename, const QByteArray &data)
{
    QString refusal;
    QString error;
    if (!m_isConnected) {
        refusal = QStringLiteral("Device is not connected");
        error = QStringLiteral("not connected");
    } else if (m_session->state() != InstrumentSession::Idle) {
        refusal = QStringLiteral("Device is busy — try again in a moment");
        error = QStringLiteral("protocol busy");
    } else if (!isSendableName(filename)) {
        refusal = QStringLiteral("Invalid file name — it must not be empty, contain line breaks or be a path");
        error = QStringLiteral("invalid file name");
    } else if (data.isEmpty()) {
        refusal = QStringLiteral("The protocol is empty — nothing to send");
        error = QStringLiteral("empty protocol");
    } else if (!isSendableBody(data)) {
        refusal = QStringLiteral("The protocol contains a line the device would take as a command");
        error = QStringLiteral("invalid protocol body");
    }
    if (!refusal.isEmpty()) {
        emit transferFailed(refusal);
        emit errorOccurred(QStringLiteral("putProtocol: ") + error);
        return;
    }
    setTransferring(true);
    setTransferProgress(0);
    setStatusMessage(QStringLiteral("Sending %1...").arg(filename));
    startHandshake(Opening::Nothing, std::make_unique<ProtocolPutCommand>(filename, data), m_handshakeTimeout);
}

void SerialManager::listProtocols()
{
    if (!m_isConnected) {
        emit errorOccurred(QStringLiteral("listProtocols: not connected"));
        return;
    }
    const bool reuse = m_session->readyForCommand();
    if (!reuse && m_session->state() != InstrumentSession::Idle) {
        emit errorOccurred(QStringLiteral("listProtocols: protocol busy"));
        return;
    }
    setStatusMessage(QStringLiteral("Listing protocols..."));
    if (reuse)
        m_session->run(std::make_unique<ProtocolListCommand>());
    else
        startHandshake(Opening::Nothing, std::make_unique<ProtocolListCommand>(), m_handshakeTimeout);
}

void SerialManager::getProtocol(const QString &filename)
{
    if (!m_isConnected) {
        emit errorOccurred(QStringLiteral("getProtocol: not connected"));
        return;
    }
    const bool reuse = m_session->readyForCommand();
    if (!reuse && m_session->state() != InstrumentSession::Idle) {
        emit errorOccurred(QStringLiteral("getProtocol: protocol busy"));
        return;
    }
    if (!isSendableName(filename)) {
        emit errorOccurred(QStringLiteral("getProtocol: invalid file name"));
        return;
    }
    setStatusMessage(QStringLiteral("Receiving %1...").arg(filename));
    if (reuse)
        m_session->run(std::make_unique<ProtocolGetCommand>(filename));
    else
        startHandshake(Opening::Nothing, std::make_unique<ProtocolGetCommand>(filename), m_downloadTimeout);
}

void SerialManager::deleteProtocol(const QString &filename)
{
    if (!m_isConnected) {
        emit errorOccurred(QStringLiteral("deleteProtocol: not connected"));
        return;
    }
    if (m_session->state() != InstrumentSession::Idle) {
        emit errorOccurred(QStringLiteral("deleteProtocol: protocol busy"));
        return;
    }
    if (!isSendableName(filename)) {
        emit errorOccurred(QStringLiteral("deleteProtocol: invalid file name"));
        return;
    }
    setStatusMessage(QStringLiteral("Deleting %1...").arg(filename));
    startHandshake(Opening::Nothing, std::make_unique<ProtocolDeleteCommand>(filename), m_handshakeTimeout);
}

bool SerialManager::fetchCalibration()
{
    if (!m_isConnected || m_session->state() != InstrumentSession::Idle)
        return false;
    startHandshake(Opening::Nothing, std::make_unique<CalibrationReadCommand>(true), m_handshakeTimeout);
    return true;
}

void SerialManager::applyCalibration(const QVariantList &coefPairs, const QString &calDate)
{
    if (!m_isConnected) {
        emit calibrationApplied(false);
        return;
    }
    if (m_session->state() != InstrumentSession::Idle) {
        qDebug() << "USB: [CAL_APPLY] skipped — protocol busy (state" << int(m_session->state()) << ")";
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
    setTransferring(true);
    setTransferProgress(0);
    startHandshake(Opening::Nothing, std::make_unique<CalibrationWriteCommand>(queue, withoutControlCharacters(calDate)),
                   m_handshakeTimeout);
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
    if (!m_isConnected || m_session->state() != InstrumentSession::Idle) {
        emit setPrefResult(false, key);
        return;
    }
    setStatusMessage(QStringLiteral("Setting %1...").arg(key));
    startHandshake(Opening::Nothing, std::make_unique<PreferenceWriteCommand>(key, cleaned), m_handshakeTimeout);
}

// ---------------------------------------------------------------------------------------
// Operations in an open session

bool SerialManager::checkSessionOperation(const QString &operation)
{
    if (!m_isConnected) {
        emit errorOccurred(operation + QStringLiteral(": not connected"));
        return false;
    }
    if (m_session->state() == InstrumentSession::Idle) {
        emit errorOccurred(operation + QStringLiteral(": not in protocol mode — call connectProtocol() first"));
        return false;
    }
    if (!m_session->readyForCommand()) {
        emit errorOccurred(operation + QStringLiteral(": protocol busy"));
        return false;
    }
    return true;
}

void SerialManager::getDeviceInfo()
{
    if (!checkSessionOperation(QStringLiteral("getDeviceInfo")))
        return;
    setStatusMessage(QStringLiteral("Reading device info..."));
    m_session->run(std::make_unique<RecordReadCommand>(RecordReadCommand::Record::Info));
}

void SerialManager::getCalibration()
{
    if (!checkSessionOperation(QStringLiteral("getCalibration")))
        return;
    setStatusMessage(QStringLiteral("Reading calibration..."));
    m_session->run(std::make_unique<CalibrationReadCommand>(false));
}

void SerialManager::getPrefs()
{
    if (!checkSessionOperation(QStringLiteral("getPrefs")))
        return;
    setStatusMessage(QStringLiteral("Reading preferences..."));
    m_session->run(std::make_unique<RecordReadCommand>(RecordReadCommand::Record::Preferences));
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
    setStatusMessage(QStringLiteral("Setting calibration %1...").arg(index));
    m_session->run(std::make_unique<CalibrationWriteCommand>(index, value));
}

void SerialManager::reboot()
{
    if (!checkSessionOperation(QStringLiteral("reboot")))
        return;
    m_session->sendLine(QStringLiteral("CMD:REBOOT"));
    m_session->setState(InstrumentSession::Idle);
}

// ---------------------------------------------------------------------------------------
// The QA certificate

bool SerialManager::checkCertificateOperation(const QString &operation)
{
    if (!m_isConnected) {
        emit errorOccurred(operation + QStringLiteral(": not connected"));
        return false;
    }
    if (m_session->state() != InstrumentSession::Idle) {
        emit errorOccurred(operation + QStringLiteral(": protocol busy"));
        return false;
    }
    return true;
}

void SerialManager::putCertificate(const QString &recordJson, const QString &xlsxBase64)
{
    if (!checkCertificateOperation(QStringLiteral("putCertificate")))
        return;
    // A record line starting "END:" would end the upload early, and a workbook that is not
    // Base64 would be stored as one the instrument cannot give back.
    if (recordJson.trimmed().isEmpty() || !isSendableBody(recordJson.toUtf8())) {
        emit errorOccurred(QStringLiteral("putCertificate: invalid certificate record"));
        return;
    }
    if (!QByteArray::fromBase64Encoding(xlsxBase64.toLatin1(), QByteArray::AbortOnBase64DecodingErrors)) {
        emit errorOccurred(QStringLiteral("putCertificate: the source data is not Base64"));
        return;
    }
    setTransferring(true);
    setTransferProgress(0);
    setStatusMessage(QStringLiteral("Saving certificate to device..."));
    auto done = [this](bool saved) {
        if (saved && !m_identity.hasCertificate) {
            m_identity.hasCertificate = true;
            emit usbDeviceInfoChanged();
        }
        emit certificateSaved(saved);
    };
    startHandshake(Opening::Nothing, std::make_unique<CertificatePutCommand>(recordJson, xlsxBase64, done),
                   m_handshakeTimeout);
}

void SerialManager::getCertificate()
{
    if (!checkCertificateOperation(QStringLiteral("getCertificate")))
        return;
    setStatusMessage(QStringLiteral("Loading certificate..."));
    auto done = [this](const QString &record) { emit certificateReceived(record); };
    startHandshake(Opening::Nothing, std::make_unique<CertificateGetCommand>(done), m_handshakeTimeout);
}

void SerialManager::getCertificateFile()
{
    if (!checkCertificateOperation(QStringLiteral("getCertificateFile")))
        return;
    setStatusMessage(QStringLiteral("Downloading source data..."));
    // The last download is replaced, or forgotten when this one fails.
    m_lastCertificateFile.clear();
    auto done = [this](const QByteArray &file) {
        m_lastCertificateFile = file;
        emit certificateFileReceived(!file.isEmpty());
    };
    startHandshake(Opening::Nothing, std::make_unique<CertificateFileGetCommand>(done), m_certificateFileTimeout);
}

void SerialManager::deleteCertificate()
{
    if (!checkCertificateOperation(QStringLiteral("deleteCertificate")))
        return;
    startHandshake(Opening::Nothing, std::make_unique<CertificateDeleteCommand>([this] { emit certificateDeleted(); }),
                   m_handshakeTimeout);
}

bool SerialManager::saveLastCertFile(const QString &pathOrUrl)
{
    if (m_lastCertificateFile.isEmpty())
        return false;
    const QString path = pathOrUrl.startsWith(QLatin1String("file:")) ? QUrl(pathOrUrl).toLocalFile()
                                                                       : pathOrUrl;
    if (path.isEmpty() || WholeFile::write(path, m_lastCertificateFile) != WholeFile::Written) {
        emit errorOccurred(QStringLiteral("Could not write ") + path);
        return false;
    }
    return true;
}
