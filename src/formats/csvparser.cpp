#include "formats/csvparser.h"

#include "model/commands.h"

#include <QDebug>

#include <cmath>

namespace {

const QString LoopStart = QStringLiteral("LOOPSTART");
const QString LoopEnd = QStringLiteral("LOOPEND");

QString keywordOf(const QString &row)
{
    const int comma = row.indexOf(QLatin1Char(','));
    return row.leftRef(comma).trimmed().toString().toUpper();
}

// Index of the LOOPEND that closes the LOOPSTART at start, or rows.size() when none does.
int matchingEnd(const QStringList &rows, int start)
{
    int depth = 1;
    for (int i = start + 1; i < rows.size(); ++i) {
        const QString keyword = keywordOf(rows.at(i));
        if (keyword == LoopStart) {
            ++depth;
        } else if (keyword == LoopEnd) {
            if (--depth < 1)
                return i;
        }
    }
    return rows.size();
}

// Line of the first LOOPSTART that opens a loop deeper than the cap, or 0.
int tooDeepLine(const QStringList &rows)
{
    int depth = 0;
    for (int i = 0; i < rows.size(); ++i) {
        const QString keyword = keywordOf(rows.at(i));
        if (keyword == LoopStart) {
            if (++depth > LoopCommand::MaxNestingDepth)
                return i + 1;
        } else if (keyword == LoopEnd && depth > 0) {
            --depth;
        }
    }
    return 0;
}

class Row
{
public:
    explicit Row(const QString &row) : m_fields(row.split(QLatin1Char(','))) {}

    QString field(int index) const
    {
        return index < m_fields.size() ? m_fields.at(index).trimmed() : QString();
    }
    int integer(int index, int fallback) const
    {
        const QString text = field(index);
        return text.isEmpty() ? fallback : text.toInt();
    }
    double decimal(int index) const
    {
        const double value = field(index).toDouble();
        return std::isfinite(value) ? value : 0.0;
    }
    int speed() const
    {
        const int value = integer(7, 4);
        return value < 1 || value > 7 ? 4 : value;
    }
    QString tip() const
    {
        return field(1) == QLatin1String("S") ? QStringLiteral("small") : QStringLiteral("large");
    }
    VolumeParts volume() const { return CsvParser::parseVolume(field(2)); }

private:
    QStringList m_fields;
};

void setVolume(VolumeCommand *command, const VolumeParts &parts)
{
    command->setVolumeWhole(parts.whole);
    command->setVolumeFractional(parts.fractional);
}

Command *buildCommand(const QString &keyword, const Row &row, QObject *parent)
{
    if (keyword == QLatin1String("ASPIRATE") || keyword == QLatin1String("AIRGAP")
        || keyword == QLatin1String("DISPENSE")) {
        auto *command = static_cast<TransferCommand *>(Command::create(keyword.toLower(), parent));
        command->setTip(row.tip());
        setVolume(command, row.volume());
        command->setExtraVolume(row.integer(3, 0));
        command->setSpeed(row.speed());
        return command;
    }
    if (keyword == QLatin1String("MIX")) {
        auto *command = new MixCommand(parent);
        command->setTip(row.tip());
        setVolume(command, row.volume());
        command->setCycles(row.integer(4, 1));
        command->setSpeed(row.speed());
        return command;
    }
    if (keyword == QLatin1String("REPEAT")) {
        // Field 2 holds the derived total, which follows from the two fields read here.
        auto *command = new RepeatCommand(parent);
        command->setTip(row.tip());
        command->setDispenseVolume(row.decimal(6));
        command->setReplicates(row.integer(5, 1));
        command->setSpeed(row.speed());
        return command;
    }
    if (keyword == QLatin1String("PURGE")) {
        auto *command = new PurgeCommand(parent);
        command->setTip(row.tip());
        command->setSpeed(row.speed());
        return command;
    }
    if (keyword == QLatin1String("TIPSELECT")) {
        auto *command = new TipSelectCommand(parent);
        command->setTip(row.tip());
        return command;
    }
    qDebug().noquote() << "CsvParser: unknown command type:" << keyword << "— skipped";
    return nullptr;
}

// firstLine is the text's line number of rows[0], for the warnings.
void readRows(const QStringList &rows, int *index, QList<Command *> *out, QObject *parent,
              int depth, int firstLine)
{
    while (*index < rows.size()) {
        const int at = *index;
        const QString &text = rows.at(at);
        if (text.trimmed().isEmpty()) {
            ++*index;
            continue;
        }
        const QString keyword = keywordOf(text);
        if (keyword == LoopEnd) {
            // Ending the reading here would drop every row after it without a word.
            qWarning().noquote() << QStringLiteral("CsvParser: LOOPEND at line %1 closes no "
                                                   "LOOPSTART; skipped")
                                        .arg(firstLine + at);
            ++*index;
            continue;
        }
        if (keyword == LoopStart) {
            const Row row(text);
            int iterations = row.integer(8, 1);
            if (iterations < 1)
                iterations = 1;
            const int end = matchingEnd(rows, at);
            *index = qMin(end + 1, rows.size());
            if (depth >= LoopCommand::MaxNestingDepth) {
                qWarning().noquote() << QStringLiteral("CsvParser: loop at line %1 nested deeper "
                                                       "than %2 levels; skipped with its body")
                                            .arg(firstLine + at)
                                            .arg(LoopCommand::MaxNestingDepth);
                continue;
            }
            // The body belongs to its loop, as everywhere else: with the body owned beside
            // the loop, whoever deleted the owner could free the steps under the loop.
            auto *loop = new LoopCommand(parent);
            loop->setIterations(iterations);
            const QStringList bodyRows = rows.mid(at + 1, end - at - 1);
            QList<Command *> body;
            int bodyIndex = 0;
            readRows(bodyRows, &bodyIndex, &body, loop, depth + 1, firstLine + at + 1);
            for (Command *command : qAsConst(body))
                loop->appendInnerCommand(command);
            out->append(loop);
            continue;
        }
        ++*index;
        if (Command *command = buildCommand(keyword, Row(text), parent))
            out->append(command);
    }
}

} // namespace

namespace CsvParser {

QList<Command *> parse(const QString &csv, QObject *parent, QString *error)
{
    if (error)
        error->clear();
    // Empty rows stay in the list so that a warning names the line an editor shows;
    // the reading steps over them.
    const QStringList rows = csv.split(QLatin1Char('\n'));
    if (const int line = tooDeepLine(rows)) {
        qWarning().noquote() << QStringLiteral("CsvParser: loops nested deeper than %1 levels "
                                               "at line %2; the method is refused")
                                    .arg(LoopCommand::MaxNestingDepth)
                                    .arg(line);
        // An empty list alone would read as an empty method, which a caller could save
        // back over the instrument's file.
        if (error) {
            *error = QStringLiteral("Loops nested deeper than %1 levels at line %2")
                         .arg(LoopCommand::MaxNestingDepth)
                         .arg(line);
        }
        return {};
    }
    QList<Command *> commands;
    int index = 0;
    readRows(rows, &index, &commands, parent, 0, 1);
    return commands;
}

void parseRows(const QStringList &rows, int *index, QList<Command *> *out, QObject *parent)
{
    if (index && out)
        readRows(rows, index, out, parent, 0, 1);
}

VolumeParts parseVolume(const QString &text)
{
    VolumeParts parts;
    if (text.isEmpty())
        return parts;
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !VolumeParts::holdsWhole(value))
        return parts;
    parts.whole = int(value);
    parts.fractional = int(std::round((value - parts.whole) * 10.0));
    return parts;
}

} // namespace CsvParser
