// Start-up to the first frame of the main window, offscreen: the real program started
// ten times with a throw-away home, timed until it reports its first painted frame.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    constexpr int Runs = 10;
    std::vector<qint64> times;

    for (int run = 0; run < Runs; ++run) {
        QTemporaryDir sandbox;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), sandbox.path());
        env.insert(QStringLiteral("TMPDIR"), sandbox.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), sandbox.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), sandbox.path() + QStringLiteral("/data"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));

        QProcess process;
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        QByteArray output;
        QElapsedTimer timer;
        timer.start();
        process.start(QStringLiteral(NERRA_DESKTOP_EXECUTABLE), {});
        qint64 elapsed = -1;
        while (elapsed < 0 && timer.elapsed() < 30000) {
            process.waitForReadyRead(20);
            output += process.readAllStandardOutput();
            if (output.contains("Main: first frame"))
                elapsed = timer.elapsed();
            if (process.state() == QProcess::NotRunning)
                break;
        }
        process.kill();
        process.waitForFinished();
        if (elapsed < 0) {
            std::fprintf(stderr, "run %d: no first frame\n%s\n", run, output.constData());
            return 1;
        }
        times.push_back(elapsed);
    }
    std::sort(times.begin(), times.end());
    std::printf("start-up to first frame (offscreen): median %lld ms (min %lld, max %lld, %d runs)\n",
                static_cast<long long>(times[Runs / 2]), static_cast<long long>(times.front()),
                static_cast<long long>(times.back()), Runs);
    return 0;
}
