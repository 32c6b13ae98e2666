#include "editor/protocolbuilder.h"

#include "editor/methodexchange.h"
#include "editor/tiprules.h"

#include "formats/csvgenerator.h"
#include "formats/csvparser.h"
#include "formats/splgenerator.h"
#include "formats/splparser.h"
#include "model/commands.h"
#include "storage/deviceprotocolstore.h"
#include "storage/protocollibrary.h"
#include "storage/wholefile.h"

#include <QDebug>
#include <QFile>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace {

const QString TipSelectType = QStringLiteral("tipselect");
const QString CsvSuffix = QStringLiteral(".csv");
bool isTipSelect(const Command *command)
{
    return TipRules::isTipSelect(command);
}

} // namespace

ProtocolBuilder::ProtocolBuilder(QObject *parent)
    : QObject(parent),
      m_validator(new Validator(this)),
      m_splParser(new SplParser(this)),
      m_splGenerator(new SplGenerator(this)),
      m_csvGenerator(new CsvGenerator(this)),
      m_exchange(std::make_unique<MethodExchange>(m_validator, m_splParser, m_splGenerator, m_csvGenerator)),
      m_autoSaveTimer(new QTimer(this))
{
    m_autoSaveTimer->setSingleShot(true);
    // "One second after the last edit" means not a little before it either.
    m_autoSaveTimer->setTimerType(Qt::PreciseTimer);
    m_autoSaveTimer->setInterval(DefaultAutoSaveInterval);
    connect(m_autoSaveTimer, &QTimer::timeout, this, &ProtocolBuilder::autoSave);
    m_clock.start();
    refresh(false);
    resetHistory();
}

ProtocolBuilder::~ProtocolBuilder()
{
    // An edit still waiting for its auto-save when the program closes is written now.
    flushPendingAutoSave();
    // Loops announce their own destruction; the builder must not hear it half destroyed.
    for (Command *command : qAsConst(m_commands))
        disconnect(command, nullptr, this, nullptr);
    qDeleteAll(m_commands);
    m_commands.clear();
}

QVariantList ProtocolBuilder::commands() const
{
    QVariantList list;
    list.reserve(m_commands.size());
    for (Command *command : m_commands)
        list.append(QVariant::fromValue<QObject *>(command));
    return list;
}

QVariantList ProtocolBuilder::validationErrors() const
{
    if (!m_errorMapsValid) {
        m_errorMaps.clear();
        m_errorMaps.reserve(m_validationErrors.size());
        for (const ValidationError &error : m_validationErrors) {
            QVariantMap map;
            map.insert(QStringLiteral("commandPath"), error.commandPath);
            map.insert(QStringLiteral("message"), error.message);
            if (error.fixVolume >= 0)
                map.insert(QStringLiteral("fixVolume"), error.fixVolume);
            m_errorMaps.append(map);
        }
        m_errorMapsValid = true;
    }
    return m_errorMaps;
}

void ProtocolBuilder::setLibrary(ProtocolLibrary *library)
{
    m_library = library;
    m_exchange->setLibrary(library);
}

ProtocolLibrary *ProtocolBuilder::library() const
{
    return m_library;
}

int ProtocolBuilder::autoSaveInterval() const
{
    return m_autoSaveTimer->interval();
}

void ProtocolBuilder::setAutoSaveInterval(int milliseconds)
{
    m_autoSaveTimer->setInterval(milliseconds);
}

QString ProtocolBuilder::methodNameFromFilename(const QString &filename)
{
    QString name = filename;
    if (name.endsWith(CsvSuffix, Qt::CaseInsensitive))
        name.chop(CsvSuffix.size());
    return name.replace(QLatin1Char('_'), QLatin1Char(' '));
}

QString ProtocolBuilder::filenameFromMethodName(const QString &name)
{
    QString filename = name.trimmed().replace(QLatin1Char(' '), QLatin1Char('_'));
    if (!filename.endsWith(CsvSuffix, Qt::CaseInsensitive))
        filename += CsvSuffix;
    return filename;
}

// --- Editing -----------------------------------------------------------------------------

void ProtocolBuilder::setProtocolName(const QString &name)
{
    if (m_protocolName == name)
        return;
    m_protocolName = name;
    emit protocolNameChanged();
    refresh(true);
}

void ProtocolBuilder::setDescription(const QString &description)
{
    if (m_description == description)
        return;
    m_description = description;
    emit descriptionChanged();
    markDirty();
    noteEdit();
}

void ProtocolBuilder::addCommand(const QString &type)
{
    insertCommand(type, -1);
}

