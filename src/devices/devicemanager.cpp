#include "devices/devicemanager.h"

#include "devices/deviceinfo.h"
#include "storage/settingsfilecheck.h"

#include <QDebug>
#include <QPointer>
#include <QSettings>

namespace {

const QString ArrayName = QStringLiteral("pairedDevices");

const QString StoreOrganization = QStringLiteral("Vellora");
const QString StoreApplication = QStringLiteral("NerraDesktop");
// Far more instruments than a laboratory owns; a store claiming more is damaged.
constexpr int MaxStoredDevices = 10000;

} // namespace

DeviceManager::DeviceManager(QObject *parent)
    : QObject(parent)
{
    loadPairedDevices();
}

DeviceManager::~DeviceManager()
{
    const QList<QObject *> devices = m_devices;
    m_devices.clear();
    qDeleteAll(devices);
}

void DeviceManager::loadPairedDevices()
{
    qDebug() << "DEV: [PAIR] Loading paired devices from persistent storage...";
    // The settings layer decodes nothing until a key is read: a damaged value must be
    // gone from the file before the object that reads it is made.
    SettingsFileCheck::setAsideDamagedValues(QSettings(StoreOrganization, StoreApplication).fileName());
    QSettings settings(StoreOrganization, StoreApplication);
    settings.beginGroup(ArrayName);
    // A damaged size must neither hang the start nor hide the instruments until the next
    // save erases them.
    QList<int> indices = SettingsFileCheck::arrayIndices(settings);
    if (indices.size() > MaxStoredDevices) {
        qWarning() << "DEV: [PAIR] Only the first" << MaxStoredDevices << "of" << indices.size()
                   << "stored devices are read";
        indices = indices.mid(0, MaxStoredDevices);
    }
    if (indices.isEmpty()) {
        settings.endGroup();
        qDebug() << "DEV: [PAIR] No paired devices found";
        return;
    }
    for (int index : qAsConst(indices)) {
        settings.beginGroup(QString::number(index));
        const QString name = settings.value(QStringLiteral("name")).toString();
        QString address = settings.value(QStringLiteral("address")).toString();
        const QString firmwareVersion = settings.value(QStringLiteral("firmwareVersion")).toString();
        const QString serialNumber = settings.value(QStringLiteral("serialNumber")).toString();
        const int themeColor = settings.value(QStringLiteral("themeColor"), -1).toInt();
        const QString hardwareId = settings.value(QStringLiteral("hardwareId")).toString();
        const bool lastSeenViaUsb = settings.value(QStringLiteral("lastSeenViaUsb"), false).toBool();
        const bool usbOnly = settings.value(QStringLiteral("usbOnly"), false).toBool();
        settings.endGroup();
        // A USB-only entry is keyed by its hardware id, which doubles as its address.
        if (address.isEmpty() && usbOnly)
            address = hardwareId;
        // Only the unique id makes an entry: the user may have cleared the instrument's name,
        // and the entry must not lose its colour and serial number for that.
        if (address.isEmpty())
            continue;

        DeviceInfo *device = usbOnly ? DeviceInfo::createUsbOnly(name, address, this)
                                     : new DeviceInfo(name, address, this);
        if (!firmwareVersion.isEmpty())
            device->setFirmwareVersion(firmwareVersion);
        if (!serialNumber.isEmpty())
            device->setSerialNumber(serialNumber);
        if (themeColor >= 0)
            device->setThemeColor(themeColor);
        if (!hardwareId.isEmpty())
            device->setHardwareId(hardwareId);
        if (!usbOnly && lastSeenViaUsb)
            device->markSeenViaUsb();
        m_devices.append(device);
        qDebug() << "DEV: [PAIR] Loaded paired device:" << name << "address:" << address;
    }
    settings.endGroup();
    emit devicesChanged();
    qDebug() << "DEV: [PAIR] Loaded" << indices.size() << "paired device(s)";
}

