// The self-updater against a real release server on 127.0.0.1: what a check offers,
// what reaches the disk, and what is handed to the launcher. The Windows hand-over runs
// here with a script standing in for cmd.exe.
#include "app/updateinstaller.h"
#include "app/updatemanager.h"
#include "filesizelimit.h"
#include "firmware/releaseserver.h"
#include "releasefixtureserver.h"
#include "testfiles.h"
#include "testmain.h"
#include "trustedcertificate.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSslSocket>

#include <memory>

using Fault = ReleaseFixtureServer::Fault;

namespace {

const QString ManifestPath = QStringLiteral("/nerra-prod/app/latest.json");
const QString InstallerPath = QStringLiteral("/nerra-prod/app/NerraDesktop-Setup-1.6.0.exe");
const QByteArray InstallerUrl = "\"url_windows\":\"NerraDesktop-Setup-1.6.0.exe\"";
const QString Corrupt = QStringLiteral("Download verification failed — file may be corrupt. Please try again.");


QByteArray installer()
{
    return readFile(ReleaseFixtureServer::defaultRoot() + InstallerPath);
}

QStringList downloads()
{
    return QDir(UpdateInstaller::userDownloadFolder()).entryList(QDir::Files | QDir::Hidden);
}

// Checks (from start-up for "startup"), downloads for "download…" and
// "install…" steps, and waits until neither is running.
void run(UpdateManager &updates, QString steps)
{
    steps.remove(QStringLiteral("https:"));
    steps == QLatin1String("startup") ? updates.checkOnStartup() : updates.checkNow();
    (void)QTest::qWaitFor([&] { return updates.state() != QLatin1String("checking"); });
    if (steps.startsWith(QLatin1String("download")) || steps.startsWith(QLatin1String("install"))) {
        updates.startDownload();
        (void)QTest::qWaitFor([&] { return updates.state() != QLatin1String("downloading"); });
    }
}

} // namespace

class TestUpdateManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<ReleaseFixtureServer> m_server;
    WindowsBatchInstaller m_windows;
    QString m_launcher;
    int m_quits = 0;

    std::unique_ptr<UpdateManager> manager(UpdateInstaller *installer)
    {
        auto updates = std::make_unique<UpdateManager>();
        updates->setRunningVersion(QStringLiteral("v1.5.0"));
        updates->setInstaller(installer);
        updates->setQuitFunction([this] { ++m_quits; });
        return updates;
    }

