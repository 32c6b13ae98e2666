// Both certificates as a reader gets them: one Letter page with embedded fonts, every
// value shown as typed and inside the margins, the QA verdict taken only from the overall
// result, and a file name and write that cannot be led astray (the writers share that
// path, so it is tested once).
#include "app/filedialoghelper.h"
#include "documents/calibrationpdf.h"
#include "documents/certificationpdf.h"
#include "filesizelimit.h"
#include "isolatedenvironment.h"
#include "pdfcheck.h"
#include "recordingdocumentui.h"
#include "testfiles.h"
#include "testmain.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <memory>

namespace {

// 18 mm in points.
constexpr double Margin = 18 / 25.4 * 72;

QVariantMap row(double target, double mean, const QString &newCoef)
{
    return {{"target", target}, {"rep1", mean}, {"rep2", mean}, {"rep3", mean}, {"average", mean}, {"newCoef", newCoef}};
}

QVariantMap certificate()
{
    return {{"deviceName", QStringLiteral("R&D <Lab 2> bench pipette with a rather long name, O'Brien's")},
            {"serialNumber", QStringLiteral("NS-../0E:07/BB")},
            {"firmwareVersion", QStringLiteral("1.4.2")},
            {"calDate", QStringLiteral("2026-03-04")},
            {"tipSize", QStringLiteral("Small")},
            {"humidity", QString()},
            {"waterTemperature", QStringLiteral("21.5")},
            {"airTemperature", QStringLiteral("22.0")},
            {"pressure", QStringLiteral("1013")},
            {"zFactor", QStringLiteral("1.0028")},
            {"rows", QVariantList{row(1, 1.15, "1.100"), row(2, 2.0, "1.200"), row(10, 10.0, "1.300"), row(50, 47.0, "1.400"),
                                  row(200, 200.0, ""), row(0, 0, "x")}}};
}

constexpr double SideMargin = 20 / 25.4 * 72;
constexpr double TopBottomMargin = 14 / 25.4 * 72;

QVariantMap point(int cp, const char *tip, double sysSpec, double sys, bool sysPass, double randSpec, double rand, bool randPass)
{
    return {{"cp", cp}, {"tipMode", tip}, {"systematicSpec", sysSpec}, {"systematicPct", sys}, {"systematicPass", sysPass},
            {"randomSpec", randSpec}, {"randomPct", rand}, {"randomPass", randPass}};
}

QVariantMap qaCertificate(bool pass)
{
    return {{"serialNumber", QStringLiteral("<b>NS</b> & \"CFD10E\"")},
            {"date", QStringLiteral("2026-12-07")},
            {"technician", QStringLiteral("O'Brien <i>QA</i>")},
            {"volumeAccuracyPass", pass},
            {"humidity", "45.2"}, {"waterTemperature", "21.4"}, {"airTemperature", "22.0"}, {"pressure", ""}, {"zFactor", "1.003"},
            {"results", QVariantList{point(1, "Small", 12, 0.81, true, 8, 1.2, true), point(20, "Small", 1, -0.4567, true, 0.5, 0.61, false),
                                     point(200, "Small", 0.8, 0.2, true, 0.3, 0.12, true), point(100, "Large", 8, -1.5, true, 3, 0.4, true),
                                     point(1000, "Large", 0.8, 0.14, true, 0.3, 0.1291, true)}}};
}

} // namespace

