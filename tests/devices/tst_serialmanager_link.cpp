// The USB link layer over a real pseudo-terminal and QSerialPort: framing, finding and
// opening the instrument, the handshake and its identity record, the console, the gates,
// and every recovery (blank board, failed handshakes, stale handles, restarts, ports that
// vanish or change their name).

#include "devices/serial/seriallineframer.h"
#include "testmain.h"
#include "tst_serialmanager_fixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QSignalSpy>

namespace {

const QString Handshake = handshakeLine();
const QString Disconnect = disconnectLine();
// How a test shows a line the framer dropped for its length.
const QString DroppedLine = QStringLiteral("<dropped>");

int countLines(const QStringList &lines, const QString &line)
{
    return int(std::count(lines.cbegin(), lines.cend(), line));
}

} // namespace

class TestSerialManagerLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void framing_data();
    void framing();
    void onlyTheInstrumentsPortIsTaken();
    void findsOpensAndIdentifiesTheInstrument();
    void gatesKeepAPluggedInstrumentClosed_data();
    void gatesKeepAPluggedInstrumentClosed();
    void readyRecord_data();
    void readyRecord();
    void console();
    void openFailureIsReported();
    void blankBoardStopsHandshakes();
    void infoFetchGivesUpAfterFourHandshakes();
    void staleHandleIsReopened();
    void restartHoldsOffReopenAndAdoptsTheReadyLine();
    void pollHoldsOffReopenDuringARestart();
    void instrumentBackUnderANewName();
    void deviceLossEndsTheOperation_data();
    void deviceLossEndsTheOperation();
    void otaChannel();
    void overlongLinesAreDroppedWhole();

private:
    std::unique_ptr<LinkCase> m_case;
    SimulatedLink *m_sim = nullptr;
};

void TestSerialManagerLink::initTestCase()
{
    qRegisterMetaType<QSerialPort::SerialPortError>();
}

void TestSerialManagerLink::init()
{
    m_case = std::make_unique<LinkCase>();
    m_sim = &m_case->sim;
}

void TestSerialManagerLink::cleanup()
{
    m_case.reset();
}

void TestSerialManagerLink::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<int>("maxLength");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<qint64>("dropped");
    QTest::addColumn<int>("pending");

    const int wide = SerialLineFramer::DefaultMaxLineLength;
    QTest::newRow("LF and CR LF") << QList<QByteArray>{"a\nb\r\n"} << wide << QStringList{"a", "b"} << qint64(0) << 0;
    QTest::newRow("blank lines dropped, text trimmed") << QList<QByteArray>{"\n\r\n  \n x \t\n"} << wide << QStringList{"x"}
                                                       << qint64(0) << 0;
    QTest::newRow("CR inside a line") << QList<QByteArray>{"a\rb\n"} << wide << QStringList{"ab"} << qint64(0) << 0;
    QTest::newRow("split across reads") << QList<QByteArray>{"he", "llo\nwo", "rld\npart"} << wide
                                        << QStringList{"hello", "world"} << qint64(0) << 4;
    QTest::newRow("UTF-8 split inside a character") << QList<QByteArray>{"5 \xC2", "\xB5L \xE2\x80", "\x93 ok\n"} << wide
                                                    << QStringList{QStringLiteral("5 µL – ok")} << qint64(0) << 0;
    QTest::newRow("over-long line dropped whole") << QList<QByteArray>{"0123456789abc\nok\n"} << 8
                                                  << QStringList{DroppedLine, "ok"} << qint64(13) << 0;
    QTest::newRow("over-long line across reads") << QList<QByteArray>{"0123", "45678", "9\nok\n"} << 8
                                                 << QStringList{DroppedLine, "ok"} << qint64(10) << 0;
    QTest::newRow("NUL belongs to the line") << QList<QByteArray>{QByteArray("boot\0NERRA:READY:{}\n\0\n", 22)} << wide
                                             << QStringList{QString::fromUtf8("boot\0NERRA:READY:{}", 19), QString(QChar(0))}
                                             << qint64(0) << 0;
    QTest::newRow("CR does not count against the cap") << QList<QByteArray>{"0123\r\r\r\r4567\n"} << 8
                                                       << QStringList{"01234567"} << qint64(0) << 0;
    QTest::newRow("never-ending line stays bounded") << QList<QByteArray>{QByteArray(1000, 'x'), QByteArray(500, 'y')} << 8
                                                     << QStringList{} << qint64(1500) << 0;
}

