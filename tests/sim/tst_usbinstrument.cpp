#include "instrumentstate.h"
#include "serialtestclient.h"
#include "simulatedportlister.h"
#include "testmain.h"
#include "usbinstrument.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>

#include <memory>

namespace {

// One line of the instrument's answer: exact, or "prefix*", or "~text" for "contains".
bool lineMatches(const QString &line, const QString &expected)
{
    if (expected.startsWith(QLatin1Char('~')))
        return line.contains(expected.mid(1));
    if (expected.endsWith(QLatin1Char('*')))
        return line.startsWith(expected.chopped(1));
    return line == expected;
}

struct Exchange
{
    QStringList send;
    QStringList expect;
};
using Dialogue = QList<Exchange>;

QString handshake()
{
    return QStringLiteral("\x1bNERRA:CONNECT");
}

QByteArray firmwareImage(const QString &version, int size, int otaUsb = 1)
{
    QByteArray image = "NERRA_FW_VERSION=" + version.toLatin1() + "\nNERRA_OTA_USB=" + QByteArray::number(otaUsb) + "\n";
    for (int i = image.size(); i < size; ++i)
        image.append(char((i * 7 + 3) % 256));
    return image;
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

Q_DECLARE_METATYPE(Dialogue)

class TestUsbInstrument : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void handshakeAndIdentity();
    void consoleOutsideSession();
    void commands_data();
    void commands();
    void blankBoard();
    void silentHandshake();
    void silentAfterCommand();
    void errorReplies_data();
    void errorReplies();
    void readyLineFaults_data();
    void readyLineFaults();
    void vanishMidBody_data();
    void vanishMidBody();
    void slowInstrument();
    void firmwareUpdateConfirmed();
    void firmwareRolledBackWithoutConfirm();
    void firmwareTransferFaults_data();
    void firmwareTransferFaults();
    void firmwareWithoutUsbUpdate();
    void rebootComesBackUnderNewPath();
    void unpluggedStaysGone_data();
    void unpluggedStaysGone();
    void portListerShowsPresentInstruments();
    void stateKeptInFolder();
    void standaloneProgram();

private:
    bool connectClient();
    QJsonObject openSession();
    void run(const Dialogue &dialogue);
    // Waits for the restart that follows "OK:OTA:rebooting" or "OK:REBOOT" and opens the
    // new port; returns the ready record of a fresh session.
    QJsonObject followRestart(const QString &oldPort);
    // Waits until the instrument has taken in `line`, then makes it print a marker: every
    // answer it gave before lies ahead of the marker.
    QStringList linesUntilBarrier(const QString &line, bool inSession);
    void sendImage(const QByteArray &image, int chunkSize);

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<InstrumentState> m_state;
    std::unique_ptr<UsbInstrument> m_usb;
    std::unique_ptr<SerialTestClient> m_client;
};

void TestUsbInstrument::init()
{
    m_env = std::make_unique<IsolatedEnvironment>();
    m_state = std::make_unique<InstrumentState>();
    m_state->setHardwareId(QStringLiteral("A1B2C3D4E5F6"));
    m_state->setPreference(QStringLiteral("name"), QStringLiteral("Bench"));
    m_state->setPreference(QStringLiteral("sn"), QStringLiteral("NS-0042"));
    m_usb = std::make_unique<UsbInstrument>(m_state.get());
    m_usb->setAttachPollInterval(5);
    m_usb->setRestartDelay(50);
    m_usb->setBootTextInterval(40);
    m_client = std::make_unique<SerialTestClient>();
    QVERIFY(m_usb->plugIn());
    QVERIFY(m_usb->portName().startsWith(QLatin1String("/dev/pts/")));
}

void TestUsbInstrument::cleanup()
{
    m_client.reset();
    m_usb.reset();
    m_state.reset();
    m_env.reset();
}

bool TestUsbInstrument::connectClient()
{
    if (!m_client->open(m_usb->portName()))
        return false;
    // The greeting shows that the instrument has seen the port opened.
    return !m_client->takeUntil([](const QString &line) { return line == QLatin1String("ready"); }).isEmpty();
}

QJsonObject TestUsbInstrument::openSession()
{
    m_client->sendHandshake();
    const QString ready = m_client->takeLine();
    if (!ready.startsWith(QLatin1String("NERRA:READY:")))
        return {};
    return QJsonDocument::fromJson(ready.mid(12).toUtf8()).object();
}

void TestUsbInstrument::run(const Dialogue &dialogue)
{
    for (const Exchange &exchange : dialogue) {
        for (const QString &line : exchange.send)
            m_client->writeLine(line);
        const QStringList answer = m_client->takeLines(exchange.expect.size());
        QVERIFY2(answer.size() == exchange.expect.size(),
                 qPrintable(QStringLiteral("after %1: got %2").arg(exchange.send.join(QLatin1Char('|')),
                                                                  answer.join(QLatin1Char('|')))));
        for (int i = 0; i < answer.size(); ++i)
            QVERIFY2(lineMatches(answer[i], exchange.expect[i]),
                     qPrintable(QStringLiteral("got %1, expected %2").arg(answer[i], exchange.expect[i])));
    }
}

QStringList TestUsbInstrument::linesUntilBarrier(const QString &line, bool inSession)
{
    QSignalSpy taken(m_usb.get(), &UsbInstrument::lineReceived);
    m_client->writeLine(line);
    if (!QTest::qWaitFor([&] { return taken.contains(QVariantList{line}); }, 5000))
        return {QStringLiteral("instrument never took the line")};
    const QString barrier = QStringLiteral("barrier");
    if (inSession)
        m_usb->sendLog(barrier);
    else
        m_usb->printConsole(barrier);
    QStringList lines = m_client->takeUntil([&](const QString &l) { return l.endsWith(barrier); });
    if (lines.isEmpty())
        return {QStringLiteral("barrier never came")};
    lines.removeLast();
    return lines;
}

QJsonObject TestUsbInstrument::followRestart(const QString &oldPort)
{
    QSignalSpy ports(m_usb.get(), &UsbInstrument::portNameChanged);
    if (!m_client->waitForHangUp())
        return {};
    if (!QTest::qWaitFor([&] { return m_usb->isPresent(); }, 5000))
        return {};
    if (m_usb->portName() == oldPort)
        return {};
    if (!connectClient())
        return {};
    return openSession();
}

void TestUsbInstrument::sendImage(const QByteArray &image, int chunkSize)
{
    for (int at = 0; at < image.size(); at += chunkSize) {
        m_client->writeLine(QStringLiteral("CMD:OTA_CHUNK:") + QString::fromLatin1(image.mid(at, chunkSize).toBase64()));
        QCOMPARE(m_client->takeLine(), QStringLiteral("OK:OTA_CHUNK:%1").arg(qMin(at + chunkSize, int(image.size()))));
    }
}

void TestUsbInstrument::handshakeAndIdentity()
{
    QVERIFY(connectClient());
    QCOMPARE(m_client->lines().first(), QStringLiteral("Bench — firmware 1.4.2"));
    QSignalSpy session(m_usb.get(), &UsbInstrument::sessionChanged);
    const QJsonObject ready = openSession();
    QCOMPARE(ready.value(QStringLiteral("id")).toString(), QStringLiteral("A1B2C3D4E5F6"));
    QCOMPARE(ready.value(QStringLiteral("name")).toString(), QStringLiteral("Bench"));
    QCOMPARE(ready.value(QStringLiteral("sn")).toString(), QStringLiteral("NS-0042"));
    QCOMPARE(ready.value(QStringLiteral("fw")).toString(), QStringLiteral("1.4.2"));
    QCOMPARE(ready.value(QStringLiteral("color")).toInt(), 2);
    QCOMPARE(ready.value(QStringLiteral("ssid")).toString(), QString());
    QCOMPARE(ready.value(QStringLiteral("hasCert")), QJsonValue(false));
    QCOMPARE(ready.value(QStringLiteral("otaUsb")).toInt(), 1);
    QVERIFY(m_usb->inSession());

    run({{{QStringLiteral("NERRA:DISCONNECT")}, {QStringLiteral("NERRA:BYE")}}});
    QVERIFY(!m_usb->inSession());
    QCOMPARE(session.count(), 2);

    // Closing the port ends a session as well.
    openSession();
    QVERIFY(m_usb->inSession());
    m_client->close();
    QTRY_VERIFY(!m_usb->inSession());
}

void TestUsbInstrument::consoleOutsideSession()
{
    QVERIFY(connectClient());
    // Console input comes with CR LF.
    m_client->writeRaw("version\r\n");
    QCOMPARE(m_client->takeLine(), QStringLiteral("firmware 1.4.2"));
    // A command outside a session is only console text.
    QCOMPARE(linesUntilBarrier(QStringLiteral("CMD:GET_CAL"), false),
             QStringList{QStringLiteral("unknown command 'CMD:GET_CAL' (type help)")});
    // Console text is not printed inside a session; LOG lines are not printed outside one.
    openSession();
    m_usb->printConsole(QStringLiteral("hidden"));
    m_usb->sendLog(QStringLiteral("shown"));
    QCOMPARE(m_client->takeLine(), QStringLiteral("LOG:shown"));
}

void TestUsbInstrument::commands_data()
{
    QTest::addColumn<Dialogue>("dialogue");
    const QString body64 = QString::fromLatin1(QByteArray(336, 'x').toBase64());
    QCOMPARE(body64.size(), 448);

    QTest::newRow("protocol files") << Dialogue{
        {{QStringLiteral("CMD:PUT_PROTOCOL:mix.csv")}, {QStringLiteral("OK:PUT_PROTOCOL")}},
        {{QStringLiteral("a,1"), QStringLiteral("b,2"), QString(), QStringLiteral("END:PUT_PROTOCOL")},
         {QStringLiteral("LOG:stored mix.csv (8 bytes)"), QStringLiteral("OK:PUT_PROTOCOL:saved")}},
        {{QStringLiteral("CMD:PUT_PROTOCOL:dose.csv"), QStringLiteral("x"), QStringLiteral("END:PUT_PROTOCOL")},
         {QStringLiteral("OK:PUT_PROTOCOL"), QStringLiteral("LOG:stored dose.csv (1 bytes)"),
          QStringLiteral("OK:PUT_PROTOCOL:saved")}},
        {{QStringLiteral("CMD:LIST_PROTOCOLS")},
         {QStringLiteral("DATA:LIST_PROTOCOLS:dose.csv"), QStringLiteral("DATA:LIST_PROTOCOLS:mix.csv"),
          QStringLiteral("END:LIST_PROTOCOLS")}},
        {{QStringLiteral("CMD:GET_PROTOCOL:mix.csv")},
         {QStringLiteral("DATA:GET_PROTOCOL:a,1"), QStringLiteral("DATA:GET_PROTOCOL:b,2"),
          QStringLiteral("END:GET_PROTOCOL")}},
        {{QStringLiteral("CMD:DEL_PROTOCOL:dose.csv")},
         {QStringLiteral("LOG:deleted dose.csv"), QStringLiteral("OK:DEL_PROTOCOL")}},
        {{QStringLiteral("CMD:GET_PROTOCOL:dose.csv")}, {QStringLiteral("ERR:file not found: dose.csv")}},
        {{QStringLiteral("CMD:DEL_PROTOCOL:dose.csv")}, {QStringLiteral("ERR:file not found: dose.csv")}},
        {{QStringLiteral("CMD:PUT_PROTOCOL:../escape.csv")}, {QStringLiteral("ERR:invalid file name")}},
        {{QStringLiteral("CMD:PUT_PROTOCOL:/etc/passwd")}, {QStringLiteral("ERR:invalid file name")}},
    };
    // The device views only replace spaces, so any other character of a method name comes
    // through; only what leaves the folder or breaks a line is refused.
    QTest::newRow("file names the program makes") << Dialogue{
        {{QStringLiteral("CMD:PUT_PROTOCOL:Mix_(2).csv"), QStringLiteral("a"), QStringLiteral("END:PUT_PROTOCOL")},
         {QStringLiteral("OK:PUT_PROTOCOL"), QStringLiteral("LOG:stored Mix_(2).csv (1 bytes)"),
          QStringLiteral("OK:PUT_PROTOCOL:saved")}},
        {{QStringLiteral("CMD:PUT_PROTOCOL:Lösung_5%..csv"), QStringLiteral("b"), QStringLiteral("END:PUT_PROTOCOL")},
         {QStringLiteral("OK:PUT_PROTOCOL"), QStringLiteral("LOG:stored Lösung_5%..csv (1 bytes)"),
          QStringLiteral("OK:PUT_PROTOCOL:saved")}},
        {{QStringLiteral("CMD:LIST_PROTOCOLS")},
         {QStringLiteral("DATA:LIST_PROTOCOLS:Lösung_5%..csv"), QStringLiteral("DATA:LIST_PROTOCOLS:Mix_(2).csv"),
          QStringLiteral("END:LIST_PROTOCOLS")}},
        {{QStringLiteral("CMD:GET_PROTOCOL:Lösung_5%..csv")},
         {QStringLiteral("DATA:GET_PROTOCOL:b"), QStringLiteral("END:GET_PROTOCOL")}},
        {{QStringLiteral("CMD:PUT_PROTOCOL:"), QStringLiteral("CMD:PUT_PROTOCOL:.."), QStringLiteral("CMD:PUT_PROTOCOL:a\\b.csv"),
          QStringLiteral("CMD:PUT_PROTOCOL:a\tb.csv"), QStringLiteral("CMD:PUT_PROTOCOL:a") + QChar(0) + QStringLiteral("b.csv"),
          QStringLiteral("CMD:PUT_PROTOCOL:") + QString(252, QLatin1Char('x')) + QStringLiteral(".csv")},
         QVector<QString>(6, QStringLiteral("ERR:invalid file name")).toList()},
    };
    QTest::newRow("calibration") << Dialogue{
        {{QStringLiteral("CMD:GET_CAL")},
         {QStringLiteral("DATA:GET_CAL:{\"lt100\":1,\"lt1000\":1,\"lt500\":1,\"st1\":1,\"st10\":1,\"st2\":1,"
                         "\"st200\":1,\"st50\":1}"),
          QStringLiteral("END:GET_CAL")}},
        {{QStringLiteral("CMD:SET_CAL:3:1.250000"), QStringLiteral("CMD:SET_CAL:7:0.998000")},
         {QStringLiteral("OK:SET_CAL:3"), QStringLiteral("OK:SET_CAL:7")}},
        {{QStringLiteral("CMD:GET_CAL")}, {QStringLiteral("~\"lt1000\":0.998,"), QStringLiteral("END:GET_CAL")}},
        {{QStringLiteral("CMD:GET_CAL")}, {QStringLiteral("~\"st50\":1.25}"), QStringLiteral("END:GET_CAL")}},
        {{QStringLiteral("CMD:SET_CAL:8:1.000000"), QStringLiteral("CMD:SET_CAL:x:1"), QStringLiteral("CMD:SET_CAL:2")},
         {QStringLiteral("ERR:invalid coefficient"), QStringLiteral("ERR:invalid coefficient"),
          QStringLiteral("ERR:invalid coefficient")}},
    };
    QTest::newRow("preferences") << Dialogue{
        {{QStringLiteral("CMD:SET_PREF:name:")},
         {QStringLiteral("LOG:preference name saved"), QStringLiteral("OK:SET_PREF:name")}},
        {{QStringLiteral("CMD:SET_PREF:ssid:Lab:5G")},
         {QStringLiteral("LOG:preference ssid saved"), QStringLiteral("OK:SET_PREF:ssid")}},
        {{QStringLiteral("CMD:SET_PREF:calDate:2024-05-01")},
         {QStringLiteral("LOG:preference calDate saved"), QStringLiteral("OK:SET_PREF:calDate")}},
        {{QStringLiteral("CMD:SET_PREF:color:x"), QStringLiteral("CMD:SET_PREF:nokey")},
         {QStringLiteral("ERR:color must be a colour index"), QStringLiteral("ERR:invalid preference")}},
        {{QStringLiteral("CMD:GET_PREFS")},
         {QStringLiteral("DATA:GET_PREFS:{\"calDate\":\"2024-05-01\",\"color\":2,\"name\":\"\",\"password\":\"\","
                         "\"sn\":\"NS-0042\",\"ssid\":\"Lab:5G\"}"),
          QStringLiteral("END:GET_PREFS")}},
        {{handshake()}, {QStringLiteral("~\"name\":\"\"")}},
    };
    QTest::newRow("device info") << Dialogue{
        {{QStringLiteral("CMD:GET_INFO")},
         {QStringLiteral("DATA:GET_INFO:{\"files\":0,\"fw\":\"1.4.2\",\"id\":\"A1B2C3D4E5F6\",\"name\":\"Bench\","
                         "\"sn\":\"NS-0042\"}"),
          QStringLiteral("END:GET_INFO")}},
    };
    QTest::newRow("certificate") << Dialogue{
        {{QStringLiteral("CMD:GET_CERT")}, {QStringLiteral("ERR:no certificate")}},
        {{QStringLiteral("CMD:PUT_CERT")}, {QStringLiteral("OK:PUT_CERT")}},
        {{QStringLiteral("{"), QStringLiteral("  \"sn\": \"NS-0042\""), QStringLiteral("}"), QStringLiteral("END:PUT_CERT")},
         {QStringLiteral("OK:PUT_CERT:saved")}},
        {{QStringLiteral("CMD:PUT_CERT_FILE")}, {QStringLiteral("OK:PUT_CERT_FILE")}},
        {{body64.left(200), body64.mid(200, 200), body64.mid(400), QStringLiteral("END:PUT_CERT_FILE")},
         {QStringLiteral("OK:PUT_CERT_FILE:saved")}},
        {{QStringLiteral("CMD:GET_CERT")},
         {QStringLiteral("DATA:GET_CERT:{"), QStringLiteral("DATA:GET_CERT:  \"sn\": \"NS-0042\""),
          QStringLiteral("DATA:GET_CERT:}"), QStringLiteral("END:GET_CERT")}},
        {{QStringLiteral("CMD:GET_CERT_FILE")},
         {QStringLiteral("DATA:GET_CERT_FILE:") + body64.left(200), QStringLiteral("DATA:GET_CERT_FILE:") + body64.mid(200, 200),
          QStringLiteral("DATA:GET_CERT_FILE:") + body64.mid(400), QStringLiteral("END:GET_CERT_FILE")}},
        {{handshake()}, {QStringLiteral("~\"hasCert\":true")}},
        {{QStringLiteral("CMD:PUT_CERT_FILE"), QStringLiteral("not base64!"), QStringLiteral("END:PUT_CERT_FILE")},
         {QStringLiteral("OK:PUT_CERT_FILE"), QStringLiteral("ERR:source data is not Base64")}},
        {{QStringLiteral("CMD:DEL_CERT")}, {QStringLiteral("OK:DEL_CERT")}},
        {{QStringLiteral("CMD:GET_CERT"), QStringLiteral("CMD:GET_CERT_FILE")},
         {QStringLiteral("ERR:no certificate"), QStringLiteral("ERR:no source data")}},
        {{handshake()}, {QStringLiteral("~\"hasCert\":false")}},
    };
    QTest::newRow("session control") << Dialogue{
        {{QStringLiteral("CMD:FROBNICATE"), QStringLiteral("hello")},
         {QStringLiteral("ERR:unknown command FROBNICATE"), QStringLiteral("LOG:ignored: hello")}},
        {{handshake()}, {QStringLiteral("NERRA:READY:*")}},
        {{QStringLiteral("NERRA:DISCONNECT")}, {QStringLiteral("NERRA:BYE")}},
        {{QStringLiteral("CMD:GET_INFO")}, {QStringLiteral("unknown command 'CMD:GET_INFO' (type help)")}},
    };
}

void TestUsbInstrument::commands()
{
    QFETCH(Dialogue, dialogue);
    QVERIFY(connectClient());
    QVERIFY(!openSession().isEmpty());
    run(dialogue);
}

void TestUsbInstrument::blankBoard()
{
    m_usb->setBlankBoard(true);
    QVERIFY(m_client->open(m_usb->portName()));
    const QString marker = QStringLiteral("invalid header: 0xffffffff");
    QVERIFY(!m_client->takeUntil([&](const QString &l) { return l == marker; }).isEmpty());
    QVERIFY(!m_client->takeUntil([&](const QString &l) { return l == marker; }).isEmpty());

    QSignalSpy taken(m_usb.get(), &UsbInstrument::lineReceived);
    m_client->sendHandshake();
    QTRY_COMPARE(taken.count(), 1);
    // The boot loader keeps printing; nothing it prints after the handshake is an answer.
    const QStringList after = m_client->takeUntilPrefix(QStringLiteral("ESP-ROM:"));
    QVERIFY(!after.isEmpty());
    const QStringList next = m_client->takeUntilPrefix(QStringLiteral("ESP-ROM:"));
    QVERIFY(!next.isEmpty());
    QVERIFY(next.contains(marker));
    for (const QString &line : m_client->lines())
        QVERIFY2(!line.contains(QLatin1String("NERRA:")) && line != QLatin1String("ready"), qPrintable(line));
}

void TestUsbInstrument::silentHandshake()
{
    QVERIFY(connectClient());
    m_usb->setSilent(true);
    QCOMPARE(linesUntilBarrier(handshake(), false), QStringList());
    QVERIFY(!m_usb->inSession());
    m_usb->clearFaults();
    QVERIFY(!openSession().isEmpty());
}

void TestUsbInstrument::silentAfterCommand()
{
    QVERIFY(connectClient());
    QVERIFY(!openSession().isEmpty());
    m_usb->setSilentAfter(QStringLiteral("CMD:GET_CAL"), 2);
    run({{{QStringLiteral("CMD:GET_CAL")}, {QStringLiteral("DATA:GET_CAL:*"), QStringLiteral("END:GET_CAL")}}});
    m_client->writeLine(QStringLiteral("CMD:GET_CAL"));
    QCOMPARE(linesUntilBarrier(QStringLiteral("CMD:GET_INFO"), true), QStringList());

    // A restart brings it back.
    const QString port = m_usb->portName();
    m_usb->restart();
    QVERIFY(!followRestart(port).isEmpty());
}

void TestUsbInstrument::errorReplies_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<int>("times");
    QTest::addColumn<Dialogue>("dialogue");
    QTest::addColumn<QStringList>("files");

