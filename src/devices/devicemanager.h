#pragma once

#include <QList>
#include <QObject>
#include <QString>

class DeviceInfo;

// The registry of known instruments. It owns its DeviceInfo entries and keeps the paired
// ones in the "NerraDesktop" settings store, so they come back at the next start.
class DeviceManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<QObject *> devices READ devices NOTIFY devicesChanged)

public:
    explicit DeviceManager(QObject *parent = nullptr);
    ~DeviceManager() override;

    QList<QObject *> devices() const { return m_devices; }

    Q_INVOKABLE int findDeviceIndexByHardwareId(const QString &hwId) const;
    Q_INVOKABLE void pairDevice(int deviceIndex);
    Q_INVOKABLE void forgetDevice(int deviceIndex);
    Q_INVOKABLE void addOrUpdateUsbDevice(const QString &name, const QString &sn, const QString &fw,
                                          int color, const QString &hwId);
    Q_INVOKABLE void setDeviceThemeColor(int deviceIndex, int color);
    Q_INVOKABLE void setDeviceName(int deviceIndex, const QString &name);
    Q_INVOKABLE void setDeviceSerialNumber(int deviceIndex, const QString &sn);
    Q_INVOKABLE void setDeviceFirmwareVersion(int deviceIndex, const QString &fw);
    Q_INVOKABLE void markLastSeenViaUsb(int deviceIndex);
    Q_INVOKABLE int mergeBluetoothDevice(const QString &bleUniqueId, const QString &hwId);

    // Used by the Bluetooth LE link while it scans and connects.
    void addDevice(DeviceInfo *device);
    DeviceInfo *deviceAt(int index) const;
    DeviceInfo *findDeviceByUniqueId(const QString &id) const;
    void removeDevice(int index);
    // Replaces the list, without nulls or repeats; entries that drop out are the caller's
    // to delete.
    void setDevices(const QList<QObject *> &devices);
    void savePairedDevices();

signals:
    void devicesChanged();
    void deviceForgottenByUniqueId(const QString &uniqueId, const QString &address);

private:
    void loadPairedDevices();
    bool isValidIndex(int index) const { return index >= 0 && index < m_devices.size(); }

    QList<QObject *> m_devices;
};
