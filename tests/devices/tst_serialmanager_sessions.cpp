// The USB link's command sessions against the simulated instrument, over a real
// pseudo-terminal and QSerialPort: what reaches the wire, what comes back as signals, and
// how every operation ends (success, refusal, "ERR:", time-out, cancel).

#include "filesizelimit.h"
#include "testfiles.h"
#include "testmain.h"
#include "tst_serialmanager_fixture.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <QSignalSpy>

#include <cmath>

namespace {

const QString Handshake = handshakeLine();
const QString Disconnect = disconnectLine();

using Call = std::function<void(SerialManager &)>;

QVariantList coefficients(std::initializer_list<QPair<int, double>> pairs)
{
    QVariantList list;
    for (const auto &pair : pairs)
        list.append(QVariantMap{{QStringLiteral("index"), pair.first}, {QStringLiteral("value"), pair.second}});
    return list;
}

} // namespace

Q_DECLARE_METATYPE(Call)

class TestSerialManagerSessions : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void uploadWritesTheBodyAndEndsTheSession_data();
    void uploadWritesTheBodyAndEndsTheSession();
    void listThenDownloadsUseOneSession();
    void refusedWhenNotConnected_data();
    void refusedWhenNotConnected();
    void refusedWhenBusy_data();
    void refusedWhenBusy();
    void calibrationWriteWithDate_data();
    void calibrationWriteWithDate();
    void calibrationReadChainsThePreferences();
    void preferenceWritesAreCleanedAndThePasswordHidden();
    void unsafeNamesNeverReachTheWire_data();
    void unsafeNamesNeverReachTheWire();
    void sessionOperationsInAnOpenSession();
    void rebootEndsTheSessionWithoutDisconnect();
    void cancelForgetsPendingWork();
    void certificateSessions_data();
    void certificateSessions();

private:
    std::unique_ptr<LinkCase> m_case;
    SimulatedLink *m_sim = nullptr;
    LogCapture *m_log = nullptr;
};

void TestSerialManagerSessions::init()
{
    m_case = std::make_unique<LinkCase>();
    m_sim = &m_case->sim;
    m_log = &m_case->log;
}

void TestSerialManagerSessions::cleanup()
{
    m_case.reset();
}

void TestSerialManagerSessions::uploadWritesTheBodyAndEndsTheSession_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("bodyLines");

    QTest::newRow("final LF") << QByteArray("TIPSELECT,S,,,,,,,,\nASPIRATE,S,50.0,0,,,,4,\n")
                              << QStringList{QStringLiteral("TIPSELECT,S,,,,,,,,"),
                                             QStringLiteral("ASPIRATE,S,50.0,0,,,,4,"), QString()};
    QTest::newRow("no final LF") << QByteArray("TIPSELECT,L,,,,,,,,\nPURGE,L,,,,,,7,")
                                 << QStringList{QStringLiteral("TIPSELECT,L,,,,,,,,"), QStringLiteral("PURGE,L,,,,,,7,")};
}

void TestSerialManagerSessions::uploadWritesTheBodyAndEndsTheSession()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, bodyLines);
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    QSignalSpy complete(&link, &DeviceConnection::transferComplete);

    link.putProtocol(QStringLiteral("dose.csv"), body);
    QVERIFY(link.isTransferring());
    QCOMPARE(link.statusMessage(), QStringLiteral("Sending dose.csv..."));
    QVERIFY(complete.wait(5000));
    QVERIFY(!link.isTransferring());
    QCOMPARE(link.protocolState(), SerialManager::Idle);

    const QStringList expected = QStringList{Handshake, QStringLiteral("CMD:PUT_PROTOCOL:dose.csv")} + bodyLines
        + QStringList{QStringLiteral("END:PUT_PROTOCOL"), Disconnect};
    QVERIFY2(m_sim->waitForWire(expected), qPrintable(m_sim->wire().join(QLatin1Char('|'))));
    QCOMPARE(m_sim->state.file(QStringLiteral("dose.csv")), body);
}

