#pragma once

#include <QBluetoothAddress>
#include <QBluetoothDeviceDiscoveryAgent>
#include <QBluetoothDeviceInfo>
#include <QBluetoothLocalDevice>
#include <QBluetoothUuid>
#include <QByteArray>
#include <QList>
#include <QLowEnergyCharacteristic>
#include <QLowEnergyController>
#include <QLowEnergyService>
#include <QObject>
#include <QString>

// The radio as the Bluetooth LE link sees it. Qt's service, characteristic and descriptor
// classes cannot be constructed outside Qt, so these interfaces speak in UUIDs and bytes;
// that lets the simulated instrument stand in for the radio. The five interfaces share one
// header on purpose: they only make sense together.

class BleDiscovery : public QObject // wraps QBluetoothDeviceDiscoveryAgent
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void setLowEnergyDiscoveryTimeout(int ms) = 0;
    virtual void start() = 0; // LowEnergyMethod only
    virtual void stop() = 0;  // emits nothing
    virtual bool isActive() const = 0;
    virtual QString errorString() const = 0;
signals:
    void deviceDiscovered(const QBluetoothDeviceInfo &info);
    void finished();
    void errorOccurred(QBluetoothDeviceDiscoveryAgent::Error error);
};

class BleAdapter : public QObject // wraps QBluetoothLocalDevice (default adapter)
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual bool isValid() const = 0; // an adapter exists at all
    virtual QBluetoothLocalDevice::HostMode hostMode() const = 0;
    virtual void powerOn() = 0;
    virtual void openSystemSettings() = 0; // Windows: "ms-settings:bluetooth"; elsewhere a log line
signals:
    void hostModeStateChanged(QBluetoothLocalDevice::HostMode mode);
};

class BleGattService : public QObject // wraps QLowEnergyService
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual QBluetoothUuid serviceUuid() const = 0;
    virtual QLowEnergyService::ServiceState state() const = 0;
    virtual void discoverDetails() = 0;
    virtual bool hasCharacteristic(const QBluetoothUuid &c) const = 0;
    virtual QLowEnergyCharacteristic::PropertyTypes properties(const QBluetoothUuid &c) const = 0;
    virtual bool hasDescriptor(const QBluetoothUuid &c, const QBluetoothUuid &d) const = 0;
    virtual void readCharacteristic(const QBluetoothUuid &c) = 0;
    virtual void writeCharacteristic(const QBluetoothUuid &c, const QByteArray &value,
                                     QLowEnergyService::WriteMode mode) = 0;
    virtual void writeDescriptor(const QBluetoothUuid &c, const QBluetoothUuid &d, const QByteArray &value) = 0;
signals:
    void stateChanged(QLowEnergyService::ServiceState state);
    void characteristicChanged(const QBluetoothUuid &c, const QByteArray &value); // notifications
    void characteristicRead(const QBluetoothUuid &c, const QByteArray &value);
    void characteristicWritten(const QBluetoothUuid &c, const QByteArray &value); // with-response writes only
    void descriptorWritten(const QBluetoothUuid &c, const QBluetoothUuid &d, const QByteArray &value);
    void errorOccurred(QLowEnergyService::ServiceError error);
};

class BleCentral : public QObject // wraps QLowEnergyController in the central role
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void connectToDevice() = 0;
    virtual void disconnectFromDevice() = 0;
    virtual void discoverServices() = 0;
    virtual QList<QBluetoothUuid> services() const = 0;
    virtual BleGattService *createServiceObject(const QBluetoothUuid &s, QObject *parent) = 0; // nullptr: failed
    virtual QLowEnergyController::ControllerState state() const = 0;
    virtual QLowEnergyController::Error error() const = 0;
    virtual QString errorString() const = 0;
    virtual QBluetoothAddress remoteAddress() const = 0;
signals:
    void connected();
    void disconnected();
    void errorOccurred(QLowEnergyController::Error error);
    void serviceDiscovered(const QBluetoothUuid &service);
    void discoveryFinished();
};

class BleRadioBackend // one per BleManager
{
public:
    virtual ~BleRadioBackend() = default;
    virtual BleDiscovery *createDiscovery(QObject *parent) = 0;
    virtual BleAdapter *createAdapter(QObject *parent) = 0;
    virtual BleCentral *createCentral(const QBluetoothDeviceInfo &remote, QObject *parent) = 0;
};

// The Qt enums and UUIDs travel in queued signals and signal spies.
void registerBleMetaTypes();