    QTest::newRow("refused command") << QStringLiteral("CMD:GET_CAL") << -1
                                     << Dialogue{{{QStringLiteral("CMD:GET_CAL")}, {QStringLiteral("ERR:refused")}},
                                                 {{QStringLiteral("CMD:GET_CAL")}, {QStringLiteral("ERR:refused")}}}
                                     << QStringList();
    QTest::newRow("refused before the body") << QStringLiteral("CMD:PUT_PROTOCOL") << -1
                                             << Dialogue{{{QStringLiteral("CMD:PUT_PROTOCOL:a.csv")},
                                                          {QStringLiteral("ERR:refused")}}}
                                             << QStringList();
    QTest::newRow("refused after the body")
        << QStringLiteral("END:PUT_PROTOCOL") << -1
        << Dialogue{{{QStringLiteral("CMD:PUT_PROTOCOL:a.csv"), QStringLiteral("x"), QStringLiteral("END:PUT_PROTOCOL")},
                     {QStringLiteral("OK:PUT_PROTOCOL"), QStringLiteral("ERR:refused")}},
                    {{QStringLiteral("CMD:LIST_PROTOCOLS")}, {QStringLiteral("END:LIST_PROTOCOLS")}}}
        << QStringList();
    QTest::newRow("refused once") << QStringLiteral("CMD:PUT_PROTOCOL") << 1
                                  << Dialogue{{{QStringLiteral("CMD:PUT_PROTOCOL:a.csv")}, {QStringLiteral("ERR:refused")}},
                                              {{QStringLiteral("CMD:PUT_PROTOCOL:a.csv"), QStringLiteral("x"),
                                                QStringLiteral("END:PUT_PROTOCOL")},
                                               {QStringLiteral("OK:PUT_PROTOCOL"), QStringLiteral("LOG:stored*"),
                                                QStringLiteral("OK:PUT_PROTOCOL:saved")}}}
                                  << QStringList{QStringLiteral("a.csv")};
}

