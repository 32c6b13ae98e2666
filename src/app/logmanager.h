#pragma once

#include <QMutex>
#include <QObject>
#include <QStringList>

// Collects every diagnostic line of the process into a bounded buffer for the console
// window. The static handler is installed process-wide right after the one instance is
// created; it may be called on any thread.
class LogManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList logMessages READ logMessages NOTIFY logMessagesChanged)
    Q_PROPERTY(bool showScan READ showScan WRITE setShowScan NOTIFY showScanChanged)
    Q_PROPERTY(bool showMonitor READ showMonitor WRITE setShowMonitor NOTIFY showMonitorChanged)

public:
    static constexpr int MaxLines = 1000;

    explicit LogManager(QObject *parent = nullptr);
    ~LogManager() override;

    static void handleMessage(QtMsgType type, const QMessageLogContext &context,
                              const QString &message);

    QStringList logMessages() const;
    bool showScan() const;
    void setShowScan(bool show);
    bool showMonitor() const;
    void setShowMonitor(bool show);

    Q_INVOKABLE void clearLogs();
    Q_INVOKABLE void addBreak();
    Q_INVOKABLE void exportToFile(const QString &filePath);

signals:
    void logMessagesChanged();
    void newLogMessage(const QString &message);
    void showScanChanged();
    void showMonitorChanged();

private:
    void append(QtMsgType type, const QString &message);

    mutable QMutex m_mutex;
    QStringList m_logMessages;
    // Read by the handler on other threads without the mutex.
    QAtomicInt m_showScan = 0;
    QAtomicInt m_showMonitor = 0;
};
