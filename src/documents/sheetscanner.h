#pragma once

#include <QByteArray>

struct ParsedWorkbook;

// Reads the measurement sheet's rows into parsed->weights and parsed->zFactor, straight
// from the part's UTF-8 bytes. A busy export holds megabytes of cells that are never
// looked at, and a general XML reader spends most of its time turning them into UTF-16.
// False for XML that is not well-formed, that nests deeper than any sheet does, that has
// a DTD, or that is declared in an encoding other than UTF-8.
bool scanMeasurementSheet(const QByteArray &xml, ParsedWorkbook *parsed);
