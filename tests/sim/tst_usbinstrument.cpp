// The simulated instrument's own behaviour that the link tests do not reach: its firmware
// update with confirm and roll-back, the state it keeps for --simulate, and the standalone
// program. Its command answers and faults are driven by the link tests.

#include "instrumentstate.h"
#include "serialtestclient.h"
#include "testmain.h"
#include "usbinstrument.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>

#include <memory>

namespace {

// One line of the instrument's answer: exact, or "prefix*".
bool lineMatches(const QString &line, const QString &expected)
{
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

class TestUsbInstrument : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firmwareUpdateConfirmed();
    void firmwareRolledBackWithoutConfirm();
    void stateKeptInFolder();
    void standaloneProgram();

private:
    bool connectClient();
    QJsonObject openSession();
    void run(const Dialogue &dialogue);
    // Waits for the restart that follows "OK:OTA:rebooting" or "OK:REBOOT" and opens the
    // new port; returns the ready record of a fresh session.
    QJsonObject followRestart(const QString &oldPort);
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
