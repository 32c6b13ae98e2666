#pragma once

#include <QByteArray>
#include <QString>

// How a verified application installer is handed over on this platform. The Windows
// hand-over is built and tested everywhere; only the default choice differs.
class UpdateInstaller
{
public:
    virtual ~UpdateInstaller() = default;
    virtual QString manifestKeySuffix() const = 0;   // "windows" reads url_windows/md5_windows
    virtual bool canInstall() const = 0;             // false: tell the user, install nothing
    virtual QString downloadFolder() const = 0;
    virtual QString install(const QString &installerPath) = 0;  // "" = handed over (the caller quits); else the error text

    // The folder of this user's application data that downloads go to; never a
    // temporary folder other users can write to.
    static QString userDownloadFolder();
};

// Runs the installer from a launcher batch file under cmd.exe, so that it starts only
// after this program has quit and released its files.
class WindowsBatchInstaller : public UpdateInstaller
{
public:
    QString manifestKeySuffix() const override;
    bool canInstall() const override;
    QString downloadFolder() const override;
    QString install(const QString &installerPath) override;

    void setLauncherProgram(const QString &program);   // default "cmd.exe"; tests: a script recording its argv
    static QByteArray launcherText(const QString &installer, const QString &log, const QString &bat); // CR LF lines

private:
    QString m_launcherProgram = QStringLiteral("cmd.exe");
};

// Where the program came from a package manager, that manager owns its files: a newer
// version is only announced.
class PackageManagerInstaller : public UpdateInstaller
{
public:
    QString manifestKeySuffix() const override;
    bool canInstall() const override;
    QString downloadFolder() const override;
    QString install(const QString &installerPath) override;
};
