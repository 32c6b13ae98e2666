// The Bluetooth LE link's work over a ready link: a method file through the data
// characteristic, and calibration and preference commands through the command
// characteristic, run by the same session operations as the USB link.

#include "devices/ble/blemanager.h"

#include "devices/ble/bleuuids.h"
#include "devices/calibrationcommands.h"
#include "devices/deviceinfo.h"
#include "devices/devicemanager.h"
#include "devices/instrumentprotocol.h"
#include "devices/instrumentsession.h"
#include "devices/preferencecommands.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cmath>

namespace {

const QString ConnectionLost = QStringLiteral("Connection lost during transfer. Please try again.");
const QString Banner(50, QLatin1Char('='));

// A calibration write that tells the link when it is over, before it answers, so that a
// listener of the answer finds the link free for a file.
class TrackedCalibrationWrite : public CalibrationWriteCommand
{
public:
    TrackedCalibrationWrite(const QList<QPair<int, float>> &queue, const QString &date, bool *running)
        : CalibrationWriteCommand(queue, date)
        , m_running(running)
    {
        *m_running = true;
    }
    void finished(SessionLink &link) override
    {
        *m_running = false;
        CalibrationWriteCommand::finished(link);
    }
    void ended(SessionLink &link, SessionEnd cause) override
    {
        *m_running = false;
        CalibrationWriteCommand::ended(link, cause);
    }

private:
    bool *m_running;
};

// A preference write whose key counts as in flight until it has answered, so that its
// confirmation is known whole even without a line end.
class TrackedPreferenceWrite : public PreferenceWriteCommand
{
public:
    TrackedPreferenceWrite(const QString &key, const QString &value, QStringList *inFlight)
        : PreferenceWriteCommand(key, value)
        , m_key(key)
        , m_inFlight(inFlight)
    {
        m_inFlight->append(key);
    }
    void finished(SessionLink &link) override
    {
        m_inFlight->removeOne(m_key);
        PreferenceWriteCommand::finished(link);
    }
    void ended(SessionLink &link, SessionEnd cause) override
    {
        m_inFlight->removeOne(m_key);
        PreferenceWriteCommand::ended(link, cause);
    }

private:
    QString m_key;
    QStringList *m_inFlight;
};

} // namespace

// ---- the data channel ----

void BleManager::putProtocol(const QString &filename, const QByteArray &data)
{
    sendData(data, filename);
}

void BleManager::sendFile(const QString &filePath)
{
    QString path = filePath;
    if (path.startsWith(QLatin1String("file://")))
        path = path.mid(7);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit errorOccurred(QStringLiteral("Failed to open file: %1").arg(path));
        return;
    }
    sendData(file.readAll(), QFileInfo(path).fileName());
}

void BleManager::sendData(const QByteArray &data, const QString &filename)
{
    if (!m_isConnected || !m_service) {
        emit errorOccurred(QStringLiteral("Not connected to device"));
        return;
    }
    if (data.isEmpty()) {
        emit errorOccurred(QStringLiteral("Cannot send empty data"));
        return;
    }
    // The name follows "DONE" as the instrument's file name: a separator or a control
    // character would put the file elsewhere or cut the name short.
    if (!InstrumentProtocol::isSendableName(filename)) {
        emit errorOccurred(QStringLiteral("sendData: invalid file name"));
        return;
    }
    // Two files at once would interleave their chunks under one START.
    if (m_transfer != Transfer::None) {
        emit errorOccurred(QStringLiteral("A transfer is already in progress"));
        return;
    }
    if (m_applyingCalibration) {
        emit errorOccurred(QStringLiteral("Calibration is being written — send the file when it is done"));
        return;
    }
    bool writable = false;
    dataWriteMode(&writable);
    if (!writable) {
        emit errorOccurred(QStringLiteral("The device does not accept files over Bluetooth"));
        return;
    }
    m_readyResetTimer->stop();
    m_transferCompleted = false;
    m_fileData = data;
    m_fileName = filename;
    m_chunkIndex = 0;
    m_chunkCount = int((data.size() + ChunkSize - 1) / ChunkSize);
    addLog(Banner);
    addLog(QStringLiteral("[TRANSFER] File: %1").arg(filename));
    addLog(QStringLiteral("[TRANSFER] File size: %1 bytes").arg(data.size()));
    addLog(QStringLiteral("[TRANSFER] Total chunks: %1 (%2 bytes each)").arg(m_chunkCount).arg(ChunkSize));
    addLog(Banner);
    m_transfer = Transfer::AwaitingStart;
    setTransferring(true);
    setStatus(QStringLiteral("Sending READY..."));
    addLog(QStringLiteral("[HANDSHAKE] Sending READY command..."));
    writeData(QByteArrayLiteral("READY"));
    m_handshakeTimer->start();
}

