#pragma once

#include "devices/ble/bleradiobackend.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>

class BleInstrument;
class InstrumentState;
class QTimer;
class SimulatedBleAdapter;
class SimulatedBleDiscovery;

// A Bluetooth LE radio in process: the host adapter, the air with its advertisers, and
// links to the simulated instruments on it. The link under test gets it as its radio
// backend and cannot tell it from Qt's. Every event reaches the program through the event
// loop, in the order it happened, after the latency set here; never inside the call that
// caused it, as no real radio answers before the call returns.
class SimulatedBleRadio : public QObject, public BleRadioBackend
{
    Q_OBJECT

public:
    enum class Adapter { Absent, Off, On };

    explicit SimulatedBleRadio(QObject *parent = nullptr);
    ~SimulatedBleRadio() override;

    BleDiscovery *createDiscovery(QObject *parent) override;
    BleAdapter *createAdapter(QObject *parent) override;
    BleCentral *createCentral(const QBluetoothDeviceInfo &remote, QObject *parent) override;

    // Instruments on the air. Each serves state (shared with its USB side, if any) and is
    // owned by the radio; it starts in range, advertising, accepting connections.
    BleInstrument *addInstrument(InstrumentState *state);
    QList<BleInstrument *> instruments() const;
    // The instrument answering at address now: in range and not moved to another address.
    BleInstrument *instrumentAt(const QBluetoothAddress &address) const;
    // Other devices around (headsets, "nerra:" look-alikes): advertised, never connectable.
    void addForeignAdvertiser(const QBluetoothAddress &address, const QString &name, qint16 rssi = -70);
    void clearForeignAdvertisers();

    // The host adapter. Switching it off fails running scans with PoweredOffError and drops
    // every link, as pulling a USB dongle does; Off <-> On is announced to every adapter object.
    void setAdapter(Adapter adapter);
    Adapter adapter() const { return m_adapter; }
    // powerOn() switches an adapter that is off on after the latency, unless refused (a
    // user who says no to the system's prompt).
    void setPowerOnRefused(bool refused) { m_powerOnRefused = refused; }
    int powerOnRequests() const { return m_powerOnRequests; }
    int systemSettingsRequests() const { return m_systemSettingsRequests; }

    // Scanning. A scan reports every advertiser once at its start; with an interval it
    // reports them again and again, as real advertisers repeat. It ends with finished()
    // after the time-out the program set (0: never), or at finishScan().
    void setAdvertisingInterval(int ms) { m_advertisingInterval = qMax(0, ms); }
    void advertiseNow();
    void finishScan();
    // Every scan started from now on fails with error (NoError: they work again).
    void setScanError(QBluetoothDeviceDiscoveryAgent::Error error, const QString &errorString = QString());
    // Running scans fail now.
    void failScans(QBluetoothDeviceDiscoveryAgent::Error error, const QString &errorString = QString());
    bool isScanning() const;
    int scansStarted() const { return m_scansStarted; }

    // A connect to an address where no instrument answers ends with this error after the
    // connect latency; NoError leaves the attempt pending for ever (a radio that retries
    // silently, for time-out tests).
    void setAbsentConnectError(QLowEnergyController::Error error) { m_absentConnectError = error; }
    QLowEnergyController::Error absentConnectError() const { return m_absentConnectError; }

    // Delay of every answer (reads, write confirmations, notifications, state changes, scan
    // reports), and of a connection's establishment.
    void setLatency(int ms) { m_latency = qMax(0, ms); }
    int latency() const { return m_latency; }
    void setConnectLatency(int ms) { m_connectLatency = qMax(0, ms); }
    int connectLatency() const { return m_connectLatency; }

    // Links open now, and link objects the program has not deleted: both must come back to
    // zero after any number of connect and disconnect cycles.
    int openLinkCount() const;
    int liveCentralCount() const { return m_liveCentrals; }

    // For the simulator's own link objects: runs action after delay ms (latency when
    // negative) unless context is gone by then, after everything posted before it.
    void post(QObject *context, std::function<void()> action, int delay = -1);
    // Nothing is on its way to the program: tests wait for this before acting on a settled radio.
    bool isIdle() const { return m_events.empty(); }

signals:
    void scanStarted();
    void openLinkCountChanged(int count);

private:
    friend class SimulatedBleAdapter;
    friend class SimulatedBleDiscovery;
    friend class SimulatedBleCentral;

    struct Advertiser
    {
        QBluetoothAddress address;
        QString name;
        qint16 rssi;
    };
    struct Event
    {
        QPointer<QObject> context;
        std::function<void()> action;
        qint64 due;
    };

    QList<QBluetoothDeviceInfo> advertisements() const;
    void pump();
    void centralCreated() { ++m_liveCentrals; }
    void centralDestroyed() { --m_liveCentrals; }
    void linksChanged();

    QList<BleInstrument *> m_instruments;
    QList<Advertiser> m_foreign;
    QList<QPointer<SimulatedBleAdapter>> m_adapters;
    QList<QPointer<SimulatedBleDiscovery>> m_discoveries;
    Adapter m_adapter = Adapter::On;
    bool m_powerOnRefused = false;
    int m_powerOnRequests = 0;
    int m_systemSettingsRequests = 0;
    int m_advertisingInterval = 0;
    QBluetoothDeviceDiscoveryAgent::Error m_scanError = QBluetoothDeviceDiscoveryAgent::NoError;
    QString m_scanErrorString;
    int m_scansStarted = 0;
    QLowEnergyController::Error m_absentConnectError = QLowEnergyController::ConnectionError;
    int m_latency = 1;
    int m_connectLatency = 2;
    int m_liveCentrals = 0;
    int m_lastLinkCount = 0;

    std::deque<Event> m_events;
    QTimer *m_eventTimer;
    QElapsedTimer m_clock;
};
