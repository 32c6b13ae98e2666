// Flashing a blank board against a real release server on 127.0.0.1 and the stand-in
// flashing tool: what reaches the tool, what the card is told, and what a cancelled run
// leaves behind.
#include "firmware/bootstrapmanager.h"
#include "firmware/releaseserver.h"
#include "releasefixtureserver.h"
#include "testfiles.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <memory>

using Fault = ReleaseFixtureServer::Fault;

namespace {

const QString Manifest = QStringLiteral("/nerra-prod/boot/manifest.txt");
const QString Image = QStringLiteral("/nerra-prod/boot/NerraBoot-1.0.2.bin");
const QString Port = QStringLiteral("/dev/nerra-test-board");



QString cached() { return BootstrapManager::cacheFolder() + QStringLiteral("/NerraBoot-1.0.2.bin"); }

} // namespace

class TestBootstrapManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<ReleaseFixtureServer> m_server;
    std::unique_ptr<BootstrapManager> m_boot;
    QString m_toolDir;
    QStringList m_statuses;

    // The tool's runs, each its argument list.
    QList<QStringList> toolRuns() const
    {
        QList<QStringList> runs;
        QStringList run;
        for (const QString &line : QString::fromUtf8(readFile(m_toolDir + "/argv.log")).split('\n', Qt::SkipEmptyParts)) {
            if (line == QLatin1String("--")) {
                runs.append(run);
                run.clear();
            } else {
                run.append(line);
            }
        }
        return runs;
    }

