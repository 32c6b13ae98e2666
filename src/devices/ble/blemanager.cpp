#include "devices/ble/blemanager.h"

#include "devices/ble/qtbleradiobackend.h"
#include "devices/deviceinfo.h"
#include "devices/devicemanager.h"
#include "devices/instrumentsession.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QTimer>

namespace {

const QString NamePrefix = QStringLiteral("Nerra:");
const QString Banner(50, QLatin1Char('='));
const QString NotFound = QStringLiteral("Device not found. Please ensure device is powered on and nearby.");

QTimer *singleShotTimer(QObject *parent)
{
    auto *timer = new QTimer(parent);
    timer->setSingleShot(true);
    return timer;
}

} // namespace

BleManager::BleManager(DeviceManager *devices, QObject *parent, BleRadioBackend *radio)
    : DeviceConnection(parent)
    , m_devices(devices)
    , m_radio(radio)
{
    registerBleMetaTypes();
    const QString version = QCoreApplication::applicationVersion();
    qDebug().noquote() << Banner;
    qDebug().noquote() << "QT_BLE: SESSION START - Nerra BLE Transfer" << version;
    qDebug().noquote() << "QT_BLE: Initializing BLE manager...";
    addLog(Banner);
    addLog(QStringLiteral("SESSION START - Nerra BLE Transfer %1").arg(version));
    addLog(Banner);
    addLog(QStringLiteral("Initializing BLE manager..."));

    if (!m_radio) {
        m_ownRadio = std::make_unique<QtBleRadioBackend>();
        m_radio = m_ownRadio.get();
    }
    m_discovery = m_radio->createDiscovery(this);
    m_discovery->setLowEnergyDiscoveryTimeout(m_timings.scan);
    connect(m_discovery, &BleDiscovery::deviceDiscovered, this, &BleManager::onDeviceDiscovered);
    connect(m_discovery, &BleDiscovery::errorOccurred, this, &BleManager::onScanError);
    connect(m_discovery, &BleDiscovery::finished, this, &BleManager::onScanFinished);
    m_adapter = m_radio->createAdapter(this);
    connect(m_adapter, &BleAdapter::hostModeStateChanged, this, &BleManager::onHostBluetoothModeChanged);

    m_restartTimer = singleShotTimer(this);
    connect(m_restartTimer, &QTimer::timeout, this, [this] { startScanFor(m_scanIsConnectFallback); });
    m_retryTimer = singleShotTimer(this);
    connect(m_retryTimer, &QTimer::timeout, this, &BleManager::startScan);
    m_reconnectTimer = singleShotTimer(this);
    connect(m_reconnectTimer, &QTimer::timeout, this, [this] {
        addLog(QStringLiteral("[CONNECT] Retrying connection with updated MAC..."));
        m_retryingWithUpdatedMac = false;
        DeviceInfo *target = m_reconnectTarget;
        m_reconnectTarget.clear();
        if (target && indexOf(target) >= 0)
            connectTo(target, true);
    });
    m_connectionTimer = singleShotTimer(this);
    connect(m_connectionTimer, &QTimer::timeout, this, &BleManager::onConnectionTimeout);
    m_setupTimer = singleShotTimer(this);
    connect(m_setupTimer, &QTimer::timeout, this, &BleManager::onSetupTimeout);
    m_healthTimer = new QTimer(this);
    connect(m_healthTimer, &QTimer::timeout, this, &BleManager::checkConnectionHealth);
    m_stalenessTimer = new QTimer(this);
    connect(m_stalenessTimer, &QTimer::timeout, this, &BleManager::checkDeviceStaleness);

    m_chunkTimer = singleShotTimer(this);
    m_chunkTimer->setTimerType(Qt::PreciseTimer);
    connect(m_chunkTimer, &QTimer::timeout, this, &BleManager::sendNextChunk);
    m_handshakeTimer = singleShotTimer(this);
    connect(m_handshakeTimer, &QTimer::timeout, this, &BleManager::onHandshakeTimeout);
    m_saveTimer = singleShotTimer(this);
    connect(m_saveTimer, &QTimer::timeout, this, &BleManager::onSaveTimeout);
    m_readyResetTimer = singleShotTimer(this);
    connect(m_readyResetTimer, &QTimer::timeout, this, [this] {
        if (m_isConnected && m_transferProgress == 100) {
            setTransferProgress(0);
            setStatus(QStringLiteral("Ready for next transfer"));
        }
    });
    m_residueTimer = singleShotTimer(this);
    connect(m_residueTimer, &QTimer::timeout, this, [this] {
        // Quiet after text without a line end: it is all there is of that line.
        const QString line = m_commandBuffer.trimmed();
        m_commandBuffer.clear();
        if (!line.isEmpty())
            takeCommandLine(line);
    });
    m_session = new InstrumentSession(*this, QStringLiteral("QT_BLE:"), this);
    m_session->setHeldOpen(true);
    setTimings(m_timings);
    m_stalenessTimer->start();

    connect(m_devices, &DeviceManager::deviceForgottenByUniqueId, this, &BleManager::onDeviceForgotten);
    setStatus(QStringLiteral("Ready to scan"));
}

