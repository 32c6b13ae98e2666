#include "formats/splparser.h"

#include "model/commands.h"

#include <cmath>

namespace {

// The blanks that end a value: ASCII white space, as in a hand-written file.
bool isBlank(QChar c)
{
    const ushort u = c.unicode();
    return u == ' ' || (u >= '\t' && u <= '\r');
}

VolumeParts volumeOf(const QString &text)
{
    bool ok = false;
    double value = text.toDouble(&ok);
    if (!ok || !VolumeParts::holdsWhole(value))
        value = 0.0;
    VolumeParts parts;
    parts.whole = int(value);
    // Tenths rounded half away from zero, so "-1.5" reads as written, like "1.5".
    const double tenths = (value - parts.whole) * 10.0;
    parts.fractional = int(tenths + (tenths < 0 ? -0.5 : 0.5));
    return parts;
}

double decimalOf(const QString &text)
{
    const double value = text.toDouble();
    return std::isfinite(value) ? value : 0.0;
}

int integerOf(const QString &text)
{
    return text.toInt();
}

void setVolume(VolumeCommand *command, const QString &text)
{
    const VolumeParts parts = volumeOf(text);
    command->setVolumeWhole(parts.whole);
    command->setVolumeFractional(parts.fractional);
}

} // namespace

SplParser::SplParser(QObject *parent) : QObject(parent) {}

QString SplParser::printableName(const QString &text)
{
    QString name = text;
    for (QChar &c : name) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return name.trimmed();
}

bool SplParser::parse(const QString &text, QString *name, QList<Command *> *commands,
                      QString *error) const
{
    QString ownName;
    QString ownError;
    QList<Command *> ownCommands;
    QList<Command *> *out = commands ? commands : &ownCommands;
    if (!name)
        name = &ownName;
    if (!error)
        error = &ownError;

    // Empty lines stay in the list, so that a message names the line an editor shows.
    // A lone carriage return ends a line too (files from old Mac tools); in a CR LF pair
    // it is left to the trimming, so that such a file counts its lines as before.
    QString unified = text;
    for (int i = unified.indexOf(QLatin1Char('\r')); i >= 0; i = unified.indexOf(QLatin1Char('\r'), i + 1)) {
        if (i + 1 >= unified.size() || unified.at(i + 1) != QLatin1Char('\n'))
            unified[i] = QLatin1Char('\n');
    }
    const QStringList lines = unified.split(QLatin1Char('\n'));
    int index = 0;
    while (index < lines.size() && lines.at(index).trimmed().isEmpty())
        ++index;

    bool ok = true;
    if (index == lines.size()) {
        name->clear();
    } else {
        const QString header = lines.at(index).trimmed();
        if (!header.startsWith(QLatin1String("protocol name:"))) {
            *error = QStringLiteral("SPL file must start with 'protocol name:'");
            ok = false;
        } else {
            *name = printableName(header.mid(14));
            ++index;
            ok = readBlock(lines, &index, out, error, 0);
        }
    }
    if (ok)
        error->clear();
    qDeleteAll(ownCommands);
    return ok;
}

bool SplParser::parseBlock(const QStringList &lines, int *index, QList<Command *> *out,
                           QString *error, bool inLoop) const
{
    return readBlock(lines, index, out, error, inLoop ? 1 : 0);
}

