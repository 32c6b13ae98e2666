#include "bleinstrument.h"
#include "devices/ble/bleuuids.h"
#include "instrumentstate.h"
#include "simulatedbleradio.h"
#include "testmain.h"

#include <QJsonDocument>
#include <QSignalSpy>

#include <memory>

// The simulated instrument as the Bluetooth LE link meets it, through the radio backend
// only: what it advertises, a link up to notifications, a file and a command round trip.
class TestBleInstrument : public QObject
{
    Q_OBJECT

private:
    struct Link
    {
        std::unique_ptr<BleCentral> central;
        std::unique_ptr<BleGattService> service;
    };

    // Connected, instrument service discovered, notifications on for both characteristics.
    Link openLink(SimulatedBleRadio &radio, BleInstrument *instrument)
    {
        Link link;
        link.central.reset(radio.createCentral(instrument->advertisement(), nullptr));
        QSignalSpy connected(link.central.get(), &BleCentral::connected);
        link.central->connectToDevice();
        [&] { QVERIFY(connected.wait(1000)); }();
        QSignalSpy discovered(link.central.get(), &BleCentral::discoveryFinished);
        link.central->discoverServices();
        [&] { QVERIFY(discovered.wait(1000)); }();
        link.service.reset(link.central->createServiceObject(BleUuids::instrumentService(), nullptr));
        [&] { QVERIFY(link.service); }();
        QSignalSpy states(link.service.get(), &BleGattService::stateChanged);
        link.service->discoverDetails();
        [&] { QTRY_COMPARE(states.count(), 2); }();
        QSignalSpy descriptors(link.service.get(), &BleGattService::descriptorWritten);
        for (const QBluetoothUuid &c : {BleUuids::dataCharacteristic(), BleUuids::commandCharacteristic()})
            link.service->writeDescriptor(c, BleUuids::notifyDescriptor(), BleUuids::notifyOn());
        [&] { QTRY_COMPARE(descriptors.count(), 2); }();
        return link;
    }

    // The notifications of one characteristic, joined, once text ends them.
    static QByteArray notified(QSignalSpy &spy, const QBluetoothUuid &c, const QByteArray &end)
    {
        QByteArray joined;
        for (int i = 0; i < 100 && !joined.endsWith(end); ++i) {
            joined.clear();
            for (const QList<QVariant> &args : qAsConst(spy)) {
                if (args.at(0).value<QBluetoothUuid>() == c)
                    joined += args.at(1).toByteArray();
            }
            if (!joined.endsWith(end))
                spy.wait(100);
        }
        return joined;
    }

private slots:
    void initTestCase() { registerBleMetaTypes(); }

    void scanReportsAdvertisersUntilTheTimeOut()
    {
        SimulatedBleRadio radio;
        InstrumentState state;
        state.setPreference(QStringLiteral("name"), QString());
        BleInstrument *instrument = radio.addInstrument(&state);
        instrument->setRssi(0);
        radio.addForeignAdvertiser(QBluetoothAddress(QStringLiteral("11:22:33:44:55:66")), QStringLiteral("nerra: x"));
        std::unique_ptr<BleDiscovery> discovery(radio.createDiscovery(nullptr));
        QSignalSpy found(discovery.get(), &BleDiscovery::deviceDiscovered);
        QSignalSpy finished(discovery.get(), &BleDiscovery::finished);
        discovery->setLowEnergyDiscoveryTimeout(30);
        discovery->start();
        QCOMPARE(found.count(), 0); // never inside the call
        QVERIFY(finished.wait(1000));
        QCOMPARE(found.count(), 2);
        const auto info = found.first().first().value<QBluetoothDeviceInfo>();
        QCOMPARE(info.name(), QStringLiteral("Nerra: ") + state.serialNumber());
        QCOMPARE(info.address(), instrument->address());
        QCOMPARE(info.rssi(), qint16(0));
        QCOMPARE(info.coreConfigurations(), QBluetoothDeviceInfo::LowEnergyCoreConfiguration);

        // A stopped scan says nothing more: whatever it had queued would come before the
        // next scan's own reports.
        discovery->start();
        discovery->stop();
        QVERIFY(!discovery->isActive());
        discovery->start();
        QVERIFY(finished.wait(1000));
        QCOMPARE(finished.count(), 2);
        QCOMPARE(found.count(), 4);
    }