BleManager::~BleManager()
{
    // The link's objects are children; only the bookkeeping is put in order.
    resetConnection();
}

void BleManager::setTimings(const BleTimings &timings)
{
    m_timings = timings;
    m_discovery->setLowEnergyDiscoveryTimeout(timings.scan);
    m_restartTimer->setInterval(timings.restart);
    m_retryTimer->setInterval(timings.retry);
    m_reconnectTimer->setInterval(timings.rpaReconnect);
    m_connectionTimer->setInterval(timings.connect);
    m_setupTimer->setInterval(timings.setup);
    m_healthTimer->setInterval(timings.health);
    m_stalenessTimer->setInterval(timings.staleness);
    m_handshakeTimer->setInterval(timings.handshake);
    m_saveTimer->setInterval(timings.saveConfirm);
    m_readyResetTimer->setInterval(timings.readyReset);
    m_residueTimer->setInterval(timings.residueQuiet);
    m_session->setReplyTimeout(timings.commandReply);
}

// ---- shared operations ----

void BleManager::addLog(const QString &message)
{
    // Formatting the time is most of a line's cost, and a reply brings hundreds a second.
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second != m_logStampSecond) {
        m_logStampSecond = second;
        m_logStamp = QLatin1Char('[') + QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("] ");
    }
    m_logMessages.append(m_logStamp + message);
    if (m_logMessages.size() > MaxLogLines)
        m_logMessages.erase(m_logMessages.begin(), m_logMessages.begin() + (m_logMessages.size() - MaxLogLines));
    // A burst of lines (a reply in 200 notifications) is one change for the view, which
    // reads the whole list each time it is told.
    if (!m_logChangePending) {
        m_logChangePending = true;
        QTimer::singleShot(0, this, [this] {
            m_logChangePending = false;
            emit logMessagesChanged();
        });
    }
    qDebug().noquote() << "QT_BLE:" << message;
}

void BleManager::clearLogs()
{
    m_logMessages.clear();
    emit logMessagesChanged();
}

void BleManager::setStatus(const QString &text)
{
    m_statusMessage = text;
    emit statusMessageChanged();
    qDebug().noquote() << "Status:" << text;
}

void BleManager::setConnectionStage(const QString &text)
{
    if (m_connectionStage == text)
        return;
    m_connectionStage = text;
    emit connectionStageChanged();
    if (!text.isEmpty())
        qDebug().noquote() << "QT_BLE: [CONNECT] Stage:" << text;
}

void BleManager::setScanning(bool scanning)
{
    m_isScanning = scanning;
    emit isScanningChanged();
}

void BleManager::setConnecting(bool connecting)
{
    if (m_isConnecting == connecting)
        return;
    m_isConnecting = connecting;
    emit isConnectingChanged();
}

void BleManager::setConnected(bool connected)
{
    m_isConnected = connected;
    emit isConnectedChanged();
    emit isReadyForTransferChanged();
}

void BleManager::setTransferring(bool transferring)
{
    if (m_isTransferring == transferring)
        return;
    m_isTransferring = transferring;
    emit isTransferringChanged();
}

