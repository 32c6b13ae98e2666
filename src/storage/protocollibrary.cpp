#include "storage/protocollibrary.h"

#include "formats/splgenerator.h"
#include "formats/splparser.h"
#include "model/command.h"
#include "model/validator.h"
#include "storage/settingsfilecheck.h"
#include "storage/wholefile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSettings>
#include <QUrl>
#include <QUuid>

#include <algorithm>

// One element of the stored array, in the form the store holds it.
struct ProtocolLibrary::StoredElement
{
    QString id;
    QString name;
    QString description;
    QDateTime created;
    QDateTime modified;
    QVariantList commands;
    bool hasErrors = true;
};

namespace {

const QString StoreOrganization = QStringLiteral("Vellora");
const QString StoreApplication = QStringLiteral("NerraDesktop");
const QString ArrayName = QStringLiteral("protocolLibrary");
// Present only while a journaled save is under way (see setJournaledSaves).
const QString JournalKey = QStringLiteral("protocolLibraryJournal");

const QString IdKey = QStringLiteral("id");
const QString NameKey = QStringLiteral("name");
const QString DescriptionKey = QStringLiteral("description");
const QString CreatedKey = QStringLiteral("created");
const QString ModifiedKey = QStringLiteral("modified");
const QString CommandsKey = QStringLiteral("commands");
const QString HasErrorsKey = QStringLiteral("hasErrors");

// A stored text beyond what one stored value may hold is damage.
constexpr int MaxStoredText = SettingsFileCheck::MaxValueBytes / 2;

QString newId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// Date-times are stored as ISO 8601 text in UTC, so a method keeps its times when the
// computer changes time zone, and the store needs no binary values.
QString dateText(const QDateTime &dateTime)
{
    return dateTime.isValid() ? dateTime.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime dateOf(const QVariant &value)
{
    if (value.userType() == QMetaType::QDateTime)
        return value.toDateTime();
    if (value.userType() != QMetaType::QString)
        return {};
    const QDateTime dateTime = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    return dateTime.isValid() ? dateTime.toLocalTime() : QDateTime();
}

// Missing reads as empty; anything but text is damage.
bool textOf(const QVariant &value, QString *text)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
        text->clear();
        return true;
    case QMetaType::QString:
        *text = value.toString();
        return text->size() <= MaxStoredText;
    case QMetaType::QByteArray:
        if (value.toByteArray().size() > MaxStoredText)
            return false;
        *text = QString::fromUtf8(value.toByteArray());
        return true;
    default:
        return false;
    }
}

bool boolOf(const QVariant &value, bool fallback)
{
    switch (value.userType()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return value.toLongLong() != 0;
    case QMetaType::QString: {
        const QString text = value.toString().trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || text == QLatin1String("1"))
            return true;
        if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || text == QLatin1String("0"))
            return false;
        return fallback;
    }
    default:
        return fallback;
    }
}

QVariantList mapsOnly(const QVariantList &list)
{
    QVariantList maps;
    maps.reserve(list.size());
    for (const QVariant &entry : list) {
        if (entry.userType() == QMetaType::QVariantMap)
            maps.append(entry);
    }
    return maps;
}

// The steps are stored as a list of maps, the form every version of the library reads.
// One version stored them as JSON text instead; such a store is read and written back
// as a list at the next save.
bool commandsOf(const QVariant &value, QVariantList *commands)
{
    commands->clear();
    if (!value.isValid())
        return true;
    if (value.userType() == QMetaType::QVariantList) {
        *commands = mapsOnly(value.toList());
        return true;
    }
    QString text;
    if (!textOf(value, &text))
        return false;
    if (text.trimmed().isEmpty())
        return true;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return false;
    *commands = mapsOnly(document.array().toVariantList());
    return true;
}

QList<Command *> buildCommands(const QVariantList &maps)
{
    QList<Command *> commands;
    commands.reserve(maps.size());
    for (const QVariant &entry : maps) {
        if (Command *command = Command::fromVariantMap(entry.toMap()))
            commands.append(command);
    }
    return commands;
}

bool failsValidation(const QVariantList &maps, const Validator &validator)
{
    const QList<Command *> commands = buildCommands(maps);
    const bool failed = !validator.validate(commands).isEmpty();
    qDeleteAll(commands);
    return failed;
}

