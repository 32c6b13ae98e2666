// The USB link against a peer that answers at random: random bytes and random lines that
// look like the instrument's, whatever the link is doing, while random operations start,
// cancel and end sessions. Fixed seeds, so a failure repeats. The link must never crash,
// its properties stay in range, and once the peer falls silent every operation ends by
// itself (time-outs, with shortened timers) and the link is back in Idle without anybody
// closing the session for it.

#include "testmain.h"
#include "tst_serialmanager_fixture.h"

#include <QRandomGenerator>

namespace {

QString pick(QRandomGenerator &rng, const QStringList &choices)
{
    return choices.at(int(rng.bounded(quint32(choices.size()))));
}

QByteArray randomBytes(QRandomGenerator &rng, int maxLength)
{
    static const QByteArray special("\n\r\x1b\0\xff\xc2\xb5 :{}\"", 13);
    QByteArray bytes;
    const int length = int(rng.bounded(quint32(maxLength + 1)));
    for (int i = 0; i < length; ++i)
        bytes.append(rng.bounded(4) == 0 ? special.at(int(rng.bounded(quint32(special.size())))) : char(rng.bounded(256)));
    return bytes;
}

QString randomRecord(QRandomGenerator &rng)
{
    const QStringList records{
        QStringLiteral("{\"id\":\"A1B2C3D4E5F6\",\"name\":\"Fuzz\",\"sn\":\"F-1\",\"fw\":\"1.5.0\",\"color\":3,\"hasCert\":true,\"otaUsb\":1}"),
        QStringLiteral("{\"id\":\"A1B2C3D4E5F6\",\"color\":\"x\"}"),
        QStringLiteral("{\"id\":7,\"name\":[1],\"otaUsb\":\"many\"}"),
        QStringLiteral("{broken"),
        QStringLiteral("[]"),
        QString()};
    return pick(rng, records);
}

// One plausible thing for the instrument to say.
QByteArray randomReply(QRandomGenerator &rng)
{
    const QStringList lines{
        QStringLiteral("NERRA:READY:") + randomRecord(rng),
        QStringLiteral("boot text NERRA:READY:") + randomRecord(rng),
        QStringLiteral("OK:PUT_PROTOCOL"),
        QStringLiteral("OK:PUT_PROTOCOL:saved"),
        QStringLiteral("OK:DEL_PROTOCOL"),
        QStringLiteral("OK:DEL_CERT"),
        QStringLiteral("OK:PUT_CERT"),
        QStringLiteral("OK:PUT_CERT:saved"),
        QStringLiteral("OK:PUT_CERT_FILE"),
        QStringLiteral("OK:PUT_CERT_FILE:saved"),
        QStringLiteral("DATA:GET_CERT:{\"serial\": \"F-1\"}"),
        QStringLiteral("END:GET_CERT"),
        QStringLiteral("DATA:GET_CERT_FILE:UEsDBA=="),
        QStringLiteral("DATA:GET_CERT_FILE:*%1").arg(rng.bounded(100)),
        QStringLiteral("END:GET_CERT_FILE"),
        QStringLiteral("OK:SET_CAL:3"),
        QStringLiteral("OK:SET_PREF:name"),
        QStringLiteral("OK:SET_PREF:calDate"),
        QStringLiteral("OK:SET_PREF:color"),
        QStringLiteral("OK:SET_PREF"),
        QStringLiteral("OK:REBOOT"),
        QStringLiteral("OK:OTA_CHUNK:128"),
        QStringLiteral("DATA:LIST_PROTOCOLS:m%1.csv").arg(rng.bounded(5)),
        QStringLiteral("DATA:LIST_PROTOCOLS:"),
        QStringLiteral("END:LIST_PROTOCOLS"),
        QStringLiteral("DATA:GET_PROTOCOL:ASPIRATE,S,10.0,0,,,,4,"),
        QStringLiteral("DATA:GET_PROTOCOL:"),
        QStringLiteral("END:GET_PROTOCOL"),
        QStringLiteral("DATA:GET_CAL:{\"st1\":1.01,\"lt1000\":0.99}"),
        QStringLiteral("DATA:GET_CAL:{"),
        QStringLiteral("END:GET_CAL"),
        QStringLiteral("DATA:GET_PREFS:{\"calDate\":\"2026-01-0%1\"}").arg(rng.bounded(10)),
        QStringLiteral("DATA:GET_PREFS:null"),
        QStringLiteral("END:GET_PREFS"),
        QStringLiteral("DATA:GET_INFO:{\"name\":\"I\"}"),
        QStringLiteral("END:GET_INFO"),
        QStringLiteral("ERR:refused"),
        QStringLiteral("ERR:"),
        QStringLiteral("LOG:diagnostic %1").arg(rng.bounded(1000)),
        QStringLiteral("NERRA:BYE"),
        QStringLiteral("invalid header: 0xffffffff"),
        QStringLiteral("console text µL"),
    };
    switch (rng.bounded(10)) {
    case 0:
        return randomBytes(rng, 300);
    case 1:
        return QByteArray(int(rng.bounded(3000, 6000)), 'q') + (rng.bounded(2) ? "\n" : "");
    default: {
        QByteArray line = pick(rng, lines).toUtf8();
        return line + (rng.bounded(5) == 0 ? "\r\n" : "\n");
    }
    }
}

} // namespace

