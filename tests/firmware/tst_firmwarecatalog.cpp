// The firmware catalogue against a real release server on 127.0.0.1: what a refresh
// offers, what a download hands over, and every way the server, the network or the
// disk can spoil either without the user being told.
#include "firmware/firmwarecatalog.h"
#include "firmware/releaseserver.h"
#include "filesizelimit.h"
#include "releasefixtureserver.h"
#include "testfiles.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>

#include <memory>

using Fault = ReleaseFixtureServer::Fault;

namespace {

struct FaultRule
{
    QString path;
    Fault fault;
    QString target;
};
using Faults = QVector<FaultRule>;

QString firmwarePath(const QString &env, const QString &name)
{
    return QStringLiteral("/nerra-%1/firmware/%2").arg(env, name);
}

QString imagePath(const QString &env, const QString &version)
{
    return firmwarePath(env, QStringLiteral("NerraFirmware-%1.bin").arg(version));
}

QString checksumPath(const QString &env, const QString &version)
{
    return firmwarePath(env, QStringLiteral("NerraFirmware-%1.md5").arg(version));
}



QByteArray fixtureImage(const QString &env, const QString &version)
{
    return readFile(ReleaseFixtureServer::defaultRoot() + imagePath(env, version));
}

QString cachedImage(const QString &version)
{
    return FirmwareCatalog::cacheFolder() + QStringLiteral("/NerraFirmware-%1.bin").arg(version);
}

QStringList cacheContents()
{
    return QDir(FirmwareCatalog::cacheFolder()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

// An empty `start` means no message at all; otherwise the message starts so and names
// the reason.
bool messageMatches(const QString &message, const QString &start, const QString &reason)
{
    return start.isEmpty() ? message.isEmpty() : message.startsWith(start) && message.contains(reason);
}

// Signals may come at once (a refused request) or later (a reply).
bool arrived(QSignalSpy &spy)
{
    return !spy.isEmpty() || spy.wait(10000);
}

// The outcome of one download: the path handed over, or the failure.
struct Outcome
{
    QString path;
    QString failure;
};

Outcome runDownload(FirmwareCatalog &catalog, const QString &version, const QString &env)
{
    QSignalSpy done(&catalog, &FirmwareCatalog::downloaded);
    QSignalSpy failed(&catalog, &FirmwareCatalog::downloadFailed);
    catalog.download(version, env);
    if (!QTest::qWaitFor([&] { return !done.isEmpty() || !failed.isEmpty(); }, 10000))
        return {QString(), QStringLiteral("<no outcome>")};
    if (!failed.isEmpty() && !done.isEmpty())
        return {QString(), QStringLiteral("<both downloaded and failed>")};
    if (!failed.isEmpty())
        return {QString(), failed.first().first().toString()};
    return {done.first().first().toString(), QString()};
}

} // namespace

Q_DECLARE_METATYPE(Faults)

class TestFirmwareCatalog : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<ReleaseFixtureServer> m_server;

    void serve(const Faults &faults)
    {
        for (const FaultRule &rule : faults)
            m_server->setFault(rule.path, rule.fault, rule.target);
    }

private slots:
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_server = std::make_unique<ReleaseFixtureServer>();
        QVERIFY(m_server->start());
        qputenv("NERRA_RELEASE_BASE_URL", m_server->baseUrl().toEncoded());
        ReleaseServer::setTransferTimeout(5000);
    }

    void cleanup()
    {
        ReleaseServer::setTransferTimeout(30000);
        qunsetenv("NERRA_RELEASE_BASE_URL");
        m_server.reset();
        m_env.reset();
    }

