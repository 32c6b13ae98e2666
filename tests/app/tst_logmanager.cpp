#include "app/logmanager.h"
#include "testmain.h"

#include <QAtomicInt>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QSemaphore>
#include <QThread>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

// Sends standard error to a file for as long as it lives, so the console lines can be read.
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

// Installs the handler for one test and puts Qt Test's own back afterwards.
class HandlerInstalled
{
public:
    HandlerInstalled() : m_previous(qInstallMessageHandler(LogManager::handleMessage)) {}
    ~HandlerInstalled() { qInstallMessageHandler(m_previous); }

private:
    QtMessageHandler m_previous;
};

void logDirect(QtMsgType type, const QString &text, const char *file = nullptr, int line = 0,
               const char *function = nullptr)
{
    const QMessageLogContext context(file, line, function, "default");
    LogManager::handleMessage(type, context, text);
}

const QRegularExpression BufferLine(
    QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] (DEBUG|INFO|WARNING|CRITICAL|FATAL|): (.*)$"));

} // namespace

class TestLogManager : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void filtersDecideWhatIsBuffered_data();
    void filtersDecideWhatIsBuffered();
    void filterChangesAffectOnlyLaterLines();
    void consoleFormatPerLevel_data();
    void consoleFormatPerLevel();
    void bufferKeepsTheNewestThousandLines();
    void addBreakAppendsOneSeparator();
    void clearLogsEmptiesTheBuffer();
    void settersEmitOnlyOnChange();
    void exportWritesEveryLineWithTheHandlerInstalled();
    void exportToMissingFolderWarnsAndWritesNothing();
    void handlerWithoutManagerOnlyWritesConsole();
    void concurrentThreadsKeepLinesWhole();
    void teardownWaitsForALineInProgress();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestLogManager::filtersDecideWhatIsBuffered_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("showScan");
    QTest::addColumn<bool>("showMonitor");
    QTest::addColumn<bool>("buffered");

    QTest::newRow("plain line, filters off") << "USB: [PUT] sending" << false << false << true;
    QTest::newRow("scan line, filters off") << "[SCAN] found device" << false << false << false;
    QTest::newRow("scan tag mid-line, filters off") << "QT_BLE: [SCAN] advert" << false << false << false;
    QTest::newRow("scan line, scan on") << "[SCAN] found device" << true << false << true;
    QTest::newRow("scan tag is case-sensitive") << "[scan] found device" << false << false << true;
    QTest::newRow("monitor line, filters off") << "QT_BLE: [MONITOR] rssi" << false << false << false;
    QTest::newRow("monitor line, monitor on") << "QT_BLE: [MONITOR] rssi" << false << true << true;
    QTest::newRow("monitor line, only scan on") << "[MONITOR] rssi" << true << false << false;
    QTest::newRow("both tags, only scan on") << "[SCAN][MONITOR] x" << true << false << false;
    QTest::newRow("both tags, only monitor on") << "[SCAN][MONITOR] x" << false << true << false;
    QTest::newRow("both tags, both on") << "[SCAN][MONITOR] x" << true << true << true;
}

void TestLogManager::filtersDecideWhatIsBuffered()
{
    QFETCH(QString, message);
    QFETCH(bool, showScan);
    QFETCH(bool, showMonitor);
    QFETCH(bool, buffered);

    LogManager manager;
    manager.setShowScan(showScan);
    manager.setShowMonitor(showMonitor);
    QSignalSpy changed(&manager, &LogManager::logMessagesChanged);
    QSignalSpy added(&manager, &LogManager::newLogMessage);

    StderrCapture console;
    logDirect(QtDebugMsg, message);
    // The console gets every line, whatever the filters.
    QCOMPARE(console.text(), QByteArray("Debug: " + message.toUtf8() + "\n"));

    QCOMPARE(manager.logMessages().size(), buffered ? 1 : 0);
    QCOMPARE(changed.count(), buffered ? 1 : 0);
    QCOMPARE(added.count(), buffered ? 1 : 0);
    if (buffered) {
        const QString line = manager.logMessages().constFirst();
        const auto match = BufferLine.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        QCOMPARE(match.captured(1), QStringLiteral("DEBUG"));
        QCOMPARE(match.captured(2), message);
        QCOMPARE(added.constFirst().constFirst().toString(), line);
    }
}

void TestLogManager::filterChangesAffectOnlyLaterLines()
{
    LogManager manager;
    manager.setShowScan(true);
    logDirect(QtDebugMsg, QStringLiteral("[SCAN] early"));
    manager.setShowScan(false);
    logDirect(QtDebugMsg, QStringLiteral("[SCAN] late"));
    QCOMPARE(manager.logMessages().size(), 1);
    QVERIFY(manager.logMessages().constFirst().endsWith(QLatin1String("DEBUG: [SCAN] early")));
}

