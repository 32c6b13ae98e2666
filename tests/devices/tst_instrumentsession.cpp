// The instrument session and its command families in process, by transcripts: the lines
// the program writes ("> "), the lines the instrument answers ("< "), and the answers the
// link gives, in order. No port: what reaches the wire and what comes back is all there is.

#include "testmain.h"

#include "devices/calibrationcommands.h"
#include "devices/deviceconnection.h"
#include "devices/instrumentidentity.h"
#include "devices/instrumentsession.h"
#include "devices/preferencecommands.h"
#include "devices/serial/protocolcommands.h"

#include <QJsonDocument>

#include <functional>
#include <memory>

namespace {

const QString Handshake = QStringLiteral("\x1bNERRA:CONNECT");
const QString Ready = QStringLiteral("NERRA:READY:{\"name\":\"P1\"}");
const QString Disconnect = QStringLiteral("NERRA:DISCONNECT");

// The link's shared signals, nothing behind them.
class StubConnection : public DeviceConnection
{
public:
    bool isConnected() const override { return true; }
    bool isTransferring() const override { return false; }
    int transferProgress() const override { return 0; }
    QString statusMessage() const override { return QString(); }
    void putProtocol(const QString &, const QByteArray &) override {}
    void getProtocol(const QString &) override {}
    void listProtocols() override {}
    void deleteProtocol(const QString &) override {}
    void getDeviceInfo() override {}
    void getCalibration() override {}
    void setCalibration(int, float) override {}
    bool fetchCalibration() override { return false; }
    void applyCalibration(const QVariantList &, const QString &) override {}
    void getPrefs() override {}
    void setPref(const QString &, const QString &) override {}
    void cancelTransfer() override {}
    void reboot() override {}
};

QString mapText(const QVariantMap &map)
{
    QStringList parts;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        parts.append(it.key() + QLatin1Char('=') + it.value().toString());
    return parts.join(QLatin1Char(','));
}

// Records the wire and every answer as text.
class TranscriptLink : public SessionLink
{
public:
    TranscriptLink()
        : session(*this, QStringLiteral("TEST:"))
    {
        auto record = [this](const QString &text) { answers.append(text); };
        DeviceConnection *c = &stub;
        QObject::connect(c, &DeviceConnection::errorOccurred, [record](const QString &m) { record("error: " + m); });
        QObject::connect(c, &DeviceConnection::transferComplete, [record] { record("transferComplete"); });
        QObject::connect(c, &DeviceConnection::transferFailed, [record](const QString &m) { record("transferFailed: " + m); });
        QObject::connect(c, &DeviceConnection::deviceInfoReceived, [record](const QString &n, const QString &sn, const QString &fw) {
            record(QStringLiteral("info: %1/%2/%3").arg(n, sn, fw));
        });
        QObject::connect(c, &DeviceConnection::protocolListReceived,
                         [record](const QStringList &names) { record("list: " + names.join(QLatin1Char(','))); });
        QObject::connect(c, &DeviceConnection::protocolReceived, [record](const QString &name, const QByteArray &body) {
            record(QStringLiteral("file: %1=%2").arg(name, QString::fromUtf8(body)));
        });
        QObject::connect(c, &DeviceConnection::calibrationReceived,
                         [record](const QVariantMap &map) { record("calibration: " + mapText(map)); });
        QObject::connect(c, &DeviceConnection::calibrationApplied,
                         [record](bool ok) { record(QStringLiteral("applied: %1").arg(int(ok))); });
        QObject::connect(c, &DeviceConnection::prefsReceived, [record](const QVariantMap &map) { record("prefs: " + mapText(map)); });
        QObject::connect(c, &DeviceConnection::setPrefResult,
                         [record](bool ok, const QString &key) { record(QStringLiteral("prefResult: %1 %2").arg(int(ok)).arg(key)); });
        QObject::connect(c, &DeviceConnection::protocolDeleted, [record](const QString &name) { record("deleted: " + name); });
    }