void TestSerialManagerLink::framing()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, maxLength);
    QFETCH(QStringList, lines);
    QFETCH(qint64, dropped);
    QFETCH(int, pending);

    SerialLineFramer framer(maxLength);
    QStringList seen;
    int overflows = 0;
    for (const QByteArray &chunk : chunks) {
        for (const QString &line : framer.feed(chunk))
            seen.append(line.isNull() ? DroppedLine : line);
        overflows += framer.takeOverflowStarted() ? 1 : 0;
    }
    QCOMPARE(seen, lines);
    QCOMPARE(framer.takeDroppedBytes(), dropped);
    QCOMPARE(overflows, dropped > 0 ? 1 : 0);
    QCOMPARE(framer.pendingBytes(), pending);
    framer.reset();
    QCOMPARE(framer.feed("next\n"), QStringList{QStringLiteral("next")});
}

void TestSerialManagerLink::onlyTheInstrumentsPortIsTaken()
{
    // Other boards of the same chip maker, or another maker's board with the same product
    // number, are listed but never opened.
    const quint16 vendor = SerialManager::InstrumentVendorId;
    const quint16 product = SerialManager::InstrumentProductId;
    StaticPortLister lister;
    lister.entries = {{QStringLiteral("/dev/ttyACM0"), vendor, quint16(product + 1)},
                      {QStringLiteral("/dev/ttyACM1"), quint16(vendor + 1), product},
                      {QStringLiteral("/dev/ttyACM2"), vendor, product}};
    PortWatcher watcher;
    watcher.setLister(&lister);
    QSignalSpy polled(&watcher, &PortWatcher::polled);
    watcher.poll();
    QCOMPARE(polled.constFirst().constFirst().toStringList(), QStringList{QStringLiteral("/dev/ttyACM2")});
    QCOMPARE(watcher.availablePorts().size(), 3);
    lister.entries.removeLast();
    watcher.poll();
    QVERIFY(!watcher.instrumentPresent());
}

void TestSerialManagerLink::findsOpensAndIdentifiesTheInstrument()
{
    SerialManager &link = *m_sim->link;
    QSignalSpy present(&link, &SerialManager::usbDevicePresentChanged);
    QSignalSpy connected(&link, &DeviceConnection::isConnectedChanged);
    QSignalSpy identity(&link, &SerialManager::usbDeviceInfoChanged);
    QSignalSpy info(&link, &DeviceConnection::deviceInfoReceived);
    QSignalSpy ports(&link, &SerialManager::availablePortsChanged);
    QVERIFY(m_sim->usb->plugIn());
    const QString port = m_sim->usb->portName();

    link.rescan();
    QVERIFY(link.usbDevicePresent());
    QCOMPARE(present.count(), 1);
    QCOMPARE(link.availablePorts(), QStringList{port});
    QCOMPARE(ports.count(), 1);
    QVERIFY(!link.isConnected()); // not available yet

    link.setAvailability(true);
    QVERIFY(link.isConnected());
    QCOMPARE(connected.count(), 1);
    QCOMPARE(link.portName(), port);
    QVERIFY(link.output().startsWith(QStringLiteral("[Connected to %1]\n").arg(port)));

    QVERIFY(info.wait(5000));
    QCOMPARE(info.constFirst(), (QVariantList{QStringLiteral("Bench"), QStringLiteral("NS-0042"), QStringLiteral("1.4.2")}));
    QCOMPARE(identity.count(), 1);
    QCOMPARE(link.usbDeviceId(), QStringLiteral("A1B2C3D4E5F6"));
    QCOMPARE(link.usbDeviceColor(), 2);
    QCOMPARE(link.usbOtaVersion(), 1);
    QVERIFY(!link.usbHasCert());
    QTRY_COMPARE(m_sim->wire(), (QStringList{Handshake, Disconnect}));
    QTRY_VERIFY(!m_sim->usb->inSession());
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    // The greeting is console text.
    QTRY_VERIFY(link.output().contains(QStringLiteral("Bench — firmware 1.4.2\n")));

    // Unplugged: the list empties and the link closes.
    m_sim->usb->unplug();
    QTRY_VERIFY(!link.isConnected());
    link.rescan();
    QVERIFY(!link.usbDevicePresent());
    QVERIFY(link.availablePorts().isEmpty());
    QCOMPARE(link.portName(), QString());
}

void TestSerialManagerLink::gatesKeepAPluggedInstrumentClosed_data()
{
    QTest::addColumn<QString>("gate");
    QTest::newRow("unavailable") << QStringLiteral("available");
    QTest::newRow("bootstrap") << QStringLiteral("bootstrap");
}

