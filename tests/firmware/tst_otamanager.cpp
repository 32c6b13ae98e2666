// The firmware updater against the simulated instrument on a pseudo-terminal, through the
// real USB link: file and release runs end to end, every way a run can fail, and arbitrary
// replies in every state. However it goes, a run ends in Done, Failed or NeedsReplug and
// the link is given back.

#include "testmain.h"
#include "tst_serialmanager_fixture.h"

#include "firmware/firmwarecatalog.h"
#include "firmware/otamanager.h"
#include "releasefixtureserver.h"

#include <QDir>
#include <QRandomGenerator>

#include <functional>

namespace {

QByteArray firmwareImage(const QString &version, int size)
{
    QByteArray image = "NERRA_FW_VERSION=" + version.toLatin1() + "\nNERRA_OTA_USB=1\n";
    for (int i = image.size(); i < size; ++i)
        image.append(char((i * 13 + 7) % 256));
    return image;
}

using Fault = std::function<void(UsbInstrument &)>;

} // namespace

class TestOtaManager;
// A refused start: prepares the case and names the file to start with.
using Start = std::function<QString(TestOtaManager &)>;

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Start)
Q_DECLARE_METATYPE(OtaManager::State)

class TestOtaManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<SimulatedLink> m_sim;
    std::unique_ptr<OtaManager> m_ota;
    std::unique_ptr<QSignalSpy> m_finished;

    QString imageFile(const QByteArray &image)
    {
        const QString path = m_env->tempDir() + QStringLiteral("/NerraFirmware-test.bin");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
            return QString();
        return path;
    }
    // The run's end, and the link given back to terminal mode.
    bool runEnds(int timeoutMs = 20000)
    {
        return (!m_finished->isEmpty() || m_finished->wait(timeoutMs)) && !m_ota->active()
               && QTest::qWaitFor([this] { return m_sim->link->protocolState() == SerialManager::Idle; }, 5000)
               && !m_sim->link->otaRestartPending();
    }
    QStringList commands() const
    {
        QStringList result;
        for (const QString &line : m_sim->wire()) {
            if (line.startsWith(QLatin1String("CMD:OTA_")))
                result << line.section(QLatin1Char(':'), 0, 1);
        }
        return result;
    }

