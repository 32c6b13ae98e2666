#include "simulatedbleservice.h"

#include "bleinstrument.h"
#include "simulatedbleradio.h"
#include "simulatedblecentral.h"

#include "devices/ble/bleuuids.h"

SimulatedBleService::SimulatedBleService(SimulatedBleCentral *central, const QBluetoothUuid &uuid, QObject *parent)
    : BleGattService(parent)
    , m_central(central)
    , m_uuid(uuid)
{
}

void SimulatedBleService::post(std::function<void()> action)
{
    if (!m_central || !m_central->radio())
        return;
    // Answers still in the air when the link ends are lost with it.
    m_central->radio()->post(this, [this, action] {
        if (m_state != QLowEnergyService::InvalidService)
            action();
    });
}

void SimulatedBleService::setState(QLowEnergyService::ServiceState state)
{
    m_state = state;
    if (state == QLowEnergyService::InvalidService && m_central && m_central->radio())
        m_central->radio()->post(this, [this] { emit stateChanged(QLowEnergyService::InvalidService); });
    else
        post([this, state] { emit stateChanged(state); });
}

void SimulatedBleService::fail(QLowEnergyService::ServiceError error)
{
    post([this, error] { emit errorOccurred(error); });
}

void SimulatedBleService::invalidate()
{
    if (m_state != QLowEnergyService::InvalidService)
        setState(QLowEnergyService::InvalidService);
}

void SimulatedBleService::discoverDetails()
{
    if (m_state != QLowEnergyService::DiscoveryRequired)
        return;
    setState(QLowEnergyService::DiscoveringServices);
    setState(QLowEnergyService::ServiceDiscovered);
}

bool SimulatedBleService::hasCharacteristic(const QBluetoothUuid &c) const
{
    BleInstrument *instrument = m_central ? m_central->instrument() : nullptr;
    return m_state == QLowEnergyService::ServiceDiscovered && instrument && instrument->offersCharacteristic(m_uuid, c);
}

QLowEnergyCharacteristic::PropertyTypes SimulatedBleService::properties(const QBluetoothUuid &c) const
{
    if (!hasCharacteristic(c))
        return QLowEnergyCharacteristic::Unknown;
    return m_central->instrument()->properties(c);
}

bool SimulatedBleService::hasDescriptor(const QBluetoothUuid &c, const QBluetoothUuid &d) const
{
    return d == BleUuids::notifyDescriptor() && properties(c).testFlag(QLowEnergyCharacteristic::Notify);
}

void SimulatedBleService::readCharacteristic(const QBluetoothUuid &c)
{
    if (!hasCharacteristic(c)) {
        fail(QLowEnergyService::OperationError);
        return;
    }
    if (!properties(c).testFlag(QLowEnergyCharacteristic::Read)) {
        fail(QLowEnergyService::CharacteristicReadError);
        return;
    }
    const QByteArray value = m_central->instrument()->readValue(c);
    post([this, c, value] { emit characteristicRead(c, value); });
}

void SimulatedBleService::writeCharacteristic(const QBluetoothUuid &c, const QByteArray &value,
                                              QLowEnergyService::WriteMode mode)
{
    if (!hasCharacteristic(c)) {
        fail(QLowEnergyService::OperationError);
        return;
    }
    const auto needed = mode == QLowEnergyService::WriteWithoutResponse ? QLowEnergyCharacteristic::WriteNoResponse
                                                                        : QLowEnergyCharacteristic::Write;
    if (!properties(c).testFlag(needed)) {
        fail(QLowEnergyService::CharacteristicWriteError);
        return;
    }
    // The confirmation goes out before anything the instrument answers to the write.
    if (mode == QLowEnergyService::WriteWithResponse)
        post([this, c, value] { emit characteristicWritten(c, value); });
    m_central->instrument()->receiveWrite({c, QBluetoothUuid(), value, mode});
}

void SimulatedBleService::writeDescriptor(const QBluetoothUuid &c, const QBluetoothUuid &d, const QByteArray &value)
{
    if (!hasDescriptor(c, d)) {
        fail(QLowEnergyService::OperationError);
        return;
    }
    BleInstrument *instrument = m_central->instrument();
    m_central->setNotifying(c, value == BleUuids::notifyOn());
    if (instrument->confirmsDescriptorWrites())
        post([this, c, d, value] { emit descriptorWritten(c, d, value); });
    instrument->receiveWrite({c, d, value, QLowEnergyService::WriteWithResponse});
}

void SimulatedBleService::deliver(const QBluetoothUuid &characteristic, const QByteArray &value)
{
    if (m_state == QLowEnergyService::ServiceDiscovered)
        post([this, characteristic, value] { emit characteristicChanged(characteristic, value); });
}