void TestSerialManagerLink::gatesKeepAPluggedInstrumentClosed()
{
    QFETCH(QString, gate);
    SerialManager &link = *m_sim->link;
    const bool viaAvailability = gate == QLatin1String("available");
    if (!viaAvailability) {
        link.setBootstrapActive(true);
        link.setAvailability(true);
    }
    QVERIFY(m_sim->usb->plugIn());
    QSignalSpy polled(&link, &SerialManager::usbDevicePresentChanged);
    QVERIFY(polled.wait(5000)); // the poll of its own sees the instrument...
    QVERIFY(link.usbDevicePresent());
    link.rescan();
    QVERIFY(!link.isConnected()); // ...and leaves it closed
    QVERIFY(m_sim->wire().isEmpty());

    if (viaAvailability) {
        link.setAvailability(true); // opens at once
        QVERIFY(link.isConnected());
        QVERIFY(m_sim->waitForIdentityFetch());
        link.setAvailability(false);
        QVERIFY(!link.isConnected());
        QVERIFY(link.output().endsWith(QStringLiteral("[Disconnected]\n")));
    } else {
        link.setBootstrapActive(false);
        QTRY_VERIFY(link.isConnected());
    }
}

void TestSerialManagerLink::readyRecord_data()
{
    QTest::addColumn<QString>("readyLine");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QVariantMap>("expected");
    QTest::addColumn<QString>("logged");

    const QVariantMap full{{"usbDeviceId", "00AABBCCDDEE"}, {"usbDeviceName", "Lab 2"}, {"usbDeviceSN", "S-9"},
                           {"usbDeviceFW", "2.0.1"},       {"usbDeviceColor", 4},      {"usbDeviceSSID", "Wet Lab"},
                           {"usbHasCert", true},           {"usbOtaVersion", 2}};
    const QString fullJson = QStringLiteral("{\"id\":\"00AABBCCDDEE\",\"name\":\"Lab 2\",\"sn\":\"S-9\",\"fw\":\"2.0.1\","
                                            "\"color\":4,\"ssid\":\"Wet Lab\",\"hasCert\":true,\"otaUsb\":2}");
    QTest::newRow("full record") << QStringLiteral("NERRA:READY:") + fullJson << true << full << QString();
    QTest::newRow("merged with console text") << QStringLiteral("boot 00:01 ok NERRA:READY:") + fullJson << true << full
                                              << QStringLiteral("merged with preceding output");
    QTest::newRow("no colour, certificate or update support")
        << QStringLiteral("NERRA:READY:{\"id\":\"00AABBCCDDEF\",\"name\":\"B\"}") << true
        << QVariantMap{{"usbDeviceId", "00AABBCCDDEF"}, {"usbDeviceSN", QString()}, {"usbDeviceColor", -1},
                       {"usbHasCert", false}, {"usbOtaVersion", 0}}
        << QString();
    QTest::newRow("colour not a number") << QStringLiteral("NERRA:READY:{\"id\":\"00AABBCCDDE0\",\"color\":\"x\"}") << true
                                         << QVariantMap{{"usbDeviceColor", 0}} << QString();
    QTest::newRow("not JSON") << QStringLiteral("NERRA:READY:{\"id\":\"00AABBCCDDE1\"") << false << QVariantMap()
                              << QStringLiteral("JSON parse failed");
}

void TestSerialManagerLink::readyRecord()
{
    QFETCH(QString, readyLine);
    QFETCH(bool, accepted);
    QFETCH(QVariantMap, expected);
    QFETCH(QString, logged);

    LogCapture log;
    FakeLink peer;
    FakeInstrument &fake = peer.fake;
    SerialManager &link = peer.link;
    peer.readyLine = readyLine;
    link.setHandshakeTimeout(200);
    QSignalSpy identity(&link, &SerialManager::usbDeviceInfoChanged);
    QSignalSpy info(&link, &DeviceConnection::deviceInfoReceived);
    QVERIFY(peer.open());

    if (accepted) {
        QVERIFY(info.wait(5000));
        QCOMPARE(identity.count(), 1);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QCOMPARE(link.property(it.key().toLatin1().constData()), it.value());
        QTRY_COMPARE(fake.lines.last(), Disconnect);
        QCOMPARE(link.protocolState(), SerialManager::Idle);
    } else {
        // No identity; the handshake times out and is tried again.
        QTRY_VERIFY(countLines(fake.lines, Handshake) >= 2);
        QCOMPARE(identity.count(), 0);
        QCOMPARE(link.usbDeviceId(), QString());
        QVERIFY(!fake.lines.contains(Disconnect));
    }
    if (!logged.isEmpty())
        QVERIFY(log.contains(logged));
}

