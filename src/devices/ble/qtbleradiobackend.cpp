#include "devices/ble/qtbleradiobackend.h"

#include <QDebug>
#include <QDesktopServices>
#include <QLowEnergyDescriptor>
#include <QUrl>

namespace {

class QtBleDiscovery : public BleDiscovery
{
public:
    explicit QtBleDiscovery(QObject *parent)
        : BleDiscovery(parent)
        , m_agent(new QBluetoothDeviceDiscoveryAgent(this))
    {
        connect(m_agent, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, this, &BleDiscovery::deviceDiscovered);
        connect(m_agent, &QBluetoothDeviceDiscoveryAgent::finished, this, &BleDiscovery::finished);
        connect(m_agent, QOverload<QBluetoothDeviceDiscoveryAgent::Error>::of(&QBluetoothDeviceDiscoveryAgent::error),
                this, &BleDiscovery::errorOccurred);
        // The agent's "canceled" answers our own stop(); the link already knows, and taking it
        // for "finished" would end a scan as though it had timed out.
    }

    void setLowEnergyDiscoveryTimeout(int ms) override { m_agent->setLowEnergyDiscoveryTimeout(ms); }
    void start() override { m_agent->start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod); }
    void stop() override { m_agent->stop(); }
    bool isActive() const override { return m_agent->isActive(); }
    QString errorString() const override { return m_agent->errorString(); }

private:
    QBluetoothDeviceDiscoveryAgent *m_agent;
};

class QtBleAdapter : public BleAdapter
{
public:
    explicit QtBleAdapter(QObject *parent)
        : BleAdapter(parent)
        , m_device(new QBluetoothLocalDevice(this))
    {
        connect(m_device, &QBluetoothLocalDevice::hostModeStateChanged, this, &BleAdapter::hostModeStateChanged);
    }

    bool isValid() const override { return m_device->isValid(); }
    QBluetoothLocalDevice::HostMode hostMode() const override { return m_device->hostMode(); }
    void powerOn() override { m_device->powerOn(); }

    void openSystemSettings() override
    {
#ifdef Q_OS_WIN
        QDesktopServices::openUrl(QUrl(QStringLiteral("ms-settings:bluetooth")));
#else
        // No desktop here has one address for its Bluetooth settings; the dialog's own
        // wording tells the user where to look.
        qDebug() << "QT_BLE: [HOST_BT] no system Bluetooth settings page to open on this platform";
#endif
    }

private:
    QBluetoothLocalDevice *m_device;
};

class QtBleGattService : public BleGattService
{
public:
    explicit QtBleGattService(QObject *parent)
        : BleGattService(parent)
    {
    }

    // False when the controller had no such service to give.
    bool attach(QLowEnergyController *controller, const QBluetoothUuid &uuid)
    {
        m_service = controller->createServiceObject(uuid, this);
        if (!m_service)
            return false;
        connect(m_service, &QLowEnergyService::stateChanged, this, &BleGattService::stateChanged);
        connect(m_service, &QLowEnergyService::characteristicChanged, this,
                [this](const QLowEnergyCharacteristic &c, const QByteArray &value) {
                    emit characteristicChanged(c.uuid(), value);
                });
        connect(m_service, &QLowEnergyService::characteristicRead, this,
                [this](const QLowEnergyCharacteristic &c, const QByteArray &value) {
                    emit characteristicRead(c.uuid(), value);
                });
        connect(m_service, &QLowEnergyService::characteristicWritten, this,
                [this](const QLowEnergyCharacteristic &c, const QByteArray &value) {
                    emit characteristicWritten(c.uuid(), value);
                });
        connect(m_service, &QLowEnergyService::descriptorWritten, this,
                [this](const QLowEnergyDescriptor &d, const QByteArray &value) {
                    emit descriptorWritten(owner(d), d.uuid(), value);
                });
        connect(m_service, QOverload<QLowEnergyService::ServiceError>::of(&QLowEnergyService::error), this,
                &BleGattService::errorOccurred);
        return true;
    }