private slots:
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_server = std::make_unique<ReleaseFixtureServer>();
        QVERIFY(m_server->start());
        qputenv("NERRA_BOOT_BASE_URL", m_server->baseUrl().toEncoded());
        m_toolDir = m_env->root() + QStringLiteral("/esptool");
        QVERIFY(QDir().mkpath(m_toolDir));
        qputenv("FAKE_ESPTOOL_DIR", m_toolDir.toUtf8());
        m_boot = std::make_unique<BootstrapManager>();
        m_boot->setToolProgram(QStringLiteral(NERRA_FAKE_ESPTOOL));
        m_boot->setTimings(20, 20, 5000);
        m_statuses.clear();
        connect(m_boot.get(), &BootstrapManager::statusMessageChanged, this,
                [this] { m_statuses.append(m_boot->statusMessage()); });
    }

    void cleanup()
    {
        m_boot.reset();
        qunsetenv("NERRA_BOOT_BASE_URL");
        qunsetenv("FAKE_ESPTOOL_DIR");
        m_server.reset();
        m_env.reset();
    }

    void run_data()
    {
        QTest::addColumn<QString>("setup");     // manifest:<text>, image:<bytes>, cache:<match|stale>, 500, tool:<path>
        QTest::addColumn<QString>("exitCodes"); // the tool's, run by run
        QTest::addColumn<QString>("error");     // "" for success; else the message starts so
        QTest::addColumn<int>("toolRuns");
        QTest::addColumn<bool>("imageFetched");

        QTest::newRow("flashed end to end") << "" << "" << "" << 1 << true;
        QTest::newRow("cached image reused") << "cache:match" << "" << "" << 1 << false;
        QTest::newRow("stale cache replaced") << "cache:stale" << "" << "" << 1 << true;
        QTest::newRow("busy port, then a crash, then flashed") << "" << "2\ncrash\n0" << "" << 3 << true;
        QTest::newRow("manifest unreachable") << "500" << "" << "Could not reach S3: the server answered HTTP 500" << 0 << false;
        QTest::newRow("manifest names a file in another folder")
            << "manifest:NerraBoot-boot/escaped.bin" << "" << "Unexpected manifest: NerraBoot-boot/escaped.bin" << 0 << false;
        QTest::newRow("damaged image") << "image:not the boot image" << "" << "Download failed: checksum mismatch" << 0 << true;
        QTest::newRow("no tool") << "tool:/nonexistent/esptool" << "" << "esptool not found: /nonexistent/esptool" << 0 << true;
        QTest::newRow("tool that cannot start") << "tool:/etc/hostname" << "" << "Failed to start esptool" << 0 << true;
    }

    void run()
    {
        QFETCH(QString, setup);
        QFETCH(QString, exitCodes);
        QFETCH(QString, error);
        QFETCH(int, toolRuns);
        QFETCH(bool, imageFetched);
        const QByteArray image = readFile(ReleaseFixtureServer::defaultRoot() + Image);
        const QString value = setup.section(':', 1);
        if (setup.startsWith("manifest:"))
            m_server->setFile(Manifest, value.toUtf8());
        if (setup.startsWith("image:"))
            m_server->setFile(Image, value.toUtf8());
        if (setup.startsWith("cache:"))
            QVERIFY(writeFile(cached(), value == QLatin1String("match") ? image : QByteArray("an older boot image")));
        if (setup == QLatin1String("500"))
            m_server->setFault(Manifest, Fault::ServerError);
        if (setup.startsWith("tool:"))
            m_boot->setToolProgram(value);
        QVERIFY(writeFile(m_toolDir + "/exit-codes", exitCodes.toUtf8()));

        QSignalSpy finished(m_boot.get(), &BootstrapManager::finished);
        m_boot->startBootstrap(Port);
        QCOMPARE(m_boot->state(), QStringLiteral("detecting"));
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().at(0).toBool(), error.isEmpty());
        const QString message = finished.first().at(1).toString();
        QVERIFY2(error.isEmpty() ? message.isEmpty() : message.startsWith(error), qPrintable(message));
        QCOMPARE(m_boot->state(), error.isEmpty() ? QStringLiteral("success") : QStringLiteral("error"));
        QVERIFY(!m_boot->isActive());
        QCOMPARE(m_server->requestCount(Image), imageFetched ? 1 : 0);

        const QStringList arguments{"--chip", "esp32s3", "--port", Port, "--baud", "921600", "write-flash", "0x0", cached()};
        const QList<QStringList> runs = this->toolRuns();
        QCOMPARE(runs.size(), toolRuns);
        for (const QStringList &run : runs)
            QCOMPARE(run, arguments);
        // What was flashed is the release's image, and nothing unverified stays cached.
        if (toolRuns > 0)
            QCOMPARE(readFile(cached()), image);
        else if (!setup.startsWith("tool:"))
            QVERIFY(!QFile::exists(cached()));
        for (int attempt = 1; attempt < toolRuns; ++attempt)
            QVERIFY(m_statuses.contains(QStringLiteral("Port busy — retrying (%1/5)...").arg(attempt)));
        if (error.isEmpty())
            QCOMPARE(readFile(m_toolDir + "/flashed.bin"), image);
    }

    // A cancelled run ends without a word, its deferred steps and its tool die with it,
    // and a retry is one run, not two.
    void cancelStopsTheRun_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::newRow("settling") << "detecting";
        QTest::newRow("downloading") << "downloading";
        QTest::newRow("flashing, tool hung") << "flashing";
        QTest::newRow("waiting to relaunch") << "relaunch";
    }

    void cancelStopsTheRun()
    {
        QFETCH(QString, stage);
        m_server->setFault(Image, Fault::Slow);
        m_server->setTrickle(256, 50);
        QVERIFY(writeFile(m_toolDir + "/exit-codes", stage == QLatin1String("flashing") ? "hang" : "1"));
        m_boot->setTimings(stage == QLatin1String("detecting") ? 300 : 20, 300, 5000);
        QSignalSpy finished(m_boot.get(), &BootstrapManager::finished);
        m_boot->startBootstrap(Port);
        if (stage == QLatin1String("relaunch"))
            QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(QStringLiteral("Port busy — retrying (1/5)...")), 20000);
        else
            QTRY_COMPARE_WITH_TIMEOUT(m_boot->state(), stage, 20000);
        if (stage == QLatin1String("flashing"))
            QTRY_COMPARE(toolRuns().size(), 1);
        if (stage == QLatin1String("downloading"))
            QTRY_COMPARE(m_server->requestCount(Image), 1);   // the image is on its way
        m_boot->cancel();
        QCOMPARE(m_boot->state(), QStringLiteral("idle"));
        QVERIFY(!m_boot->isActive());
        const int requests = m_server->requests().size();
        const int runs = toolRuns().size();
        QVERIFY(!finished.wait(600));   // longer than any deferred step
        QCOMPARE(m_server->requests().size(), requests);
        QCOMPARE(toolRuns().size(), runs);

        m_server->setFault(Image, Fault::None);
        QVERIFY(writeFile(m_toolDir + "/exit-codes", ""));
        m_boot->retry();
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.first().at(0).toBool(), true);
        QVERIFY(!finished.wait(600));
        QCOMPARE(m_server->requests().mid(requests).count(Manifest), 1);
    }

    // The relaunch count is kept across runs; only a retry gives the five back.
    void relaunchesComeBackOnlyWithRetry()
    {
        QVERIFY(writeFile(m_toolDir + "/exit-codes", QByteArray("3\n").repeated(13)));
        QSignalSpy finished(m_boot.get(), &BootstrapManager::finished);
        for (int expectedRuns : {6, 7, 13}) {
            if (expectedRuns == 13)
                m_boot->retry();
            else
                m_boot->startBootstrap(Port);
            QVERIFY(finished.wait(20000));
            QCOMPARE(m_boot->errorMessage(), QStringLiteral("Flash failed (exit code 3)"));
            QCOMPARE(toolRuns().size(), expectedRuns);
        }
    }
};

NERRA_TEST_MAIN(TestBootstrapManager)
#include "tst_bootstrapmanager.moc"
