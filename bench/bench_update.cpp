// The self-updater fetching a 100 MiB installer from the fixture release server (run as a
// child process of this program, so that the server's copy of the body is not counted):
// this process's peak resident size just before the download and after it, which must
// stay flat because the installer is streamed to disk, and the time taken.

#include "app/updateinstaller.h"
#include "app/updatemanager.h"
#include "isolatedenvironment.h"
#include "peakresident.h"
#include "releasefixtureserver.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <cstdio>
#include <cstring>

namespace {

constexpr int InstallerBytes = 100 * 1024 * 1024;

// The child: a release server whose production channel offers the big installer.
int serve(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    ReleaseFixtureServer server;
    if (!server.start())
        return 1;
    QByteArray body(InstallerBytes, Qt::Uninitialized);
    for (int i = 0; i < body.size(); ++i)
        body[i] = char((i * 2654435761u) >> 24);
    const QByteArray md5 = QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex();
    const QString path = QStringLiteral("/nerra-prod/app/NerraDesktop-Setup-9.0.0.exe");
    server.setFile(path, body);
    server.setFile(QStringLiteral("/nerra-prod/app/latest.json"),
                   "{\"version\":\"9.0.0\",\"url_windows\":\"" + path.toUtf8() + "\",\"md5_windows\":\""
                       + md5 + "\"}");
    body.clear();
    std::printf("%s\n", server.baseUrl().toEncoded().constData());
    std::fflush(stdout);
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "--serve") == 0)
        return serve(argc, argv);

    IsolatedEnvironment::prepareProcess();
    QCoreApplication app(argc, argv);
    IsolatedEnvironment sandbox;
    QProcess server;
    server.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve")});
    if (!server.waitForReadyRead(60000)) {
        std::fprintf(stderr, "the release server did not start\n");
        return 1;
    }
    qputenv("NERRA_RELEASE_BASE_URL", server.readLine().trimmed());

    WindowsBatchInstaller windows;
    UpdateManager updates;
    updates.setRunningVersion(QStringLiteral("v1.5.0"));
    updates.setInstaller(&windows);
    updates.checkNow();
    if (!QTest::qWaitFor([&] { return updates.state() == QLatin1String("updateAvailable"); }, 10000)) {
        std::fprintf(stderr, "no update offered: %s\n", qPrintable(updates.errorMessage()));
        return 1;
    }

    const long before = peakResidentKiB();
    QElapsedTimer clock;
    clock.start();
    updates.startDownload();
    const bool finished =
        QTest::qWaitFor([&] { return updates.state() != QLatin1String("downloading"); }, 300000);
    const double seconds = clock.elapsed() / 1000.0;
    const long after = peakResidentKiB();

    server.kill();
    server.waitForFinished();
    std::printf("update download of %d MiB: %s, %lld bytes saved in %.2f s; peak resident %ld KiB before, "
                "%ld KiB after (+%ld KiB)\n",
                InstallerBytes / (1024 * 1024), qPrintable(updates.state()),
                QFileInfo(updates.installerPath()).size(), seconds, before, after, after - before);
    return finished && updates.state() == QLatin1String("readyToInstall") ? 0 : 1;
}
