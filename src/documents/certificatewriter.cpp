#include "documents/certificatewriter.h"

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

// The logo lives in this static library's own resources, which a program linking it
// registers only when asked.
static void initDocumentResources()
{
    Q_INIT_RESOURCE(documents);
}

CertificateWriter::CertificateWriter(QObject *parent)
    : QObject(parent)
{
    initDocumentResources();
}

void CertificateWriter::setMfgManager(MfgManager *mfgManager)
{
    m_mfgManager = mfgManager;
}

void CertificateWriter::setDocumentUi(DocumentUi *ui)
{
    m_ui = ui;
}

QString CertificateWriter::fileNamePart(const QString &text)
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

QString CertificateWriter::text(const QVariantMap &data, const char *key)
{
    return data.value(QString::fromLatin1(key)).toString();
}

QString CertificateWriter::shown(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("—") : value.toHtmlEscaped();
}

QString CertificateWriter::footerHtml()
{
    return QStringLiteral(
        "<p style=\"font-size: 8pt; color: #9e9e9e; text-align: left; margin-top: 22px;\">Vellora Inc. · "
        "1200 Harbor Way, Suite 400 · Portland, OR 97209 · United States</p>");
}

QString CertificateWriter::headingHtml(const QString &title)
{
    return QStringLiteral("<img src=\"logo\" width=\"440\"><h1>%1</h1>"
                          "<hr style=\"height: 2px; background-color: #1565c0; border: none;\">").arg(title);
}

QString CertificateWriter::labelSection(const QString &title, const QString &rows)
{
    return QStringLiteral("<p class=\"section\">%1</p><table width=\"100%\" cellspacing=\"0\" cellpadding=\"4\">%2</table>")
        .arg(title, rows);
}

QString CertificateWriter::labelRow(const QString &label, const QString &valueHtml)
{
    return QStringLiteral("<tr><td class=\"meta\">%1</td><td>%2</td></tr>").arg(label, valueHtml);
}

QString CertificateWriter::environmentHtml(const QVariantMap &data, const QString &temperatureUnit)
{
    const auto withUnit = [&data](const char *key, const QString &suffix) {
        const QString value = text(data, key);
        return value.isEmpty() ? shown(value) : (value + suffix).toHtmlEscaped();
    };
    const QString unit = QLatin1Char(' ') + temperatureUnit;
    return labelSection(QStringLiteral("Environmental Conditions"),
                        labelRow(QStringLiteral("Relative Humidity"), withUnit("humidity", QStringLiteral(" %")))
                            + labelRow(QStringLiteral("Water Temperature"), withUnit("waterTemperature", unit))
                            + labelRow(QStringLiteral("Air Temperature"), withUnit("airTemperature", unit))
                            + labelRow(QStringLiteral("Pressure"), withUnit("pressure", QStringLiteral(" hPa")))
                            + labelRow(QStringLiteral("Z Correction Factor"), shown(text(data, "zFactor"))));
}

bool CertificateWriter::saveAndOpen(const QString &serial, const QString &fileName, const QString &dialogTitle,
                                    const std::function<bool(const QString &)> &write)
{
    const bool mfg = m_mfgManager && m_mfgManager->mfgMode();
    const QString folder = FileDialogHelper::certificationsDirForSerial(serial, mfg);
    const QString path = ui()->askSavePath(dialogTitle, folder + QLatin1Char('/') + fileName, QStringLiteral("PDF Files (*.pdf)"));
    if (path.isEmpty() || !write(path))
        return false;
    ui()->openDocument(path);
    return true;
}

bool CertificateWriter::writePdf(const QString &html, const QString &path, const Page &page)
{
    if (path.isEmpty())
        return false;
    // Rendered in memory (a page is some tens of kilobytes), then written beside the old
    // certificate and put in its place only when every byte reached the disk.
    QBuffer pdf;
    pdf.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&pdf);
        writer.setResolution(1200);
        writer.setPageSize(QPageSize(QPageSize::Letter));
        writer.setPageMargins(page.margins, QPageLayout::Millimeter);
        writer.setTitle(page.title);
        writer.setCreator(QStringLiteral("Nerra Desktop %1").arg(QStringLiteral(NERRA_BUILD_VERSION).mid(1)));

        QTextDocument document;
        const QImage logo(QStringLiteral(":/nerra-logo.png"));
        if (!logo.isNull())
            document.addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("logo")), logo);
        document.setHtml(html);
        document.documentLayout()->setPaintDevice(&writer);
        document.setPageSize(writer.pageLayout().paintRectPixels(writer.resolution()).size());
        document.print(&writer);
    }
    QSaveFile file(path);
    const QByteArray &bytes = pdf.data();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(bytes) != bytes.size() || !file.commit()) {
        qWarning().noquote() << page.logPrefix << "cannot write" << path << file.errorString();
        return false;
    }
    qDebug().noquote() << page.logPrefix << "written to" << path;
    return true;
}
