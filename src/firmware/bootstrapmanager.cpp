#include "firmware/bootstrapmanager.h"

#include "firmware/releaseserver.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

#include <utility>

namespace {

const QString Idle = QStringLiteral("idle");
const QString Detecting = QStringLiteral("detecting");
const QString Downloading = QStringLiteral("downloading");
const QString Flashing = QStringLiteral("flashing");
const QString Success = QStringLiteral("success");
const QString Error = QStringLiteral("error");

#ifdef Q_OS_WIN
const QString ToolFileName = QStringLiteral("esptool.exe");
#else
const QString ToolFileName = QStringLiteral("esptool");
#endif

// The name becomes a file in the cache: nothing that could leave it or hide a folder.
bool acceptableImageName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^NerraBoot-[A-Za-z0-9._-]+\\.bin$"));
    return pattern.match(name).hasMatch() && !name.contains(QLatin1String(".."));
}

} // namespace

BootstrapManager::BootstrapManager(QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
    , m_state(Idle)
    , m_settleTimer(new QTimer(this))
    , m_relaunchTimer(new QTimer(this))
    , m_startLimitTimer(new QTimer(this))
{
    for (QTimer *timer : {m_settleTimer, m_relaunchTimer, m_startLimitTimer})
        timer->setSingleShot(true);
    setTimings();
    connect(m_settleTimer, &QTimer::timeout, this, &BootstrapManager::requestManifest);
    connect(m_relaunchTimer, &QTimer::timeout, this, &BootstrapManager::flash);
    connect(m_startLimitTimer, &QTimer::timeout, this, [this] {
        qWarning() << "Bootstrap: esptool did not start within" << m_startLimitTimer->interval() << "ms";
        dropProcess();
        fail(QStringLiteral("Failed to start esptool"));
    });
}

BootstrapManager::~BootstrapManager()
{
    dropReply();
    dropProcess();
}

void BootstrapManager::setToolProgram(const QString &path)
{
    m_toolProgram = path;
}

QString BootstrapManager::toolProgram() const
{
    if (!m_toolProgram.isEmpty())
        return m_toolProgram;
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/tools/") + ToolFileName;
    if (QFileInfo(beside).isFile())
        return beside;
    for (const QString &name : {QStringLiteral("esptool"), QStringLiteral("esptool.py")}) {
        const QString onPath = QStandardPaths::findExecutable(name);
        if (!onPath.isEmpty())
            return onPath;
    }
    return beside;
}

void BootstrapManager::setTimings(int settleMs, int relaunchMs, int startLimitMs)
{
    m_settleTimer->setInterval(settleMs);
    m_relaunchTimer->setInterval(relaunchMs);
    m_startLimitTimer->setInterval(startLimitMs);
}

QString BootstrapManager::cacheFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/bootstrap_cache");
}

// ---- the run ---------------------------------------------------------------------

void BootstrapManager::startBootstrap(const QString &portName)
{
    if (m_active) {
        qWarning() << "Bootstrap: startBootstrap called while already active";
        return;
    }
    m_portName = portName;
    m_cancelled = false;
    setActive(true);
    setState(Detecting);
    setStatusMessage(QStringLiteral("Blank board detected — preparing..."));
    setProgress(0);
    // The board settles after the link let go of its port.
    m_settleTimer->start();
}

void BootstrapManager::cancel()
{
    if (!m_active)
        return;
    m_cancelled = true;
    reset();
}

void BootstrapManager::retry()
{
    if (m_active || m_portName.isEmpty())
        return;
    reset();
    startBootstrap(m_portName);
}

QString BootstrapManager::bootFolder() const
{
    const QUrl base = ReleaseServer::bootBase();
    return base.isEmpty() ? QString() : base.toString(QUrl::FullyEncoded) + QStringLiteral("/nerra-prod/boot/");
}

QString BootstrapManager::cachedImagePath() const
{
    return cacheFolder() + QLatin1Char('/') + m_imageFileName;
}

QNetworkReply *BootstrapManager::get(const QString &fileName)
{
    m_reply = m_network->get(ReleaseServer::request(QUrl(bootFolder() + fileName)));
    return m_reply;
}

QNetworkReply *BootstrapManager::takeReply()
{
    QNetworkReply *reply = std::exchange(m_reply, nullptr);
    if (reply)
        reply->deleteLater();
    return reply;
}

void BootstrapManager::requestManifest()
{
    if (m_cancelled)
        return;
    setState(Downloading);
    setStatusMessage(QStringLiteral("Checking for latest boot image..."));
    if (bootFolder().isEmpty()) {
        fail(QStringLiteral("Could not reach S3: no boot image server configured"));
        return;
    }
    connect(get(QStringLiteral("manifest.txt")), &QNetworkReply::finished, this, &BootstrapManager::onManifestFinished);
}

