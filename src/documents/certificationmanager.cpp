#include "documents/certificationmanager.h"

#include "documents/sheetscanner.h"
#include "documents/xlsxarchive.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QXmlStreamReader>

#include <cmath>

namespace {

constexpr int ExpectedMeasurements = 10;

struct PointSpec
{
    QString tipMode;
    double systematicSpec = 0;
    double randomSpec = 0;
    double tmu = 0;
};

const QMap<int, PointSpec> &specTable()
{
    static const QMap<int, PointSpec> table{
        {1, {QStringLiteral("Small"), 12.0, 8.0, 0.006}},  {20, {QStringLiteral("Small"), 1.0, 0.5, 0.012}},
        {200, {QStringLiteral("Small"), 0.8, 0.3, 0.4}},   {100, {QStringLiteral("Large"), 8.0, 3.0, 0.05}},
        {1000, {QStringLiteral("Large"), 0.8, 0.3, 0.4}}};
    return table;
}

ParsedWorkbook failure(const QString &message)
{
    ParsedWorkbook parsed;
    parsed.message = message;
    return parsed;
}

ParsedWorkbook notReadable(const QString &path)
{
    return failure(QStringLiteral("Not a readable .xlsx archive: %1").arg(path));
}

// A part's XML, handed to the reader a slice at a time: QXmlStreamReader turns all the
// bytes it holds into UTF-16 at once, which for a whole part would double it in memory.
// Entity declarations are how a few hundred bytes of XML grow to gigabytes, and no
// workbook part needs one: a DTD makes the part unreadable.
class PartXml : public QXmlStreamReader
{
public:
    explicit PartXml(const QByteArray &bytes)
        : m_bytes(bytes)
    {
    }

    TokenType next()
    {
        TokenType token = readNext();
        while (token == Invalid && error() == PrematureEndOfDocumentError && m_fed < m_bytes.size()) {
            addData(m_bytes.mid(m_fed, Slice));
            m_fed += Slice;
            token = readNext();
        }
        if (token == DTD)
            raiseError(QStringLiteral("DTD refused"));
        return hasError() ? Invalid : token;
    }
    // At the end of the document, at an error, or out of bytes.
    bool finished() const { return atEnd() && (error() != PrematureEndOfDocumentError || m_fed >= m_bytes.size()); }

private:
    static constexpr int Slice = 256 * 1024;
    const QByteArray m_bytes;
    int m_fed = 0;
};

// A part that is missing reads as empty; one that is present but damaged is reported.
QByteArray readPart(const XlsxArchive &zip, const QString &name, bool *damaged)
{
    bool ok = false;
    const QByteArray part = zip.read(name, &ok);
    if (!ok && zip.contains(name))
        *damaged = true;
    return part;
}

QString relationshipId(const QXmlStreamAttributes &attributes)
{
    for (const QXmlStreamAttribute &a : attributes) {
        if (a.qualifiedName() == QLatin1String("r:id"))
            return a.value().toString();
    }
    for (const QXmlStreamAttribute &a : attributes) {
        if (a.name() == QLatin1String("id")
            && (a.namespaceUri() == QLatin1String("http://schemas.openxmlformats.org/officeDocument/2006/relationships")
                || a.namespaceUri() == QLatin1String("http://purl.oclc.org/ooxml/officeDocument/relationships")))
            return a.value().toString();
    }
    return QString();
}

// The relationship id of the sheet named Measurements, else of the fourth sheet.
QString measurementsSheetId(const QByteArray &workbookXml, bool *damaged)
{
    PartXml xml(workbookXml);
    QString named, fourth;
    int index = 0;
    while (!xml.finished()) {
        if (xml.next() != QXmlStreamReader::StartElement || xml.name() != QLatin1String("sheet"))
            continue;
        const QString id = relationshipId(xml.attributes());
        if (index++ == 3)
            fourth = id;
        if (xml.attributes().value(QLatin1String("name")).compare(QLatin1String("Measurements"), Qt::CaseInsensitive) == 0)
            named = id;
    }
    *damaged = *damaged || xml.hasError();
    return named.isEmpty() ? fourth : named;
}

QString relationshipTarget(const QByteArray &relsXml, const QString &id, bool *damaged)
{
    PartXml xml(relsXml);
    QString target;
    while (!xml.finished() && target.isNull()) {
        if (xml.next() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("Relationship")
            && xml.attributes().value(QLatin1String("Id")) == id)
            target = xml.attributes().value(QLatin1String("Target")).toString();
    }
    *damaged = *damaged || xml.hasError();
    return target;
}

// The part path of the measurement sheet; empty when there is none. A target that would
// lead out of the archive marks the workbook as damaged.
QString findMeasurementsSheet(const XlsxArchive &zip, bool *damaged)
{
    const QByteArray workbook = readPart(zip, QStringLiteral("xl/workbook.xml"), damaged);
    if (workbook.isEmpty() || *damaged)
        return QString();
    const QString id = measurementsSheetId(workbook, damaged);
    if (id.isEmpty() || *damaged)
        return QString();
    const QByteArray rels = readPart(zip, QStringLiteral("xl/_rels/workbook.xml.rels"), damaged);
    if (rels.isEmpty() || *damaged)
        return QString();
    const QString target = relationshipTarget(rels, id, damaged);
    if (target.isEmpty() || *damaged)
        return QString();
    const QString part = QDir::cleanPath(target.startsWith(QLatin1Char('/')) ? target.mid(1) : QStringLiteral("xl/") + target);
    if (!XlsxArchive::isSafeName(part)) {
        *damaged = true;
        return QString();
    }
    return part;
}

double sampleStdDev(const QList<double> &values, double mean)
{
    if (values.size() < 2)
        return 0;
    double squares = 0;
    for (const double v : values)
        squares += (v - mean) * (v - mean);
    return std::sqrt(squares / (values.size() - 1));
}

QVariantList toVariantList(const QList<double> &values)
{
    QVariantList list;
    for (const double v : values)
        list.append(v);
    return list;
}

} // namespace