    void refresh_data()
    {
        QTest::addColumn<Faults>("faults");
        QTest::addColumn<QByteArray>("manifest");   // at the manifest's final place; null: the tree's
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QStringList>("versions");
        QTest::addColumn<QString>("error");         // the message starts so
        QTest::addColumn<QString>("reason");        // and names this

        const QString prodManifest = firmwarePath(QStringLiteral("prod"), QStringLiteral("manifest.txt"));
        const QString prodList = firmwarePath(QStringLiteral("prod"), QStringLiteral("list.txt"));
        const QStringList prodVersions{QStringLiteral("1.5.0"), QStringLiteral("1.4.2")};
        const QString unreachable = QStringLiteral("Could not reach the release server: ");

        QTest::newRow("newest first, other names skipped, latest added")
            << Faults() << QByteArray("1.11.0\n")
            << QByteArray("NerraFirmware-1.2.0.bin\nNerraFirmware-1.2.0.md5\n\n  NerraFirmware-1.10.0.bin\r\n"
                          "NerraFirmware-1.10.0.bin\nREADME.txt\nNerraFirmware-1.3.bin\nOldFirmware-1.9.0.bin\n")
            << true << "1.11.0" << QStringList{"1.11.0", "1.10.0", "1.2.0"} << "" << "";
        QTest::newRow("manifest is a web page")
            << Faults{{prodManifest, Fault::HtmlPage, {}}} << QByteArray() << QByteArray() << false
            << "" << prodVersions << "Unexpected manifest on the release server" << "";
        QTest::newRow("manifest moved")
            << Faults{{prodManifest, Fault::Redirect, "/moved/manifest.txt"}} << QByteArray("1.4.2\n")
            << QByteArray() << true << "1.4.2" << prodVersions << "" << "";
        QTest::newRow("manifest redirected in a loop")
            << Faults{{prodManifest, Fault::Redirect, prodManifest}} << QByteArray() << QByteArray()
            << false << "" << QStringList() << unreachable << "too many redirects";
        QTest::newRow("manifest never answered")
            << Faults{{prodManifest, Fault::Hang, {}}} << QByteArray() << QByteArray() << false << ""
            << QStringList() << unreachable << "did not answer within 0.3 s";
        QTest::newRow("list unavailable")
            << Faults{{prodList, Fault::ServerError, {}}} << QByteArray() << QByteArray() << true
            << "1.5.0" << QStringList{"1.5.0"} << "" << "";
    }

    void refresh()
    {
        const QString env = QStringLiteral("prod");
        QFETCH(Faults, faults);
        QFETCH(QByteArray, manifest);
        QFETCH(QByteArray, list);
        QFETCH(bool, ok);
        QFETCH(QString, latest);
        QFETCH(QStringList, versions);
        QFETCH(QString, error);
        QFETCH(QString, reason);

        serve(faults);
        const bool moved = !faults.isEmpty() && faults.first().fault == Fault::Redirect;
        if (!manifest.isNull())
            m_server->setFile(moved ? faults.first().target : firmwarePath(env, QStringLiteral("manifest.txt")),
                              manifest);
        if (!list.isNull())
            m_server->setFile(firmwarePath(env, QStringLiteral("list.txt")), list);
        if (!faults.isEmpty() && faults.first().fault == Fault::Hang)
            ReleaseServer::setTransferTimeout(300);

        FirmwareCatalog catalog;
        QSignalSpy refreshed(&catalog, &FirmwareCatalog::refreshed);
        catalog.refresh(env);
        QVERIFY(catalog.checking());
        QVERIFY(arrived(refreshed));
        QCOMPARE(refreshed.count(), 1);
        QCOMPARE(refreshed.first().first().toBool(), ok);
        QVERIFY(!catalog.checking());
        QVERIFY2(messageMatches(catalog.errorMessage(), error, reason), qPrintable(catalog.errorMessage()));
        if (error.startsWith(QLatin1String("Could not reach")))
            return;   // the catalogue held before stays as it was
        QCOMPARE(catalog.env(), env);
        QCOMPARE(catalog.latestVersion(), latest);
        QCOMPARE(catalog.versions(), versions);
    }

    // Where the server is comes from the settings store, then the environment, and
    // nowhere else; a channel name only reaches a URL when the server could hold it.
    void serverAndChannel_data()
    {
        QTest::addColumn<QString>("settingsBase");   // "$server": the fixture server
        QTest::addColumn<QString>("environmentBase");
        QTest::addColumn<QString>("env");
        QTest::addColumn<QString>("error");          // "" when both refresh and download succeed
        QTest::addColumn<bool>("serverAsked");

        const QString nobody = QStringLiteral("http://127.0.0.1:1");
        const QString none = QStringLiteral("no release server configured");
        QTest::newRow("settings before environment") << "$server" << nobody << "prod" << "" << true;
        QTest::newRow("nothing configured") << "" << "" << "prod" << none << false;
        QTest::newRow("channel leaving its folder")
            << "" << "$server" << "prod/../../etc" << "invalid release channel \"prod/../../etc\"" << false;
    }

