#pragma once

#include "model/volumeparts.h"

#include <QList>
#include <QStringList>

class Command;
class QObject;

// Reads the instrument's CSV back into commands. It never fails: rows it cannot use are
// skipped, missing or empty fields take defaults.
namespace CsvParser {

// The returned commands get parent as their owner (with none, the caller deletes them);
// a loop's body belongs to the loop. Text with loops nested deeper than
// LoopCommand::MaxNestingDepth is refused whole (empty list, with a warning).
QList<Command *> parse(const QString &csv, QObject *parent = nullptr);
// Reads rows from *index to the end of the list. A LOOPEND that closes no LOOPSTART is
// skipped with a warning, and the rows after it are read.
void parseRows(const QStringList &rows, int *index, QList<Command *> *out, QObject *parent);
VolumeParts parseVolume(const QString &text);

} // namespace CsvParser