QLowEnergyService::WriteMode BleManager::dataWriteMode(bool *writable) const
{
    const QLowEnergyCharacteristic::PropertyTypes properties =
        m_service ? m_service->properties(BleUuids::dataCharacteristic()) : QLowEnergyCharacteristic::PropertyTypes();
    *writable = properties & (QLowEnergyCharacteristic::WriteNoResponse | QLowEnergyCharacteristic::Write);
    return properties & QLowEnergyCharacteristic::WriteNoResponse ? QLowEnergyService::WriteWithoutResponse
                                                                   : QLowEnergyService::WriteWithResponse;
}

void BleManager::writeData(const QByteArray &bytes)
{
    bool writable = false;
    const QLowEnergyService::WriteMode mode = dataWriteMode(&writable);
    if (!writable) {
        qDebug() << "QT_BLE: [TRANSFER] data characteristic not writable — nothing sent";
        return;
    }
    m_service->writeCharacteristic(BleUuids::dataCharacteristic(), bytes, mode);
}

void BleManager::sendNextChunk()
{
    if (m_transfer != Transfer::SendingChunks)
        return;
    if (m_chunkIndex < m_chunkCount) {
        if (m_chunkIndex == 0) {
            addLog(QStringLiteral("[TRANSFER] Starting chunk transmission..."));
            m_chunkClock.start();
        }
        writeData(m_fileData.mid(m_chunkIndex * ChunkSize, ChunkSize));
        ++m_chunkIndex;
        setTransferProgress(m_chunkIndex * 100 / m_chunkCount);
        setStatus(QStringLiteral("Sending chunk %1 of %2...").arg(m_chunkIndex).arg(m_chunkCount));
        const qint64 due = qint64(m_chunkIndex) * m_timings.chunk;
        m_chunkTimer->start(int(qMax<qint64>(0, due - m_chunkClock.elapsed())));
        return;
    }
    addLog(QStringLiteral("[TRANSFER] All chunks sent, sending DONE..."));
    setStatus(QStringLiteral("Sending completion..."));
    writeData(QByteArrayLiteral("DONE"));
    addLog(QStringLiteral("[TRANSFER] Sending filename: %1").arg(m_fileName));
    writeData(m_fileName.toUtf8());
    setTransferProgress(100);
    m_transfer = Transfer::AwaitingSave;
    setStatus(QStringLiteral("Confirming save on device…"));
    addLog(QStringLiteral("[TRANSFER] All chunks sent — awaiting device save confirmation…"));
    m_saveTimer->start();
}

void BleManager::onHandshakeTimeout()
{
    if (m_transfer != Transfer::AwaitingStart)
        return;
    m_transfer = Transfer::None;
    setTransferring(false);
    emit errorOccurred(QStringLiteral("Timeout waiting for START from device"));
    setStatus(QStringLiteral("Transfer failed: timeout"));
}

void BleManager::onSaveTimeout()
{
    if (m_transfer != Transfer::AwaitingSave)
        return;
    addLog(QStringLiteral("[TRANSFER] No save confirmation (older firmware?) — assuming success"));
    finishTransfer(true, QString());
}

