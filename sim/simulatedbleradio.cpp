#include "simulatedbleradio.h"

#include "bleinstrument.h"
#include "simulatedblecentral.h"

#include <QDebug>
#include <QTimer>

// The simulated counterparts of the discovery agent and the local adapter. They live here
// because nothing but the radio creates or drives them.

class SimulatedBleAdapter : public BleAdapter
{
public:
    SimulatedBleAdapter(SimulatedBleRadio *radio, QObject *parent)
        : BleAdapter(parent)
        , m_radio(radio)
    {
    }

    bool isValid() const override { return m_radio && m_radio->m_adapter != SimulatedBleRadio::Adapter::Absent; }

    QBluetoothLocalDevice::HostMode hostMode() const override
    {
        return m_radio && m_radio->m_adapter == SimulatedBleRadio::Adapter::On ? QBluetoothLocalDevice::HostConnectable
                                                                                : QBluetoothLocalDevice::HostPoweredOff;
    }

    void powerOn() override
    {
        if (!m_radio)
            return;
        ++m_radio->m_powerOnRequests;
        if (m_radio->m_adapter != SimulatedBleRadio::Adapter::Off || m_radio->m_powerOnRefused)
            return;
        QPointer<SimulatedBleRadio> radio = m_radio;
        m_radio->post(m_radio, [radio] {
            if (radio->m_adapter == SimulatedBleRadio::Adapter::Off)
                radio->setAdapter(SimulatedBleRadio::Adapter::On);
        });
    }

    void openSystemSettings() override
    {
        if (m_radio)
            ++m_radio->m_systemSettingsRequests;
    }

    void announce(QBluetoothLocalDevice::HostMode mode)
    {
        if (m_radio)
            m_radio->post(this, [this, mode] { emit hostModeStateChanged(mode); });
    }

private:
    QPointer<SimulatedBleRadio> m_radio;
};

class SimulatedBleDiscovery : public BleDiscovery
{
public:
    SimulatedBleDiscovery(SimulatedBleRadio *radio, QObject *parent)
        : BleDiscovery(parent)
        , m_radio(radio)
        , m_timeout(new QTimer(this))
        , m_repeat(new QTimer(this))
    {
        m_timeout->setSingleShot(true);
        connect(m_timeout, &QTimer::timeout, this, [this] { finish(); });
        connect(m_repeat, &QTimer::timeout, this, [this] { advertise(); });
    }

    void setLowEnergyDiscoveryTimeout(int ms) override { m_timeoutMs = qMax(0, ms); }

    void start() override
    {
        if (!m_radio)
            return;
        stopTimers();
        ++m_radio->m_scansStarted;
        emit m_radio->scanStarted();
        if (m_radio->m_adapter == SimulatedBleRadio::Adapter::Absent) {
            fail(QBluetoothDeviceDiscoveryAgent::InvalidBluetoothAdapterError,
                 QStringLiteral("Cannot find valid Bluetooth adapter."));
            return;
        }
        if (m_radio->m_adapter == SimulatedBleRadio::Adapter::Off) {
            fail(QBluetoothDeviceDiscoveryAgent::PoweredOffError, QStringLiteral("Device is powered off"));
            return;
        }
        if (m_radio->m_scanError != QBluetoothDeviceDiscoveryAgent::NoError) {
            fail(m_radio->m_scanError, m_radio->m_scanErrorString);
            return;
        }
        m_active = true;
        m_errorString.clear();
        advertise();
        if (m_radio->m_advertisingInterval > 0)
            m_repeat->start(m_radio->m_advertisingInterval);
        if (m_timeoutMs > 0)
            m_timeout->start(m_timeoutMs);
    }

    void stop() override { stopTimers(); }
    bool isActive() const override { return m_active; }
    QString errorString() const override { return m_errorString; }

