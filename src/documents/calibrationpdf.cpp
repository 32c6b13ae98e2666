#include "documents/calibrationpdf.h"

#include "app/buildinfo.h"
#include "app/filedialoghelper.h"
#include "app/mfgmanager.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QDebug>
#include <QImage>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>
#include <QUrl>

#include <cmath>

namespace {

const QString Dash = QStringLiteral("—");

// Every value comes from outside (the instrument, a field): shown as text, never as markup.
QString shown(const QString &value)
{
    return value.isEmpty() ? Dash : value.toHtmlEscaped();
}

QString text(const QVariantMap &data, const char *key)
{
    return data.value(QString::fromLatin1(key)).toString();
}

QString labelRow(const QString &label, const QString &value)
{
    return QStringLiteral("<tr><td class=\"meta\">%1</td><td>%2</td></tr>").arg(label, value);
}

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
        .arg(shown(row.value(QStringLiteral("newCoef")).toString()));
}

} // namespace

// The logo lives in this static library's own resources, which a program linking it
// registers only when asked.
static void initDocumentResources()
{
    Q_INIT_RESOURCE(documents);
}

CalibrationPdf::CalibrationPdf(QObject *parent)
    : QObject(parent)
{
    initDocumentResources();
}

void CalibrationPdf::setMfgManager(MfgManager *mfgManager)
{
    m_mfgManager = mfgManager;
}

void CalibrationPdf::setDocumentUi(DocumentUi *ui)
{
    m_ui = ui;
}

QString CalibrationPdf::fileNamePart(const QString &text)
{
    QString part;
    for (const QChar c : text)
        part += c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char('.') ? c : QLatin1Char('_');
    // No "..", and no hidden file.
    part.replace(QStringLiteral(".."), QStringLiteral("_"));
    if (part.startsWith(QLatin1Char('.')))
        part[0] = QLatin1Char('_');
    return part;
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
    const QString serial = text(data, "serialNumber");
    const bool mfg = m_mfgManager && m_mfgManager->mfgMode();
    const QString folder = FileDialogHelper::certificationsDirForSerial(serial, mfg);
    const QString path = ui()->askSavePath(QStringLiteral("Save Calibration Certificate"),
                                           folder + QLatin1Char('/') + proposedFileName(data),
                                           QStringLiteral("PDF Files (*.pdf)"));
    if (path.isEmpty() || !generateToFile(data, path))
        return false;
    ui()->openDocument(path);
    return true;
}

bool CalibrationPdf::generateToFile(const QVariantMap &data, const QString &filePath)
{
    if (filePath.isEmpty())
        return false;
    // Rendered in memory (a page is some tens of kilobytes), then written beside the old
    // certificate and put in its place only when every byte reached the disk.
    QBuffer pdf;
    pdf.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&pdf);
        writer.setResolution(1200);
        writer.setPageSize(QPageSize(QPageSize::Letter));
        writer.setPageMargins(QMarginsF(18, 18, 18, 18), QPageLayout::Millimeter);
        writer.setTitle(QStringLiteral("Calibration Certificate %1").arg(text(data, "serialNumber")));
        writer.setCreator(QStringLiteral("Nerra Desktop %1").arg(QStringLiteral(NERRA_BUILD_VERSION).mid(1)));

        QTextDocument document;
        const QImage logo(QStringLiteral(":/nerra-logo.png"));
        if (!logo.isNull())
            document.addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("logo")), logo);
        document.setHtml(buildHtml(data));
        document.documentLayout()->setPaintDevice(&writer);
        document.setPageSize(writer.pageLayout().paintRectPixels(writer.resolution()).size());
        document.print(&writer);
    }
    QSaveFile file(filePath);
    const QByteArray &bytes = pdf.data();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(bytes) != bytes.size() || !file.commit()) {
        qWarning() << "CAL PDF: cannot write" << filePath << file.errorString();
        return false;
    }
    qDebug() << "CAL PDF: written to" << filePath;
    return true;
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
    const QString heading = QStringLiteral(
        "<img src=\"logo\" width=\"440\"><h1>Calibration Certificate</h1>"
        "<hr style=\"height: 2px; background-color: #1565c0; border: none;\">"
        "<p style=\"font-size: 8.5pt; color: #546e7a;\">Calibration date: %1</p>").arg(calDate);
    const QString device = QStringLiteral("<p class=\"section\">Device Information</p><table width=\"100%\" cellspacing=\"0\" cellpadding=\"4\">%1%2%3%4%5</table>")
        .arg(labelRow(QStringLiteral("Device Name"), shown(text(data, "deviceName"))),
             labelRow(QStringLiteral("Serial Number"), shown(text(data, "serialNumber"))),
             labelRow(QStringLiteral("Firmware Version"), shown(text(data, "firmwareVersion"))),
             labelRow(QStringLiteral("Calibration Date"), calDate),
             labelRow(QStringLiteral("Tip Size"), shown(text(data, "tipSize"))));
    QString unit = text(data, "temperatureUnit");
    if (unit.isEmpty())
        unit = QStringLiteral("°C");
    const auto withUnit = [&data](const char *key, const QString &suffix) {
        const QString value = text(data, key);
        return value.isEmpty() ? Dash : (value + suffix).toHtmlEscaped();
    };
    const QString environment = QStringLiteral("<p class=\"section\">Environmental Conditions</p><table width=\"100%\" cellspacing=\"0\" cellpadding=\"4\">%1%2%3%4%5</table>")
        .arg(labelRow(QStringLiteral("Relative Humidity"), withUnit("humidity", QStringLiteral(" %"))),
             labelRow(QStringLiteral("Water Temperature"), withUnit("waterTemperature", QLatin1Char(' ') + unit)),
             labelRow(QStringLiteral("Air Temperature"), withUnit("airTemperature", QLatin1Char(' ') + unit)),
             labelRow(QStringLiteral("Pressure"), withUnit("pressure", QStringLiteral(" hPa"))),
             labelRow(QStringLiteral("Z Correction Factor"), shown(text(data, "zFactor"))));
    QString rows;
    const QVariantList list = data.value(QStringLiteral("rows")).toList();
    for (int i = 0; i < list.size(); ++i)
        rows += measurementRow(list.at(i).toMap(), i);
    const QString measurements = QStringLiteral(
        "<p class=\"section\">Measurements &amp; Results</p><table width=\"100%\" cellspacing=\"0\" cellpadding=\"4\"><tr><th>Target (µL)</th><th>Tolerance</th><th>Rep 1</th>"
        "<th>Rep 2</th><th>Rep 3</th><th>Mean (µL)</th><th>Deviation</th><th>New Steps</th></tr>\n%1</table>"
        "<p style=\"font-size: 7.5pt; color: #757575;\"><span style=\"color: #2e7d32;\">&#9632;</span> Pass — within "
        "tolerance &nbsp;&nbsp; <span style=\"color: #c62828;\">&#9632;</span> Review — outside tolerance</p>").arg(rows);
    const QString footer = QStringLiteral(
        "<p style=\"font-size: 8pt; color: #9e9e9e; text-align: left; margin-top: 22px;\">Vellora Inc. · "
        "1200 Harbor Way, Suite 400 · Portland, OR 97209 · United States</p>");
    return QStringLiteral("<html><head><style>%1</style></head>\n<body>%2%3%4%5%6</body></html>")
        .arg(style, heading, device, environment, measurements, footer);
}