void TestLogManager::consoleFormatPerLevel_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("withContext");
    QTest::addColumn<QString>("console");
    QTest::addColumn<QString>("level");

    QTest::newRow("debug") << int(QtDebugMsg) << true << QStringLiteral("Debug: héllo\n") << "DEBUG";
    QTest::newRow("info") << int(QtInfoMsg) << true << QStringLiteral("Info: héllo\n") << "INFO";
    QTest::newRow("warning")
        << int(QtWarningMsg) << true
        << QStringLiteral("Warning: héllo (serialmanager.cpp:42, void SerialManager::poll())\n")
        << "WARNING";
    QTest::newRow("critical")
        << int(QtCriticalMsg) << true
        << QStringLiteral("Critical: héllo (serialmanager.cpp:42, void SerialManager::poll())\n")
        << "CRITICAL";
    QTest::newRow("fatal") << int(QtFatalMsg) << true
                           << QStringLiteral("Fatal: héllo (serialmanager.cpp:42, void SerialManager::poll())\n")
                           << "FATAL";
    QTest::newRow("warning without context") << int(QtWarningMsg) << false
                                             << QStringLiteral("Warning: héllo (:0, )\n") << "WARNING";
    QTest::newRow("unknown type") << 42 << true << QString() << "";
}

void TestLogManager::consoleFormatPerLevel()
{
    QFETCH(int, type);
    QFETCH(bool, withContext);
    QFETCH(QString, console);
    QFETCH(QString, level);

    LogManager manager;
    StderrCapture capture;
    if (withContext)
        logDirect(QtMsgType(type), QStringLiteral("héllo"), "serialmanager.cpp", 42,
                  "void SerialManager::poll()");
    else
        logDirect(QtMsgType(type), QStringLiteral("héllo"));
    QCOMPARE(capture.text(), console.toLocal8Bit());

    // The buffer line never carries the source location.
    QCOMPARE(manager.logMessages().size(), 1);
    const auto match = BufferLine.match(manager.logMessages().constFirst());
    QVERIFY2(match.hasMatch(), qPrintable(manager.logMessages().constFirst()));
    QCOMPARE(match.captured(1), level);
    QCOMPARE(match.captured(2), QStringLiteral("héllo"));
}

void TestLogManager::bufferKeepsTheNewestThousandLines()
{
    LogManager manager;
    StderrCapture quiet;
    for (int i = 1; i <= 1001; ++i)
        logDirect(QtDebugMsg, QStringLiteral("line %1").arg(i));
    const QStringList lines = manager.logMessages();
    QCOMPARE(lines.size(), 1000);
    QVERIFY(lines.constFirst().endsWith(QLatin1String("DEBUG: line 2")));
    QVERIFY(lines.constLast().endsWith(QLatin1String("DEBUG: line 1001")));
}

void TestLogManager::addBreakAppendsOneSeparator()
{
    LogManager manager;
    StderrCapture quiet;
    for (int i = 0; i < LogManager::MaxLines; ++i)
        logDirect(QtDebugMsg, QStringLiteral("line %1").arg(i));
    QSignalSpy changed(&manager, &LogManager::logMessagesChanged);
    QSignalSpy added(&manager, &LogManager::newLogMessage);

    manager.addBreak();

    const QStringList lines = manager.logMessages();
    // A separator does not push out a line: the buffer may sit just above the limit.
    QCOMPARE(lines.size(), LogManager::MaxLines + 1);
    QCOMPARE(lines.constLast(), QString(80, QChar(0x2500)));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(added.count(), 0);
}

void TestLogManager::clearLogsEmptiesTheBuffer()
{
    LogManager manager;
    StderrCapture quiet;
    logDirect(QtInfoMsg, QStringLiteral("one"));
    QSignalSpy changed(&manager, &LogManager::logMessagesChanged);
    manager.clearLogs();
    QVERIFY(manager.logMessages().isEmpty());
    QCOMPARE(changed.count(), 1);
}

void TestLogManager::settersEmitOnlyOnChange()
{
    LogManager manager;
    QSignalSpy scan(&manager, &LogManager::showScanChanged);
    QSignalSpy monitor(&manager, &LogManager::showMonitorChanged);
    manager.setShowScan(false);
    manager.setShowMonitor(false);
    QCOMPARE(scan.count(), 0);
    QCOMPARE(monitor.count(), 0);
    manager.setShowScan(true);
    manager.setShowScan(true);
    manager.setShowMonitor(true);
    QCOMPARE(scan.count(), 1);
    QCOMPARE(monitor.count(), 1);
    QVERIFY(manager.showScan());
    QVERIFY(manager.showMonitor());
    QCOMPARE(manager.property("showScan").toBool(), true);
}

void TestLogManager::exportWritesEveryLineWithTheHandlerInstalled()
{
    LogManager manager;
    HandlerInstalled handler;
    StderrCapture quiet;
    qDebug() << "first µL line";
    qWarning() << "second line";
    manager.addBreak();
    const QStringList before = manager.logMessages();

    const QString path = m_env->tempDir() + QStringLiteral("/log.txt");
    manager.exportToFile(path); // hung here while the export logged under the buffer lock

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString written = QString::fromUtf8(file.readAll());
    QCOMPARE(written, before.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    QVERIFY(manager.logMessages().constLast().contains(
        QStringLiteral("Exported 3 log messages to \"%1\"").arg(path)));

    // Exporting again truncates rather than appends.
    manager.clearLogs();
    manager.exportToFile(path);
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray());
}

