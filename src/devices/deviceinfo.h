#pragma once

#include <QBluetoothDeviceInfo>
#include <QDateTime>
#include <QObject>
#include <QString>

// One known instrument as the interface shows it on a device card: found by a Bluetooth
// LE scan, remembered after pairing, or known only from a USB connection.
class DeviceInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
    Q_PROPERTY(QString address READ address WRITE setAddress NOTIFY addressChanged)
    // The address is the unique id: a merge that gives a USB entry its Bluetooth address
    // changes both.
    Q_PROPERTY(QString uniqueId READ uniqueId NOTIFY addressChanged)
    Q_PROPERTY(bool isPaired READ isPaired WRITE setIsPaired NOTIFY isPairedChanged)
    Q_PROPERTY(bool isAvailable READ isAvailable WRITE setIsAvailable NOTIFY isAvailableChanged)
    Q_PROPERTY(QDateTime lastSeen READ lastSeen NOTIFY lastSeenChanged)
    Q_PROPERTY(bool isStale READ isStale NOTIFY isStaleChanged)
    Q_PROPERTY(QString firmwareVersion READ firmwareVersion NOTIFY firmwareVersionChanged)
    Q_PROPERTY(QString serialNumber READ serialNumber NOTIFY serialNumberChanged)
    Q_PROPERTY(int themeColor READ themeColor NOTIFY themeColorChanged)
    Q_PROPERTY(QString hardwareId READ hardwareId NOTIFY hardwareIdChanged)
    Q_PROPERTY(bool lastSeenViaUsb READ lastSeenViaUsb NOTIFY lastSeenViaUsbChanged)
    Q_PROPERTY(QDateTime lastSeenViaUsbAt READ lastSeenViaUsbAt NOTIFY lastSeenViaUsbChanged)
    Q_PROPERTY(bool usbOnly READ usbOnly CONSTANT)

public:
    // An entry counts as stale once its last advertisement is older than this.
    static constexpr qint64 StaleAfterMs = 60 * 1000;

    // A device found by a scan: not paired, available, seen now.
    explicit DeviceInfo(const QBluetoothDeviceInfo &info, QObject *parent = nullptr);
    // A paired device read back from the settings store: not yet seen by any scan.
    DeviceInfo(const QString &name, const QString &address, QObject *parent = nullptr);
    // An instrument known only from USB; its hardware id stands in for the address.
    static DeviceInfo *createUsbOnly(const QString &name, const QString &hardwareId,
                                     QObject *parent = nullptr);

    QString name() const { return m_name; }
    QString address() const;
    QString uniqueId() const { return address(); }
    bool isPaired() const { return m_isPaired; }
    bool isAvailable() const { return m_isAvailable; }
    QDateTime lastSeen() const { return m_lastSeen; }
    bool isStale() const { return isStaleAt(QDateTime::currentDateTime()); }
    bool isStaleAt(const QDateTime &now) const;
    QString firmwareVersion() const { return m_firmwareVersion; }
    QString serialNumber() const { return m_serialNumber; }
    int themeColor() const { return m_themeColor; }
    QString hardwareId() const { return m_hardwareId; }
    bool lastSeenViaUsb() const { return m_lastSeenViaUsb; }
    QDateTime lastSeenViaUsbAt() const { return m_lastSeenViaUsbAt; }
    bool usbOnly() const { return m_usbOnly; }
    bool seenInCurrentScan() const { return m_seenInCurrentScan; }

    void setName(const QString &name);
    void setAddress(const QString &address);
    void setIsPaired(bool paired);
    void setIsAvailable(bool available);
    void setFirmwareVersion(const QString &version);
    void setSerialNumber(const QString &serialNumber);
    void setHardwareId(const QString &hardwareId);
    void setThemeColor(int color);
    // A merge gives a USB-only entry its Bluetooth identity; no signal, the property is
    // constant for the interface.
    void setUsbOnly(bool usbOnly) { m_usbOnly = usbOnly; }
    void setSeenInCurrentScan(bool seen) { m_seenInCurrentScan = seen; }

    void markSeenViaUsb();
    void updateLastSeen();
    void updateBluetoothInfo(const QBluetoothDeviceInfo &info);
    QBluetoothDeviceInfo bluetoothInfo() const { return m_bluetoothInfo; }

signals:
    void nameChanged();
    void isPairedChanged();
    void isAvailableChanged();
    void addressChanged();
    void lastSeenChanged();
    void isStaleChanged();
    void firmwareVersionChanged();
    void serialNumberChanged();
    void themeColorChanged();
    void hardwareIdChanged();
    void lastSeenViaUsbChanged();

private:
    QBluetoothDeviceInfo m_bluetoothInfo;
    bool m_isPaired = false;
    bool m_isAvailable = false;
    QDateTime m_lastSeen;
    QString m_name;
    QString m_address;
    bool m_seenInCurrentScan = false;
    QString m_firmwareVersion;
    QString m_serialNumber;
    int m_themeColor = -1;
    QString m_hardwareId;
    bool m_lastSeenViaUsb = false;
    QDateTime m_lastSeenViaUsbAt;
    bool m_usbOnly = false;
};