void BleManager::finishTransfer(bool success, const QString &error)
{
    m_saveTimer->stop();
    m_chunkTimer->stop();
    m_handshakeTimer->stop();
    m_transfer = Transfer::None;
    setTransferring(false);
    if (!success) {
        setTransferProgress(0);
        setStatus(error);
        addLog(QStringLiteral("[TRANSFER] Failed: %1").arg(error));
        emit transferFailed(error);
        emit errorOccurred(error);
        return;
    }
    setTransferProgress(100);
    m_transferCompleted = true;
    setStatus(QStringLiteral("Transfer complete!"));
    addLog(QStringLiteral("[TRANSFER] Transfer complete!"));
    emit transferComplete();
    m_readyResetTimer->start();
}

void BleManager::cancelTransfer()
{
    if (m_transfer != Transfer::None) {
        m_chunkTimer->stop();
        m_handshakeTimer->stop();
        m_saveTimer->stop();
        m_transfer = Transfer::None;
        setTransferring(false);
        setTransferProgress(0);
        setStatus(QStringLiteral("Transfer cancelled"));
        return;
    }
    if (m_applyingCalibration) {
        m_session->end(SessionEnd::Cancelled, [this] {
            m_session->setState(InstrumentSession::Ready);
            setTransferring(false);
            setTransferProgress(0);
            setStatus(QStringLiteral("Transfer cancelled"));
        });
    }
}

void BleManager::handleDataNotification(const QString &text)
{
    if (text == QLatin1String("START")) {
        // Only the handshake's START counts: a stray one would send "DONE" and the last
        // name again, over the good file.
        if (m_transfer != Transfer::AwaitingStart) {
            addLog(QStringLiteral("[HANDSHAKE] START outside a handshake — ignored"));
            return;
        }
        addLog(QStringLiteral("[HANDSHAKE] Received START - handshake complete!"));
        m_handshakeTimer->stop();
        emit isReadyForTransferChanged();
        setStatus(QStringLiteral("Received START, beginning transfer..."));
        m_transfer = Transfer::SendingChunks;
        sendNextChunk();
    } else if (text == QLatin1String("NOTREADY")) {
        if (m_transfer != Transfer::AwaitingStart)
            return;
        addLog(QStringLiteral("[HANDSHAKE] Device NOTREADY — not ready to receive"));
        finishTransfer(false, QStringLiteral("The Nerra isn't ready to receive. Turn on Bluetooth / Import mode on the "
                                             "device, then try again."));
    } else if (text.startsWith(QLatin1String("SAVED:"))) {
        addLog(QStringLiteral("[TRANSFER] Device confirmed save: %1").arg(text));
        if (m_transfer == Transfer::AwaitingSave)
            finishTransfer(true, QString());
    } else if (text.startsWith(QLatin1String("SAVEFAIL:"))) {
        addLog(QStringLiteral("[TRANSFER] Device reported save failure: %1").arg(text));
        if (m_transfer == Transfer::AwaitingSave)
            finishTransfer(false, QStringLiteral("The Nerra could not save the protocol. Please try again."));
    } else if (text == QLatin1String("EXIT")) {
        addLog(QStringLiteral("[DISCONNECT] Device sent EXIT - disconnecting gracefully"));
        m_healthTimer->stop();
        setStatus(QStringLiteral("Device disconnected"));
        resetConnection();
    }
}

// A transfer cut by the end of the link: before "DONE" it failed; waiting for the save
// reply it ends as the save timer would have ended it. The user's own close has no result.
void BleManager::endTransferWithLink()
{
    m_readyResetTimer->stop();
    const Transfer was = m_transfer;
    if (was == Transfer::None)
        return;
    if (m_endCause == SessionEnd::PortClosed) {
        m_chunkTimer->stop();
        m_handshakeTimer->stop();
        m_saveTimer->stop();
        m_transfer = Transfer::None;
        return;
    }
    if (was == Transfer::AwaitingSave) {
        addLog(QStringLiteral("[TRANSFER] Link ended while awaiting the save confirmation — assuming success"));
        finishTransfer(true, QString());
    } else {
        finishTransfer(false, ConnectionLost);
    }
    m_readyResetTimer->stop();
}