// Id, name and description: a value of another kind still says what it said (a number,
// or the list that unquoted commas make of a hand-edited line).
bool readableText(const QVariant &value, QString *text)
{
    switch (value.userType()) {
    case QMetaType::QStringList:
        *text = value.toStringList().join(QStringLiteral(", "));
        return text->size() <= MaxStoredText;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        *text = value.toString();
        return true;
    default:
        return textOf(value, text);
    }
}

// One stored element, from the array or from the journal; nullptr (with the reason) when
// it cannot be a method. A method whose steps are damaged is still the user's: it is kept
// without them, its name and description intact, and `problem` says what was lost.
std::unique_ptr<ProtocolRecord> recordFrom(const QVariantMap &element, const Validator &validator,
                                           QString *problem)
{
    problem->clear();
    auto record = std::make_unique<ProtocolRecord>();
    if (!readableText(element.value(IdKey), &record->id)
        || !readableText(element.value(NameKey), &record->name)) {
        *problem = QStringLiteral("unreadable id or name");
        return nullptr;
    }
    if (record->id.isEmpty() || record->name.isEmpty()) {
        *problem = QStringLiteral("no id or no name");
        return nullptr;
    }
    const bool stepsRead = commandsOf(element.value(CommandsKey), &record->commands);
    if (!stepsRead) {
        *problem = QStringLiteral("unreadable steps, kept without them");
        record->commands.clear();
    }
    // A description of the wrong kind costs nothing worth dropping the method for.
    if (!readableText(element.value(DescriptionKey), &record->description))
        record->description.clear();
    record->created = dateOf(element.value(CreatedKey));
    record->modified = dateOf(element.value(ModifiedKey));
    if (!record->created.isValid())
        record->created = record->modified;
    if (!record->modified.isValid())
        record->modified = record->created;
    // The stored flag may come from older rules or a hand-edited store; only an empty
    // method has nothing to check.
    if (!stepsRead)
        record->hasErrors = true;
    else
        record->hasErrors = record->commands.isEmpty()
                                ? boolOf(element.value(HasErrorsKey), true)
                                : failsValidation(record->commands, validator);
    return record;
}

// Whether the method can be stored and read back whole at the next start: what the
// store's reader would refuse must be refused before it is stored, not after.
bool fitsStore(const QString &name, const QString &description, const QVariantList &commands)
{
    return name.size() <= MaxStoredText && description.size() <= MaxStoredText
           && SettingsFileCheck::isStorable(commands);
}

QString tooLargeText(const QString &name)
{
    return QStringLiteral("The method \"%1\" is too large to keep in the library").arg(name.left(100));
}

// Paths from the interface may be file URLs.
QString localPath(const QString &filePath)
{
    const QString local = QUrl(filePath).toLocalFile();
    return local.isEmpty() ? filePath : local;
}

