#include "app/updateinstaller.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

QString UpdateInstaller::userDownloadFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/updates");
}

QString WindowsBatchInstaller::manifestKeySuffix() const
{
    return QStringLiteral("windows");
}

bool WindowsBatchInstaller::canInstall() const
{
    return true;
}

QString WindowsBatchInstaller::downloadFolder() const
{
    return userDownloadFolder();
}

void WindowsBatchInstaller::setLauncherProgram(const QString &program)
{
    m_launcherProgram = program;
}

QByteArray WindowsBatchInstaller::launcherText(const QString &installer, const QString &log, const QString &bat)
{
    const QString quote = QStringLiteral("\"");
    const QStringList lines{
        QStringLiteral("@echo off"),
        // About two seconds, for this program to exit and release its files.
        QStringLiteral("ping -n 3 127.0.0.1 >nul"),
        quote + installer + quote + QStringLiteral(" /VERYSILENT /LOG=") + quote + log + quote,
        QStringLiteral("del ") + quote + bat + quote,
    };
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toLocal8Bit();
}

QString WindowsBatchInstaller::install(const QString &installerPath)
{
    const QString folder = QFileInfo(installerPath).absolutePath();
    const QString installer = QDir::toNativeSeparators(installerPath);
    const QString log = QDir::toNativeSeparators(folder + QStringLiteral("/install.log"));
    const QString bat = QDir::toNativeSeparators(folder + QStringLiteral("/run_update.bat"));

    QSaveFile launcher(folder + QStringLiteral("/run_update.bat"));
    const QByteArray text = launcherText(installer, log, bat);
    if (!launcher.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || launcher.write(text) != text.size()
        || !launcher.commit())
        return QStringLiteral("Cannot write update launcher: ") + bat;

    if (!QProcess::startDetached(m_launcherProgram, {QStringLiteral("/c"), bat})) {
        QFile::remove(launcher.fileName());
        return QStringLiteral("Failed to launch installer batch.");
    }
    return {};
}

QString PackageManagerInstaller::manifestKeySuffix() const
{
    return QStringLiteral("linux");
}

bool PackageManagerInstaller::canInstall() const
{
    return false;
}

QString PackageManagerInstaller::downloadFolder() const
{
    return userDownloadFolder();
}

QString PackageManagerInstaller::install(const QString &)
{
    return QStringLiteral("Install the update with your system's package manager.");
}