// ---- the command channel ----

void BleManager::writeLine(const QString &line)
{
    if (line == InstrumentSession::DisconnectLine || !m_service)
        return;
    addLog(QStringLiteral("[CMD] Writing: %1").arg(InstrumentProtocol::maskedForLog(line)));
    m_service->writeCharacteristic(BleUuids::commandCharacteristic(), line.toUtf8(), QLowEnergyService::WriteWithResponse);
}

void BleManager::writeBytes(const QByteArray &)
{
    // No handshake bytes over the radio: the link itself is the session.
}

void BleManager::enqueue(std::unique_ptr<SessionOperation> operation)
{
    m_commandQueue.push_back(std::move(operation));
    runNextOperation();
}

void BleManager::runNextOperation()
{
    if (m_commandQueue.empty() || !m_session->readyForCommand())
        return;
    std::unique_ptr<SessionOperation> next = std::move(m_commandQueue.front());
    m_commandQueue.pop_front();
    m_session->run(std::move(next));
}

void BleManager::operationEnded()
{
    // After the answer's listeners: the next command goes out from the event loop.
    QTimer::singleShot(0, this, &BleManager::runNextOperation);
}

void BleManager::endCommandsWithLink(SessionEnd cause)
{
    m_residueTimer->stop();
    m_commandBuffer.clear();
    std::deque<std::unique_ptr<SessionOperation>> queued = std::move(m_commandQueue);
    m_commandQueue.clear();
    m_session->end(cause, [this] { m_session->setState(InstrumentSession::Idle); });
    for (const std::unique_ptr<SessionOperation> &operation : queued)
        operation->ended(*this, cause);
}

bool BleManager::commandChannelUsable() const
{
    return m_isConnected && m_service && m_service->hasCharacteristic(BleUuids::commandCharacteristic());
}

void BleManager::getCalibration()
{
    if (!commandChannelUsable()) {
        qWarning() << "QT_BLE: [CAL] getCalibration: command channel not available";
        return;
    }
    addLog(QStringLiteral("[CAL] CMD:GET_CAL"));
    enqueue(std::make_unique<CalibrationReadCommand>(false));
}

bool BleManager::fetchCalibration()
{
    if (!commandChannelUsable()) {
        qWarning() << "QT_BLE: [CAL] fetchCalibration: command channel not available";
        return false;
    }
    addLog(QStringLiteral("[CAL] CMD:GET_CAL (then CMD:GET_PREFS for calDate)"));
    enqueue(std::make_unique<CalibrationReadCommand>(true));
    return true;
}

void BleManager::setCalibration(int index, float value)
{
    if (!commandChannelUsable()) {
        qWarning() << "QT_BLE: [CAL] setCalibration: command channel not available";
        return;
    }
    if (index < 0 || index > InstrumentProtocol::MaxCoefficientIndex || !std::isfinite(value)) {
        qWarning() << "QT_BLE: [CAL] setCalibration refused:" << index << value;
        emit calibrationApplied(false);
        return;
    }
    enqueue(std::make_unique<CalibrationWriteCommand>(index, value));
}