void DeviceManager::savePairedDevices()
{
    QSettings settings(StoreOrganization, StoreApplication);
    // The array is rewritten from scratch: keys written only when set would otherwise
    // survive from whichever entry held that index before (a forgotten device's hardware
    // id, a colour the user has since cleared).
    settings.remove(ArrayName);
    settings.beginWriteArray(ArrayName);
    int index = 0;
    for (QObject *object : qAsConst(m_devices)) {
        auto *device = qobject_cast<DeviceInfo *>(object);
        if (!device || !device->isPaired())
            continue;
        settings.setArrayIndex(index++);
        settings.setValue(QStringLiteral("name"), device->name());
        settings.setValue(QStringLiteral("address"), device->address());
        if (!device->firmwareVersion().isEmpty())
            settings.setValue(QStringLiteral("firmwareVersion"), device->firmwareVersion());
        if (!device->serialNumber().isEmpty())
            settings.setValue(QStringLiteral("serialNumber"), device->serialNumber());
        if (device->themeColor() >= 0)
            settings.setValue(QStringLiteral("themeColor"), device->themeColor());
        if (!device->hardwareId().isEmpty())
            settings.setValue(QStringLiteral("hardwareId"), device->hardwareId());
        if (device->lastSeenViaUsb()) {
            settings.setValue(QStringLiteral("lastSeenViaUsb"), true);
            settings.setValue(QStringLiteral("lastSeenViaUsbAt"),
                              device->lastSeenViaUsbAt().toString(Qt::ISODate));
        }
        if (device->usbOnly())
            settings.setValue(QStringLiteral("usbOnly"), true);
        qDebug().noquote() << "DEV: [PAIR] Saved paired device:" << device->name()
                           << QStringLiteral("(%1)").arg(device->address());
    }
    settings.endArray();
    qDebug() << "DEV: [PAIR] Saved" << index << "paired device(s)";
}

int DeviceManager::findDeviceIndexByHardwareId(const QString &hwId) const
{
    if (hwId.isEmpty())
        return -1;
    for (int i = 0; i < m_devices.size(); ++i) {
        const DeviceInfo *device = deviceAt(i);
        if (device && device->hardwareId() == hwId)
            return i;
    }
    return -1;
}

void DeviceManager::pairDevice(int deviceIndex)
{
    DeviceInfo *device = deviceAt(deviceIndex);
    if (!device) {
        qDebug() << "DEV: [PAIR] Invalid device index:" << deviceIndex;
        return;
    }
    if (device->isPaired()) {
        qDebug() << "DEV: [PAIR] Device already paired:" << device->name();
        return;
    }
    qDebug() << "DEV: [PAIR] Pairing device:" << device->name();
    device->setIsPaired(true);
    savePairedDevices();
    emit devicesChanged();
}

void DeviceManager::forgetDevice(int deviceIndex)
{
    DeviceInfo *device = deviceAt(deviceIndex);
    if (!device) {
        qDebug() << "DEV: [PAIR] forgetDevice: invalid index:" << deviceIndex;
        return;
    }
    qDebug() << "DEV: [PAIR] Forgetting device:" << device->name();
    // Listeners look the entry up by its unique id, so it must still be registered here.
    const QPointer<DeviceInfo> guard(device);
    emit deviceForgottenByUniqueId(device->uniqueId(), device->address());
    // A listener may have removed or deleted the entry already; only what is still listed
    // is ours to delete, and a pointer it deleted must not stay listed.
    if (m_devices.removeAll(device) > 0 && guard)
        delete device;
    savePairedDevices();
    emit devicesChanged();
}

void DeviceManager::addOrUpdateUsbDevice(const QString &name, const QString &sn, const QString &fw,
                                         int color, const QString &hwId)
{
    if (hwId.isEmpty())
        return;
    const int index = findDeviceIndexByHardwareId(hwId);
    if (index >= 0) {
        DeviceInfo *device = deviceAt(index);
        device->setName(name);
        if (!sn.isEmpty())
            device->setSerialNumber(sn);
        if (!fw.isEmpty())
            device->setFirmwareVersion(fw);
        if (color >= 0)
            device->setThemeColor(color);
        device->markSeenViaUsb();
        savePairedDevices();
        qDebug() << "DEV: [USB] Updated existing device:" << name << "hwId:" << hwId;
        return;
    }
    DeviceInfo *device = DeviceInfo::createUsbOnly(name, hwId, this);
    if (!sn.isEmpty())
        device->setSerialNumber(sn);
    if (!fw.isEmpty())
        device->setFirmwareVersion(fw);
    if (color >= 0)
        device->setThemeColor(color);
    device->setHardwareId(hwId);
    m_devices.append(device);
    savePairedDevices();
    emit devicesChanged();
    qDebug() << "DEV: [USB] Added USB-only device:" << name << "hwId:" << hwId;
}

