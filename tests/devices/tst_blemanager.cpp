// The Bluetooth LE link's discovery and connection against the simulated instrument, through
// the radio backend: what a scan does to the registry, the host adapter's states, connects
// with every GATT layout, the fallback scan, and closing a link.

#include "blebench.h"
#include "testmain.h"

#include "devices/ble/bleuuids.h"


class TestBleManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<BleBench> b;

private slots:
    void init()
    {
        b = std::make_unique<BleBench>();
    }
    void cleanup() { b.reset(); }

    void scanFiltersAndFillsTheRegistry()
    {
        b->radio.addForeignAdvertiser(QBluetoothAddress(QStringLiteral("11:22:33:44:55:66")), QStringLiteral("Headset"));
        b->radio.addForeignAdvertiser(QBluetoothAddress(QStringLiteral("11:22:33:44:55:67")), QStringLiteral("nerra: lower"));
        b->radio.addForeignAdvertiser(QBluetoothAddress(QStringLiteral("11:22:33:44:55:68")), QString());
        InstrumentState second;
        second.setPreference(QStringLiteral("name"), QStringLiteral("Quiet"));
        b->radio.addInstrument(&second)->setRssi(0);
        QSignalSpy changed(&b->devices, &DeviceManager::devicesChanged);

        QVERIFY(b->scanOnce());
        QCOMPARE(b->names(), (QStringList{QStringLiteral("Nerra: Bench"), QStringLiteral("Nerra: Quiet")}));
        QCOMPARE(b->entry(0)->uniqueId(), QStringLiteral("A1:B2:C3:D4:E5:F6"));
        QVERIFY(b->entry(1)->isAvailable() && !b->entry(1)->isPaired());
        QVERIFY(changed.count() >= 2);

        // Discovered entries go at each new scan. The same address with a shorter name keeps
        // the longer one; a longer one is taken.
        b->instrument->setAdvertisedName(QStringLiteral("Nerra: B"));
        b->ble->startScan();
        QCOMPARE(b->names(), QStringList());
        QTRY_COMPARE(b->names(), (QStringList{QStringLiteral("Nerra: B"), QStringLiteral("Nerra: Quiet")}));
        for (const char *name : {"Nerra: Bench 2", "Nerra: X"}) {
            b->instrument->setAdvertisedName(QString::fromUtf8(name));
            changed.clear();
            b->radio.advertiseNow();
            QVERIFY(changed.wait(2000));
        }
        QCOMPARE(b->names(), (QStringList{QStringLiteral("Nerra: Bench 2"), QStringLiteral("Nerra: Quiet")}));
        b->ble->stopScan();
        QVERIFY(b->errors().isEmpty());
    }

    void rotatedAddressIsFollowed()
    {
        // Two instruments under one name: the one that rotated is followed, and the one heard
        // at its own address, or the one the link holds, is never taken for it.
        InstrumentState twinState;
        twinState.setHardwareId(QStringLiteral("0F0E0D0C0B0A"));
        twinState.setPreference(QStringLiteral("name"), QStringLiteral("Bench"));
        BleInstrument *twin = b->radio.addInstrument(&twinState);
        b->pairInstrument();
        b->devices.addDevice(new DeviceInfo(twin->advertisedName(), twin->address().toString()));
        const QString first = b->instrument->address().toString();
        const QString rotated = twin->rotateAddress().toString();
        QVERIFY(b->scanOnce());
        QCOMPARE(b->entry(0)->uniqueId(), first);
        QCOMPARE(b->entry(1)->uniqueId(), rotated);
        QVERIFY(b->entry(0)->isAvailable() && b->entry(1)->isAvailable());
        QCOMPARE(DeviceManager().deviceAt(1)->address(), rotated);

        QVERIFY(b->connect(0));
        twin->rotateAddress();
        QVERIFY(b->scanOnce());
        QCOMPARE(b->entry(0)->uniqueId(), first);
        QCOMPARE(b->ble->connectedDeviceId(), first);
        QCOMPARE(b->entry(1)->uniqueId(), twin->address().toString());
    }

    void adapterStates_data()
    {
        QTest::addColumn<int>("adapter");
        QTest::addColumn<int>("scanError");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("dialog");
        const int none = QBluetoothDeviceDiscoveryAgent::NoError;
        QTest::newRow("no adapter at all") << int(SimulatedBleRadio::Adapter::Absent) << none
                                           << "Invalid Bluetooth adapter" << "No Bluetooth adapter detected" << false;
        QTest::newRow("adapter off") << int(SimulatedBleRadio::Adapter::Off) << none << "" << "Bluetooth is off on this computer" << true;
        QTest::newRow("unknown scan error, adapter on") << int(SimulatedBleRadio::Adapter::On)
                                                        << int(QBluetoothDeviceDiscoveryAgent::UnknownError) << ""
                                                        << "Bluetooth is off on this computer" << true;
        QTest::newRow("I/O error") << int(SimulatedBleRadio::Adapter::On) << int(QBluetoothDeviceDiscoveryAgent::InputOutputError)
                                   << "Bluetooth I/O error occurred" << "Bluetooth I/O error" << false;
    }
    void adapterStates()
    {
        QFETCH(int, adapter);
        QFETCH(int, scanError);
        QFETCH(QString, error);
        QFETCH(QString, status);
        QFETCH(bool, dialog);
        b->radio.setAdapter(SimulatedBleRadio::Adapter(adapter));
        b->radio.setScanError(QBluetoothDeviceDiscoveryAgent::Error(scanError));
        b->ble->startScan();
        QTRY_COMPARE(b->ble->statusMessage(), status);
        QVERIFY(!b->ble->isScanning());
        QCOMPARE(b->errors(), error.isEmpty() ? QStringList() : QStringList{error});
        QCOMPARE(b->ble->hostBluetoothPoweredOff(), dialog);
        if (!dialog)
            return;
        // Turned on from the dialog, the scan runs by itself.
        b->radio.setScanError(QBluetoothDeviceDiscoveryAgent::NoError);
        b->radio.setAdapter(SimulatedBleRadio::Adapter::Off);
        QTRY_VERIFY(b->radio.isIdle());
        QSignalSpy started(&b->radio, &SimulatedBleRadio::scanStarted);
        b->ble->turnOnHostBluetooth();
        QVERIFY(started.wait(2000));
        QVERIFY(!b->ble->hostBluetoothPoweredOff());
        QTRY_COMPARE(b->names(), QStringList{QStringLiteral("Nerra: Bench")});
    }

    void connectWithEveryLayout_data()
    {
        using L = BleInstrument::Layout;
        QTest::addColumn<int>("layout");
        QTest::addColumn<bool>("confirmDescriptors");
        QTest::addColumn<QByteArray>("hardwareId");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("storedId");
        QTest::addColumn<QString>("firmware");
        QTest::newRow("full") << int(L::Full) << true << QByteArray() << QString() << HardwareId << "1.4.2";
        QTest::newRow("older firmware: no command channel") << int(L::WithoutCommandCharacteristic) << true << QByteArray()
                                                            << QString() << HardwareId << "1.4.2";
        QTest::newRow("no hardware id") << int(L::WithoutHardwareIdCharacteristic) << true << QByteArray() << QString()
                                        << QString() << "1.4.2";
        QTest::newRow("no information service") << int(L::WithoutInformationService) << true << QByteArray() << QString()
                                                << HardwareId << QString();
        QTest::newRow("no instrument service") << int(L::WithoutInstrumentService) << true << QByteArray()
                                               << "Nerra service not found on device" << QString() << QString();
        QTest::newRow("notifications never confirmed") << int(L::Full) << false << QByteArray() << CouldNotConnect << QString()
                                                       << QString();
        QTest::newRow("hardware id with junk after a NUL") << int(L::Full) << true << QByteArray("a1b2c3d4e5f6 \0junk", 18)
                                                           << QString() << "a1b2c3d4e5f6" << "1.4.2";
        QTest::newRow("hardware id that names a folder") << int(L::Full) << true << QByteArray("../../A1B2C3D4E5")
                                                         << QString() << QString() << "1.4.2";
    }
    void connectWithEveryLayout()
    {
        QFETCH(int, layout);
        QFETCH(bool, confirmDescriptors);
        QFETCH(QByteArray, hardwareId);
        QFETCH(QString, error);
        QFETCH(QString, storedId);
        QFETCH(QString, firmware);
        b->state.setFirmware(QStringLiteral("1.4.2"), 1);
        b->instrument->setLayout(BleInstrument::Layout(layout));
        b->instrument->setConfirmDescriptorWrites(confirmDescriptors);
        if (!hardwareId.isEmpty())
            b->instrument->setReadValue(BleUuids::hardwareIdCharacteristic(), hardwareId);
        b->pairInstrument();
        QSignalSpy hwId(b->ble.get(), &BleManager::connectedDeviceHwIdChanged);

        b->ble->connectToDevice(0);
        QVERIFY(b->ble->isConnecting());
        QTRY_VERIFY(!b->ble->isConnecting());
        QCOMPARE(b->ble->isConnected(), error.isEmpty());
        QCOMPARE(b->errors(), error.isEmpty() ? QStringList() : QStringList{error});
        DeviceInfo *entry = b->entry(0);
        if (!error.isEmpty()) {
            QVERIFY(!entry->isAvailable());
            QTRY_COMPARE(b->radio.openLinkCount(), 0);
            // The link is free for the next attempt.
            b->instrument->setLayout(BleInstrument::Layout::Full);
            b->instrument->setConfirmDescriptorWrites(true);
            QVERIFY(b->connect());
            return;
        }
        QCOMPARE(b->ble->connectedDeviceId(), entry->uniqueId());
        QTRY_COMPARE(b->ble->connectedDeviceFwVersion(), firmware);
        QTRY_COMPARE(entry->hardwareId(), storedId);
        QCOMPARE(b->ble->connectedDeviceHwId(), storedId);
        QCOMPARE(hwId.count(), storedId.isEmpty() ? 0 : 1);
        QTRY_COMPARE(entry->themeColor(), b->state.color());
        if (!firmware.isEmpty())
            QTRY_COMPARE(entry->serialNumber(), b->state.serialNumber());
    }

    void fallbackScan_data()
    {
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("error");
        QTest::newRow("found under a rotated address") << "rotate" << QString();
        QTest::newRow("no answer, then found") << "ignore" << QString();
        QTest::newRow("heard again where it was") << "accept" << QString();
        QTest::newRow("not found") << "away" << NotFound;
        QTest::newRow("the reconnect fails as well") << "refuse" << QStringLiteral("Failed to connect to device");
    }
    void fallbackScan()
    {
        QFETCH(QString, after);
        QFETCH(QString, error);
        b->pairInstrument();
        // Unpaired entries listed before the paired one go at the scan's rebuild.
        b->devices.addDevice(new DeviceInfo(QBluetoothDeviceInfo(QBluetoothAddress(QStringLiteral("00:00:00:00:00:09")),
                                                                 QStringLiteral("Nerra: Gone"), 0)));
        b->devices.addDevice(new DeviceInfo(QStringLiteral("Nerra: Other"), QStringLiteral("00:00:00:00:00:01")));
        if (after == QLatin1String("accept") || after == QLatin1String("refuse"))
            b->instrument->setConnectBehaviour(BleInstrument::ConnectBehaviour::Refuse);
        QSignalSpy started(&b->radio, &SimulatedBleRadio::scanStarted);
        if (after == QLatin1String("rotate"))
            b->instrument->rotateAddress();
        else if (after == QLatin1String("away"))
            b->instrument->setInRange(false);
        else if (after == QLatin1String("ignore"))
            b->instrument->setConnectBehaviour(BleInstrument::ConnectBehaviour::Ignore);
        if (after == QLatin1String("accept") || after == QLatin1String("ignore"))
            connect(&b->radio, &SimulatedBleRadio::scanStarted, b->instrument,
                    [this] { b->instrument->setConnectBehaviour(BleInstrument::ConnectBehaviour::Accept); });

        b->ble->connectToDevice(0);
        QVERIFY(started.wait(2000));
        QTRY_VERIFY_WITH_TIMEOUT(!b->ble->isConnecting() && !b->ble->isScanning() && (b->ble->isConnected() || !b->errors().isEmpty()), 5000);
        QTest::qWait(100); // nothing more is due
        QCOMPARE(started.count(), 1);
        QCOMPARE(b->errors(), error.isEmpty() ? QStringList() : QStringList{error});
        QCOMPARE(b->ble->isConnected(), error.isEmpty());
        QCOMPARE(b->names(), (QStringList{QStringLiteral("Nerra: Bench"), QStringLiteral("Nerra: Other")}));
        QCOMPARE(b->entry(0)->isAvailable(), error.isEmpty());
        QVERIFY(!b->entry(1)->isAvailable());
        if (error.isEmpty())
            QCOMPARE(b->ble->connectedDeviceId(), b->instrument->address().toString());
    }

    // However the fallback's scan ends, the fallback ends once with it, and only not finding
    // the instrument is reported as that.
    void fallbackEndsWithItsScan_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<QStringList>("errors");
        QTest::newRow("the scan fails") << "fail" << QStringList{QStringLiteral("Bluetooth I/O error occurred")};
        QTest::newRow("the user stops it") << "stop" << QStringList();
        QTest::newRow("the adapter goes off") << "off" << QStringList();
        QTest::newRow("the user connects to another") << "other" << QStringList();
        QTest::newRow("the user scans") << "scan" << QStringList();
    }
    void fallbackEndsWithItsScan()
    {
        QFETCH(QString, end);
        QFETCH(QStringList, errors);
        b->pairInstrument();
        InstrumentState otherState;
        otherState.setHardwareId(QStringLiteral("0F0E0D0C0B0A"));
        BleInstrument *other = b->radio.addInstrument(&otherState);
        b->devices.addDevice(new DeviceInfo(other->advertisedName(), other->address().toString()));
        b->instrument->setInRange(false);
        QSignalSpy started(&b->radio, &SimulatedBleRadio::scanStarted);
        b->ble->connectToDevice(0);
        QVERIFY(started.wait(2000));
        if (end == QLatin1String("fail"))
            b->radio.failScans(QBluetoothDeviceDiscoveryAgent::InputOutputError);
        else if (end == QLatin1String("stop"))
            b->ble->stopScan();
        else if (end == QLatin1String("off"))
            b->radio.setAdapter(SimulatedBleRadio::Adapter::Off);
        else if (end == QLatin1String("other"))
            QVERIFY(b->connect(1));
        else
            b->ble->startScan();
        // Well past the fallback scan's own end: nothing more comes of it.
        QTest::qWait(fastTimings().scan + 100);
        QCOMPARE(b->errors(), errors);
        QVERIFY(!b->ble->isConnecting());
        QCOMPARE(b->ble->isConnected(), end == QLatin1String("other"));
        QCOMPARE(b->ble->connectionStage(), QString());
    }

    void closingTheLink()
    {
        b->pairInstrument();
        QVERIFY(b->connect());
        QSignalSpy opened(b->instrument, &BleInstrument::linkOpened);
        QSignalSpy closed(b->instrument, &BleInstrument::linkClosed);

        // A second connect closes the first link with its goodbye before opening anew.
        b->ble->connectToDevice(0);
        QVERIFY(b->ble->isConnecting());
        QVERIFY(opened.wait(2000));
        QTRY_VERIFY(b->ble->isConnected());
        QTRY_COMPARE(closed.count(), 1);
        QCOMPARE(b->instrument->writtenValues(BleUuids::commandCharacteristic()), QList<QByteArray>{"CMD:DISCONNECT"});
        QTRY_COMPARE(b->radio.openLinkCount(), 1);

        // A scan leaves the connected instrument available.
        QVERIFY(b->scanOnce());
        QVERIFY(b->entry(0)->isAvailable());
        QVERIFY(b->ble->isConnected());

        // Disconnect returns at once; the goodbye is answered later.
        b->ble->disconnect();
        QVERIFY(!b->ble->isConnected());
        QCOMPARE(b->ble->connectedDeviceId(), QString());
        QTRY_COMPARE(b->radio.openLinkCount(), 0);
        QTRY_COMPARE(b->radio.liveCentralCount(), 0);

        // A link the instrument drops ends by itself.
        QVERIFY(b->connect());
        b->instrument->dropLink();
        QTRY_VERIFY(!b->ble->isConnected());
        QVERIFY(!b->entry(0)->isAvailable());
        QVERIFY(b->errors().isEmpty());
    }

    void forgettingTheConnectedEntry()
    {
        b->pairInstrument();
        b->devices.addDevice(new DeviceInfo(QStringLiteral("Nerra: Other"), QStringLiteral("00:00:00:00:00:01")));
        QVERIFY(b->connect());
        b->devices.forgetDevice(0);
        QVERIFY(!b->ble->isConnected());
        QCOMPARE(b->names(), QStringList{QStringLiteral("Nerra: Other")});
        QTRY_COMPARE(b->radio.openLinkCount(), 0);
    }

    void scansStopForGood()
    {
        // An empty registry rescans after each scan until the user stops; stopping in the
        // gap stops for good.
        BleTimings timings = fastTimings();
        timings.retry = 300;
        b->ble->setTimings(timings);
        b->instrument->setInRange(false);
        QSignalSpy started(&b->radio, &SimulatedBleRadio::scanStarted);
        b->ble->startScan();
        b->radio.finishScan();
        QVERIFY(started.wait(2000));
        b->radio.finishScan();
        QTRY_COMPARE(b->ble->statusMessage(), QStringLiteral("Retrying scan..."));
        b->ble->stopScan();
        QTest::qWait(timings.retry + 100);
        QCOMPARE(started.count(), 2);
        QVERIFY(!b->ble->isScanning());

        // The in-app log does not grow without end over a long session.
        for (int i = 0; i < BleManager::MaxLogLines; ++i) {
            b->ble->startScan();
            b->ble->stopScan();
        }
        QCOMPARE(b->ble->logMessages().size(), BleManager::MaxLogLines);
    }
};

NERRA_TEST_MAIN(TestBleManager)
#include "tst_blemanager.moc"
