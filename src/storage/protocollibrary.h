#pragma once

#include "storage/protocolrecord.h"

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <memory>
#include <vector>

class QSettings;

// The user's own methods, kept in memory and written whole to the settings store after
// every change. Names are unique without regard to case; ids never change.
class ProtocolLibrary : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariantList protocols READ getAllProtocols NOTIFY protocolsChanged)
    Q_PROPERTY(int protocolCount READ protocolCount NOTIFY protocolCountChanged)

public:
    explicit ProtocolLibrary(QObject *parent = nullptr);
    ~ProtocolLibrary() override;

    int protocolCount() const { return int(m_records.size()); }

    Q_INVOKABLE QString createProtocol(const QString &name);
    Q_INVOKABLE bool saveProtocol(const QString &methodId, const QString &name,
                                  const QString &description, const QVariantList &commands);
    Q_INVOKABLE bool saveProtocol(const QString &methodId, const QString &name,
                                  const QString &description, const QVariantList &commands,
                                  bool hasErrors);
    Q_INVOKABLE bool deleteProtocol(const QString &methodId);
    Q_INVOKABLE QVariantMap getProtocol(const QString &methodId) const;
    Q_INVOKABLE bool renameProtocol(const QString &methodId, const QString &newName);
    Q_INVOKABLE QString duplicateProtocol(const QString &methodId);
    // Sorted by name without regard to case.
    Q_INVOKABLE QVariantList getAllProtocols() const;
    Q_INVOKABLE bool protocolExists(const QString &methodId) const;
    Q_INVOKABLE bool isNameAvailable(const QString &name, const QString &excludeId = QString()) const;
    // The method an instrument file was made from: "Wash_plate.CSV" finds "wash plate".
    Q_INVOKABLE QString findProtocolIdByFilename(const QString &filename) const;

    Q_INVOKABLE QString exportToSpl(const QString &methodId) const;
    Q_INVOKABLE QString importFromSplFile(const QString &filePath);
    Q_INVOKABLE bool exportProtocolToFile(const QString &methodId, const QString &filePath);

    // Where the store cannot replace its contents in one step (the Windows registry), a
    // save first records the whole library under one value, so that a save cut short is
    // completed from it at the next start. On by default only there.
    bool journaledSaves() const { return m_journaledSaves; }
    void setJournaledSaves(bool journaled) { m_journaledSaves = journaled; }

signals:
    void protocolsChanged();
    void protocolCountChanged();
    void errorOccurred(const QString &errorMessage);

protected:
    // Writes what the settings object holds to the store; false when the store did not
    // take it. Virtual so that tests can make one write fail part-way through a save.
    virtual bool syncStore(QSettings &settings);

private:
    QString addProtocol(const QString &name, bool reportFailure);
    ProtocolRecord *find(const QString &methodId) const;
    int indexOf(const QString &methodId) const;
    bool nameTaken(const QString &name, const QString &excludeId = QString()) const;
    QString copyName(const QString &name) const;
    QString importName(const QString &name) const;
    void fail(const QString &message);
    void notFound(const QString &methodId);
    void changed(bool countChanged);

    struct StoredElement;
    static StoredElement storedElement(const ProtocolRecord &record);
    static void writeArray(QSettings &settings, const std::vector<StoredElement> &elements,
                           const std::vector<StoredElement> *previous);
    void load();
    bool loadPending();
    static QString journalText(const std::vector<StoredElement> &elements);
    QString storeStamp();
    QSettings &store();
    bool persist(bool reportFailure = true);
    bool writeStore();
    bool writeElements(const std::vector<StoredElement> &elements, bool differencesOnly);
    void rollBackStore();
    bool storeFailed();

    std::vector<std::unique_ptr<ProtocolRecord>> m_records;
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
    bool m_journaledSaves;
    mutable QVariantList m_listing;
    mutable bool m_listingValid = false;
};
