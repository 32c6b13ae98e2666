#include "firmware/otamanager.h"

#include "devices/serial/serialmanager.h"
#include "firmware/firmwarecatalog.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace {

constexpr int DefaultChunkSize = 128;
constexpr int MaxConfirmTries = 3;
constexpr int MaxSessionAttempts = 4;

} // namespace

OtaManager::OtaManager(QObject *parent)
    : QObject(parent)
    , m_stallTimer(new QTimer(this))
    , m_retryTimer(new QTimer(this))
{
    m_stallTimer->setSingleShot(true);
    m_retryTimer->setSingleShot(true);
    connect(m_stallTimer, &QTimer::timeout, this, &OtaManager::onStall);
    connect(m_retryTimer, &QTimer::timeout, this, &OtaManager::onRetry);
}

OtaManager::~OtaManager() = default;

void OtaManager::setSerialManager(SerialManager *link)
{
    if (m_link)
        QObject::disconnect(m_link, nullptr, this, nullptr);
    m_link = link;
    if (!link)
        return;
    connect(link, &SerialManager::otaSessionReady, this, &OtaManager::onSessionReady);
    connect(link, &SerialManager::otaSessionFailed, this, &OtaManager::onSessionFailed);
    connect(link, &SerialManager::otaLineReceived, this, &OtaManager::onOtaLine);
    connect(link, &DeviceConnection::isConnectedChanged, this, &OtaManager::onConnectedChanged);
}

void OtaManager::setFirmwareCatalog(FirmwareCatalog *catalog)
{
    if (m_catalog)
        QObject::disconnect(m_catalog, nullptr, this, nullptr);
    m_catalog = catalog;
    if (!catalog)
        return;
    connect(catalog, &FirmwareCatalog::downloaded, this, &OtaManager::onDownloaded);
    connect(catalog, &FirmwareCatalog::downloadFailed, this, &OtaManager::onDownloadFailed);
    connect(catalog, &FirmwareCatalog::progressChanged, this, [this] {
        if (m_state != Downloading)
            return;
        setProgress(m_catalog->progress());
        setStatus(QStringLiteral("Downloading software %1… %2%").arg(m_targetVersion).arg(m_catalog->progress()));
    });
}

bool OtaManager::active() const
{
    return m_state != Idle && m_state != Done && m_state != Failed && m_state != NeedsReplug;
}

bool OtaManager::cancellable() const
{
    return m_state == Downloading || m_state == Beginning || m_state == Transferring || m_state == Verifying;
}

QString OtaManager::sizeText(qint64 bytes)
{
    if (bytes >= 1048576)
        return QString::number(double(bytes) / 1048576.0, 'f', 2) + QStringLiteral(" MB");
    return QString::number(bytes / 1024) + QStringLiteral(" KB");
}

// ---- starting a run ----

bool OtaManager::preflight()
{
    if (active()) {
        fail(QStringLiteral("an update is already in progress"));
        return false;
    }
    if (!m_link) {
        fail(QStringLiteral("no device connection"));
        return false;
    }
    if (!m_link->isConnected()) {
        fail(QStringLiteral("device is not connected"));
        return false;
    }
    if (m_link->usbOtaVersion() < 1) {
        fail(QStringLiteral("this device's software does not support USB update"));
        return false;
    }
    m_hardwareId = m_link->usbDeviceId();
    m_versionBefore = m_link->usbDeviceFW();
    return true;
}

void OtaManager::startUpdateFromRelease(const QString &version, const QString &env)
{
    if (!preflight())
        return;
    if (!m_catalog) {
        fail(QStringLiteral("no release source configured"));
        return;
    }
    m_targetVersion = m_catalog->normalizeVersion(version);
    m_reinstall = m_catalog->compareVersions(m_targetVersion, m_link->usbDeviceFW()) == 0;
    m_sourceName = QStringLiteral("NerraFirmware-") + m_targetVersion + QStringLiteral(".bin");
    m_image.clear();
    m_newFirmware.clear();
    m_pendingConfirm = false;
    m_confirmOnly = false;
    m_sessionAttempts = 0;
    m_sentBytes = 0;
    setProgress(0);
    // A download still running belongs to an earlier run: its file is not this run's.
    if (m_catalog->downloading())
        m_catalog->cancelDownload();
    qDebug().noquote() << "OTA: fetching release" << m_targetVersion << "from" << env;
    setState(Downloading);
    setStatus(QStringLiteral("Downloading software %1…").arg(m_targetVersion));
    m_catalog->download(m_targetVersion, env);
}