void TestSerialManagerSessions::listThenDownloadsUseOneSession()
{
    const QByteArray a("ASPIRATE,S,10.0,0,,,,4,\nDISPENSE,S,10.0,0,,,,4,\nPURGE,S,,,,,,4,");
    const QByteArray b = QStringLiteral("MIX,S,12.5,0,2,,,3,\n; Müller 5 µL – ok").toUtf8();
    const QByteArray c("\nLOOPSTART,,,,,,,,2\nLOOPEND,,,,,,,,");
    // The instrument's last line end does not come back; a leading blank line does.
    m_sim->state.putFile(QStringLiteral("a.csv"), a + '\n');
    m_sim->state.putFile(QStringLiteral("b.csv"), b);
    m_sim->state.putFile(QStringLiteral("c.csv"), c);
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    QSignalSpy listed(&link, &DeviceConnection::protocolListReceived);
    QSignalSpy received(&link, &DeviceConnection::protocolReceived);
    QSignalSpy errors(&link, &DeviceConnection::errorOccurred);

    link.listProtocols();
    QVERIFY(listed.wait(5000));
    const QStringList names = listed.constFirst().constFirst().toStringList();
    QCOMPARE(names, (QStringList{QStringLiteral("a.csv"), QStringLiteral("b.csv"), QStringLiteral("c.csv")}));
    for (const QString &name : names) {
        link.getProtocol(name);
        QVERIFY(received.wait(5000));
        QCOMPARE(link.protocolState(), SerialManager::Ready);
    }
    link.disconnectProtocol();
    QCOMPARE(errors.count(), 0);
    QCOMPARE(received.at(0), (QVariantList{QStringLiteral("a.csv"), a}));
    QCOMPARE(received.at(1), (QVariantList{QStringLiteral("b.csv"), b}));
    QCOMPARE(received.at(2), (QVariantList{QStringLiteral("c.csv"), c}));
    const QStringList expected{Handshake,
                               QStringLiteral("CMD:LIST_PROTOCOLS"),
                               QStringLiteral("CMD:GET_PROTOCOL:a.csv"),
                               QStringLiteral("CMD:GET_PROTOCOL:b.csv"),
                               QStringLiteral("CMD:GET_PROTOCOL:c.csv"),
                               Disconnect};
    QVERIFY2(m_sim->waitForWire(expected), qPrintable(m_sim->wire().join(QLatin1Char('|'))));
}

void TestSerialManagerSessions::refusedWhenNotConnected_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<QString>("otherSignal");
    QTest::addColumn<QVariantList>("otherArguments");

    auto row = [](const char *name, Call call, QStringList errors, QString other = QString(), QVariantList args = {}) {
        QTest::newRow(name) << call << errors << other << args;
    };
    row("putProtocol", [](SerialManager &l) { l.putProtocol(QStringLiteral("a.csv"), "x"); },
        {QStringLiteral("putProtocol: not connected")}, QStringLiteral("transferFailed"),
        {QStringLiteral("Device is not connected")});
    row("listProtocols", [](SerialManager &l) { l.listProtocols(); }, {QStringLiteral("listProtocols: not connected")});
    row("getDeviceInfo", [](SerialManager &l) { l.getDeviceInfo(); }, {QStringLiteral("getDeviceInfo: not connected")});
    row("fetchCalibration", [](SerialManager &l) { QVERIFY(!l.fetchCalibration()); }, {});
    row("applyCalibration",
        [](SerialManager &l) { l.applyCalibration(coefficients({{0, 1.0}}), QStringLiteral("2026-01-01")); }, {},
        QStringLiteral("calibrationApplied"), {false});
    row("setPref", [](SerialManager &l) { l.setPref(QStringLiteral("name"), QStringLiteral("X")); }, {},
        QStringLiteral("setPrefResult"), {false, QStringLiteral("name")});
    row("beginUsbOta", [](SerialManager &l) { l.beginUsbOta(); }, {}, QStringLiteral("otaSessionFailed"),
        {QStringLiteral("not connected")});
    row("putCertificate", [](SerialManager &l) { l.putCertificate(QStringLiteral("{}"), QString()); },
        {QStringLiteral("putCertificate: not connected")});
}

void TestSerialManagerSessions::refusedWhenNotConnected()
{
    QFETCH(Call, call);
    QFETCH(QStringList, errors);
    QFETCH(QString, otherSignal);
    QFETCH(QVariantList, otherArguments);

    SerialManager link;
    StaticPortLister none;
    link.setPortLister(&none);
    OutcomeSpies outcome(&link);
    QSignalSpy status(&link, &DeviceConnection::statusMessageChanged);
    call(link);

    QCOMPARE(outcome.errorMessages(), errors);
    const QString mismatch = outcome.mismatch(otherSignal, otherArguments);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    QCOMPARE(status.count(), 0);
    QCOMPARE(link.protocolState(), SerialManager::Idle);
}