    QBluetoothUuid serviceUuid() const override { return m_service->serviceUuid(); }
    QLowEnergyService::ServiceState state() const override { return m_service->state(); }
    void discoverDetails() override { m_service->discoverDetails(); }
    bool hasCharacteristic(const QBluetoothUuid &c) const override { return m_service->characteristic(c).isValid(); }

    QLowEnergyCharacteristic::PropertyTypes properties(const QBluetoothUuid &c) const override
    {
        return m_service->characteristic(c).properties();
    }

    bool hasDescriptor(const QBluetoothUuid &c, const QBluetoothUuid &d) const override
    {
        return m_service->characteristic(c).descriptor(d).isValid();
    }

    void readCharacteristic(const QBluetoothUuid &c) override { m_service->readCharacteristic(m_service->characteristic(c)); }

    void writeCharacteristic(const QBluetoothUuid &c, const QByteArray &value,
                             QLowEnergyService::WriteMode mode) override
    {
        m_service->writeCharacteristic(m_service->characteristic(c), value, mode);
    }

    void writeDescriptor(const QBluetoothUuid &c, const QBluetoothUuid &d, const QByteArray &value) override
    {
        m_service->writeDescriptor(m_service->characteristic(c).descriptor(d), value);
    }

private:
    // A written descriptor does not say whose it is; its handle is unique in the service.
    QBluetoothUuid owner(const QLowEnergyDescriptor &descriptor) const
    {
        const QList<QLowEnergyCharacteristic> characteristics = m_service->characteristics();
        for (const QLowEnergyCharacteristic &c : characteristics) {
            const QList<QLowEnergyDescriptor> descriptors = c.descriptors();
            for (const QLowEnergyDescriptor &d : descriptors) {
                if (d.handle() == descriptor.handle())
                    return c.uuid();
            }
        }
        return QBluetoothUuid();
    }

    QLowEnergyService *m_service = nullptr;
};

class QtBleCentral : public BleCentral
{
public:
    QtBleCentral(const QBluetoothDeviceInfo &remote, QObject *parent)
        : BleCentral(parent)
        , m_controller(QLowEnergyController::createCentral(remote, this))
    {
        connect(m_controller, &QLowEnergyController::connected, this, &BleCentral::connected);
        connect(m_controller, &QLowEnergyController::disconnected, this, &BleCentral::disconnected);
        connect(m_controller, QOverload<QLowEnergyController::Error>::of(&QLowEnergyController::error), this,
                &BleCentral::errorOccurred);
        connect(m_controller, &QLowEnergyController::serviceDiscovered, this, &BleCentral::serviceDiscovered);
        connect(m_controller, &QLowEnergyController::discoveryFinished, this, &BleCentral::discoveryFinished);
    }

    void connectToDevice() override { m_controller->connectToDevice(); }
    void disconnectFromDevice() override { m_controller->disconnectFromDevice(); }
    void discoverServices() override { m_controller->discoverServices(); }
    QList<QBluetoothUuid> services() const override { return m_controller->services(); }

    BleGattService *createServiceObject(const QBluetoothUuid &s, QObject *parent) override
    {
        auto *service = new QtBleGattService(parent);
        if (service->attach(m_controller, s))
            return service;
        delete service;
        return nullptr;
    }

    QLowEnergyController::ControllerState state() const override { return m_controller->state(); }
    QLowEnergyController::Error error() const override { return m_controller->error(); }
    QString errorString() const override { return m_controller->errorString(); }
    QBluetoothAddress remoteAddress() const override { return m_controller->remoteAddress(); }

private:
    QLowEnergyController *m_controller;
};

} // namespace

BleDiscovery *QtBleRadioBackend::createDiscovery(QObject *parent)
{
    return new QtBleDiscovery(parent);
}

BleAdapter *QtBleRadioBackend::createAdapter(QObject *parent)
{
    return new QtBleAdapter(parent);
}

BleCentral *QtBleRadioBackend::createCentral(const QBluetoothDeviceInfo &remote, QObject *parent)
{
    return new QtBleCentral(remote, parent);
}