bool sameName(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

ProtocolLibrary::ProtocolLibrary(QObject *parent)
    : QObject(parent)
#ifdef Q_OS_WIN
    , m_journaledSaves(true)
#else
    // The settings file is replaced whole by a rename, so a save is never half-written.
    , m_journaledSaves(false)
#endif
{
    load();
}

ProtocolLibrary::~ProtocolLibrary() = default;

// ---- Operations

QString ProtocolLibrary::createProtocol(const QString &name)
{
    return addProtocol(name, true);
}

QString ProtocolLibrary::addProtocol(const QString &name, bool reportFailure)
{
    // An empty name is allowed: "+ New Protocol" starts from an unnamed placeholder that the
    // editor discards if the user leaves without naming it (and that loading skips).
    if (!fitsStore(name, QString(), {})) {
        qWarning() << "ProtocolLibrary: Name too long to store";
        if (reportFailure)
            fail(tooLargeText(name));
        return QString();
    }
    auto record = std::make_unique<ProtocolRecord>();
    record->id = newId();
    record->name = name;
    record->created = record->modified = QDateTime::currentDateTime();
    record->hasErrors = true;
    const QString id = record->id;
    m_records.push_back(std::move(record));
    if (!persist(reportFailure)) {
        m_records.pop_back();
        return QString();
    }
    qDebug().noquote() << "ProtocolLibrary: Created method" << name << id;
    changed(true);
    return id;
}

bool ProtocolLibrary::saveProtocol(const QString &methodId, const QString &name,
                                   const QString &description, const QVariantList &commands)
{
    return saveProtocol(methodId, name, description, commands, false);
}

bool ProtocolLibrary::saveProtocol(const QString &methodId, const QString &name,
                                   const QString &description, const QVariantList &commands,
                                   bool hasErrors)
{
    ProtocolRecord *record = find(methodId);
    if (!record) {
        notFound(methodId);
        return false;
    }
    if (nameTaken(name, methodId)) {
        qWarning() << "ProtocolLibrary: Name already in use:" << name;
        fail(QStringLiteral("A method named \"%1\" already exists").arg(name));
        return false;
    }
    if (!fitsStore(name, description, commands)) {
        qWarning() << "ProtocolLibrary: Method too large to store:" << methodId;
        fail(tooLargeText(name));
        return false;
    }
    const ProtocolRecord before = *record;
    record->name = name;
    record->description = description;
    record->commands = commands;
    record->hasErrors = hasErrors;
    record->modified = QDateTime::currentDateTime();
    if (!persist()) {
        *record = before;
        return false;
    }
    changed(false);
    return true;
}

bool ProtocolLibrary::deleteProtocol(const QString &methodId)
{
    const int index = indexOf(methodId);
    if (index < 0) {
        notFound(methodId);
        return false;
    }
    std::unique_ptr<ProtocolRecord> removed = std::move(m_records[std::size_t(index)]);
    m_records.erase(m_records.begin() + index);
    if (!persist()) {
        m_records.insert(m_records.begin() + index, std::move(removed));
        return false;
    }
    qDebug().noquote() << "ProtocolLibrary: Deleted method" << removed->name << methodId;
    changed(true);
    return true;
}

QVariantMap ProtocolLibrary::getProtocol(const QString &methodId) const
{
    const ProtocolRecord *record = find(methodId);
    if (!record) {
        qWarning() << "ProtocolLibrary: Method not found:" << methodId;
        return QVariantMap();
    }
    return record->toMap();
}

bool ProtocolLibrary::renameProtocol(const QString &methodId, const QString &newName)
{
    if (newName.trimmed().isEmpty()) {
        qWarning() << "ProtocolLibrary: Cannot rename to empty name";
        fail(QStringLiteral("Method name cannot be empty"));
        return false;
    }
    ProtocolRecord *record = find(methodId);
    if (!record) {
        notFound(methodId);
        return false;
    }
    if (nameTaken(newName, methodId)) {
        qWarning() << "ProtocolLibrary: Name already in use:" << newName;
        fail(QStringLiteral("A method named \"%1\" already exists").arg(newName));
        return false;
    }
    if (!fitsStore(newName, QString(), {})) {
        qWarning() << "ProtocolLibrary: Name too long to store:" << methodId;
        fail(tooLargeText(newName));
        return false;
    }
    const QString oldName = record->name;
    const QDateTime oldModified = record->modified;
    record->name = newName;
    record->modified = QDateTime::currentDateTime();
    if (!persist()) {
        record->name = oldName;
        record->modified = oldModified;
        return false;
    }
    changed(false);
    return true;
}

QString ProtocolLibrary::duplicateProtocol(const QString &methodId)
{
    const ProtocolRecord *source = find(methodId);
    if (!source) {
        notFound(methodId);
        return QString();
    }
    auto copy = std::make_unique<ProtocolRecord>(*source);
    copy->id = newId();
    copy->name = copyName(source->name);
    copy->created = copy->modified = QDateTime::currentDateTime();
    const QString id = copy->id;
    m_records.push_back(std::move(copy));
    if (!persist()) {
        m_records.pop_back();
        return QString();
    }
    changed(true);
    return id;
}

QVariantList ProtocolLibrary::getAllProtocols() const
{
    if (m_listingValid)
        return m_listing;
    std::vector<const ProtocolRecord *> sorted;
    sorted.reserve(m_records.size());
    for (const auto &record : m_records)
        sorted.push_back(record.get());
    // Stable, so methods whose names differ only in case keep their order of creation.
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const ProtocolRecord *a, const ProtocolRecord *b) {
                         return a->name.compare(b->name, Qt::CaseInsensitive) < 0;
                     });
    QVariantList listing;
    listing.reserve(int(sorted.size()));
    for (const ProtocolRecord *record : sorted)
        listing.append(record->summary());
    m_listing = listing;
    m_listingValid = true;
    return m_listing;
}