void TestSerialManagerLink::console()
{
    LogCapture log;
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    QTRY_VERIFY(log.contains(QStringLiteral("NERRA:BYE — filtered")));   // it has come, and ...
    QVERIFY(!link.output().contains(QStringLiteral("NERRA:BYE")));

    // Terminal mode: what the user types goes out as typed, and a ready line with no
    // restart awaited is only text.
    QSignalSpy identity(&link, &SerialManager::usbDeviceInfoChanged);
    link.sendLine(QStringLiteral("version"));
    link.sendChar(QStringLiteral("h"));
    link.sendChar(QString());
    QTRY_COMPARE(m_sim->usb->receivedBytes(), QByteArray("version\r\nh"));
    m_sim->usb->printConsole(QStringLiteral("NERRA:READY:{\"id\":\"FFFFFFFFFFFF\"}"));
    m_sim->usb->printConsole(QStringLiteral("end"));
    QTRY_VERIFY(link.output().endsWith(QStringLiteral("NERRA:READY:{\"id\":\"FFFFFFFFFFFF\"}\nend\n")));
    QVERIFY(link.output().contains(QStringLiteral("firmware 1.4.2\n")));
    QCOMPARE(identity.count(), 0);

    // Protocol mode: typing goes nowhere, and only "LOG:" lines show, without the prefix.
    link.connectProtocol();
    QTRY_COMPARE(link.protocolState(), SerialManager::Ready);
    m_sim->usb->clearReceived();
    link.sendLine(QStringLiteral("info"));
    link.sendChar(QStringLiteral("x"));
    m_sim->usb->sendLog(QStringLiteral("battery 87%"));
    QTRY_VERIFY(link.output().endsWith(QStringLiteral("battery 87%\n")));
    link.disconnectProtocol();
    QTRY_COMPARE(m_sim->usb->receivedBytes(), QByteArray("NERRA:DISCONNECT\n"));

    // The console keeps its most recent text within its cap.
    int longest = 0;
    connect(&link, &SerialManager::outputChanged, &link, [&] { longest = qMax(longest, int(link.output().size())); });
    const QString filler(990, QLatin1Char('.'));
    for (int i = 0; i < 150; ++i)
        m_sim->usb->printConsole(QStringLiteral("%1 %2").arg(i, 4, 10, QLatin1Char('0')).arg(filler));
    QTRY_VERIFY(link.output().endsWith(QStringLiteral("0149 %1\n").arg(filler)));
    QVERIFY(longest <= SerialManager::MaxOutputLength);
    QVERIFY(link.output().size() >= SerialManager::TrimmedOutputLength - 1000);
    QVERIFY(!link.output().contains(QStringLiteral("0000 ")));
}

void TestSerialManagerLink::openFailureIsReported()
{
    SerialManager &link = *m_sim->link;
    // Closing announces the closed port even when nothing was open.
    QSignalSpy connectedChanged(&link, &DeviceConnection::isConnectedChanged);
    QSignalSpy portChanged(&link, &SerialManager::portNameChanged);
    link.disconnect();
    QCOMPARE(connectedChanged.count(), 1);
    QCOMPARE(portChanged.count(), 1);
    QVERIFY(!link.output().contains(QStringLiteral("[Disconnected]")));

    QSignalSpy errors(&link, &DeviceConnection::errorOccurred);
    const QString missing = QStringLiteral("/dev/pts/nerra-missing");
    link.connectToPort(missing);
    QCOMPARE(errors.count(), 1);
    const QString message = errors.constFirst().constFirst().toString();
    QVERIFY2(message.startsWith(QStringLiteral("[Failed to open %1: ").arg(missing)), qPrintable(message));
    QVERIFY(message.endsWith(QLatin1Char(']')));
    QVERIFY(link.output().endsWith(message + QLatin1Char('\n')));
    QVERIFY(!link.isConnected());

    // A port another program holds: the hint to close serial monitors.
    QVERIFY(m_sim->connect());
    SerialManager second;
    StaticPortLister none;
    second.setPortLister(&none);
    QSignalSpy secondErrors(&second, &DeviceConnection::errorOccurred);
    second.connectToPort(m_sim->usb->portName());
    QCOMPARE(secondErrors.count(), 1);
    QVERIFY2(secondErrors.constFirst().constFirst().toString().endsWith(
                 QStringLiteral("\nPort is already open in another application.\n"
                                "Close any serial monitors (VS Code, PlatformIO, etc.) and try again.")),
             qPrintable(secondErrors.constFirst().constFirst().toString()));
    QVERIFY(!second.isConnected());
    QVERIFY(link.isConnected());
}