    void fileAndCommandsReachTheSharedState()
    {
        SimulatedBleRadio radio;
        InstrumentState state;
        BleInstrument *instrument = radio.addInstrument(&state);
        instrument->setReplySplitPoints({7, 30});
        Link link = openLink(radio, instrument);
        QVERIFY(!QTest::currentTestFailed());
        QCOMPARE(radio.openLinkCount(), 1);
        QSignalSpy notes(link.service.get(), &BleGattService::characteristicChanged);
        QSignalSpy written(link.service.get(), &BleGattService::characteristicWritten);
        const auto data = BleUuids::dataCharacteristic();
        const auto command = BleUuids::commandCharacteristic();

        link.service->writeCharacteristic(data, "READY", QLowEnergyService::WriteWithoutResponse);
        QCOMPARE(notified(notes, data, "START"), QByteArray("START"));
        const QByteArray file(41, 'x');
        for (int i = 0; i < file.size(); i += 20)
            link.service->writeCharacteristic(data, file.mid(i, 20), QLowEnergyService::WriteWithoutResponse);
        link.service->writeCharacteristic(data, "DONE", QLowEnergyService::WriteWithoutResponse);
        link.service->writeCharacteristic(data, "m.csv", QLowEnergyService::WriteWithoutResponse);
        QCOMPARE(notified(notes, data, "SAVED:m.csv"), QByteArray("STARTSAVED:m.csv"));
        QCOMPARE(state.file(QStringLiteral("m.csv")), file);
        QCOMPARE(written.count(), 0);

        notes.clear();
        link.service->writeCharacteristic(command, "CMD:SET_PREF:name:Bench", QLowEnergyService::WriteWithResponse);
        QCOMPARE(notified(notes, command, "\n"), QByteArray("OK:SET_PREF:name\n"));
        QCOMPARE(written.count(), 1);
        QCOMPARE(state.name(), QStringLiteral("Bench"));
        QCOMPARE(instrument->advertisedName(), QStringLiteral("Nerra: Bench"));

        notes.clear();
        link.service->writeCharacteristic(command, "CMD:GET_CAL", QLowEnergyService::WriteWithResponse);
        const QList<QByteArray> lines = notified(notes, command, "END:GET_CAL\n").split('\n');
        QVERIFY(notes.count() > 3);
        for (const QList<QVariant> &args : qAsConst(notes))
            QVERIFY(args.at(1).toByteArray().size() <= BleInstrument::PacketSize);
        QCOMPARE(lines.value(0), QByteArray("OK:GET_CAL"));
        QVERIFY(lines.value(1).startsWith("DATA:GET_CAL:"));
        QCOMPARE(QJsonDocument::fromJson(lines.value(1).mid(13)).toVariant().toMap(), state.calibrationRecord());
    }

    void droppedLinkEndsEverything()
    {
        SimulatedBleRadio radio;
        InstrumentState state;
        BleInstrument *instrument = radio.addInstrument(&state);
        Link link = openLink(radio, instrument);
        QVERIFY(!QTest::currentTestFailed());
        QSignalSpy disconnected(link.central.get(), &BleCentral::disconnected);
        QSignalSpy states(link.service.get(), &BleGattService::stateChanged);
        instrument->dropLink();
        QCOMPARE(disconnected.count(), 0);
        QVERIFY(disconnected.wait(1000));
        QCOMPARE(link.central->state(), QLowEnergyController::UnconnectedState);
        QCOMPARE(link.service->state(), QLowEnergyService::InvalidService);
        QCOMPARE(radio.openLinkCount(), 0);

        link = openLink(radio, instrument);
        QVERIFY(!QTest::currentTestFailed());
        link = Link();
        QCOMPARE(radio.openLinkCount(), 0);
        QCOMPARE(radio.liveCentralCount(), 0);
    }
};

NERRA_TEST_MAIN(TestBleInstrument)
#include "tst_bleinstrument.moc"