    // Reports every advertiser heard now, later by the latency.
    void advertise()
    {
        if (!m_active || !m_radio)
            return;
        const quint64 scan = m_scan;
        for (const QBluetoothDeviceInfo &info : m_radio->advertisements()) {
            m_radio->post(this, [this, scan, info] {
                if (scan == m_scan)
                    emit deviceDiscovered(info);
            });
        }
    }

    void finish()
    {
        if (!m_active)
            return;
        // What was heard before the end is still reported; a new scan or stop() drops it.
        m_active = false;
        m_timeout->stop();
        m_repeat->stop();
        const quint64 scan = m_scan;
        m_radio->post(this, [this, scan] {
            if (scan == m_scan)
                emit finished();
        });
    }

    void fail(QBluetoothDeviceDiscoveryAgent::Error error, const QString &text)
    {
        stopTimers();
        m_errorString = text.isEmpty() ? QStringLiteral("Bluetooth error %1").arg(int(error)) : text;
        const quint64 scan = m_scan;
        m_radio->post(this, [this, scan, error] {
            if (scan == m_scan)
                emit errorOccurred(error);
        });
    }

private:
    // Ends the scan without a word; whatever it had queued is void.
    void stopTimers()
    {
        m_active = false;
        ++m_scan;
        m_timeout->stop();
        m_repeat->stop();
    }

    QPointer<SimulatedBleRadio> m_radio;
    QTimer *m_timeout;
    QTimer *m_repeat;
    int m_timeoutMs = 25000; // Qt's own default
    bool m_active = false;
    quint64 m_scan = 0;
    QString m_errorString;
};

SimulatedBleRadio::SimulatedBleRadio(QObject *parent)
    : QObject(parent)
    , m_eventTimer(new QTimer(this))
{
    registerBleMetaTypes();
    m_clock.start();
    m_eventTimer->setSingleShot(true);
    m_eventTimer->setTimerType(Qt::PreciseTimer);
    connect(m_eventTimer, &QTimer::timeout, this, &SimulatedBleRadio::pump);
}

SimulatedBleRadio::~SimulatedBleRadio()
{
    // Links still open end with the radio, silently: the instruments go first so that the
    // program's link objects find nothing to detach from.
    qDeleteAll(m_instruments);
    m_instruments.clear();
}

BleDiscovery *SimulatedBleRadio::createDiscovery(QObject *parent)
{
    auto *discovery = new SimulatedBleDiscovery(this, parent);
    m_discoveries.append(discovery);
    return discovery;
}

BleAdapter *SimulatedBleRadio::createAdapter(QObject *parent)
{
    auto *adapter = new SimulatedBleAdapter(this, parent);
    m_adapters.append(adapter);
    return adapter;
}

BleCentral *SimulatedBleRadio::createCentral(const QBluetoothDeviceInfo &remote, QObject *parent)
{
    return new SimulatedBleCentral(this, remote, parent);
}

BleInstrument *SimulatedBleRadio::addInstrument(InstrumentState *state)
{
    auto *instrument = new BleInstrument(state, this);
    m_instruments.append(instrument);
    connect(instrument, &BleInstrument::linkOpened, this, &SimulatedBleRadio::linksChanged);
    connect(instrument, &BleInstrument::linkClosed, this, &SimulatedBleRadio::linksChanged);
    return instrument;
}

QList<BleInstrument *> SimulatedBleRadio::instruments() const
{
    return m_instruments;
}

BleInstrument *SimulatedBleRadio::instrumentAt(const QBluetoothAddress &address) const
{
    for (BleInstrument *instrument : m_instruments) {
        if (instrument->inRange() && instrument->address() == address)
            return instrument;
    }
    return nullptr;
}

void SimulatedBleRadio::addForeignAdvertiser(const QBluetoothAddress &address, const QString &name, qint16 rssi)
{
    m_foreign.append({address, name, rssi});
}

void SimulatedBleRadio::clearForeignAdvertisers()
{
    m_foreign.clear();
}

