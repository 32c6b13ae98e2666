#pragma once

#include "model/volumeparts.h"

#include <QList>
#include <QStringList>

class Command;
class QObject;

// Reads the instrument's CSV back into commands. Rows it cannot use are skipped, missing or
// empty fields take defaults; the one thing it refuses is text nested too deep to walk.
namespace CsvParser {

// The returned commands get parent as their owner (with none, the caller deletes them);
// a loop's body belongs to the loop.
// Text with loops nested deeper than LoopCommand::MaxNestingDepth is refused whole: the list
// is empty, a warning is logged and *error (when given) holds the sentence to show the user,
// "Loops nested deeper than 64 levels at line N". An empty list with an empty *error is an
// empty method. A caller about to load the result over a real method must check *error, or
// it would load and could save back an empty method in its place.
QList<Command *> parse(const QString &csv, QObject *parent = nullptr, QString *error = nullptr);
// Reads rows from *index to the end of the list. A LOOPEND that closes no LOOPSTART is
// skipped with a warning, and the rows after it are read. Unlike parse, it refuses nothing:
// a loop nested deeper than LoopCommand::MaxNestingDepth is dropped with its body (with a
// warning) and the rows around it are kept, so check the text with parse when the whole
// method matters.
void parseRows(const QStringList &rows, int *index, QList<Command *> *out, QObject *parent);
VolumeParts parseVolume(const QString &text);

} // namespace CsvParser