class TestSerialManagerFuzz : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase();
    void init();
    void cleanup();
    void randomPeer_data();
    void randomPeer();

private:
    void randomAction(QRandomGenerator &rng, SerialManager &link, FakeInstrument &fake);
    static bool settled(const SerialManager &link, const FakeInstrument &fake);
    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<LogCapture> m_log;
    QSet<int> m_visited;
};

void TestSerialManagerFuzz::cleanupTestCase()
{
    // Together the seeds must have driven the link through most of its states.
    QVERIFY2(m_visited.size() >= 9, qPrintable(QStringLiteral("only %1 states visited").arg(m_visited.size())));
}

void TestSerialManagerFuzz::init()
{
    m_env = std::make_unique<IsolatedEnvironment>();
    m_log = std::make_unique<LogCapture>();
}

void TestSerialManagerFuzz::cleanup()
{
    if (QTest::currentTestFailed())
        m_log->dumpTail(200);
    m_log.reset();
    m_env.reset();
}

void TestSerialManagerFuzz::randomPeer_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed : {1u, 2u, 3u, 7u, 42u, 1234u, 98765u, 31337u})
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed;
}

void TestSerialManagerFuzz::randomAction(QRandomGenerator &rng, SerialManager &link, FakeInstrument &fake)
{
    const QStringList names{QStringLiteral("a.csv"), QStringLiteral("m1.csv"), QStringLiteral("bad\nname"), QString()};
    const QStringList keys{QStringLiteral("name"), QStringLiteral("ssid"), QStringLiteral("color"), QStringLiteral("calDate"),
                           QStringLiteral("k\n")};
    switch (rng.bounded(30)) {
    case 0:
        link.putProtocol(pick(rng, names), rng.bounded(4) ? QByteArray("A,1\nB,2\n") : randomBytes(rng, 60));
        break;
    case 1:
        link.listProtocols();
        break;
    case 2:
        link.getProtocol(pick(rng, names));
        break;
    case 3:
        link.deleteProtocol(pick(rng, names));
        break;
    case 4:
        link.getDeviceInfo();
        break;
    case 5:
        link.getCalibration();
        break;
    case 6:
        link.setCalibration(int(rng.bounded(10)) - 1, float(rng.generateDouble() * 2));
        break;
    case 7:
        link.fetchCalibration();
        break;
    case 8:
        link.applyCalibration({QVariantMap{{QStringLiteral("index"), int(rng.bounded(8))}, {QStringLiteral("value"), 1.02}},
                               QVariantMap{{QStringLiteral("index"), 5}, {QStringLiteral("value"), 0.98}}},
                              rng.bounded(2) ? QStringLiteral("2026-04-05") : QString());
        break;
    case 9:
        link.getPrefs();
        break;
    case 10:
        link.setPref(pick(rng, keys), QString::fromLatin1(randomBytes(rng, 12)));
        break;
    case 11:
        link.cancelTransfer();
        break;
    case 12:
        link.reboot();
        break;
    case 13:
        link.connectProtocol();
        break;
    case 14:
        link.disconnectProtocol();
        break;
    case 15:
        link.beginUsbOta();
        break;
    case 16:
        link.sendOtaLine(QStringLiteral("CMD:OTA_STATUS"));
        break;
    case 17:
        link.endUsbOta(rng.bounded(2) == 0);
        break;
    case 18:
        link.refreshDeviceInfo();
        break;
    case 19:
        link.setOtaRestartPending(rng.bounded(3) == 0);
        break;
    case 20:
        link.sendLine(QStringLiteral("help"));
        break;
    case 21:
        link.rescan();
        break;
    case 22:
        link.putCertificate(QStringLiteral("{\n  \"a\": 1\n}"), rng.bounded(2) ? QStringLiteral("UEsDBA==") : QString());
        break;
    case 23:
        link.getCertificate();
        break;
    case 24:
        link.getCertificateFile();
        break;
    case 25:
        link.deleteCertificate();
        break;
    default:
        // The instrument speaks unasked.
        for (int i = int(rng.bounded(1, 4)); i > 0; --i)
            fake.sendRaw(randomReply(rng));
        break;
    }
}

