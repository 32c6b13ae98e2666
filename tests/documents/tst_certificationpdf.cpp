// The QA certificate as a reader gets it: one Letter page with embedded fonts inside its
// margins, the verdict taken only from the overall result, every value shown as typed,
// and a file name and write that cannot be led astray.
#include "app/filedialoghelper.h"
#include "documents/certificationpdf.h"
#include "filesizelimit.h"
#include "isolatedenvironment.h"
#include "pdfcheck.h"
#include "recordingdocumentui.h"
#include "testfiles.h"
#include "testmain.h"

#include <QDate>
#include <QRegularExpression>

#include <memory>

namespace {

constexpr double SideMargin = 20 / 25.4 * 72;
constexpr double TopBottomMargin = 14 / 25.4 * 72;

QVariantMap point(int cp, const char *tip, double sysSpec, double sys, bool sysPass, double randSpec, double rand, bool randPass)
{
    return {{"cp", cp}, {"tipMode", tip}, {"systematicSpec", sysSpec}, {"systematicPct", sys}, {"systematicPass", sysPass},
            {"randomSpec", randSpec}, {"randomPct", rand}, {"randomPass", randPass}};
}

QVariantMap certificate(bool pass)
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

class TestCertificationPdf : public QObject
{
    Q_OBJECT
    std::unique_ptr<IsolatedEnvironment> m_env;

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void thePageReadsRight_data()
    {
        QTest::addColumn<bool>("pass");
        QTest::newRow("passed") << true;
        QTest::newRow("failed, every row passing but one") << false;
    }
    void thePageReadsRight()
    {
        QFETCH(bool, pass);
        const QString path = m_env->root() + QStringLiteral("/qa.pdf");
        QVERIFY(CertificationPdf().generateToFile(certificate(pass), path));
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
        const QString html = CertificationPdf().buildHtml(certificate(pass));
        QVERIFY(html.contains(QLatin1String("<td class=\"pass\">-0.46%</td>")));
        QVERIFY(html.contains(QLatin1String("<td class=\"fail\">0.61%</td>")));
    }

    // Where the certificate is proposed, and that a write that fails says so and leaves
    // the certificate already there as it was.
    void savingAndOpening_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("date");
        QTest::addColumn<bool>("fullDisk");
        QTest::addColumn<QString>("proposed");
        const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
        QTest::newRow("no serial, no date") << "" << "" << false << "Nerra_QA_Certificate_device_" + today + ".pdf";
        QTest::newRow("folders and a drive") << "../C:/x" << "2026/12\\07" << false << "Nerra_QA_Certificate___C__x_2026_12_07.pdf";
        QTest::newRow("disk full over an old certificate") << "NS-CFD10E" << "2026-12-07" << true << "Nerra_QA_Certificate_NS-CFD10E_2026-12-07.pdf";
    }
    void savingAndOpening()
    {
        QFETCH(QString, serial);
        QFETCH(QString, date);
        QFETCH(bool, fullDisk);
        QFETCH(QString, proposed);
        const QString path = m_env->root() + QStringLiteral("/qa.pdf");
        QVERIFY(writeFile(path, "the certificate signed last year"));
        RecordingDocumentUi ui;
        ui.answer = path;
        CertificationPdf pdf;
        pdf.setDocumentUi(&ui);
        QVariantMap data = certificate(true);
        data.insert("serialNumber", serial);
        data.insert("date", date);
        bool written;
        {
            std::unique_ptr<FileSizeLimit> limit(fullDisk ? new FileSizeLimit(2000) : nullptr);
            written = pdf.generate(data);
        }
        QCOMPARE(ui.proposed, FileDialogHelper::userDownloadsDir() + QLatin1Char('/') + proposed);
        QCOMPARE(written, !fullDisk);
        QCOMPARE(ui.opened, written ? QStringList{path} : QStringList());
        QCOMPARE(readFile(path).startsWith("%PDF"), written);
        if (!written)
            QCOMPARE(readFile(path), QByteArray("the certificate signed last year"));
        if (date.isEmpty())
            QVERIFY(pdf.buildHtml(data).contains(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))));
    }
};

NERRA_TEST_MAIN(TestCertificationPdf)
#include "tst_certificationpdf.moc"
