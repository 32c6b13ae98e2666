#include "documents/calibrationpdf.h"

#include <cmath>

namespace {

const QString Dash = QStringLiteral("—");

double tolerance(double target)
{
    if (target == 1)
        return 20;
    return target == 2 || target == 100 ? 10 : 5;
}

QString measurementRow(const QVariantMap &row, int i)
{
    const double t = row.value(QStringLiteral("target")).toDouble();
    const double m = row.value(QStringLiteral("average")).toDouble();
    const double d = t > 0 ? (m - t) / t * 100 : 0;
    const bool onTarget = t > 0 && std::abs(d) < 0.005;
    const double tol = tolerance(t);
    QString deviation = Dash;
    if (onTarget)
        deviation = QStringLiteral("&#x2713;");
    else if (t > 0)
        deviation = QStringLiteral("<b>%1%2%</b>").arg(d >= 0 ? QStringLiteral("+") : QString()).arg(d, 0, 'f', 2);
    const QString devClass = t <= 0 || onTarget ? QStringLiteral("dev-zero")
                             : std::abs(d) <= tol ? QStringLiteral("dev-pass") : QStringLiteral("dev-review");
    const auto number = [&row](const char *key) {
        return QString::number(row.value(QString::fromLatin1(key)).toDouble(), 'f', 3);
    };
    // Eight cells, one under each header.
    return QStringLiteral("<tr%1>"
                          "<td class=\"right mono\">%2</td><td class=\"right mono\">%3</td>"
                          "<td class=\"right mono\">%4</td><td class=\"right mono\">%5</td>"
                          "<td class=\"right mono\">%6</td><td class=\"right mono\"><b>%7</b></td>"
                          "<td class=\"right %8\">%9</td><td class=\"right\">%10</td></tr>\n")
        .arg(i % 2 == 1 ? QStringLiteral(" class=\"alt\"") : QString(), QString::number(t, 'f', 0),
             t > 0 ? QStringLiteral("±%1%").arg(tol, 0, 'f', 0) : Dash, number("rep1"), number("rep2"), number("rep3"),
             number("average"), devClass, deviation)
        .arg(CertificateWriter::shown(row.value(QStringLiteral("newCoef")).toString()));
}

} // namespace

CalibrationPdf::CalibrationPdf(QObject *parent)
    : CertificateWriter(parent)
{
}

QString CalibrationPdf::proposedFileName(const QVariantMap &data)
{
    const QString serial = text(data, "serialNumber");
    return QStringLiteral("Cal_%1_%2_%3.pdf")
        .arg(serial.isEmpty() ? QStringLiteral("device") : fileNamePart(serial), fileNamePart(text(data, "calDate")),
             fileNamePart(text(data, "tipSize").toLower()));
}

bool CalibrationPdf::generate(const QVariantMap &data)
{
    return saveAndOpen(text(data, "serialNumber"), proposedFileName(data), QStringLiteral("Save Calibration Certificate"),
                       [&](const QString &path) { return generateToFile(data, path); });
}

bool CalibrationPdf::generateToFile(const QVariantMap &data, const QString &filePath)
{
    const Page page{QStringLiteral("Calibration Certificate %1").arg(text(data, "serialNumber")), QMarginsF(18, 18, 18, 18),
                    QStringLiteral("CAL PDF:")};
    return writePdf(buildHtml(data), filePath, page);
}

QString CalibrationPdf::buildHtml(const QVariantMap &data) const
{
    const QString style = QStringLiteral(
        "body { font-family: Arial, Helvetica, sans-serif; font-size: 9pt; color: #212121; }"
        "h1 { font-size: 17pt; font-weight: bold; color: #1565c0; margin: 6px 0 2px 0; }"
        ".section { font-size: 11pt; font-weight: bold; color: #1565c0; margin-top: 14px; margin-bottom: 4px; }"
        "table { width: 100%; border-collapse: collapse; }"
        "th { background-color: #e3f2fd; color: #1565c0; font-size: 8.5pt; border: 1px solid #bbdefb; padding: 4px; }"
        "td { font-size: 8.5pt; border: 1px solid #e0e0e0; padding: 4px; }"
        "tr.alt { background-color: #fafafa; }"
        ".meta { color: #757575; width: 180px; }"
        ".right { text-align: right; }"
        ".mono { font-family: 'Courier New', monospace; }"
        ".dev-pass { color: #2e7d32; } .dev-review { color: #c62828; } .dev-zero { color: #9e9e9e; }");
    const QString calDate = shown(text(data, "calDate"));
    const QString heading = headingHtml(QStringLiteral("Calibration Certificate"))
                            + QStringLiteral("<p style=\"font-size: 8.5pt; color: #546e7a;\">Calibration date: %1</p>").arg(calDate);
    const QString device = labelSection(QStringLiteral("Device Information"),
                                        labelRow(QStringLiteral("Device Name"), shown(text(data, "deviceName")))
                                            + labelRow(QStringLiteral("Serial Number"), shown(text(data, "serialNumber")))
                                            + labelRow(QStringLiteral("Firmware Version"), shown(text(data, "firmwareVersion")))
                                            + labelRow(QStringLiteral("Calibration Date"), calDate)
                                            + labelRow(QStringLiteral("Tip Size"), shown(text(data, "tipSize"))));
    const QString unit = text(data, "temperatureUnit");
    const QString environment = environmentHtml(data, unit.isEmpty() ? QStringLiteral("°C") : unit);
    QString rows;
    const QVariantList list = data.value(QStringLiteral("rows")).toList();
    for (int i = 0; i < list.size(); ++i)
        rows += measurementRow(list.at(i).toMap(), i);
    const QString measurements = QStringLiteral(
        "<p class=\"section\">Measurements &amp; Results</p><table width=\"100%\" cellspacing=\"0\" cellpadding=\"4\"><tr><th>Target (µL)</th><th>Tolerance</th><th>Rep 1</th>"
        "<th>Rep 2</th><th>Rep 3</th><th>Mean (µL)</th><th>Deviation</th><th>New Steps</th></tr>\n%1</table>"
        "<p style=\"font-size: 7.5pt; color: #757575;\"><span style=\"color: #2e7d32;\">&#9632;</span> Pass — within "
        "tolerance &nbsp;&nbsp; <span style=\"color: #c62828;\">&#9632;</span> Review — outside tolerance</p>").arg(rows);
    return QStringLiteral("<html><head><style>%1</style></head>\n<body>%2%3%4%5%6</body></html>")
        .arg(style, heading, device, environment, measurements, footerHtml());
}