QList<QBluetoothDeviceInfo> SimulatedBleRadio::advertisements() const
{
    QList<QBluetoothDeviceInfo> result;
    for (const BleInstrument *instrument : m_instruments) {
        if (instrument->isAdvertising())
            result.append(instrument->advertisement());
    }
    for (const Advertiser &foreign : m_foreign) {
        QBluetoothDeviceInfo info(foreign.address, foreign.name, 0);
        info.setRssi(foreign.rssi);
        info.setCoreConfigurations(QBluetoothDeviceInfo::LowEnergyCoreConfiguration);
        result.append(info);
    }
    return result;
}

void SimulatedBleRadio::setAdapter(Adapter adapter)
{
    if (m_adapter == adapter)
        return;
    const bool wasOn = m_adapter == Adapter::On;
    m_adapter = adapter;
    if (wasOn) {
        failScans(QBluetoothDeviceDiscoveryAgent::PoweredOffError, QStringLiteral("Device is powered off"));
        for (BleInstrument *instrument : qAsConst(m_instruments))
            instrument->dropLink();
    }
    if (wasOn == (adapter == Adapter::On))
        return; // Off <-> Absent: nothing a host mode signal could tell
    for (const QPointer<SimulatedBleAdapter> &object : qAsConst(m_adapters)) {
        if (object)
            object->announce(object->hostMode());
    }
}

void SimulatedBleRadio::advertiseNow()
{
    for (const QPointer<SimulatedBleDiscovery> &discovery : qAsConst(m_discoveries)) {
        if (discovery)
            discovery->advertise();
    }
}

void SimulatedBleRadio::finishScan()
{
    for (const QPointer<SimulatedBleDiscovery> &discovery : qAsConst(m_discoveries)) {
        if (discovery)
            discovery->finish();
    }
}

void SimulatedBleRadio::setScanError(QBluetoothDeviceDiscoveryAgent::Error error, const QString &errorString)
{
    m_scanError = error;
    m_scanErrorString = errorString;
}

void SimulatedBleRadio::failScans(QBluetoothDeviceDiscoveryAgent::Error error, const QString &errorString)
{
    for (const QPointer<SimulatedBleDiscovery> &discovery : qAsConst(m_discoveries)) {
        if (discovery && discovery->isActive())
            discovery->fail(error, errorString);
    }
}

bool SimulatedBleRadio::isScanning() const
{
    for (const QPointer<SimulatedBleDiscovery> &discovery : m_discoveries) {
        if (discovery && discovery->isActive())
            return true;
    }
    return false;
}

int SimulatedBleRadio::openLinkCount() const
{
    int count = 0;
    for (const BleInstrument *instrument : m_instruments)
        count += instrument->linkCount();
    return count;
}

void SimulatedBleRadio::linksChanged()
{
    const int count = openLinkCount();
    if (count == m_lastLinkCount)
        return;
    m_lastLinkCount = count;
    emit openLinkCountChanged(count);
}

void SimulatedBleRadio::post(QObject *context, std::function<void()> action, int delay)
{
    const qint64 now = m_clock.elapsed();
    qint64 due = now + (delay < 0 ? m_latency : delay);
    // Never before anything posted earlier: the air keeps the order of events.
    if (!m_events.empty())
        due = qMax(due, m_events.back().due);
    m_events.push_back({context, std::move(action), due});
    if (!m_eventTimer->isActive())
        m_eventTimer->start(int(qMax<qint64>(0, m_events.front().due - now)));
}

void SimulatedBleRadio::pump()
{
    // An action may run a nested event loop that comes back here; each event is taken off
    // the queue before it runs, so none runs twice.
    while (!m_events.empty() && m_events.front().due <= m_clock.elapsed()) {
        Event event = std::move(m_events.front());
        m_events.pop_front();
        if (event.context)
            event.action();
    }
    if (!m_events.empty() && !m_eventTimer->isActive())
        m_eventTimer->start(int(qMax<qint64>(0, m_events.front().due - m_clock.elapsed())));
}
