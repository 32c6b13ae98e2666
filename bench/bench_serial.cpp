// The USB link against the simulated instrument (nerra-sim in its own process, so the CPU
// figure is this program's alone): the upload of a 500-row method, and one session that
// lists the instrument and downloads 50 files. For each: wall time and this process's CPU
// time per operation, beside the bytes on the wire divided by the line rate of a real
// instrument (115200 baud, 10 bits per byte with start and stop bit). A pseudo-terminal
// has no baud rate, so the wall time shows what the link itself costs.

#include "app/logmanager.h"
#include "devices/serial/serialmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <unistd.h>
#include <vector>

namespace {

constexpr double LineBytesPerSecond = 115200.0 / 10.0;

class OnePortLister : public SerialPortLister
{
public:
    QList<SerialPortEntry> availablePorts() const override
    {
        return {SerialPortEntry{path, SerialManager::InstrumentVendorId, SerialManager::InstrumentProductId}};
    }
    QString path;
};

double cpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Runs the event loop until done() holds; false after timeoutMs.
bool runUntil(const std::function<bool()> &done, int timeoutMs = 30000)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// A device CSV of that many rows, in the row formats the instrument stores.
QByteArray method(int rows, int seed)
{
    QByteArray text;
    for (int i = 0; i < rows; ++i) {
        const int volume = 10 + (i * 7 + seed) % 190;
        const int speed = 1 + i % 7;
        QString row;
        switch ((i + seed) % 6) {
        case 0:
            row = QStringLiteral("ASPIRATE,S,%1.5,0,,,,%2,").arg(volume).arg(speed);
            break;
        case 1:
            row = QStringLiteral("DISPENSE,S,%1.0,2,,,,%2,").arg(volume).arg(speed);
            break;
        case 2:
            row = QStringLiteral("MIX,L,%1.0,0,3,,,%2,").arg(volume).arg(speed);
            break;
        case 3:
            row = QStringLiteral("AIRGAP,S,%1.0,0,,,,%2,").arg(volume).arg(speed);
            break;
        case 4:
            row = QStringLiteral("REPEAT,L,%1.0,0,,4,%2.0,%3,").arg(volume * 4).arg(volume).arg(speed);
            break;
        default:
            row = QStringLiteral("PURGE,S,,,,,,%1,").arg(speed);
            break;
        }
        text += row.toLatin1() + '\n';
    }
    return text;
}

struct Figure
{
    double wallMs = 0;
    double cpuMs = 0;
    quint64 bytesOut = 0;
    quint64 bytesIn = 0;
};

struct Measure
{
    Measure(const SerialManager &link)
        : m_link(link)
        , m_cpu(cpuSeconds())
        , m_out(link.bytesSent())
        , m_in(link.bytesReceived())
    {
        m_wall.start();
    }
    Figure done() const
    {
        return Figure{double(m_wall.nsecsElapsed()) / 1e6, (cpuSeconds() - m_cpu) * 1000.0, m_link.bytesSent() - m_out,
                      m_link.bytesReceived() - m_in};
    }

private:
    const SerialManager &m_link;
    QElapsedTimer m_wall;
    double m_cpu;
    quint64 m_out;
    quint64 m_in;
};

void report(const char *what, std::vector<Figure> runs, int operations)
{
    auto median = [&](auto field) {
        std::vector<double> values;
        for (const Figure &run : runs)
            values.push_back(field(run));
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    const double wall = median([](const Figure &f) { return f.wallMs; });
    const double cpu = median([](const Figure &f) { return f.cpuMs; });
    const Figure &any = runs.front();
    const double lineOut = double(any.bytesOut) / LineBytesPerSecond * 1000.0;
    const double lineIn = double(any.bytesIn) / LineBytesPerSecond * 1000.0;
    std::printf("%s: wall %.1f ms, CPU %.1f ms (median of %zu runs; per operation %.2f ms wall, %.2f ms CPU); "
                "wire %llu bytes out, %llu bytes in = %.0f ms out, %.0f ms in at 115200 baud\n",
                what, wall, cpu, runs.size(), wall / operations, cpu / operations,
                static_cast<unsigned long long>(any.bytesOut), static_cast<unsigned long long>(any.bytesIn), lineOut,
                lineIn);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString simulator = QDir(QFileInfo(QStringLiteral(NERRA_DESKTOP_EXECUTABLE)).absolutePath())
                                  .filePath(QStringLiteral("../sim/nerra-sim"));
    QProcess sim;
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start(simulator, {});
    if (!sim.waitForStarted(5000) || !runUntil([&] { return sim.canReadLine(); }, 5000)) {
        std::fprintf(stderr, "bench_serial: cannot start %s\n", qPrintable(simulator));
        return 1;
    }
    OnePortLister lister;
    lister.path = QString::fromLocal8Bit(sim.readLine()).trimmed();

    // Diagnostics go where they go in the program: through the log manager's handler. Its
    // copy on standard error goes to /dev/null, so the terminal is not what is measured.
    LogManager logManager;
    qInstallMessageHandler(LogManager::handleMessage);
    const int savedErr = ::dup(STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDERR_FILENO);

    int result = 0;
    {
        SerialManager link;
        link.setPortLister(&lister);
        link.setAvailability(true);
        bool identified = false;
        QObject::connect(&link, &DeviceConnection::deviceInfoReceived, [&] { identified = true; });
        if (!link.isConnected() || !runUntil([&] { return identified && link.protocolState() == SerialManager::Idle; })) {
            result = 2;
        }

        bool complete = false;
        bool failed = false;
        QObject::connect(&link, &DeviceConnection::transferComplete, [&] { complete = true; });
        QObject::connect(&link, &DeviceConnection::transferFailed, [&] { failed = true; });
        auto upload = [&](const QString &name, const QByteArray &body) {
            complete = failed = false;
            link.putProtocol(name, body);
            return runUntil([&] { return complete || failed; }) && complete;
        };

        // Upload of a 500-row method.
        std::vector<Figure> uploads;
        const QByteArray big = method(500, 1);
        for (int run = 0; result == 0 && run < 9; ++run) {
            Measure measure(link);
            if (!upload(QStringLiteral("bench_500.csv"), big)) {
                result = 3;
                break;
            }
            uploads.push_back(measure.done());
        }

        bool deleted = false;
        QObject::connect(&link, &DeviceConnection::protocolDeleted, [&] { deleted = true; });
        if (result == 0) {
            link.deleteProtocol(QStringLiteral("bench_500.csv"));
            if (!runUntil([&] { return deleted; }))
                result = 6;
        }

        // Fifty stored methods of 30 rows, then list + 50 downloads in one session.
        for (int i = 0; result == 0 && i < 50; ++i) {
            if (!upload(QStringLiteral("m%1.csv").arg(i, 2, 10, QLatin1Char('0')), method(30, i)))
                result = 4;
        }
        QStringList names;
        int received = 0;
        QObject::connect(&link, &DeviceConnection::protocolListReceived, [&](const QStringList &list) {
            names = list;
            if (!names.isEmpty())
                link.getProtocol(names.constFirst());
        });
        QObject::connect(&link, &DeviceConnection::protocolReceived, [&](const QString &, const QByteArray &) {
            ++received;
            if (received < names.size())
                link.getProtocol(names.at(received));
            else
                link.disconnectProtocol();
        });
        std::vector<Figure> sessions;
        for (int run = 0; result == 0 && run < 7; ++run) {
            names.clear();
            received = 0;
            Measure measure(link);
            link.listProtocols();
            if (!runUntil([&] { return !names.isEmpty() && received == names.size(); })) {
                result = 5;
                break;
            }
            sessions.push_back(measure.done());
        }

        ::dup2(savedErr, STDERR_FILENO);
        if (result == 0) {
            std::printf("upload body %d bytes; each download body about %d bytes\n", int(big.size()),
                        int(method(30, 0).size()));
            report("upload of a 500-row method (one session)", uploads, 1);
            report(qPrintable(QStringLiteral("list + %1 downloads of 30-row methods (one session)").arg(names.size())),
                   sessions, 1 + int(names.size()));
        } else {
            std::fprintf(stderr, "bench_serial: run failed (%d)\n", result);
        }
    }
    qInstallMessageHandler(nullptr);
    sim.terminate();
    sim.waitForFinished(3000);
    return result;
}