void TestSerialManagerSessions::refusedWhenBusy_data()
{
    QTest::addColumn<bool>("sessionOpen");
    QTest::addColumn<Call>("call");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("resultSignal");
    QTest::addColumn<QVariantList>("resultArguments");

    auto row = [](const char *name, bool open, Call call, const QString &error, const QString &signal = QString(),
                  const QVariantList &args = {}) { QTest::newRow(name) << open << call << error << signal << args; };
    // While a list session is open (Ready): self-contained operations are busy.
    row("upload in Ready", true, [](SerialManager &l) { l.putProtocol(QStringLiteral("x.csv"), "PURGE,S,,,,,,4,\n"); },
        QStringLiteral("putProtocol: protocol busy"), QStringLiteral("transferFailed"),
        {QStringLiteral("Device is busy — try again in a moment")});
    row("delete in Ready", true, [](SerialManager &l) { l.deleteProtocol(QStringLiteral("a.csv")); },
        QStringLiteral("deleteProtocol: protocol busy"));
    row("setPref in Ready", true, [](SerialManager &l) { l.setPref(QStringLiteral("name"), QStringLiteral("N")); },
        QString(), QStringLiteral("setPrefResult"), {false, QStringLiteral("name")});
    row("applyCalibration in Ready", true,
        [](SerialManager &l) { l.applyCalibration(coefficients({{1, 1.0}}), QString()); }, QString(),
        QStringLiteral("calibrationApplied"), {false});
    row("fetchCalibration in Ready", true, [](SerialManager &l) { QVERIFY(!l.fetchCalibration()); }, QString());
    row("beginUsbOta while listing", false,
        [](SerialManager &l) {
            l.listProtocols();
            l.beginUsbOta();
        },
        QString(), QStringLiteral("otaSessionFailed"), {QStringLiteral("protocol busy")});
    // Session operations need an open session, and a coefficient the instrument has.
    row("getDeviceInfo in Idle", false, [](SerialManager &l) { l.getDeviceInfo(); },
        QStringLiteral("getDeviceInfo: not in protocol mode — call connectProtocol() first"));
    row("setCalibration index 8", true, [](SerialManager &l) { l.setCalibration(8, 1.0f); },
        QStringLiteral("setCalibration: coefficient index must be 0 to 7"));
    row("setCalibration not a number", true, [](SerialManager &l) { l.setCalibration(2, std::nanf("")); },
        QStringLiteral("setCalibration: invalid coefficient value"));
    row("getCalibration while connecting", false,
        [](SerialManager &l) {
            l.listProtocols();
            l.getCalibration();
        },
        QStringLiteral("getCalibration: protocol busy"));
    row("certificate download in Ready", true, [](SerialManager &l) { l.getCertificateFile(); },
        QStringLiteral("getCertificateFile: protocol busy"));
    row("get while connecting", false,
        [](SerialManager &l) {
            l.listProtocols();
            l.getProtocol(QStringLiteral("a.csv"));
        },
        QStringLiteral("getProtocol: protocol busy"));
}

void TestSerialManagerSessions::refusedWhenBusy()
{
    QFETCH(bool, sessionOpen);
    QFETCH(Call, call);
    QFETCH(QString, error);
    QFETCH(QString, resultSignal);
    QFETCH(QVariantList, resultArguments);
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    if (sessionOpen) {
        QSignalSpy listed(&link, &DeviceConnection::protocolListReceived);
        link.listProtocols();
        QVERIFY(listed.wait(5000));
    }
    OutcomeSpies outcome(&link);
    call(link);
    QCOMPARE(outcome.errorMessages(), error.isEmpty() ? QStringList() : QStringList{error});
    const QString mismatch = outcome.mismatch(resultSignal, resultArguments);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    // Whatever was refused never reached the instrument.
    link.disconnectProtocol();
    QTRY_VERIFY(!m_sim->usb->inSession());
    for (const QString &line : m_sim->wire()) {
        QVERIFY2(!line.startsWith(QLatin1String("CMD:DEL_PROTOCOL")) && !line.startsWith(QLatin1String("CMD:SET_"))
                     && !line.startsWith(QLatin1String("CMD:GET_CAL")) && !line.startsWith(QLatin1String("CMD:GET_INFO"))
                     && !line.startsWith(QLatin1String("CMD:GET_PREFS")) && !line.startsWith(QLatin1String("CMD:REBOOT")),
                 qPrintable(line));
    }
}

void TestSerialManagerSessions::calibrationWriteWithDate_data()
{
    QTest::addColumn<QString>("date");
    QTest::addColumn<QStringList>("dateLines");
    QTest::newRow("without date") << QString() << QStringList();
    QTest::newRow("date with control characters") << QStringLiteral("2026-05-\n06\t")
                                                  << QStringList{QStringLiteral("CMD:SET_PREF:calDate:2026-05-06")};
}

