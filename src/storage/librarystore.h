#pragma once

#include "storage/protocolrecord.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantList>

#include <functional>
#include <memory>
#include <vector>

class Command;
class QSettings;

// The method library as the settings store holds it: the array "protocolLibrary" in the
// store of organisation "Vellora", application "NerraDesktop". Reads it tolerantly (a
// damaged element costs only itself; a method whose steps are damaged keeps its name),
// writes it whole, and where the store cannot replace its contents in one step (the
// Windows registry) journals every save so that one cut short is completed at the next
// start. A failed save is put back, so that it never takes effect later.
class LibraryStore
{
public:
    using Records = std::vector<std::unique_ptr<ProtocolRecord>>;
    // Writes what the settings object holds to the store; false when the store did not
    // take it.
    using SyncFunction = std::function<bool(QSettings &)>;

    // A stored text beyond what one stored value may hold is damage.
    static constexpr int MaxStoredText = 8 * 1024 * 1024;

    explicit LibraryStore(SyncFunction sync = nullptr);
    ~LibraryStore();

    bool journaled() const { return m_journaled; }
    void setJournaled(bool journaled) { m_journaled = journaled; }

    // Every method the store holds, completing an interrupted journaled save first.
    Records load();
    // Replaces the stored library with these records; false (and the store as it was)
    // when the store did not take them.
    bool write(const Records &records);

    static QString newId();
    static QList<Command *> commandsFrom(const QVariantList &maps);
    // Whether the method can be stored and read back whole at the next start: what the
    // store's reader would refuse must be refused before it is stored, not after.
    static bool fits(const QString &name, const QString &description, const QVariantList &commands);
    static bool defaultSync(QSettings &settings);

private:
    // One element of the stored array is a record as the library holds it.
    using StoredElement = ProtocolRecord;
    static void writeArray(QSettings &settings, const std::vector<StoredElement> &elements,
                           const std::vector<StoredElement> *previous);
    bool loadPending(Records *records);
    static QString journalText(const std::vector<StoredElement> &elements);
    QString storeStamp();
    QSettings &store();
    bool writeElements(const std::vector<StoredElement> &elements, bool differencesOnly);
    void rollBack();
    bool failed();

    SyncFunction m_sync;
    // Kept for the library's life: the settings framework holds a parsed store only while
    // an object uses it, and re-reading megabytes for every save would cost more than the
    // save itself.
    std::unique_ptr<QSettings> m_settings;
    // What the store's array holds, index by index; when it is known to hold exactly
    // that, a save writes only the values that differ (the file is rewritten whole all
    // the same, but two thousand unchanged methods need not pass through the settings
    // object again).
    std::vector<StoredElement> m_stored;
    bool m_storedExact = false;
    // Size and time of the store file after this library last wrote or read it whole.
    QString m_storeStamp;
    bool m_journaled;
};
