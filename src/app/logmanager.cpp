#include "app/logmanager.h"

#include "storage/wholefile.h"

#include <QAtomicPointer>
#include <QDateTime>
#include <QDebug>
#include <QReadWriteLock>

#include <cstdio>

namespace {

QAtomicPointer<LogManager> s_instance;

// Held for reading while a message is handed to the manager and for writing while the
// manager goes away, so that a thread still logging never reaches a destroyed buffer.
// Recursive: a receiver connected directly may log again from inside the handler.
// Never destroyed, because threads may log during the process's own teardown.
QReadWriteLock &lifetimeLock()
{
    static auto *lock = new QReadWriteLock(QReadWriteLock::Recursive);
    return *lock;
}

const char *levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return "DEBUG";
    case QtInfoMsg: return "INFO";
    case QtWarningMsg: return "WARNING";
    case QtCriticalMsg: return "CRITICAL";
    case QtFatalMsg: return "FATAL";
    }
    return "";
}

void writeConsoleLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray text = message.toLocal8Bit();
    const char *file = context.file ? context.file : "";
    const char *function = context.function ? context.function : "";
    const unsigned line = static_cast<unsigned>(context.line);
    switch (type) {
    case QtDebugMsg:
        std::fprintf(stderr, "Debug: %s\n", text.constData());
        break;
    case QtInfoMsg:
        std::fprintf(stderr, "Info: %s\n", text.constData());
        break;
    case QtWarningMsg:
        std::fprintf(stderr, "Warning: %s (%s:%u, %s)\n", text.constData(), file, line, function);
        break;
    case QtCriticalMsg:
        std::fprintf(stderr, "Critical: %s (%s:%u, %s)\n", text.constData(), file, line, function);
        break;
    case QtFatalMsg:
        std::fprintf(stderr, "Fatal: %s (%s:%u, %s)\n", text.constData(), file, line, function);
        break;
    }
}

} // namespace

LogManager::LogManager(QObject *parent)
    : QObject(parent)
{
    s_instance.storeRelease(this);
}

LogManager::~LogManager()
{
    QWriteLocker locker(&lifetimeLock());
    s_instance.testAndSetOrdered(this, nullptr);
}

void LogManager::handleMessage(QtMsgType type, const QMessageLogContext &context,
                               const QString &message)
{
    writeConsoleLine(type, context, message);
    QReadLocker locker(&lifetimeLock());
    if (LogManager *manager = s_instance.loadAcquire())
        manager->append(type, message);
}

void LogManager::append(QtMsgType type, const QString &message)
{
    // Scan and monitor lines come in floods while devices are discovered; they stay out
    // unless asked for.
    if (!m_showScan.loadRelaxed() && message.contains(QLatin1String("[SCAN]")))
        return;
    if (!m_showMonitor.loadRelaxed() && message.contains(QLatin1String("[MONITOR]")))
        return;

    const QString line = QStringLiteral("[%1] %2: %3")
                             .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")),
                                  QLatin1String(levelWord(type)), message);
    {
        QMutexLocker locker(&m_mutex);
        m_logMessages.append(line);
        if (m_logMessages.size() > MaxLines)
            m_logMessages.removeFirst();
    }
    // Emitted without the lock: a receiver connected directly may log or read the buffer.
    emit logMessagesChanged();
    emit newLogMessage(line);
}

QStringList LogManager::logMessages() const
{
    QMutexLocker locker(&m_mutex);
    return m_logMessages;
}

bool LogManager::showScan() const
{
    return m_showScan.loadRelaxed();
}

void LogManager::setShowScan(bool show)
{
    if (m_showScan.fetchAndStoreRelaxed(show) == int(show))
        return;
    emit showScanChanged();
}

bool LogManager::showMonitor() const
{
    return m_showMonitor.loadRelaxed();
}

void LogManager::setShowMonitor(bool show)
{
    if (m_showMonitor.fetchAndStoreRelaxed(show) == int(show))
        return;
    emit showMonitorChanged();
}

void LogManager::clearLogs()
{
    {
        QMutexLocker locker(&m_mutex);
        m_logMessages.clear();
    }
    emit logMessagesChanged();
}

void LogManager::addBreak()
{
    {
        QMutexLocker locker(&m_mutex);
        m_logMessages.append(QString(80, QChar(0x2500)));
    }
    emit logMessagesChanged();
}

void LogManager::exportToFile(const QString &filePath)
{
    // The lines are copied out first: with this handler installed, logging under the
    // buffer's lock would deadlock on that same lock.
    const QStringList lines = logMessages();

    QByteArray text;
    for (const QString &line : lines) {
        text += line.toUtf8();
        text += '\n';
    }
    QString reason;
    switch (WholeFile::write(filePath, text, WholeFile::Text, &reason)) {
    case WholeFile::Written:
        break;
    case WholeFile::OpenFailed:
        qWarning() << "Failed to open file for writing:" << filePath;
        return;
    case WholeFile::WriteFailed:
        qWarning() << "Failed to write log file:" << filePath << reason;
        return;
    }
    qDebug() << "Exported" << lines.size() << "log messages to" << filePath;
}