void BleManager::setTransferProgress(int progress)
{
    m_transferProgress = progress;
    emit transferProgressChanged();
}

void BleManager::setHostPoweredOff(bool off)
{
    if (m_hostBluetoothPoweredOff == off)
        return;
    m_hostBluetoothPoweredOff = off;
    emit hostBluetoothPoweredOffChanged();
}

void BleManager::setConnectedDeviceId(const QString &id)
{
    if (m_connectedDeviceId == id)
        return;
    m_connectedDeviceId = id;
    emit connectedDeviceIdChanged();
}

DeviceInfo *BleManager::connectedEntry() const
{
    if (m_connectedDeviceId.isEmpty())
        return nullptr;
    for (QObject *object : m_devices->devices()) {
        auto *device = qobject_cast<DeviceInfo *>(object);
        if (device && device->uniqueId() == m_connectedDeviceId)
            return device;
    }
    return nullptr;
}

int BleManager::indexOf(const DeviceInfo *device) const
{
    return device ? int(m_devices->devices().indexOf(const_cast<DeviceInfo *>(device))) : -1;
}

// The entry the link is connecting or connected to, or the one a fallback scan looks for:
// no scan takes these away or marks them unavailable.
bool BleManager::isLinkedEntry(const DeviceInfo *device) const
{
    return device && ((!m_connectedDeviceId.isEmpty() && device->uniqueId() == m_connectedDeviceId)
                      || device == m_pendingConnect || device == m_reconnectTarget);
}

// ---- discovery ----

void BleManager::startScan()
{
    startScanFor(false);
}

// A scan the user asks for ends a fallback that was looking for its instrument; the
// fallback's own scan (and its restart) does not.
void BleManager::startScanFor(bool fallback)
{
    if (m_pendingConnect && !fallback)
        endFallback(false);
    addLog(QStringLiteral("[SCAN] Starting device discovery..."));
    if (!m_adapter->isValid()) {
        // Nothing to switch on: a dialog offering to would never work.
        addLog(QStringLiteral("[SCAN] No Bluetooth adapter — skipping scan"));
        setStatus(QStringLiteral("No Bluetooth adapter detected"));
        emit errorOccurred(QStringLiteral("Invalid Bluetooth adapter"));
        endFallback(false);
        return;
    }
    if (m_adapter->hostMode() == QBluetoothLocalDevice::HostPoweredOff) {
        addLog(QStringLiteral("[SCAN] Host Bluetooth is off — surfacing dialog, skipping scan"));
        setStatus(QStringLiteral("Bluetooth is off on this computer"));
        m_retryScanWhenPoweredOn = true;
        m_hostBluetoothPoweredOff = true;
        emit hostBluetoothPoweredOffChanged(); // also when it was on already: the dialog comes back
        endFallback(false);
        return;
    }
    if (m_discovery->isActive()) {
        addLog(QStringLiteral("[SCAN] Stopping previous scan before restarting..."));
        m_discovery->stop();
        m_restartTimer->start();
        return;
    }
    m_restartTimer->stop();
    m_retryTimer->stop();

    // Discovered entries go; paired ones stay, unavailable until heard again. The entry
    // the link holds or a fallback looks for stays as it is.
    QList<QObject *> kept;
    QList<QObject *> dropped;
    for (QObject *object : m_devices->devices()) {
        auto *device = qobject_cast<DeviceInfo *>(object);
        if (device && (device->isPaired() || isLinkedEntry(device))) {
            if (!isLinkedEntry(device))
                device->setIsAvailable(false);
            kept.append(device);
        } else {
            dropped.append(object);
        }
    }
    m_devices->setDevices(kept);
    qDeleteAll(dropped);

    if (!m_autoRetryArmed) {
        m_autoRetryArmed = true;
        qDebug() << "QT_BLE: [SCAN] Auto-retry enabled for first scan";
    }
    setScanning(true);
    setStatus(QStringLiteral("Scanning for Nerra devices..."));
    for (QObject *object : m_devices->devices()) {
        if (auto *device = qobject_cast<DeviceInfo *>(object))
            device->setSeenInCurrentScan(false);
    }
    emit m_devices->devicesChanged();
    addLog(QStringLiteral("[SCAN] Scan started with %1 second timeout").arg(m_timings.scan / 1000));
    addLog(QStringLiteral("[SCAN] Filtering for devices named 'Nerra:'"));
    m_discovery->start();
}