void BleManager::applyCalibration(const QVariantList &coefPairs, const QString &calDate)
{
    if (!commandChannelUsable()) {
        qWarning() << "QT_BLE: [CAL] applyCalibration: command channel not available";
        emit calibrationApplied(false);
        return;
    }
    if (m_transfer != Transfer::None || m_applyingCalibration) {
        qWarning() << "QT_BLE: [CAL] applyCalibration refused — a transfer is running";
        emit calibrationApplied(false);
        return;
    }
    QList<QPair<int, float>> queue;
    QVariant badEntry;
    if (!InstrumentProtocol::coefficientQueue(coefPairs, &queue, &badEntry)) {
        qWarning() << "QT_BLE: [CAL] applyCalibration refused — malformed coefficient entry" << badEntry;
        emit errorOccurred(QStringLiteral("applyCalibration: invalid coefficient list"));
        emit calibrationApplied(false);
        return;
    }
    const QString date = InstrumentProtocol::withoutControlCharacters(calDate);
    setTransferProgress(0);
    setTransferring(true);
    addLog(QStringLiteral("[CAL] applyCalibration: %1 coefs + calDate='%2'").arg(queue.size()).arg(date));
    if (queue.isEmpty() && date.isEmpty()) {
        setTransferring(false);
        emit calibrationApplied(true);
        return;
    }
    enqueue(std::make_unique<TrackedCalibrationWrite>(queue, date, &m_applyingCalibration));
}

void BleManager::calibrationWriteProgress(int remaining)
{
    setTransferProgress(int((1.0 - double(remaining) / double(remaining + 1)) * 100.0));
}

void BleManager::setCalibrationDate(const QString &date)
{
    if (date == m_calibrationDate)
        return;
    m_calibrationDate = date;
    emit calibrationDateChanged();
}

void BleManager::setPref(const QString &key, const QString &value)
{
    const QString cleaned = InstrumentProtocol::withoutControlCharacters(value);
    if (cleaned != value) {
        addLog(QStringLiteral("[CMD] Sanitized control chars from %1 value").arg(key));
        qDebug().noquote() << "QT_BLE: [CMD] sanitized control chars from" << key << "value (Nerra_App#280)";
    }
    if (!InstrumentProtocol::isSendableKey(key)) {
        emit errorOccurred(QStringLiteral("setPref: invalid preference key"));
        emit setPrefResult(false, key);
        return;
    }
    if (!m_isConnected || !m_service) {
        notSupported("setPref");
        return;
    }
    if (!m_service->hasCharacteristic(BleUuids::commandCharacteristic())) {
        addLog(QStringLiteral("[CMD] CMD characteristic not available — firmware may need update"));
        emit setPrefResult(false, key);
        return;
    }
    enqueue(std::make_unique<TrackedPreferenceWrite>(key, cleaned, &m_prefKeysInFlight));
}

void BleManager::preferenceSaved(const QString &key, const QString &value)
{
    addLog(QStringLiteral("[CMD] OK:SET_PREF key=%1 value=%2")
               .arg(key, key == QLatin1String("password") ? QStringLiteral("***") : value));
    DeviceInfo *entry = connectedEntry();
    if (key == QLatin1String("ssid")) {
        if (!value.isEmpty()) {
            m_connectedDeviceSSID = value;
            emit connectedDeviceSSIDChanged();
        }
        return;
    }
    if (!entry)
        return;
    bool isNumber = false;
    const int color = value.toInt(&isNumber);
    if (key == QLatin1String("sn") && !value.isEmpty())
        entry->setSerialNumber(value);
    else if (key == QLatin1String("name"))
        entry->setName(value.isEmpty() ? QString() : QStringLiteral("Nerra: ") + value);
    else if (key == QLatin1String("color") && isNumber)
        entry->setThemeColor(color);
    else
        return;
    m_devices->savePairedDevices();
}