void DeviceManager::setDeviceThemeColor(int deviceIndex, int color)
{
    DeviceInfo *device = deviceAt(deviceIndex);
    if (!device || device->themeColor() == color)
        return;
    device->setThemeColor(color);
    savePairedDevices();
}

void DeviceManager::setDeviceName(int deviceIndex, const QString &name)
{
    DeviceInfo *device = deviceAt(deviceIndex);
    if (!device || device->name() == name)
        return;
    device->setName(name);
    savePairedDevices();
}

void DeviceManager::setDeviceSerialNumber(int deviceIndex, const QString &sn)
{
    DeviceInfo *device = deviceAt(deviceIndex);
    if (!device || sn.isEmpty() || device->serialNumber() == sn)
        return;
    device->setSerialNumber(sn);
    savePairedDevices();
}

void DeviceManager::setDeviceFirmwareVersion(int deviceIndex, const QString &fw)
{
    DeviceInfo *device = deviceAt(deviceIndex);
    if (!device || fw.isEmpty() || device->firmwareVersion() == fw)
        return;
    device->setFirmwareVersion(fw);
    savePairedDevices();
}

void DeviceManager::markLastSeenViaUsb(int deviceIndex)
{
    DeviceInfo *device = deviceAt(deviceIndex);
    if (!device)
        return;
    device->markSeenViaUsb();
    savePairedDevices();
    qDebug() << "DEV: [USB] Marked device as last seen via USB:" << device->name();
}

int DeviceManager::mergeBluetoothDevice(const QString &bleUniqueId, const QString &hwId)
{
    if (bleUniqueId.isEmpty() || hwId.isEmpty())
        return -1;
    int bleIdx = -1;
    int existingIdx = -1;
    for (int i = 0; i < m_devices.size(); ++i) {
        const DeviceInfo *device = deviceAt(i);
        if (!device)
            continue;
        if (device->uniqueId() == bleUniqueId)
            bleIdx = i;
        else if (device->hardwareId() == hwId)
            existingIdx = i;
    }
    if (bleIdx == -1 || existingIdx == -1) {
        qDebug() << "DEV: [MERGE] No merge needed — bleIdx:" << bleIdx << "existingIdx:" << existingIdx;
        return bleIdx;
    }
    DeviceInfo *ble = deviceAt(bleIdx);
    DeviceInfo *existing = deviceAt(existingIdx);
    qDebug() << "DEV: [MERGE] Merging BLE entry" << ble->name() << "into existing entry" << existing->name();
    existing->setAddress(ble->address());
    existing->setIsPaired(true);
    existing->setIsAvailable(ble->isAvailable());
    existing->setUsbOnly(false);
    if (existing->firmwareVersion().isEmpty() && !ble->firmwareVersion().isEmpty())
        existing->setFirmwareVersion(ble->firmwareVersion());
    if (existing->serialNumber().isEmpty() && !ble->serialNumber().isEmpty())
        existing->setSerialNumber(ble->serialNumber());

    m_devices.removeAt(bleIdx);
    delete ble;
    if (bleIdx < existingIdx)
        --existingIdx;
    savePairedDevices();
    emit devicesChanged();
    qDebug() << "DEV: [MERGE] Complete. Surviving entry at index" << existingIdx;
    return existingIdx;
}

void DeviceManager::addDevice(DeviceInfo *device)
{
    // Listed twice, an entry would be deleted twice.
    if (!device || m_devices.contains(device))
        return;
    device->setParent(this);
    m_devices.append(device);
    emit devicesChanged();
}

DeviceInfo *DeviceManager::deviceAt(int index) const
{
    if (!isValidIndex(index))
        return nullptr;
    return qobject_cast<DeviceInfo *>(m_devices.at(index));
}

DeviceInfo *DeviceManager::findDeviceByUniqueId(const QString &id) const
{
    for (QObject *object : m_devices) {
        auto *device = qobject_cast<DeviceInfo *>(object);
        if (device && device->uniqueId() == id)
            return device;
    }
    return nullptr;
}

void DeviceManager::removeDevice(int index)
{
    if (!isValidIndex(index))
        return;
    QObject *device = m_devices.takeAt(index);
    delete device;
    emit devicesChanged();
}

void DeviceManager::setDevices(const QList<QObject *> &devices)
{
    // Null and repeated entries are dropped: every listed entry is deleted once.
    m_devices.clear();
    for (QObject *device : devices) {
        if (!device || m_devices.contains(device))
            continue;
        device->setParent(this);
        m_devices.append(device);
    }
    emit devicesChanged();
}