void OtaManager::startUpdateFromFile(const QString &binPath)
{
    if (!preflight())
        return;
    m_targetVersion.clear();
    m_reinstall = false;
    if (loadImage(binPath))
        startTransfer();
}

bool OtaManager::loadImage(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot open ") + path);
        return false;
    }
    if (file.size() > MaxImageBytes) {
        fail(QStringLiteral("%1 is %2 — larger than any software image (%3 at most)")
                 .arg(QFileInfo(path).fileName(), sizeText(file.size()), sizeText(MaxImageBytes)));
        return false;
    }
    const QByteArray image = file.readAll();
    if (image.isEmpty()) {
        fail(QStringLiteral("software image file is empty"));
        return false;
    }
    m_image = image;
    m_sourceName = QFileInfo(path).fileName();
    m_newFirmware.clear();
    m_pendingConfirm = false;
    m_confirmOnly = false;
    m_sessionAttempts = 0;
    m_imageHash = QString::fromLatin1(QCryptographicHash::hash(m_image, QCryptographicHash::Sha256).toHex());
    m_sentBytes = 0;
    m_retries = 0;
    setProgress(0);
    return true;
}

void OtaManager::startTransfer()
{
    qDebug().noquote() << "OTA: start" << m_sourceName << m_image.size() << "bytes sha256" << m_imageHash;
    m_sessionHeld = true;
    setState(Beginning);
    setStatus(QStringLiteral("Connecting to device…"));
    m_link->beginUsbOta();
    startStall(m_timings.openStallMs);
}

void OtaManager::confirmRunningImage()
{
    if (active())
        return;
    if (!m_link || !m_link->isConnected()) {
        fail(QStringLiteral("device is not connected"));
        return;
    }
    if (m_link->usbOtaVersion() < 1) {
        fail(QStringLiteral("this device's software does not support USB update"));
        return;
    }
    m_image.clear();
    m_sourceName.clear();
    m_targetVersion.clear();
    m_reinstall = false;
    m_pendingConfirm = false;
    m_sessionAttempts = 0;
    m_confirmOnly = true;
    m_sessionHeld = true;
    m_hardwareId = m_link->usbDeviceId();
    m_versionBefore = m_link->usbDeviceFW();
    setProgress(0);
    qDebug() << "OTA: confirming the running image (no transfer)";
    setState(Beginning);
    setStatus(QStringLiteral("Connecting to device…"));
    m_link->beginUsbOta();
    startStall(m_timings.openStallMs);
}

void OtaManager::onDownloaded(const QString &path, const QString &version)
{
    // Only this run's image: a late answer for another version is not it.
    if (m_state != Downloading || (!version.isEmpty() && m_catalog && m_catalog->normalizeVersion(version) != m_targetVersion))
        return;
    if (!m_link || !m_link->isConnected() || !isOwnInstrument()) {
        fail(QStringLiteral("device is not connected"));
        return;
    }
    if (loadImage(path))
        startTransfer();
}

void OtaManager::onDownloadFailed(const QString &message)
{
    if (m_state == Downloading)
        fail(message);
}

// ---- the channel ----

void OtaManager::onSessionFailed(const QString &reason)
{
    if (m_state == Rebooting) {
        m_retryTimer->start(m_timings.sessionRetryMs);
        return;
    }
    if (m_state != Beginning)
        return;
    if (++m_sessionAttempts < MaxSessionAttempts) {
        qDebug().noquote() << "OTA: session attempt failed (" << reason << ") — retrying once";
        m_retryTimer->start(m_timings.sessionRetryMs);
        return;
    }
    fail(QStringLiteral("could not open a session: ") + reason);
}

void OtaManager::onRetry()
{
    if (!m_link)
        return;
    if (m_state == Beginning) {
        m_link->beginUsbOta();
    } else if (m_state == Rebooting) {
        if (m_link->isConnected())
            m_link->beginUsbOta();
        else
            m_retryTimer->start(m_timings.sessionRetryMs);
    }
}