private slots:
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_sim = std::make_unique<SimulatedLink>();
        m_sim->state.setFirmware(QStringLiteral("1.4.2"), 1);
        m_sim->usb->setChunkSize(128);
        QVERIFY(m_sim->connect());
        m_ota = std::make_unique<OtaManager>();
        OtaTimings timings;
        timings.openStallMs = 2000;
        timings.chunkStallMs = 300;
        timings.verifyStallMs = 2000;
        timings.applyStallMs = 2000;
        timings.rebootStallMs = 2500;
        timings.confirmStallMs = 300;
        timings.sessionRetryMs = 50;
        timings.rebootRetryMs = 100;
        m_ota->setTimings(timings);
        m_ota->setSerialManager(m_sim->link.get());
        m_finished = std::make_unique<QSignalSpy>(m_ota.get(), &OtaManager::finished);
    }
    void cleanup()
    {
        m_finished.reset();
        m_ota.reset();
        m_sim.reset();
        m_env.reset();
    }

    void fileRuns_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<OtaManager::State>("end");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("running");
        const Fault none = [](UsbInstrument &) {};
        QTest::newRow("installed and confirmed") << none << OtaManager::Done
                                                 << "Update complete — device software is now 1.5.0." << "1.5.0";
        QTest::newRow("a chunk stored damaged") << Fault([](UsbInstrument &u) { u.setCorruptChunk(2); }) << OtaManager::Failed
                                                << "image integrity check failed (checksum)" << "1.4.2";
        QTest::newRow("BADCHUNK for ever")
            << Fault([](UsbInstrument &u) { u.setErrorReply(QStringLiteral("CMD:OTA_CHUNK"), QStringLiteral("BADCHUNK")); })
            << OtaManager::Failed << "too many transfer retries" << "1.4.2";
        QTest::newRow("a count below zero")
            << Fault([](UsbInstrument &u) { u.setReply(QStringLiteral("CMD:OTA_CHUNK"), QStringLiteral("OK:OTA_CHUNK:-5")); })
            << OtaManager::Failed << "transfer failed: OK:OTA_CHUNK:-5" << "1.4.2";
        QTest::newRow("a resync past the end") << Fault([](UsbInstrument &u) {
            u.setReply(QStringLiteral("CMD:OTA_CHUNK"), QStringLiteral("ERR:BADCHUNK"), 1);
            u.setReply(QStringLiteral("CMD:OTA_STATUS"), QStringLiteral("OK:OTA_STATUS:99999"));
        }) << OtaManager::Failed << "resync failed: OK:OTA_STATUS:99999" << "1.4.2";
        QTest::newRow("a resync that moves back") << Fault([](UsbInstrument &u) {
            u.setReply(QStringLiteral("CMD:OTA_CHUNK"), QStringLiteral("OK:OTA_CHUNK:7"), 2);
        }) << OtaManager::Done << "Update complete — device software is now 1.5.0." << "1.5.0";
        QTest::newRow("the old port still listed after the restart")
            << Fault([](UsbInstrument &u) { u.setGhostAfterRestart(true); }) << OtaManager::Done
            << "Update complete — device software is now 1.5.0." << "1.5.0";
        QTest::newRow("deaf after the restart") << Fault([](UsbInstrument &u) { u.setDeafAfterRestart(true); })
                                                << OtaManager::NeedsReplug << "replug required" << "1.5.0";
        QTest::newRow("the confirm never answered")
            << Fault([](UsbInstrument &u) { u.setSilentAfter(QStringLiteral("CMD:OTA_CONFIRM")); }) << OtaManager::Failed
            << "device did not confirm the new software (it is installed — reconnect to finish)" << "1.5.0";
    }
    void fileRuns()
    {
        QFETCH(Fault, fault);
        QFETCH(OtaManager::State, end);
        QFETCH(QString, message);
        QFETCH(QString, running);
        fault(*m_sim->usb);
        const QString oldPort = m_sim->link->portName();
        m_ota->startUpdateFromFile(imageFile(firmwareImage(QStringLiteral("1.5.0"), 1000)));
        QCOMPARE(m_ota->state(), OtaManager::Beginning);
        QVERIFY(runEnds());
        QCOMPARE(m_finished->constFirst(), (QVariantList{end == OtaManager::Done, message}));
        QCOMPARE(m_ota->state(), end);
        QCOMPARE(m_sim->state.firmwareVersion(), running);
        if (end == OtaManager::Done) {
            QVERIFY(m_sim->state.imageConfirmed());
            QVERIFY(m_sim->link->portName() != oldPort);
            QCOMPARE(m_ota->progress(), 100);
            return;
        }
        // An installed image left unconfirmed can be confirmed from here.
        QCOMPARE(m_ota->pendingConfirm(), running == QLatin1String("1.5.0"));
        QCOMPARE(m_sim->state.imageConfirmed(), running != QLatin1String("1.5.0"));
        if (!m_ota->pendingConfirm())
            return;
        m_sim->usb->clearFaults();
        if (!m_sim->link->isConnected())
            m_sim->usb->restart(); // the replug
        QTRY_VERIFY_WITH_TIMEOUT(m_sim->link->isConnected() && !m_sim->link->usbDeviceId().isEmpty(), 10000);
        m_finished->clear();
        m_ota->confirmRunningImage();
        QVERIFY(runEnds());
        QCOMPARE(m_finished->constFirst(), (QVariantList{true, QStringLiteral("Software %1 confirmed.").arg(m_sim->state.firmwareVersion())}));
        QVERIFY(m_sim->state.imageConfirmed());
    }

    // A release run whose new software does not start: the instrument falls back to what it
    // ran, which is no success, and nothing is confirmed.
    void releaseRunRolledBack()
    {
        qputenv("NERRA_RELEASE_BASE_URL", QUrl::fromLocalFile(QStringLiteral(NERRA_RELEASE_FIXTURE)).toString().toUtf8());
        FirmwareCatalog catalog;
        m_ota->setFirmwareCatalog(&catalog);
        m_sim->usb->setNewImageCrashes(true);
        m_ota->startUpdateFromRelease(QStringLiteral("v1.7.0"), QStringLiteral("dev"));
        QCOMPARE(m_ota->state(), OtaManager::Downloading);
        QCOMPARE(m_ota->targetVersion(), QStringLiteral("1.7.0"));
        QVERIFY(runEnds());
        qunsetenv("NERRA_RELEASE_BASE_URL");
        QCOMPARE(m_finished->constFirst(),
                 (QVariantList{false, QStringLiteral("the device came back with its earlier software 1.4.2 — the new software "
                                                     "1.7.0 did not start and was rolled back")}));
        QVERIFY(!commands().contains(QStringLiteral("CMD:OTA_CONFIRM")));
        QCOMPARE(m_sim->state.firmwareVersion(), QStringLiteral("1.4.2"));
    }

    // A download belongs to its run: the run that ends takes it along, and the next run
    // installs its own version, not the file of the one before.
    void downloadBelongsToItsRun()
    {
        ReleaseFixtureServer server;
        server.setFault(QStringLiteral("/nerra-prod/firmware/NerraFirmware-1.4.2.bin"), ReleaseFixtureServer::Fault::Hang);
        QVERIFY(server.start());
        qputenv("NERRA_RELEASE_BASE_URL", server.baseUrl().toEncoded());
        FirmwareCatalog catalog;
        m_ota->setFirmwareCatalog(&catalog);
        m_ota->startUpdateFromRelease(QStringLiteral("1.4.2"), QStringLiteral("prod"));
        QTRY_VERIFY(server.requestCount(QStringLiteral("/nerra-prod/firmware/NerraFirmware-1.4.2.bin")) == 1);
        m_ota->abort();
        QCOMPARE(m_finished->constFirst(), (QVariantList{false, QStringLiteral("cancelled")}));
        QVERIFY(!catalog.downloading());
        m_finished->clear();
        m_ota->startUpdateFromRelease(QStringLiteral("1.5.0"), QStringLiteral("prod"));
        QVERIFY(runEnds());
        qunsetenv("NERRA_RELEASE_BASE_URL");
        QCOMPARE(m_finished->constFirst(), (QVariantList{true, QStringLiteral("Update complete — device software is now 1.5.0.")}));
        QCOMPARE(m_sim->state.firmwareVersion(), QStringLiteral("1.5.0"));
    }

    void refusals_data()
    {
        QTest::addColumn<Start>("start");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing file") << Start([](TestOtaManager &t) { return t.m_env->tempDir() + QStringLiteral("/none.bin"); })
                                      << "cannot open %1";
        QTest::newRow("empty file") << Start([](TestOtaManager &t) { return t.imageFile(QByteArray()); })
                                    << "software image file is empty";
        QTest::newRow("a file far too large") << Start([](TestOtaManager &t) {
            QFile file(t.m_env->tempDir() + QStringLiteral("/disk.img"));
            return file.open(QIODevice::WriteOnly) && file.resize(OtaManager::MaxImageBytes + 1) ? file.fileName() : QString();
        }) << "disk.img is 16.00 MB — larger than any software image (16.00 MB at most)";
        QTest::newRow("not connected") << Start([](TestOtaManager &t) {
            t.m_sim->link->disconnect();
            return t.imageFile(firmwareImage(QStringLiteral("1.5.0"), 300));
        }) << "device is not connected";
        QTest::newRow("no USB update in the running software") << Start([](TestOtaManager &t) {
            t.m_sim->state.setFirmware(QStringLiteral("1.0.0"), 0);
            t.m_sim->link->refreshDeviceInfo();
            const bool reread = QTest::qWaitFor([&] { return t.m_sim->link->usbOtaVersion() == 0; }, 5000);
            return reread ? t.imageFile(firmwareImage(QStringLiteral("1.5.0"), 300)) : QString();
        }) << "this device's software does not support USB update";
    }
    void refusals()
    {
        QFETCH(Start, start);
        QFETCH(QString, reason);
        const QString path = start(*this);
        if (reason.contains(QLatin1String("%1")))
            reason = reason.arg(path);
        m_sim->usb->clearReceived();
        m_ota->startUpdateFromFile(path);
        QCOMPARE(m_finished->count(), 1);
        QCOMPARE(m_finished->constFirst(), (QVariantList{false, reason}));
        QCOMPARE(m_ota->statusMessage(), QStringLiteral("Update failed: ") + reason);
        QVERIFY(!m_sim->usb->receivedBytes().contains("CMD:OTA"));
    }

    void abortAndSecondStart()
    {
        m_sim->usb->setReplyDelay(20);
        m_ota->startUpdateFromFile(imageFile(firmwareImage(QStringLiteral("1.5.0"), 4000)));
        QTRY_COMPARE(m_ota->state(), OtaManager::Transferring);
        // A second start ends the run it finds under way.
        m_ota->startUpdateFromFile(imageFile(firmwareImage(QStringLiteral("1.6.0"), 300)));
        QCOMPARE(m_finished->constFirst(), (QVariantList{false, QStringLiteral("an update is already in progress")}));
        QVERIFY(runEnds());
        m_finished->clear();
        m_ota->reset();
        m_sim->usb->clearReceived();
        m_ota->startUpdateFromFile(imageFile(firmwareImage(QStringLiteral("1.5.0"), 4000)));
        QTRY_COMPARE(m_ota->state(), OtaManager::Transferring);
        m_ota->abort();
        QVERIFY(runEnds());
        QCOMPARE(m_finished->constFirst(), (QVariantList{false, QStringLiteral("cancelled")}));
        QTRY_VERIFY(commands().contains(QStringLiteral("CMD:OTA_ABORT")));
        QCOMPARE(m_sim->state.firmwareVersion(), QStringLiteral("1.4.2"));
    }

    // Another instrument plugged in while this one restarts gets neither the confirm nor
    // anything else of the run, which waits for its own until a replug is needed.
    void anotherInstrumentDuringTheRestart()
    {
        InstrumentState otherState;
        otherState.setHardwareId(QStringLiteral("0F0E0D0C0B0A"));
        UsbInstrument other(&otherState);
        other.setAttachPollInterval(5);
        m_sim->usb->setRestartDelay(4000);
        connect(m_ota.get(), &OtaManager::stateChanged, this, [&] {
            if (m_ota->state() == OtaManager::Rebooting && !other.isPresent()) {
                QVERIFY(other.plugIn());
                m_sim->lister.addInstrument(&other);
            }
        });
        m_ota->startUpdateFromFile(imageFile(firmwareImage(QStringLiteral("1.5.0"), 600)));
        QVERIFY(runEnds());
        QCOMPARE(m_ota->state(), OtaManager::NeedsReplug);
        QCOMPARE(m_sim->link->usbDeviceId(), QStringLiteral("0F0E0D0C0B0A"));
        QVERIFY(!other.receivedBytes().contains("CMD:OTA_"));
        QVERIFY(m_ota->pendingConfirm());
        m_sim->link->disconnect();
        m_sim->lister.removeInstrument(&other);
    }

    void arbitraryReplies_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed : {11u, 12u, 13u, 14u})
            QTest::newRow(qPrintable(QString::number(seed))) << seed;
    }
    void arbitraryReplies()
    {
        QFETCH(quint32, seed);
        QRandomGenerator random(seed);
        const QStringList replies{"OK:OTA_BEGIN:0",     "OK:OTA_BEGIN:64",   "OK:OTA_BEGIN:x",  "PENDING_CONFIRM",
                                  "OK:OTA_CHUNK:128",   "OK:OTA_CHUNK:9999", "OK:OTA_CHUNK:",   "ERR:BADCHUNK",
                                  "ERR:CHUNK_TOO_BIG",  "OK:OTA_STATUS:0",   "OK:OTA_STATUS:-1", "OK:OTA:verified",
                                  "ERR:CHECKSUM",       "OK:OTA:rebooting",  "OK:OTA:confirmed", "ERR:busy",
                                  "LOG:hello",          QString()};
        for (const char *command : {"CMD:OTA_BEGIN", "CMD:OTA_CHUNK", "CMD:OTA_STATUS", "CMD:OTA_END", "CMD:OTA_APPLY", "CMD:OTA_CONFIRM"}) {
            if (random.bounded(3) == 0)
                continue;
            const QString reply = replies.at(random.bounded(replies.size()));
            m_sim->usb->setReply(QString::fromLatin1(command), reply, random.bounded(1, 4));
        }
        m_ota->startUpdateFromFile(imageFile(firmwareImage(QStringLiteral("1.5.0"), 700)));
        QVERIFY(runEnds(30000));
        const OtaManager::State end = m_ota->state();
        QVERIFY2(end == OtaManager::Done || end == OtaManager::Failed || end == OtaManager::NeedsReplug,
                 qPrintable(m_ota->statusMessage()));
        QCOMPARE(m_finished->count(), 1);
    }
};

NERRA_TEST_MAIN(TestOtaManager)
#include "tst_otamanager.moc"