bool ProtocolLibrary::protocolExists(const QString &methodId) const
{
    return find(methodId) != nullptr;
}

bool ProtocolLibrary::isNameAvailable(const QString &name, const QString &excludeId) const
{
    return !nameTaken(name, excludeId);
}

QString ProtocolLibrary::findProtocolIdByFilename(const QString &filename) const
{
    QString name = filename;
    if (name.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        name.chop(4);
    name.replace(QLatin1Char('_'), QLatin1Char(' '));
    for (const auto &record : m_records) {
        if (sameName(record->name, name))
            return record->id;
    }
    return QString();
}

// ---- SPL files

QString ProtocolLibrary::exportToSpl(const QString &methodId) const
{
    const ProtocolRecord *record = find(methodId);
    if (!record) {
        qWarning() << "ProtocolLibrary: Method not found:" << methodId;
        return QString();
    }
    const QList<Command *> commands = buildCommands(record->commands);
    const QString text = SplGenerator().generate(record->name, commands);
    qDeleteAll(commands);
    return text;
}

bool ProtocolLibrary::exportProtocolToFile(const QString &methodId, const QString &filePath)
{
    const QString text = exportToSpl(methodId);
    if (text.isEmpty())
        return false;
    // Always UTF-8, the encoding the import reads: the system's own encoding would turn
    // "µ" or "é" into other characters on the way back. A folder that allows writing the
    // file but not creating a temporary file beside it still gets the export, only not
    // atomically.
    QString reason;
    switch (WholeFile::write(localPath(filePath), text.toUtf8(),
                             WholeFile::Text | WholeFile::DirectWriteFallback, &reason)) {
    case WholeFile::Written:
        return true;
    case WholeFile::OpenFailed:
        qWarning() << "ProtocolLibrary: Cannot open for export:" << filePath << reason;
        fail(QStringLiteral("Failed to open file: ") + filePath);
        return false;
    case WholeFile::WriteFailed:
        break;
    }
    qWarning() << "ProtocolLibrary: Cannot write the export:" << filePath << reason;
    fail(QStringLiteral("Failed to write file: ") + filePath);
    return false;
}

QString ProtocolLibrary::importFromSplFile(const QString &filePath)
{
    const QString path = localPath(filePath);
    const QFileInfo info(path);
    QFile file(path);
    // Not as text: text mode drops every carriage return, and a file whose lines end in
    // one alone would read as a single line. The reader takes CR, LF and CR LF itself.
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "ProtocolLibrary: Cannot open for import:" << path << file.errorString();
        fail(QStringLiteral("Could not open file: ") + info.fileName());
        return QString();
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        qWarning() << "ProtocolLibrary: Cannot read for import:" << path << file.errorString();
        fail(QStringLiteral("Could not open file: ") + info.fileName());
        return QString();
    }
    // Editors on Windows like to start UTF-8 files with a byte-order mark, which would
    // otherwise hide the header.
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);

    QString parsedName;
    QString error;
    QList<Command *> commands;
    if (!SplParser().parse(QString::fromUtf8(bytes), &parsedName, &commands, &error)) {
        qDeleteAll(commands);
        qWarning() << "ProtocolLibrary: Cannot import" << path << error;
        fail(QStringLiteral("Could not import protocol: ") + error);
        return QString();
    }

    QString name = parsedName.trimmed();
    if (name.isEmpty())
        name = SplParser::printableName(info.completeBaseName());
    if (name.isEmpty())
        name = QStringLiteral("Imported Protocol");
    name = importName(name);

    QVariantList maps;
    maps.reserve(commands.size());
    for (const Command *command : qAsConst(commands))
        maps.append(command->toVariantMap());
    const bool hasErrors = !Validator().validate(commands).isEmpty();
    qDeleteAll(commands);
    if (!fitsStore(name, QString(), maps)) {
        qWarning() << "ProtocolLibrary: Cannot import" << path << "- too large to store";
        fail(QStringLiteral("Could not import protocol: the method is too large to keep in the library"));
        return QString();
    }

    // The interface opens a dialog per error: the import's own sentence replaces the
    // store's.
    const QString id = addProtocol(name, false);
    if (id.isEmpty()) {
        fail(QStringLiteral("Could not create the imported protocol."));
        return QString();
    }
    if (!saveProtocol(id, name, QString(), maps, hasErrors))
        return QString();
    qDebug().noquote() << "ProtocolLibrary: Imported" << path << "as" << name << id;
    return id;
}