class TestCertificatePdfs : public QObject
{
    Q_OBJECT
    std::unique_ptr<IsolatedEnvironment> m_env;

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void calibrationPageReadsRight()
    {
        const QString path = m_env->root() + QStringLiteral("/cert.pdf");
        QVERIFY(CalibrationPdf().generateToFile(certificate(), path));
        if (!qEnvironmentVariableIsEmpty("NERRA_SCREENSHOT_DIR"))
            QFile::copy(path, qEnvironmentVariable("NERRA_SCREENSHOT_DIR") + QStringLiteral("/calibration-certificate.pdf"));
        const PdfCheck pdf(path, Margin);
        QVERIFY(pdf.readable);
        QCOMPARE(pdf.pages, 1);
        QVERIFY2(pdf.pageSize.contains(QLatin1String("(letter)")), qPrintable(pdf.pageSize));
        QCOMPARE(pdf.title, QStringLiteral("Calibration Certificate NS-../0E:07/BB"));
        QCOMPARE(pdf.creator, QStringLiteral("Nerra Desktop 1.5.0"));
        QVERIFY(!pdf.fonts.isEmpty());
        QCOMPARE(pdf.notEmbedded, QStringList());
        QCOMPARE(pdf.outside, QStringList());
        const QString text = pdf.text.simplified();
        for (const char *expected : {"R&D <Lab 2> bench pipette", "O'Brien", "NS-../0E:07/BB", "1013 hPa", "21.5 °C",
                                     "+15.00%", "-6.00%", "±20%", "±10%", "Target (µL)", "New Steps", "Vellora Inc."})
            QVERIFY2(text.contains(QString::fromUtf8(expected)), expected);
    }

    // The rules of the table, read from the document text.
    void measurementRows()
    {
        const QString html = CalibrationPdf().buildHtml(certificate());
        const QStringList rows = html.split(QStringLiteral("<tr")).filter(QStringLiteral("<td class=\"right mono\""));
        QCOMPARE(rows.size(), 6);
        for (const QString &r : rows)
            QCOMPARE(r.count(QStringLiteral("<td")), 8);
        QStringList alt;
        for (int i = 0; i < rows.size(); ++i)
            alt << (rows.at(i).startsWith(QLatin1String(" class=\"alt\"")) ? "alt" : "");
        QCOMPARE(alt, (QStringList{"", "alt", "", "alt", "", "alt"}));
        QVERIFY(rows.at(0).contains(QLatin1String("dev-pass\"><b>+15.00%</b>")));
        QVERIFY(rows.at(1).contains(QLatin1String("dev-zero\">&#x2713;")));
        QVERIFY(rows.at(3).contains(QLatin1String("dev-review\"><b>-6.00%</b>")));
        QVERIFY(rows.at(5).contains(QStringLiteral("<td class=\"right mono\">—</td>")));   // no tolerance at 0
        QVERIFY(html.contains(QStringLiteral("<td class=\"meta\">Relative Humidity</td><td>—</td>")));
    }

    void qaPageReadsRight_data()
    {
        QTest::addColumn<bool>("pass");
        QTest::newRow("passed") << true;
        QTest::newRow("failed, every row passing but one") << false;
    }
    void qaPageReadsRight()
    {
        QFETCH(bool, pass);
        const QString path = m_env->root() + QStringLiteral("/qa.pdf");
        QVERIFY(CertificationPdf().generateToFile(qaCertificate(pass), path));
        if (!qEnvironmentVariableIsEmpty("NERRA_SCREENSHOT_DIR"))
            QFile::copy(path, qEnvironmentVariable("NERRA_SCREENSHOT_DIR") + QStringLiteral("/qa-certificate.pdf"));
        const PdfCheck pdf(path, SideMargin, TopBottomMargin);
        QCOMPARE(pdf.pages, 1);
        QVERIFY2(pdf.pageSize.contains(QLatin1String("(letter)")), qPrintable(pdf.pageSize));
        QVERIFY(!pdf.fonts.isEmpty());
        QCOMPARE(pdf.notEmbedded, QStringList());
        QCOMPARE(pdf.outside, QStringList());
        const QString text = pdf.text;
        QVERIFY2(text.contains(QRegularExpression(QStringLiteral("20 µL\\s+Small\\s+± 1%\\s+-0.46%\\s+± 0.5%\\s+0.61%"))), qPrintable(text));
        QVERIFY(text.contains(QRegularExpression(QStringLiteral("Volume Accuracy and Reproducibility Tests\\s+%1").arg(pass ? "Pass" : "Fail"))));
        for (const char *expected : {"<b>NS</b> & \"CFD10E\"", "O'Brien <i>QA</i>", "45.2 %", "21.4 °C", "1–1000 µL", "Vellora Inc."})
            QVERIFY2(text.contains(QString::fromUtf8(expected)), expected);
        const QString html = CertificationPdf().buildHtml(qaCertificate(pass));
        QVERIFY(html.contains(QLatin1String("<td class=\"pass\">-0.46%</td>")));
        QVERIFY(html.contains(QLatin1String("<td class=\"fail\">0.61%</td>")));
    }

