// The Bluetooth LE link's work over a ready link, against the simulated instrument: method
// files through the data characteristic, calibration and preferences through the command
// characteristic, replies cut anywhere, and hostile notifications in every state.

#include "blebench.h"
#include "testmain.h"

#include "devices/ble/bleuuids.h"

#include <QRandomGenerator>
#include <QUrl>

#include <cmath>

namespace {

// 41 bytes: two chunks of 20 and one of 1.
const QByteArray Method = "TIPSELECT,S,,,,,,,,\nPURGE,S,,,,,,4,\nX,,,\n";

using Action = std::function<void(BleBench &)>;

QVariantList coefficients(int count)
{
    QVariantList list;
    for (int i = 0; i < count; ++i)
        list << QVariantMap{{QStringLiteral("index"), i}, {QStringLiteral("value"), 1.0 + i / 100.0}};
    return list;
}

} // namespace

Q_DECLARE_METATYPE(Action)

class TestBleTransfer : public QObject
{
    Q_OBJECT

    std::unique_ptr<BleBench> b;
    QList<QByteArray> data() const { return b->instrument->writtenValues(BleUuids::dataCharacteristic()); }
    QList<QByteArray> commands() const { return b->instrument->writtenValues(BleUuids::commandCharacteristic()); }

private slots:
    void init()
    {
        b = std::make_unique<BleBench>();
        BleTimings timings = fastTimings();
        timings.chunk = 5;
        timings.handshake = 200;
        timings.saveConfirm = 200;
        timings.commandReply = 300;
        b->ble->setTimings(timings);
        b->pairInstrument();
        QVERIFY(b->connect());
        b->instrument->clearWrites();
    }
    void cleanup() { b.reset(); }

    void methodGoesOutInChunks()
    {
        QSignalSpy complete(b->ble.get(), &DeviceConnection::transferComplete);
        QList<int> seen;
        connect(b->ble.get(), &DeviceConnection::transferProgressChanged, this, [&] { seen << b->ble->transferProgress(); });
        QSignalSpy applied(b->ble.get(), &DeviceConnection::calibrationApplied);
        b->ble->sendData(Method, QStringLiteral("wash.csv"));
        // A calibration write would interleave with the file: refused while it goes out.
        b->ble->applyCalibration(coefficients(1), QString());
        QCOMPARE(applied.count(), 1);
        QCOMPARE(applied.constFirst(), QVariantList{false});
        QVERIFY(complete.wait(2000));
        QCOMPARE(data(), (QList<QByteArray>{"READY", Method.left(20), Method.mid(20, 20), Method.mid(40), "DONE", "wash.csv"}));
        QVERIFY(commands().isEmpty());
        for (const BleInstrument::Write &write : b->instrument->writes())
            QCOMPARE(write.mode, QLowEnergyService::WriteWithoutResponse);
        QCOMPARE(seen, (QList<int>{33, 66, 100, 100, 100})); // the last chunk, "DONE", the save
        QCOMPARE(b->state.file(QStringLiteral("wash.csv")), Method);
        QVERIFY(!b->ble->isTransferring());
        // A START after the transfer sends nothing more, and reports nothing more.
        b->instrument->notify(BleUuids::dataCharacteristic(), "START");
        b->instrument->notify(BleUuids::dataCharacteristic(), "SAVED:wash.csv");
        QTRY_VERIFY(b->radio.isIdle());
        QCOMPARE(data().size(), 6);
        QCOMPARE(complete.count(), 1);
        QVERIFY(b->errors().isEmpty());
    }