    void writeLine(const QString &line) override { wire.append(line); }
    void writeBytes(const QByteArray &bytes) override
    {
        QList<QByteArray> lines = bytes.split('\n');
        if (lines.constLast().isEmpty())
            lines.removeLast();
        for (const QByteArray &line : lines)
            wire.append(QString::fromUtf8(line));
    }
    DeviceConnection &connection() override { return stub; }
    void setStatusMessage(const QString &message) override { answers.append("status: " + message); }
    void setTransferring(bool on) override { answers.append(on ? QStringLiteral("transferring: true") : QStringLiteral("transferring: false")); }
    void setTransferProgress(int progress) override { answers.append(QStringLiteral("progress: %1").arg(progress)); }
    void setCalibrationData(const QVariantMap &) override {}
    void setCalibrationDate(const QString &date) override { answers.append("calDate: " + date); }
    void preferenceSaved(const QString &key, const QString &value) override
    {
        answers.append(QStringLiteral("saved: %1=%2").arg(key, value));
    }
    void readyLineSeen(const QJsonObject *) override {}
    void readyWithoutOperation() override { session.setState(InstrumentSession::Ready); }
    void handshakeTimedOut() override { session.setState(InstrumentSession::Idle); }
    void firmwareLine(const QString &) override {}

    // Plays `transcript` against the session: every "> " line must be the next line the
    // program wrote, every "< " line is fed to the session, "! dropped" is a line the
    // transport dropped for its length. Returns the first mismatch, empty when none.
    QString play(const QStringList &transcript)
    {
        int written = 0;
        for (const QString &step : transcript) {
            const QString text = step.mid(2);
            if (step.startsWith(QLatin1String("> "))) {
                if (written >= wire.size() || wire.at(written) != text)
                    return QStringLiteral("expected \"%1\" on the wire, got \"%2\"").arg(text, wire.value(written));
                ++written;
            } else if (step.startsWith(QLatin1String("< "))) {
                session.takeLine(text);
            } else {
                session.lineDropped(4096);
            }
        }
        if (written != wire.size())
            return QStringLiteral("unexpected on the wire: ") + wire.mid(written).join(QLatin1String(" | "));
        return QString();
    }