void TestSerialManagerSessions::calibrationWriteWithDate()
{
    QFETCH(QString, date);
    QFETCH(QStringList, dateLines);
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    QSignalSpy applied(&link, &DeviceConnection::calibrationApplied);
    QSignalSpy dateChanged(&link, &SerialManager::calibrationDateChanged);

    link.applyCalibration(coefficients({{0, 1.5}, {4, 0.987654}, {7, 1.0}}), date);
    QVERIFY(link.isTransferring());
    QVERIFY(applied.wait(5000));
    QCOMPARE(applied.constFirst(), QVariantList{true});
    QVERIFY(!link.isTransferring());
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QCOMPARE(dateChanged.count(), dateLines.isEmpty() ? 0 : 1);
    if (!dateLines.isEmpty())
        QCOMPARE(link.calibrationDate(), QStringLiteral("2026-05-06"));

    const QStringList expected = QStringList{Handshake, QStringLiteral("CMD:SET_CAL:0:1.500000"),
                                             QStringLiteral("CMD:SET_CAL:4:0.987654"), QStringLiteral("CMD:SET_CAL:7:1.000000")}
        + dateLines + QStringList{Disconnect};
    QVERIFY2(m_sim->waitForWire(expected), qPrintable(m_sim->wire().join(QLatin1Char('|'))));
    QCOMPARE(m_sim->state.coefficients().at(0), 1.5);
    QCOMPARE(m_sim->state.coefficients().at(4), 0.987654);

    // Malformed lists never write anything.
    QSignalSpy errors(&link, &DeviceConnection::errorOccurred);
    m_sim->usb->clearReceived();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("malformed coefficient entry")));
    link.applyCalibration({QVariantMap{{QStringLiteral("value"), 2.0}}}, date);
    link.applyCalibration({}, date);
    QCOMPARE(applied.count(), 3);
    QCOMPARE(applied.at(1), QVariantList{false});
    QCOMPARE(applied.at(2), QVariantList{false});
    QCOMPARE(errors.count(), 1);
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QVERIFY(m_sim->wire().isEmpty());
}

void TestSerialManagerSessions::calibrationReadChainsThePreferences()
{
    m_sim->state.setCoefficient(2, 1.25);
    m_sim->state.setPreference(QStringLiteral("calDate"), QStringLiteral("2025-12-24"));
    m_sim->state.setPreference(QStringLiteral("password"), QStringLiteral("Pw-9x!"));
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    QSignalSpy calibration(&link, &DeviceConnection::calibrationReceived);
    QSignalSpy dataChanged(&link, &SerialManager::calibrationDataChanged);
    QSignalSpy dateChanged(&link, &SerialManager::calibrationDateChanged);
    QSignalSpy prefs(&link, &DeviceConnection::prefsReceived);

    QVERIFY(link.fetchCalibration());
    QVERIFY(calibration.wait(5000));
    const QVariantMap record = calibration.constFirst().constFirst().toMap();
    QCOMPARE(record.keys().size(), 8);
    QCOMPARE(record.value(QStringLiteral("st10")).toDouble(), 1.25);
    QCOMPARE(link.calibrationData(), record);
    QCOMPARE(dataChanged.count(), 1);
    QTRY_COMPARE(link.calibrationDate(), QStringLiteral("2025-12-24"));
    QCOMPARE(dateChanged.count(), 1);
    QTRY_COMPARE(link.protocolState(), SerialManager::Idle);
    QCOMPARE(prefs.count(), 0);
    QVERIFY2(m_sim->waitForWire({Handshake, QStringLiteral("CMD:GET_CAL"), QStringLiteral("CMD:GET_PREFS"), Disconnect}),
             qPrintable(m_sim->wire().join(QLatin1Char('|'))));
    // The preferences record carries the Wi-Fi password; the log does not.
    QVERIFY(m_log->contains(QStringLiteral("\"password\":\"***\"")));
    QVERIFY(!m_log->contains(QStringLiteral("Pw-9x!")));
}

void TestSerialManagerSessions::preferenceWritesAreCleanedAndThePasswordHidden()
{
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    QSignalSpy result(&link, &DeviceConnection::setPrefResult);
    // Control characters never reach the instrument, and the identity shows what it stored.
    link.setPref(QStringLiteral("sn"), QStringLiteral("NS-\t00\n77\x7f"));
    QCOMPARE(link.statusMessage(), QStringLiteral("Setting sn..."));
    QVERIFY(result.wait(5000));
    QCOMPARE(result.constFirst(), (QVariantList{true, QStringLiteral("sn")}));
    QCOMPARE(link.statusMessage(), QStringLiteral("Preference saved"));
    QCOMPARE(link.usbDeviceSN(), QStringLiteral("NS-0077"));
    // The exportable log shows what was written, except a password.
    link.setPref(QStringLiteral("password"), QStringLiteral("s3cret-Pw"));
    QVERIFY(result.wait(5000));
    QVERIFY2(m_sim->waitForWire({Handshake, QStringLiteral("CMD:SET_PREF:sn:NS-0077"), Disconnect, Handshake,
                                 QStringLiteral("CMD:SET_PREF:password:s3cret-Pw"), Disconnect}),
             qPrintable(m_sim->wire().join(QLatin1Char('|'))));
    QVERIFY(m_log->contains(QStringLiteral("USB: [TX] CMD:SET_PREF:sn:NS-0077")));
    QVERIFY(m_log->contains(QStringLiteral("USB: [TX] CMD:SET_PREF:password:***")));
    QVERIFY(!m_log->contains(QStringLiteral("s3cret-Pw")));
}

