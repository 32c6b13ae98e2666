#include "storage/deviceprotocolstore.h"

#include "storage/wholefile.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>

namespace {

const QString Organization = QStringLiteral("Vellora");
const QString Application = QStringLiteral("Nerra");
const QString TopGroup = QStringLiteral("deviceProtocolsMeta");

QString listKey(const QString &hardwareId)
{
    return QStringLiteral("%1/%2/filenames").arg(TopGroup, hardwareId);
}

QString fileKey(const QString &hardwareId, const QString &filename, const char *entry)
{
    return QStringLiteral("%1/%2/%3").arg(TopGroup, hardwareId, filename) + QLatin1Char('/')
           + QLatin1String(entry);
}

QString fileGroup(const QString &hardwareId, const QString &filename)
{
    return QStringLiteral("%1/%2/%3").arg(TopGroup, hardwareId, filename);
}

QString nowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

void sortCaseInsensitive(QStringList &names)
{
    std::stable_sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
}

} // namespace

DeviceProtocolStore::DeviceProtocolStore(QObject *parent) : QObject(parent) {}

bool DeviceProtocolStore::isPlainName(const QString &name)
{
    // Without a separator even ".." inside a name ("v1..2.csv") stays in its folder; only
    // the two names that mean folders themselves, separators and control characters
    // (which would also break a settings key or a wire line) are refused.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    return std::none_of(name.cbegin(), name.cend(), [](QChar c) {
        return c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20;
    });
}

bool DeviceProtocolStore::acceptNames(const char *operation, const QString &hardwareId,
                                      const QString &filename)
{
    // A file called "filenames" would share its settings group with the name list.
    if (isPlainName(hardwareId) && isPlainName(filename) && filename != QLatin1String("filenames"))
        return true;
    qWarning() << "DeviceProtocolStore:" << operation << "refused for hardware id" << hardwareId
               << "and file name" << filename;
    return false;
}

QString DeviceProtocolStore::folder(const QString &hardwareId) const
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
           + QLatin1String("/deviceProtocols/") + hardwareId;
}

QString DeviceProtocolStore::filePath(const QString &hardwareId, const QString &filename) const
{
    if (!isPlainName(hardwareId) || !isPlainName(filename))
        return QString();
    return folder(hardwareId) + QLatin1Char('/') + filename;
}

QStringList DeviceProtocolStore::storedNames(QSettings &settings, const QString &hardwareId)
{
    QStringList names = settings.value(listKey(hardwareId)).toStringList();
    sortCaseInsensitive(names);
    return names;
}

void DeviceProtocolStore::addName(QSettings &settings, const QString &hardwareId,
                                  const QString &filename)
{
    QStringList names = storedNames(settings, hardwareId);
    if (names.contains(filename))
        return;
    names.append(filename);
    settings.setValue(listKey(hardwareId), names);
}

bool DeviceProtocolStore::writeFile(const QString &hardwareId, const QString &filename,
                                    const QByteArray &csvData)
{
    const QString path = filePath(hardwareId, filename);
    QDir().mkpath(folder(hardwareId));
    // Whole or not at all: a crash or a full disk leaves the previous copy, never a
    // truncated one behind a clean flag.
    if (WholeFile::write(path, csvData) != WholeFile::Written) {
        qWarning() << "DeviceProtocolStore: failed to write" << path;
        return false;
    }
    return true;
}

bool DeviceProtocolStore::store(const QString &hardwareId, const QString &filename,
                                const QByteArray &csvData, bool fromDevice)
{
    if (!acceptNames(fromDevice ? "storeFromDevice" : "storeLocalEdit", hardwareId, filename))
        return false;
    // Flags describe the copy on disk; when the copy could not be replaced they stay as
    // they were, so a failed write never turns into a clean (or a dirty) copy it is not.
    if (!writeFile(hardwareId, filename, csvData))
        return false;
    {
        QSettings settings(Organization, Application);
        settings.setValue(fileKey(hardwareId, filename, "isDirty"), !fromDevice);
        if (fromDevice)
            settings.setValue(fileKey(hardwareId, filename, "lastFetchedAt"), nowUtc());
        addName(settings, hardwareId, filename);
    }
    emit protocolChanged(hardwareId, filename);
    return true;
}

bool DeviceProtocolStore::storeFromDevice(const QString &hardwareId, const QString &filename,
                                          const QByteArray &csvData)
{
    return store(hardwareId, filename, csvData, true);
}

bool DeviceProtocolStore::storeLocalEdit(const QString &hardwareId, const QString &filename,
                                         const QByteArray &csvData)
{
    return store(hardwareId, filename, csvData, false);
}

void DeviceProtocolStore::markSynced(const QString &hardwareId, const QString &filename)
{
    if (!acceptNames("markSynced", hardwareId, filename))
        return;
    {
        QSettings settings(Organization, Application);
        settings.setValue(fileKey(hardwareId, filename, "isDirty"), false);
        settings.setValue(fileKey(hardwareId, filename, "lastPushedAt"), nowUtc());
    }
    emit protocolChanged(hardwareId, filename);
}

