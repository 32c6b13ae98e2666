// The Bluetooth LE link: (1) a busy scan, 500 advertisements from 100 addresses of which
// 95 are not instruments, handed to the link as the radio reports them: this process's CPU
// time and the number of registry change signals; (2) 1000 connect and disconnect cycles
// against the simulated instrument: the objects under the link and the simulator's open
// links before and after, which must not grow; (3) a 1000-byte method at the shipped
// pacing, with the log, status and progress bound to QML: wall time and CPU per chunk;
// (4) a 4 KB calibration reply in 20-byte notifications: time until it is delivered.

#include "bleinstrument.h"
#include "devices/ble/blemanager.h"
#include "devices/deviceinfo.h"
#include "devices/devicemanager.h"
#include "instrumentstate.h"
#include "isolatedenvironment.h"
#include "simulatedbleradio.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <functional>

namespace {

double cpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Runs the event loop until done() holds; false after timeoutMs. It sleeps between checks,
// so that the CPU figures are the link's, not a polling loop's.
bool runUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// A radio whose scan reports exactly what the bench hands it, at once.
class ReplayRadio : public BleRadioBackend
{
public:
    class Discovery : public BleDiscovery
    {
    public:
        using BleDiscovery::BleDiscovery;
        void setLowEnergyDiscoveryTimeout(int) override {}
        void start() override { active = true; }
        void stop() override { active = false; }
        bool isActive() const override { return active; }
        QString errorString() const override { return QString(); }
        bool active = false;
    };
    class Adapter : public BleAdapter
    {
    public:
        using BleAdapter::BleAdapter;
        bool isValid() const override { return true; }
        QBluetoothLocalDevice::HostMode hostMode() const override { return QBluetoothLocalDevice::HostConnectable; }
        void powerOn() override {}
        void openSystemSettings() override {}
    };

    BleDiscovery *createDiscovery(QObject *parent) override { return discovery = new Discovery(parent); }
    BleAdapter *createAdapter(QObject *parent) override { return new Adapter(parent); }
    BleCentral *createCentral(const QBluetoothDeviceInfo &, QObject *) override { return nullptr; }
    Discovery *discovery = nullptr;
};

int countChildren(const QObject *object)
{
    return int(object->findChildren<QObject *>().size());
}

} // namespace