// ---- Helpers

ProtocolRecord *ProtocolLibrary::find(const QString &methodId) const
{
    const int index = indexOf(methodId);
    return index < 0 ? nullptr : m_records[std::size_t(index)].get();
}

int ProtocolLibrary::indexOf(const QString &methodId) const
{
    for (std::size_t i = 0; i < m_records.size(); ++i) {
        if (m_records[i]->id == methodId)
            return int(i);
    }
    return -1;
}

bool ProtocolLibrary::nameTaken(const QString &name, const QString &excludeId) const
{
    for (const auto &record : m_records) {
        if (sameName(record->name, name) && (excludeId.isEmpty() || record->id != excludeId))
            return true;
    }
    return false;
}

QString ProtocolLibrary::copyName(const QString &name) const
{
    // Joined rather than formatted: a name may hold "%1" itself, which a second arg()
    // would replace.
    QString candidate = name;
    for (int n = 1; nameTaken(candidate); ++n)
        candidate = name + QStringLiteral(" (Copy ") + QString::number(n) + QLatin1Char(')');
    return candidate;
}

QString ProtocolLibrary::importName(const QString &name) const
{
    if (!nameTaken(name))
        return name;
    QString candidate = name + QStringLiteral(" (imported)");
    for (int n = 3; nameTaken(candidate); ++n)
        candidate = name + QStringLiteral(" (imported ") + QString::number(n) + QLatin1Char(')');
    return candidate;
}

void ProtocolLibrary::fail(const QString &message)
{
    emit errorOccurred(message);
}

void ProtocolLibrary::notFound(const QString &methodId)
{
    qWarning() << "ProtocolLibrary: Method not found:" << methodId;
    fail(QStringLiteral("Method not found: ") + methodId);
}

void ProtocolLibrary::changed(bool countChanged)
{
    m_listingValid = false;
    m_listing.clear();
    emit protocolsChanged();
    if (countChanged)
        emit protocolCountChanged();
}

// ---- The settings store

ProtocolLibrary::StoredElement ProtocolLibrary::storedElement(const ProtocolRecord &record)
{
    return {record.id,       record.name,     record.description, record.created,
            record.modified, record.commands, record.hasErrors};
}

namespace {

QString elementKey(int index, const QString &key)
{
    return ArrayName + QLatin1Char('/') + QString::number(index + 1) + QLatin1Char('/') + key;
}

} // namespace

// The array as QSettings' own array functions lay it out (elements 1..n, then "size").
// With `previous`, the store is taken to hold exactly that and only differences are
// written; without it the old array is removed and every element written.
void ProtocolLibrary::writeArray(QSettings &settings, const std::vector<StoredElement> &elements,
                                 const std::vector<StoredElement> *previous)
{
    if (!previous)
        settings.remove(ArrayName);
    const int count = int(elements.size());
    const int previousCount = previous ? int(previous->size()) : 0;
    for (int i = 0; i < count; ++i) {
        const StoredElement &e = elements[std::size_t(i)];
        const StoredElement *old =
            i < previousCount ? &(*previous)[std::size_t(i)] : nullptr;
        const auto put = [&](const QString &key, const QVariant &value, bool same) {
            if (!old || !same)
                settings.setValue(elementKey(i, key), value);
        };
        put(IdKey, e.id, old && old->id == e.id);
        put(NameKey, e.name, old && old->name == e.name);
        put(DescriptionKey, e.description, old && old->description == e.description);
        put(CreatedKey, dateText(e.created), old && old->created == e.created);
        put(ModifiedKey, dateText(e.modified), old && old->modified == e.modified);
        put(CommandsKey, e.commands, old && old->commands == e.commands);
        put(HasErrorsKey, e.hasErrors, old && old->hasErrors == e.hasErrors);
    }
    for (int i = count; i < previousCount; ++i)
        settings.remove(ArrayName + QLatin1Char('/') + QString::number(i + 1));
    if (!previous || previousCount != count)
        settings.setValue(ArrayName + QStringLiteral("/size"), count);
}