bool TestSerialManagerFuzz::settled(const SerialManager &link, const FakeInstrument &fake)
{
    return fake.received.size() >= qint64(link.bytesSent()) && qint64(link.bytesReceived()) >= fake.sent;
}

void TestSerialManagerFuzz::randomPeer()
{
    QFETCH(quint32, seed);
    QRandomGenerator rng(seed);

    FakeLink peer;
    FakeInstrument &fake = peer.fake;
    SerialManager &link = peer.link;
    // Answers every line it receives with up to three random things, most often a ready
    // line when it was a handshake.
    fake.onLine = [&](const QString &line) {
        if (line.contains(QLatin1String("NERRA:CONNECT")) && rng.bounded(3) != 0)
            fake.sendLine(QStringLiteral("NERRA:READY:") + randomRecord(rng));
        for (int i = int(rng.bounded(4)); i > 0; --i)
            fake.sendRaw(randomReply(rng));
    };
    link.setHandshakeTimeout(60);
    link.setDownloadTimeout(60);
    link.setReplyTimeout(100);
    link.setReopenHoldOffTime(50);
    link.setMaxLineLength(4096);
    QVERIFY(peer.open());

    QSet<int> visited;
    for (int step = 0; step < 120; ++step) {
        randomAction(rng, link, fake);
        visited.insert(link.protocolState());
        // Let the traffic settle both ways. The wait ends as soon as it has; bytes written
        // just as the port closed never arrive, so not settling is no fault.
        [[maybe_unused]] const bool quiet = QTest::qWaitFor([&] { return settled(link, fake); }, 100);
        visited.insert(link.protocolState());
        QVERIFY2(!(link.isTransferring() && link.protocolState() == SerialManager::Idle),
                 "a transfer is reported running with no session");
        QVERIFY(link.transferProgress() >= 0 && link.transferProgress() <= 100);
        QVERIFY(link.output().size() <= SerialManager::MaxOutputLength);
    }
    // Which states a seed reaches depends on timing; all seeds together must reach most.
    m_visited += visited;

    // The peer falls silent. Whatever was running must end by itself. A session left open
    // on purpose is asked for one more reply, and the OTA channel (whose owner has its own
    // time-outs) is handed back, so that their waits end by themselves too.
    fake.onLine = nullptr;
    link.setOtaRestartPending(false);
    [[maybe_unused]] const bool quiet = QTest::qWaitFor([&] { return settled(link, fake); }, 1000);
    const bool idle = QTest::qWaitFor(
        [&] {
            if (link.protocolState() == SerialManager::OtaActive)
                link.endUsbOta(false);
            if (link.protocolState() == SerialManager::Ready && !link.isTransferring())
                link.getDeviceInfo();
            return link.protocolState() == SerialManager::Idle;
        },
        5000);
    QVERIFY2(idle, qPrintable(QStringLiteral("stuck in state %1").arg(int(link.protocolState()))));
    QVERIFY(!link.isTransferring());

    // The port closes under a session: every operation still running hears of it.
    QTRY_VERIFY_WITH_TIMEOUT(link.isConnected(), 5000);
    QSignalSpy listed(&link, &DeviceConnection::protocolListReceived);
    QSignalSpy errors(&link, &DeviceConnection::errorOccurred);
    link.listProtocols();
    fake.sendRaw(randomReply(rng));
    fake.close();
    peer.lister.entries.clear();
    QTRY_VERIFY_WITH_TIMEOUT(!link.isConnected(), 5000);
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QVERIFY(!link.isTransferring());
    QVERIFY(listed.count() + errors.count() >= 1);
}

NERRA_TEST_MAIN(TestSerialManagerFuzz)
#include "tst_serialmanager_fuzz.moc"
