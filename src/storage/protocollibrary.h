#pragma once

#include "storage/protocolrecord.h"

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <memory>
#include <vector>

class LibraryStore;
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
    bool journaledSaves() const;
    void setJournaledSaves(bool journaled);

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

    bool persist(bool reportFailure = true);

    std::vector<std::unique_ptr<ProtocolRecord>> m_records;
    std::unique_ptr<LibraryStore> m_store;
    mutable QVariantList m_listing;
    mutable bool m_listingValid = false;
};