    void transferOutcomes_data()
    {
        QTest::addColumn<Action>("setUp");
        QTest::addColumn<Action>("during");
        QTest::addColumn<int>("completed");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("error");
        const Action nothing = [](BleBench &) {};
        const QString lost = QStringLiteral("Connection lost during transfer. Please try again.");
        QTest::newRow("save refused") << Action([](BleBench &b) { b.instrument->setSaveReply(BleInstrument::SaveReply::SaveFail); })
                                      << nothing << 0 << "The Nerra could not save the protocol. Please try again."
                                      << "The Nerra could not save the protocol. Please try again.";
        QTest::newRow("no save reply") << Action([](BleBench &b) { b.instrument->setSaveReply(BleInstrument::SaveReply::Silent); })
                                       << nothing << 1 << QString() << QString();
        QTest::newRow("not in import mode") << Action([](BleBench &b) { b.instrument->setImportMode(false); }) << nothing << 0
                                            << "The Nerra isn't ready to receive. Turn on Bluetooth / Import mode on the device, then try again."
                                            << "The Nerra isn't ready to receive. Turn on Bluetooth / Import mode on the device, then try again.";
        QTest::newRow("no START") << Action([](BleBench &b) { b.instrument->setDataSilent(true); }) << nothing << 0 << QString()
                                  << "Timeout waiting for START from device";
        QTest::newRow("link lost after a chunk") << Action([](BleBench &b) { b.instrument->setDropAfterChunk(1); }) << nothing
                                                 << 0 << lost << lost;
        QTest::newRow("EXIT while sending") << Action([](BleBench &b) {
            connect(b.instrument, &BleInstrument::written, b.instrument, [&b](const QBluetoothUuid &, const QByteArray &value) {
                if (value == Method.left(20))
                    b.instrument->sendExit();
            });
        }) << nothing << 0 << lost << lost;
        QTest::newRow("link lost awaiting the save reply")
            << Action([](BleBench &b) {
                   b.instrument->setSaveReply(BleInstrument::SaveReply::Silent);
                   connect(b.instrument, &BleInstrument::fileSaved, b.instrument, [&b] { b.instrument->dropLink(); });
               })
            << nothing << 1 << QString() << QString();
        QTest::newRow("the user disconnects") << nothing << Action([](BleBench &b) { b.ble->disconnect(); }) << 0 << QString()
                                              << QString();
        QTest::newRow("the user cancels") << nothing << Action([](BleBench &b) { b.ble->cancelTransfer(); }) << 0 << QString()
                                          << QString();
    }
    void transferOutcomes()
    {
        QFETCH(Action, setUp);
        QFETCH(Action, during);
        QFETCH(int, completed);
        QFETCH(QString, failure);
        QFETCH(QString, error);
        setUp(*b);
        QSignalSpy complete(b->ble.get(), &DeviceConnection::transferComplete);
        QSignalSpy failed(b->ble.get(), &DeviceConnection::transferFailed);
        b->ble->sendData(Method, QStringLiteral("wash.csv"));
        during(*b);
        QTRY_VERIFY(!b->ble->isTransferring());
        QTRY_VERIFY(b->radio.isIdle());
        QTest::qWait(250); // past every time-out of the transfer: nothing more may come
        QCOMPARE(complete.count(), completed);
        QCOMPARE(failed.count(), failure.isEmpty() ? 0 : 1);
        if (!failure.isEmpty())
            QCOMPARE(failed.constFirst().constFirst().toString(), failure);
        QCOMPARE(b->errors(), error.isEmpty() ? QStringList() : QStringList{error});
    }

    void refusedTransfers_data()
    {
        QTest::addColumn<Action>("call");
        QTest::addColumn<QString>("error");
        QTest::newRow("empty") << Action([](BleBench &b) { b.ble->sendData(QByteArray(), QStringLiteral("a.csv")); })
                               << "Cannot send empty data";
        QTest::newRow("a name with a folder") << Action([](BleBench &b) { b.ble->sendData(Method, QStringLiteral("../a.csv")); })
                                              << "sendData: invalid file name";
        QTest::newRow("a missing file")
            << Action([](BleBench &b) { b.ble->sendFile(QUrl::fromLocalFile(QStringLiteral("/no/such.csv")).toString()); })
            << "Failed to open file: /no/such.csv";
        QTest::newRow("a second file while one goes out") << Action([](BleBench &b) {
            b.ble->sendData(Method, QStringLiteral("first.csv"));
            b.errorSpy->clear();
            b.ble->sendData(Method, QStringLiteral("second.csv"));
        }) << "A transfer is already in progress";
        QTest::newRow("a file while calibration is written") << Action([](BleBench &b) {
            b.ble->applyCalibration(coefficients(2), QString());
            b.ble->sendData(Method, QStringLiteral("second.csv"));
        }) << "Calibration is being written — send the file when it is done";
        QTest::newRow("not connected") << Action([](BleBench &b) {
            b.ble->disconnect();
            b.ble->sendData(Method, QStringLiteral("a.csv"));
        }) << "Not connected to device";
    }
    void refusedTransfers()
    {
        QFETCH(Action, call);
        QFETCH(QString, error);
        call(*b);
        QCOMPARE(b->errors(), QStringList{error});
        QTRY_VERIFY(!b->ble->isTransferring());
        QTRY_VERIFY(b->radio.isIdle());
        QVERIFY(!b->state.hasFile(QStringLiteral("second.csv")));
        QVERIFY(data().count("READY") <= 1);
    }

