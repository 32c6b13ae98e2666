#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

class FirmwareCatalog;
class QTimer;
class SerialManager;

// Every wait of a firmware update, in ms; the defaults are what ships, tests shorten them.
struct OtaTimings
{
    int openStallMs = 45000;    // opening the channel, and OTA_BEGIN's answer
    int chunkStallMs = 6000;    // each chunk's and each status query's answer
    int verifyStallMs = 15000;  // OTA_END's answer
    int applyStallMs = 8000;    // OTA_APPLY's answer
    int rebootStallMs = 45000;  // the instrument's return after the restart
    int confirmStallMs = 20000; // each OTA_CONFIRM's answer
    int sessionRetryMs = 1500;  // re-opening the channel after a failed attempt
    int rebootRetryMs = 3000;   // the first attempt to reach the restarted instrument
};

// Installs a firmware image on the instrument on USB: from a release (through the
// catalogue) or from a file, in Base64 chunks over the link's update channel, one at a
// time, each after the instrument acknowledged the one before; then verify, apply, follow
// the instrument through its restart and have the new image confirm itself. A run belongs
// to one instrument (its hardware id): nothing of it goes to another one plugged in
// meanwhile. Every wait has a watchdog, so every run ends in Done, Failed or NeedsReplug.
class OtaManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString sourceName READ sourceName NOTIFY stateChanged)
    Q_PROPERTY(QString newFirmware READ newFirmware NOTIFY stateChanged)
    Q_PROPERTY(QString targetVersion READ targetVersion NOTIFY stateChanged)
    Q_PROPERTY(bool reinstall READ reinstall NOTIFY stateChanged)
    Q_PROPERTY(bool active READ active NOTIFY stateChanged)
    Q_PROPERTY(bool cancellable READ cancellable NOTIFY stateChanged)
    Q_PROPERTY(bool pendingConfirm READ pendingConfirm NOTIFY stateChanged)
    Q_PROPERTY(int progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(qint64 sentBytes READ sentBytes NOTIFY progressChanged)
    Q_PROPERTY(qint64 totalBytes READ totalBytes NOTIFY progressChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)

public:
    enum State { Idle, Downloading, Beginning, Transferring, Verifying, Applying, Rebooting, Confirming, Done, Failed, NeedsReplug };
    Q_ENUM(State)

    // An instrument's update slot is a few MiB: a file far larger is a mistake, and is
    // not read into memory.
    static constexpr qint64 MaxImageBytes = 16 * 1024 * 1024;

    explicit OtaManager(QObject *parent = nullptr);
    ~OtaManager() override;

    void setSerialManager(SerialManager *link);
    void setFirmwareCatalog(FirmwareCatalog *catalog);
    void setTimings(const OtaTimings &timings) { m_timings = timings; }

    State state() const { return m_state; }
    QString sourceName() const { return m_sourceName; }
    QString newFirmware() const { return m_newFirmware; }
    QString targetVersion() const { return m_targetVersion; }
    bool reinstall() const { return m_reinstall; }
    bool active() const;
    bool cancellable() const;
    bool pendingConfirm() const { return m_pendingConfirm; }
    int progress() const { return m_progress; }
    qint64 sentBytes() const { return m_sentBytes; }
    qint64 totalBytes() const { return m_image.size(); }
    QString statusMessage() const { return m_statusMessage; }

    Q_INVOKABLE void startUpdateFromRelease(const QString &version, const QString &env);
    Q_INVOKABLE void startUpdateFromFile(const QString &binPath);
    Q_INVOKABLE void confirmRunningImage();
    Q_INVOKABLE void abort();
    Q_INVOKABLE void reset();

    // "1.50 MB", "300 KB".
    static QString sizeText(qint64 bytes);

signals:
    void stateChanged();
    void progressChanged();
    void statusMessageChanged();
    void finished(bool success, const QString &message);

private slots:
    void onSessionReady();
    void onSessionFailed(const QString &reason);
    void onOtaLine(const QString &line);
    void onConnectedChanged();
    void onDownloaded(const QString &path, const QString &version);
    void onDownloadFailed(const QString &message);
    void onStall();
    void onRetry();

private:
    bool preflight();
    bool loadImage(const QString &path);
    void startTransfer();
    void sendChunk();
    void resync();
    void enterRebooting();
    void setState(State state);
    void setStatus(const QString &text);
    void setProgress(int progress);
    void startStall(int ms);
    void succeed(const QString &message);
    void fail(const QString &reason);
    void giveBackLink();
    void write(const QString &line);
    bool isOwnInstrument() const;
    int retryLimit() const;
    // The count after a reply's last colon; false when it is no count of this image.
    bool countIn(const QString &line, qint64 *count) const;

    QPointer<SerialManager> m_link;
    QPointer<FirmwareCatalog> m_catalog;
    OtaTimings m_timings;

    QString m_targetVersion;
    bool m_reinstall = false;
    QByteArray m_image;
    QString m_imageHash;
    QString m_sourceName;
    QString m_newFirmware;
    // The instrument the run belongs to, and what it ran before.
    QString m_hardwareId;
    QString m_versionBefore;
    int m_chunkSize = 128;
    int m_lastChunk = 0;
    qint64 m_sentBytes = 0;
    int m_retries = 0;
    int m_confirmTries = 0;
    int m_sessionAttempts = 0;
    bool m_resyncing = false;
    bool m_sessionHeld = false;
    bool m_pendingConfirm = false;
    bool m_confirmOnly = false;
    State m_state = Idle;
    int m_progress = 0;
    QString m_statusMessage;
    QElapsedTimer m_transferClock;
    QTimer *m_stallTimer;
    QTimer *m_retryTimer;
};
