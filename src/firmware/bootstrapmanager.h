#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Puts the first firmware on a blank instrument board: fetches the current boot image
// from the release server (or reuses a verified cached copy) and runs the flashing tool
// against the board's serial port, relaunching it while the port is still busy.
class BootstrapManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isActive READ isActive NOTIFY isActiveChanged)
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(int progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)

public:
    static constexpr int MaxRelaunches = 5;

    explicit BootstrapManager(QObject *parent = nullptr);
    ~BootstrapManager() override;

    bool isActive() const { return m_active; }
    QString state() const { return m_state; }
    int progress() const { return m_progress; }
    QString statusMessage() const { return m_statusMessage; }
    QString errorMessage() const { return m_errorMessage; }

    Q_INVOKABLE void startBootstrap(const QString &portName);
    Q_INVOKABLE void cancel();
    Q_INVOKABLE void retry();

    // Empty: <exe dir>/tools/esptool[.exe], then esptool or esptool.py on PATH.
    void setToolProgram(const QString &path);
    // The program a run would start now; the default's first choice when none exists.
    QString toolProgram() const;
    void setTimings(int settleMs = 3000, int relaunchMs = 1500, int startLimitMs = 5000);
    static QString cacheFolder();

signals:
    void isActiveChanged();
    void stateChanged();
    void progressChanged();
    void statusMessageChanged();
    void errorMessageChanged();
    void finished(bool success, const QString &errorMessage);

private slots:
    void onManifestFinished();
    void onMd5Finished();
    void onBinDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onBinDownloadFinished();
    void onEsptoolOutput();
    void onEsptoolFinished(int exitCode, QProcess::ExitStatus status);

private:
    QString bootFolder() const;
    QString cachedImagePath() const;
    QNetworkReply *get(const QString &fileName);
    QNetworkReply *takeReply();
    void requestManifest();
    void downloadImage();
    void flash();
    void readToolOutput(const QByteArray &output);
    void relaunchOrFail(int exitCode);
    void succeed();
    void fail(const QString &message);
    void reset();
    void dropReply();
    void dropProcess();
    void setActive(bool active);
    void setState(const QString &state);
    void setProgress(int progress);
    void setStatusMessage(const QString &message);

    QNetworkAccessManager *m_network = nullptr;
    QNetworkReply *m_reply = nullptr;
    QProcess *m_process = nullptr;
    bool m_active = false;
    bool m_cancelled = false;
    QString m_state;
    int m_progress = 0;
    QString m_statusMessage;
    QString m_errorMessage;
    QString m_portName;
    QString m_imageFileName;
    QString m_expectedMd5;
    int m_toolRetries = 0;
    QString m_toolProgram;
    // Every deferred step is one of these, so that a reset stops it with the run.
    QTimer *m_settleTimer = nullptr;
    QTimer *m_relaunchTimer = nullptr;
    QTimer *m_startLimitTimer = nullptr;
    QByteArray m_outputTail;   // a line the tool has not finished yet
};
