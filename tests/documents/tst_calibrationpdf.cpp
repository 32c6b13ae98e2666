// The calibration certificate as a reader gets it: one Letter page with embedded fonts,
// every value shown as typed and inside the margins, written whole or not at all.
#include "app/filedialoghelper.h"
#include "documents/calibrationpdf.h"
#include "filesizelimit.h"
#include "isolatedenvironment.h"
#include "pdfcheck.h"
#include "recordingdocumentui.h"
#include "testfiles.h"
#include "testmain.h"

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

} // namespace

class TestCalibrationPdf : public QObject
{
    Q_OBJECT
    std::unique_ptr<IsolatedEnvironment> m_env;

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void thePageReadsRight()
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

    void fileNames_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "NS-0E07BB" << "Cal_NS-0E07BB_2026-03-04_small.pdf";
        QTest::newRow("empty") << "" << "Cal_device_2026-03-04_small.pdf";
        QTest::newRow("folders and a drive") << "../C:/x" << "Cal___C__x_2026-03-04_small.pdf";
    }
    void fileNames()
    {
        QFETCH(QString, serial);
        QFETCH(QString, name);
        QVariantMap data = certificate();
        data.insert(QStringLiteral("serialNumber"), serial);
        QCOMPARE(CalibrationPdf::proposedFileName(data), name);
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

NERRA_TEST_MAIN(TestCalibrationPdf)
#include "tst_calibrationpdf.moc"
