#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>

class XlsxArchive;

// What a balance's QA workbook holds for us: the weights per calibration point and the
// Z factor written beside them.
struct ParsedWorkbook
{
    bool ok = false;
    QString message;
    double zFactor = 0;
    QMap<int, QList<double>> weights;   // calibration point (µL) -> weights (mg), in sheet order
};

struct PointResult
{
    int cp = 0;
    QString tipMode;
    int n = 0;
    double averageWeight = 0;
    double stdDevWeight = 0;
    double zFactor = 0;
    double meanVolume = 0;
    double tmu = 0;
    double finalVolume = 0;
    double systematicPct = 0;
    double randomPct = 0;
    double systematicSpec = 0;
    double randomSpec = 0;
    bool systematicPass = false;
    bool randomPass = false;
    bool pass = false;
};

// Reads a gravimetric QA workbook, computes accuracy and precision per calibration point
// against the fixed specifications, and keeps the last result with the workbook's own
// bytes, so that what is stored on the instrument is exactly what was computed from.
class CertificationManager : public QObject
{
    Q_OBJECT

public:
    explicit CertificationManager(QObject *parent = nullptr);

    Q_INVOKABLE QVariantMap importFile(const QString &filePathOrUrl);
    Q_INVOKABLE QVariantMap recompute(double zFactor);
    Q_INVOKABLE QString buildRecordJson(const QString &serial, const QString &date, const QString &technician,
                                        double humidity, double waterTemperature, double airTemperature,
                                        double pressure) const;
    Q_INVOKABLE QString lastXlsxBase64() const;
    // A stored record as it was certified: its numbers are shown, never recomputed.
    Q_INVOKABLE QVariantMap recordToResult(const QString &recordJson) const;
    Q_INVOKABLE void clear();

    // The file is read once; *bytes receives exactly what was parsed.
    static ParsedWorkbook parseWorkbook(const QString &path, QByteArray *bytes = nullptr);
    // `path` only names the file in messages.
    static ParsedWorkbook parseWorkbookData(const QByteArray &bytes, const QString &path);
    static PointResult computePoint(int cp, const QList<double> &weights, double zFactor);
    static QVariantMap pointToMap(const PointResult &point);
    static const QList<int> &expectedPoints();

private:
    QVariantList computeRows(double zFactor, bool *allPass) const;

    QVariantMap m_lastResult;
    QByteArray m_lastXlsx;
    ParsedWorkbook m_parsed;
};