void TestUsbInstrument::errorReplies()
{
    QFETCH(QString, prefix);
    QFETCH(int, times);
    QFETCH(Dialogue, dialogue);
    QFETCH(QStringList, files);
    QVERIFY(connectClient());
    QVERIFY(!openSession().isEmpty());
    m_usb->setErrorReply(prefix, QStringLiteral("refused"), times);
    run(dialogue);
    QCOMPARE(m_state->fileNames(), files);
}

void TestUsbInstrument::readyLineFaults_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("record");
    QTest::addColumn<bool>("cleared");
    QTest::addColumn<QString>("expected");

    const QString real = QStringLiteral("{\"color\":2,\"fw\":\"1.4.2\",\"hasCert\":false,\"id\":\"A1B2C3D4E5F6\","
                                        "\"name\":\"Bench\",\"otaUsb\":1,\"sn\":\"NS-0042\",\"ssid\":\"\"}");
    const QString noColour = QStringLiteral("{\"id\":\"A1B2C3D4E5F6\",\"name\":\"Bench\",\"fw\":\"1.4.2\"}");
    const QString zeroOta = QStringLiteral("{\"id\":\"A1B2C3D4E5F6\",\"color\":\"x\",\"otaUsb\":0}");
    QTest::newRow("console text runs into it") << QStringLiteral("I (523) wifi: connected") << QString() << false
                                               << QStringLiteral("I (523) wifi: connectedNERRA:READY:") + real;
    QTest::newRow("malformed record") << QString() << QStringLiteral("{\"id\":\"A1B2") << false
                                      << QStringLiteral("NERRA:READY:{\"id\":\"A1B2");
    QTest::newRow("colour missing") << QString() << noColour << false << QStringLiteral("NERRA:READY:") + noColour;
    QTest::newRow("colour not a number, otaUsb 0")
        << QString() << zeroOta << false << QStringLiteral("NERRA:READY:") + zeroOta;
    QTest::newRow("empty record") << QString() << QStringLiteral("") << false << QStringLiteral("NERRA:READY:");
    QTest::newRow("faults cleared") << QStringLiteral("I (1) boot") << zeroOta << true
                                    << QStringLiteral("NERRA:READY:") + real;
}

