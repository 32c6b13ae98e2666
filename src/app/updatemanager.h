#pragma once

#include <QCryptographicHash>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QSaveFile;
class UpdateInstaller;

// Finds a newer release of this program on the release server, fetches and verifies its
// installer and hands over to it; also holds the user's release channel, whose effective
// value the firmware views read too.
class UpdateManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY stateChanged)
    Q_PROPERTY(QString latestVersion READ latestVersion NOTIFY latestVersionChanged)
    Q_PROPERTY(QString releaseNotesUrl READ releaseNotesUrl NOTIFY releaseNotesUrlChanged)
    Q_PROPERTY(int downloadProgress READ downloadProgress NOTIFY downloadProgressChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(bool autoCheck READ autoCheck WRITE setAutoCheck NOTIFY autoCheckChanged)
    Q_PROPERTY(QString updateEnv READ updateEnv WRITE setUpdateEnv NOTIFY updateEnvChanged)
    Q_PROPERTY(QString effectiveEnv READ effectiveEnv NOTIFY effectiveEnvChanged)
    Q_PROPERTY(QString currentVersion READ currentVersion NOTIFY currentVersionChanged)
    Q_PROPERTY(bool canInstall READ canInstall NOTIFY canInstallChanged)
    // What to tell the user when a newer version exists that this build does not install.
    Q_PROPERTY(QString installHint READ installHint NOTIFY stateChanged)

public:
    explicit UpdateManager(QObject *parent = nullptr);
    ~UpdateManager() override;

    QString state() const { return m_state; }
    bool updateAvailable() const;
    QString latestVersion() const { return m_latestVersion; }
    QString releaseNotesUrl() const { return m_releaseNotesUrl; }
    int downloadProgress() const { return m_downloadProgress; }
    QString errorMessage() const { return m_errorMessage; }
    bool autoCheck() const { return m_autoCheck; }
    void setAutoCheck(bool on);
    QString updateEnv() const { return m_updateEnv; }
    void setUpdateEnv(const QString &env);
    QString effectiveEnv() const;
    QString currentVersion() const;
    bool canInstall() const;
    QString installHint() const;
    QString installerPath() const { return m_installerPath; }

    Q_INVOKABLE void checkOnStartup();
    Q_INVOKABLE void checkNow();
    Q_INVOKABLE void startDownload();
    Q_INVOKABLE void installAndRelaunch();
    Q_INVOKABLE void dismiss();

    void setMfgMode(bool on);
    void setInstaller(UpdateInstaller *installer);   // not owned; nullptr = the platform default
    void setQuitFunction(std::function<void()> quit);
    void setRunningVersion(const QString &version); // a letter and the dotted version; default this build's

signals:
    void stateChanged();
    void latestVersionChanged();
    void releaseNotesUrlChanged();
    void downloadProgressChanged();
    void errorMessageChanged();
    void autoCheckChanged();
    void updateEnvChanged();
    void effectiveEnvChanged();
    void currentVersionChanged();
    void canInstallChanged();

private slots:
    void onManifestFinished();
    void onDownloadData();
    void onDownloadProgress(qint64 received, qint64 total);
    void onDownloadFinished();

private:
    void startCheck(bool silent);
    // The installer's name in the download folder: the URL's last segment when it is a
    // plain file name, else a fixed one.
    static QString installerFileName(const QUrl &url);
    UpdateInstaller *installer() const;
    bool isNewer(const QString &version) const;
    bool mayFetch(const QUrl &target) const;
    QNetworkReply *takeReply();
    void abandonReply();
    bool storeChunk(const QByteArray &bytes);
    void failCheck(const QString &reason, bool silent);
    void fail(const QString &message);
    void setState(const QString &state);
    void setLatestVersion(const QString &version);
    void setReleaseNotesUrl(const QString &url);
    void setDownloadProgress(int progress);
    void setErrorMessage(const QString &message);

    QNetworkAccessManager *m_network = nullptr;
    QNetworkReply *m_reply = nullptr;
    // Written whole or not at all: a cut-short or refused write leaves no installer.
    std::unique_ptr<QSaveFile> m_downloadFile;
    QCryptographicHash m_downloadHash{QCryptographicHash::Md5};
    QString m_state;
    QString m_latestVersion;
    QString m_releaseNotesUrl;
    QUrl m_manifestUrl;
    QString m_downloadUrl;
    QString m_expectedMd5;
    QString m_installerPath;
    // The MD5 of the installer as it was saved; checked again just before hand-over.
    QString m_installerMd5;
    int m_downloadProgress = 0;
    QString m_errorMessage;
    bool m_autoCheck = true;
    bool m_silent = false;
    QString m_updateEnv;
    bool m_mfgMode = false;
    QString m_runningVersion;
    std::unique_ptr<UpdateInstaller> m_defaultInstaller;
    UpdateInstaller *m_installer = nullptr;
    std::function<void()> m_quit;
};