// Replies arrive in notifications cut anywhere. Complete lines go on at once; of what is
// left, only a reply known to be whole goes on, and anything else waits for its line end or
// a moment of quiet.
void BleManager::handleCommandNotification(const QByteArray &value)
{
    const QString text = QString::fromUtf8(value);
    QString preview = text;
    preview.replace(QLatin1Char('\n'), QChar(0x2424));
    if (preview.size() > 100)
        preview = preview.left(100) + QStringLiteral("…");
    addLog(QStringLiteral("[CMD] notify chunk: %1 bytes (buf=%2B pre), preview: %3")
               .arg(value.size())
               .arg(m_commandBuffer.size())
               .arg(preview));
    m_commandBuffer += text;
    int end;
    while ((end = m_commandBuffer.indexOf(QLatin1Char('\n'))) >= 0) {
        const QString line = m_commandBuffer.left(end).trimmed();
        m_commandBuffer.remove(0, end + 1);
        if (!line.isEmpty())
            takeCommandLine(line);
    }
    const QString rest = m_commandBuffer.trimmed();
    if (rest.isEmpty()) {
        m_commandBuffer.clear();
        m_residueTimer->stop();
        return;
    }
    if (isCompleteReply(rest)) {
        m_commandBuffer.clear();
        m_residueTimer->stop();
        takeCommandLine(rest);
        return;
    }
    if (m_commandBuffer.size() > MaxCommandBuffer) {
        addLog(QStringLiteral("[CMD] %1 bytes without a line end — dropped").arg(m_commandBuffer.size()));
        m_commandBuffer.clear();
        m_residueTimer->stop();
        return;
    }
    addLog(QStringLiteral("[CMD] holding partial residue: %1 bytes").arg(rest.size()));
    m_residueTimer->start();
}

bool BleManager::isCompleteReply(const QString &text) const
{
    static const QStringList fixed{QStringLiteral("OK:GET_CAL"), QStringLiteral("OK:GET_PREFS"),
                                   QStringLiteral("END:GET_CAL"), QStringLiteral("END:GET_PREFS"),
                                   QStringLiteral("OK:SET_CAL")};
    if (fixed.contains(text))
        return true;
    if (!text.startsWith(QLatin1String("OK:SET_PREF:")))
        return false;
    const QString key = text.mid(12);
    return m_prefKeysInFlight.contains(key) || (m_applyingCalibration && key == QLatin1String("calDate"));
}

void BleManager::takeCommandLine(const QString &line)
{
    addLog(QStringLiteral("[CMD] line: %1").arg(InstrumentProtocol::maskedForLog(line)));
    if (line.startsWith(QLatin1String("CHANGED:"))) {
        const QString rest = line.mid(8);
        const int colon = rest.indexOf(QLatin1Char(':'));
        const QString key = colon < 0 ? QString() : rest.left(colon);
        if (key.isEmpty())
            return;
        const QString value = rest.mid(colon + 1);
        addLog(QStringLiteral("[CMD] CHANGED key=%1 value=%2").arg(key, value));
        DeviceInfo *entry = connectedEntry();
        if (!entry)
            return;
        bool ok = false;
        const int color = value.toInt(&ok);
        if (key == QLatin1String("color") && ok)
            entry->setThemeColor(color);
        else if (key == QLatin1String("sn"))
            entry->setSerialNumber(value);
        else if (key == QLatin1String("name"))
            entry->setName(value);
        m_devices->savePairedDevices();
        return;
    }
    m_session->takeLine(line);
}

// ---- notifications ----

void BleManager::onCharacteristicChanged(const QBluetoothUuid &characteristic, const QByteArray &value)
{
    if (sender() != m_service)
        return;
    if (characteristic == BleUuids::dataCharacteristic()) {
        const QString text = QString::fromUtf8(value).trimmed();
        addLog(QStringLiteral("[RX] Notification received: %1 (%2 bytes)").arg(text).arg(value.size()));
        handleDataNotification(text);
    } else if (characteristic == BleUuids::commandCharacteristic()) {
        handleCommandNotification(value);
    }
}

// ---- not carried over Bluetooth LE ----

void BleManager::notSupported(const char *operation)
{
    emit errorOccurred(QString::fromLatin1(operation) + QStringLiteral(": not supported over BLE in this version"));
}

void BleManager::getProtocol(const QString &) { notSupported("getProtocol"); }
void BleManager::listProtocols() { notSupported("listProtocols"); }
void BleManager::deleteProtocol(const QString &) { notSupported("deleteProtocol"); }
void BleManager::getDeviceInfo() { notSupported("getDeviceInfo"); }
void BleManager::getPrefs() { notSupported("getPrefs"); }
void BleManager::reboot() { notSupported("reboot"); }