void TestUsbInstrument::readyLineFaults()
{
    QFETCH(QString, prefix);
    QFETCH(QString, record);
    QFETCH(bool, cleared);
    QFETCH(QString, expected);

    QVERIFY(connectClient());
    m_usb->setMergedReadyPrefix(prefix);
    m_usb->setReadyRecordText(record);
    if (cleared)
        m_usb->clearFaults();
    m_client->sendHandshake();
    QCOMPARE(m_client->takeLine(), expected);
    // The session is open whatever the record said.
    QVERIFY(m_usb->inSession());
}

void TestUsbInstrument::vanishMidBody_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("send");
    QTest::addColumn<QStringList>("received");

    QTest::newRow("instrument to program")
        << QStringLiteral("GET_PROTOCOL") << QStringList{QStringLiteral("CMD:GET_PROTOCOL:five.csv")}
        << QStringList{QStringLiteral("DATA:GET_PROTOCOL:1"), QStringLiteral("DATA:GET_PROTOCOL:2")};
    QTest::newRow("program to instrument")
        << QStringLiteral("PUT_PROTOCOL")
        << QStringList{QStringLiteral("CMD:PUT_PROTOCOL:new.csv"), QStringLiteral("1"), QStringLiteral("2"),
                       QStringLiteral("3"), QStringLiteral("END:PUT_PROTOCOL")}
        << QStringList{QStringLiteral("OK:PUT_PROTOCOL")};
}

