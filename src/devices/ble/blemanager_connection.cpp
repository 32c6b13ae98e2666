// The Bluetooth LE link's connection side: connecting to a registry entry (with the
// fallback scan), GATT set-up, the instrument's identity, the health check and closing.

#include "devices/ble/blemanager.h"

#include "devices/ble/bleuuids.h"
#include "devices/deviceinfo.h"
#include "devices/devicemanager.h"
#include "devices/instrumentsession.h"

#include <QDebug>
#include <QRegularExpression>
#include <QTimer>

namespace {

const QString CouldNotConnect = QStringLiteral("Could not connect to device. Device may be out of range or powered off.");

// Detaches a link object from the manager and lets it go once the event loop is free.
void release(QObject *object, QObject *manager)
{
    if (!object)
        return;
    QObject::disconnect(object, nullptr, manager, nullptr);
    object->deleteLater();
}

} // namespace

QString BleManager::cleanHardwareId(const QByteArray &value)
{
    const int nul = value.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? value : value.left(nul)).trimmed();
    static const QRegularExpression twelveHexDigits(QStringLiteral("^[0-9A-Fa-f]{12}$"));
    return twelveHexDigits.match(text).hasMatch() ? text : QString();
}

void BleManager::connectToDevice(int deviceIndex)
{
    if (m_isConnecting) {
        qDebug() << "QT_BLE: [CONNECT] Already connecting, ignoring request";
        return;
    }
    if (deviceIndex < 0 || deviceIndex >= m_devices->devices().size()) {
        emit errorOccurred(QStringLiteral("Invalid device index"));
        return;
    }
    DeviceInfo *device = m_devices->deviceAt(deviceIndex);
    if (!device) {
        emit errorOccurred(QStringLiteral("Device info not found"));
        return;
    }
    // The user's own connect takes over from a fallback or a reconnect that was due.
    if (m_pendingConnect) {
        const bool fallbackScan = m_scanIsConnectFallback;
        endFallback(false);
        if (fallbackScan && m_discovery->isActive()) {
            m_discovery->stop();
            setScanning(false);
        }
    }
    m_reconnectTimer->stop();
    m_reconnectTarget.clear();
    m_retryingWithUpdatedMac = false;
    connectTo(device, false);
}

void BleManager::connectTo(DeviceInfo *device, bool reconnect)
{
    // An open link is closed first, so that its late "disconnected" cannot end the new one.
    if (m_central)
        closeLink();
    m_attemptIsReconnect = reconnect;
    m_scanIsConnectFallback = false;
    setConnecting(true);
    setConnectionStage(QStringLiteral("Connecting to device..."));
    addLog(QStringLiteral("[CONNECT] Connecting to %1...").arg(device->name()));
    setStatus(QStringLiteral("Connecting to %1...").arg(device->name()));
    setTransferProgress(0);
    setConnectedDeviceId(device->uniqueId());

    m_instrumentServiceFound = false;
    m_central = m_radio->createCentral(device->bluetoothInfo(), this);
    connect(m_central, &BleCentral::connected, this, &BleManager::onControllerConnected);
    connect(m_central, &BleCentral::disconnected, this, &BleManager::onControllerDisconnected);
    connect(m_central, &BleCentral::errorOccurred, this, &BleManager::onControllerError);
    connect(m_central, &BleCentral::serviceDiscovered, this, &BleManager::onServiceDiscovered);
    connect(m_central, &BleCentral::discoveryFinished, this, &BleManager::onDiscoveryFinished);
    m_connectionTimer->start();
    m_central->connectToDevice();
}

void BleManager::onControllerConnected()
{
    if (sender() != m_central)
        return;
    m_connectionTimer->stop();
    if (m_isScanning)
        stopScan();
    setConnectionStage(QStringLiteral("Discovering services..."));
    addLog(QStringLiteral("[CONNECT] Connected to GATT server"));
    setStatus(QStringLiteral("Connected, initializing..."));
    addLog(QStringLiteral("[CONNECT] Discovering services..."));
    setStatus(QStringLiteral("Connected, discovering services..."));
    // Discovery and notifications must finish in time, or the attempt would hold the link
    // (and refuse every later connect) for as long as the instrument stays silent.
    m_setupTimer->start();
    m_central->discoverServices();
}

