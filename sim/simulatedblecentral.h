#pragma once

#include "devices/ble/bleradiobackend.h"

#include <QList>
#include <QPointer>
#include <QSet>

class BleInstrument;
class SimulatedBleRadio;
class SimulatedBleService;

// One central-role link object the program made for an advertisement. It reaches the
// instrument that answers at the advertised address when connectToDevice() is called, and
// keeps which notifications the program enabled on this link.
class SimulatedBleCentral : public BleCentral
{
public:
    SimulatedBleCentral(SimulatedBleRadio *radio, const QBluetoothDeviceInfo &remote, QObject *parent);
    ~SimulatedBleCentral() override;

    void connectToDevice() override;
    void disconnectFromDevice() override;
    void discoverServices() override;
    QList<QBluetoothUuid> services() const override { return m_services; }
    BleGattService *createServiceObject(const QBluetoothUuid &s, QObject *parent) override;
    QLowEnergyController::ControllerState state() const override { return m_state; }
    QLowEnergyController::Error error() const override { return m_error; }
    QString errorString() const override { return m_errorString; }
    QBluetoothAddress remoteAddress() const override { return m_remote.address(); }

    SimulatedBleRadio *radio() const { return m_radio; }
    BleInstrument *instrument() const { return m_instrument; }
    bool isLinked() const;
    // The link ends from the instrument's or the radio's side.
    void drop();
    void setNotifying(const QBluetoothUuid &characteristic, bool on);
    // A notification reaches the service objects of this link that enabled it.
    void deliver(const QBluetoothUuid &characteristic, const QByteArray &value);

private:
    void fail(QLowEnergyController::Error error);
    void link(BleInstrument *instrument);
    // Detaches from the instrument and makes every service object invalid.
    void unlink();

    QPointer<SimulatedBleRadio> m_radio;
    QBluetoothDeviceInfo m_remote;
    QPointer<BleInstrument> m_instrument;
    QLowEnergyController::ControllerState m_state = QLowEnergyController::UnconnectedState;
    QLowEnergyController::Error m_error = QLowEnergyController::NoError;
    QString m_errorString;
    QList<QBluetoothUuid> m_services;
    QList<QPointer<SimulatedBleService>> m_serviceObjects;
    QSet<QBluetoothUuid> m_notifying;
    // Events queued for an earlier attempt are void once the attempt ended.
    quint64 m_attempt = 0;
};