void ProtocolLibrary::load()
{
    if (loadPending())
        return;

    QSettings &settings = store();
    settings.beginGroup(ArrayName);
    const QList<int> indices = SettingsFileCheck::arrayIndices(settings);
    // Whether the store holds exactly what the library will write: then the first save
    // can write differences only.
    bool exact = settings.value(QStringLiteral("size")).toString()
                     == QString::number(indices.size())
                 && (indices.isEmpty() || indices.constLast() == indices.size());

    const Validator validator;
    QSet<QString> ids;
    for (int index : indices) {
        settings.beginGroup(QString::number(index));
        QVariantMap element;
        for (const QString &key : {IdKey, NameKey, DescriptionKey, CreatedKey, ModifiedKey,
                                   CommandsKey, HasErrorsKey})
            element.insert(key, settings.value(key));
        settings.endGroup();

        QString problem;
        std::unique_ptr<ProtocolRecord> record = recordFrom(element, validator, &problem);
        if (!record) {
            qWarning().noquote() << "ProtocolLibrary: Skipping stored entry" << index << "-"
                                 << problem;
            exact = false;
            continue;
        }
        if (!problem.isEmpty()) {
            qWarning().noquote() << "ProtocolLibrary: Stored entry" << index << record->name
                                 << "-" << problem;
        }
        if (ids.contains(record->id)) {
            // Both are the user's work; only the second gets a new identity.
            qWarning() << "ProtocolLibrary: Duplicate id" << record->id << "- giving"
                       << record->name << "a new one";
            record->id = newId();
            exact = false;
        }
        ids.insert(record->id);
        // Steps read whole as a list are what a save would write back.
        const QVariant steps = element.value(CommandsKey);
        const StoredElement stored = storedElement(*record);
        // (No steps at all are stored as no value.)
        const bool stepsExact = steps.userType() == QMetaType::QVariantList
                                    ? steps.toList().size() == record->commands.size()
                                    : !steps.isValid() && record->commands.isEmpty();
        exact = exact && stepsExact
                && element.value(IdKey).userType() == QMetaType::QString
                && element.value(NameKey).userType() == QMetaType::QString
                && element.value(DescriptionKey).userType() == QMetaType::QString
                && element.value(CreatedKey).toString() == dateText(stored.created)
                && element.value(ModifiedKey).toString() == dateText(stored.modified)
                && element.value(HasErrorsKey).isValid()
                && boolOf(element.value(HasErrorsKey), !record->hasErrors) == record->hasErrors;
        m_stored.push_back(stored);
        m_records.push_back(std::move(record));
    }
    settings.endGroup();
    m_storedExact = exact && int(m_stored.size()) == indices.size();
    if (m_storedExact)
        m_storeStamp = storeStamp();
    qDebug() << "ProtocolLibrary: Loaded" << m_records.size() << "method(s)";
}

bool ProtocolLibrary::loadPending()
{
    const QVariant journal = store().value(JournalKey);
    if (!journal.isValid())
        return false;
    QString text;
    QJsonParseError error{};
    QJsonDocument document;
    if (textOf(journal, &text))
        document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (text.isEmpty() || error.error != QJsonParseError::NoError || !document.isArray()) {
        qWarning() << "ProtocolLibrary: Ignoring an unreadable save journal";
        return false;
    }

    const Validator validator;
    QSet<QString> ids;
    const QJsonArray entries = document.array();
    for (const QJsonValue &entry : entries) {
        QString problem;
        std::unique_ptr<ProtocolRecord> record =
            recordFrom(entry.toObject().toVariantMap(), validator, &problem);
        if (!record || ids.contains(record->id)) {
            qWarning().noquote() << "ProtocolLibrary: Skipping a journal entry -"
                                 << (record ? QStringLiteral("an id seen before") : problem);
            continue;
        }
        if (!problem.isEmpty())
            qWarning().noquote() << "ProtocolLibrary: Journal entry" << record->name << "-" << problem;
        ids.insert(record->id);
        m_stored.push_back(storedElement(*record));
        m_records.push_back(std::move(record));
    }
    qDebug() << "ProtocolLibrary: Loaded" << m_records.size()
             << "method(s) from an interrupted save; completing it";
    m_storedExact = false;
    writeStore();
    return true;
}

bool ProtocolLibrary::persist(bool reportFailure)
{
    if (writeStore())
        return true;
    qWarning() << "ProtocolLibrary: Could not write the settings store";
    if (reportFailure)
        fail(QStringLiteral("Could not save the method library"));
    return false;
}

