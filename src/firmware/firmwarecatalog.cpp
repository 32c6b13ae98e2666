#include "firmware/firmwarecatalog.h"

#include "firmware/releaseserver.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace {

QString imageFileName(const QString &version)
{
    return QStringLiteral("NerraFirmware-") + version + QStringLiteral(".bin");
}

} // namespace

FirmwareCatalog::FirmwareCatalog(QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
{
}

FirmwareCatalog::~FirmwareCatalog() = default;

QString FirmwareCatalog::cacheFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
        + QStringLiteral("/firmware_cache");
}

QString FirmwareCatalog::normalizeVersion(const QString &v) const
{
    static const QRegularExpression version(QStringLiteral("(\\d+)\\.(\\d+)\\.(\\d+)"));
    const QRegularExpressionMatch match = version.match(v);
    if (!match.hasMatch())
        return {};
    return match.captured(1) + QLatin1Char('.') + match.captured(2) + QLatin1Char('.')
        + match.captured(3);
}

int FirmwareCatalog::compareVersions(const QString &a, const QString &b) const
{
    const QStringList left = normalizeVersion(a).split(QLatin1Char('.'));
    const QStringList right = normalizeVersion(b).split(QLatin1Char('.'));
    if (left.size() != 3 || right.size() != 3)
        return 0;
    for (int i = 0; i < 3; ++i) {
        const int difference = left.at(i).toInt() - right.at(i).toInt();
        if (difference != 0)
            return difference;
    }
    return 0;
}

QString FirmwareCatalog::channelProblem(const QString &env)
{
    return ReleaseServer::channelProblem(env);
}

QUrl FirmwareCatalog::channelDirectory(const QString &env)
{
    return ReleaseServer::channelFolder(env, QStringLiteral("firmware"));
}

QNetworkReply *FirmwareCatalog::get(const QUrl &url, ReplyHandler handler)
{
    QNetworkReply *reply = m_network->get(ReleaseServer::request(url));
    connect(reply, &QNetworkReply::finished, this, [this, reply, handler] {
        reply->deleteLater();
        (this->*handler)(reply);
    });
    return reply;
}

// ---- refresh ---------------------------------------------------------------------

void FirmwareCatalog::refresh(const QString &env)
{
    if (m_checking)
        return;
    const QString problem = channelProblem(env);
    if (!problem.isEmpty()) {
        setErrorMessage(problem);
        emit refreshed(false);
        return;
    }
    const QUrl directory = channelDirectory(env);
    if (directory.isEmpty()) {
        setErrorMessage(QStringLiteral("no release server configured"));
        emit refreshed(false);
        return;
    }
    setErrorMessage(QString());
    setChecking(true);
    m_refreshEnv = env;
    m_refreshDirectory = directory;
    qDebug() << "FirmwareCatalog: refresh" << directory.toString();
    get(directory.resolved(QUrl(QStringLiteral("manifest.txt"))), &FirmwareCatalog::onManifest);
}

void FirmwareCatalog::onManifest(QNetworkReply *reply)
{
    const QString failure = ReleaseServer::failureText(reply, false);
    if (!failure.isEmpty()) {
        setChecking(false);
        setErrorMessage(QStringLiteral("Could not reach the release server: ") + failure);
        emit refreshed(false);
        return;
    }
    m_pendingLatest = normalizeVersion(QString::fromUtf8(reply->readAll()).trimmed());
    get(m_refreshDirectory.resolved(QUrl(QStringLiteral("list.txt"))), &FirmwareCatalog::onList);
}

