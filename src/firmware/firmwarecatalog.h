#pragma once

#include <QCryptographicHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QSaveFile;

// The firmware releases of one channel on the release server, and one release image at
// a time fetched into the local cache and checked against its published MD5.
class FirmwareCatalog : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString latestVersion READ latestVersion NOTIFY catalogChanged)
    Q_PROPERTY(QStringList versions READ versions NOTIFY catalogChanged)
    Q_PROPERTY(QString env READ env NOTIFY catalogChanged)
    Q_PROPERTY(bool checking READ checking NOTIFY checkingChanged)
    Q_PROPERTY(bool downloading READ downloading NOTIFY downloadingChanged)
    Q_PROPERTY(int progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)

public:
    explicit FirmwareCatalog(QObject *parent = nullptr);
    ~FirmwareCatalog() override;

    QString latestVersion() const { return m_latestVersion; }
    QStringList versions() const { return m_versions; }
    QString env() const { return m_env; }
    bool checking() const { return m_checking; }
    bool downloading() const { return m_downloading; }
    int progress() const { return m_progress; }
    QString errorMessage() const { return m_errorMessage; }

    Q_INVOKABLE void refresh(const QString &env);
    Q_INVOKABLE void download(const QString &version, const QString &env);
    Q_INVOKABLE void cancelDownload();
    Q_INVOKABLE QString normalizeVersion(const QString &v) const;
    Q_INVOKABLE int compareVersions(const QString &a, const QString &b) const;

    // Where downloaded images are kept; the folder is made when an image is saved.
    static QString cacheFolder();

signals:
    void catalogChanged();
    void checkingChanged();
    void downloadingChanged();
    void progressChanged();
    void errorMessageChanged();
    void refreshed(bool ok);
    void downloaded(QString path, QString version);
    void downloadFailed(QString message);

private:
    using ReplyHandler = void (FirmwareCatalog::*)(QNetworkReply *reply);

    QNetworkReply *get(const QUrl &url, ReplyHandler handler);
    static QString channelProblem(const QString &env);
    static QUrl channelDirectory(const QString &env);

    void onManifest(QNetworkReply *reply);
    void onList(QNetworkReply *reply);
    void finishRefresh(bool ok, const QString &error);

    void abandonReply();
    void onChecksum(QNetworkReply *reply);
    bool cachedCopyMatches(const QString &path) const;
    void requestImage();
    void onImageData();
    void onImageProgress(qint64 received, qint64 total);
    void onImage(QNetworkReply *reply);
    bool storeImageBytes(const QByteArray &bytes);
    void succeedDownload(const QString &path);
    void failDownload(const QString &message);
    QString cachePath() const;

    void setChecking(bool checking);
    void setDownloading(bool downloading);
    void setProgress(int progress);
    void setErrorMessage(const QString &message);

    QNetworkAccessManager *m_network = nullptr;
    QNetworkReply *m_reply = nullptr;
    QString m_env;
    QString m_latestVersion;
    QStringList m_versions;
    bool m_checking = false;
    bool m_downloading = false;
    int m_progress = 0;
    QString m_errorMessage;
    QString m_downloadEnv;
    QString m_downloadVersion;
    QString m_downloadFileName;
    QString m_expectedMd5;

    QString m_refreshEnv;
    QUrl m_refreshDirectory;
    QString m_pendingLatest;
    // The image is streamed into a save file that only replaces the cached copy once
    // every byte arrived and matched; a cut-short transfer or full disk leaves nothing.
    std::unique_ptr<QSaveFile> m_imageFile;
    QCryptographicHash m_imageHash{QCryptographicHash::Md5};
};
