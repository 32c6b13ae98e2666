// A firmware update of a 4 MiB image through the USB link against the simulated
// instrument (nerra-sim in its own process, so the CPU figure is this program's alone):
// the whole run's wall time, and this program's CPU time per chunk while the image goes
// out (encode, write, progress), beside the chunk count.

#include "app/logmanager.h"
#include "devices/serial/serialmanager.h"
#include "firmware/otamanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

double cpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The simulator prints its port again after every restart; the link finds it there.
class FollowingLister : public SerialPortLister
{
public:
    QList<SerialPortEntry> availablePorts() const override
    {
        if (path.isEmpty())
            return {};
        return {SerialPortEntry{path, SerialManager::InstrumentVendorId, SerialManager::InstrumentProductId}};
    }
    QString path;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir work;
    const QString simulator = QDir(QFileInfo(QStringLiteral(NERRA_DESKTOP_EXECUTABLE)).absolutePath())
                                  .filePath(QStringLiteral("../sim/nerra-sim"));
    FollowingLister lister;
    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(&sim, &QProcess::readyReadStandardOutput, [&] {
        while (sim.canReadLine())
            lister.path = QString::fromLocal8Bit(sim.readLine()).trimmed();
    });
    sim.start(simulator, {QStringLiteral("--chunk-size"), QStringLiteral("128"), QStringLiteral("--restart-delay"),
                          QStringLiteral("300"), QStringLiteral("--firmware"), QStringLiteral("1.4.2")});
    QElapsedTimer started;
    started.start();
    while (lister.path.isEmpty() && started.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (lister.path.isEmpty()) {
        std::fprintf(stderr, "bench_ota: cannot start %s\n", qPrintable(simulator));
        return 1;
    }

    LogManager logManager;
    qInstallMessageHandler(LogManager::handleMessage);
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDERR_FILENO);

    QByteArray image = "NERRA_FW_VERSION=1.5.0\nNERRA_OTA_USB=1\n";
    for (int i = image.size(); i < 4 * 1024 * 1024; ++i)
        image.append(char((i * 31 + 11) % 256));
    QFile file(work.filePath(QStringLiteral("NerraFirmware-1.5.0.bin")));
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return 2;
    file.close();

    SerialManager link;
    link.setPortLister(&lister);
    link.setPollInterval(100);
    link.setAvailability(true);
    OtaManager ota;
    ota.setSerialManager(&link);

    QEventLoop identified;
    QObject::connect(&link, &DeviceConnection::deviceInfoReceived, &identified, &QEventLoop::quit);
    QTimer::singleShot(10000, &identified, &QEventLoop::quit);
    identified.exec();

    double transferCpu = 0;
    double transferStart = 0;
    qint64 transferWall = 0;
    QElapsedTimer clock;
    QObject::connect(&ota, &OtaManager::stateChanged, [&] {
        if (ota.state() == OtaManager::Transferring) {
            transferStart = cpuSeconds();
            clock.start();
        } else if (ota.state() == OtaManager::Verifying) {
            transferCpu = cpuSeconds() - transferStart;
            transferWall = clock.elapsed();
        }
    });
    QElapsedTimer wall;
    wall.start();
    QEventLoop done;
    bool success = false;
    QString message;
    QObject::connect(&ota, &OtaManager::finished, [&](bool ok, const QString &text) {
        success = ok;
        message = text;
        done.quit();
    });
    QTimer::singleShot(600000, &done, &QEventLoop::quit);
    ota.startUpdateFromFile(file.fileName());
    done.exec();
    const int chunks = (image.size() + 127) / 128;
    std::printf("update of %d bytes: %s in %.1f s (%s); transfer %d chunks in %.1f s, host CPU %.3f ms per chunk\n",
                int(image.size()), success ? "done" : "FAILED", wall.elapsed() / 1000.0, qPrintable(message), chunks,
                transferWall / 1000.0, transferCpu * 1000.0 / chunks);
    sim.terminate();
    sim.waitForFinished(3000);
    return success ? 0 : 3;
}