void TestSerialManagerSessions::unsafeNamesNeverReachTheWire_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QString>("error");
    const QString evil = QStringLiteral("x.csv\nCMD:DEL_PROTOCOL:keep.csv");
    QTest::newRow("upload") << Call([evil](SerialManager &l) { l.putProtocol(evil, "PURGE,S,,,,,,4,\n"); })
                            << QStringLiteral("putProtocol: invalid file name");
    QTest::newRow("upload into a parent folder")
        << Call([](SerialManager &l) { l.putProtocol(QStringLiteral("../keep.csv"), "PURGE,S,,,,,,4,\n"); })
        << QStringLiteral("putProtocol: invalid file name");
    QTest::newRow("download from a folder") << Call([](SerialManager &l) { l.getProtocol(QStringLiteral("sub\\keep.csv")); })
                                            << QStringLiteral("getProtocol: invalid file name");
    QTest::newRow("delete the folder") << Call([](SerialManager &l) { l.deleteProtocol(QStringLiteral("..")); })
                                       << QStringLiteral("deleteProtocol: invalid file name");
    QTest::newRow("upload without name") << Call([](SerialManager &l) { l.putProtocol(QString(), "PURGE,S,,,,,,4,\n"); })
                                         << QStringLiteral("putProtocol: invalid file name");
    QTest::newRow("empty upload") << Call([](SerialManager &l) { l.putProtocol(QStringLiteral("a.csv"), QByteArray()); })
                                  << QStringLiteral("putProtocol: empty protocol");
    QTest::newRow("body with an end marker")
        << Call([](SerialManager &l) { l.putProtocol(QStringLiteral("a.csv"), "PURGE,S,,,,,,4,\nEND:PUT_PROTOCOL\nCMD:REBOOT\n"); })
        << QStringLiteral("putProtocol: invalid protocol body");
    QTest::newRow("body with the handshake")
        << Call([](SerialManager &l) { l.putProtocol(QStringLiteral("a.csv"), "PURGE\x1bNERRA:CONNECT\n"); })
        << QStringLiteral("putProtocol: invalid protocol body");
    QTest::newRow("download") << Call([evil](SerialManager &l) { l.getProtocol(evil); })
                              << QStringLiteral("getProtocol: invalid file name");
    QTest::newRow("delete") << Call([evil](SerialManager &l) { l.deleteProtocol(evil); })
                            << QStringLiteral("deleteProtocol: invalid file name");
    QTest::newRow("preference key") << Call([](SerialManager &l) { l.setPref(QStringLiteral("name\nCMD:REBOOT"), QStringLiteral("x")); })
                                    << QStringLiteral("setPref: invalid preference key");
    QTest::newRow("preference key with colon")
        << Call([](SerialManager &l) { l.setPref(QStringLiteral("calDate:x"), QStringLiteral("1")); })
        << QStringLiteral("setPref: invalid preference key");
}

void TestSerialManagerSessions::unsafeNamesNeverReachTheWire()
{
    QFETCH(Call, call);
    QFETCH(QString, error);
    m_sim->state.putFile(QStringLiteral("keep.csv"), "PURGE,S,,,,,,4,\n");
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    QSignalSpy errors(&link, &DeviceConnection::errorOccurred);
    call(link);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.constFirst().constFirst().toString(), error);
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QVERIFY(!link.isTransferring());

    // A later session carries nothing of it out.
    QSignalSpy listed(&link, &DeviceConnection::protocolListReceived);
    link.listProtocols();
    QVERIFY(listed.wait(5000));
    link.disconnectProtocol();
    QVERIFY2(m_sim->waitForWire({Handshake, QStringLiteral("CMD:LIST_PROTOCOLS"), Disconnect}),
             qPrintable(m_sim->wire().join(QLatin1Char('|'))));
    QVERIFY(m_sim->state.hasFile(QStringLiteral("keep.csv")));
}