void BleManager::stopScan()
{
    // Called off for good: neither a restart nor a rescan that was due follows.
    m_restartTimer->stop();
    m_retryTimer->stop();
    if (m_discovery->isActive())
        m_discovery->stop();
    endFallback(false);
    setScanning(false);
    setStatus(QStringLiteral("Scan stopped"));
}

void BleManager::onDeviceDiscovered(const QBluetoothDeviceInfo &info)
{
    const QString name = info.name();
    addLog(QStringLiteral("[SCAN] Device discovered: %1 (%2)").arg(name, info.address().toString()));
    qDebug() << "QT_BLE: [SCAN] rssi" << info.rssi();
    if (!name.startsWith(NamePrefix))
        return;
    if (info.rssi() == 0)
        qDebug() << "QT_BLE: [SCAN] signal strength 0 reported — accepted";

    const QString scannedId = info.address().toString();
    for (QObject *object : m_devices->devices()) {
        auto *device = qobject_cast<DeviceInfo *>(object);
        if (!device || device->uniqueId() != scannedId)
            continue;
        const QString oldName = device->name();
        const bool takeName = (name.startsWith(NamePrefix) && !oldName.startsWith(NamePrefix)) || name.size() > oldName.size();
        device->updateBluetoothInfo(info);
        if (!takeName && !oldName.isEmpty())
            device->setName(oldName);
        device->setSeenInCurrentScan(true);
        device->updateLastSeen();
        if (device->isPaired()) {
            addLog(QStringLiteral("[SCAN] Paired device available: %1").arg(name));
            const bool wasAvailable = device->isAvailable();
            device->setIsAvailable(true);
            if (!wasAvailable)
                emit m_devices->devicesChanged();
        } else {
            emit m_devices->devicesChanged();
        }
        // Heard at the address it already had: the attempt failed for another reason, and
        // one more try is worth it.
        if (device == m_pendingConnect)
            reconnectLater(device, QStringLiteral("[SCAN] Device found again at its address"));
        return;
    }
    if (matchByName(info))
        return;

    auto *device = new DeviceInfo(info);
    m_devices->addDevice(device);
    emit m_devices->devicesChanged();
    addLog(QStringLiteral("[SCAN] ✓ Added Nerra device: %1 (signal: %2 dBm)").arg(name).arg(info.rssi()));
}

// An instrument that rotated its address advertises its name from a new one. The entry the
// link holds, and entries heard at their own address in this scan, are not it.
bool BleManager::matchByName(const QBluetoothDeviceInfo &info)
{
    for (QObject *object : m_devices->devices()) {
        auto *device = qobject_cast<DeviceInfo *>(object);
        if (!device || !device->isPaired() || device->name() != info.name() || device->seenInCurrentScan())
            continue;
        if (!m_connectedDeviceId.isEmpty() && device->uniqueId() == m_connectedDeviceId)
            continue;
        device->setSeenInCurrentScan(true);
        device->updateLastSeen();
        const bool wasAvailable = device->isAvailable();
        device->updateBluetoothInfo(info);
        m_devices->savePairedDevices();
        addLog(QStringLiteral("[SCAN] Paired device available: %1 (RPA detected)").arg(device->name()));
        device->setIsAvailable(true);
        if (device == m_pendingConnect) {
            addLog(QStringLiteral("[SCAN] Updated device ID due to RPA"));
            reconnectLater(device, QString());
            return true;
        }
        if (!wasAvailable)
            emit m_devices->devicesChanged();
        return true;
    }
    return false;
}

void BleManager::reconnectLater(DeviceInfo *device, const QString &reason)
{
    if (!reason.isEmpty())
        addLog(reason);
    m_pendingConnect.clear();
    stopScan();
    m_retryingWithUpdatedMac = true;
    m_reconnectTarget = device;
    m_reconnectTimer->start();
}

