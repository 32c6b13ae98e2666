#pragma once

// What the workbook reader must hold to for any bytes at all: one of its known messages,
// or weights that are all finite numbers. An input that does not start like a zip archive
// is taken as the text of a measurement sheet (and, after NUL bytes, of the workbook's
// sheet list and relationships) and packed into a sound archive first, so the fuzzer
// reaches the XML readers without having to forge CRCs. The fuzz target aborts on a
// broken promise, and tst_fuzzregressions replays the kept inputs through the same check.

#include "documents/certificationmanager.h"
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

inline QString checkWorkbook(const QByteArray &input)
{
    static const QRegularExpression knownMessage(QStringLiteral(
        "^(Not a readable \\.xlsx archive: fuzz\\.xlsx"
        "|Could not locate the 'Measurements' sheet in the workbook\\."
        "|Worksheet part is empty: [^/\\\\][^\\\\]*"
        "|No measurement rows found in the 'Measurements' sheet\\.)$"));

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
