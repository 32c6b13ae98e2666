#include "editor/methodexchange.h"

#include "formats/csvgenerator.h"
#include "formats/csvparser.h"
#include "formats/splgenerator.h"
#include "formats/splparser.h"
#include "model/command.h"
#include "model/validator.h"
#include "storage/protocollibrary.h"

#include <QDebug>

MethodExchange::MethodExchange(const Validator *validator, const SplParser *splParser,
                               const SplGenerator *splGenerator, const CsvGenerator *csvGenerator)
    : m_validator(validator)
    , m_splParser(splParser)
    , m_splGenerator(splGenerator)
    , m_csvGenerator(csvGenerator)
{
}

QString MethodExchange::stepsOnly(const QString &spl)
{
    const int lineEnd = spl.indexOf(QLatin1Char('\n'));
    return (lineEnd < 0 ? QString() : spl.mid(lineEnd + 1)).trimmed();
}

QString MethodExchange::csvOf(const QList<Command *> &commands) const
{
    return m_csvGenerator->generate(QString(), QString(), commands);
}

QVariantMap MethodExchange::previewCsvData(const QByteArray &data) const
{
    QString refused;
    const QList<Command *> parsed = CsvParser::parse(QString::fromUtf8(data), nullptr, &refused);
    const QString spl = stepsOnly(m_splGenerator->generate(QString(), parsed));
    // Text the reader refused is never sendable, whatever an empty list would validate to.
    const bool errors = !refused.isEmpty() || !m_validator->validate(parsed).isEmpty();
    QVariantMap preview{{QStringLiteral("stepCount"), int(parsed.size())},
                        {QStringLiteral("splPreview"), spl},
                        {QStringLiteral("hasErrors"), errors}};
    if (!refused.isEmpty())
        preview.insert(QStringLiteral("error"), refused);
    qDeleteAll(parsed);
    return preview;
}

QVariantMap MethodExchange::splToDeviceCsv(const QByteArray &splText) const
{
    QByteArray text = splText;
    if (text.startsWith("\xEF\xBB\xBF"))
        text.remove(0, 3);
    QString name;
    QString error;
    QList<Command *> parsed;
    const bool ok = m_splParser->parse(QString::fromUtf8(text), &name, &parsed, &error);
    QVariantMap result{{QStringLiteral("name"), name}};
    if (ok)
        result.insert(QStringLiteral("csvData"), csvOf(parsed).toUtf8());
    else
        result.insert(QStringLiteral("error"), error);
    qDeleteAll(parsed);
    return result;
}

QString MethodExchange::importCsvDataToLibrary(const QByteArray &data, const QString &name,
                                               QString *refusedText) const
{
    if (!m_library) {
        qWarning() << "ProtocolBuilder::importCsvDataToLibrary: no library set";
        return QString();
    }
    if (!m_library->isNameAvailable(name, QString())) {
        qWarning() << "ProtocolBuilder::importCsvDataToLibrary: name already taken:" << name;
        return QString();
    }
    QString refused;
    const QList<Command *> parsed = CsvParser::parse(QString::fromUtf8(data), nullptr, &refused);
    if (!refused.isEmpty()) {
        qWarning() << "ProtocolBuilder::importCsvDataToLibrary: refused" << name << refused;
        if (refusedText)
            *refusedText = refused;
        return QString();
    }
    if (parsed.isEmpty()) {
        qWarning() << "ProtocolBuilder::importCsvDataToLibrary: no commands parsed for" << name;
        return QString();
    }
    const QString id = m_library->createProtocol(name);
    if (id.isEmpty()) {
        qDeleteAll(parsed);
        return QString();
    }
    QVariantList maps;
    maps.reserve(parsed.size());
    for (const Command *command : parsed)
        maps.append(command->toVariantMap());
    qDeleteAll(parsed);
    if (!m_library->saveProtocol(id, name, QString(), maps, false)) {
        qWarning() << "ProtocolBuilder::importCsvDataToLibrary: saveProtocol failed, removing orphan"
                   << id;
        m_library->deleteProtocol(id);
        return QString();
    }
    qDebug() << "ProtocolBuilder::importCsvDataToLibrary: imported" << name << "as" << id;
    return id;
}

QList<Command *> MethodExchange::commandsFromLibrary(const QString &libraryId, bool *found) const
{
    QList<Command *> commands;
    *found = false;
    if (!m_library || libraryId.isEmpty())
        return commands;
    const QVariantMap map = m_library->getProtocol(libraryId);
    if (map.isEmpty())
        return commands;
    *found = true;
    const QVariantList stored = map.value(QStringLiteral("commands")).toList();
    for (const QVariant &entry : stored) {
        if (Command *command = Command::fromVariantMap(entry.toMap(), nullptr))
            commands.append(command);
    }
    return commands;
}

bool MethodExchange::libraryCsvMatchesDevice(const QString &libraryId, const QByteArray &deviceCsv) const
{
    bool found = false;
    const QList<Command *> library = commandsFromLibrary(libraryId, &found);
    if (!found)
        return false;
    const QString libraryCsv = csvOf(library);
    qDeleteAll(library);

    // Both sides printed by the same writer, so the instrument's own formatting (wildcards,
    // case, spacing, line ends) does not count as a difference.
    QString refused;
    const QList<Command *> device = CsvParser::parse(QString::fromUtf8(deviceCsv), nullptr, &refused);
    const QString deviceText = csvOf(device);
    qDeleteAll(device);
    return refused.isEmpty() && libraryCsv == deviceText;
}

QByteArray MethodExchange::csvForLibraryProtocol(const QString &libraryId) const
{
    bool found = false;
    const QList<Command *> library = commandsFromLibrary(libraryId, &found);
    const QByteArray csv = csvOf(library).toUtf8();
    qDeleteAll(library);
    return found ? csv : QByteArray();
}