void FirmwareCatalog::onList(QNetworkReply *reply)
{
    QStringList found;
    // A missing list still leaves the manifest's release to offer.
    if (ReleaseServer::failureText(reply, false).isEmpty()) {
        const QList<QByteArray> lines = reply->readAll().split('\n');
        for (const QByteArray &line : lines) {
            const QString name = QString::fromUtf8(line).trimmed();
            const QString version = normalizeVersion(name);
            if (!name.isEmpty() && name == imageFileName(version) && !found.contains(version))
                found.append(version);
        }
    }
    const QString latest = m_pendingLatest;
    if (!latest.isEmpty() && !found.contains(latest))
        found.append(latest);
    std::stable_sort(found.begin(), found.end(), [this](const QString &a, const QString &b) {
        return compareVersions(a, b) > 0;
    });

    m_env = m_refreshEnv;
    m_latestVersion = latest;
    m_versions = found;
    qDebug() << "FirmwareCatalog:" << m_env << "latest" << latest << "releases" << found.size();
    emit catalogChanged();
    setChecking(false);
    if (latest.isEmpty())
        setErrorMessage(QStringLiteral("Unexpected manifest on the release server"));
    emit refreshed(!latest.isEmpty());
}

// ---- download --------------------------------------------------------------------

void FirmwareCatalog::download(const QString &version, const QString &env)
{
    if (m_downloading)
        return;
    const QString normalized = normalizeVersion(version);
    if (normalized.isEmpty()) {
        emit downloadFailed(QStringLiteral("invalid software version"));
        return;
    }
    const QString problem = channelProblem(env);
    if (!problem.isEmpty()) {
        emit downloadFailed(problem);
        return;
    }
    const QUrl directory = channelDirectory(env);
    if (directory.isEmpty()) {
        emit downloadFailed(QStringLiteral("no release server configured"));
        return;
    }
    m_downloadEnv = env;
    m_downloadVersion = normalized;
    m_downloadFileName = imageFileName(normalized);
    m_expectedMd5.clear();
    setErrorMessage(QString());
    setProgress(0);
    setDownloading(true);

    QString checksumName = m_downloadFileName;
    checksumName.replace(checksumName.size() - 4, 4, QStringLiteral(".md5"));
    const QUrl url = directory.resolved(QUrl(checksumName));
    qDebug() << "FirmwareCatalog: fetching" << url.toString();
    m_reply = get(url, &FirmwareCatalog::onChecksum);
}

void FirmwareCatalog::cancelDownload()
{
    if (!m_downloading || !m_reply)
        return;
    abandonReply();
    failDownload(QStringLiteral("cancelled"));
}

void FirmwareCatalog::abandonReply()
{
    // Detached first, so the abort cannot come back as a second, differently worded
    // failure, nor finish into a later download.
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

void FirmwareCatalog::onChecksum(QNetworkReply *reply)
{
    m_reply = nullptr;
    const QString failure = ReleaseServer::failureText(reply, false);
    if (!failure.isEmpty()) {
        failDownload(QStringLiteral("%1 is not available on the release server (%2)")
                         .arg(m_downloadVersion, failure));
        return;
    }
    const QByteArray body = reply->readAll();
    m_expectedMd5 = ReleaseServer::md5FromChecksumBody(body);
    if (m_expectedMd5.isEmpty() && !body.trimmed().isEmpty()) {
        // Whatever came instead (a portal page, a damaged file) cannot vouch for an image.
        failDownload(QStringLiteral("The checksum of %1 on the release server is unreadable")
                         .arg(m_downloadVersion));
        return;
    }
    const QString path = cachePath();
    if (!m_expectedMd5.isEmpty() && QFile::exists(path)) {
        if (cachedCopyMatches(path)) {
            qDebug() << "FirmwareCatalog: cache hit" << path;
            succeedDownload(path);
            return;
        }
        qDebug() << "FirmwareCatalog: cached copy stale — re-downloading";
    }
    requestImage();
}

bool FirmwareCatalog::cachedCopyMatches(const QString &path) const
{
    return ReleaseServer::md5OfFile(path) == m_expectedMd5;
}

void FirmwareCatalog::requestImage()
{
    const QString path = cachePath();
    m_imageFile = std::make_unique<QSaveFile>(path);
    m_imageHash.reset();
    // Unbuffered: Qt 5's QSaveFile only remembers a failure inside write(); bytes
    // buffered until commit() could fail to reach the disk and still be renamed over
    // the cached copy.
    if (!QDir().mkpath(cacheFolder())
        || !m_imageFile->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        failDownload(QStringLiteral("Cannot write to the software cache: ") + path);
        return;
    }
    const QUrl url = channelDirectory(m_downloadEnv).resolved(QUrl(m_downloadFileName));
    qDebug() << "FirmwareCatalog: downloading" << url.toString();
    m_reply = get(url, &FirmwareCatalog::onImage);
    connect(m_reply, &QNetworkReply::readyRead, this, &FirmwareCatalog::onImageData);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &FirmwareCatalog::onImageProgress);
}