// A fallback scan ends exactly once, however its scan ends. Not finding the instrument is
// reported; a scan that failed, was stopped or gave way to the user's own connect was
// reported by what ended it.
void BleManager::endFallback(bool notFound)
{
    m_scanIsConnectFallback = false;
    DeviceInfo *device = m_pendingConnect;
    if (!device)
        return;
    m_pendingConnect.clear();
    if (notFound) {
        addLog(QStringLiteral("[SCAN] Device not found during auto-connect scan"));
        if (device->isPaired() && device->isAvailable()) {
            device->setIsAvailable(false);
            emit m_devices->devicesChanged();
        }
        setStatus(QStringLiteral("Device not available"));
        setConnectionStage(QString());
        emit errorOccurred(NotFound);
    } else {
        setConnectionStage(QString());
    }
    setConnecting(false);
}

void BleManager::onScanFinished()
{
    endFallback(true);
    setScanning(false);

    QStringList lines;
    int count = 0;
    bool changed = false;
    for (QObject *object : m_devices->devices()) {
        auto *device = qobject_cast<DeviceInfo *>(object);
        if (!device)
            continue;
        if (device->isPaired() && !isLinkedEntry(device)) {
            const bool available = device->seenInCurrentScan();
            changed = changed || device->isAvailable() != available;
            device->setIsAvailable(available);
        }
        QString line = QStringLiteral("%1 [%2]").arg(device->name(), device->address());
        if (device->isPaired())
            line += device->isAvailable() ? QStringLiteral(" (Available)") : QStringLiteral(" (Not Found)");
        lines.append(line);
        if (!device->isPaired() || device->isAvailable())
            ++count;
    }
    if (changed)
        emit m_devices->devicesChanged();

    if (!m_devices->devices().isEmpty()) {
        m_autoRetryArmed = false;
        const QString noun = count == 1 ? QStringLiteral("device") : QStringLiteral("devices");
        if (count > 0) {
            addLog(QStringLiteral("[SCAN] Scan complete - found %1 %2: %3").arg(count).arg(noun, lines.join(QStringLiteral(", "))));
            setStatus(QStringLiteral("Scan complete - found %1 %2").arg(count).arg(noun));
        } else {
            addLog(QStringLiteral("[SCAN] Scan complete - no available devices: %1").arg(lines.join(QStringLiteral(", "))));
            setStatus(QStringLiteral("Scan complete - no available devices"));
        }
    } else if (m_autoRetryArmed) {
        m_autoRetryArmed = false;
        addLog(QStringLiteral("[SCAN] No devices found, retrying scan..."));
        setStatus(QStringLiteral("Retrying scan..."));
        m_retryTimer->start();
    } else {
        addLog(QStringLiteral("[SCAN] Scan complete - NO devices found"));
        addLog(QStringLiteral("[SCAN] Troubleshooting:"));
        addLog(QStringLiteral("[SCAN]   1. Ensure device is powered on and in BLE mode"));
        addLog(QStringLiteral("[SCAN]   2. Check device is named 'Nerra:'"));
        addLog(QStringLiteral("[SCAN]   3. Try moving closer to the device"));
        setStatus(QStringLiteral("Scan complete - no devices found"));
    }
}