void TestSerialManagerLink::blankBoardStopsHandshakes()
{
    SerialManager &link = *m_sim->link;
    link.setHandshakeTimeout(200);
    m_sim->usb->setBlankBoard(true);
    QSignalSpy blank(&link, &SerialManager::blankBoardDetected);
    QVERIFY(m_sim->usb->plugIn());
    link.setAvailability(true);
    QVERIFY(link.isConnected());
    QVERIFY(blank.wait(10000));
    QCOMPARE(blank.constFirst(), QVariantList{m_sim->usb->portName()});
    QVERIFY(link.isBlankBoard());

    // The boot loader goes on printing; the signal came once and no handshake follows it.
    m_sim->usb->clearReceived();
    const int shown = link.output().count(QStringLiteral("invalid header: 0xffffffff"));
    QTRY_VERIFY(link.output().count(QStringLiteral("invalid header: 0xffffffff")) >= shown + 6);
    link.refreshDeviceInfo();
    QTRY_VERIFY(link.output().count(QStringLiteral("invalid header: 0xffffffff")) >= shown + 9);
    QCOMPARE(blank.count(), 1);
    QVERIFY(!m_sim->usb->receivedBytes().contains("NERRA:CONNECT"));

    // Blank-board flashing takes the port; the next opened port counts afresh.
    link.setBootstrapActive(true);
    link.disconnect();
    link.setBootstrapActive(false);
    QTRY_VERIFY(link.isConnected());
    QTRY_COMPARE_WITH_TIMEOUT(blank.count(), 2, 10000);
}

void TestSerialManagerLink::infoFetchGivesUpAfterFourHandshakes()
{
    LogCapture log;
    SerialManager &link = *m_sim->link;
    link.setHandshakeTimeout(100);
    m_sim->usb->setSilent(true);
    QVERIFY(m_sim->usb->plugIn());
    link.setAvailability(true);
    QVERIFY(link.isConnected());
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("USB: [INFO_FETCH] giving up after 4 attempts")), 10000);
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QTRY_COMPARE(countLines(m_sim->wire(), Handshake), 4);

    // Asking again starts counting from zero: four more.
    link.refreshDeviceInfo();
    QCOMPARE(link.protocolState(), SerialManager::Connecting);
    QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("giving up after 4 attempts")) == 2, 10000);
    QTRY_COMPARE(countLines(m_sim->wire(), Handshake), 8);
    // Nobody ever answered, so the handle was never called stale.
    QVERIFY(link.isConnected());
    QVERIFY(!log.contains(QStringLiteral("[STALE]")));
}

void TestSerialManagerLink::staleHandleIsReopened()
{
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    const QString port = link.portName();
    link.setHandshakeTimeout(100);
    link.setReopenHoldOffTime(500);
    m_sim->usb->setSilent(true);
    QSignalSpy connected(&link, &DeviceConnection::isConnectedChanged);

    link.refreshDeviceInfo();
    QVERIFY(connected.wait(10000));
    QVERIFY(!link.isConnected());
    QVERIFY(link.reopenHoldOff());
    QCOMPARE(countLines(m_sim->wire(), Handshake), 3);
    QVERIFY(link.output().contains(QStringLiteral("\n[Reconnecting to the device…]\n[Disconnected]\n")));

    // After the hold-off the poll opens the same port again, and it answers once more.
    QSignalSpy info(&link, &DeviceConnection::deviceInfoReceived);
    m_sim->usb->clearFaults();
    QVERIFY(connected.wait(5000));
    QVERIFY(link.isConnected());
    QCOMPARE(link.portName(), port);
    QVERIFY(info.wait(5000));
}

void TestSerialManagerLink::restartHoldsOffReopenAndAdoptsTheReadyLine()
{
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    const QString oldPort = link.portName();
    link.setReopenHoldOffTime(1500);
    link.setOtaRestartPending(true);
    QSignalSpy ready(&link, &SerialManager::otaSessionReady);
    QSignalSpy failed(&link, &DeviceConnection::transferFailed);

    m_sim->usb->restart();
    QTRY_VERIFY(!link.isConnected());
    QVERIFY(link.reopenHoldOff());
    QVERIFY(link.output().endsWith(QStringLiteral("\n[Nerra disconnected]\n")));
    QCOMPARE(link.protocolState(), SerialManager::Idle);

    // Back under a new name, listed but left alone while the hold-off lasts.
    QTRY_VERIFY(link.usbDevicePresent());
    QVERIFY(link.reopenHoldOff());
    QVERIFY(!link.isConnected());

    // Then opened; the identity fetch's ready line becomes the OTA channel.
    QVERIFY(ready.wait(10000));
    QVERIFY(link.portName() != oldPort);
    QCOMPARE(link.protocolState(), SerialManager::OtaActive);
    QVERIFY(!link.otaRestartPending());
    QCOMPARE(failed.count(), 0);
    link.endUsbOta(false);
    QCOMPARE(link.protocolState(), SerialManager::Ready);
    link.disconnectProtocol();
    QCOMPARE(link.protocolState(), SerialManager::Idle);
}

