#include "devices/deviceinfo.h"

#include <QBluetoothAddress>

DeviceInfo::DeviceInfo(const QBluetoothDeviceInfo &info, QObject *parent)
    : QObject(parent)
    , m_bluetoothInfo(info)
    , m_isPaired(false)
    , m_isAvailable(true)
    , m_lastSeen(QDateTime::currentDateTime())
    , m_name(info.name())
    , m_address(info.address().toString())
    , m_seenInCurrentScan(true)
{
}

DeviceInfo::DeviceInfo(const QString &name, const QString &address, QObject *parent)
    : QObject(parent)
    , m_bluetoothInfo(QBluetoothAddress(address), name, 0)
    , m_isPaired(true)
    , m_isAvailable(false)
    , m_name(name)
    , m_address(address)
    , m_seenInCurrentScan(false)
{
}

DeviceInfo *DeviceInfo::createUsbOnly(const QString &name, const QString &hardwareId, QObject *parent)
{
    auto *device = new DeviceInfo(name, hardwareId, parent);
    device->m_hardwareId = hardwareId;
    device->m_usbOnly = true;
    device->m_isPaired = true;
    device->markSeenViaUsb();
    return device;
}

QString DeviceInfo::address() const
{
    return m_address.isEmpty() ? m_bluetoothInfo.address().toString() : m_address;
}

bool DeviceInfo::isStaleAt(const QDateTime &now) const
{
    return m_lastSeen.isValid() && m_lastSeen.msecsTo(now) > StaleAfterMs;
}

void DeviceInfo::setName(const QString &name)
{
    if (m_name == name)
        return;
    m_name = name;
    emit nameChanged();
}

void DeviceInfo::setAddress(const QString &address)
{
    if (m_address == address)
        return;
    m_address = address;
    emit addressChanged();
}

void DeviceInfo::setIsPaired(bool paired)
{
    if (m_isPaired == paired)
        return;
    m_isPaired = paired;
    emit isPairedChanged();
}

void DeviceInfo::setIsAvailable(bool available)
{
    if (m_isAvailable == available)
        return;
    m_isAvailable = available;
    emit isAvailableChanged();
}

void DeviceInfo::setFirmwareVersion(const QString &version)
{
    if (m_firmwareVersion == version)
        return;
    m_firmwareVersion = version;
    emit firmwareVersionChanged();
}

void DeviceInfo::setSerialNumber(const QString &serialNumber)
{
    if (m_serialNumber == serialNumber)
        return;
    m_serialNumber = serialNumber;
    emit serialNumberChanged();
}

void DeviceInfo::setHardwareId(const QString &hardwareId)
{
    if (m_hardwareId == hardwareId)
        return;
    m_hardwareId = hardwareId;
    emit hardwareIdChanged();
}

void DeviceInfo::setThemeColor(int color)
{
    if (m_themeColor == color)
        return;
    m_themeColor = color;
    emit themeColorChanged();
}

void DeviceInfo::markSeenViaUsb()
{
    m_lastSeenViaUsb = true;
    m_lastSeenViaUsbAt = QDateTime::currentDateTime();
    emit lastSeenViaUsbChanged();
}

void DeviceInfo::updateLastSeen()
{
    m_lastSeen = QDateTime::currentDateTime();
    emit lastSeenChanged();
    emit isStaleChanged();
}

void DeviceInfo::updateBluetoothInfo(const QBluetoothDeviceInfo &info)
{
    m_bluetoothInfo = info;
    if (info.name() != m_name) {
        m_name = info.name();
        emit nameChanged();
    }
    m_address = info.address().toString();
    emit addressChanged();
}