bool SplParser::readBlock(const QStringList &lines, int *index, QList<Command *> *out,
                          QString *error, int depth) const
{
    while (*index < lines.size()) {
        const int lineNumber = *index + 1;
        const QString line = lines.at(*index).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
            ++*index;
            continue;
        }
        if (line == QLatin1String("endloop")) {
            if (depth > 0) {
                ++*index;
                return true;
            }
            *error = QStringLiteral("Unexpected 'endloop' at line %1").arg(lineNumber);
            return false;
        }
        if (line.startsWith(QLatin1String("loop "))) {
            bool ok = false;
            const int iterations = line.mid(5).trimmed().toInt(&ok);
            if (!ok || iterations < 1 || iterations > 10) {
                *error = QStringLiteral("Invalid loop iterations at line %1").arg(lineNumber);
                return false;
            }
            if (depth >= LoopCommand::MaxNestingDepth) {
                *error = QStringLiteral("Loops nested deeper than %1 levels at line %2")
                             .arg(LoopCommand::MaxNestingDepth)
                             .arg(lineNumber);
                return false;
            }
            ++*index;
            QList<Command *> body;
            if (!readBlock(lines, index, &body, error, depth + 1)) {
                qDeleteAll(body);
                return false;
            }
            auto *loop = new LoopCommand;
            loop->setIterations(iterations);
            for (Command *command : qAsConst(body)) {
                command->setParent(loop);
                loop->appendInnerCommand(command);
            }
            out->append(loop);
            continue;
        }
        QString message;
        Command *command = parseCommandLine(line, &message);
        if (!command) {
            *error = QStringLiteral("Error at line %1: %2").arg(QString::number(lineNumber), message);
            return false;
        }
        out->append(command);
        ++*index;
    }
    if (depth > 0) {
        *error = QStringLiteral("Loop missing 'endloop'");
        return false;
    }
    return true;
}

Command *SplParser::parseCommandLine(const QString &line, QString *error) const
{
    int start = 0;
    while (start < line.size() && line.at(start) == QLatin1Char(' '))
        ++start;
    if (start == line.size()) {
        if (error)
            *error = QStringLiteral("Empty command line");
        return nullptr;
    }
    int end = line.indexOf(QLatin1Char(' '), start);
    if (end < 0)
        end = line.size();
    const QString keyword = line.mid(start, end - start);

    if (keyword == QLatin1String("aspirate") || keyword == QLatin1String("airgap")
        || keyword == QLatin1String("dispense")) {
        auto *command = static_cast<TransferCommand *>(Command::create(keyword));
        command->setTip(valueOf(line, QStringLiteral("tip")));
        command->setSpeed(integerOf(valueOf(line, QStringLiteral("speed"))));
        command->setExtraVolume(integerOf(valueOf(line, QStringLiteral("xvol"))));
        setVolume(command, valueOf(line, QStringLiteral("vol")));
        return command;
    }
    if (keyword == QLatin1String("mix")) {
        auto *command = new MixCommand;
        command->setTip(valueOf(line, QStringLiteral("tip")));
        command->setSpeed(integerOf(valueOf(line, QStringLiteral("speed"))));
        command->setCycles(integerOf(valueOf(line, QStringLiteral("cycles"))));
        setVolume(command, valueOf(line, QStringLiteral("vol")));
        return command;
    }
    if (keyword == QLatin1String("repeat")) {
        // "vol" is there for the reader's eye only: a Repeat's volume is derived.
        auto *command = new RepeatCommand;
        command->setTip(valueOf(line, QStringLiteral("tip")));
        command->setSpeed(integerOf(valueOf(line, QStringLiteral("speed"))));
        command->setDispenseVolume(decimalOf(valueOf(line, QStringLiteral("dispense"))));
        command->setReplicates(integerOf(valueOf(line, QStringLiteral("replicates"))));
        return command;
    }
    if (keyword == QLatin1String("purge")) {
        auto *command = new PurgeCommand;
        command->setTip(valueOf(line, QStringLiteral("tip")));
        command->setSpeed(integerOf(valueOf(line, QStringLiteral("speed"))));
        return command;
    }
    if (keyword == QLatin1String("tipselect")) {
        auto *command = new TipSelectCommand;
        command->setTip(valueOf(line, QStringLiteral("tip")));
        return command;
    }
    if (error)
        *error = QStringLiteral("Unknown command type: %1").arg(keyword);
    return nullptr;
}

QString SplParser::valueOf(const QString &line, const QString &key)
{
    if (key.isEmpty())
        return QString();
    const int size = line.size();
    int from = 0;
    for (;;) {
        const int at = line.indexOf(key, from);
        if (at < 0)
            return QString();
        from = at + 1;
        if (at > 0 && !isBlank(line.at(at - 1)))
            continue;
        const int colon = at + key.size();
        if (colon >= size || line.at(colon) != QLatin1Char(':'))
            continue;
        int end = colon + 1;
        while (end < size && !isBlank(line.at(end)))
            ++end;
        if (end > colon + 1)
            return line.mid(colon + 1, end - colon - 1);
    }
}