void TestSerialManagerLink::pollHoldsOffReopenDuringARestart()
{
    FilteringPortLister &filtered = m_sim->filter;
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    link.setReopenHoldOffTime(1500);
    link.setOtaRestartPending(true);
    const QString port = link.portName();

    filtered.hidden = QStringList{port};
    QTRY_VERIFY(!link.isConnected());
    QVERIFY(link.output().endsWith(QStringLiteral("\n[Device disconnected]\n")));
    QVERIFY(link.reopenHoldOff());

    filtered.hidden.clear();
    link.rescan();
    QVERIFY(link.usbDevicePresent());
    QVERIFY(!link.isConnected());
    QTRY_VERIFY_WITH_TIMEOUT(link.isConnected(), 10000);
}

void TestSerialManagerLink::instrumentBackUnderANewName()
{
    InstrumentState otherState;
    otherState.setHardwareId(QStringLiteral("0F0E0D0C0B0A"));
    UsbInstrument other(&otherState);
    other.setAttachPollInterval(5);
    QVERIFY(other.plugIn());
    m_sim->lister.addInstrument(&other);
    FilteringPortLister &filtered = m_sim->filter;
    filtered.hidden = QStringList{other.portName()};
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    const QString oldPort = link.portName();
    QCOMPARE(link.usbDeviceId(), QStringLiteral("A1B2C3D4E5F6"));

    // The old port's handle stays quiet (its terminal is still open); only the list says
    // the instrument now lives elsewhere.
    QSignalSpy identity(&link, &SerialManager::usbDeviceInfoChanged);
    filtered.hidden = QStringList{oldPort};
    QVERIFY(identity.wait(5000));
    QCOMPARE(link.portName(), other.portName());
    QCOMPARE(link.usbDeviceId(), QStringLiteral("0F0E0D0C0B0A"));
    QVERIFY(link.output().contains(QStringLiteral("\n[Device disconnected]\n[Connected to %1]\n").arg(other.portName())));
    link.disconnect();
    m_sim->lister.removeInstrument(&other);
}

void TestSerialManagerLink::deviceLossEndsTheOperation_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("errors");

    const QStringList none;
    QTest::newRow("upload, unplugged mid-body") << QStringLiteral("vanish") << QStringLiteral("upload") << none;
    QTest::newRow("download, unplugged mid-body") << QStringLiteral("vanish") << QStringLiteral("download")
                                                  << QStringList{QStringLiteral("getProtocol: device disconnected")};
    QTest::newRow("upload, gone from the list") << QStringLiteral("hide") << QStringLiteral("upload") << none;
    QTest::newRow("calibration write, unplugged") << QStringLiteral("unplug") << QStringLiteral("calibration") << none;
    QTest::newRow("preference write, unplugged") << QStringLiteral("unplug") << QStringLiteral("preference") << none;
    QTest::newRow("delete, gone from the list") << QStringLiteral("hide") << QStringLiteral("delete")
                                                << QStringList{QStringLiteral("deleteProtocol: device disconnected")};
    // Left pending, the certificate would go to whichever instrument comes next.
    QTest::newRow("certificate upload, unplugged mid-record")
        << QStringLiteral("vanish") << QStringLiteral("certificate")
        << QStringList{QStringLiteral("putCertificate: device disconnected")};
}

