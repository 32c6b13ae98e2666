#include "storage/protocollibrary.h"

#include "formats/splgenerator.h"
#include "formats/splparser.h"
#include "model/command.h"
#include "model/validator.h"
#include "storage/librarystore.h"
#include "storage/wholefile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

#include <algorithm>

namespace {

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
    // Through the virtual hook, so that tests can make one write fail part-way.
    , m_store(std::make_unique<LibraryStore>([this](QSettings &settings) { return syncStore(settings); }))
{
    m_records = m_store->load();
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
    if (!LibraryStore::fits(name, QString(), {})) {
        qWarning() << "ProtocolLibrary: Name too long to store";
        if (reportFailure)
            fail(tooLargeText(name));
        return QString();
    }
    auto record = std::make_unique<ProtocolRecord>();
    record->id = LibraryStore::newId();
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
    if (!LibraryStore::fits(name, description, commands)) {
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
    if (!LibraryStore::fits(newName, QString(), {})) {
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
    copy->id = LibraryStore::newId();
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
    const QList<Command *> commands = LibraryStore::commandsFrom(record->commands);
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
    if (!LibraryStore::fits(name, QString(), maps)) {
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

bool ProtocolLibrary::persist(bool reportFailure)
{
    if (m_store->write(m_records))
        return true;
    qWarning() << "ProtocolLibrary: Could not write the settings store";
    if (reportFailure)
        fail(QStringLiteral("Could not save the method library"));
    return false;
}

bool ProtocolLibrary::syncStore(QSettings &settings)
{
    return LibraryStore::defaultSync(settings);
}

bool ProtocolLibrary::journaledSaves() const
{
    return m_store->journaled();
}

void ProtocolLibrary::setJournaledSaves(bool journaled)
{
    m_store->setJournaled(journaled);
}