CertificationManager::CertificationManager(QObject *parent)
    : QObject(parent)
{
}

const QList<int> &CertificationManager::expectedPoints()
{
    static const QList<int> points{1, 20, 200, 100, 1000};
    return points;
}

ParsedWorkbook CertificationManager::parseWorkbook(const QString &path, QByteArray *bytes)
{
    if (!QFileInfo::exists(path))
        return failure(QStringLiteral("File not found: %1").arg(path));
    QFile file(path);
    // One more byte than allowed tells a file that is too large (or still growing)
    // without reading it whole.
    if (!file.open(QIODevice::ReadOnly) || file.size() > XlsxArchive::MaxArchiveBytes)
        return notReadable(path);
    const QByteArray data = file.read(XlsxArchive::MaxArchiveBytes + 1);
    if (data.size() > XlsxArchive::MaxArchiveBytes)
        return notReadable(path);
    if (bytes)
        *bytes = data;
    return parseWorkbookData(data, path);
}

ParsedWorkbook CertificationManager::parseWorkbookData(const QByteArray &bytes, const QString &path)
{
    XlsxArchive zip;
    if (!zip.open(bytes))
        return notReadable(path);
    bool damaged = false;
    const QString part = findMeasurementsSheet(zip, &damaged);
    if (damaged)
        return notReadable(path);
    if (part.isEmpty())
        return failure(QStringLiteral("Could not locate the 'Measurements' sheet in the workbook."));
    const QByteArray sheet = readPart(zip, part, &damaged);
    if (damaged)
        return notReadable(path);
    if (sheet.isEmpty())
        return failure(QStringLiteral("Worksheet part is empty: %1").arg(part));
    ParsedWorkbook parsed;
    if (!scanMeasurementSheet(sheet, &parsed))
        return notReadable(path);
    if (parsed.weights.isEmpty())
        return failure(QStringLiteral("No measurement rows found in the 'Measurements' sheet."));
    parsed.ok = true;
    return parsed;
}

PointResult CertificationManager::computePoint(int cp, const QList<double> &weights, double zFactor)
{
    const PointSpec spec = specTable().value(cp);
    PointResult p;
    p.cp = cp;
    p.tipMode = spec.tipMode;
    p.n = weights.size();
    double sum = 0;
    for (const double w : weights)
        sum += w;
    p.averageWeight = p.n > 0 ? sum / p.n : 0;
    p.stdDevWeight = sampleStdDev(weights, p.averageWeight);
    p.zFactor = zFactor;
    p.meanVolume = zFactor * p.averageWeight;
    p.tmu = spec.tmu;
    // The allowance goes with the deviation, never toward the target.
    p.finalVolume = p.meanVolume < cp ? p.meanVolume - p.tmu : p.meanVolume + p.tmu;
    p.systematicPct = cp != 0 ? (p.finalVolume - cp) / cp * 100 : 0;
    // Precision is the spread of the weights themselves: the Z factor scales both the
    // spread and the mean, so it has no place in their ratio.
    p.randomPct = p.averageWeight != 0 ? p.stdDevWeight / std::abs(p.averageWeight) * 100 : 0;
    p.systematicSpec = spec.systematicSpec;
    p.randomSpec = spec.randomSpec;
    p.systematicPass = std::abs(p.systematicPct) <= p.systematicSpec;
    p.randomPass = p.randomPct <= p.randomSpec;
    p.pass = p.systematicPass && p.randomPass;
    return p;
}