void TestSerialManagerLink::deviceLossEndsTheOperation()
{
    QFETCH(QString, how);
    QFETCH(QString, operation);
    QFETCH(QStringList, errors);

    for (int i = 0; i < 4; ++i)
        m_sim->state.putFile(QStringLiteral("f%1.csv").arg(i), "ASPIRATE,S,10.0,0,,,,4,\nDISPENSE,S,10.0,0,,,,4,\n");
    FilteringPortLister &filtered = m_sim->filter;
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    const QString port = link.portName();
    if (how == QLatin1String("vanish")) {
        const QString command = operation == QLatin1String("upload")        ? QStringLiteral("PUT_PROTOCOL")
                                : operation == QLatin1String("list")        ? QStringLiteral("LIST_PROTOCOLS")
                                : operation == QLatin1String("certificate") ? QStringLiteral("PUT_CERT")
                                                                            : QStringLiteral("GET_PROTOCOL");
        m_sim->usb->setVanishMidBody(command, operation == QLatin1String("download") || operation == QLatin1String("list") ? 1 : 2);
    } else {
        m_sim->usb->setSilent(true); // the operation waits for its ready line when the device goes
    }
    QSignalSpy failed(&link, &DeviceConnection::transferFailed);
    QSignalSpy errorSpy(&link, &DeviceConnection::errorOccurred);
    QSignalSpy applied(&link, &DeviceConnection::calibrationApplied);
    QSignalSpy prefResult(&link, &DeviceConnection::setPrefResult);
    QSignalSpy complete(&link, &DeviceConnection::transferComplete);
    QSignalSpy listed(&link, &DeviceConnection::protocolListReceived);
    QSignalSpy received(&link, &DeviceConnection::protocolReceived);
    QSignalSpy saved(&link, &SerialManager::certificateSaved);

    if (operation == QLatin1String("upload"))
        link.putProtocol(QStringLiteral("big.csv"), "A,1\nB,2\nC,3\nD,4\nE,5\n");
    else if (operation == QLatin1String("download"))
        link.getProtocol(QStringLiteral("f1.csv"));
    else if (operation == QLatin1String("list"))
        link.listProtocols();
    else if (operation == QLatin1String("calibration"))
        link.applyCalibration({QVariantMap{{QStringLiteral("index"), 1}, {QStringLiteral("value"), 1.1}}}, QString());
    else if (operation == QLatin1String("preference"))
        link.setPref(QStringLiteral("name"), QStringLiteral("Gone"));
    else if (operation == QLatin1String("certificate"))
        link.putCertificate(QStringLiteral("{\n\"a\": 1,\n\"b\": 2\n}"), QStringLiteral("AAAA"));
    else
        link.deleteProtocol(QStringLiteral("f2.csv"));

    if (how == QLatin1String("hide"))
        filtered.hidden = QStringList{port};
    else if (how == QLatin1String("unplug"))
        m_sim->usb->unplug();
    QTRY_VERIFY_WITH_TIMEOUT(!link.isConnected(), 10000);
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QVERIFY(!link.isTransferring());
    // Nothing is under way: no "Sending big.csv..." left behind.
    QCOMPARE(link.statusMessage(), operation == QLatin1String("certificate") ? QStringLiteral("Save failed") : QString());

    const bool transferring = operation == QLatin1String("upload") || operation == QLatin1String("calibration")
                              || operation == QLatin1String("certificate");
    QCOMPARE(failed.count(), transferring ? 1 : 0);
    if (transferring)
        QCOMPARE(failed.constFirst(), QVariantList{QStringLiteral("Device disconnected during the transfer")});
    QCOMPARE(spyTexts(errorSpy), errors);
    QCOMPARE(applied.count(), operation == QLatin1String("calibration") ? 1 : 0);
    if (!applied.isEmpty())
        QCOMPARE(applied.constFirst(), QVariantList{false});
    QCOMPARE(prefResult.count(), operation == QLatin1String("preference") ? 1 : 0);
    if (!prefResult.isEmpty())
        QCOMPARE(prefResult.constFirst(), (QVariantList{false, QStringLiteral("name")}));
    QCOMPARE(complete.count() + listed.count() + received.count(), 0);
    QCOMPARE(saved, operation == QLatin1String("certificate") ? QList<QVariantList>{{false}} : QList<QVariantList>());

    // Back again: the link reopens by itself and nothing of the lost operation is sent.
    m_sim->usb->clearFaults();
    filtered.hidden.clear();
    if (!m_sim->usb->isPresent())
        QVERIFY(m_sim->usb->plugIn());
    QTRY_VERIFY_WITH_TIMEOUT(link.isConnected(), 10000);
    QVERIFY(m_sim->waitForIdentityFetch());
    QSignalSpy listedAgain(&link, &DeviceConnection::protocolListReceived);
    link.listProtocols();
    QVERIFY(listedAgain.wait(5000));
    link.disconnectProtocol();
    QVERIFY2(m_sim->waitForWire({Handshake, QStringLiteral("CMD:LIST_PROTOCOLS"), Disconnect}),
             qPrintable(m_sim->wire().join(QLatin1Char('|'))));
    QVERIFY(!m_sim->state.hasFile(QStringLiteral("big.csv")));
    QVERIFY(m_sim->state.hasFile(QStringLiteral("f2.csv")));
    QCOMPARE(m_sim->state.name(), QStringLiteral("Bench"));
    QVERIFY(!m_sim->state.hasCertificate());
}