    StubConnection stub;
    InstrumentSession session;
    QStringList wire;
    QStringList answers;
};

using Start = std::function<void(InstrumentSession &)>;

// A command that opens its own session with the handshake.
Start opened(std::function<SessionOperation *()> make)
{
    return [make](InstrumentSession &s) { s.open(std::unique_ptr<SessionOperation>(make()), 0); };
}

// A command in a session already open.
Start inSession(std::function<SessionOperation *()> make)
{
    return [make](InstrumentSession &s) {
        s.setState(InstrumentSession::Ready);
        s.run(std::unique_ptr<SessionOperation>(make()));
    };
}

QStringList handshake()
{
    return {"> " + Handshake, "< " + Ready};
}

QStringList longList(int names)
{
    QStringList lines{"> CMD:LIST_PROTOCOLS"};
    for (int i = 0; i < names; ++i)
        lines.append(QStringLiteral("< DATA:LIST_PROTOCOLS:m%1.csv").arg(i));
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(Start)

class TestInstrumentSession : public QObject
{
    Q_OBJECT

private slots:
    void commandTranscripts_data();
    void commandTranscripts();
    void everyEndGivesExactlyOneAnswer_data();
    void everyEndGivesExactlyOneAnswer();
    void silenceEndsTheSession_data();
    void silenceEndsTheSession();
    void identityMirrorsConfirmedPreferences_data();
    void identityMirrorsConfirmedPreferences();
};

void TestInstrumentSession::commandTranscripts_data()
{
    QTest::addColumn<Start>("start");
    QTest::addColumn<QStringList>("transcript");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<int>("endState");

    const int idle = InstrumentSession::Idle;
    const int ready = InstrumentSession::Ready;
    const auto list = [] { return new ProtocolListCommand; };

    QTest::newRow("list, boot text before the ready line, a name twice")
        << opened(list)
        << QStringList{"> " + Handshake, "< rst:0x1 (POWERON)", "< boot:" + Ready, "> CMD:LIST_PROTOCOLS",
                       "< DATA:LIST_PROTOCOLS:a.csv", "< OK:SET_CAL", "< DATA:LIST_PROTOCOLS:b.csv",
                       "< DATA:LIST_PROTOCOLS:a.csv", "< END:LIST_PROTOCOLS"}
        << QStringList{"status: 2 protocol(s)", "list: a.csv,b.csv"} << ready;
    QTest::newRow("list refused") << opened(list)
                                  << handshake() + QStringList{"> CMD:LIST_PROTOCOLS", "< ERR:storage", "> " + Disconnect}
                                  << QStringList{"error: storage"} << idle;
    QTest::newRow("list longer than any instrument's")
        << inSession(list) << longList(ProtocolListCommand::MaxLines + 1) + QStringList{"> " + Disconnect}
        << QStringList{"error: listProtocols: the device listed more than 1000 files"} << idle;
    QTest::newRow("list that lost a line")
        << inSession(list)
        << QStringList{"> CMD:LIST_PROTOCOLS", "< DATA:LIST_PROTOCOLS:a.csv", "! dropped", "< END:LIST_PROTOCOLS",
                       "> " + Disconnect}
        << QStringList{"error: listProtocols: reply damaged — a line longer than 4096 bytes was dropped"} << idle;

    QTest::newRow("download keeps a leading blank line and UTF-8")
        << inSession([] { return new ProtocolGetCommand(QStringLiteral("x.csv")); })
        << QStringList{"> CMD:GET_PROTOCOL:x.csv", "< DATA:GET_PROTOCOL:", "< DATA:GET_PROTOCOL:MIX,S,µl",
                       "< END:GET_PROTOCOL"}
        << QStringList{"status: Received x.csv", "file: x.csv=\nMIX,S,µl"} << ready;
    QTest::newRow("download larger than any instrument's")
        << inSession([] { return new ProtocolGetCommand(QStringLiteral("x.csv")); })
        << QStringList{"> CMD:GET_PROTOCOL:x.csv", "< DATA:GET_PROTOCOL:" + QString(ProtocolGetCommand::MaxBytes, 'A'),
                       "< DATA:GET_PROTOCOL:A", "> " + Disconnect}
        << QStringList{"error: getProtocol: the file is larger than 1024 KiB"} << idle;

    const auto put = [] { return new ProtocolPutCommand(QStringLiteral("m.csv"), "TIPSELECT,S\nPURGE,S,,,,,,4,"); };
    QTest::newRow("upload")
        << opened(put)
        << handshake() + QStringList{"> CMD:PUT_PROTOCOL:m.csv", "< OK:PUT_PROTOCOL:saved", "< OK:PUT_PROTOCOL",
                                     "> TIPSELECT,S", "> PURGE,S,,,,,,4,", "> END:PUT_PROTOCOL",
                                     "< OK:PUT_PROTOCOL", "< OK:PUT_PROTOCOL:saved", "> " + Disconnect}
        << QStringList{"progress: 50", "transferring: false", "progress: 100", "status: Transfer complete",
                       "transferComplete"}
        << idle;
    QTest::newRow("upload refused before the body")
        << opened(put) << handshake() + QStringList{"> CMD:PUT_PROTOCOL:m.csv", "< ERR:storage full", "> " + Disconnect}
        << QStringList{"transferring: false", "transferFailed: storage full", "error: storage full"} << idle;
    QTest::newRow("upload refused after the body")
        << opened(put)
        << handshake() + QStringList{"> CMD:PUT_PROTOCOL:m.csv", "< OK:PUT_PROTOCOL", "> TIPSELECT,S",
                                     "> PURGE,S,,,,,,4,", "> END:PUT_PROTOCOL", "< ERR:disk full", "> " + Disconnect}
        << QStringList{"progress: 50", "transferring: false", "transferFailed: disk full", "error: disk full"} << idle;

    QTest::newRow("delete")
        << opened([] { return new ProtocolDeleteCommand(QStringLiteral("old.csv")); })
        << handshake() + QStringList{"> CMD:DEL_PROTOCOL:old.csv", "< OK:SET_PREF", "< OK:DEL_PROTOCOL", "> " + Disconnect}
        << QStringList{"status: Deleted", "deleted: old.csv"} << idle;
    QTest::newRow("delete refused")
        << opened([] { return new ProtocolDeleteCommand(QStringLiteral("old.csv")); })
        << handshake() + QStringList{"> CMD:DEL_PROTOCOL:old.csv", "< ERR:not found", "> " + Disconnect}
        << QStringList{"status: Error: not found", "error: not found"} << idle;

    QTest::newRow("calibration read with its date")
        << opened([] { return new CalibrationReadCommand(true); })
        << handshake() + QStringList{"> CMD:GET_CAL", "< DATA:GET_CAL:{\"c0\":1.5}", "< END:GET_CAL", "> CMD:GET_PREFS",
                                     "< DATA:GET_PREFS:{\"calDate\":\"2026-05-06\"}", "< END:GET_PREFS", "> " + Disconnect}
        << QStringList{"calibration: c0=1.5", "calDate: 2026-05-06"} << idle;
    QTest::newRow("calibration read whose date is refused")
        << opened([] { return new CalibrationReadCommand(true); })
        << handshake() + QStringList{"> CMD:GET_CAL", "< DATA:GET_CAL:{\"c0\":1.5}", "< END:GET_CAL", "> CMD:GET_PREFS",
                                     "< ERR:busy", "> " + Disconnect}
        << QStringList{"calibration: c0=1.5"} << idle;
    QTest::newRow("calibration read refused")
        << inSession([] { return new CalibrationReadCommand(false); })
        << QStringList{"> CMD:GET_CAL", "< ERR:no calibration", "> " + Disconnect} << QStringList{"error: no calibration"}
        << idle;

    const auto write = [] {
        return new CalibrationWriteCommand({qMakePair(0, 1.25f), qMakePair(7, -0.5f)}, QStringLiteral("2026-05-06"));
    };
    QTest::newRow("calibration write, then its date confirmed under another key")
        << opened(write)
        << handshake() + QStringList{"> CMD:SET_CAL:0:1.250000", "< OK:SET_PREF", "< OK:SET_CAL", "> CMD:SET_CAL:7:-0.500000",
                                     "< OK:SET_CAL", "> CMD:SET_PREF:calDate:2026-05-06", "< OK:SET_CAL",
                                     "< OK:SET_PREF:color", "> " + Disconnect}
        << QStringList{"transferring: false", "progress: 100", "status: Calibration saved", "calDate: 2026-05-06",
                       "applied: 1"}
        << idle;
    QTest::newRow("calibration write refused half-way writes nothing more")
        << opened(write)
        << handshake() + QStringList{"> CMD:SET_CAL:0:1.250000", "< ERR:locked", "> " + Disconnect}
        << QStringList{"status: Error: locked", "error: locked", "transferring: false", "progress: 0", "applied: 0"}
        << idle;

    QTest::newRow("calibration date refused")
        << opened(write)
        << handshake() + QStringList{"> CMD:SET_CAL:0:1.250000", "< OK:SET_CAL", "> CMD:SET_CAL:7:-0.500000",
                                     "< OK:SET_CAL", "> CMD:SET_PREF:calDate:2026-05-06", "< ERR:flash", "> " + Disconnect}
        << QStringList{"status: Error: flash", "error: flash", "transferring: false", "progress: 0", "applied: 0"} << idle;

    QTest::newRow("preference write, confirmed under another key")
        << opened([] { return new PreferenceWriteCommand(QStringLiteral("ssid"), QStringLiteral("Lab:5G")); })
        << handshake() + QStringList{"> CMD:SET_PREF:ssid:Lab:5G", "< OK:SET_CAL", "< OK:SET_PREF:name", "> " + Disconnect}
        << QStringList{"saved: ssid=Lab:5G", "status: Preference saved", "prefResult: 1 ssid"} << idle;
    QTest::newRow("preference write refused")
        << opened([] { return new PreferenceWriteCommand(QStringLiteral("name"), QStringLiteral("P2")); })
        << handshake() + QStringList{"> CMD:SET_PREF:name:P2", "< ERR:read-only", "> " + Disconnect}
        << QStringList{"status: Error: read-only", "error: read-only", "prefResult: 0 name"} << idle;

    QTest::newRow("identity read, the last record counting")
        << inSession([] { return new RecordReadCommand(RecordReadCommand::Record::Info); })
        << QStringList{"> CMD:GET_INFO", "< DATA:GET_INFO:{\"name\":\"old\"}",
                       "< DATA:GET_INFO:{\"name\":\"P1\",\"sn\":\"S9\",\"fw\":\"1.2\"}", "< END:GET_INFO"}
        << QStringList{"info: P1/S9/1.2"} << ready;
    QTest::newRow("preferences read that lost a line")
        << inSession([] { return new RecordReadCommand(RecordReadCommand::Record::Preferences); })
        << QStringList{"> CMD:GET_PREFS", "! dropped", "< END:GET_PREFS"}
        << QStringList{"error: getPrefs: reply damaged — a line longer than 4096 bytes was dropped"} << ready;
}

void TestInstrumentSession::commandTranscripts()
{
    QFETCH(Start, start);
    QFETCH(QStringList, transcript);
    QFETCH(QStringList, answers);
    QFETCH(int, endState);

    TranscriptLink link;
    start(link.session);
    QCOMPARE(link.play(transcript), QString());
    QCOMPARE(link.answers, answers);
    QCOMPARE(int(link.session.state()), endState);
    QVERIFY(!link.session.operation());
}

void TestInstrumentSession::everyEndGivesExactlyOneAnswer_data()
{
    QTest::addColumn<Start>("start");
    QTest::addColumn<QStringList>("transcript");
    QTest::addColumn<int>("cause");
    QTest::addColumn<QStringList>("answers");

    const auto put = [] { return new ProtocolPutCommand(QStringLiteral("m.csv"), "PURGE,S,,,,,,4,"); };
    const QStringList putAccepted = handshake() + QStringList{"> CMD:PUT_PROTOCOL:m.csv", "< OK:PUT_PROTOCOL",
                                                              "> PURGE,S,,,,,,4,", "> END:PUT_PROTOCOL"};
    QTest::newRow("upload cancelled") << opened(put) << putAccepted << int(SessionEnd::Cancelled)
                                      << QStringList{"progress: 50", "transferFailed: Transfer cancelled",
                                                     "error: putProtocol: cancelled"};
    // The link fails every transfer under way when its device goes; the upload adds nothing.
    QTest::newRow("upload, device lost") << opened(put) << putAccepted << int(SessionEnd::DeviceLost)
                                         << QStringList{"progress: 50"};
    QTest::newRow("calibration read, port closed")
        << opened([] { return new CalibrationReadCommand(true); }) << QStringList{"> " + Handshake}
        << int(SessionEnd::PortClosed) << QStringList{"calibration: "};
    QTest::newRow("calibration read, session closed while the date is read")
        << opened([] { return new CalibrationReadCommand(true); })
        << handshake() + QStringList{"> CMD:GET_CAL", "< END:GET_CAL", "> CMD:GET_PREFS"}
        << int(SessionEnd::SessionClosed) << QStringList{"calibration: "};
    QTest::newRow("calibration write, session closed after a coefficient")
        << opened([] { return new CalibrationWriteCommand({qMakePair(0, 1.0f), qMakePair(1, 1.0f)}, QString()); })
        << handshake() + QStringList{"> CMD:SET_CAL:0:1.000000", "< OK:SET_CAL", "> CMD:SET_CAL:1:1.000000"}
        << int(SessionEnd::SessionClosed) << QStringList{"applied: 0"};
    QTest::newRow("preference write cancelled")
        << opened([] { return new PreferenceWriteCommand(QStringLiteral("name"), QStringLiteral("P2")); })
        << QStringList{"> " + Handshake} << int(SessionEnd::Cancelled) << QStringList{"prefResult: 0 name"};
    QTest::newRow("delete, port closed")
        << opened([] { return new ProtocolDeleteCommand(QStringLiteral("a.csv")); }) << QStringList{"> " + Handshake}
        << int(SessionEnd::PortClosed) << QStringList{"error: deleteProtocol: port closed"};
}

void TestInstrumentSession::everyEndGivesExactlyOneAnswer()
{
    QFETCH(Start, start);
    QFETCH(QStringList, transcript);
    QFETCH(int, cause);
    QFETCH(QStringList, answers);

    TranscriptLink link;
    start(link.session);
    QCOMPARE(link.play(transcript), QString());
    bool settled = false;
    link.session.end(SessionEnd(cause), [&] {
        settled = true;
        // The link is put in order before the answer, so a listener finds it free.
        QVERIFY(!link.session.operation());
    });
    QVERIFY(settled);
    QCOMPARE(link.answers, answers);
    // A late reply to the ended command changes nothing.
    link.session.takeLine(QStringLiteral("OK:PUT_PROTOCOL:saved"));
    link.session.takeLine(QStringLiteral("END:GET_CAL"));
    QCOMPARE(link.answers, answers);
}

void TestInstrumentSession::silenceEndsTheSession_data()
{
    QTest::addColumn<Start>("start");
    QTest::addColumn<QStringList>("transcript");
    QTest::addColumn<QStringList>("wireAfter");
    QTest::addColumn<QStringList>("answers");

    const QString noResponse = QStringLiteral("Device did not respond — try again");
    QTest::newRow("no ready line for an upload")
        << Start([](InstrumentSession &s) { s.open(std::make_unique<ProtocolPutCommand>(QStringLiteral("m.csv"), "X"), 20); })
        << QStringList{"> " + Handshake} << QStringList()
        << QStringList{"transferring: false", "progress: 0", "transferFailed: " + noResponse,
                       "error: putProtocol: timeout waiting for device"};
    QTest::newRow("no ready line for a calibration write")
        << Start([](InstrumentSession &s) {
               s.open(std::make_unique<CalibrationWriteCommand>(QList<QPair<int, float>>{qMakePair(0, 1.0f)}, QString()), 20);
           })
        << QStringList{"> " + Handshake} << QStringList() << QStringList{"transferring: false", "progress: 0", "applied: 0"};
    QTest::newRow("a listing that stops")
        << inSession([] { return new ProtocolListCommand; })
        << QStringList{"> CMD:LIST_PROTOCOLS", "< DATA:LIST_PROTOCOLS:a.csv"} << QStringList{Disconnect}
        << QStringList{"transferring: false", "progress: 0", "status: " + noResponse,
                       "error: listProtocols: timeout waiting for reply"};
    QTest::newRow("a preference write never confirmed")
        << inSession([] { return new PreferenceWriteCommand(QStringLiteral("name"), QStringLiteral("P2")); })
        << QStringList{"> CMD:SET_PREF:name:P2"} << QStringList{Disconnect}
        << QStringList{"transferring: false", "progress: 0", "status: " + noResponse, "prefResult: 0 name",
                       "error: setPref: timeout waiting for reply"};
}

void TestInstrumentSession::silenceEndsTheSession()
{
    QFETCH(Start, start);
    QFETCH(QStringList, transcript);
    QFETCH(QStringList, wireAfter);
    QFETCH(QStringList, answers);

    TranscriptLink link;
    link.session.setReplyTimeout(20);
    start(link.session);
    QCOMPARE(link.play(transcript), QString());
    const int written = int(link.wire.size());
    QTRY_VERIFY(!link.session.operation());
    QCOMPARE(link.wire.mid(written), wireAfter);
    QCOMPARE(int(link.session.state()), int(InstrumentSession::Idle));
    QCOMPARE(link.answers, answers);
}

void TestInstrumentSession::identityMirrorsConfirmedPreferences_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<QString>("shown"); // name|sn|ssid|color after it

    QTest::newRow("name, even empty") << "name" << "" << true << "|S1|Lab|2";
    QTest::newRow("same name") << "name" << "P1" << false << "P1|S1|Lab|2";
    QTest::newRow("serial number") << "sn" << "S2" << true << "P1|S2|Lab|2";
    QTest::newRow("empty serial number keeps the old") << "sn" << "" << false << "P1|S1|Lab|2";
    QTest::newRow("network name with a colon") << "ssid" << "Lab:5G" << true << "P1|S1|Lab:5G|2";
    QTest::newRow("empty network name keeps the old") << "ssid" << "" << false << "P1|S1|Lab|2";
    QTest::newRow("colour") << "color" << "5" << true << "P1|S1|Lab|5";
    QTest::newRow("colour not a number") << "color" << "red" << false << "P1|S1|Lab|2";
    QTest::newRow("password is not shown") << "password" << "s3cret" << false << "P1|S1|Lab|2";
}

void TestInstrumentSession::identityMirrorsConfirmedPreferences()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(bool, changed);
    QFETCH(QString, shown);

    InstrumentIdentity identity = InstrumentIdentity::fromRecord(
        QJsonDocument::fromJson(R"({"id":"00AA","name":"P1","sn":"S1","ssid":"Lab","color":2})").object());
    QCOMPARE(identity.applyPreference(key, value), changed);
    QCOMPARE(QStringList({identity.name, identity.serialNumber, identity.ssid, QString::number(identity.color)})
                 .join(QLatin1Char('|')),
             shown);
    QCOMPARE(identity.id, QStringLiteral("00AA"));
}

NERRA_TEST_MAIN(TestInstrumentSession)
#include "tst_instrumentsession.moc"
