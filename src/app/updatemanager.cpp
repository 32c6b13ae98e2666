#include "app/updatemanager.h"

#include "app/buildinfo.h"
#include "app/updateinstaller.h"
#include "firmware/releaseserver.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>
#include <QSslSocket>

#include <algorithm>
#include <utility>

namespace {

const QString Idle = QStringLiteral("idle");
const QString Checking = QStringLiteral("checking");
const QString UpToDate = QStringLiteral("upToDate");
const QString UpdateAvailable = QStringLiteral("updateAvailable");
const QString Downloading = QStringLiteral("downloading");
const QString Verifying = QStringLiteral("verifying");
const QString ReadyToInstall = QStringLiteral("readyToInstall");
const QString Installing = QStringLiteral("installing");
const QString Error = QStringLiteral("error");

const QString AutoCheckKey = QStringLiteral("updateManager/autoCheck");
const QString UpdateEnvKey = QStringLiteral("updateManager/updateEnv");
const QString Production = QStringLiteral("prod");
const QString VerificationFailed =
    QStringLiteral("Download verification failed — file may be corrupt. Please try again.");

// Bounds what the network thread may hold ahead of the disk: the installer never sits
// in memory whole, however fast the server and however slow the disk.
constexpr qint64 ReadBufferBytes = 1024 * 1024;

QSettings settings()
{
    return QSettings(QStringLiteral("Vellora"), QStringLiteral("Nerra"));
}

QList<int> versionNumbers(const QString &version)
{
    QStringList parts = version.split(QLatin1Char('.'));
    while (parts.size() < 3)
        parts.append(QStringLiteral("0"));
    QList<int> numbers;
    for (int i = 0; i < 3; ++i)
        numbers.append(parts.at(i).toInt());
    return numbers;
}

// Only this user may read or replace what is about to be run.
bool makePrivateFolder(const QString &folder)
{
    return QDir().mkpath(folder)
        && QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
    , m_state(Idle)
    , m_runningVersion(QStringLiteral(NERRA_BUILD_VERSION))
    , m_quit([] { QCoreApplication::quit(); })
{
#ifdef Q_OS_WIN
    m_defaultInstaller = std::make_unique<WindowsBatchInstaller>();
#else
    m_defaultInstaller = std::make_unique<PackageManagerInstaller>();
#endif
    const QSettings stored = settings();
    m_autoCheck = stored.value(AutoCheckKey, true).toBool();
    m_updateEnv = stored.value(UpdateEnvKey, Production).toString();
}

UpdateManager::~UpdateManager()
{
    if (m_reply)
        abandonReply();
}

// ---- properties ------------------------------------------------------------------

bool UpdateManager::updateAvailable() const
{
    return m_state == UpdateAvailable || m_state == Downloading || m_state == Verifying
        || m_state == ReadyToInstall;
}

void UpdateManager::setAutoCheck(bool on)
{
    if (m_autoCheck == on)
        return;
    m_autoCheck = on;
    settings().setValue(AutoCheckKey, on);
    emit autoCheckChanged();
}

void UpdateManager::setUpdateEnv(const QString &env)
{
    if (m_updateEnv == env)
        return;
    m_updateEnv = env;
    settings().setValue(UpdateEnvKey, env);
    emit updateEnvChanged();
    if (m_mfgMode)
        emit effectiveEnvChanged();
}

QString UpdateManager::effectiveEnv() const
{
    return m_mfgMode ? m_updateEnv : Production;
}

void UpdateManager::setMfgMode(bool on)
{
    if (m_mfgMode == on)
        return;
    m_mfgMode = on;
    if (m_updateEnv != Production)
        emit effectiveEnvChanged();
}

QString UpdateManager::currentVersion() const
{
    return m_runningVersion.mid(1);
}

void UpdateManager::setRunningVersion(const QString &version)
{
    if (m_runningVersion == version)
        return;
    m_runningVersion = version;
    emit currentVersionChanged();
}

bool UpdateManager::canInstall() const
{
    return installer()->canInstall();
}

QString UpdateManager::installHint() const
{
    if (m_state != UpdateAvailable || canInstall())
        return {};
    return QStringLiteral("Nerra Desktop %1 is available. Install it with your system's package manager.")
        .arg(m_latestVersion);
}

UpdateInstaller *UpdateManager::installer() const
{
    return m_installer ? m_installer : m_defaultInstaller.get();
}

void UpdateManager::setInstaller(UpdateInstaller *installer)
{
    const bool could = canInstall();
    m_installer = installer;
    if (canInstall() != could)
        emit canInstallChanged();
}

void UpdateManager::setQuitFunction(std::function<void()> quit)
{
    m_quit = std::move(quit);
}

// ---- check -----------------------------------------------------------------------

void UpdateManager::checkOnStartup()
{
    if (m_autoCheck)
        startCheck(true);
}

void UpdateManager::checkNow()
{
    startCheck(false);
}

void UpdateManager::startCheck(bool silent)
{
    if (m_state == Checking || m_state == Downloading)
        return;
    if (ReleaseServer::releaseBase().isEmpty()) {
        // A button that does nothing at all would look broken; the start-up check stays quiet.
        qDebug() << "[UpdateManager] no release server configured — no check";
        if (!silent)
            fail(QStringLiteral("Update check failed: no release server configured"));
        return;
    }
    const QString problem = ReleaseServer::channelProblem(effectiveEnv());
    if (!problem.isEmpty()) {
        failCheck(problem, silent);
        return;
    }
    qDebug() << "[UpdateManager] TLS" << QSslSocket::supportsSsl() << "built with"
             << QSslSocket::sslLibraryBuildVersionString() << "running"
             << QSslSocket::sslLibraryVersionString();
    m_manifestUrl = ReleaseServer::channelFolder(effectiveEnv(), QStringLiteral("app"))
                        .resolved(QUrl(QStringLiteral("latest.json")));
    qDebug() << "[UpdateManager] checking" << m_manifestUrl.toString() << "silent" << silent;
    m_silent = silent;
    setState(Checking);
    m_reply = m_network->get(ReleaseServer::request(m_manifestUrl));
    connect(m_reply, &QNetworkReply::finished, this, &UpdateManager::onManifestFinished);
}

void UpdateManager::onManifestFinished()
{
    QNetworkReply *reply = takeReply();
    const bool silent = std::exchange(m_silent, false);
    const QString failure = ReleaseServer::failureText(reply, false);
    if (!failure.isEmpty()) {
        qWarning() << "[UpdateManager] manifest fetch failed:" << reply->error()
                   << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() << "silent" << silent
                   << failure;
        failCheck(failure, silent);
        return;
    }
    const QByteArray body = reply->readAll();
    qDebug() << "[UpdateManager] manifest:" << body.left(512);
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (!document.isObject()) {
        qWarning() << "[UpdateManager] manifest JSON parse error:" << parseError.errorString();
        setState(Idle);
        return;
    }
    const QJsonObject manifest = document.object();
    const QString version = manifest.value(QStringLiteral("version")).toString().trimmed();
    if (version.isEmpty()) {
        setState(Idle);
        return;
    }
    // The link is opened by the system's browser: nothing but a web page may come from
    // a manifest (or, from a release tree on disk, a page beside it).
    const QString notesText = manifest.value(QStringLiteral("notes_url")).toString().trimmed();
    const QUrl notes = m_manifestUrl.resolved(QUrl(notesText));
    const bool webPage = !notesText.isEmpty()
        && (notes.scheme() == QLatin1String("https") || notes.scheme() == QLatin1String("http")
            || notes.scheme() == m_manifestUrl.scheme());
    setLatestVersion(version);
    setReleaseNotesUrl(webPage ? notes.toString() : QString());
    const QString suffix = installer()->manifestKeySuffix();
    m_downloadUrl = manifest.value(QStringLiteral("url_") + suffix).toString().trimmed();
    m_expectedMd5 = manifest.value(QStringLiteral("md5_") + suffix).toString().trimmed().toLower();
    setState(isNewer(version) ? UpdateAvailable : UpToDate);
}

bool UpdateManager::isNewer(const QString &version) const
{
    const QList<int> offered = versionNumbers(version);
    const QList<int> running = versionNumbers(currentVersion());
    const auto differ = std::mismatch(offered.begin(), offered.end(), running.begin());
    return differ.first != offered.end() && *differ.first > *differ.second;
}

void UpdateManager::failCheck(const QString &reason, bool silent)
{
    // Nobody asked for the start-up check, so nobody is told that it failed.
    if (silent)
        setState(Idle);
    else
        fail(QStringLiteral("Update check failed: %1").arg(reason));
}

// ---- download --------------------------------------------------------------------

QString UpdateManager::installerFileName(const QUrl &url)
{
    // Also keeps out what a batch file would read as syntax (%, &, ^, quotes) and the
    // launcher's and log's own names.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]*$"));
    const QString name = url.fileName();
    const bool reserved = name.compare(QLatin1String("run_update.bat"), Qt::CaseInsensitive) == 0
        || name.compare(QLatin1String("install.log"), Qt::CaseInsensitive) == 0;
    return plain.match(name).hasMatch() && !reserved ? name : QStringLiteral("NerraDesktop-Setup.exe");
}

// A manifest fetched over HTTPS only ever leads to HTTPS; one read from a file or plain
// HTTP may name its own kind too.
bool UpdateManager::mayFetch(const QUrl &target) const
{
    return target.isValid()
        && (target.scheme() == QLatin1String("https") || target.scheme() == m_manifestUrl.scheme());
}

void UpdateManager::startDownload()
{
    if (m_state != UpdateAvailable)
        return;
    if (!canInstall()) {
        qDebug() << "[UpdateManager] this build leaves installing to the system's package manager";
        return;
    }
    if (m_downloadUrl.isEmpty()) {
        fail(QStringLiteral("No download URL in manifest"));
        return;
    }
    const QUrl url = m_manifestUrl.resolved(QUrl(m_downloadUrl));
    if (!mayFetch(url)) {
        fail(QStringLiteral("Download failed: the manifest names an installer at a less safe address (%1)")
                 .arg(url.toString()));
        return;
    }
    setState(Downloading);
    setDownloadProgress(0);
    const QString folder = installer()->downloadFolder();
    m_installerPath = folder + QLatin1Char('/') + installerFileName(url);
    m_installerMd5.clear();
    m_downloadHash.reset();
    m_downloadFile = std::make_unique<QSaveFile>(m_installerPath);
    // Unbuffered: Qt 5's QSaveFile only remembers a failure inside write(); bytes held
    // back until commit() could fail to reach the disk and still be renamed into place.
    if (!makePrivateFolder(folder) || !m_downloadFile->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        m_downloadFile.reset();
        fail(QStringLiteral("Cannot open download destination: %1").arg(m_installerPath));
        return;
    }
    qDebug() << "[UpdateManager] downloading" << url.toString() << "to" << m_installerPath;
    m_reply = m_network->get(ReleaseServer::request(url));
    m_reply->setReadBufferSize(ReadBufferBytes);
    connect(m_reply, &QNetworkReply::readyRead, this, &UpdateManager::onDownloadData);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &UpdateManager::onDownloadProgress);
    connect(m_reply, &QNetworkReply::finished, this, &UpdateManager::onDownloadFinished);
}

bool UpdateManager::storeChunk(const QByteArray &bytes)
{
    m_downloadHash.addData(bytes);
    return m_downloadFile->write(bytes) == bytes.size();
}

void UpdateManager::onDownloadData()
{
    if (!storeChunk(m_reply->readAll())) {
        abandonReply();
        m_downloadFile.reset();
        fail(QStringLiteral("Download failed: cannot write %1").arg(m_installerPath));
    }
}

void UpdateManager::onDownloadProgress(qint64 received, qint64 total)
{
    // 64-bit on purpose: received × 100 passes 2^31 from about 21 MB on.
    setDownloadProgress(total >= 1 ? int(std::clamp<qint64>(received * 100 / total, 0, 100)) : 0);
}

void UpdateManager::onDownloadFinished()
{
    QNetworkReply *reply = takeReply();
    const QString failure = ReleaseServer::failureText(reply, false);
    if (!failure.isEmpty()) {
        m_downloadFile.reset();
        fail(QStringLiteral("Download failed: %1").arg(failure));
        return;
    }
    if (!storeChunk(reply->readAll())) {
        m_downloadFile.reset();
        fail(QStringLiteral("Download failed: cannot write %1").arg(m_installerPath));
        return;
    }
    setState(Verifying);
    const QString md5 = QString::fromLatin1(m_downloadHash.result().toHex());
    if (!m_expectedMd5.isEmpty() && md5 != m_expectedMd5) {
        qWarning() << "[UpdateManager] installer MD5" << md5 << "expected" << m_expectedMd5;
        m_downloadFile.reset();
        fail(VerificationFailed);
        return;
    }
    if (!m_downloadFile->commit()) {
        m_downloadFile.reset();
        fail(QStringLiteral("Download failed: cannot write %1").arg(m_installerPath));
        return;
    }
    m_downloadFile.reset();
    m_installerMd5 = md5;
    setDownloadProgress(100);
    setState(ReadyToInstall);
}

// ---- install and dismiss ---------------------------------------------------------

void UpdateManager::installAndRelaunch()
{
    if (m_state != ReadyToInstall)
        return;
    setState(Installing);
    const QFileInfo file(m_installerPath);
    if (!file.isFile() || file.size() == 0) {
        fail(QStringLiteral("Installer file missing or empty: %1").arg(m_installerPath));
        return;
    }
    // What runs is what was verified, not whatever took its place since.
    if (ReleaseServer::md5OfFile(m_installerPath) != m_installerMd5) {
        QFile::remove(m_installerPath);
        fail(VerificationFailed);
        return;
    }
    const QString problem = installer()->install(m_installerPath);
    if (!problem.isEmpty()) {
        fail(problem);
        return;
    }
    qDebug() << "[UpdateManager]   batch launched — quitting app now";
    m_quit();
}

void UpdateManager::dismiss()
{
    if (m_reply)
        abandonReply();
    m_downloadFile.reset();
    m_silent = false;
    setErrorMessage(QString());
    setState(Idle);
}

QNetworkReply *UpdateManager::takeReply()
{
    QNetworkReply *reply = std::exchange(m_reply, nullptr);
    reply->deleteLater();
    return reply;
}

void UpdateManager::abandonReply()
{
    // Detached first, so the abort cannot come back as a failure nobody caused.
    QNetworkReply *reply = takeReply();
    reply->disconnect(this);
    reply->abort();
}

void UpdateManager::fail(const QString &message)
{
    qWarning() << "[UpdateManager]" << message;
    m_errorMessage = message;
    emit errorMessageChanged();
    setState(Error);
}

void UpdateManager::setState(const QString &state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged();
}

void UpdateManager::setLatestVersion(const QString &version)
{
    if (m_latestVersion == version)
        return;
    m_latestVersion = version;
    emit latestVersionChanged();
}

void UpdateManager::setReleaseNotesUrl(const QString &url)
{
    if (m_releaseNotesUrl == url)
        return;
    m_releaseNotesUrl = url;
    emit releaseNotesUrlChanged();
}

void UpdateManager::setDownloadProgress(int progress)
{
    if (m_downloadProgress == progress)
        return;
    m_downloadProgress = progress;
    emit downloadProgressChanged();
}

void UpdateManager::setErrorMessage(const QString &message)
{
    if (m_errorMessage == message)
        return;
    m_errorMessage = message;
    emit errorMessageChanged();
}