void OtaManager::onSessionReady()
{
    if (m_state != Beginning && m_state != Rebooting) {
        if (m_link)
            m_link->endUsbOta(false);
        return;
    }
    if (m_state == Beginning) {
        // The channel opened on another instrument than the one this run is for.
        if (!isOwnInstrument()) {
            fail(QStringLiteral("device disconnected"));
            return;
        }
        if (m_confirmOnly) {
            m_newFirmware = m_link->usbDeviceFW();
            setState(Confirming);
            setStatus(QStringLiteral("Confirming software %1…").arg(m_newFirmware));
            m_confirmTries = 0;
            write(QStringLiteral("CMD:OTA_CONFIRM"));
            startStall(m_timings.confirmStallMs);
            return;
        }
        setStatus(QStringLiteral("Preparing update (%1)…").arg(sizeText(m_image.size())));
        write(QStringLiteral("CMD:OTA_BEGIN:%1:%2").arg(m_image.size()).arg(m_imageHash));
        startStall(m_timings.openStallMs);
        return;
    }
    // Rebooting: another instrument plugged in meanwhile gets nothing; this run waits for
    // its own until the restart watchdog gives up.
    if (!isOwnInstrument()) {
        qWarning().noquote() << "OTA: another instrument" << m_link->usbDeviceId() << "came up — waiting for"
                             << m_hardwareId;
        m_link->endUsbOta(false);
        return;
    }
    m_retryTimer->stop();
    m_newFirmware = m_link->usbDeviceFW();
    // The instrument came back running what it ran before the update: the new image did not
    // start and was rolled back. (A reinstall of the running version cannot tell.)
    if (m_catalog && !m_targetVersion.isEmpty() && !m_reinstall
        && m_catalog->compareVersions(m_newFirmware, m_versionBefore) == 0
        && m_catalog->compareVersions(m_newFirmware, m_targetVersion) != 0) {
        fail(QStringLiteral("the device came back with its earlier software %1 — the new software %2 did not start "
                            "and was rolled back")
                 .arg(m_newFirmware, m_targetVersion));
        return;
    }
    if (m_link->usbOtaVersion() < 1) {
        qDebug().noquote() << "OTA: reconnected, device fw =" << m_newFirmware << "— no otaUsb, auto-confirmed";
        succeed(QStringLiteral("Update complete — device software is now %1. (This version predates USB update; a "
                               "newer version is needed to update over USB again.)")
                    .arg(m_newFirmware));
        return;
    }
    qDebug().noquote() << "OTA: reconnected, device fw =" << m_newFirmware << "— confirming";
    setState(Confirming);
    setStatus(QStringLiteral("Software %1 installed — waiting for the device to finish starting up…").arg(m_newFirmware));
    m_confirmTries = 0;
    write(QStringLiteral("CMD:OTA_CONFIRM"));
    startStall(m_timings.confirmStallMs);
}

bool OtaManager::isOwnInstrument() const
{
    return m_link && (m_hardwareId.isEmpty() || m_link->usbDeviceId() == m_hardwareId);
}

void OtaManager::write(const QString &line)
{
    if (m_link)
        m_link->sendOtaLine(line);
}

// ---- the instrument's answers ----

bool OtaManager::countIn(const QString &line, qint64 *count) const
{
    bool ok = false;
    *count = line.mid(line.lastIndexOf(QLatin1Char(':')) + 1).trimmed().toLongLong(&ok);
    return ok && *count >= 0 && *count <= m_image.size();
}

int OtaManager::retryLimit() const
{
    return int(m_image.size() / qMax(1, m_chunkSize)) * 4 + 4;
}