void BleManager::onServiceDiscovered(const QBluetoothUuid &serviceUuid)
{
    if (sender() != m_central)
        return;
    if (serviceUuid == BleUuids::informationService()) {
        if (m_infoService)
            return;
        m_infoService = m_central->createServiceObject(serviceUuid, this);
        if (!m_infoService)
            return;
        connect(m_infoService, &BleGattService::stateChanged, this, &BleManager::onDISServiceStateChanged);
        m_infoService->discoverDetails();
    } else if (serviceUuid == BleUuids::instrumentService()) {
        if (m_service)
            return;
        m_instrumentServiceFound = true;
        addLog(QStringLiteral("[CONNECT] Found Nerra BLE service"));
        m_service = m_central->createServiceObject(serviceUuid, this);
        if (!m_service) {
            failAttempt(QStringLiteral("Connection failed"), QStringLiteral("Failed to create service object"));
            return;
        }
        connect(m_service, &BleGattService::stateChanged, this, &BleManager::onServiceStateChanged);
        connect(m_service, &BleGattService::characteristicChanged, this, &BleManager::onCharacteristicChanged);
        connect(m_service, &BleGattService::descriptorWritten, this, &BleManager::onDescriptorWritten);
        connect(m_service, &BleGattService::characteristicRead, this, &BleManager::onColorCharacteristicRead);
        connect(m_service, &BleGattService::errorOccurred, this, &BleManager::onServiceError);
        addLog(QStringLiteral("[CONNECT] Discovering service details..."));
        m_service->discoverDetails();
    }
}

void BleManager::onDiscoveryFinished()
{
    if (sender() != m_central)
        return;
    if (!m_infoService) {
        addLog(QStringLiteral("[DIS] Firmware info unavailable — DIS service not discovered"));
        addLog(QStringLiteral("[DIS] On Windows: remove Nerra from Bluetooth settings & reconnect"));
        qDebug() << "QT_BLE: [DIS] services found:" << m_central->services();
    }
    if (!m_instrumentServiceFound)
        failAttempt(QStringLiteral("Connection failed"), QStringLiteral("Nerra service not found on device"));
}

void BleManager::onServiceStateChanged(QLowEnergyService::ServiceState state)
{
    if (sender() != m_service || state != QLowEnergyService::ServiceDiscovered)
        return;
    addLog(QStringLiteral("[CONNECT] Service details discovered"));
    const QBluetoothUuid data = BleUuids::dataCharacteristic();
    if (!m_service->hasCharacteristic(data)) {
        addLog(QStringLiteral("[ERROR] Characteristic not found!"));
        failAttempt(QStringLiteral("Connection failed"), QStringLiteral("Characteristic not found"));
        return;
    }
    addLog(QStringLiteral("[CONNECT] Found characteristic"));
    qDebug() << "QT_BLE: [CONNECT] data characteristic properties" << int(m_service->properties(data));

    for (const QBluetoothUuid &read : {BleUuids::colorCharacteristic(), BleUuids::ssidCharacteristic(),
                                       BleUuids::hardwareIdCharacteristic()}) {
        if (m_service->hasCharacteristic(read))
            m_service->readCharacteristic(read);
        else if (read == BleUuids::hardwareIdCharacteristic())
            qDebug() << "QT_BLE: [CONNECT] no hardware id characteristic — stale GATT cache?";
    }
    const QBluetoothUuid command = BleUuids::commandCharacteristic();
    const QBluetoothUuid notify = BleUuids::notifyDescriptor();
    if (m_service->hasCharacteristic(command) && m_service->hasDescriptor(command, notify))
        m_service->writeDescriptor(command, notify, BleUuids::notifyOn());
    if (m_service->hasDescriptor(data, notify)) {
        addLog(QStringLiteral("[CONNECT] Enabling notifications..."));
        setStatus(QStringLiteral("Enabling notifications..."));
        setConnectionStage(QStringLiteral("Enabling notifications..."));
        m_service->writeDescriptor(data, notify, BleUuids::notifyOn());
    } else {
        addLog(QStringLiteral("[ERROR] CCCD descriptor not found!"));
        failAttempt(QStringLiteral("Connection failed"), QStringLiteral("CCCD descriptor not found"));
    }
}

