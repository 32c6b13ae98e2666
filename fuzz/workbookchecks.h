#pragma once

// What the workbook reader must hold to for any bytes at all: one of its known messages,
// or weights that are all finite numbers. An input that does not start like a zip archive
// is taken as the text of a measurement sheet (and, after NUL bytes, of the workbook's
// sheet list and relationships) and packed into a sound archive first, so the fuzzer
// reaches the XML readers without having to forge CRCs. That sheet text is also read by
// the QXmlStreamReader the importer once used, and the two must agree. The fuzz target
// aborts on a broken promise, and tst_fuzzregressions replays the kept inputs through the
// same check.

#include "documents/certificationmanager.h"
#include "documents/sheetscanner.h"
#include "referencesheetreader.h"
#include "testzip.h"

#include <QRegularExpression>

#include <cmath>

namespace WorkbookChecks {

inline QByteArray packed(const QByteArray &input)
{
    const QList<QByteArray> texts = input.split('\0');
    QList<TestZip::Part> parts = TestZip::workbook(QByteArray());
    for (int i = 0; i < texts.size() && i < 3; ++i)
        parts[(i + 2) % 3] = TestZip::part(parts[(i + 2) % 3].name, texts.at(i), 0);
    return TestZip::archive(parts);
}

// Where QXmlStreamReader reads a sheet, the scanner must read the same rows from it,
// except that it refuses on purpose a sheet in another encoding than UTF-8 and one nested
// deeper than 64 elements. Where QXmlStreamReader refuses, the scanner mostly does too;
// it reads on past what costs too much to check or never changes a row: names with
// characters outside XML's name classes, an attribute other than r and t given twice,
// two prefixes bound to one namespace on one attribute name.
inline QString checkSheet(const QByteArray &xml)
{
    ParsedWorkbook reference, scanned;
    ReferenceSheet::Reader reader;
    const bool referenceRead = reader.read(xml, &reference);
    const bool scannerRead = scanMeasurementSheet(xml, &scanned);
    if (!referenceRead)
        return QString();
    const QString encoding = reader.encoding().toLower().remove(QLatin1Char('-')).remove(QLatin1Char('_'));
    const bool wide = xml.startsWith("\xFF\xFE") || xml.startsWith("\xFE\xFF") || xml.startsWith(QByteArray("\0\0\xFE\xFF", 4));
    if (!scannerRead)
        return (!encoding.isEmpty() && encoding != QLatin1String("utf8")) || wide || reader.deepest() > 64
                   ? QString()
                   : QStringLiteral("the scanner refused a sheet QXmlStreamReader reads");
    if (scanned.weights != reference.weights)
        return QStringLiteral("the scanner read other weights than QXmlStreamReader");
    if (scanned.zFactor != reference.zFactor)
        return QStringLiteral("the scanner read Z factor %1, QXmlStreamReader %2").arg(scanned.zFactor).arg(reference.zFactor);
    return QString();
}

inline QString checkWorkbook(const QByteArray &input)
{
    static const QRegularExpression knownMessage(QStringLiteral(
        "^(Not a readable \\.xlsx archive: fuzz\\.xlsx"
        "|Could not locate the 'Measurements' sheet in the workbook\\."
        "|Worksheet part is empty: [^/\\\\][^\\\\]*"
        "|No measurement rows found in the 'Measurements' sheet\\.)$"));

    if (!input.startsWith("PK")) {
        const QString difference = checkSheet(input.split('\0').constFirst());
        if (!difference.isEmpty())
            return difference;
    }
    const QByteArray bytes = input.startsWith("PK") ? input : packed(input);
    const ParsedWorkbook parsed = CertificationManager::parseWorkbookData(bytes, QStringLiteral("fuzz.xlsx"));
    if (!parsed.ok)
        return knownMessage.match(parsed.message).hasMatch() ? QString() : QStringLiteral("unexpected message: ") + parsed.message;
    if (parsed.weights.isEmpty())
        return QStringLiteral("read without a single weight");
    if (!std::isfinite(parsed.zFactor))
        return QStringLiteral("Z factor is not a finite number");
    for (auto it = parsed.weights.constBegin(); it != parsed.weights.constEnd(); ++it) {
        for (const double weight : it.value()) {
            if (!std::isfinite(weight))
                return QStringLiteral("weight at %1 µL is not a finite number").arg(it.key());
        }
        CertificationManager::computePoint(it.key(), it.value(), parsed.zFactor);
    }
    return QString();
}

} // namespace WorkbookChecks