void TestSerialManagerLink::otaChannel()
{
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    QSignalSpy ready(&link, &SerialManager::otaSessionReady);
    QSignalSpy lines(&link, &SerialManager::otaLineReceived);
    QSignalSpy errors(&link, &DeviceConnection::errorOccurred);

    link.beginUsbOta();
    QVERIFY(link.otaSessionPending());
    QCOMPARE(link.statusMessage(), QStringLiteral("Connecting to device..."));
    QVERIFY(ready.wait(5000));
    QCOMPARE(link.protocolState(), SerialManager::OtaActive);
    QVERIFY(!link.otaSessionPending());

    link.sendOtaLine(QStringLiteral("CMD:OTA_STATUS"));
    QVERIFY(lines.wait(5000));
    QCOMPARE(lines.constFirst(), QVariantList{QStringLiteral("ERR:no update in progress")});
    m_sim->usb->sendLog(QStringLiteral("flash ok"));
    QTRY_VERIFY(link.output().endsWith(QStringLiteral("flash ok\n")));
    QCOMPARE(lines.count(), 1);
    link.sendOtaLine(QStringLiteral("CMD:OTA_STATUS\nCMD:REBOOT"));
    QCOMPARE(errors.count(), 1);

    link.endUsbOta(false);
    QCOMPARE(link.protocolState(), SerialManager::Ready);
    link.sendOtaLine(QStringLiteral("CMD:OTA_STATUS"));
    QCOMPARE(errors.last(), QVariantList{QStringLiteral("sendOtaLine: not in OTA mode")});
    // An open session is taken over without a new handshake.
    link.beginUsbOta();
    QCOMPARE(ready.count(), 2);
    QCOMPARE(link.protocolState(), SerialManager::OtaActive);
    link.endUsbOta(true);
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QCOMPARE(link.statusMessage(), QString());
    QTRY_COMPARE(m_sim->wire(), (QStringList{Handshake, QStringLiteral("CMD:OTA_STATUS")}));

    // A ready line in terminal mode while a restart is awaited opens the channel without
    // a handshake of its own.
    // (The instrument is still in its session: nothing told it otherwise.)
    link.connectProtocol();
    QTRY_COMPARE(link.protocolState(), SerialManager::Ready);
    link.disconnectProtocol();
    QTRY_VERIFY(!m_sim->usb->inSession());
    m_sim->usb->clearReceived();
    link.setOtaRestartPending(true);
    m_sim->usb->printConsole(QStringLiteral("NERRA:READY:{\"id\":\"A1B2C3D4E5F6\",\"fw\":\"1.6.0\",\"otaUsb\":1}"));
    QVERIFY(ready.wait(5000));
    QCOMPARE(ready.count(), 3);
    QCOMPARE(link.protocolState(), SerialManager::OtaActive);
    QCOMPARE(link.usbDeviceFW(), QStringLiteral("1.6.0"));
    QVERIFY(!link.otaRestartPending());
    QVERIFY(!m_sim->usb->receivedBytes().contains("NERRA:CONNECT"));

    // A late ready line whose record does not parse is guarded by the OTA opening's
    // time-out like a handshake of our own.
    link.endUsbOta(true);
    link.setHandshakeTimeout(100);
    link.setOtaRestartPending(true);
    QSignalSpy otaFailed(&link, &SerialManager::otaSessionFailed);
    m_sim->usb->printConsole(QStringLiteral("NERRA:READY:{\"id\":\"A1B2C3D4E5F6\""));
    QTRY_COMPARE(link.protocolState(), SerialManager::Connecting);
    QVERIFY(otaFailed.wait(5000));
    QCOMPARE(otaFailed.constFirst(), QVariantList{QStringLiteral("no response from device")});
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QCOMPARE(ready.count(), 3);
}

void TestSerialManagerLink::overlongLinesAreDroppedWhole()
{
    LogCapture log;
    FakeLink peer;
    FakeInstrument &fake = peer.fake;
    SerialManager &link = peer.link;
    QVERIFY(peer.open());
    QVERIFY(peer.waitForIdentityFetch());

    // A quarter of a megabyte without a line end, then ordinary text: none of the long
    // line is shown, not even its head.
    const int cap = SerialLineFramer::DefaultMaxLineLength;
    fake.sendRaw(QByteArray(256 * 1024, 'z'));
    fake.sendRaw("\nstill here\n");
    QTRY_VERIFY(link.output().endsWith(QStringLiteral("still here\n")));
    QVERIFY(log.contains(QStringLiteral("line longer than %1 bytes").arg(cap)));
    QVERIFY(!link.output().contains(QLatin1Char('z')));

    // A download that lost a line to the cap is not delivered as if whole.
    link.setMaxLineLength(64);
    peer.replies = {{QStringLiteral("CMD:GET_PROTOCOL:"),
                     {QStringLiteral("DATA:GET_PROTOCOL:A,1"), QStringLiteral("DATA:GET_PROTOCOL:") + QString(100, QLatin1Char('x')),
                      QStringLiteral("DATA:GET_PROTOCOL:B,2"), QStringLiteral("END:GET_PROTOCOL")}}};
    OutcomeSpies outcome(&link);
    link.getProtocol(QStringLiteral("f.csv"));
    QVERIFY(outcome.errors.wait(5000));
    QCOMPARE(outcome.errorMessages(),
             QStringList{QStringLiteral("getProtocol: reply damaged — a line longer than 64 bytes was dropped")});
    QVERIFY2(outcome.mismatch(QString()).isEmpty(), qPrintable(outcome.mismatch(QString())));
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QTRY_COMPARE(fake.lines.last(), Disconnect);
}

NERRA_TEST_MAIN(TestSerialManagerLink)
#include "tst_serialmanager_link.moc"