    void fileNames_data()
    {
        QTest::addColumn<bool>("qa");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("name");
        const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
        QTest::newRow("calibration") << false << "NS-0E07BB" << "2026-03-04" << "Cal_NS-0E07BB_2026-03-04_small.pdf";
        QTest::newRow("calibration, no serial") << false << "" << "2026-03-04" << "Cal_device_2026-03-04_small.pdf";
        QTest::newRow("calibration, folders and a drive") << false << "../C:/x" << "2026-03-04" << "Cal___C__x_2026-03-04_small.pdf";
        QTest::newRow("QA") << true << "NS-CFD10E" << "2026-12-07" << "Nerra_QA_Certificate_NS-CFD10E_2026-12-07.pdf";
        QTest::newRow("QA, no serial, no date") << true << "" << "" << "Nerra_QA_Certificate_device_" + today + ".pdf";
        QTest::newRow("QA, folders in both") << true << "../C:/x" << "2026/12\\07" << "Nerra_QA_Certificate___C__x_2026_12_07.pdf";
    }
    void fileNames()
    {
        QFETCH(bool, qa);
        QFETCH(QString, serial);
        QFETCH(QString, date);
        QFETCH(QString, name);
        QVariantMap data = qa ? qaCertificate(true) : certificate();
        data.insert(QStringLiteral("serialNumber"), serial);
        data.insert(qa ? QStringLiteral("date") : QStringLiteral("calDate"), date);
        QCOMPARE(qa ? CertificationPdf::proposedFileName(data) : CalibrationPdf::proposedFileName(data), name);
        if (qa && date.isEmpty())   // the certificate says the day it was printed on
            QVERIFY(CertificationPdf().buildHtml(data).contains(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))));
    }

    // Cancelled, failed or written: only a written file is opened, and an existing
    // certificate survives a write that fails.
    void savingAndOpening_data()
    {
        QTest::addColumn<QString>("answer");   // "" cancels; "$full" the existing file on a full disk
        QTest::addColumn<bool>("written");
        QTest::newRow("cancelled") << "" << false;
        QTest::newRow("written") << "new.pdf" << true;
        QTest::newRow("disk full over an old certificate") << "$full" << false;
        QTest::newRow("folder that does not exist") << "missing/new.pdf" << false;
    }
    void savingAndOpening()
    {
        QFETCH(QString, answer);
        QFETCH(bool, written);
        const QString old = m_env->root() + QStringLiteral("/old.pdf");
        QFile file(old);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("the certificate signed last year") > 0);
        file.close();
        RecordingDocumentUi ui;
        const bool full = answer == QLatin1String("$full");
        ui.answer = answer.isEmpty() ? QString() : full ? old : m_env->root() + QLatin1Char('/') + answer;
        CalibrationPdf pdf;
        pdf.setDocumentUi(&ui);
        bool result;
        {
            std::unique_ptr<FileSizeLimit> limit(full ? new FileSizeLimit(2000) : nullptr);
            result = pdf.generate(certificate());
        }
        QCOMPARE(result, written);
        QCOMPARE(ui.proposed, FileDialogHelper::userDownloadsDir() + QStringLiteral("/Cal_NS-__0E_07_BB_2026-03-04_small.pdf"));
        QCOMPARE(ui.opened, written ? QStringList{ui.answer} : QStringList());
        if (written)
            QVERIFY(readFile(ui.answer).startsWith("%PDF"));
        QCOMPARE(readFile(old), QByteArray("the certificate signed last year"));
        QCOMPARE(QDir(m_env->root()).entryList({"*.pdf*"}, QDir::Files).size(), written ? 2 : 1);
    }
};

NERRA_TEST_MAIN(TestCertificatePdfs)
#include "tst_certificatepdfs.moc"