void BleManager::onServiceError(QLowEnergyService::ServiceError error)
{
    if (sender() != m_service)
        return;
    addLog(QStringLiteral("[ERROR] Service error %1").arg(int(error)));
    // Once the link is up an error of one operation is that operation's; during set-up it
    // would otherwise leave the attempt waiting for good.
    if (m_isConnecting)
        failAttempt(QStringLiteral("Connection failed"), QStringLiteral("Connection failed"));
}

void BleManager::onDescriptorWritten(const QBluetoothUuid &, const QBluetoothUuid &descriptor, const QByteArray &)
{
    if (sender() != m_service || descriptor != BleUuids::notifyDescriptor())
        return;
    addLog(QStringLiteral("[CONNECT] Notifications enabled"));
    addLog(QStringLiteral("[CONNECT] Connection complete - ready for file transfer"));
    m_setupTimer->stop();
    // The instrument answers: whatever a scan last concluded, it is there.
    if (DeviceInfo *entry = connectedEntry(); entry && !entry->isAvailable()) {
        entry->setIsAvailable(true);
        emit m_devices->devicesChanged();
    }
    setConnected(true);
    if (m_session->state() == InstrumentSession::Idle)
        m_session->setState(InstrumentSession::Ready);
    setStatus(QStringLiteral("Connected and ready to send file"));
    setConnectionStage(QString());
    setConnecting(false);
    m_attemptIsReconnect = false;
    m_healthTimer->start();
}

void BleManager::onColorCharacteristicRead(const QBluetoothUuid &characteristic, const QByteArray &value)
{
    if (sender() != m_service)
        return;
    DeviceInfo *entry = connectedEntry();
    if (characteristic == BleUuids::colorCharacteristic()) {
        bool ok = false;
        const int color = QString::fromUtf8(value).trimmed().toInt(&ok);
        if (entry) {
            entry->setThemeColor(ok ? color : -1);
            m_devices->savePairedDevices();
        }
    } else if (characteristic == BleUuids::ssidCharacteristic()) {
        m_connectedDeviceSSID = QString::fromUtf8(value);
        emit connectedDeviceSSIDChanged();
    } else if (characteristic == BleUuids::hardwareIdCharacteristic()) {
        // It names folders and merges registry entries: anything but an id is not kept.
        const QString id = cleanHardwareId(value);
        if (id.isEmpty()) {
            addLog(QStringLiteral("[ERROR] Ignored a hardware id that is not 12 hex digits (%1 bytes)").arg(value.size()));
            return;
        }
        m_connectedDeviceHwId = id;
        if (entry) {
            entry->setHardwareId(id);
            m_devices->savePairedDevices();
        }
        emit connectedDeviceHwIdChanged();
    }
}

void BleManager::onDISServiceStateChanged(QLowEnergyService::ServiceState state)
{
    if (sender() != m_infoService || state != QLowEnergyService::ServiceDiscovered)
        return;
    connect(m_infoService, &BleGattService::characteristicRead, this, &BleManager::onDISCharacteristicRead,
            Qt::UniqueConnection);
    m_pendingDisReads = 0;
    for (const QBluetoothUuid &uuid : {BleUuids::modelNumber(), BleUuids::serialNumber(), BleUuids::firmwareRevision(),
                                       BleUuids::manufacturerName()}) {
        if (m_infoService->hasCharacteristic(uuid)) {
            m_infoService->readCharacteristic(uuid);
            ++m_pendingDisReads;
        }
    }
    if (m_pendingDisReads == 0)
        dropInformationService();
}

void BleManager::onDISCharacteristicRead(const QBluetoothUuid &characteristic, const QByteArray &value)
{
    if (sender() != m_infoService)
        return;
    const QString text = QString::fromUtf8(value);
    DeviceInfo *entry = connectedEntry();
    if (characteristic == BleUuids::firmwareRevision()) {
        addLog(QStringLiteral("[DIS] Firmware version: %1").arg(text));
        if (entry)
            entry->setFirmwareVersion(text);
        m_connectedDeviceFwVersion = text;
        emit connectedDeviceFwVersionChanged();
    } else if (characteristic == BleUuids::serialNumber()) {
        addLog(QStringLiteral("[DIS] Serial number: %1").arg(text));
        if (entry)
            entry->setSerialNumber(text);
    } else {
        qDebug().noquote() << "QT_BLE: [DIS]" << characteristic.toString() << text;
    }
    if (--m_pendingDisReads < 1) {
        if (entry)
            m_devices->savePairedDevices();
        dropInformationService();
    }
}