    void serverAndChannel()
    {
        QFETCH(QString, settingsBase);
        QFETCH(QString, environmentBase);
        QFETCH(QString, env);
        QFETCH(QString, error);
        QFETCH(bool, serverAsked);

        const auto resolve = [this](QString base) { return base.replace(QStringLiteral("$server"), m_server->baseUrl().toString()); };
        QSettings(QStringLiteral("Vellora"), QStringLiteral("Nerra"))
            .setValue(QStringLiteral("releaseServer/baseUrl"), resolve(settingsBase));
        qputenv("NERRA_RELEASE_BASE_URL", resolve(environmentBase).toUtf8());

        FirmwareCatalog catalog;
        QSignalSpy refreshed(&catalog, &FirmwareCatalog::refreshed);
        catalog.refresh(env);
        QVERIFY(arrived(refreshed));
        QCOMPARE(refreshed.first().first().toBool(), error.isEmpty());
        QCOMPARE(catalog.errorMessage(), error);
        if (error.isEmpty())
            QCOMPARE(catalog.latestVersion(), QStringLiteral("1.5.0"));

        const Outcome outcome = runDownload(catalog, QStringLiteral("1.4.2"), env);
        QCOMPARE(outcome.failure, error);
        if (error.isEmpty())
            QCOMPARE(readFile(outcome.path), fixtureImage(QStringLiteral("prod"), QStringLiteral("1.4.2")));
        QCOMPARE(!m_server->requests().isEmpty(), serverAsked);
    }

    void download_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<Faults>("faults");
        QTest::addColumn<QByteArray>("image");     // served in place of the tree's image; null: the tree's
        QTest::addColumn<QString>("cachedBefore"); // "", "matching" or "stale"
        QTest::addColumn<int>("diskLimit");        // bytes any file may hold; 0: no limit
        QTest::addColumn<QString>("failure");      // "" for success; else the message starts so
        QTest::addColumn<QString>("reason");       // and names this
        QTest::addColumn<int>("imageRequests");

        const QString md5 = checksumPath(QStringLiteral("prod"), QStringLiteral("1.5.0"));
        const QString bin = imagePath(QStringLiteral("prod"), QStringLiteral("1.5.0"));
        const QString checksumFailure = QStringLiteral("Downloaded image failed its checksum — try again");
        const QString failed = QStringLiteral("Download failed: ");
        const QByteArray other("firmware built elsewhere\n");

