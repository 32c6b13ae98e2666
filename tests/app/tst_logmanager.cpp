// The process-wide log: what the console window keeps, its export, and many threads at once.

#include "app/logmanager.h"
#include "testmain.h"

#include <QRegularExpression>
#include <QTemporaryFile>
#include <QThread>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

// Sends standard error to a file while it lives, so that the console lines can be read.
class StderrCapture
{
public:
    StderrCapture()
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(m_file.handle(), STDERR_FILENO);
    }
    ~StderrCapture() { release(); }
    QByteArray text()
    {
        release();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void release()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    QTemporaryFile m_file;
    int m_saved = -1;
};

void logDirect(QtMsgType type, const QString &text)
{
    LogManager::handleMessage(type, QMessageLogContext("serialmanager.cpp", 42, "void poll()", "default"), text);
}

QString withoutTime(const QString &line)
{
    static const QRegularExpression time(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] "));
    return time.match(line).hasMatch() ? line.mid(15) : QStringLiteral("<no time> ") + line;
}

} // namespace

class TestLogManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedEnvironment> m_env;

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    // Scan and monitor lines flood in while devices are discovered; they stay out of the
    // window unless asked for, but the console always gets every line.
    void filtersDecideWhatIsKept_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("showScan");
        QTest::addColumn<bool>("showMonitor");
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("console");
        QTest::newRow("plain line") << int(QtDebugMsg) << "USB: [PUT] µL" << false << false << "DEBUG: USB: [PUT] µL" << "Debug: USB: [PUT] µL";
        QTest::newRow("scan tag mid-line") << int(QtInfoMsg) << "BLE: [SCAN] advert" << false << false << "" << "Info: BLE: [SCAN] advert";
        QTest::newRow("scan shown") << int(QtInfoMsg) << "[SCAN] advert" << true << false << "INFO: [SCAN] advert" << "Info: [SCAN] advert";
        QTest::newRow("monitor") << int(QtWarningMsg) << "[MONITOR] rssi" << true << false << ""
                                 << "Warning: [MONITOR] rssi (serialmanager.cpp:42, void poll())";
        QTest::newRow("monitor shown") << int(QtCriticalMsg) << "[MONITOR] rssi" << false << true << "CRITICAL: [MONITOR] rssi"
                                       << "Critical: [MONITOR] rssi (serialmanager.cpp:42, void poll())";
        QTest::newRow("both tags need both") << int(QtDebugMsg) << "[SCAN][MONITOR] x" << false << true << "" << "Debug: [SCAN][MONITOR] x";
    }
    void filtersDecideWhatIsKept()
    {
        QFETCH(int, type);
        QFETCH(QString, message);
        QFETCH(bool, showScan);
        QFETCH(bool, showMonitor);
        QFETCH(QString, kept);
        QFETCH(QString, console);
        LogManager manager;
        manager.setShowScan(showScan);
        manager.setShowMonitor(showMonitor);
        StderrCapture capture;
        logDirect(QtMsgType(type), message);
        QCOMPARE(capture.text(), (console + QLatin1Char('\n')).toLocal8Bit());
        QCOMPARE(manager.logMessages().size(), kept.isEmpty() ? 0 : 1);
        if (!kept.isEmpty())
            QCOMPARE(withoutTime(manager.logMessages().constFirst()), kept);
    }

    void keepsTheNewestThousandLines()
    {
        LogManager manager;
        StderrCapture quiet;
        for (int i = 1; i <= 1001; ++i)
            logDirect(QtDebugMsg, QStringLiteral("line %1").arg(i));
        const QStringList lines = manager.logMessages();
        QCOMPARE(lines.size(), 1000);
        QCOMPARE(withoutTime(lines.constFirst()), QStringLiteral("DEBUG: line 2"));
        QCOMPARE(withoutTime(lines.constLast()), QStringLiteral("DEBUG: line 1001"));
    }

    void exportWritesEveryLineOrSaysWhyNot()
    {
        LogManager manager;
        const QtMessageHandler previous = qInstallMessageHandler(LogManager::handleMessage);
        StderrCapture quiet;
        qDebug() << "first µL line";
        qWarning() << "second line";
        manager.addBreak();
        const QStringList before = manager.logMessages();
        const QString path = m_env->tempDir() + QStringLiteral("/log.txt");
        // This once hung: the export logged while it held the buffer's lock.
        manager.exportToFile(path);
        const QString missing = m_env->tempDir() + QStringLiteral("/no/such/folder/log.txt");
        manager.exportToFile(missing);
        qInstallMessageHandler(previous);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()), before.join(QLatin1Char('\n')) + QLatin1Char('\n'));
        const QStringList after = manager.logMessages();
        QVERIFY(after.at(after.size() - 2).contains(QStringLiteral("Exported 3 log messages to \"%1\"").arg(path)));
        QVERIFY(!QFile::exists(missing));
        QCOMPARE(withoutTime(after.constLast()), QStringLiteral("WARNING: Failed to open file for writing: \"%1\"").arg(missing));
    }

    void linesAfterTheManagerIsGoneReachOnlyTheConsole()
    {
        std::make_unique<LogManager>().reset();
        StderrCapture console;
        logDirect(QtDebugMsg, QStringLiteral("after teardown"));
        QCOMPARE(console.text(), QByteArray("Debug: after teardown\n"));
        LogManager next;
        logDirect(QtDebugMsg, QStringLiteral("again"));
        QCOMPARE(next.logMessages().size(), 1);
    }

    void linesFromManyThreadsStayWhole()
    {
        constexpr int Threads = 4;
        constexpr int LinesPerThread = 5000;
        const QString payload = QString(40, QLatin1Char('x'));
        LogManager manager;
        const QtMessageHandler previous = qInstallMessageHandler(LogManager::handleMessage);
        QAtomicInt reentrant;
        // A receiver connected directly logs and reads the buffer from inside the signal,
        // on whichever thread logged; that must neither deadlock nor tear lines.
        connect(&manager, &LogManager::newLogMessage, &manager, [&](const QString &line) {
            if (line.endsWith(QLatin1String(" 777"))) {
                reentrant.fetchAndAddRelaxed(manager.logMessages().isEmpty() ? 0 : 1);
                qDebug() << "receiver saw line 777";
            }
        }, Qt::DirectConnection);
        StderrCapture console;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back(QThread::create([t, payload] {
                for (int i = 0; i < LinesPerThread; ++i)
                    qDebug().noquote() << QStringLiteral("thread %1 %2 %3").arg(t).arg(payload).arg(i);
            }));
            threads.back()->start();
        }
        for (auto &thread : threads)
            QVERIFY(thread->wait(120000));
        const QList<QByteArray> consoleLines = console.text().split('\n');
        qInstallMessageHandler(previous);

        QCOMPARE(reentrant.loadRelaxed(), Threads);
        const QRegularExpression whole(QStringLiteral("^DEBUG: thread [0-3] %1 \\d{1,4}$").arg(payload));
        for (const QString &line : manager.logMessages())
            QVERIFY2(whole.match(withoutTime(line)).hasMatch(), qPrintable(line));
        QCOMPARE(manager.logMessages().size(), LogManager::MaxLines);
        // A line logged from inside the handler reaches standard error bare.
        QCOMPARE(consoleLines.size(), Threads * LinesPerThread + Threads + 1);
        const QRegularExpression wholeConsole(QStringLiteral("^(Debug: thread [0-3] %1 \\d{1,4}|receiver saw line 777)$").arg(payload));
        for (int i = 0; i < consoleLines.size() - 1; ++i)
            QVERIFY2(wholeConsole.match(QString::fromUtf8(consoleLines.at(i))).hasMatch(), consoleLines.at(i).constData());
    }
};

NERRA_TEST_MAIN(TestLogManager)
#include "tst_logmanager.moc"