void BleManager::dropInformationService()
{
    release(m_infoService, this);
    m_infoService = nullptr;
    m_pendingDisReads = 0;
}

void BleManager::refreshDeviceInfo()
{
    if (!m_isConnected || !m_service) {
        qDebug() << "QT_BLE: [REFRESH] not connected — nothing to refresh";
        return;
    }
    addLog(QStringLiteral("[REFRESH] Refreshing device info"));
    for (const QBluetoothUuid &read : {BleUuids::colorCharacteristic(), BleUuids::ssidCharacteristic()}) {
        if (m_service->hasCharacteristic(read))
            m_service->readCharacteristic(read);
    }
    if (m_infoService && m_infoService->state() == QLowEnergyService::ServiceDiscovered) {
        for (const QBluetoothUuid &uuid : {BleUuids::modelNumber(), BleUuids::serialNumber(), BleUuids::firmwareRevision(),
                                           BleUuids::manufacturerName()}) {
            if (m_infoService->hasCharacteristic(uuid)) {
                m_infoService->readCharacteristic(uuid);
                ++m_pendingDisReads;
            }
        }
    }
}

// Falls back to a scan for the instrument under a possibly new address. Not for the
// reconnect a fallback started: its failure is the answer.
bool BleManager::startFallback(const QString &logLine)
{
    DeviceInfo *entry = connectedEntry();
    if (m_retryingWithUpdatedMac || m_pendingConnect || m_attemptIsReconnect || !entry)
        return false;
    addLog(logLine);
    setConnectionStage(QStringLiteral("Scanning for device..."));
    m_pendingConnect = entry;
    resetConnection();
    m_scanIsConnectFallback = true;
    startScanFor(true);
    return true;
}

void BleManager::onConnectionTimeout()
{
    addLog(QStringLiteral("[CONNECT] Connection timeout"));
    if (startFallback(QStringLiteral("[CONNECT] Connection timeout, scanning for device...")))
        return;
    failAttempt(QStringLiteral("Connection failed"), CouldNotConnect);
}

void BleManager::onSetupTimeout()
{
    addLog(QStringLiteral("[TIMEOUT] Connection set-up did not complete"));
    failAttempt(QStringLiteral("Connection failed"), CouldNotConnect);
}

// Ends an attempt (or a link) with an error: the entry is shown unavailable and the link
// is free for the next connect.
void BleManager::failAttempt(const QString &status, const QString &error)
{
    if (DeviceInfo *entry = connectedEntry(); entry && entry->isPaired() && entry->isAvailable()) {
        entry->setIsAvailable(false);
        emit m_devices->devicesChanged();
    }
    setStatus(status);
    setConnectionStage(QString());
    emit errorOccurred(error);
    resetConnection();
}

void BleManager::onControllerError(QLowEnergyController::Error error)
{
    if (sender() != m_central)
        return;
    if (m_transferCompleted) {
        addLog(QStringLiteral("[DISCONNECT] Device disconnected after successful transfer"));
        m_transferCompleted = false;
        resetConnection();
        setStatus(QStringLiteral("Device disconnected"));
        return;
    }
    QString message;
    switch (error) {
    case QLowEnergyController::UnknownError:
        message = QStringLiteral("Unknown controller error");
        break;
    case QLowEnergyController::UnknownRemoteDeviceError:
        message = QStringLiteral("Unknown remote device");
        break;
    case QLowEnergyController::NetworkError:
        message = QStringLiteral("Network error occurred");
        break;
    case QLowEnergyController::InvalidBluetoothAdapterError:
        message = QStringLiteral("Invalid Bluetooth adapter");
        break;
    case QLowEnergyController::ConnectionError:
        message = QStringLiteral("Failed to connect to device");
        break;
    default:
        message = QStringLiteral("Controller error occurred");
        break;
    }
    addLog(QStringLiteral("[CONNECT] Error: %1").arg(message));
    if ((error == QLowEnergyController::ConnectionError || error == QLowEnergyController::UnknownRemoteDeviceError)
        && startFallback(QStringLiteral("[CONNECT] Direct connection failed, scanning for device..."))) {
        return;
    }
    failAttempt(QStringLiteral("Connection error"), message);
}