void OtaManager::onOtaLine(const QString &line)
{
    m_stallTimer->stop();
    const bool error = line.startsWith(QLatin1String("ERR:"));
    switch (m_state) {
    case Beginning:
        if (line.startsWith(QLatin1String("OK:OTA_BEGIN:"))) {
            bool ok = false;
            const int size = line.mid(line.lastIndexOf(QLatin1Char(':')) + 1).trimmed().toInt(&ok);
            m_chunkSize = ok && size >= 1 ? size : DefaultChunkSize;
            qDebug() << "OTA: begin ok, chunk =" << m_chunkSize;
            m_transferClock.start();
            setState(Transferring);
            sendChunk();
        } else if (line.contains(QLatin1String("PENDING_CONFIRM"))) {
            m_pendingConfirm = true;
            fail(QStringLiteral("the device is running an unconfirmed software image from an earlier update — confirm "
                                "it (below) or restart the device to roll back, then try again"));
        } else if (error) {
            fail(QStringLiteral("device rejected update: ") + line);
        } else {
            startStall(m_timings.openStallMs);
        }
        return;
    case Transferring: {
        qint64 count = 0;
        if (m_resyncing) {
            if (line.startsWith(QLatin1String("OK:OTA_STATUS:"))) {
                if (!countIn(line, &count)) {
                    fail(QStringLiteral("resync failed: ") + line);
                    return;
                }
                m_resyncing = false;
                m_sentBytes = count;
                sendChunk();
            } else if (error) {
                fail(QStringLiteral("resync failed: ") + line);
            } else {
                startStall(m_timings.chunkStallMs);
            }
            return;
        }
        if (line.startsWith(QLatin1String("OK:OTA_CHUNK:"))) {
            if (!countIn(line, &count)) {
                fail(QStringLiteral("transfer failed: ") + line);
                return;
            }
            if (count != m_sentBytes + m_lastChunk) {
                resync();
                return;
            }
            m_sentBytes = count;
            setProgress(int(count * 100 / m_image.size()));
            if (m_sentBytes < m_image.size()) {
                sendChunk();
                return;
            }
            const qint64 elapsed = qMax<qint64>(1, m_transferClock.elapsed());
            qDebug().noquote() << "OTA: transferred" << m_sentBytes << "bytes in"
                               << QString::number(double(elapsed) / 1000.0, 'f', 1) << "s ("
                               << qint64(double(m_sentBytes) / (double(elapsed) / 1000.0) / 1024.0) << "KB/s)," << m_retries
                               << "retries — verifying";
            setState(Verifying);
            setStatus(QStringLiteral("Verifying image…"));
            write(QStringLiteral("CMD:OTA_END"));
            startStall(m_timings.verifyStallMs);
        } else if (line.contains(QLatin1String("BADCHUNK")) || line.contains(QLatin1String("CHUNK_TOO_BIG"))) {
            resync();
        } else if (error) {
            fail(QStringLiteral("transfer failed: ") + line);
        } else {
            startStall(m_timings.chunkStallMs);
        }
        return;
    }
    case Verifying:
        if (line.startsWith(QLatin1String("OK:OTA:verified"))) {
            setState(Applying);
            setStatus(QStringLiteral("Image verified — applying, device will restart…"));
            write(QStringLiteral("CMD:OTA_APPLY"));
            startStall(m_timings.applyStallMs);
        } else if (error) {
            fail(line.contains(QLatin1String("CHECKSUM")) ? QStringLiteral("image integrity check failed (checksum)")
                                                          : QStringLiteral("image verification failed: ") + line);
        } else {
            startStall(m_timings.verifyStallMs);
        }
        return;
    case Applying:
        if (line.startsWith(QLatin1String("OK:OTA:rebooting")))
            enterRebooting();
        else if (error)
            fail(QStringLiteral("apply failed: ") + line);
        else
            startStall(m_timings.applyStallMs);
        return;
    case Confirming:
        if (line.startsWith(QLatin1String("OK:OTA:confirmed"))) {
            if (m_confirmOnly)
                succeed(QStringLiteral("Software %1 confirmed.").arg(m_newFirmware));
            else if (m_reinstall)
                succeed(QStringLiteral("Reinstall complete — device software is %1.").arg(m_newFirmware));
            else
                succeed(QStringLiteral("Update complete — device software is now %1.").arg(m_newFirmware));
        } else if (error) {
            fail(QStringLiteral("confirm failed: ") + line);
        } else {
            startStall(m_timings.confirmStallMs);
        }
        return;
    default:
        return;
    }
}

void OtaManager::sendChunk()
{
    m_lastChunk = int(qMin<qint64>(m_chunkSize, m_image.size() - m_sentBytes));
    m_resyncing = false;
    write(QStringLiteral("CMD:OTA_CHUNK:") + QString::fromLatin1(m_image.mid(int(m_sentBytes), m_lastChunk).toBase64()));
    startStall(m_timings.chunkStallMs);
}

// Every resync counts against the limit: an instrument that asks again and again for ever
// must not keep the run going for ever.
void OtaManager::resync()
{
    if (++m_retries > retryLimit()) {
        fail(QStringLiteral("too many transfer retries"));
        return;
    }
    m_resyncing = true;
    write(QStringLiteral("CMD:OTA_STATUS"));
    startStall(m_timings.chunkStallMs);
}