int ProtocolBuilder::insertCommand(const QString &type, int afterIndex)
{
    Command *command = Command::create(type, this);
    if (!command)
        return -1;
    const int count = m_commands.size();
    int position = (afterIndex < 0 || afterIndex >= count) ? count : afterIndex + 1;
    // The Tip Select a method lacks at its top goes there, wherever the selection is.
    if (type == TipSelectType && count > 0 && !isTipSelect(m_commands.constFirst()))
        position = 0;

    Batch batch(this);
    if (type == TipSelectType) {
        m_commands.insert(position, command);
        adopt(command);
        propagateTipFrom(position);
    } else {
        TipRules::prepareNewStep(command, m_commands, m_cumulativeVolumes, position);
        m_commands.insert(position, command);
        adopt(command);
    }
    emit commandsChanged();
    refresh(true);
    return position;
}

void ProtocolBuilder::removeCommand(int index)
{
    if (index < 0 || index >= m_commands.size())
        return;
    release(m_commands.takeAt(index));
    emit commandsChanged();
    refresh(true);
}

void ProtocolBuilder::moveCommand(int from, int to)
{
    // The leading Tip Select never moves away from the top.
    const int count = m_commands.size();
    if (from < 1 || to < 0 || from == to || from >= count || to >= count)
        return;
    m_commands.move(from, to);
    emit commandsChanged();
    refresh(true);
}

void ProtocolBuilder::clearCommands()
{
    dropAllCommands();
    emit commandsChanged();
    refresh(true);
}

QVariantMap ProtocolBuilder::getCvolAtIndex(int index) const
{
    return TipRules::volumesAt(m_cumulativeVolumes, index);
}

bool ProtocolBuilder::canInsertTipSelectAt(int afterIndex) const
{
    return TipRules::canInsertTipSelectAt(m_commands, m_cumulativeVolumes, afterIndex);
}

// --- Undo and redo -----------------------------------------------------------------------

void ProtocolBuilder::noteEdit()
{
    if (m_restoring || m_recordPending)
        return;
    m_recordPending = true;
    QMetaObject::invokeMethod(this, &ProtocolBuilder::recordEdit, Qt::QueuedConnection);
    emit undoStateChanged();
}

void ProtocolBuilder::recordEdit()
{
    if (!m_recordPending)
        return;
    m_recordPending = false;
    m_history.record(currentState(), m_clock.elapsed());
    emit undoStateChanged();
}

void ProtocolBuilder::resetHistory()
{
    m_recordPending = false;
    m_history.reset(currentState());
    emit undoStateChanged();
}

void ProtocolBuilder::undo()
{
    recordEdit();
    if (m_history.canUndo())
        applyState(m_history.undo());
}

void ProtocolBuilder::redo()
{
    recordEdit();
    if (m_history.canRedo())
        applyState(m_history.redo());
}

void ProtocolBuilder::applyState(const MethodState &state)
{
    QString name;
    QString error;
    QList<Command *> parsed;
    if (!m_splParser->parse(state.spl, &name, &parsed, &error)) {
        // The editor's own text always reads back; if it ever does not, keep the method.
        qDeleteAll(parsed);
        qWarning() << "ProtocolBuilder: an undo step did not read back:" << error;
        resetHistory();
        return;
    }
    m_restoring = true;
    {
        Batch batch(this);
        dropAllCommands();
        TipRules::restoreLoopTips(parsed);
        for (Command *command : qAsConst(parsed)) {
            m_commands.append(command);
            adopt(command);
        }
        if (name != m_protocolName) {
            m_protocolName = name;
            emit protocolNameChanged();
        }
        if (state.description != m_description) {
            m_description = state.description;
            emit descriptionChanged();
        }
        emit commandsChanged();
        // Going back is an edit like any other: the method is saved as it now reads.
        refresh(true);
    }
    m_restoring = false;
    m_history.settle(currentState());
    emit undoStateChanged();
}

// --- Watching commands -------------------------------------------------------------------

void ProtocolBuilder::adopt(Command *command)
{
    command->setParent(this);
    const auto edited = [this, command] { commandEdited(command); };
    if (isTipSelect(command))
        connect(command, &Command::tipChanged, this, [this, command] { tipSelectChanged(command); });
    else
        connect(command, &Command::tipChanged, this, edited);
    connect(command, &Command::speedChanged, this, edited);
    if (auto *volume = qobject_cast<VolumeCommand *>(command))
        connect(volume, &VolumeCommand::volumeChanged, this, edited);
    if (auto *transfer = qobject_cast<TransferCommand *>(command)) {
        connect(transfer, &TransferCommand::extraVolumeChanged, this, edited);
    } else if (auto *mix = qobject_cast<MixCommand *>(command)) {
        connect(mix, &MixCommand::cyclesChanged, this, edited);
    } else if (auto *repeat = qobject_cast<RepeatCommand *>(command)) {
        connect(repeat, &RepeatCommand::dispenseVolumeChanged, this, edited);
        connect(repeat, &RepeatCommand::replicatesChanged, this, edited);
    } else if (auto *loop = qobject_cast<LoopCommand *>(command)) {
        connect(loop, &LoopCommand::iterationsChanged, this, edited);
        connect(loop, &LoopCommand::innerCommandsChanged, this, edited);
    }
}