private slots:
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_server = std::make_unique<ReleaseFixtureServer>();
        QVERIFY(m_server->start());
        qputenv("NERRA_RELEASE_BASE_URL", m_server->baseUrl().toEncoded());
        ReleaseServer::setTransferTimeout(5000);
        m_launcher = m_env->root() + QStringLiteral("/launcher");
        QFile script(m_launcher);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.args\"\n");
        QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
        m_windows.setLauncherProgram(m_launcher);
        m_quits = 0;
    }

    void cleanup()
    {
        ReleaseServer::setTransferTimeout(30000);
        qunsetenv("NERRA_RELEASE_BASE_URL");
        m_server.reset();
        m_env.reset();
    }

    void flow_data()
    {
        QTest::addColumn<QByteArray>("manifest");   // null: the tree's
        QTest::addColumn<QString>("faultPath");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("steps");         // see run(); "download:full" with a full disk
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("error");         // the message starts so; "$bat", "$installer": their paths
        QTest::addColumn<QString>("saved");         // the download folder's files

        const QString setup = QStringLiteral("NerraDesktop-Setup-1.6.0.exe");
        const auto m = [](const QByteArray &fields) { return "{" + fields + "}"; };
        const QByteArray v160 = "\"version\":\"1.6.0\",";
        const QByteArray tree;
        const Fault ok = Fault::None;
        const QString ready = QStringLiteral("readyToInstall");
        const QString available = QStringLiteral("updateAvailable");
        QTest::newRow("newer, MD5 matches in upper case") << tree << "" << ok << "download" << ready << "" << setup;
        QTest::newRow("same version")
            << m("\"version\":\"1.5.0\"," + InstallerUrl) << "" << ok << "download" << "upToDate" << "" << "";
        QTest::newRow("older version never offered")
            << m("\"version\":\"1.4.12\"," + InstallerUrl) << "" << ok << "download" << "upToDate" << "" << "";
        QTest::newRow("two parts read as 1.10.0") << m("\"version\":\"1.10\"") << "" << ok << "check" << available
                                                  << "" << "";
        QTest::newRow("user check fails") << tree << ManifestPath << Fault::ServerError << "check" << "error"
                                          << "Update check failed: the server answered HTTP 500" << "";
        QTest::newRow("start-up check fails silently")
            << tree << ManifestPath << Fault::ServerError << "startup" << "idle" << "" << "";
        QTest::newRow("manifest not JSON") << tree << ManifestPath << Fault::HtmlPage << "check" << "idle" << "" << "";
        QTest::newRow("notes link not a web page")
            << m(v160 + "\"notes_url\":\"file:///etc/passwd\"") << "" << ok << "check" << available << "" << "";
        QTest::newRow("MD5 mismatch") << m(v160 + InstallerUrl + ",\"md5_windows\":\"" + QByteArray(32, '0') + "\"")
                                      << "" << ok << "download" << "error" << Corrupt << "";
        QTest::newRow("relative URL, no MD5")
            << m(v160 + "\"url_windows\":\"" + setup.toUtf8() + "\"") << "" << ok << "download" << ready << "" << setup;
        QTest::newRow("unusable file name") << m(v160 + "\"url_windows\":\"./C:x.exe\"") << "" << ok << "download"
                                            << ready << "" << "NerraDesktop-Setup.exe";
        QTest::newRow("no URL")
            << m("\"version\":\"1.6.0\"") << "" << ok << "download" << "error" << "No download URL in manifest" << "";
        QTest::newRow("cut short") << tree << InstallerPath << Fault::Truncate << "download" << "error"
                                   << "Download failed: " << "";
        QTest::newRow("disk full")
            << tree << "" << ok << "download:full" << "error" << "Download failed: cannot write " << "";
        QTest::newRow("handed over") << tree << "" << ok << "install" << "installing" << "" << setup + ",run_update.bat";
        QTest::newRow("installer replaced after verification")
            << tree << "" << ok << "install:replace" << "error" << Corrupt << "";
        QTest::newRow("no launcher program") << tree << "" << ok << "install:noProgram" << "error"
                                             << "Failed to launch installer batch." << setup;
        // Here the package manager installs: a newer version is announced, nothing fetched.
        QTest::newRow("platform default") << tree << "" << ok << "install:default" << available << "" << "";
        // Over HTTPS ("https:"), "$plain" is the plain-HTTP server's address.
        const QString lessSafe = QStringLiteral("Download failed: the server redirected to a less safe address ($plain");
        QTest::newRow("HTTPS manifest names a plain-HTTP installer")
            << m(v160 + "\"url_windows\":\"$plain/nerra-prod/app/NerraDesktop-Setup-1.6.0.exe\"") << "" << ok
            << "https:download" << "error" << "Download failed: the manifest names an installer at a less safe address ($plain/" << "";
        QTest::newRow("installer redirected to plain HTTP")
            << tree << InstallerPath << Fault::Redirect << "https:download" << "error" << lessSafe << "";
    }

    void flow()
    {
        QFETCH(QByteArray, manifest);
        QFETCH(QString, faultPath);
        QFETCH(Fault, fault);
        QFETCH(QString, steps);
        QFETCH(QString, state);
        QFETCH(QString, error);
        QFETCH(QString, saved);

        ReleaseFixtureServer *server = m_server.get();
        std::unique_ptr<ReleaseFixtureServer> secure;
        std::unique_ptr<TrustedCertificate> trust;
        const QString plain = m_server->baseUrl().toString();
        if (steps.startsWith(QLatin1String("https:"))) {
            QSslCertificate certificate;
            QSslKey key;
            if (!QSslSocket::supportsSsl())
                QSKIP("this Qt has no TLS backend");
            QVERIFY(ReleaseFixtureServer::makeCertificate(m_env->home(), &certificate, &key));
            trust = std::make_unique<TrustedCertificate>(certificate);
            server = (secure = std::make_unique<ReleaseFixtureServer>()).get();
            server->setTls(certificate, key);
            QVERIFY(server->start());
            qputenv("NERRA_RELEASE_BASE_URL", server->baseUrl().toEncoded());
        }
        if (!manifest.isNull())
            server->setFile(ManifestPath, manifest.replace("$plain", plain.toUtf8()));
        server->setFile(QStringLiteral("/nerra-prod/app/C:x.exe"), installer());   // for "unusable file name"
        server->setFault(faultPath, fault, plain + InstallerPath);
        auto updates = manager(steps.endsWith(QLatin1String(":default")) ? nullptr : &m_windows);
        {
            std::unique_ptr<FileSizeLimit> fullDisk(steps.endsWith(":full") ? new FileSizeLimit(1000) : nullptr);
            run(*updates, steps);
        }
        const QString path = updates->installerPath();
        const QString bat = QFileInfo(path).path() + QStringLiteral("/run_update.bat");
        if (steps.startsWith(QLatin1String("install"))) {
            // Between verification and hand-over, the installer changes or the launcher goes.
            QFile file(path);
            if (steps.endsWith(QLatin1String(":replace")))
                QVERIFY(file.open(QIODevice::ReadWrite) && file.write("XX") == 2 && file.flush());
            if (steps.endsWith(QLatin1String(":noProgram")))
                m_windows.setLauncherProgram(m_env->root() + QStringLiteral("/missing"));
            updates->installAndRelaunch();
            updates->installAndRelaunch();
        }

        QCOMPARE(updates->state(), state);
        error.replace("$installer", path).replace("$bat", bat).replace("$plain", plain);
        QVERIFY2(error.isEmpty() ? updates->errorMessage().isEmpty() : updates->errorMessage().startsWith(error),
                 qPrintable(updates->errorMessage()));
        // The tree's manifest links its notes page; a link that is no web page is dropped.
        const bool treeRead = manifest.isNull() && faultPath != ManifestPath;
        QCOMPARE(updates->releaseNotesUrl(),
                 treeRead ? server->baseUrl().toString() + "/nerra-prod/app/notes-1.6.0.html" : QString());
        QCOMPARE(m_server->requests().isEmpty(), server != m_server.get());
        QCOMPARE(updates->installHint().isEmpty(), updates->canInstall());
        if (!updates->canInstall())
            QCOMPARE(m_server->requests(), QStringList{ManifestPath});
        // Nothing half-written or unverified is left, and nothing goes to a shared folder.
        QCOMPARE(downloads(), saved.isEmpty() ? QStringList() : saved.split(','));
        QVERIFY(QDir(m_env->tempDir()).isEmpty());
        if (!saved.isEmpty()) {
            QCOMPARE(readFile(path), installer());
            QCOMPARE(int(QFile::permissions(QFileInfo(path).path()) & 0x7077), 0x7000);   // 0700
        }
        QCOMPARE(m_quits, state == QLatin1String("installing") ? 1 : 0);
        if (state != QLatin1String("installing"))
            return;
        QTRY_VERIFY(QFile::exists(m_launcher + QStringLiteral(".args")));
        QCOMPARE(readFile(m_launcher + QStringLiteral(".args")), "/c\n" + bat.toUtf8() + "\n");
        const QString log = QFileInfo(path).path() + QStringLiteral("/install.log");
        QCOMPARE(readFile(bat), QStringLiteral("@echo off\r\nping -n 3 127.0.0.1 >nul\r\n\"%1\" /VERYSILENT /LOG=\"%2\"\r\n"
                                               "del \"%3\"\r\n").arg(path, log, bat).toUtf8());
    }

    // Whatever runs, dismiss brings the updater back to rest without a word of failure,
    // and the next check is not disturbed by what was running.
    void dismiss_data()
    {
        QTest::addColumn<QString>("stalledPath");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("state");
        QTest::newRow("checking") << ManifestPath << Fault::Hang << "checking";
        QTest::newRow("downloading") << InstallerPath << Fault::Slow << "downloading";
        QTest::newRow("error") << ManifestPath << Fault::ServerError << "error";
    }

    void dismiss()
    {
        QFETCH(QString, stalledPath);
        QFETCH(Fault, fault);
        QFETCH(QString, state);
        m_server->setFault(stalledPath, fault);
        m_server->setTrickle(64, 30);
        auto updates = manager(&m_windows);
        updates->checkNow();
        if (state == QLatin1String("downloading")) {
            QTRY_COMPARE(updates->state(), QStringLiteral("updateAvailable"));
            updates->startDownload();
        }
        QTRY_COMPARE(updates->state(), state);

        QStringList messages;
        connect(updates.get(), &UpdateManager::errorMessageChanged, this, [&] { messages << updates->errorMessage(); });
        updates->dismiss();
        QCOMPARE(updates->state(), QStringLiteral("idle"));
        m_server->setFault(stalledPath, Fault::None);
        updates->checkNow();
        QTRY_COMPARE(updates->state(), QStringLiteral("updateAvailable"));
        QCOMPARE(messages.join(""), QString());
        QVERIFY(!downloads().join("").contains(".exe."));
    }

    // The channel chosen counts only in manufacturing mode; it is remembered.
    void channel_data()
    {
        QTest::addColumn<bool>("mfg");
        QTest::addColumn<int>("effectiveChanges");
        QTest::addColumn<QString>("requested");
        QTest::newRow("outside manufacturing mode") << false << 0 << ManifestPath;
        QTest::newRow("in manufacturing mode") << true << 3 << "/nerra-dev/app/latest.json";
    }

    void channel()
    {
        QFETCH(bool, mfg);
        QFETCH(int, effectiveChanges);
        QFETCH(QString, requested);
        auto updates = manager(&m_windows);
        QSignalSpy changes(updates.get(), &UpdateManager::effectiveEnvChanged);
        for (bool on : {mfg, false, mfg}) {
            updates->setMfgMode(on);
            updates->setUpdateEnv(QStringLiteral("dev"));
        }
        QCOMPARE(changes.count(), effectiveChanges);
        run(*updates, QStringLiteral("check"));
        QCOMPARE(m_server->requests(), QStringList{requested});
        QCOMPARE(UpdateManager().updateEnv(), QStringLiteral("dev"));
    }
};

NERRA_TEST_MAIN(TestUpdateManager)
#include "tst_updatemanager.moc"
