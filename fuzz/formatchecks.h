#pragma once

// What the method readers must hold to for any text at all: the fuzz targets abort on a
// broken promise, and tst_fuzzregressions replays the kept inputs through the same checks.

#include "formats/csvgenerator.h"
#include "formats/csvparser.h"
#include "formats/splgenerator.h"
#include "formats/splparser.h"
#include "model/commands.h"

#include <QCoreApplication>
#include <QEvent>
#include <QRegularExpression>

namespace FormatChecks {

// A loop deletes its body later; run those deletions so that nothing looks leaked.
inline void drainDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

inline void deleteAll(QList<Command *> *commands)
{
    qDeleteAll(*commands);
    commands->clear();
    drainDeferredDeletes();
}

// Every stored form must rebuild into a command with the same stored form.
inline QString checkVariantMaps(const QList<Command *> &commands)
{
    for (const Command *command : commands) {
        const QVariantMap map = command->toVariantMap();
        Command *rebuilt = Command::fromVariantMap(map);
        const bool same = rebuilt && rebuilt->toVariantMap() == map;
        delete rebuilt;
        drainDeferredDeletes();
        if (!same)
            return QStringLiteral("stored form of a %1 does not rebuild").arg(command->type());
    }
    return QString();
}

// Empty when the SPL reader and writer hold up on this input, else what went wrong.
inline QString checkSpl(const QByteArray &input)
{
    static const QRegularExpression knownMessage(
        QStringLiteral("^(SPL file must start with 'protocol name:'"
                       "|Unexpected 'endloop' at line (\\d+)"
                       "|Invalid loop iterations at line (\\d+)"
                       "|Error at line (\\d+): (Unknown command type: .+|Empty command line)"
                       "|Loop missing 'endloop'"
                       "|Loops nested deeper than 64 levels at line (\\d+))$"),
        QRegularExpression::DotMatchesEverythingOption);

    const QString text = QString::fromUtf8(input);
    SplParser parser;
    SplGenerator generator;
    QString name;
    QString error;
    QList<Command *> commands;
    if (!parser.parse(text, &name, &commands, &error)) {
        deleteAll(&commands);
        const QRegularExpressionMatch match = knownMessage.match(error);
        if (!match.hasMatch())
            return QStringLiteral("unexpected message: ") + error;
        const int lines = text.count(QLatin1Char('\n')) + 1;
        for (int group = 2; group <= match.lastCapturedIndex(); ++group) {
            const QString number = match.captured(group);
            if (!number.isEmpty() && number.at(0).isDigit() && number.toInt() > lines)
                return QStringLiteral("message names a line past the end: ") + error;
        }
        return QString();
    }

    QString problem = checkVariantMaps(commands);
    // Written text must read back, and after one pass through the format (which rounds
    // to tenths) writing and reading must be stable.
    QString written = generator.generate(name, commands);
    deleteAll(&commands);
    QString previous;
    for (int pass = 0; pass < 2 && problem.isEmpty(); ++pass) {
        if (!parser.parse(written, &name, &commands, &error)) {
            problem = QStringLiteral("written text does not read back: ") + error;
            break;
        }
        previous = written;
        written = generator.generate(name, commands);
        deleteAll(&commands);
    }
    if (problem.isEmpty() && written != previous)
        problem = QStringLiteral("writing is not stable:\n") + previous + QStringLiteral("\n---\n")
                  + written;
    deleteAll(&commands);
    return problem;
}

// Empty when the CSV reader and writer hold up on this input, else what went wrong.
inline QString checkCsv(const QByteArray &input)
{
    // An owner for everything read: a loop read without one leaves its body to be deleted
    // one level per turn of the event loop.
    QObject owner;
    CsvGenerator generator;
    QString refusal;
    QList<Command *> commands = CsvParser::parse(QString::fromUtf8(input), &owner, &refusal);
    QString problem = checkVariantMaps(commands);
    if (problem.isEmpty() && !refusal.isEmpty() && !commands.isEmpty())
        problem = QStringLiteral("refused the text (") + refusal + QStringLiteral(") yet read it");
    QString written = generator.generate(QString(), QString(), commands);
    deleteAll(&commands);
    QString previous;
    for (int pass = 0; pass < 2 && problem.isEmpty(); ++pass) {
        commands = CsvParser::parse(written, &owner, &refusal);
        if (!refusal.isEmpty())
            problem = QStringLiteral("refused its own writing: ") + refusal;
        previous = written;
        written = generator.generate(QString(), QString(), commands);
        deleteAll(&commands);
    }
    if (problem.isEmpty() && written != previous)
        problem = QStringLiteral("writing is not stable:\n") + previous + QStringLiteral("\n---\n")
                  + written;
    return problem;
}

} // namespace FormatChecks