int main(int argc, char *argv[])
{
    IsolatedEnvironment::prepareProcess();
    QCoreApplication app(argc, argv);
    IsolatedEnvironment env;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    {
        ReplayRadio radio;
        DeviceManager devices;
        BleManager ble(&devices, nullptr, &radio);
        QList<QBluetoothDeviceInfo> adverts;
        for (int round = 0; round < 5; ++round) {
            for (int i = 0; i < 100; ++i) {
                const QBluetoothAddress address(quint64(0x0A0000000000ULL + quint64(i)));
                const QString name = i < 5 ? QStringLiteral("Nerra: Unit %1").arg(i) : QStringLiteral("Headset %1").arg(i);
                adverts.append(QBluetoothDeviceInfo(address, name, 0));
            }
        }
        int changes = 0;
        QObject::connect(&devices, &DeviceManager::devicesChanged, [&changes] { ++changes; });
        ble.startScan();
        changes = 0;
        const double start = cpuSeconds();
        for (const QBluetoothDeviceInfo &info : qAsConst(adverts))
            emit radio.discovery->deviceDiscovered(info);
        const double cpu = cpuSeconds() - start;
        std::printf("scan: %d advertisements, %d instruments listed, %.1f ms CPU, %d devicesChanged\n",
                    int(adverts.size()), int(devices.devices().size()), cpu * 1000.0, changes);
    }

    {
        InstrumentState state;
        state.setHardwareId(QStringLiteral("A1B2C3D4E5F6"));
        SimulatedBleRadio radio;
        radio.setLatency(0);
        radio.setConnectLatency(0);
        BleInstrument *instrument = radio.addInstrument(&state);
        DeviceManager devices;
        devices.addDevice(new DeviceInfo(instrument->advertisedName(), instrument->address().toString()));
        BleManager ble(&devices, nullptr, &radio);
        const int childrenBefore = countChildren(&ble);
        QElapsedTimer wall;
        wall.start();
        int cycles = 0;
        for (; cycles < 1000; ++cycles) {
            ble.connectToDevice(0);
            if (!runUntil([&] { return ble.isConnected(); }))
                break;
            ble.disconnect();
        }
        runUntil([&] { return radio.openLinkCount() == 0 && radio.liveCentralCount() == 0; });
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::printf("connect/disconnect: %d cycles in %.1f s; objects under the link %d -> %d; open links %d, live "
                    "controllers %d\n",
                    cycles, wall.elapsed() / 1000.0, childrenBefore, countChildren(&ble), radio.openLinkCount(),
                    radio.liveCentralCount());
    }
    {
        InstrumentState state;
        state.setHardwareId(QStringLiteral("A1B2C3D4E5F6"));
        SimulatedBleRadio radio;
        BleInstrument *instrument = radio.addInstrument(&state);
        DeviceManager devices;
        devices.addDevice(new DeviceInfo(instrument->advertisedName(), instrument->address().toString()));
        BleManager ble(&devices, nullptr, &radio);
        QQmlEngine engine;
        engine.rootContext()->setContextProperty(QStringLiteral("bleManager"), &ble);
        QQmlComponent component(&engine);
        component.setData("import QtQml 2.15\nQtObject {\n"
                          "  property var log: bleManager.logMessages\n"
                          "  property string last: log.length > 0 ? log[log.length - 1] : ''\n"
                          "  property string status: bleManager.statusMessage\n"
                          "  property int progress: bleManager.transferProgress\n}\n",
                          QUrl());
        std::unique_ptr<QObject> view(component.create());
        ble.connectToDevice(0);
        runUntil([&] { return ble.isConnected(); });

        // (3) at the shipped pacing
        QByteArray method;
        while (method.size() < 1000)
            method += "ASPIRATE,S,100.0,0,,,,4,\n";
        method.truncate(1000);
        int chunks = 0;
        QObject::connect(instrument, &BleInstrument::written, [&chunks](const QBluetoothUuid &, const QByteArray &v) {
            chunks += v.size() == BleManager::ChunkSize ? 1 : 0;
        });
        QSignalSpy complete(&ble, &DeviceConnection::transferComplete);
        QElapsedTimer wall;
        wall.start();
        const double cpuStart = cpuSeconds();
        ble.sendData(method, QStringLiteral("bench.csv"));
        {
            QEventLoop loop;
            QObject::connect(&ble, &DeviceConnection::transferComplete, &loop, &QEventLoop::quit);
            QTimer::singleShot(30000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        const double cpu = cpuSeconds() - cpuStart;
        std::printf("transfer: 1000 bytes in %d chunks, %.2f s wall (READY to SAVED), %.3f ms CPU per chunk, QML "
                    "progress %d\n",
                    chunks, wall.elapsed() / 1000.0, cpu * 1000.0 / qMax(1, chunks), view->property("progress").toInt());

        // (4)
        QString json = QStringLiteral("{");
        for (int i = 0; json.size() < 4000; ++i)
            json += QStringLiteral("\"k%1\":%2.123456,").arg(i).arg(i);
        json.chop(1);
        json += QLatin1Char('}');
        instrument->setCommandReply(QStringLiteral("CMD:GET_CAL"),
                                    {QStringLiteral("OK:GET_CAL"), QStringLiteral("DATA:GET_CAL:") + json,
                                     QStringLiteral("END:GET_CAL")});
        radio.setLatency(0);
        QSignalSpy received(&ble, &DeviceConnection::calibrationReceived);
        QVariantMap record;
        QObject::connect(&ble, &DeviceConnection::calibrationReceived, [&record](const QVariantMap &m) { record = m; });
        wall.restart();
        const double cpuReply = cpuSeconds();
        ble.getCalibration();
        {
            QEventLoop loop;
            QObject::connect(&ble, &DeviceConnection::calibrationReceived, &loop, &QEventLoop::quit);
            QTimer::singleShot(10000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        std::printf("calibration reply: %d bytes in 20-byte notifications, %d keys, %.2f ms wall, %.2f ms CPU\n",
                    int(json.size()) + 40, int(record.size()), wall.nsecsElapsed() / 1e6, (cpuSeconds() - cpuReply) * 1000.0);
    }
    return 0;
}
