#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class QSettings;

// The local copies of the method files each instrument holds, keyed by the instrument's
// hardware id and the file name. The device text lives on disk, the flags (a local edit
// not yet sent, when last fetched and pushed) and the list of names in the settings store.
// Nothing is kept in memory, so a re-created store sees exactly what the last one left.
class DeviceProtocolStore : public QObject
{
    Q_OBJECT

public:
    explicit DeviceProtocolStore(QObject *parent = nullptr);

    // Both the hardware id and the file name become a folder or file name and a settings
    // group: anything that could leave its place ("/", "\", "..", NUL, nothing) is refused.
    static bool isPlainName(const QString &name);
    // Where the copy of one file lives; empty for names that are refused.
    QString filePath(const QString &hardwareId, const QString &filename) const;

    // Both return false, and change nothing, when the names are refused or the file
    // cannot be written whole.
    Q_INVOKABLE bool storeFromDevice(const QString &hardwareId, const QString &filename,
                                     const QByteArray &csvData);
    Q_INVOKABLE bool storeLocalEdit(const QString &hardwareId, const QString &filename,
                                    const QByteArray &csvData);
    Q_INVOKABLE void markSynced(const QString &hardwareId, const QString &filename);
    Q_INVOKABLE bool renameProtocol(const QString &hardwareId, const QString &oldFilename,
                                    const QString &newFilename);
    Q_INVOKABLE QByteArray csvData(const QString &hardwareId, const QString &filename) const;
    Q_INVOKABLE bool isDirty(const QString &hardwareId, const QString &filename) const;
    Q_INVOKABLE bool hasProtocol(const QString &hardwareId, const QString &filename) const;
    // Sorted without regard to case.
    Q_INVOKABLE QStringList filenames(const QString &hardwareId) const;
    // Takes the instrument's list; returns the dirty local files it did not report.
    Q_INVOKABLE QStringList setFilenames(const QString &hardwareId, const QStringList &deviceFilenames);
    Q_INVOKABLE void removeProtocol(const QString &hardwareId, const QString &filename);
    Q_INVOKABLE void clearDevice(const QString &hardwareId);
    Q_INVOKABLE int protocolCount(const QString &hardwareId) const;

signals:
    void protocolChanged(const QString &hardwareId, const QString &filename);

private:
    bool store(const QString &hardwareId, const QString &filename, const QByteArray &csvData,
               bool fromDevice);
    bool writeFile(const QString &hardwareId, const QString &filename, const QByteArray &csvData);
    static bool acceptNames(const char *operation, const QString &hardwareId,
                            const QString &filename);
    QString folder(const QString &hardwareId) const;
    static QStringList storedNames(QSettings &settings, const QString &hardwareId);
    static void addName(QSettings &settings, const QString &hardwareId, const QString &filename);
};