void TestUsbInstrument::vanishMidBody()
{
    QFETCH(QString, command);
    QFETCH(QStringList, send);
    QFETCH(QStringList, received);
    QVERIFY(m_state->putFile(QStringLiteral("five.csv"), "1\n2\n3\n4\n5\n"));
    QVERIFY(connectClient());
    QVERIFY(!openSession().isEmpty());
    m_usb->setVanishMidBody(command, 2);
    QSignalSpy ports(m_usb.get(), &UsbInstrument::portNameChanged);

    for (const QString &line : send)
        m_client->writeLine(line);
    QVERIFY(m_client->waitForHangUp());
    QCOMPARE(m_client->pending(), received);
    QCOMPARE(ports.count(), 1);
    QCOMPARE(ports.first().first().toString(), QString());
    QVERIFY(!m_usb->isPresent());
    QCOMPARE(m_state->fileNames(), QStringList{QStringLiteral("five.csv")});

    // Plugged in again, under a new path, with no session left over.
    QVERIFY(m_usb->plugIn());
    QVERIFY(connectClient());
    QVERIFY(!m_usb->inSession());
}

void TestUsbInstrument::slowInstrument()
{
    QVERIFY(connectClient());
    m_usb->setReplyDelay(300);
    QElapsedTimer clock;
    clock.start();
    m_client->sendHandshake();
    m_client->writeLine(QStringLiteral("CMD:GET_INFO"));
    const QStringList lines = m_client->takeLines(3);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].startsWith(QLatin1String("NERRA:READY:")));
    QVERIFY(lines[1].startsWith(QLatin1String("DATA:GET_INFO:")));
    QVERIFY(clock.elapsed() >= 300);
}

