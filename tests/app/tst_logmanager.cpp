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
struct StderrCapture
{
    QTemporaryFile file;
    int saved = (file.open(), std::fflush(stderr), ::dup(STDERR_FILENO));
    StderrCapture() { ::dup2(file.handle(), STDERR_FILENO); }
    ~StderrCapture() { text(); }
    QByteArray text()
    {
        std::fflush(stderr);
        if (saved >= 0 && ::dup2(saved, STDERR_FILENO) >= 0 && ::close(saved) == 0)
            saved = -1;
        file.seek(0);
        return file.readAll();
    }
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
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("kept");
        QTest::newRow("plain line") << "USB: [PUT] 5 µL" << "" << true;
        QTest::newRow("scan tag mid-line") << "BLE: [SCAN] advert" << "monitor" << false;
        QTest::newRow("scan shown") << "[SCAN] advert" << "scan" << true;
        QTest::newRow("monitor") << "[MONITOR] rssi" << "scan" << false;
        QTest::newRow("monitor shown") << "[MONITOR] rssi" << "monitor" << true;
    }
    void filtersDecideWhatIsKept()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QFETCH(bool, kept);
        LogManager manager;
        manager.setShowScan(shown == QLatin1String("scan"));
        manager.setShowMonitor(shown == QLatin1String("monitor"));
        StderrCapture capture;
        logDirect(QtWarningMsg, message);
        QCOMPARE(capture.text(), (QStringLiteral("Warning: %1 (serialmanager.cpp:42, void poll())\n").arg(message)).toLocal8Bit());
        QCOMPARE(manager.logMessages().size(), kept ? 1 : 0);
        QVERIFY(!kept || withoutTime(manager.logMessages().constFirst()) == QStringLiteral("WARNING: ") + message);
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