    void calibrationWriteWithDate()
    {
        QList<int> progress;
        connect(b->ble.get(), &DeviceConnection::transferProgressChanged, this, [&] { progress << b->ble->transferProgress(); });
        QSignalSpy applied(b->ble.get(), &DeviceConnection::calibrationApplied);
        b->ble->applyCalibration(coefficients(8), QStringLiteral("2026-12-07\n"));
        // A second write while this one runs is refused at once.
        b->ble->applyCalibration(coefficients(1), QString());
        QCOMPARE(applied.count(), 1);
        QVERIFY(applied.wait(2000));
        QCOMPARE(applied.constLast(), QVariantList{true});
        QCOMPARE(progress, (QList<int>{0, 12, 14, 16, 19, 25, 33, 50, 100, 100}));
        QCOMPARE(commands().last(), QByteArray("CMD:SET_PREF:calDate:2026-12-07"));
        QCOMPARE(commands().first(), QByteArray("CMD:SET_CAL:0:1.000000"));
        QCOMPARE(b->state.coefficients().at(7), 1.07);
        QCOMPARE(b->ble->calibrationDate(), QStringLiteral("2026-12-07"));
        QVERIFY(!b->ble->isTransferring());

        // Not a coefficient the instrument has, or not a number: nothing is sent.
        b->instrument->clearWrites();
        b->ble->setCalibration(8, 1.0f);
        b->ble->setCalibration(1, std::nanf(""));
        b->ble->applyCalibration({QVariantMap{{QStringLiteral("index"), 1}, {QStringLiteral("value"), qInf()}}}, QString());
        QCOMPARE(applied.count(), 5);
        QTRY_VERIFY(b->radio.isIdle());
        QVERIFY(commands().isEmpty());
    }

    void calibrationWriteCutShort_data()
    {
        QTest::addColumn<Action>("cut");
        QTest::newRow("no reply") << Action([](BleBench &b) { b.instrument->setCommandsSilent(true); });
        QTest::newRow("refused") << Action([](BleBench &b) {
            b.instrument->setCommandReply(QStringLiteral("CMD:SET_CAL:1"), {QStringLiteral("ERR:SET_CAL:locked")});
        });
        QTest::newRow("link lost") << Action([](BleBench &b) {
            connect(b.instrument, &BleInstrument::commandReceived, b.instrument, [&b](const QString &command) {
                if (command.startsWith(QLatin1String("CMD:SET_CAL:1")))
                    b.instrument->dropLink();
            });
        });
    }
    void calibrationWriteCutShort()
    {
        QFETCH(Action, cut);
        cut(*b);
        QSignalSpy applied(b->ble.get(), &DeviceConnection::calibrationApplied);
        b->ble->applyCalibration(coefficients(3), QStringLiteral("2026-12-07"));
        QVERIFY(applied.wait(2000));
        QCOMPARE(applied.constFirst(), QVariantList{false});
        QTRY_VERIFY(b->radio.isIdle());
        QCOMPARE(applied.count(), 1);
        QVERIFY(!b->ble->isTransferring());
        QVERIFY(!commands().contains("CMD:SET_CAL:2:1.020000"));
        QVERIFY(b->ble->calibrationDate().isEmpty());
    }

    void calibrationReadCutAnywhere()
    {
        b->state.setPreference(QStringLiteral("calDate"), QStringLiteral("2025-01-02"));
        b->instrument->setReplySplitPoints({3, 17, 33, 34, 61});
        QSignalSpy received(b->ble.get(), &DeviceConnection::calibrationReceived);
        QVERIFY(b->ble->fetchCalibration());
        QVERIFY(received.wait(2000));
        QCOMPARE(received.constFirst().constFirst().toMap(), b->state.calibrationRecord());
        QTRY_COMPARE(b->ble->calibrationDate(), QStringLiteral("2025-01-02"));
        QCOMPARE(commands(), (QList<QByteArray>{"CMD:GET_CAL", "CMD:GET_PREFS"}));
    }

