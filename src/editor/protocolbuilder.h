#pragma once

#include "editor/edithistory.h"
#include "model/validator.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <memory>

class Command;
class CsvGenerator;
class MethodExchange;
class ProtocolLibrary;
class QTimer;
class SplGenerator;
class SplParser;

// The editor model of the one method being edited. Every change goes through it (or
// through a command's own properties, which it watches) and is followed by a refresh:
// the SPL and CSV previews are regenerated and the method re-validated, so what the
// interface shows always matches the commands. A method opened from the library is
// written back one second after the last edit.
class ProtocolBuilder : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString protocolName READ protocolName WRITE setProtocolName NOTIFY protocolNameChanged)
    Q_PROPERTY(QString description READ description WRITE setDescription NOTIFY descriptionChanged)
    Q_PROPERTY(QVariantList commands READ commands NOTIFY commandsChanged)
    Q_PROPERTY(QString splPreview READ splPreview NOTIFY splPreviewChanged)
    Q_PROPERTY(QString csvPreview READ csvPreview NOTIFY csvPreviewChanged)
    Q_PROPERTY(QVariantList validationErrors READ validationErrors NOTIFY validationErrorsChanged)
    Q_PROPERTY(bool hasErrors READ hasErrors NOTIFY hasErrorsChanged)
    Q_PROPERTY(QString currentProtocolId READ currentProtocolId NOTIFY currentProtocolIdChanged)
    Q_PROPERTY(bool isLibraryProtocol READ isLibraryProtocol NOTIFY isLibraryProtocolChanged)
    Q_PROPERTY(bool hasUnsavedChanges READ hasUnsavedChanges NOTIFY hasUnsavedChangesChanged)
    Q_PROPERTY(bool isDeviceProtocol READ isDeviceProtocol NOTIFY isDeviceProtocolChanged)
    Q_PROPERTY(QString deviceHardwareId READ deviceHardwareId NOTIFY deviceHardwareIdChanged)
    Q_PROPERTY(QString deviceFilename READ deviceFilename NOTIFY deviceFilenameChanged)
    Q_PROPERTY(QString deviceOrigFilename READ deviceOrigFilename NOTIFY deviceOrigFilenameChanged)
    Q_PROPERTY(bool canUndo READ canUndo NOTIFY undoStateChanged)
    Q_PROPERTY(bool canRedo READ canRedo NOTIFY undoStateChanged)

public:
    static constexpr int DefaultAutoSaveInterval = 1000;

    explicit ProtocolBuilder(QObject *parent = nullptr);
    ~ProtocolBuilder() override;

    QString protocolName() const { return m_protocolName; }
    QString description() const { return m_description; }
    QVariantList commands() const;
    QList<Command *> commandList() const { return m_commands; }
    QString splPreview() const { return m_splPreview; }
    QString csvPreview() const { return m_csvPreview; }
    QVariantList validationErrors() const;
    QList<ValidationError> validationErrorList() const { return m_validationErrors; }
    QList<TipVolumes> cumulativeVolumes() const { return m_cumulativeVolumes; }
    bool hasErrors() const { return !m_validationErrors.isEmpty(); }
    QString currentProtocolId() const { return m_currentProtocolId; }
    bool isLibraryProtocol() const { return m_isLibraryProtocol; }
    bool hasUnsavedChanges() const { return m_hasUnsavedChanges; }
    bool isDeviceProtocol() const { return m_isDeviceProtocol; }
    QString deviceHardwareId() const { return m_deviceHardwareId; }
    QString deviceFilename() const { return m_deviceFilename; }
    QString deviceOrigFilename() const { return m_deviceOrigFilename; }
    bool canUndo() const { return m_history.canUndo() || m_recordPending; }
    bool canRedo() const { return m_history.canRedo() && !m_recordPending; }

    // Start-up hands the library over; not owned.
    void setLibrary(ProtocolLibrary *library);
    ProtocolLibrary *library() const;

    // The debounce of the library auto-save; tests shorten it.
    int autoSaveInterval() const;
    void setAutoSaveInterval(int milliseconds);

    // How long typing on in one field stays one undo step; tests shorten it.
    void setTypingWindow(int milliseconds) { m_history.setTypingWindow(milliseconds); }

    // "Serial_Dilution.csv" is the method "Serial Dilution", and back.
    static QString methodNameFromFilename(const QString &filename);
    static QString filenameFromMethodName(const QString &name);

    Q_INVOKABLE void setProtocolName(const QString &name);
    Q_INVOKABLE void setDescription(const QString &description);
    Q_INVOKABLE void addCommand(const QString &type);
    Q_INVOKABLE int insertCommand(const QString &type, int afterIndex);
    Q_INVOKABLE void removeCommand(int index);
    Q_INVOKABLE void moveCommand(int from, int to);
    Q_INVOKABLE void clearCommands();
    Q_INVOKABLE void undo();
    Q_INVOKABLE void redo();
    Q_INVOKABLE bool loadFromFile(const QString &filePath);
    Q_INVOKABLE bool saveToFile(const QString &filePath);
    Q_INVOKABLE bool compileToCsv(const QString &filePath);
    Q_INVOKABLE void loadFromLibrary(const QString &methodId);
    Q_INVOKABLE bool saveToLibrary();
    Q_INVOKABLE void newProtocol();
    Q_INVOKABLE QVariantMap getCvolAtIndex(int index) const;
    Q_INVOKABLE bool canInsertTipSelectAt(int afterIndex) const;

    Q_INVOKABLE QString generateCsvForTransfer() const;
    Q_INVOKABLE QByteArray getCsvData() const;
    Q_INVOKABLE QVariantMap previewCsvData(const QByteArray &data) const;
    // An SPL text as the instrument's CSV, for an SPL file imported onto an instrument:
    // "csvData", "name" (from its header) and, when the text cannot be read, "error".
    Q_INVOKABLE QVariantMap splToDeviceCsv(const QByteArray &splText) const;
    Q_INVOKABLE QString importCsvDataToLibrary(const QByteArray &data, const QString &name);
    Q_INVOKABLE bool libraryCsvMatchesDevice(const QString &libraryId, const QByteArray &deviceCsv) const;
    Q_INVOKABLE QByteArray csvForLibraryProtocol(const QString &libraryId) const;
    Q_INVOKABLE void loadFromDeviceProtocol(const QString &hardwareId, const QString &filename,
                                            const QByteArray &csvData);
    Q_INVOKABLE QVariantMap saveToDeviceStore(const QStringList &existingFilenames);