void BleManager::onScanError(QBluetoothDeviceDiscoveryAgent::Error error)
{
    using Agent = QBluetoothDeviceDiscoveryAgent;
    setScanning(false);
    endFallback(false);
    QString message;
    QString status;
    switch (error) {
    case Agent::InputOutputError:
        message = QStringLiteral("Bluetooth I/O error occurred");
        status = QStringLiteral("Bluetooth I/O error");
        break;
    case Agent::PoweredOffError:
        message = QStringLiteral("Bluetooth adapter is powered off");
        status = QStringLiteral("Bluetooth is off on this computer");
        break;
    case Agent::InvalidBluetoothAdapterError:
        message = QStringLiteral("Invalid Bluetooth adapter");
        status = QStringLiteral("No Bluetooth adapter detected");
        break;
    case Agent::UnsupportedPlatformError:
        message = status = QStringLiteral("Bluetooth not supported on this platform");
        break;
    case Agent::UnsupportedDiscoveryMethod:
        message = status = QStringLiteral("BLE discovery not supported");
        break;
    default:
        message = QStringLiteral("Could not scan for devices (Bluetooth error %1). Check that Bluetooth is on, then try again.")
                      .arg(int(error));
        status = QStringLiteral("Bluetooth scan error");
        break;
    }
    addLog(QStringLiteral("[SCAN] error: %1 (Qt code %2)").arg(message).arg(int(error)));
    const QString agentSays = m_discovery->errorString();
    if (!agentSays.isEmpty() && agentSays != message)
        addLog(QStringLiteral("[SCAN] agent says: %1").arg(agentSays));

    // Without any adapter there is nothing to switch on: the error is shown as it is.
    const bool hostOff = m_adapter->isValid()
        && (error == Agent::PoweredOffError || error == Agent::UnknownError || m_hostBluetoothPoweredOff
            || m_adapter->hostMode() == QBluetoothLocalDevice::HostPoweredOff);
    if (hostOff) {
        m_retryScanWhenPoweredOn = true;
        setHostPoweredOff(true);
        setStatus(QStringLiteral("Bluetooth is off on this computer"));
        addLog(QStringLiteral("[SCAN] suppressed error banner — host Bluetooth is off (dialog shown)"));
        return;
    }
    if (!m_adapter->isValid()) {
        message = QStringLiteral("Invalid Bluetooth adapter");
        status = QStringLiteral("No Bluetooth adapter detected");
    }
    setStatus(status);
    emit errorOccurred(message);
}

void BleManager::turnOnHostBluetooth()
{
    addLog(QStringLiteral("[HOST_BT] Requesting host Bluetooth adapter powerOn()"));
    m_adapter->powerOn();
    m_retryScanWhenPoweredOn = true;
}

void BleManager::openHostBluetoothSettings()
{
    addLog(QStringLiteral("[HOST_BT] Opening host Bluetooth settings"));
    m_adapter->openSystemSettings();
    m_retryScanWhenPoweredOn = true;
}

void BleManager::dismissHostBluetoothDialog()
{
    m_retryScanWhenPoweredOn = false;
    setHostPoweredOff(false);
}

void BleManager::onHostBluetoothModeChanged(QBluetoothLocalDevice::HostMode state)
{
    const bool off = state == QBluetoothLocalDevice::HostPoweredOff;
    addLog(QStringLiteral("[HOST_BT] Host adapter is %1").arg(off ? QStringLiteral("off") : QStringLiteral("on")));
    if (off) {
        m_retryScanWhenPoweredOn = false;
        // A scan cannot go on without the radio; one that looked for an instrument ends here.
        if (m_isScanning || m_restartTimer->isActive() || m_retryTimer->isActive()) {
            m_restartTimer->stop();
            m_retryTimer->stop();
            if (m_discovery->isActive())
                m_discovery->stop();
            endFallback(false);
            setScanning(false);
            setStatus(QStringLiteral("Bluetooth is off on this computer"));
        }
        return;
    }
    setHostPoweredOff(false);
    if (m_retryScanWhenPoweredOn) {
        m_retryScanWhenPoweredOn = false;
        addLog(QStringLiteral("[HOST_BT] Adapter powered on — retrying scan"));
        startScan();
    }
}

void BleManager::checkDeviceStaleness()
{
    QList<QPointer<DeviceInfo>> stale;
    for (QObject *object : m_devices->devices()) {
        auto *device = qobject_cast<DeviceInfo *>(object);
        if (device && !device->isPaired() && !isLinkedEntry(device) && device->isStale())
            stale.append(device);
    }
    for (const QPointer<DeviceInfo> &device : qAsConst(stale)) {
        const int index = indexOf(device);
        if (index < 0)
            continue;
        addLog(QStringLiteral("[STALE] Removed stale device: %1").arg(device->name()));
        m_devices->removeDevice(index);
    }
}

void BleManager::onDeviceForgotten(const QString &uniqueId, const QString &)
{
    if (!m_connectedDeviceId.isEmpty() && m_connectedDeviceId == uniqueId)
        disconnect();
    addLog(QStringLiteral("[FORGET] BLE cleanup complete"));
    setStatus(QStringLiteral("Device forgotten"));
}
