#pragma once

// What the settings-file check must hold to for any file at all: afterwards the settings
// layer reads every value of the file without harm. The fuzz target aborts on a broken
// promise (or crashes inside the settings layer), and tst_fuzzregressions replays the
// kept inputs through the same check.

#include "storage/settingsfilecheck.h"

#include <QFile>
#include <QSettings>

namespace SettingsChecks {

// `path` is a fresh file name for every input: the settings layer keeps what it read of
// a file by its name.
inline QString checkSettingsFile(const QByteArray &input, const QString &path)
{
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(input) != input.size())
            return QStringLiteral("cannot write ") + path;
    }
    const int setAside = SettingsFileCheck::setAsideDamagedValues(path);
    if (setAside < 0)
        return QStringLiteral("could not set the damaged values aside");
    if (setAside > 0 && !QFile::exists(path + QStringLiteral(".damaged")))
        return QStringLiteral("values were removed without being kept aside");
    QSettings settings(path, QSettings::IniFormat);
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        settings.value(key);
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".damaged"));
    return QString();
}

} // namespace SettingsChecks