    void preferences()
    {
        QSignalSpy results(b->ble.get(), &DeviceConnection::setPrefResult);
        // The settings form sends the network and its password together.
        b->ble->setPref(QStringLiteral("ssid"), QStringLiteral("Lab\nNet"));
        b->ble->setPref(QStringLiteral("password"), QStringLiteral("s3cret"));
        b->ble->setPref(QStringLiteral("name"), QStringLiteral("Pip 3"));
        QTRY_COMPARE(results.count(), 3);
        QCOMPARE(results.at(0), (QVariantList{true, QStringLiteral("ssid")}));
        QCOMPARE(b->ble->connectedDeviceSSID(), QStringLiteral("LabNet"));
        QCOMPARE(b->entry(0)->name(), QStringLiteral("Nerra: Pip 3"));
        QCOMPARE(commands().first(), QByteArray("CMD:SET_PREF:ssid:LabNet"));
        QVERIFY(!b->ble->logMessages().join(QLatin1Char('\n')).contains(QStringLiteral("s3cret")));

        // A change on the instrument, its line cut in two: nothing is taken before its end.
        b->instrument->notify(BleUuids::commandCharacteristic(), "CHANGED:name:Lab pip");
        b->instrument->notify(BleUuids::commandCharacteristic(), "ette 3\n");
        QTRY_COMPARE(b->entry(0)->name(), QStringLiteral("Lab pipette 3"));
        // Without its line end, a moment of quiet ends it.
        b->instrument->notify(BleUuids::commandCharacteristic(), "CHANGED:sn:NS-77");
        QTRY_COMPARE(b->entry(0)->serialNumber(), QStringLiteral("NS-77"));
        // A peer that never ends its line does not grow the link.
        for (int i = 0; i < 70; ++i)
            b->instrument->notify(BleUuids::commandCharacteristic(), QByteArray(1000, 'x'));
        QTRY_VERIFY(b->radio.isIdle());
        QVERIFY(b->ble->logMessages().join(QLatin1Char('\n')).contains(QStringLiteral("without a line end — dropped")));
        QCOMPARE(DeviceManager().deviceAt(0)->name(), QStringLiteral("Lab pipette 3"));
    }

    void randomNotifications_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed : {1u, 2u, 3u, 4u})
            QTest::newRow(qPrintable(QString::number(seed))) << seed;
    }
    void randomNotifications()
    {
        QFETCH(quint32, seed);
        QRandomGenerator random(seed);
        const QList<QByteArray> words{"START", "NOTREADY", "SAVED:x", "SAVEFAIL:y", "EXIT", "OK:SET_CAL", "ERR:SET_CAL:z",
                                      "OK:SET_PREF:calDate", "DATA:GET_CAL:{\"a\":", "END:GET_CAL\n", "CHANGED:color:7\n",
                                      "CHANGED::\n", "\n\n", QByteArray("\0\xff\xfe", 3), "OK:GET_PREFS"};
        for (int round = 0; round < 30; ++round) {
            switch (random.bounded(5)) {
            case 0:
                b->ble->sendData(Method, QStringLiteral("f.csv"));
                break;
            case 1:
                b->ble->applyCalibration(coefficients(2), QStringLiteral("2026-01-01"));
                break;
            case 2:
                b->ble->fetchCalibration();
                break;
            case 3:
                b->ble->setPref(QStringLiteral("color"), QStringLiteral("3"));
                break;
            default:
                break;
            }
            for (int i = random.bounded(6); i > 0; --i) {
                const QBluetoothUuid target = random.bounded(2) ? BleUuids::dataCharacteristic() : BleUuids::commandCharacteristic();
                b->instrument->notify(target, words.at(random.bounded(words.size())));
            }
            QTest::qWait(random.bounded(20));
            if (!b->ble->isConnected())
                b->ble->connectToDevice(0);
        }
        QTRY_VERIFY(!b->ble->isConnecting());
        b->instrument->dropLink();
        QTRY_VERIFY(!b->ble->isConnected());
        QTRY_VERIFY(b->radio.isIdle());
        QVERIFY(!b->ble->isTransferring());
        QCOMPARE(b->radio.openLinkCount(), 0);
    }
};

NERRA_TEST_MAIN(TestBleTransfer)
#include "tst_bletransfer.moc"