void TestLogManager::exportToMissingFolderWarnsAndWritesNothing()
{
    LogManager manager;
    HandlerInstalled handler;
    StderrCapture quiet;
    qDebug() << "kept";
    const QString path = m_env->tempDir() + QStringLiteral("/no/such/folder/log.txt");

    manager.exportToFile(path);

    QVERIFY(!QFile::exists(path));
    const QStringList lines = manager.logMessages();
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.constFirst().endsWith(QLatin1String("DEBUG: kept")));
    QVERIFY2(lines.constLast().contains(
                 QStringLiteral("WARNING: Failed to open file for writing: \"%1\"").arg(path)),
             qPrintable(lines.constLast()));
}

void TestLogManager::handlerWithoutManagerOnlyWritesConsole()
{
    auto manager = std::make_unique<LogManager>();
    manager.reset();
    StderrCapture console;
    logDirect(QtDebugMsg, QStringLiteral("after teardown"));
    QCOMPARE(console.text(), QByteArray("Debug: after teardown\n"));

    // A newer manager gets the lines again.
    LogManager next;
    logDirect(QtDebugMsg, QStringLiteral("again"));
    QCOMPARE(next.logMessages().size(), 1);
}

void TestLogManager::concurrentThreadsKeepLinesWhole()
{
    constexpr int Threads = 4;
    constexpr int LinesPerThread = 10000;
    const QString payload = QStringLiteral("payload-%1").arg(QString(40, QLatin1Char('x')));

    LogManager manager;
    HandlerInstalled handler;
    QAtomicInt reentrantLogs;
    QAtomicInt bufferReads;
    // A directly connected receiver that logs and reads the buffer from inside the
    // signal, on whichever thread logged.
    connect(&manager, &LogManager::newLogMessage, &manager, [&](const QString &line) {
        if (line.endsWith(QLatin1String(" 777"))) {
            reentrantLogs.fetchAndAddRelaxed(1);
            qDebug() << "receiver saw line 777";
        }
        if (line.endsWith(QLatin1String(" 5000")))
            bufferReads.fetchAndAddRelaxed(manager.logMessages().size() > 0 ? 1 : 0);
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
    const QByteArray consoleText = console.text();

    QCOMPARE(reentrantLogs.loadRelaxed(), Threads);
    QCOMPARE(bufferReads.loadRelaxed(), Threads);

    const QStringList lines = manager.logMessages();
    QCOMPARE(lines.size(), LogManager::MaxLines);
    const QRegularExpression whole(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] DEBUG: "
                                                  "thread [0-3] %1 \\d{1,4}$")
                                       .arg(payload));
    for (const QString &line : lines)
        QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));

    // Every console line arrived whole too.
    const QList<QByteArray> consoleLines = consoleText.split('\n');
    QCOMPARE(consoleLines.size(), Threads * LinesPerThread + Threads + 1);
    // Qt sends a line logged from inside the handler straight to standard error, bare.
    const QRegularExpression wholeConsole(
        QStringLiteral("^(Debug: thread [0-3] %1 \\d{1,4}|receiver saw line 777)$").arg(payload));
    for (int i = 0; i < consoleLines.size() - 1; ++i)
        QVERIFY2(wholeConsole.match(QString::fromUtf8(consoleLines.at(i))).hasMatch(),
                 consoleLines.at(i).constData());
}

void TestLogManager::teardownWaitsForALineInProgress()
{
    auto *manager = new LogManager;
    QSemaphore entered;
    QSemaphore leave;
    // Holds the worker inside the manager, after its line is buffered.
    connect(manager, &LogManager::newLogMessage, manager, [&] {
        entered.release();
        leave.acquire();
    }, Qt::DirectConnection);
    StderrCapture quiet;
    std::unique_ptr<QThread> worker(QThread::create([] { logDirect(QtDebugMsg, QStringLiteral("late")); }));
    worker->start();
    entered.acquire();

    QAtomicInt destroyed;
    std::unique_ptr<QThread> teardown(QThread::create([&] {
        delete manager;
        destroyed.storeRelease(1);
    }));
    teardown->start();
    // No signal tells that the teardown is blocked rather than slow to start; the short
    // wait only gives a teardown that does not block the time to finish.
    const bool finishedEarly = teardown->wait(200);
    leave.release();
    QVERIFY(teardown->wait(20000));
    QVERIFY(worker->wait(20000));
    QVERIFY2(!finishedEarly, "the manager was destroyed while a thread was still inside it");
    QCOMPARE(destroyed.loadAcquire(), 1);
}

NERRA_TEST_MAIN(TestLogManager)
#include "tst_logmanager.moc"