void ProtocolBuilder::release(Command *command)
{
    // Deferred: the interface may still hold the command while it handles the removal.
    disconnect(command, nullptr, this, nullptr);
    m_fragments.remove(command);
    command->deleteLater();
}

void ProtocolBuilder::dropAllCommands()
{
    const QList<Command *> gone = m_commands;
    m_commands.clear();
    for (Command *command : gone)
        release(command);
    m_fragments.clear();
}

void ProtocolBuilder::commandEdited(Command *command)
{
    m_fragments.remove(command);
    refresh(true);
}

void ProtocolBuilder::tipSelectChanged(Command *tipSelect)
{
    Batch batch(this);
    commandEdited(tipSelect);
    const int index = m_commands.indexOf(tipSelect);
    if (index >= 0)
        propagateTipFrom(index);
}

void ProtocolBuilder::propagateTipFrom(int index)
{
    Batch batch(this);
    TipRules::propagateFrom(m_commands, index);
}

// --- Refresh and auto-save ---------------------------------------------------------------

void ProtocolBuilder::updatePreview()
{
    refresh(true);
}

void ProtocolBuilder::refresh(bool dirty)
{
    if (m_batchDepth > 0) {
        m_refreshPending = true;
        m_dirtyPending = m_dirtyPending || dirty;
        return;
    }
    regenerate();
    emit splPreviewChanged();
    emit csvPreviewChanged();
    validate();
    if (dirty) {
        markDirty();
        noteEdit();
    }
}

void ProtocolBuilder::regenerate()
{
    // The whole texts are the header plus each command's own text, in order, exactly as
    // the generators would print the list; only commands that changed are printed again.
    QString spl = m_splGenerator->generate(m_protocolName, {});
    QString csv;
    int splSize = spl.size();
    int csvSize = 0;
    QList<const Fragments *> parts;
    parts.reserve(m_commands.size());
    for (Command *command : qAsConst(m_commands)) {
        auto it = m_fragments.find(command);
        if (it == m_fragments.end()) {
            it = m_fragments.insert(command, {command->toSpl(0),
                                              m_csvGenerator->generate({}, {}, {command})});
        }
        splSize += it->spl.size();
        csvSize += it->csv.size();
        parts.append(&*it);
    }
    spl.reserve(splSize);
    csv.reserve(csvSize);
    for (const Fragments *part : qAsConst(parts)) {
        spl += part->spl;
        csv += part->csv;
    }
    m_splPreview = spl;
    m_csvPreview = csv;
}

void ProtocolBuilder::validate()
{
    m_validationErrors = m_validator->validate(m_commands);
    m_cumulativeVolumes = m_validator->cumulativeVolumes(m_commands);
    m_errorMapsValid = false;
    emit validationErrorsChanged();
    emit hasErrorsChanged();
}

void ProtocolBuilder::markDirty()
{
    if (!m_isLibraryProtocol)
        return;
    setUnsavedChanges(true);
    m_autoSaveTimer->start();
}

void ProtocolBuilder::setUnsavedChanges(bool unsaved)
{
    if (m_hasUnsavedChanges == unsaved)
        return;
    m_hasUnsavedChanges = unsaved;
    emit hasUnsavedChangesChanged();
}

void ProtocolBuilder::autoSave()
{
    if (!m_isLibraryProtocol || !m_hasUnsavedChanges || !m_library)
        return;
    qDebug() << "ProtocolBuilder: Auto-saving method:" << m_currentProtocolId;
    saveToLibrary();
}

bool ProtocolBuilder::flushPendingAutoSave()
{
    if (!m_isLibraryProtocol || !m_hasUnsavedChanges || !m_library)
        return true;
    m_autoSaveTimer->stop();
    qDebug() << "ProtocolBuilder: Saving pending edits of" << m_currentProtocolId
             << "before leaving the method";
    return saveToLibrary();
}

void ProtocolBuilder::refuseSwitch()
{
    qWarning() << "ProtocolBuilder: The edits of" << m_currentProtocolId
               << "could not be saved; the method stays open";
    emit errorOccurred(QStringLiteral("The changes to \"%1\" could not be saved, so the method stays open")
                           .arg(m_protocolName));
}

