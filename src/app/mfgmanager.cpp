#include "app/mfgmanager.h"

#include "app/wlanssidreader.h"

#include <QDebug>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>

namespace {

const QString NetworkName = QStringLiteral("Meridian Bench 04");
const QString Pin = QStringLiteral("40516");
const char *const CustomerFacingVariable = "NERRA_USB_CUSTOMER_FACING";

// Only the active access point, from the scan results NetworkManager already has: a
// rescan every few seconds would disturb the connection.
const QStringList NmcliArguments = {QStringLiteral("-t"), QStringLiteral("-f"),
                                    QStringLiteral("ACTIVE,SSID"), QStringLiteral("device"),
                                    QStringLiteral("wifi"), QStringLiteral("list"),
                                    QStringLiteral("--rescan"), QStringLiteral("no")};

QString defaultSsidProgram()
{
#ifdef Q_OS_WIN
    return QString();
#else
    return QStringLiteral("nmcli");
#endif
}

bool readUsbCustomerFacing()
{
    if (!qEnvironmentVariableIsSet(CustomerFacingVariable))
        return true;
    return qEnvironmentVariable(CustomerFacingVariable).trimmed() == QLatin1String("1");
}

} // namespace

MfgManager::MfgManager(QObject *parent)
    : QObject(parent),
      m_usbCustomerFacing(readUsbCustomerFacing()),
      m_pollTimer(new QTimer(this)),
      m_ssidProgram(defaultSsidProgram())
{
    qDebug() << "MfgManager: usbCustomerFacing =" << m_usbCustomerFacing;
    m_pollTimer->setInterval(DefaultPollInterval);
    connect(m_pollTimer, &QTimer::timeout, this, &MfgManager::checkNetwork);
    m_pollTimer->start();
    checkNetwork();
}

MfgManager::~MfgManager()
{
    // The process must not report back into a half-destroyed manager.
    releaseSsidProcess();
}

bool MfgManager::activateWithPin(const QString &pin)
{
    if (pin != Pin)
        return false;
    setMfgMode(true);
    return true;
}

void MfgManager::deactivate()
{
    setMfgMode(false);
}

void MfgManager::setSsidProgram(const QString &program)
{
    if (program == m_ssidProgram)
        return;
    releaseSsidProcess();
    m_ssidProgram = program;
    m_readerMissingSince.invalidate();
    checkNetwork();
}

int MfgManager::pollInterval() const
{
    return m_pollTimer->interval();
}

void MfgManager::setPollInterval(int milliseconds)
{
    if (milliseconds != m_pollTimer->interval())
        m_pollTimer->setInterval(milliseconds);
}

void MfgManager::setReaderRecheckInterval(int milliseconds)
{
    m_readerRecheckInterval = milliseconds;
}

void MfgManager::setReaderTimeout(int milliseconds)
{
    m_readerTimeout = milliseconds;
}

void MfgManager::checkNetwork()
{
#ifdef Q_OS_WIN
    if (m_ssidProgram.isEmpty()) {
        applySsid(WlanSsidReader::currentSsid());
        return;
    }
#endif
    if (m_ssidProcess) {
        // One reader at a time; a hung one is stopped and its answer reads as no network.
        if (m_ssidProcessAge.hasExpired(m_readerTimeout))
            m_ssidProcess->kill();
        return;
    }
    if (!readerAvailable()) {
        applySsid(QString());
        return;
    }
    startSsidProcess();
}

void MfgManager::onSsidProcessFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!m_ssidProcess)
        return;
    const QString output = QString::fromLocal8Bit(m_ssidProcess->readAllStandardOutput()).trimmed();
    releaseSsidProcess();
    const bool answered = status == QProcess::NormalExit && exitCode == 0;
    applySsid(answered ? activeSsid(output) : QString());
}

void MfgManager::applySsid(const QString &ssid)
{
    const bool detected = ssid == NetworkName;
    if (detected != m_networkDetected) {
        qDebug() << "MfgManager: SSID changed to" << ssid << "— mfg network:" << detected;
        m_networkDetected = detected;
        emit networkDetectedChanged();
    }
    if (detected)
        setMfgMode(true);
}

void MfgManager::setMfgMode(bool on)
{
    if (on == m_mfgMode)
        return;
    const bool wasUsbAvailable = usbAvailable();
    m_mfgMode = on;
    qDebug() << "MfgManager: mfgMode =" << on;
    emit mfgModeChanged();
    if (usbAvailable() != wasUsbAvailable)
        emit usbAvailableChanged();
}

// Most computers have no NetworkManager (or no Wi-Fi at all); looking for the program
// first keeps such a machine from forking a doomed process every few seconds.
bool MfgManager::readerAvailable()
{
    if (m_readerMissingSince.isValid() && !m_readerMissingSince.hasExpired(m_readerRecheckInterval))
        return false;
    const bool found = m_ssidProgram.contains(QLatin1Char('/'))
                           ? QFileInfo(m_ssidProgram).isFile() && QFileInfo(m_ssidProgram).isExecutable()
                           : !m_ssidProgram.isEmpty()
                                 && !QStandardPaths::findExecutable(m_ssidProgram).isEmpty();
    if (!found) {
        markReaderMissing();
        return false;
    }
    if (m_readerMissingSince.isValid())
        qDebug() << "MfgManager: Wi-Fi name reader" << m_ssidProgram << "found";
    m_readerMissingSince.invalidate();
    return true;
}

void MfgManager::markReaderMissing()
{
    if (!m_readerMissingSince.isValid())
        qDebug() << "MfgManager: no Wi-Fi name reader" << m_ssidProgram << "— reading as no network";
    m_readerMissingSince.start();
}

void MfgManager::startSsidProcess()
{
    m_ssidProcess = new QProcess(this);
    m_ssidProcess->setProgram(m_ssidProgram);
    m_ssidProcess->setArguments(NmcliArguments);
    m_ssidProcess->setStandardErrorFile(QProcess::nullDevice());
    // nmcli translates its "yes" column: read it in the untranslated locale.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    environment.insert(QStringLiteral("LANGUAGE"), QStringLiteral("C"));
    m_ssidProcess->setProcessEnvironment(environment);
    connect(m_ssidProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &MfgManager::onSsidProcessFinished);
    connect(m_ssidProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // A crash or a kill ends in finished(); only a failed start ends here.
        if (error != QProcess::FailedToStart)
            return;
        releaseSsidProcess();
        markReaderMissing();
        applySsid(QString());
    });
    m_ssidProcessAge.start();
    m_ssidProcess->start(QIODevice::ReadOnly);
}

void MfgManager::releaseSsidProcess()
{
    if (!m_ssidProcess)
        return;
    QProcess *process = m_ssidProcess;
    m_ssidProcess = nullptr;
    process->disconnect(this);
    if (process->state() != QProcess::NotRunning) {
        // Killed outright, the reader is gone at once; reaping it here keeps it from
        // outliving its QProcess.
        process->kill();
        process->waitForFinished(1000);
    }
    process->deleteLater();
}

// nmcli's terse form escapes ':' and '\' inside values with a backslash.
QString MfgManager::activeSsid(const QString &listing)
{
    static const QString Active = QStringLiteral("yes:");
    const QStringList lines = listing.split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!line.startsWith(Active))
            continue;
        QString ssid;
        for (int i = Active.size(); i < line.size(); ++i) {
            if (line.at(i) == QLatin1Char('\\') && i + 1 < line.size())
                ++i;
            ssid += line.at(i);
        }
        return ssid;
    }
    return QString();
}