void BootstrapManager::onManifestFinished()
{
    QNetworkReply *reply = takeReply();
    if (m_cancelled || !reply)
        return;
    const QString failure = ReleaseServer::failureText(reply, false);
    if (!failure.isEmpty()) {
        fail(QStringLiteral("Could not reach S3: ") + failure);
        return;
    }
    const QString name = QString::fromUtf8(reply->readAll()).trimmed();
    qDebug() << "Bootstrap: manifest filename =" << name;
    if (!acceptableImageName(name)) {
        fail(QStringLiteral("Unexpected manifest: ") + name.left(200));
        return;
    }
    m_imageFileName = name;
    const QString checksumName = name.left(name.size() - 4) + QStringLiteral(".md5");
    connect(get(checksumName), &QNetworkReply::finished, this, &BootstrapManager::onMd5Finished);
}

void BootstrapManager::onMd5Finished()
{
    QNetworkReply *reply = takeReply();
    if (m_cancelled || !reply)
        return;
    const QString failure = ReleaseServer::failureText(reply, false);
    if (!failure.isEmpty()) {
        fail(QStringLiteral("Could not fetch MD5: ") + failure);
        return;
    }
    m_expectedMd5 = ReleaseServer::md5FromChecksumBody(reply->readAll());
    if (m_expectedMd5.isEmpty()) {
        fail(QStringLiteral("Could not fetch MD5: the checksum file holds no MD5"));
        return;
    }
    if (ReleaseServer::md5OfFile(cachedImagePath()) == m_expectedMd5) {
        qDebug() << "Bootstrap: cache hit — skipping download";
        setStatusMessage(QStringLiteral("Using cached boot image..."));
        flash();
        return;
    }
    downloadImage();
}

void BootstrapManager::downloadImage()
{
    QDir().mkpath(cacheFolder());
    setStatusMessage(QStringLiteral("Downloading %1...").arg(m_imageFileName));
    QNetworkReply *reply = get(m_imageFileName);
    connect(reply, &QNetworkReply::downloadProgress, this, &BootstrapManager::onBinDownloadProgress);
    connect(reply, &QNetworkReply::finished, this, &BootstrapManager::onBinDownloadFinished);
}

void BootstrapManager::onBinDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (m_cancelled || bytesTotal <= 0)
        return;
    setProgress(int(qBound<qint64>(0, bytesReceived * 100 / bytesTotal, 100)));
    setStatusMessage(QStringLiteral("Downloading %1... %2%").arg(m_imageFileName).arg(m_progress));
}

void BootstrapManager::onBinDownloadFinished()
{
    QNetworkReply *reply = takeReply();
    if (m_cancelled || !reply)
        return;
    const QString failure = ReleaseServer::failureText(reply, false);
    if (!failure.isEmpty()) {
        fail(QStringLiteral("Download failed: ") + failure);
        return;
    }
    const QByteArray image = reply->readAll();
    // A damaged or cut-short image must never reach the board, nor the cache where the
    // next run would take it.
    if (QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Md5).toHex()) != m_expectedMd5) {
        fail(QStringLiteral("Download failed: checksum mismatch"));
        return;
    }
    const QString path = cachedImagePath();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(image) != image.size() || !file.commit()) {
        fail(QStringLiteral("Cannot write to cache: ") + path);
        return;
    }
    qDebug() << "Bootstrap: saved binary to" << path;
    flash();
}

void BootstrapManager::flash()
{
    if (m_cancelled)
        return;
    setState(Flashing);
    setStatusMessage(QStringLiteral("Flashing firmware..."));
    setProgress(0);
    const QString program = toolProgram();
    if (!QFileInfo(program).isFile()) {
        fail(QStringLiteral("esptool not found: ") + program);
        return;
    }
    const QString image = cachedImagePath();
    if (!QFileInfo(image).isFile()) {
        fail(QStringLiteral("Boot image not found: ") + image);
        return;
    }
    const QStringList arguments{QStringLiteral("--chip"), QStringLiteral("esp32s3"), QStringLiteral("--port"), m_portName,
                                QStringLiteral("--baud"), QStringLiteral("921600"), QStringLiteral("write-flash"),
                                QStringLiteral("0x0"), image};
    qDebug() << "Bootstrap: launching" << program << arguments;
    m_outputTail.clear();
    m_process = new QProcess(this);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    connect(m_process, &QProcess::readyRead, this, &BootstrapManager::onEsptoolOutput);
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &BootstrapManager::onEsptoolFinished);
    connect(m_process, &QProcess::started, m_startLimitTimer, &QTimer::stop);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;   // a crash also ends in finished()
        qWarning() << "Bootstrap: esptool could not be started:" << m_process->errorString();
        m_startLimitTimer->stop();
        dropProcess();
        fail(QStringLiteral("Failed to start esptool"));
    });
    // Started without waiting: the interface keeps drawing while the system starts it.
    m_startLimitTimer->start();
    m_process->start(program, arguments);
}