void TestSerialManagerSessions::sessionOperationsInAnOpenSession()
{
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    QSignalSpy info(&link, &DeviceConnection::deviceInfoReceived);
    QSignalSpy prefs(&link, &DeviceConnection::prefsReceived);
    QSignalSpy applied(&link, &DeviceConnection::calibrationApplied);

    link.connectProtocol();
    QCOMPARE(link.statusMessage(), QStringLiteral("Connecting to device..."));
    QTRY_COMPARE(link.protocolState(), SerialManager::Ready);
    info.clear(); // the ready line itself reports the identity
    link.getDeviceInfo();
    QVERIFY(info.wait(5000));
    QCOMPARE(info.constFirst(), (QVariantList{QStringLiteral("Bench"), QStringLiteral("NS-0042"), QStringLiteral("1.4.2")}));
    link.getPrefs();
    QVERIFY(prefs.wait(5000));
    QCOMPARE(link.protocolState(), SerialManager::Ready);
    link.setCalibration(6, 1.5f);
    QVERIFY(applied.wait(5000));
    QCOMPARE(applied.constFirst(), QVariantList{true});
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QCOMPARE(m_sim->state.coefficients().at(6), 1.5);
    const QStringList expected{Handshake, QStringLiteral("CMD:GET_INFO"), QStringLiteral("CMD:GET_PREFS"),
                               QStringLiteral("CMD:SET_CAL:6:1.500000"), Disconnect};
    QVERIFY2(m_sim->waitForWire(expected), qPrintable(m_sim->wire().join(QLatin1Char('|'))));

    // Closing the port in the middle of a session leaves the instrument at its console.
    link.connectProtocol();
    QTRY_COMPARE(link.protocolState(), SerialManager::Ready);
    link.disconnect();
    QVERIFY2(m_sim->waitForWire(expected + QStringList{Handshake, Disconnect}), qPrintable(m_sim->wire().join(QLatin1Char('|'))));
    QTRY_VERIFY(!m_sim->usb->inSession());
}

void TestSerialManagerSessions::rebootEndsTheSessionWithoutDisconnect()
{
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    const QString oldPort = link.portName();
    link.connectProtocol();
    QTRY_COMPARE(link.protocolState(), SerialManager::Ready);
    QSignalSpy restarted(m_sim->usb.get(), &UsbInstrument::restarted);
    link.reboot();
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    QVERIFY(restarted.wait(5000));
    QCOMPARE(m_sim->wire(), (QStringList{Handshake, QStringLiteral("CMD:REBOOT")}));
    // The instrument comes back under a new port, and the link finds it by itself.
    QTRY_VERIFY_WITH_TIMEOUT(link.isConnected() && link.portName() != oldPort, 5000);
}

void TestSerialManagerSessions::cancelForgetsPendingWork()
{
    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    // Nothing running: no session to keep open.
    link.cancelTransfer();
    QCOMPARE(link.protocolState(), SerialManager::Idle);
    // An upload and a calibration write whose ready lines have not come yet are forgotten
    // with the cancel, and no later session carries them out.
    m_sim->usb->setSilent(true);
    link.putProtocol(QStringLiteral("late.csv"), "PURGE,S,,,,,,4,\n");
    link.cancelTransfer();
    QVERIFY(!link.isTransferring());
    QCOMPARE(link.protocolState(), SerialManager::Ready);
    QCOMPARE(link.statusMessage(), QStringLiteral("Transfer cancelled"));
    link.disconnectProtocol();
    link.applyCalibration(coefficients({{0, 2.0}}), QStringLiteral("2026-07-08"));
    link.cancelTransfer();
    link.disconnectProtocol();
    QTRY_COMPARE(m_sim->wire(), (QStringList{Handshake, Disconnect, Handshake, Disconnect}));

    m_sim->usb->clearFaults();
    m_sim->usb->clearReceived();
    QSignalSpy listed(&link, &DeviceConnection::protocolListReceived);
    link.listProtocols();
    QVERIFY(listed.wait(5000));
    link.disconnectProtocol();
    QVERIFY2(m_sim->waitForWire({Handshake, QStringLiteral("CMD:LIST_PROTOCOLS"), Disconnect}),
             qPrintable(m_sim->wire().join(QLatin1Char('|'))));
    QVERIFY(!m_sim->state.hasFile(QStringLiteral("late.csv")));
    QCOMPARE(m_sim->state.coefficients().at(0), 1.0);
}

// ---------------------------------------------------------------------------------------
// The QA certificate

namespace {

const QString Record = QStringLiteral("{\n  \"serial\": \"NS-0042\"\n}\n");
const QStringList RecordLines{QStringLiteral("{"), QStringLiteral("  \"serial\": \"NS-0042\""), QStringLiteral("}"),
                              QString()};

// 452 Base64 characters: pieces of 200, 200 and 52.
QString workbookBase64()
{
    QByteArray bytes;
    for (int i = 0; i < 337; ++i)
        bytes.append(char(i * 7));
    return QString::fromLatin1(bytes.toBase64());
}

} // namespace

