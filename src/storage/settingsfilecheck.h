#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

class QSettings;

// Qt's settings layer decodes every stored value of a section as soon as one key of the
// section is read, and its decoder trusts the counts inside a value: a damaged list makes
// it reserve gigabytes, a damaged nesting recurses without end, and either ends the
// program before it can say anything. So the store's file is checked before the
// settings layer reads it, and a damaged value is moved aside (into "<file>.damaged",
// with its key and the time) rather than lost or trusted.
class SettingsFileCheck
{
public:
    // What one stored value may hold, decoded: far beyond any method the editor makes.
    static constexpr int MaxValueBytes = 16 * 1024 * 1024;
    static constexpr int MaxNesting = 256;

    // Checks the settings file at `path` (a missing file is fine) and moves damaged values
    // aside. Returns how many were moved, or -1 when the file could not be put right.
    // A file already checked and unchanged since is not read again.
    static int setAsideDamagedValues(const QString &path);

    // Whether the settings layer will be able to read `value` back once stored: the same
    // limits the check applies at start-up.
    static bool isStorable(const QVariant &value);

    // The element numbers of the array whose group `settings` is in, in order, found by
    // the groups that exist rather than by the stored size: a file cut short loses the
    // size (written last) before any element, and a damaged size must neither send a
    // reader through billions of empty indices nor hide the elements.
    static QList<int> arrayIndices(QSettings &settings);

    // One stored value as the settings layer encodes it ("@Variant(" payload, without
    // the closing parenthesis), checked for every count, type and limit.
    static bool isSafeEncoding(const QByteArray &bytes, int streamVersion);
};