// --- Library -----------------------------------------------------------------------------

void ProtocolBuilder::loadFromLibrary(const QString &methodId)
{
    qDebug() << "ProtocolBuilder: Loading method from library:" << methodId;
    if (!m_library) {
        qWarning() << "ProtocolBuilder: No library reference set";
        emit errorOccurred(QStringLiteral("No library reference set"));
        return;
    }
    // The method being left may have an edit the timer has not written yet; written
    // first, it is also what a reload of the same method reads back. When the library
    // refuses it, the method stays open with the edit rather than losing it.
    if (!flushPendingAutoSave()) {
        refuseSwitch();
        return;
    }
    const QVariantMap map = m_library->getProtocol(methodId);
    if (map.isEmpty()) {
        qWarning() << "ProtocolBuilder: Method not found:" << methodId;
        emit errorOccurred(QStringLiteral("Method not found: ") + methodId);
        return;
    }
    m_autoSaveTimer->stop();
    {
        Batch batch(this);
        m_currentProtocolId = methodId;
        m_isLibraryProtocol = true;
        m_hasUnsavedChanges = false;
        m_isDeviceProtocol = false;
        m_deviceHardwareId.clear();
        m_deviceFilename.clear();
        m_deviceOrigFilename.clear();

        const QString name = map.value(QStringLiteral("name")).toString();
        if (name != m_protocolName) {
            m_protocolName = name;
            emit protocolNameChanged();
        }
        m_description = map.value(QStringLiteral("description")).toString();
        emit descriptionChanged();

        dropAllCommands();
        const QVariantList stored = map.value(QStringLiteral("commands")).toList();
        for (const QVariant &entry : stored) {
            if (Command *command = Command::fromVariantMap(entry.toMap(), this)) {
                m_commands.append(command);
                adopt(command);
            }
        }
        emitModeSignals();
        emit commandsChanged();
        batch.discard();
    }
    // Looking at a method is not editing it: it stays clean and is not written back.
    refresh(false);
    resetHistory();
    qDebug() << "ProtocolBuilder: Loaded method:" << m_protocolName << "with" << m_commands.size()
             << "commands";
}

bool ProtocolBuilder::saveToLibrary()
{
    if (!m_library) {
        qWarning() << "ProtocolBuilder: No library reference set";
        emit errorOccurred(QStringLiteral("No library reference set"));
        return false;
    }
    if (!m_isLibraryProtocol || m_currentProtocolId.isEmpty()) {
        qWarning() << "ProtocolBuilder: Not a library method";
        return false;
    }
    qDebug() << "ProtocolBuilder: Saving to library:" << m_currentProtocolId;
    QVariantList maps;
    maps.reserve(m_commands.size());
    for (const Command *command : qAsConst(m_commands))
        maps.append(command->toVariantMap());
    if (!m_library->saveProtocol(m_currentProtocolId, m_protocolName, m_description, maps,
                                 hasErrors())) {
        qWarning() << "ProtocolBuilder: Failed to save to library";
        emit errorOccurred(QStringLiteral("Failed to save method"));
        return false;
    }
    m_autoSaveTimer->stop();
    setUnsavedChanges(false);
    qDebug() << "ProtocolBuilder: Successfully saved to library";
    return true;
}

void ProtocolBuilder::newProtocol()
{
    qDebug() << "ProtocolBuilder: Creating new method";
    if (!flushPendingAutoSave()) {
        refuseSwitch();
        return;
    }
    m_autoSaveTimer->stop();
    {
        Batch batch(this);
        dropAllCommands();
        emit commandsChanged();
        if (!m_protocolName.isEmpty()) {
            m_protocolName.clear();
            emit protocolNameChanged();
        }
        m_description.clear();
        emit descriptionChanged();
        m_currentProtocolId.clear();
        m_isLibraryProtocol = false;
        m_hasUnsavedChanges = false;
        m_isDeviceProtocol = false;
        m_deviceHardwareId.clear();
        m_deviceFilename.clear();
        m_deviceOrigFilename.clear();
        emitModeSignals();
        insertCommand(TipSelectType, -1);
        batch.discard();
    }
    refresh(false);
    resetHistory();
}

void ProtocolBuilder::emitModeSignals()
{
    emit currentProtocolIdChanged();
    emit isLibraryProtocolChanged();
    emit hasUnsavedChangesChanged();
    emit isDeviceProtocolChanged();
    emit deviceHardwareIdChanged();
    emit deviceFilenameChanged();
    emit deviceOrigFilenameChanged();
}