bool DeviceProtocolStore::renameProtocol(const QString &hardwareId, const QString &oldFilename,
                                         const QString &newFilename)
{
    if (oldFilename == newFilename)
        return true;
    if (!acceptNames("renameProtocol", hardwareId, oldFilename)
        || !acceptNames("renameProtocol", hardwareId, newFilename))
        return false;
    const QString oldPath = filePath(hardwareId, oldFilename);
    const QString newPath = filePath(hardwareId, newFilename);
    // QFile::rename refuses an existing target, so a cached copy is never overwritten.
    if (!QFile::rename(oldPath, newPath)) {
        qWarning() << "DeviceProtocolStore: rename failed" << oldPath << "->" << newPath;
        return false;
    }
    {
        QSettings settings(Organization, Application);
        const bool dirty = settings.value(fileKey(hardwareId, oldFilename, "isDirty"), false).toBool();
        const QString fetched = settings.value(fileKey(hardwareId, oldFilename, "lastFetchedAt")).toString();
        const QString pushed = settings.value(fileKey(hardwareId, oldFilename, "lastPushedAt")).toString();
        settings.remove(fileGroup(hardwareId, oldFilename));
        settings.setValue(fileKey(hardwareId, newFilename, "isDirty"), dirty);
        settings.setValue(fileKey(hardwareId, newFilename, "lastFetchedAt"), fetched);
        settings.setValue(fileKey(hardwareId, newFilename, "lastPushedAt"), pushed);

        QStringList names = storedNames(settings, hardwareId);
        const int at = names.indexOf(oldFilename);
        if (at >= 0)
            names[at] = newFilename;
        else
            names.append(newFilename);
        settings.setValue(listKey(hardwareId), names);
    }
    emit protocolChanged(hardwareId, newFilename);
    return true;
}

QByteArray DeviceProtocolStore::csvData(const QString &hardwareId, const QString &filename) const
{
    if (!acceptNames("csvData", hardwareId, filename))
        return QByteArray();
    QFile file(filePath(hardwareId, filename));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool DeviceProtocolStore::isDirty(const QString &hardwareId, const QString &filename) const
{
    if (!acceptNames("isDirty", hardwareId, filename))
        return false;
    return QSettings(Organization, Application)
        .value(fileKey(hardwareId, filename, "isDirty"), false)
        .toBool();
}

bool DeviceProtocolStore::hasProtocol(const QString &hardwareId, const QString &filename) const
{
    if (!acceptNames("hasProtocol", hardwareId, filename))
        return false;
    return QFileInfo(filePath(hardwareId, filename)).isFile();
}

QStringList DeviceProtocolStore::filenames(const QString &hardwareId) const
{
    if (!isPlainName(hardwareId))
        return QStringList();
    QSettings settings(Organization, Application);
    return storedNames(settings, hardwareId);
}

QStringList DeviceProtocolStore::setFilenames(const QString &hardwareId, const QStringList &deviceFilenames)
{
    if (!isPlainName(hardwareId)) {
        qWarning() << "DeviceProtocolStore: setFilenames refused for hardware id" << hardwareId;
        return QStringList();
    }
    // A name the instrument reports that could leave the folder is never listed, so
    // nothing is ever fetched or written under it.
    QStringList reported;
    for (const QString &name : deviceFilenames) {
        if (isPlainName(name))
            reported.append(name);
        else
            qWarning() << "DeviceProtocolStore: ignoring unusable file name from device" << name;
    }

    QStringList keptDirty;
    const QStringList cached = filenames(hardwareId);
    for (const QString &name : cached) {
        if (reported.contains(name) || !isPlainName(name))
            continue;
        if (isDirty(hardwareId, name))
            keptDirty.append(name);
        else
            removeProtocol(hardwareId, name);
    }
    QStringList next = reported;
    for (const QString &name : qAsConst(keptDirty)) {
        if (!next.contains(name))
            next.append(name);
    }
    QSettings(Organization, Application).setValue(listKey(hardwareId), next);
    return keptDirty;
}

void DeviceProtocolStore::removeProtocol(const QString &hardwareId, const QString &filename)
{
    if (!acceptNames("removeProtocol", hardwareId, filename))
        return;
    QFile::remove(filePath(hardwareId, filename));
    {
        QSettings settings(Organization, Application);
        settings.remove(fileGroup(hardwareId, filename));
        QStringList names = storedNames(settings, hardwareId);
        names.removeAll(filename);
        settings.setValue(listKey(hardwareId), names);
    }
    emit protocolChanged(hardwareId, filename);
}

void DeviceProtocolStore::clearDevice(const QString &hardwareId)
{
    // An empty id, "." or ".." would name the folder of every instrument or one above it,
    // and the settings group of all of them.
    if (!isPlainName(hardwareId)) {
        qWarning() << "DeviceProtocolStore: clearDevice refused for hardware id" << hardwareId;
        return;
    }
    qDebug() << "DeviceProtocolStore: clearing all data for device" << hardwareId;
    QDir(folder(hardwareId)).removeRecursively();
    QSettings(Organization, Application).remove(TopGroup + QLatin1Char('/') + hardwareId);
}

int DeviceProtocolStore::protocolCount(const QString &hardwareId) const
{
    return filenames(hardwareId).size();
}
