#include "pdfcheck.h"

#include <QProcess>
#include <QRegularExpression>
#include <QXmlStreamReader>

namespace {

QString run(const QString &program, const QStringList &arguments, bool *ok)
{
    QProcess process;
    process.start(program, arguments);
    *ok = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace

PdfCheck::PdfCheck(const QString &path, double margin)
    : PdfCheck(path, margin, margin)
{
}

PdfCheck::PdfCheck(const QString &path, double side, double topBottom)
{
    bool ok = false;
    const QString info = run(QStringLiteral("pdfinfo"), {path}, &ok);
    if (!ok)
        return;
    for (const QString &line : info.split(QLatin1Char('\n'))) {
        const QString value = line.section(QLatin1Char(':'), 1).trimmed();
        if (line.startsWith(QLatin1String("Pages:")))
            pages = value.toInt();
        else if (line.startsWith(QLatin1String("Page size:")))
            pageSize = value;
        else if (line.startsWith(QLatin1String("Title:")))
            title = value;
        else if (line.startsWith(QLatin1String("Creator:")))
            creator = value;
    }
    // name type encoding emb sub uni object ID, after two header lines.
    const QStringList fontLines = run(QStringLiteral("pdffonts"), {path}, &ok).split(QLatin1Char('\n')).mid(2);
    for (const QString &line : fontLines) {
        const QStringList fields = line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        if (fields.size() < 7)
            continue;
        fonts.append(fields.first());
        if (fields.at(fields.size() - 5) != QLatin1String("yes"))
            notEmbedded.append(fields.first());
    }
    text = run(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), path, QStringLiteral("-")}, &ok);
    QXmlStreamReader xml(run(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), path, QStringLiteral("-")}, &ok));
    double width = 0, height = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes a = xml.attributes();
        if (xml.name() == QLatin1String("page")) {
            width = a.value(QLatin1String("width")).toDouble();
            height = a.value(QLatin1String("height")).toDouble();
        } else if (xml.name() == QLatin1String("word")) {
            const double x0 = a.value(QLatin1String("xMin")).toDouble(), x1 = a.value(QLatin1String("xMax")).toDouble();
            const double y0 = a.value(QLatin1String("yMin")).toDouble(), y1 = a.value(QLatin1String("yMax")).toDouble();
            const QString word = xml.readElementText();
            if (x0 < side - 0.5 || y0 < topBottom - 0.5 || x1 > width - side + 0.5 || y1 > height - topBottom + 0.5)
                outside.append(word);
        }
    }
    readable = pages > 0;
}