void TestSerialManagerSessions::certificateSessions_data()
{
    QTest::addColumn<Call>("fault");
    QTest::addColumn<Call>("call");
    QTest::addColumn<QStringList>("wire");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QVariant>("argument");
    QTest::addColumn<QStringList>("errors");

    const QString book = workbookBase64();
    QCOMPARE(book.size(), 452);
    const QStringList pieces{book.left(200), book.mid(200, 200), book.mid(400)};
    const QStringList putRecord = QStringList{Handshake, QStringLiteral("CMD:PUT_CERT")} + RecordLines;
    auto none = [](SerialManager &) {};
    auto row = [](const char *name, Call fault, Call call, const QStringList &wire, const QString &outcome,
                  const QVariant &argument, const QStringList &errors = {}) {
        QTest::newRow(name) << fault << call << wire << outcome << argument << errors;
    };

    row("upload with its workbook", none, [book](SerialManager &l) { l.putCertificate(Record, book); },
        putRecord + QStringList{QStringLiteral("END:PUT_CERT"), QStringLiteral("CMD:PUT_CERT_FILE")} + pieces
            + QStringList{QStringLiteral("END:PUT_CERT_FILE"), Disconnect},
        QStringLiteral("certificateSaved"), true);
    row("upload refused at the workbook's end", none,
        [this, book](SerialManager &l) {
            m_sim->usb->setErrorReply(QStringLiteral("END:PUT_CERT_FILE"), QStringLiteral("flash full"));
            l.putCertificate(Record, book);
        },
        putRecord + QStringList{QStringLiteral("END:PUT_CERT"), QStringLiteral("CMD:PUT_CERT_FILE")} + pieces
            + QStringList{QStringLiteral("END:PUT_CERT_FILE"), Disconnect},
        QStringLiteral("certificateSaved"), false, {QStringLiteral("flash full")});
    row("upload answered with something else than saved",
        [this](SerialManager &l) {
            m_sim->usb->setReply(QStringLiteral("END:PUT_CERT"), QStringLiteral("OK:PUT_CERT:maybe"));
            l.setReplyTimeout(300);
        },
        [](SerialManager &l) { l.putCertificate(Record, QString()); },
        putRecord + QStringList{QStringLiteral("END:PUT_CERT"), Disconnect}, QStringLiteral("certificateSaved"), false,
        {QStringLiteral("putCertificate: timeout waiting for reply")});
    row("no ready line for an upload",
        [](SerialManager &l) { l.setHandshakeTimeout(150); }, [this](SerialManager &l) {
            m_sim->usb->setSilent(true);
            l.putCertificate(Record, QString());
        },
        {Handshake}, QStringLiteral("certificateSaved"), false, {QStringLiteral("timeout waiting for device")});
    row("record download with log lines between",
        [this](SerialManager &) {
            m_sim->state.setCertificateRecord(Record);
            m_sim->usb->setLogsInBodies(true);
        },
        [](SerialManager &l) { l.getCertificate(); }, {Handshake, QStringLiteral("CMD:GET_CERT"), Disconnect},
        QStringLiteral("certificateReceived"), Record);
    row("no record on the instrument", none, [](SerialManager &l) { l.getCertificate(); },
        {Handshake, QStringLiteral("CMD:GET_CERT"), Disconnect}, QStringLiteral("certificateReceived"), QString());
    row("workbook download with a damaged piece",
        [this, book](SerialManager &) {
            m_sim->state.setCertificateRecord(Record);
            m_sim->state.setCertificateFile(book);
            m_sim->usb->setDamagedBodyLine(QStringLiteral("GET_CERT_FILE"), 1);
        },
        [](SerialManager &l) { l.getCertificateFile(); }, {Handshake, QStringLiteral("CMD:GET_CERT_FILE"), Disconnect},
        QStringLiteral("certificateFileReceived"), false,
        {QStringLiteral("getCertificateFile: the source data arrived damaged")});
    row("workbook download with a piece too long to take",
        [this, book](SerialManager &l) {
            m_sim->state.setCertificateFile(book);
            l.setMaxLineLength(180);
        },
        [](SerialManager &l) { l.getCertificateFile(); }, {Handshake, QStringLiteral("CMD:GET_CERT_FILE"), Disconnect},
        QStringLiteral("certificateFileReceived"), false,
        {QStringLiteral("getCertificateFile: reply damaged — a line longer than 180 bytes was dropped")});
    row("workbook download", [this, book](SerialManager &) { m_sim->state.setCertificateFile(book); },
        [](SerialManager &l) { l.getCertificateFile(); }, {Handshake, QStringLiteral("CMD:GET_CERT_FILE"), Disconnect},
        QStringLiteral("certificateFileReceived"), true);
    row("workbook download falls silent",
        [this, book](SerialManager &l) {
            m_sim->state.setCertificateRecord(Record);
            m_sim->state.setCertificateFile(book);
            m_sim->usb->setSilentAfter(QStringLiteral("CMD:GET_CERT_FILE"));
            l.setReplyTimeout(300);
        },
        [](SerialManager &l) { l.getCertificateFile(); }, {Handshake, QStringLiteral("CMD:GET_CERT_FILE"), Disconnect},
        QStringLiteral("certificateFileReceived"), false,
        {QStringLiteral("getCertificateFile: timeout waiting for reply")});
    row("delete", [this](SerialManager &) { m_sim->state.setCertificateRecord(Record); },
        [](SerialManager &l) { l.deleteCertificate(); }, {Handshake, QStringLiteral("CMD:DEL_CERT"), Disconnect},
        QStringLiteral("certificateDeleted"), QVariant());
    row("delete refused", [this](SerialManager &) {
            m_sim->state.setCertificateRecord(Record);
            m_sim->usb->setErrorReply(QStringLiteral("CMD:DEL_CERT"), QStringLiteral("locked"));
        },
        [](SerialManager &l) { l.deleteCertificate(); }, {Handshake, QStringLiteral("CMD:DEL_CERT"), Disconnect},
        QString(), QVariant(), {QStringLiteral("locked")});
}

