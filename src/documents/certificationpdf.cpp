#include "documents/certificationpdf.h"

#include <QDate>

namespace {

const QString ModelName = QStringLiteral("Nerra Full-Range Electronic Pipette");

// The date the certificate carries: the one given, else today.
QVariantMap withDate(QVariantMap data)
{
    if (data.value(QStringLiteral("date")).toString().isEmpty())
        data.insert(QStringLiteral("date"), QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
    return data;
}

QString verdictCell(bool pass)
{
    return QStringLiteral("<td class=\"%1\">%2%</td>").arg(pass ? QStringLiteral("pass") : QStringLiteral("fail"));
}

QString resultRow(const QVariantMap &row)
{
    const auto number = [&row](const char *key) { return row.value(QString::fromLatin1(key)).toDouble(); };
    const auto pass = [&row](const char *key) { return row.value(QString::fromLatin1(key)).toBool(); };
    return QStringLiteral("<tr><td class=\"vol\">%1 µL</td><td class=\"tip\">%2</td>"
                          "<td class=\"spec\">&plusmn; %3%</td>%4<td class=\"spec\">&plusmn; %5%</td>%6</tr>\n")
        .arg(QString::number(qRound(number("cp"))), CertificateWriter::shown(CertificateWriter::text(row, "tipMode")),
             QString::number(number("systematicSpec"), 'g', 4),
             verdictCell(pass("systematicPass")).arg(number("systematicPct"), 0, 'f', 2),
             QString::number(number("randomSpec"), 'g', 4),
             verdictCell(pass("randomPass")).arg(number("randomPct"), 0, 'f', 2));
}

QString resultsTable(const QVariantMap &data)
{
    QString rows;
    for (const QVariant &row : data.value(QStringLiteral("results")).toList())
        rows += resultRow(row.toMap());
    return QStringLiteral(
               "<p class=\"section\">Volume Accuracy and Reproducibility</p>"
               "<table class=\"res\" width=\"100%\" cellspacing=\"0\" cellpadding=\"4\">"
               "<tr><th rowspan=\"2\">Volume Setting</th><th rowspan=\"2\">Tip Mode</th>"
               "<th colspan=\"2\">Systematic Error (Accuracy)</th><th colspan=\"2\">Random Error (Precision)</th></tr>"
               "<tr><th>Specification</th><th>Actual Value</th><th>Specification</th><th>Actual Value</th></tr>\n%1</table>")
        .arg(rows);
}

} // namespace

CertificationPdf::CertificationPdf(QObject *parent)
    : CertificateWriter(parent)
{
}

QString CertificationPdf::proposedFileName(const QVariantMap &data)
{
    const QVariantMap dated = withDate(data);
    const QString serial = text(dated, "serialNumber");
    return QStringLiteral("Nerra_QA_Certificate_%1_%2.pdf")
        .arg(serial.isEmpty() ? QStringLiteral("device") : fileNamePart(serial), fileNamePart(text(dated, "date")));
}

bool CertificationPdf::generate(const QVariantMap &data)
{
    return saveAndOpen(text(data, "serialNumber"), proposedFileName(data), QStringLiteral("Save Certificate of Quality Assurance"),
                       [&](const QString &path) { return generateToFile(data, path); });
}

bool CertificationPdf::generateToFile(const QVariantMap &data, const QString &filePath)
{
    const Page page{QStringLiteral("Certificate of Quality Assurance %1").arg(text(data, "serialNumber")),
                    QMarginsF(20, 14, 20, 14), QStringLiteral("CERT PDF:")};
    return writePdf(buildHtml(data), filePath, page);
}

QString CertificationPdf::buildHtml(const QVariantMap &given) const
{
    const QVariantMap data = withDate(given);
    const QString style = QStringLiteral(
        "body { font-family: Arial, Helvetica, sans-serif; font-size: 9pt; color: #212121; }"
        "h1 { font-size: 16pt; font-weight: bold; color: #1565c0; margin: 6px 0 2px 0; }"
        "p { margin-bottom: 6px; line-height: 128%; }"
        ".intro { font-size: 9pt; color: #424242; }"
        ".section { font-size: 11pt; font-weight: bold; color: #1565c0; margin-top: 12px; margin-bottom: 4px; }"
        ".meta { color: #757575; width: 200px; padding-right: 32px; }"
        "table.res { width: 100%; border-collapse: collapse; }"
        "th { background-color: #e3f2fd; color: #1565c0; font-size: 8pt; text-align: center; border: 1px solid #bbdefb; }"
        "table.res td { font-size: 9pt; border: 1px solid #e0e0e0; }"
        "td.vol { font-weight: bold; }"
        "td.tip { color: #546e7a; }"
        "td.spec { color: #546e7a; text-align: center; }"
        "td.pass { color: #2e7d32; font-weight: bold; text-align: center; }"
        "td.fail { color: #c62828; font-weight: bold; text-align: center; }");
    const QString heading = headingHtml(QStringLiteral("Certificate of Quality Assurance")) + QStringLiteral(
        "<p class=\"intro\">Vellora Inc. certifies that the enclosed full-range pipette has been inspected, tested and "
        "validated before shipment. Every volume setting was tested gravimetrically on a microbalance traceable to "
        "national standards.</p>"
        "<p class=\"intro\">ISO 8655 evaluates a pipette and its tip as one system, so the results below hold for "
        "Vellora pipette tips, which we recommend. If you use universal tips, please confirm accuracy and precision "
        "with those tips yourself.</p>");
    const QString identity = QStringLiteral("<table width=\"100%\" cellspacing=\"0\" cellpadding=\"4\">%1</table>")
        .arg(labelRow(QStringLiteral("Model"), ModelName.toHtmlEscaped())
             + labelRow(QStringLiteral("Serial Number"), shown(text(data, "serialNumber")))
             + labelRow(QStringLiteral("Volume Range"), QStringLiteral("1&ndash;1000 µL"))
             + labelRow(QStringLiteral("Date"), shown(text(data, "date")))
             + labelRow(QStringLiteral("Technician"), shown(text(data, "technician"))));
    const bool pass = data.value(QStringLiteral("volumeAccuracyPass")).toBool();
    const QString verdict = labelSection(QStringLiteral("Test Result"),
        labelRow(QStringLiteral("Volume Accuracy and Reproducibility Tests"),
                 QStringLiteral("<span style=\"font-weight: bold; color: %1;\">%2</span>")
                     .arg(pass ? QStringLiteral("#2e7d32") : QStringLiteral("#c62828"),
                          pass ? QStringLiteral("Pass") : QStringLiteral("Fail"))));
    return QStringLiteral("<html><head><style>%1</style></head><body>%2%3%4%5%6</body></html>")
        .arg(style, heading + identity, environmentHtml(data, QStringLiteral("°C")), verdict, resultsTable(data), footerHtml());
}