QSettings &ProtocolLibrary::store()
{
    if (!m_settings) {
        // The settings layer decodes nothing until a key is read: a damaged value must be
        // gone from the file before the object that will read it is made.
        SettingsFileCheck::setAsideDamagedValues(
            QSettings(StoreOrganization, StoreApplication).fileName());
        m_settings = std::make_unique<QSettings>(StoreOrganization, StoreApplication);
    }
    return *m_settings;
}

bool ProtocolLibrary::writeStore()
{
    std::vector<StoredElement> next;
    next.reserve(m_records.size());
    for (const auto &record : m_records)
        next.push_back(storedElement(*record));

    // Differences only when nobody else has written the store since: another writer's
    // changes would otherwise mix with this library's.
    const bool differencesOnly = m_storedExact && storeStamp() == m_storeStamp;
    if (!writeElements(next, differencesOnly)) {
        rollBackStore();
        return storeFailed();
    }
    m_stored = std::move(next);
    m_storedExact = true;
    m_storeStamp = storeStamp();
    return true;
}

// Journaled, the whole library goes under one value first and away last, so that a
// store written key by key and cut short in between holds a copy to complete it from.
bool ProtocolLibrary::writeElements(const std::vector<StoredElement> &elements,
                                    bool differencesOnly)
{
    QSettings &settings = store();
    if (m_journaledSaves) {
        settings.setValue(JournalKey, journalText(elements));
        if (!syncStore(settings))
            return false;
    }
    writeArray(settings, elements, differencesOnly ? &m_stored : nullptr);
    if (m_journaledSaves && !syncStore(settings))
        return false;
    // Also clears a journal left by an interrupted save once it has been completed.
    settings.remove(JournalKey);
    return syncStore(settings);
}

// A save reported as failed must not take effect later. A journal of it that reached the
// store would be completed at the next start; what did not reach it stays pending in the
// process, shared by every settings object of the file, and goes out with the next write
// of that file by anyone, or when the settings object is destroyed.
void ProtocolLibrary::rollBackStore()
{
    QSettings &failed = store();
    // Whatever of this is written, and whenever, describes the library before the save.
    if (m_journaledSaves)
        failed.setValue(JournalKey, journalText(m_stored));
    else
        failed.remove(JournalKey);
    writeArray(failed, m_stored, nullptr);
    // A settings object keeps reporting its first error for good; a new one tells whether
    // the store takes the earlier library back.
    m_settings.reset();
    if (!writeElements(m_stored, false))
        qWarning() << "ProtocolLibrary: Could not put the store back as it was before the failed save";
}

bool ProtocolLibrary::syncStore(QSettings &settings)
{
    settings.sync();
    // A format error only says the file read before had damage; the write itself is
    // judged by access errors.
    return settings.status() != QSettings::AccessError;
}

QString ProtocolLibrary::journalText(const std::vector<StoredElement> &elements)
{
    QString text = QStringLiteral("[");
    for (const StoredElement &e : elements) {
        if (text.size() > 1)
            text += QLatin1Char(',');
        const QJsonObject fields{{IdKey, e.id},
                                 {NameKey, e.name},
                                 {DescriptionKey, e.description},
                                 {CreatedKey, dateText(e.created)},
                                 {ModifiedKey, dateText(e.modified)},
                                 {HasErrorsKey, e.hasErrors}};
        QString entry = QString::fromUtf8(QJsonDocument(fields).toJson(QJsonDocument::Compact));
        entry.chop(1);
        text += entry + QStringLiteral(",\"%1\":").arg(CommandsKey)
                + QString::fromUtf8(QJsonDocument(QJsonArray::fromVariantList(e.commands))
                                        .toJson(QJsonDocument::Compact))
                + QLatin1Char('}');
    }
    return text + QLatin1Char(']');
}

QString ProtocolLibrary::storeStamp()
{
    // Where the store is no file (the Windows registry) this stays empty, and so equal.
    const QFileInfo info(store().fileName());
    return info.exists()
               ? QString::number(info.size()) + QLatin1Char('@')
                     + QString::number(info.lastModified().toMSecsSinceEpoch())
               : QString();
}

bool ProtocolLibrary::storeFailed()
{
    m_storedExact = false;
    // A settings object keeps reporting its first error for good; the next save starts
    // with a new one, so that a store that can be written again is seen to be. Anything
    // it still holds unwritten is the library before the failed save.
    m_settings.reset();
    return false;
}