public slots:
    void updatePreview();
    void validate();
    void autoSave();

signals:
    void protocolNameChanged();
    void descriptionChanged();
    void commandsChanged();
    void splPreviewChanged();
    void csvPreviewChanged();
    void validationErrorsChanged();
    void hasErrorsChanged();
    void currentProtocolIdChanged();
    void isLibraryProtocolChanged();
    void hasUnsavedChangesChanged();
    void isDeviceProtocolChanged();
    void deviceHardwareIdChanged();
    void deviceFilenameChanged();
    void deviceOrigFilenameChanged();
    void errorOccurred(const QString &message);
    void undoStateChanged();

private:
    // Holds back refreshes while a change made of many edits runs (a tip carried through
    // a hundred steps, a load), so that it ends in one refresh instead of one per edit.
    class Batch;
    friend class Batch;

    // The text forms of one top-level command, kept until the command changes, so that
    // an edit of one step does not print the other thousand again.
    struct Fragments
    {
        QString spl;
        QString csv;
    };

    void adopt(Command *command);
    void release(Command *command);
    void dropAllCommands();
    void commandEdited(Command *command);
    void tipSelectChanged(Command *tipSelect);
    void propagateTipFrom(int index);
    void refresh(bool markDirty);
    void regenerate();
    void markDirty();
    void setUnsavedChanges(bool unsaved);
    bool flushPendingAutoSave();
    // Another method was asked for while the edits of this one could not be written.
    void refuseSwitch();
    void emitModeSignals();
    QString localPath(const QString &filePath) const;
    // Undo and redo: every edit is noted, and recorded once the event loop has finished the
    // pass that made it, so that what one action changed is one step.
    MethodState currentState() const { return {m_splPreview, m_description}; }
    void noteEdit();
    void recordEdit();
    void resetHistory();
    void applyState(const MethodState &state);
    QString csvOf(const QList<Command *> &commands) const;

    QString m_protocolName;
    QString m_description;
    QList<Command *> m_commands;
    QString m_splPreview;
    QString m_csvPreview;
    QList<ValidationError> m_validationErrors;
    QList<TipVolumes> m_cumulativeVolumes;
    Validator *m_validator;
    SplParser *m_splParser;
    SplGenerator *m_splGenerator;
    CsvGenerator *m_csvGenerator;
    std::unique_ptr<MethodExchange> m_exchange;
    QPointer<ProtocolLibrary> m_library;
    QString m_currentProtocolId;
    bool m_isLibraryProtocol = false;
    bool m_hasUnsavedChanges = false;
    QTimer *m_autoSaveTimer;
    bool m_isDeviceProtocol = false;
    QString m_deviceHardwareId;
    QString m_deviceFilename;
    QString m_deviceOrigFilename;

    QHash<const Command *, Fragments> m_fragments;
    QString m_splHeader;
    mutable QVariantList m_errorMaps;
    mutable bool m_errorMapsValid = false;
    int m_batchDepth = 0;
    bool m_refreshPending = false;
    bool m_dirtyPending = false;

    EditHistory m_history;
    QElapsedTimer m_clock;
    bool m_recordPending = false;
    bool m_restoring = false;
};

// Holds back refreshes while it lives; the last one to end runs the refresh held back.
class ProtocolBuilder::Batch
{
public:
    explicit Batch(ProtocolBuilder *builder) : m_builder(builder) { ++m_builder->m_batchDepth; }
    ~Batch()
    {
        if (--m_builder->m_batchDepth > 0 || !m_builder->m_refreshPending)
            return;
        const bool dirty = m_builder->m_dirtyPending;
        m_builder->m_refreshPending = false;
        m_builder->m_dirtyPending = false;
        m_builder->refresh(dirty);
    }
    // For loads: whatever was held back is replaced by the clean refresh that follows.
    void discard()
    {
        m_builder->m_refreshPending = false;
        m_builder->m_dirtyPending = false;
    }
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;

private:
    ProtocolBuilder *m_builder;
};