void FirmwareCatalog::onImageData()
{
    if (!storeImageBytes(m_reply->readAll())) {
        abandonReply();
        failDownload(QStringLiteral("Cannot write to the software cache: ") + cachePath());
    }
}

bool FirmwareCatalog::storeImageBytes(const QByteArray &bytes)
{
    m_imageHash.addData(bytes);
    return m_imageFile->write(bytes) == bytes.size();
}

void FirmwareCatalog::onImageProgress(qint64 received, qint64 total)
{
    // 64-bit on purpose: received × 100 passes 2^31 from about 21 MB on.
    if (total > 0)
        setProgress(int(std::clamp<qint64>(received * 100 / total, 0, 100)));
}

void FirmwareCatalog::onImage(QNetworkReply *reply)
{
    m_reply = nullptr;
    const QString failure = ReleaseServer::failureText(reply, false);
    if (!failure.isEmpty()) {
        failDownload(QStringLiteral("Download failed: ") + failure);
        return;
    }
    const QString path = cachePath();
    if (!storeImageBytes(reply->readAll())) {
        failDownload(QStringLiteral("Cannot write to the software cache: ") + path);
        return;
    }
    if (!m_expectedMd5.isEmpty() && QString::fromLatin1(m_imageHash.result().toHex()) != m_expectedMd5) {
        failDownload(QStringLiteral("Downloaded image failed its checksum — try again"));
        return;
    }
    if (!m_imageFile->commit()) {
        failDownload(QStringLiteral("Cannot write to the software cache: ") + path);
        return;
    }
    m_imageFile.reset();
    qDebug() << "FirmwareCatalog: saved" << path << QFileInfo(path).size() << "bytes";
    succeedDownload(path);
}

void FirmwareCatalog::succeedDownload(const QString &path)
{
    setProgress(100);
    setDownloading(false);
    emit downloaded(path, m_downloadVersion);
}

void FirmwareCatalog::failDownload(const QString &message)
{
    // Dropping the save file without commit removes its temporary file; the cached
    // copy, if any, stays as it was and is checked again before any later use.
    m_imageFile.reset();
    qWarning() << "FirmwareCatalog: download failed —" << message;
    setDownloading(false);
    setErrorMessage(message);
    emit downloadFailed(message);
}

QString FirmwareCatalog::cachePath() const
{
    return cacheFolder() + QLatin1Char('/') + m_downloadFileName;
}

// ---- properties ------------------------------------------------------------------

void FirmwareCatalog::setChecking(bool checking)
{
    if (m_checking == checking)
        return;
    m_checking = checking;
    emit checkingChanged();
}

void FirmwareCatalog::setDownloading(bool downloading)
{
    if (m_downloading == downloading)
        return;
    m_downloading = downloading;
    emit downloadingChanged();
}

void FirmwareCatalog::setProgress(int progress)
{
    if (m_progress == progress)
        return;
    m_progress = progress;
    emit progressChanged();
}

void FirmwareCatalog::setErrorMessage(const QString &message)
{
    if (m_errorMessage == message)
        return;
    m_errorMessage = message;
    emit errorMessageChanged();
}