        QTest::newRow("fetched and cached") << "1.5.0" << Faults() << QByteArray() << "" << 0 << "" << "" << 1;
        QTest::newRow("cache hit") << "1.5.0" << Faults() << QByteArray() << "matching" << 0 << "" << "" << 0;
        QTest::newRow("stale cache replaced") << "1.5.0" << Faults() << QByteArray() << "stale" << 0 << "" << "" << 1;
        QTest::newRow("md5sum-style checksum") << "1.5.0" << Faults{{md5, Fault::Md5sumChecksum, {}}}
                                               << other << "" << 0 << "" << "" << 1;
        QTest::newRow("checksum mismatch") << "1.5.0" << Faults() << other << "" << 0 << checksumFailure << "" << 1;
        QTest::newRow("not on the server") << "9.9.9" << Faults() << QByteArray() << "" << 0
                                           << "9.9.9 is not available on the release server (" << "(the server answered HTTP 404 Not Found)"
                                           << 0;
        QTest::newRow("image cut short, no checksum")
            << "1.5.0" << Faults{{md5, Fault::EmptyBody, {}}, {bin, Fault::Truncate, {}}}
            << QByteArray() << "" << 0 << failed << "" << 1;
        QTest::newRow("disk full") << "1.5.0" << Faults() << QByteArray() << "" << 1000
                                   << "Cannot write to the software cache: " << "NerraFirmware-1.5.0.bin" << 1;
    }

    void download()
    {
        const QString env = QStringLiteral("prod");
        QFETCH(QString, version);
        QFETCH(Faults, faults);
        QFETCH(QByteArray, image);
        QFETCH(QString, cachedBefore);
        QFETCH(int, diskLimit);
        QFETCH(QString, failure);
        QFETCH(QString, reason);
        QFETCH(int, imageRequests);

        const QString plain = FirmwareCatalog().normalizeVersion(version);
        const QByteArray served = image.isNull() ? fixtureImage(env, plain) : image;
        serve(faults);
        if (!image.isNull())
            m_server->setFile(imagePath(env, plain), image);
        const QString cached = cachedImage(plain);
        const QByteArray stale("an older build\n");
        if (!cachedBefore.isEmpty())
            QVERIFY(writeFile(cached, cachedBefore == QLatin1String("stale") ? stale : served));

        FirmwareCatalog catalog;
        Outcome outcome;
        {
            std::unique_ptr<FileSizeLimit> fullDisk(diskLimit > 0 ? new FileSizeLimit(diskLimit) : nullptr);
            outcome = runDownload(catalog, version, env);
        }

        QVERIFY2(messageMatches(outcome.failure, failure, reason), qPrintable(outcome.failure));
        QVERIFY(!catalog.downloading());
        QCOMPARE(m_server->requestCount(imagePath(env, plain)), imageRequests);
        if (failure.isEmpty()) {
            QVERIFY2(outcome.failure.isEmpty(), qPrintable(outcome.failure));
            QCOMPARE(outcome.path, cached);
            QCOMPARE(readFile(cached), served);
            QCOMPARE(catalog.progress(), 100);
            QCOMPARE(catalog.errorMessage(), QString());
        } else {
            QCOMPARE(catalog.errorMessage(), outcome.failure);
            // Nothing half-written or unverified is left where the updater would take it.
            QCOMPARE(cacheContents(), cachedBefore.isEmpty() ? QStringList() : QStringList{cached.section('/', -1)});
            if (!cachedBefore.isEmpty())
                QCOMPARE(readFile(cached), cachedBefore == QLatin1String("stale") ? stale : served);
        }
    }

    // A cancelled download fails once, as "cancelled", and leaves nothing behind that a
    // later download of another release could pick up.
    void cancelIsReportedOnce_data()
    {
        QTest::addColumn<QString>("stalledPath");
        QTest::addColumn<Fault>("fault");
        QTest::newRow("while the checksum is fetched") << checksumPath("prod", "1.5.0") << Fault::Hang;
        QTest::newRow("while the image arrives") << imagePath("prod", "1.5.0") << Fault::Slow;
    }

    void cancelIsReportedOnce()
    {
        QFETCH(QString, stalledPath);
        QFETCH(Fault, fault);
        m_server->setFault(stalledPath, fault);
        m_server->setTrickle(64, 30);

        FirmwareCatalog catalog;
        QSignalSpy failed(&catalog, &FirmwareCatalog::downloadFailed);
        QSignalSpy done(&catalog, &FirmwareCatalog::downloaded);
        catalog.download(QStringLiteral("1.5.0"), QStringLiteral("prod"));
        QTRY_COMPARE(m_server->requestCount(stalledPath), 1);
        catalog.cancelDownload();
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.first().first().toString(), QStringLiteral("cancelled"));
        QCOMPARE(catalog.errorMessage(), QStringLiteral("cancelled"));
        QVERIFY(!catalog.downloading());

        catalog.download(QStringLiteral("1.4.2"), QStringLiteral("prod"));
        QVERIFY(done.wait(10000));
        QCOMPARE(done.first().at(0).toString(), cachedImage(QStringLiteral("1.4.2")));
        QCOMPARE(done.first().at(1).toString(), QStringLiteral("1.4.2"));
        QCOMPARE(readFile(cachedImage(QStringLiteral("1.4.2"))), fixtureImage("prod", "1.4.2"));
        QCOMPARE(failed.count(), 1);
        QCOMPARE(done.count(), 1);
        QCOMPARE(cacheContents(), QStringList{QStringLiteral("NerraFirmware-1.4.2.bin")});
    }

    // Past 21 474 836 bytes, received × 100 no longer fits 32 bits: more than half of a
    // 40 MiB image arrives beyond that point.
    void progressOfALargeImage()
    {
        QByteArray image(40 * 1024 * 1024, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 7 + i / 4096);
        m_server->setFile(imagePath("prod", "1.5.0"), image);
        m_server->setFault(checksumPath("prod", "1.5.0"), Fault::Md5sumChecksum);
        // In pieces, so that progress is reported on the way and not only at the end
        // (Qt reports it at most every 100 ms).
        m_server->setFault(imagePath("prod", "1.5.0"), Fault::Slow);
        m_server->setTrickle(1024 * 1024, 15);

        FirmwareCatalog catalog;
        QList<int> seen;
        connect(&catalog, &FirmwareCatalog::progressChanged, this, [&] { seen.append(catalog.progress()); });
        const Outcome outcome = runDownload(catalog, QStringLiteral("1.5.0"), QStringLiteral("prod"));
        QCOMPARE(outcome.failure, QString());
        QCOMPARE(seen.last(), 100);
        QVERIFY(std::is_sorted(seen.begin(), seen.end()) && seen.first() >= 0);
        QVERIFY(std::any_of(seen.begin(), seen.end(), [](int p) { return p >= 54 && p < 100; }));
    }

    void compareVersions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("result");
        QTest::newRow("prefix and suffix ignored") << "v1.7.0-dev" << "1.7.0" << 0;
        QTest::newRow("no version") << "2.0.0" << "beta" << 0;
    }

    void compareVersions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, result);
        QCOMPARE(FirmwareCatalog().compareVersions(a, b), result);
    }
};

NERRA_TEST_MAIN(TestFirmwareCatalog)
#include "tst_firmwarecatalog.moc"