void TestUsbInstrument::firmwareUpdateConfirmed()
{
    m_usb->setChunkSize(128);
    QVERIFY(connectClient());
    QVERIFY(!openSession().isEmpty());
    const QByteArray image = firmwareImage(QStringLiteral("1.5.0"), 300);
    run({{{QStringLiteral("CMD:OTA_BEGIN:%1:%2").arg(image.size()).arg(sha256(image))},
          {QStringLiteral("LOG:update of 300 bytes begins"), QStringLiteral("OK:OTA_BEGIN:128")}}});
    sendImage(image, 128);
    const QString port = m_usb->portName();
    run({{{QStringLiteral("CMD:OTA_STATUS")}, {QStringLiteral("OK:OTA_STATUS:300")}},
         {{QStringLiteral("CMD:OTA_END")}, {QStringLiteral("LOG:image verified"), QStringLiteral("OK:OTA:verified")}},
         {{QStringLiteral("CMD:OTA_APPLY")}, {QStringLiteral("OK:OTA:rebooting")}}});

    const QJsonObject ready = followRestart(port);
    QCOMPARE(ready.value(QStringLiteral("fw")).toString(), QStringLiteral("1.5.0"));
    QVERIFY(!m_state->imageConfirmed());
    // An unconfirmed image refuses the next update.
    run({{{QStringLiteral("CMD:OTA_BEGIN:%1:%2").arg(image.size()).arg(sha256(image))},
          {QStringLiteral("ERR:PENDING_CONFIRM")}},
         {{QStringLiteral("CMD:OTA_CONFIRM")},
          {QStringLiteral("LOG:firmware 1.5.0 confirmed"), QStringLiteral("OK:OTA:confirmed")}}});

    // Confirmed, it survives the next restart.
    const QString confirmedPort = m_usb->portName();
    m_usb->restart();
    QCOMPARE(followRestart(confirmedPort).value(QStringLiteral("fw")).toString(), QStringLiteral("1.5.0"));
}

void TestUsbInstrument::firmwareRolledBackWithoutConfirm()
{
    QVERIFY(connectClient());
    QVERIFY(!openSession().isEmpty());
    const QByteArray image = firmwareImage(QStringLiteral("2.0.1"), 1000);
    run({{{QStringLiteral("CMD:OTA_BEGIN:%1:%2").arg(image.size()).arg(sha256(image))},
          {QStringLiteral("LOG:*"), QStringLiteral("OK:OTA_BEGIN:256")}}});
    sendImage(image, 256);
    QString port = m_usb->portName();
    run({{{QStringLiteral("CMD:OTA_END"), QStringLiteral("CMD:OTA_APPLY")},
          {QStringLiteral("LOG:image verified"), QStringLiteral("OK:OTA:verified"), QStringLiteral("OK:OTA:rebooting")}}});
    QCOMPARE(followRestart(port).value(QStringLiteral("fw")).toString(), QStringLiteral("2.0.1"));

    // Restarted before anyone confirmed: the earlier image comes back.
    port = m_usb->portName();
    run({{{QStringLiteral("CMD:REBOOT")}, {QStringLiteral("OK:REBOOT")}}});
    QCOMPARE(followRestart(port).value(QStringLiteral("fw")).toString(), QStringLiteral("1.4.2"));
    QVERIFY(m_state->imageConfirmed());
    QCOMPARE(m_state->previousFirmwareVersion(), QStringLiteral("1.4.2"));
}

void TestUsbInstrument::firmwareTransferFaults_data()
{
    QTest::addColumn<int>("corruptChunk");
    QTest::addColumn<int>("rejectChunk");
    QTest::addColumn<QStringList>("chunks");
    QTest::addColumn<QStringList>("expect");

    const QByteArray image = firmwareImage(QStringLiteral("1.6.0"), 300);
    const QString first = QStringLiteral("CMD:OTA_CHUNK:") + QString::fromLatin1(image.left(128).toBase64());
    const QString second = QStringLiteral("CMD:OTA_CHUNK:") + QString::fromLatin1(image.mid(128, 128).toBase64());
    const QString rest = QStringLiteral("CMD:OTA_CHUNK:") + QString::fromLatin1(image.mid(256).toBase64());
    const QString end = QStringLiteral("CMD:OTA_END");

    QTest::newRow("corrupted chunk fails verification")
        << 2 << 0 << QStringList{first, second, rest, end}
        << QStringList{QStringLiteral("OK:OTA_CHUNK:128"), QStringLiteral("OK:OTA_CHUNK:256"),
                       QStringLiteral("OK:OTA_CHUNK:300"), QStringLiteral("LOG:sha256*"),
                       QStringLiteral("ERR:CHECKSUM mismatch")};
    QTest::newRow("refused chunk is not counted")
        << 0 << 2 << QStringList{first, second, QStringLiteral("CMD:OTA_STATUS"), second, rest, end}
        << QStringList{QStringLiteral("OK:OTA_CHUNK:128"), QStringLiteral("ERR:BADCHUNK"),
                       QStringLiteral("OK:OTA_STATUS:128"), QStringLiteral("OK:OTA_CHUNK:256"),
                       QStringLiteral("OK:OTA_CHUNK:300"), QStringLiteral("LOG:image verified"),
                       QStringLiteral("OK:OTA:verified")};
    QTest::newRow("damaged Base64")
        << 0 << 0 << QStringList{QStringLiteral("CMD:OTA_CHUNK:@@@@"), QStringLiteral("CMD:OTA_CHUNK:")}
        << QStringList{QStringLiteral("ERR:BADCHUNK"), QStringLiteral("ERR:BADCHUNK")};
    QTest::newRow("chunk above the chosen size")
        << 0 << 0
        << QStringList{QStringLiteral("CMD:OTA_CHUNK:") + QString::fromLatin1(image.left(129).toBase64())}
        << QStringList{QStringLiteral("ERR:CHUNK_TOO_BIG")};
    QTest::newRow("end before the last byte")
        << 0 << 0 << QStringList{first, end, QStringLiteral("CMD:OTA_APPLY")}
        << QStringList{QStringLiteral("OK:OTA_CHUNK:128"), QStringLiteral("ERR:incomplete image: 128 of 300 bytes"),
                       QStringLiteral("ERR:image not verified")};
}