void BootstrapManager::onEsptoolOutput()
{
    if (m_process)
        readToolOutput(m_process->readAll());
}

void BootstrapManager::readToolOutput(const QByteArray &output)
{
    static const QRegularExpression ansi(QStringLiteral("\\x1B\\[[0-9;]*[A-Za-z]"));
    static const QRegularExpression percent(QStringLiteral("(\\d+(?:\\.\\d+)?)%"));
    static const QRegularExpression lineEnd(QStringLiteral("[\\r\\n]"));
    QByteArray bytes = m_outputTail + output;
    // The last piece may be a line the tool is still writing: it is read for progress
    // now, and logged once it is complete.
    const int end = qMax(bytes.lastIndexOf('\r'), bytes.lastIndexOf('\n')) + 1;
    m_outputTail = bytes.mid(end);
    bytes.truncate(end);
    const auto readProgress = [this](const QString &line) {
        const QRegularExpressionMatch match = percent.match(line);
        if (!match.hasMatch())
            return;
        setProgress(int(match.captured(1).toDouble()));
        setStatusMessage(QStringLiteral("Flashing... %1%").arg(m_progress));
    };
    const QStringList pieces = QString::fromUtf8(bytes).remove(ansi).split(lineEnd, Qt::SkipEmptyParts);
    for (const QString &piece : pieces) {
        const QString line = piece.trimmed();
        if (line.isEmpty())
            continue;
        qDebug().noquote() << "Bootstrap [esptool]:" << line;
        readProgress(line);
    }
    readProgress(QString::fromUtf8(m_outputTail).remove(ansi));
}

void BootstrapManager::onEsptoolFinished(int exitCode, QProcess::ExitStatus status)
{
    qDebug() << "Bootstrap: esptool finished, exitCode =" << exitCode << (status == QProcess::CrashExit ? "(crashed)" : "");
    if (m_process)
        readToolOutput(m_process->readAll() + '\n');
    dropProcess();
    if (m_cancelled)
        return;
    if (exitCode != 0 || status == QProcess::CrashExit)
        relaunchOrFail(exitCode);
    else
        succeed();
}

void BootstrapManager::relaunchOrFail(int exitCode)
{
    if (m_toolRetries >= MaxRelaunches) {
        fail(QStringLiteral("Flash failed (exit code %1)").arg(exitCode));
        return;
    }
    ++m_toolRetries;
    qDebug().noquote() << QStringLiteral("Bootstrap: esptool port error — retrying in %1ms (attempt %2 of %3)")
                              .arg(m_relaunchTimer->interval())
                              .arg(m_toolRetries)
                              .arg(MaxRelaunches);
    setStatusMessage(QStringLiteral("Port busy — retrying (%1/%2)...").arg(m_toolRetries).arg(MaxRelaunches));
    m_relaunchTimer->start();
}

void BootstrapManager::succeed()
{
    m_toolRetries = 0;
    setState(Success);
    setStatusMessage(QStringLiteral("Board ready — unplug and move to next"));
    setProgress(100);
    setActive(false);
    emit finished(true, QString());
}

void BootstrapManager::fail(const QString &message)
{
    qWarning().noquote() << "Bootstrap: FAILED:" << message;
    m_errorMessage = message;
    emit errorMessageChanged();
    setState(Error);
    setStatusMessage(message);
    setActive(false);
    emit finished(false, message);
}

void BootstrapManager::reset()
{
    for (QTimer *timer : {m_settleTimer, m_relaunchTimer, m_startLimitTimer})
        timer->stop();
    dropReply();
    dropProcess();
    m_cancelled = false;
    m_toolRetries = 0;
    m_imageFileName.clear();
    m_expectedMd5.clear();
    setState(Idle);
    setStatusMessage(QString());
    setProgress(0);
    setActive(false);
}

void BootstrapManager::dropReply()
{
    QNetworkReply *reply = takeReply();
    if (!reply)
        return;
    // Detached first: an aborted request must not come back as a failure of the run.
    reply->disconnect(this);
    reply->abort();
}

void BootstrapManager::dropProcess()
{
    QProcess *process = std::exchange(m_process, nullptr);
    if (!process)
        return;
    process->disconnect(this);
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(2000);
    }
    process->deleteLater();
}

// ---- properties ------------------------------------------------------------------

void BootstrapManager::setActive(bool active)
{
    if (m_active == active)
        return;
    m_active = active;
    emit isActiveChanged();
}

void BootstrapManager::setState(const QString &state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged();
}

void BootstrapManager::setProgress(int progress)
{
    if (m_progress == progress)
        return;
    m_progress = progress;
    emit progressChanged();
}

void BootstrapManager::setStatusMessage(const QString &message)
{
    if (m_statusMessage == message)
        return;
    m_statusMessage = message;
    emit statusMessageChanged();
}
