#include "storage/librarystore.h"

#include "model/command.h"
#include "model/validator.h"
#include "storage/protocolrecord.h"
#include "storage/settingsfilecheck.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSettings>
#include <QUuid>

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

constexpr int MaxStoredText = LibraryStore::MaxStoredText;
// Text is counted in UTF-16 code units, two bytes each, as the store encodes it.
static_assert(MaxStoredText == SettingsFileCheck::MaxValueBytes / 2, "one limit for writing and reading");

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

bool failsValidation(const QVariantList &maps, const Validator &validator)
{
    const QList<Command *> commands = LibraryStore::commandsFrom(maps);
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

} // namespace

LibraryStore::LibraryStore(SyncFunction sync)
    : m_sync(sync ? std::move(sync) : SyncFunction(&LibraryStore::defaultSync))
#ifdef Q_OS_WIN
    , m_journaled(true)
#else
    // The settings file is replaced whole by a rename, so a save is never half-written.
    , m_journaled(false)
#endif
{
}

LibraryStore::~LibraryStore() = default;

QString LibraryStore::newId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QList<Command *> LibraryStore::commandsFrom(const QVariantList &maps)
{
    QList<Command *> commands;
    commands.reserve(maps.size());
    for (const QVariant &entry : maps) {
        if (Command *command = Command::fromVariantMap(entry.toMap()))
            commands.append(command);
    }
    return commands;
}

bool LibraryStore::fits(const QString &name, const QString &description, const QVariantList &commands)
{
    return name.size() <= MaxStoredText && description.size() <= MaxStoredText
           && SettingsFileCheck::isStorable(commands);
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
void LibraryStore::writeArray(QSettings &settings, const std::vector<StoredElement> &elements,
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

LibraryStore::Records LibraryStore::load()
{
    Records records;
    if (loadPending(&records))
        return records;

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
        const StoredElement &stored = *record;
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
        records.push_back(std::move(record));
    }
    settings.endGroup();
    m_storedExact = exact && int(m_stored.size()) == indices.size();
    if (m_storedExact)
        m_storeStamp = storeStamp();
    qDebug() << "ProtocolLibrary: Loaded" << records.size() << "method(s)";
    return records;
}

bool LibraryStore::loadPending(Records *records)
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
        m_stored.push_back(*record);
        records->push_back(std::move(record));
    }
    qDebug() << "ProtocolLibrary: Loaded" << records->size()
             << "method(s) from an interrupted save; completing it";
    m_storedExact = false;
    write(*records);
    return true;
}

QSettings &LibraryStore::store()
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

bool LibraryStore::write(const Records &records)
{
    std::vector<StoredElement> next;
    next.reserve(records.size());
    for (const auto &record : records)
        next.push_back(*record);

    // Differences only when nobody else has written the store since: another writer's
    // changes would otherwise mix with this library's.
    const bool differencesOnly = m_storedExact && storeStamp() == m_storeStamp;
    if (!writeElements(next, differencesOnly)) {
        rollBack();
        return failed();
    }
    m_stored = std::move(next);
    m_storedExact = true;
    m_storeStamp = storeStamp();
    return true;
}

// Journaled, the whole library goes under one value first and away last, so that a
// store written key by key and cut short in between holds a copy to complete it from.
bool LibraryStore::writeElements(const std::vector<StoredElement> &elements,
                                    bool differencesOnly)
{
    QSettings &settings = store();
    if (m_journaled) {
        settings.setValue(JournalKey, journalText(elements));
        if (!m_sync(settings))
            return false;
    }
    writeArray(settings, elements, differencesOnly ? &m_stored : nullptr);
    if (m_journaled && !m_sync(settings))
        return false;
    // Also clears a journal left by an interrupted save once it has been completed.
    settings.remove(JournalKey);
    return m_sync(settings);
}

// A save reported as failed must not take effect later. A journal of it that reached the
// store would be completed at the next start; what did not reach it stays pending in the
// process, shared by every settings object of the file, and goes out with the next write
// of that file by anyone, or when the settings object is destroyed.
void LibraryStore::rollBack()
{
    QSettings &settings = store();
    // Whatever of this is written, and whenever, describes the library before the save.
    if (m_journaled)
        settings.setValue(JournalKey, journalText(m_stored));
    else
        settings.remove(JournalKey);
    writeArray(settings, m_stored, nullptr);
    // A settings object keeps reporting its first error for good; a new one tells whether
    // the store takes the earlier library back.
    m_settings.reset();
    if (!writeElements(m_stored, false))
        qWarning() << "ProtocolLibrary: Could not put the store back as it was before the failed save";
}

bool LibraryStore::defaultSync(QSettings &settings)
{
    settings.sync();
    // A format error only says the file read before had damage; the write itself is
    // judged by access errors.
    return settings.status() != QSettings::AccessError;
}

QString LibraryStore::journalText(const std::vector<StoredElement> &elements)
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

QString LibraryStore::storeStamp()
{
    // Where the store is no file (the Windows registry) this stays empty, and so equal.
    const QFileInfo info(store().fileName());
    return info.exists()
               ? QString::number(info.size()) + QLatin1Char('@')
                     + QString::number(info.lastModified().toMSecsSinceEpoch())
               : QString();
}

bool LibraryStore::failed()
{
    m_storedExact = false;
    // A settings object keeps reporting its first error for good; the next save starts
    // with a new one, so that a store that can be written again is seen to be. Anything
    // it still holds unwritten is the library before the failed save.
    m_settings.reset();
    return false;
}