void TestUsbInstrument::firmwareTransferFaults()
{
    QFETCH(int, corruptChunk);
    QFETCH(int, rejectChunk);
    QFETCH(QStringList, chunks);
    QFETCH(QStringList, expect);

    m_usb->setChunkSize(128);
    m_usb->setCorruptChunk(corruptChunk);
    m_usb->setRejectChunk(rejectChunk);
    QVERIFY(connectClient());
    QVERIFY(!openSession().isEmpty());
    const QByteArray image = firmwareImage(QStringLiteral("1.6.0"), 300);
    run({{{QStringLiteral("CMD:OTA_CHUNK:AAAA")}, {QStringLiteral("ERR:no update in progress")}},
         {{QStringLiteral("CMD:OTA_BEGIN:300:nothex")}, {QStringLiteral("ERR:bad image size or hash")}},
         {{QStringLiteral("CMD:OTA_BEGIN:%1:%2").arg(image.size()).arg(sha256(image))},
          {QStringLiteral("LOG:*"), QStringLiteral("OK:OTA_BEGIN:128")}},
         {chunks, expect}});
    QCOMPARE(m_state->firmwareVersion(), QStringLiteral("1.4.2"));
    QVERIFY(!m_state->hasStagedImage());
}

void TestUsbInstrument::firmwareWithoutUsbUpdate()
{
    // Firmware from before USB updates: no "otaUsb" in its record, no update commands.
    m_state->setFirmware(QStringLiteral("1.0.3"), 0);
    QVERIFY(connectClient());
    const QJsonObject ready = openSession();
    QCOMPARE(ready.value(QStringLiteral("fw")).toString(), QStringLiteral("1.0.3"));
    QVERIFY(!ready.contains(QStringLiteral("otaUsb")));
    run({{{QStringLiteral("CMD:OTA_BEGIN:10:") + QString(64, QLatin1Char('0'))},
          {QStringLiteral("ERR:unknown command OTA_BEGIN")}}});

    // And an image that declares no USB update support boots without the key.
    m_state->setFirmware(QStringLiteral("1.4.2"), 1);
    const QByteArray image = firmwareImage(QStringLiteral("1.1.0"), 200, 0);
    run({{{QStringLiteral("CMD:OTA_BEGIN:%1:%2").arg(image.size()).arg(sha256(image))},
          {QStringLiteral("LOG:*"), QStringLiteral("OK:OTA_BEGIN:256")}},
         {{QStringLiteral("CMD:OTA_CHUNK:") + QString::fromLatin1(image.toBase64()), QStringLiteral("CMD:OTA_END"),
           QStringLiteral("CMD:OTA_APPLY")},
          {QStringLiteral("OK:OTA_CHUNK:200"), QStringLiteral("LOG:image verified"), QStringLiteral("OK:OTA:verified"),
           QStringLiteral("OK:OTA:rebooting")}}});
    const QString port = m_usb->portName();
    const QJsonObject after = followRestart(port);
    QCOMPARE(after.value(QStringLiteral("fw")).toString(), QStringLiteral("1.1.0"));
    QVERIFY(!after.contains(QStringLiteral("otaUsb")));

    // It has no confirm step, so it counts as confirmed and stays at the next restart.
    QVERIFY(m_state->imageConfirmed());
    const QString newPort = m_usb->portName();
    m_usb->restart();
    QCOMPARE(followRestart(newPort).value(QStringLiteral("fw")).toString(), QStringLiteral("1.1.0"));
    QCOMPARE(m_state->previousFirmwareVersion(), QStringLiteral("1.1.0"));
}

void TestUsbInstrument::rebootComesBackUnderNewPath()
{
    QVERIFY(connectClient());
    QVERIFY(!openSession().isEmpty());
    const QString port = m_usb->portName();
    QSignalSpy ports(m_usb.get(), &UsbInstrument::portNameChanged);
    QSignalSpy restarted(m_usb.get(), &UsbInstrument::restarted);
    run({{{QStringLiteral("CMD:REBOOT")}, {QStringLiteral("OK:REBOOT")}}});
    QVERIFY(!followRestart(port).isEmpty());
    QCOMPARE(restarted.count(), 1);
    QCOMPARE(ports.count(), 2);
    QCOMPARE(ports.at(0).first().toString(), QString());
    QCOMPARE(ports.at(1).first().toString(), m_usb->portName());
    QVERIFY(m_usb->portName() != port);
}

void TestUsbInstrument::unpluggedStaysGone_data()
{
    QTest::addColumn<QStringList>("send");

    const QByteArray image = firmwareImage(QStringLiteral("1.7.0"), 100);
    QTest::newRow("pulled after OK:REBOOT") << QStringList{QStringLiteral("CMD:REBOOT")};
    QTest::newRow("pulled after OK:OTA:rebooting")
        << QStringList{QStringLiteral("CMD:OTA_BEGIN:%1:%2").arg(image.size()).arg(sha256(image)),
                       QStringLiteral("CMD:OTA_CHUNK:") + QString::fromLatin1(image.toBase64()),
                       QStringLiteral("CMD:OTA_END"), QStringLiteral("CMD:OTA_APPLY")};
    QTest::newRow("restart() while unplugged") << QStringList();
}

