#include "isolatedenvironment.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace {

const char *const Variables[] = {"HOME", "TMPDIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                 "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME"};

void pointSettingsAt(const QString &dir)
{
    // QSettings caches its folders after the first use, so the environment alone does
    // not move it; setPath does, for every settings object made afterwards.
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, dir);
        QSettings::setPath(format, QSettings::SystemScope, dir + QStringLiteral("/system"));
    }
}

} // namespace

IsolatedEnvironment::IsolatedEnvironment()
    : m_root(QDir::tempPath() + QStringLiteral("/nerra-test-XXXXXX"))
{
    for (const char *name : Variables) {
        m_wasSet.insert(name, qEnvironmentVariableIsSet(name));
        m_saved.insert(name, qgetenv(name));
    }
    if (!m_root.isValid())
        return;
    for (const QString &dir : {home(), tempDir(), configDir(), dataDir(),
                               root() + QStringLiteral("/cache"), root() + QStringLiteral("/runtime"),
                               root() + QStringLiteral("/state")})
        QDir().mkpath(dir);
    QFile::setPermissions(root() + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    setVariable("HOME", home());
    setVariable("TMPDIR", tempDir());
    setVariable("XDG_CONFIG_HOME", configDir());
    setVariable("XDG_DATA_HOME", dataDir());
    setVariable("XDG_CACHE_HOME", root() + QStringLiteral("/cache"));
    setVariable("XDG_RUNTIME_DIR", root() + QStringLiteral("/runtime"));
    setVariable("XDG_STATE_HOME", root() + QStringLiteral("/state"));
    pointSettingsAt(configDir());
}

IsolatedEnvironment::~IsolatedEnvironment()
{
    for (const char *name : Variables) {
        if (m_wasSet.value(name))
            qputenv(name, m_saved.value(name));
        else
            qunsetenv(name);
    }
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    pointSettingsAt(config.isEmpty() ? QDir::homePath() + QStringLiteral("/.config")
                                     : QString::fromLocal8Bit(config));
}

QString IsolatedEnvironment::home() const { return root() + QStringLiteral("/home"); }
QString IsolatedEnvironment::tempDir() const { return root() + QStringLiteral("/tmp"); }
QString IsolatedEnvironment::configDir() const { return root() + QStringLiteral("/config"); }
QString IsolatedEnvironment::dataDir() const { return root() + QStringLiteral("/data"); }

void IsolatedEnvironment::setVariable(const char *name, const QString &value)
{
    qputenv(name, QFile::encodeName(value));
}

void IsolatedEnvironment::prepareProcess()
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!qEnvironmentVariableIsSet("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    QStandardPaths::setTestModeEnabled(true);

    // A home for the whole run, so that nothing made before the first test case (or
    // between cases) can reach the user's real folders. Left to the system's temp
    // cleaner only if the process is killed.
    static IsolatedEnvironment processEnvironment;

    // Tools the program starts by name (the Wi-Fi name reader) find a silent stand-in
    // first, so no test ever asks the machine's real network.
    const QString tools = processEnvironment.root() + QStringLiteral("/tools");
    QDir().mkpath(tools);
    QFile nmcli(tools + QStringLiteral("/nmcli"));
    if (nmcli.open(QIODevice::WriteOnly)) {
        nmcli.write("#!/bin/sh\nexit 1\n");
        nmcli.close();
        nmcli.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    qputenv("PATH", QFile::encodeName(tools) + ':' + qgetenv("PATH"));
}
