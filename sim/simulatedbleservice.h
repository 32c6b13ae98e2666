#pragma once

#include "devices/ble/bleradiobackend.h"

#include <QPointer>

class SimulatedBleCentral;

// A service object of one link. Like Qt's, it knows no characteristics until its details
// are discovered, and becomes invalid for good when the link ends.
class SimulatedBleService : public BleGattService
{
public:
    SimulatedBleService(SimulatedBleCentral *central, const QBluetoothUuid &uuid, QObject *parent);

    QBluetoothUuid serviceUuid() const override { return m_uuid; }
    QLowEnergyService::ServiceState state() const override { return m_state; }
    void discoverDetails() override;
    bool hasCharacteristic(const QBluetoothUuid &c) const override;
    QLowEnergyCharacteristic::PropertyTypes properties(const QBluetoothUuid &c) const override;
    bool hasDescriptor(const QBluetoothUuid &c, const QBluetoothUuid &d) const override;
    void readCharacteristic(const QBluetoothUuid &c) override;
    void writeCharacteristic(const QBluetoothUuid &c, const QByteArray &value,
                             QLowEnergyService::WriteMode mode) override;
    void writeDescriptor(const QBluetoothUuid &c, const QBluetoothUuid &d, const QByteArray &value) override;

    void invalidate();
    // A notification, already known to be enabled on the link.
    void deliver(const QBluetoothUuid &characteristic, const QByteArray &value);

private:
    void post(std::function<void()> action);
    void setState(QLowEnergyService::ServiceState state);
    void fail(QLowEnergyService::ServiceError error);

    QPointer<SimulatedBleCentral> m_central;
    QBluetoothUuid m_uuid;
    QLowEnergyService::ServiceState m_state = QLowEnergyService::DiscoveryRequired;
};