void BleManager::onControllerDisconnected()
{
    if (sender() != m_central)
        return;
    setStatus(QStringLiteral("Device disconnected"));
    resetConnection();
}

void BleManager::checkConnectionHealth()
{
    if (!m_isConnected || !m_central)
        return;
    QString lost;
    const QLowEnergyController::ControllerState state = m_central->state();
    if (state != QLowEnergyController::ConnectedState && state != QLowEnergyController::DiscoveredState)
        lost = QStringLiteral("[MONITOR] Connection lost detected - device disconnected");
    else if (m_service && m_service->state() == QLowEnergyService::InvalidService)
        lost = QStringLiteral("[MONITOR] Connection lost - device exited Desktop Import mode");
    else if (m_central->error() != QLowEnergyController::NoError)
        lost = QStringLiteral("[MONITOR] Connection lost - controller error detected");
    if (lost.isEmpty()) {
        qDebug() << "QT_BLE: [MONITOR] link healthy";
        return;
    }
    addLog(lost);
    m_healthTimer->stop();
    setStatus(QStringLiteral("Device disconnected"));
    resetConnection();
}

// Says goodbye on the command channel when there is one, without waiting for the answer:
// the detached controller and service stay until the instrument acknowledges or the
// acknowledgement time runs out, while the manager is free at once.
void BleManager::closeLink()
{
    m_endCause = SessionEnd::PortClosed;
    if (m_central && m_service && m_service->hasCharacteristic(BleUuids::commandCharacteristic())) {
        BleCentral *central = m_central;
        BleGattService *service = m_service;
        QObject::disconnect(central, nullptr, this, nullptr);
        QObject::disconnect(service, nullptr, this, nullptr);
        m_central = nullptr;
        m_service = nullptr;
        auto *wait = new QTimer(central);
        wait->setSingleShot(true);
        const auto finish = [central, service, wait] {
            wait->stop();
            QObject::disconnect(service, nullptr, central, nullptr);
            central->disconnectFromDevice();
            service->deleteLater();
            central->deleteLater();
        };
        connect(wait, &QTimer::timeout, central, finish);
        connect(service, &BleGattService::characteristicWritten, central,
                [finish](const QBluetoothUuid &c, const QByteArray &) {
                    if (c == BleUuids::commandCharacteristic())
                        finish();
                });
        service->writeCharacteristic(BleUuids::commandCharacteristic(), QByteArrayLiteral("CMD:DISCONNECT"),
                                     QLowEnergyService::WriteWithResponse);
        wait->start(m_timings.disconnectAck);
    }
    resetConnection();
}

void BleManager::disconnect()
{
    closeLink();
    setStatus(QStringLiteral("Disconnected"));
}

void BleManager::resetConnection()
{
    // What ran over the link ends first, while the link still shows as it was.
    endTransferWithLink();
    endCommandsWithLink(m_endCause);
    m_endCause = SessionEnd::DeviceLost;
    m_connectionTimer->stop();
    m_setupTimer->stop();
    m_healthTimer->stop();
    setConnecting(false);
    m_transferCompleted = false;
    m_attemptIsReconnect = false;
    setConnectionStage(QString());

    dropInformationService();
    release(m_service, this);
    m_service = nullptr;
    if (m_central) {
        QObject::disconnect(m_central, nullptr, this, nullptr);
        m_central->disconnectFromDevice();
        m_central->deleteLater();
        m_central = nullptr;
    }

    if (m_isConnected)
        setConnected(false);
    if (m_isTransferring) {
        setTransferring(false);
        setTransferProgress(0);
    }
    if (!m_connectedDeviceId.isEmpty()) {
        if (DeviceInfo *entry = connectedEntry(); entry && entry->isPaired() && entry->isAvailable()) {
            entry->setIsAvailable(false);
            emit m_devices->devicesChanged();
        }
        setConnectedDeviceId(QString());
    }
    if (!m_connectedDeviceSSID.isEmpty()) {
        m_connectedDeviceSSID.clear();
        emit connectedDeviceSSIDChanged();
    }
    if (!m_connectedDeviceFwVersion.isEmpty()) {
        m_connectedDeviceFwVersion.clear();
        emit connectedDeviceFwVersionChanged();
    }
}

