#include "simulatedblecentral.h"

#include "bleinstrument.h"
#include "simulatedbleradio.h"
#include "simulatedbleservice.h"

#include <QHash>

SimulatedBleCentral::SimulatedBleCentral(SimulatedBleRadio *radio, const QBluetoothDeviceInfo &remote,
                                         QObject *parent)
    : BleCentral(parent)
    , m_radio(radio)
    , m_remote(remote)
{
    m_radio->centralCreated();
}

SimulatedBleCentral::~SimulatedBleCentral()
{
    // A link object deleted while linked ends its link without a signal, as Qt's does.
    unlink();
    if (m_radio)
        m_radio->centralDestroyed();
}

bool SimulatedBleCentral::isLinked() const
{
    return m_instrument && (m_state == QLowEnergyController::ConnectedState
                            || m_state == QLowEnergyController::DiscoveringState
                            || m_state == QLowEnergyController::DiscoveredState);
}

void SimulatedBleCentral::connectToDevice()
{
    if (!m_radio || m_state != QLowEnergyController::UnconnectedState)
        return;
    m_error = QLowEnergyController::NoError;
    m_errorString.clear();
    if (m_radio->adapter() == SimulatedBleRadio::Adapter::Absent) {
        fail(QLowEnergyController::InvalidBluetoothAdapterError);
        return;
    }
    m_state = QLowEnergyController::ConnectingState;
    const quint64 attempt = ++m_attempt;
    m_radio->post(this, [this, attempt] {
        if (attempt != m_attempt || m_state != QLowEnergyController::ConnectingState)
            return;
        BleInstrument *instrument = m_radio->adapter() == SimulatedBleRadio::Adapter::On
                                        ? m_radio->instrumentAt(m_remote.address())
                                        : nullptr;
        if (!instrument) {
            if (m_radio->absentConnectError() != QLowEnergyController::NoError)
                fail(m_radio->absentConnectError());
            return;
        }
        switch (instrument->connectBehaviour()) {
        case BleInstrument::ConnectBehaviour::Accept:
            link(instrument);
            break;
        case BleInstrument::ConnectBehaviour::Refuse:
            fail(instrument->refusal());
            break;
        case BleInstrument::ConnectBehaviour::Ignore:
            break;
        }
    }, m_radio->connectLatency());
}

void SimulatedBleCentral::link(BleInstrument *instrument)
{
    m_instrument = instrument;
    m_state = QLowEnergyController::ConnectedState;
    instrument->attach(this);
    emit connected();
}

void SimulatedBleCentral::fail(QLowEnergyController::Error error)
{
    static const QHash<int, QString> texts = {
        {QLowEnergyController::UnknownRemoteDeviceError, QStringLiteral("Remote device cannot be found")},
        {QLowEnergyController::ConnectionError, QStringLiteral("Error occurred trying to connect to remote device.")},
        {QLowEnergyController::InvalidBluetoothAdapterError, QStringLiteral("Cannot find local adapter")},
        {QLowEnergyController::NetworkError, QStringLiteral("Error occurred during connection I/O")},
        {QLowEnergyController::RemoteHostClosedError, QStringLiteral("Remote device closed the connection")}};
    unlink();
    m_state = QLowEnergyController::UnconnectedState;
    m_error = error;
    m_errorString = texts.value(error, QStringLiteral("Unknown Error"));
    if (!m_radio)
        return;
    const quint64 attempt = m_attempt;
    m_radio->post(this, [this, attempt, error] {
        if (attempt == m_attempt)
            emit errorOccurred(error);
    });
}

void SimulatedBleCentral::disconnectFromDevice()
{
    const bool wasLinked = isLinked();
    ++m_attempt;
    unlink();
    m_state = QLowEnergyController::UnconnectedState;
    if (wasLinked && m_radio)
        m_radio->post(this, [this] { emit disconnected(); });
}

void SimulatedBleCentral::drop()
{
    if (!isLinked())
        return;
    disconnectFromDevice();
}

void SimulatedBleCentral::unlink()
{
    for (const QPointer<SimulatedBleService> &service : qAsConst(m_serviceObjects)) {
        if (service)
            service->invalidate();
    }
    m_serviceObjects.clear();
    m_notifying.clear();
    if (m_instrument)
        m_instrument->detach(this);
    m_instrument = nullptr;
}

void SimulatedBleCentral::discoverServices()
{
    if (m_state != QLowEnergyController::ConnectedState || !m_instrument)
        return;
    m_state = QLowEnergyController::DiscoveringState;
    const quint64 attempt = m_attempt;
    for (const QBluetoothUuid &service : m_instrument->services()) {
        m_radio->post(this, [this, attempt, service] {
            if (attempt != m_attempt)
                return;
            m_services.append(service);
            emit serviceDiscovered(service);
        });
    }
    m_radio->post(this, [this, attempt] {
        if (attempt != m_attempt)
            return;
        m_state = QLowEnergyController::DiscoveredState;
        emit discoveryFinished();
    });
}

BleGattService *SimulatedBleCentral::createServiceObject(const QBluetoothUuid &s, QObject *parent)
{
    if (!isLinked() || !m_services.contains(s))
        return nullptr;
    auto *service = new SimulatedBleService(this, s, parent);
    m_serviceObjects.append(service);
    return service;
}

void SimulatedBleCentral::setNotifying(const QBluetoothUuid &characteristic, bool on)
{
    if (on)
        m_notifying.insert(characteristic);
    else
        m_notifying.remove(characteristic);
}

void SimulatedBleCentral::deliver(const QBluetoothUuid &characteristic, const QByteArray &value)
{
    if (!isLinked() || !m_notifying.contains(characteristic))
        return;
    for (const QPointer<SimulatedBleService> &service : qAsConst(m_serviceObjects)) {
        if (service && m_instrument->offersCharacteristic(service->serviceUuid(), characteristic))
            service->deliver(characteristic, value);
    }
}