void TestSerialManagerSessions::certificateSessions()
{
    QFETCH(Call, fault);
    QFETCH(Call, call);
    QFETCH(QStringList, wire);
    QFETCH(QString, outcome);
    QFETCH(QVariant, argument);
    QFETCH(QStringList, errors);

    QVERIFY(m_sim->connect());
    SerialManager &link = *m_sim->link;
    fault(link);
    const QString storedBefore = m_sim->state.certificateRecord();
    QMap<QString, QSignalSpy *> spies{
        {QStringLiteral("certificateSaved"), new QSignalSpy(&link, &SerialManager::certificateSaved)},
        {QStringLiteral("certificateReceived"), new QSignalSpy(&link, &SerialManager::certificateReceived)},
        {QStringLiteral("certificateFileReceived"), new QSignalSpy(&link, &SerialManager::certificateFileReceived)},
        {QStringLiteral("certificateDeleted"), new QSignalSpy(&link, &SerialManager::certificateDeleted)}};
    QSignalSpy errorSpy(&link, &DeviceConnection::errorOccurred);

    call(link);
    QVERIFY(link.protocolState() != SerialManager::Idle);
    QVERIFY2(m_sim->waitForWire(wire), qPrintable(m_sim->wire().join(QLatin1Char('|'))));
    QTRY_COMPARE(link.protocolState(), SerialManager::Idle);
    for (auto it = spies.cbegin(); it != spies.cend(); ++it) {
        QTRY_COMPARE(it.value()->count(), it.key() == outcome ? 1 : 0);
        if (it.key() == outcome && argument.isValid())
            QCOMPARE(it.value()->constFirst().constFirst(), argument);
    }
    qDeleteAll(spies);
    QCOMPARE(spyTexts(errorSpy), errors);
    QVERIFY(!link.isTransferring());

    // What the instrument holds afterwards, and what the link gives back of it.
    QTemporaryDir folder;
    const QString copy = folder.filePath(QStringLiteral("source.xlsx"));
    if (outcome == QLatin1String("certificateSaved") && argument.toBool()) {
        QCOMPARE(m_sim->state.certificateRecord(), Record);
        QCOMPARE(m_sim->state.certificateFile(), workbookBase64());
        QVERIFY(link.usbHasCert());
    } else if (outcome == QLatin1String("certificateDeleted")) {
        QVERIFY(!m_sim->state.hasCertificate());
    } else if (outcome != QLatin1String("certificateSaved")) {
        QCOMPARE(m_sim->state.certificateRecord(), storedBefore);
    }
    if (outcome != QLatin1String("certificateFileReceived") || !argument.toBool()) {
        QVERIFY(!link.saveLastCertFile(copy));
        QVERIFY(!QFile::exists(copy));
        return;
    }
    const QByteArray workbook = QByteArray::fromBase64(workbookBase64().toLatin1());
    QVERIFY(link.saveLastCertFile(QUrl::fromLocalFile(copy).toString()));
    QCOMPARE(readFile(copy), workbook);
    // A full disk leaves the earlier copy whole and says so.
    QVERIFY(writeFile(copy, "earlier"));
    {
        FileSizeLimit full(100);
        QVERIFY(!link.saveLastCertFile(copy));
    }
    QCOMPARE(readFile(copy), QByteArray("earlier"));
    QCOMPARE(errorSpy.constLast().constFirst().toString(), QStringLiteral("Could not write ") + copy);
}

NERRA_TEST_MAIN(TestSerialManagerSessions)
#include "tst_serialmanager_sessions.moc"