void TestUsbInstrument::unpluggedStaysGone()
{
    QFETCH(QStringList, send);
    QVERIFY(connectClient());
    QVERIFY(!openSession().isEmpty());
    QSignalSpy restarted(m_usb.get(), &UsbInstrument::restarted);
    QSignalSpy ports(m_usb.get(), &UsbInstrument::portNameChanged);
    QObject context;
    if (send.isEmpty()) {
        m_usb->unplug();
        m_usb->restart();
    } else {
        // Pulled as soon as the last answer has gone out, while the restart waits for the
        // program to read it.
        const QString last = send.constLast();
        connect(
            m_usb.get(), &UsbInstrument::lineReceived, &context,
            [this, last](const QString &line) {
                if (line == last)
                    m_usb->unplug();
            },
            Qt::QueuedConnection);
        for (const QString &line : send)
            m_client->writeLine(line);
    }
    QVERIFY(m_client->waitForHangUp());
    QVERIFY(!restarted.wait(300));
    QCOMPARE(restarted.count(), 0);
    QVERIFY(!m_usb->isPresent());
    QCOMPARE(ports.count(), 1);
    QCOMPARE(ports.first().first().toString(), QString());

    // Plugged in again, it is there until pulled, and stays put.
    m_client->close();
    QVERIFY(m_usb->plugIn());
    QVERIFY(connectClient());
    QVERIFY(!restarted.wait(100));
    QCOMPARE(ports.count(), 2);
}

void TestUsbInstrument::portListerShowsPresentInstruments()
{
    SimulatedPortLister lister;
    lister.setIncludeSystemPorts(false);
    lister.addInstrument(m_usb.get());
    QList<SerialPortEntry> ports = lister.availablePorts();
    QCOMPARE(ports.size(), 1);
    QCOMPARE(ports.first().portName, m_usb->portName());
    QCOMPARE(ports.first().vendorId, quint16(0x303A));
    QCOMPARE(ports.first().productId, quint16(0x1001));

    // Gone while restarting, back under the new path afterwards.
    m_usb->setRestartDelay(200);
    m_usb->restart();
    QVERIFY(lister.availablePorts().isEmpty());
    QTRY_COMPARE(lister.availablePorts().size(), 1);
    QCOMPARE(lister.availablePorts().first().portName, m_usb->portName());

    m_usb->unplug();
    QVERIFY(lister.availablePorts().isEmpty());
    m_usb.reset();
    QVERIFY(lister.availablePorts().isEmpty());
}

void TestUsbInstrument::stateKeptInFolder()
{
    const QString folder = m_env->root() + QStringLiteral("/instrument");
    {
        InstrumentState state;
        QVERIFY(state.setStorageFolder(folder));
        state.setHardwareId(QStringLiteral("0F0E0D0C0B0A"));
        QVERIFY(state.putFile(QStringLiteral("kept.csv"), "a\nb\n"));
        QVERIFY(state.putFile(QStringLiteral("Lösung (2).csv"), "c\n"));
        QVERIFY(!state.putFile(QStringLiteral("../outside.csv"), "x"));
        QVERIFY(state.setCoefficient(4, 1.0125));
        QVERIFY(state.setPreference(QStringLiteral("password"), QStringLiteral("s3cret")));
        state.setCertificateRecord(QStringLiteral("{\"sn\":\"1\"}"));
        state.stageImage(firmwareImage(QStringLiteral("3.0.0"), 64));
    }
    QVERIFY(!QFile::exists(m_env->root() + QStringLiteral("/outside.csv")));
    InstrumentState state;
    QVERIFY(state.setStorageFolder(folder));
    QCOMPARE(state.hardwareId(), QStringLiteral("0F0E0D0C0B0A"));
    QCOMPARE(state.fileNames(), (QStringList{QStringLiteral("Lösung (2).csv"), QStringLiteral("kept.csv")}));
    QCOMPARE(state.file(QStringLiteral("Lösung (2).csv")), QByteArray("c\n"));
    QCOMPARE(state.file(QStringLiteral("kept.csv")), QByteArray("a\nb\n"));
    QCOMPARE(state.coefficients().at(4), 1.0125);
    QCOMPARE(state.preferences().value(QStringLiteral("password")).toString(), QStringLiteral("s3cret"));
    QVERIFY(state.hasCertificate());
    // The staged image waits in flash for the next start.
    QVERIFY(state.hasStagedImage());
    QCOMPARE(state.boot(), InstrumentState::BootOutcome::NewImage);
    QCOMPARE(state.firmwareVersion(), QStringLiteral("3.0.0"));
}

void TestUsbInstrument::standaloneProgram()
{
    QProcess sim;
    sim.setProgram(QStringLiteral(NERRA_SIM_EXECUTABLE));
    sim.setArguments({QStringLiteral("--id"), QStringLiteral("ABCDEF012345"), QStringLiteral("--name"),
                      QStringLiteral("Demo"), QStringLiteral("--state"), m_env->root() + QStringLiteral("/demo")});
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start();
    QVERIFY(sim.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 10000);
    const QString port = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QVERIFY2(port.startsWith(QLatin1String("/dev/pts/")), qPrintable(port));

    QVERIFY(m_client->open(port));
    QVERIFY(!m_client->takeUntil([](const QString &l) { return l == QLatin1String("ready"); }).isEmpty());
    m_client->sendHandshake();
    const QString ready = m_client->takeLine();
    QVERIFY2(ready.startsWith(QLatin1String("NERRA:READY:")), qPrintable(ready));
    const QJsonObject record = QJsonDocument::fromJson(ready.mid(12).toUtf8()).object();
    QCOMPARE(record.value(QStringLiteral("id")).toString(), QStringLiteral("ABCDEF012345"));
    QCOMPARE(record.value(QStringLiteral("name")).toString(), QStringLiteral("Demo"));

    m_client->close();
    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(QFile::exists(m_env->root() + QStringLiteral("/demo/state.json")));
}

NERRA_TEST_MAIN(TestUsbInstrument)
#include "tst_usbinstrument.moc"