QVariantMap CertificationManager::pointToMap(const PointResult &p)
{
    return {{QStringLiteral("cp"), p.cp},
            {QStringLiteral("tipMode"), p.tipMode},
            {QStringLiteral("n"), p.n},
            {QStringLiteral("averageWeight"), p.averageWeight},
            {QStringLiteral("stdDevWeight"), p.stdDevWeight},
            {QStringLiteral("meanVolume"), p.meanVolume},
            {QStringLiteral("tmu"), p.tmu},
            {QStringLiteral("finalVolume"), p.finalVolume},
            {QStringLiteral("systematicPct"), p.systematicPct},
            {QStringLiteral("randomPct"), p.randomPct},
            {QStringLiteral("systematicSpec"), p.systematicSpec},
            {QStringLiteral("randomSpec"), p.randomSpec},
            {QStringLiteral("systematicPass"), p.systematicPass},
            {QStringLiteral("randomPass"), p.randomPass},
            {QStringLiteral("pass"), p.pass}};
}

QVariantList CertificationManager::computeRows(double zFactor, bool *allPass) const
{
    QVariantList rows;
    *allPass = true;
    for (const int cp : expectedPoints()) {
        const QList<double> weights = m_parsed.weights.value(cp);
        if (weights.isEmpty())
            continue;
        const PointResult point = computePoint(cp, weights, zFactor);
        *allPass = *allPass && point.pass;
        QVariantMap row = pointToMap(point);
        row.insert(QStringLiteral("weights"), toVariantList(weights));
        rows.append(row);
    }
    return rows;
}

QVariantMap CertificationManager::importFile(const QString &filePathOrUrl)
{
    const QString path = filePathOrUrl.startsWith(QLatin1String("file:")) ? QUrl(filePathOrUrl).toLocalFile() : filePathOrUrl;
    QByteArray bytes;
    const ParsedWorkbook parsed = parseWorkbook(path, &bytes);
    if (!parsed.ok)
        return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), parsed.message}};
    m_parsed = parsed;
    m_lastXlsx = bytes;

    QStringList warnings;
    for (auto it = parsed.weights.constBegin(); it != parsed.weights.constEnd(); ++it) {
        if (!specTable().contains(it.key()))
            warnings << QStringLiteral("Unexpected calibration point %1 µL").arg(it.key());
    }
    for (const int cp : expectedPoints()) {
        const int n = parsed.weights.value(cp).size();
        if (n == 0)
            warnings << QStringLiteral("Missing calibration point %1 µL").arg(cp);
        else if (n != ExpectedMeasurements)
            warnings << QStringLiteral("Calibration point %1 µL has %2 measurements (expected %3)").arg(cp).arg(n).arg(ExpectedMeasurements);
    }
    bool allPass = false;
    const QVariantList rows = computeRows(parsed.zFactor, &allPass);
    QVariantMap result{{QStringLiteral("ok"), true},
                       {QStringLiteral("fileName"), QFileInfo(path).fileName()},
                       {QStringLiteral("zFactor"), parsed.zFactor},
                       {QStringLiteral("valid"), warnings.isEmpty()},
                       {QStringLiteral("results"), rows},
                       {QStringLiteral("overallPass"), warnings.isEmpty() && allPass}};
    if (!warnings.isEmpty())
        result.insert(QStringLiteral("warnings"), warnings);
    m_lastResult = result;
    return result;
}

QVariantMap CertificationManager::recompute(double zFactor)
{
    if (m_parsed.weights.isEmpty() || !(zFactor > 0))
        return QVariantMap();
    bool allPass = false;
    const QVariantList rows = computeRows(zFactor, &allPass);
    m_lastResult.insert(QStringLiteral("zFactor"), zFactor);
    m_lastResult.insert(QStringLiteral("results"), rows);
    m_lastResult.insert(QStringLiteral("overallPass"), m_lastResult.value(QStringLiteral("valid")).toBool() && allPass);
    return m_lastResult;
}

QString CertificationManager::buildRecordJson(const QString &serial, const QString &date, const QString &technician,
                                              double humidity, double waterTemperature, double airTemperature,
                                              double pressure) const
{
    QVariantMap record = m_lastResult;
    record.insert(QStringLiteral("serial"), serial);
    record.insert(QStringLiteral("date"), date.isEmpty() ? QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) : date);
    record.insert(QStringLiteral("technician"), technician);
    record.insert(QStringLiteral("humidity"), humidity);
    record.insert(QStringLiteral("waterTemperature"), waterTemperature);
    record.insert(QStringLiteral("airTemperature"), airTemperature);
    record.insert(QStringLiteral("pressure"), pressure);
    record.remove(QStringLiteral("ok"));
    return QString::fromUtf8(QJsonDocument::fromVariant(record).toJson(QJsonDocument::Indented));
}

QString CertificationManager::lastXlsxBase64() const
{
    return QString::fromLatin1(m_lastXlsx.toBase64());
}

QVariantMap CertificationManager::recordToResult(const QString &recordJson) const
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(recordJson.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QVariantMap();
    QVariantMap result = document.object().toVariantMap();
    result.insert(QStringLiteral("ok"), true);
    return result;
}

void CertificationManager::clear()
{
    m_lastResult.clear();
    m_lastXlsx.clear();
    m_parsed = ParsedWorkbook();
}