void OtaManager::onStall()
{
    switch (m_state) {
    case Transferring:
        if (++m_retries > retryLimit()) {
            fail(QStringLiteral("too many transfer retries"));
            return;
        }
        resync();
        return;
    case Rebooting:
        m_retryTimer->stop();
        qWarning().noquote() << "OTA: image installed but the device never answered within" << m_timings.rebootStallMs
                             << "ms — host->device pipe stalled, replug required (see Nerra_Firmware#660)";
        giveBackLink();
        // The new image is installed but not confirmed: the panel offers to confirm it.
        m_pendingConfirm = true;
        setStatus(QStringLiteral("Update installed — unplug and replug the USB cable to finish."));
        setState(NeedsReplug);
        emit finished(false, QStringLiteral("replug required"));
        return;
    case Confirming:
        if (++m_confirmTries >= MaxConfirmTries) {
            m_pendingConfirm = true;
            fail(QStringLiteral("device did not confirm the new software (it is installed — reconnect to finish)"));
            return;
        }
        qDebug().noquote() << "OTA: no answer to OTA_CONFIRM (try" << m_confirmTries << "of" << MaxConfirmTries
                           << ") — the device is probably still booting; resending";
        write(QStringLiteral("CMD:OTA_CONFIRM"));
        startStall(m_timings.confirmStallMs);
        return;
    default:
        fail(QStringLiteral("device stopped responding"));
        return;
    }
}

void OtaManager::enterRebooting()
{
    if (m_link) {
        m_link->endUsbOta(true);
        m_link->setOtaRestartPending(true);
    }
    setState(Rebooting);
    setStatus(QStringLiteral("Device restarting — waiting for the new software to respond…"));
    startStall(m_timings.rebootStallMs);
    m_retryTimer->start(m_timings.rebootRetryMs);
}

void OtaManager::onConnectedChanged()
{
    if (!m_link)
        return;
    if (m_link->isConnected()) {
        if (m_state == Rebooting && !m_retryTimer->isActive())
            m_link->beginUsbOta();
        else if (m_state == Rebooting)
            onRetry();
        return;
    }
    switch (m_state) {
    case Beginning:
    case Transferring:
    case Verifying:
    case Confirming:
        fail(QStringLiteral("device disconnected"));
        return;
    case Applying:
        enterRebooting();
        return;
    default:
        return;
    }
}

// ---- ending ----

void OtaManager::abort()
{
    if (!cancellable())
        return;
    m_stallTimer->stop();
    if (m_state == Downloading) {
        if (m_catalog)
            m_catalog->cancelDownload();
        // A catalogue that has nothing to cancel any more gives no answer: the run ends here.
        if (m_state == Downloading)
            fail(QStringLiteral("cancelled"));
        return;
    }
    if (m_link && m_link->protocolState() == SerialManager::OtaActive)
        write(QStringLiteral("CMD:OTA_ABORT"));
    fail(QStringLiteral("cancelled"));
}

void OtaManager::reset()
{
    if (active())
        return;
    m_image.clear();
    m_sourceName.clear();
    m_newFirmware.clear();
    m_targetVersion.clear();
    m_reinstall = false;
    m_pendingConfirm = false;
    m_sentBytes = 0;
    setProgress(0);
    setStatus(QString());
    setState(Idle);
}

void OtaManager::giveBackLink()
{
    m_stallTimer->stop();
    m_retryTimer->stop();
    if (!m_link)
        return;
    m_link->setOtaRestartPending(false);
    if (m_sessionHeld) {
        m_sessionHeld = false;
        m_link->endUsbOta(false);
        if (m_link->isConnected())
            m_link->disconnectProtocol();
    }
}

void OtaManager::succeed(const QString &message)
{
    qDebug().noquote() << "OTA:" << message;
    giveBackLink();
    setProgress(100);
    setStatus(message);
    setState(Done);
    emit finished(true, message);
}

void OtaManager::fail(const QString &reason)
{
    qWarning().noquote() << "OTA: FAILED —" << reason;
    // A download of this run goes with it; its own report of the cancel is not this run's.
    const State was = m_state;
    m_state = Failed;
    if (was == Downloading && m_catalog && m_catalog->downloading())
        m_catalog->cancelDownload();
    giveBackLink();
    setStatus(QStringLiteral("Update failed: ") + reason);
    setState(Failed);
    emit finished(false, reason);
}

void OtaManager::setState(State state)
{
    m_state = state;
    emit stateChanged();
}

void OtaManager::setStatus(const QString &text)
{
    if (m_statusMessage == text)
        return;
    m_statusMessage = text;
    emit statusMessageChanged();
}

void OtaManager::setProgress(int progress)
{
    m_progress = progress;
    emit progressChanged();
    if (m_state == Transferring)
        setStatus(QStringLiteral("Transferring… %1 of %2").arg(sizeText(m_sentBytes), sizeText(m_image.size())));
}

void OtaManager::startStall(int ms)
{
    m_stallTimer->start(ms);
}
