// QA workbooks as balances and spreadsheet programs write them, and as an attacker might:
// the verdicts and numbers of each fixture, every damaged or hostile archive refused with
// the one message, and the kept workbook being exactly the one computed from.
#include "documents/certificationmanager.h"
#include "isolatedenvironment.h"
#include "testfiles.h"
#include "testmain.h"
#include "testzip.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <memory>

namespace {

QString fixture(const QString &name)
{
    return QStringLiteral(NERRA_WORKBOOKS_DIR "/") + name;
}

// "cp:n:P" per result row, P or F for the point's verdict.
QString pointSummary(const QVariantMap &result)
{
    QStringList points;
    for (const QVariant &row : result.value(QStringLiteral("results")).toList()) {
        const QVariantMap r = row.toMap();
        points << QStringLiteral("%1:%2:%3").arg(r.value("cp").toInt()).arg(r.value("n").toInt()).arg(r.value("pass").toBool() ? "P" : "F");
    }
    return points.join(QLatin1Char(' '));
}

QVariantMap rowFor(const QVariantMap &result, int cp)
{
    for (const QVariant &row : result.value(QStringLiteral("results")).toList()) {
        if (row.toMap().value(QStringLiteral("cp")).toInt() == cp)
            return row.toMap();
    }
    return QVariantMap();
}

QByteArray rows(int count)
{
    QByteArray xml;
    for (int i = 1; i <= count; ++i)
        xml += "<row r=\"" + QByteArray::number(i) + "\"><c r=\"C" + QByteArray::number(i) + "\"><v>20</v></c><c r=\"G"
               + QByteArray::number(i) + "\"><v>19.95</v></c></row>";
    return xml;
}

QByteArray sound()
{
    return TestZip::archive(TestZip::workbook(rows(10)));
}

// A sound workbook with one part changed by `spoil`.
template<typename Spoil>
QByteArray spoiled(Spoil spoil)
{
    QList<TestZip::Part> parts = TestZip::workbook(rows(10));
    spoil(parts);
    return TestZip::archive(parts);
}

} // namespace

class TestCertificationManager : public QObject
{
    Q_OBJECT
    std::unique_ptr<IsolatedEnvironment> m_env;

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void verdicts_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("overallPass");
        QTest::addColumn<QStringList>("warnings");
        QTest::addColumn<QString>("points");
        QTest::addColumn<QVariantMap>("spot");   // "cp" and the row's values, numbers to the digits given

        const QString allPass = QStringLiteral("1:10:P 20:10:P 200:10:P 100:10:P 1000:10:P");
        QTest::newRow("balance export, shared strings") << "Q-NS-CFD10E-20261207.xlsx" << "" << true << true << QStringList() << allPass
                                                        << QVariantMap{{"cp", 1000}, {"randomPct", "0.1291"}, {"systematicPct", "0.14"}};
        QTest::newRow("inline strings") << "Q-NS-INLINE-20261207.xlsx" << "" << true << true << QStringList() << allPass << QVariantMap();
        QTest::newRow("prefixed names, points 0.5 and 19.6") << "Q-NS-PREFIX-20261207.xlsx" << "" << true << true << QStringList() << allPass << QVariantMap();
        QTest::newRow("no sheet named so, the fourth") << "Q-NS-FOURTH-20261207.xlsx" << "" << true << true << QStringList() << allPass << QVariantMap();
        QTest::newRow("text, errors and non-finite values") << "Q-NS-ERRORS-20261207.xlsx" << "" << true << true << QStringList() << allPass << QVariantMap();
        QTest::newRow("spread 0.3008 % at a 0.3 % limit")
            << "Q-NS-RANDOM-20261207.xlsx" << "" << true << false << QStringList() << "1:10:P 20:10:P 200:10:P 100:10:P 1000:10:F"
            << QVariantMap{{"cp", 1000}, {"randomPct", "0.3008"}, {"randomPass", false}, {"systematicPass", true}};
        QTest::newRow("nine weights at 20 µL")
            << "Q-NS-NINE-20261207.xlsx" << "" << false << false << QStringList{QStringLiteral("Calibration point 20 µL has 9 measurements (expected 10)")}
            << "1:10:P 20:9:P 200:10:P 100:10:P 1000:10:P" << QVariantMap{{"cp", 20}, {"n", 9}};
        QTest::newRow("one point only")
            << "Q-NS-ONEPOINT-20261207.xlsx" << "" << false << false
            << QStringList{QStringLiteral("Missing calibration point 20 µL"), QStringLiteral("Missing calibration point 200 µL"),
                           QStringLiteral("Missing calibration point 100 µL"), QStringLiteral("Missing calibration point 1000 µL")}
            << "1:10:P"
            << QVariantMap{{"cp", 1}, {"meanVolume", "0.99999"}, {"finalVolume", "0.99399"}, {"systematicPct", "-0.60"}, {"randomPct", "0"}};
        QTest::newRow("two sheets, none named so") << "Q-NS-NOSHEET-20261207.xlsx"
                                                   << "Could not locate the 'Measurements' sheet in the workbook." << false << false
                                                   << QStringList() << "" << QVariantMap();
    }
    void verdicts()
    {
        QFETCH(QString, file);
        QFETCH(QString, error);
        QFETCH(bool, valid);
        QFETCH(bool, overallPass);
        QFETCH(QStringList, warnings);
        QFETCH(QString, points);
        QFETCH(QVariantMap, spot);

        CertificationManager manager;
        const QVariantMap result = manager.importFile(fixture(file));
        QCOMPARE(result.value("error").toString(), error);
        QCOMPARE(result.value("ok").toBool(), error.isEmpty());
        if (!error.isEmpty())
            return;
        QCOMPARE(result.value("fileName").toString(), file);
        QCOMPARE(result.value("zFactor").toDouble(), 1.003);
        QCOMPARE(result.value("valid").toBool(), valid);
        QCOMPARE(result.value("overallPass").toBool(), overallPass);
        QCOMPARE(result.value("warnings").toStringList(), warnings);
        QCOMPARE(pointSummary(result), points);
        const QVariantMap row = rowFor(result, spot.value("cp").toInt());
        for (auto it = spot.constBegin(); it != spot.constEnd(); ++it) {
            const QString expected = it.value().toString();
            const int decimals = expected.contains('.') ? expected.size() - expected.indexOf('.') - 1 : 0;
            const QString actual = it.value().type() == QVariant::String ? QString::number(row.value(it.key()).toDouble(), 'f', decimals)
                                                                        : row.value(it.key()).toString();
            QVERIFY2(actual == expected, qPrintable(it.key() + ": " + actual));
        }
        QCOMPARE(QByteArray::fromBase64(manager.lastXlsxBase64().toLatin1()), readFile(fixture(file)));
    }

    // Each row spoils one thing in a sound workbook. A refused import leaves the workbook
    // imported before it in place.
    void damagedAndHostileArchives_data()
    {
        using TestZip::Part;
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("fileSize");   // > 0: the file is stretched to this size
        QTest::addColumn<QString>("error");     // "" = read; %1 = the path

        const QString refused = QStringLiteral("Not a readable .xlsx archive: %1");
        QTest::newRow("sound") << sound() << qint64(0) << "";
        QTest::newRow("stored sheet") << spoiled([](QList<Part> &p) { p[2] = TestZip::part(p[2].name, "<worksheet>" + rows(1) + "</worksheet>", 0); })
                                      << qint64(0) << "";
        QTest::newRow("declared size larger than the data, data whole") << spoiled([](QList<Part> &p) { p[2].size += 1000; }) << qint64(0) << "";
        QTest::newRow("declared size 2 GB") << spoiled([](QList<Part> &p) { p[2].size = 0x80000000u; }) << qint64(0) << refused;
        QTest::newRow("declared size smaller than the data") << spoiled([](QList<Part> &p) { p[2].size -= 1; }) << qint64(0) << refused;
        QTest::newRow("inflates past 32 MiB") << spoiled([](QList<Part> &p) {
            p[2].payload = TestZip::deflatedRepeats("", QByteArray(1, '\0'), 33 * 1024 * 1024, &p[2].crc);
            p[2].size = 32 * 1024 * 1024;
        }) << qint64(0) << refused;
        QTest::newRow("bad CRC") << spoiled([](QList<Part> &p) { p[2].crc ^= 1; }) << qint64(0) << refused;
        QTest::newRow("deflate data cut short") << spoiled([](QList<Part> &p) { p[2].payload.chop(4); }) << qint64(0) << refused;
        QTest::newRow("unknown compression") << spoiled([](QList<Part> &p) { p[2].method = 12; }) << qint64(0) << refused;
        QTest::newRow("truncated file") << sound().left(sound().size() / 2) << qint64(0) << refused;
        QByteArray outside = sound();
        qToLittleEndian<quint32>(quint32(outside.size()), outside.data() + outside.size() - 6);
        QTest::newRow("central directory outside") << outside << qint64(0) << refused;
        QTest::newRow("local header past the data") << spoiled([](QList<Part> &p) { p[2].statedOffset = 0x7ffffff0; })
                                                    << qint64(0) << refused;
        QTest::newRow("more than 10 000 entries") << spoiled([](QList<Part> &p) {
            for (int i = 0; i < 10000; ++i)
                p << TestZip::part("xl/media/" + QByteArray::number(i), "", 0);
        }) << qint64(0) << refused;
        QTest::newRow("DTD with nested entities") << spoiled([](QList<Part> &p) {
            p[0] = TestZip::part(p[0].name, "<?xml version=\"1.0\"?><!DOCTYPE w [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;"
                                            "&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>" + TestZip::workbookXml());
        }) << qint64(0) << refused;
        QTest::newRow("single quotes, spaces around =") << spoiled([](QList<Part> &p) {
            p[2] = TestZip::part(p[2].name, TestZip::sheetXml(rows(10).replace("<c r=\"", "<c r = '").replace("\"><v>", "'><v>")));
        }) << qint64(0) << "";
        QTest::newRow("self-closing cell and a comment between cells") << spoiled([](QList<Part> &p) {
            p[2] = TestZip::part(p[2].name, TestZip::sheetXml(rows(10).replace("</c><c", "</c><!-- D --><c r=\"D1\"/><c")));
        }) << qint64(0) << "";
        QTest::newRow("end tag not of the open element") << spoiled([](QList<Part> &p) {
            p[2] = TestZip::part(p[2].name, "<worksheet><sheetData>" + rows(10) + "</sheetdata></worksheet>");
        }) << qint64(0) << refused;
        QTest::newRow("sheet XML cut short") << spoiled([](QList<Part> &p) { p[2] = TestZip::part(p[2].name, "<worksheet><sheetData><row>"); })
                                             << qint64(0) << refused;
        QTest::newRow("sheet outside the archive") << spoiled([](QList<Part> &p) {
            p[1] = TestZip::part(p[1].name, "<Relationships><Relationship Id=\"rId1\" Target=\"../../sheet1.xml\"/></Relationships>");
            p << TestZip::part("../sheet1.xml", "<worksheet>" + rows(10) + "</worksheet>");
        }) << qint64(0) << refused;
        QTest::newRow("no relationships") << spoiled([](QList<Part> &p) { p.removeAt(1); }) << qint64(0)
                                          << "Could not locate the 'Measurements' sheet in the workbook.";
        QTest::newRow("no sheet part") << spoiled([](QList<Part> &p) { p.removeAt(2); }) << qint64(0)
                                       << "Worksheet part is empty: xl/worksheets/sheet1.xml";
        QTest::newRow("over 16 MiB") << sound() << qint64(16 * 1024 * 1024 + 1) << refused;
        QTest::newRow("missing") << QByteArray() << qint64(0) << "File not found: %1";
    }
    void damagedAndHostileArchives()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, fileSize);
        QFETCH(QString, error);

        const QString path = m_env->root() + QStringLiteral("/A-NS-0E07BB-20261207.xlsx");
        if (!bytes.isNull())
            QVERIFY(writeFile(path, bytes));
        if (fileSize > 0)
            QVERIFY(QFile::resize(path, fileSize));
        CertificationManager manager;
        QVERIFY(manager.importFile(fixture("Q-NS-CFD10E-20261207.xlsx")).value("ok").toBool());
        const QString before = manager.lastXlsxBase64();
        const QVariantMap result = manager.importFile(path);
        QCOMPARE(result.value("error").toString(), QString(error).replace(QLatin1String("%1"), path));
        QCOMPARE(result.value("ok").toBool(), error.isEmpty());
        if (error.isEmpty())
            QCOMPARE(manager.lastXlsxBase64(), QString::fromLatin1(bytes.toBase64()));
        else
            QCOMPARE(manager.lastXlsxBase64(), before);
    }

    // The bytes kept for the instrument are those read, not the file as it is later.
    void keepsTheBytesItComputedFrom()
    {
        const QString path = m_env->root() + QStringLiteral("/Q-NS-CFD10E-20261207.xlsx");
        const QByteArray original = readFile(fixture("Q-NS-CFD10E-20261207.xlsx"));
        QVERIFY(writeFile(path, original));
        CertificationManager manager;
        QVERIFY(manager.importFile(QUrl::fromLocalFile(path).toString()).value("ok").toBool());
        QVERIFY(writeFile(path, readFile(fixture("Q-NS-RANDOM-20261207.xlsx"))));
        QCOMPARE(QByteArray::fromBase64(manager.lastXlsxBase64().toLatin1()), original);
    }

    // The sheet reaches the XML reader 256 KiB at a time; a number cut by the end of a
    // slice still reads whole.
    void numberCutBetweenSlices()
    {
        constexpr int Slice = 256 * 1024;
        QByteArray sheet = TestZip::sheetXml(rows(8000));
        const int at = sheet.lastIndexOf("19.95", Slice - 2);
        sheet.insert(sheet.indexOf("<row"), QByteArray(Slice - (at + 2), ' '));   // "19" | ".95"
        QList<TestZip::Part> parts = TestZip::workbook("");
        parts[2] = TestZip::part(parts[2].name, sheet);
        const QString path = m_env->root() + QStringLiteral("/sliced.xlsx");
        QVERIFY(writeFile(path, TestZip::archive(parts)));
        const QVariantMap row = rowFor(CertificationManager().importFile(path), 20);
        QCOMPARE(row.value("n").toInt(), 8000);
        QCOMPARE(row.value("stdDevWeight").toDouble(), 0.0);
    }

    void recompute()
    {
        CertificationManager manager;
        QCOMPARE(manager.recompute(1.0), QVariantMap());
        const QVariantMap imported = manager.importFile(fixture("Q-NS-NINE-20261207.xlsx"));
        QCOMPARE(manager.recompute(0), QVariantMap());
        const QVariantMap result = manager.recompute(1.05);
        QCOMPARE(result.value("zFactor").toDouble(), 1.05);
        QCOMPARE(result.value("warnings"), imported.value("warnings"));
        QCOMPARE(result.value("valid").toBool(), false);
        QCOMPARE(result.value("overallPass").toBool(), false);   // not valid, whatever the numbers
        const double before = rowFor(imported, 200).value("meanVolume").toDouble();
        QCOMPARE(rowFor(result, 200).value("meanVolume").toDouble(), before / 1.003 * 1.05);
        manager.clear();
        QCOMPARE(manager.recompute(1.0), QVariantMap());
        QCOMPARE(manager.lastXlsxBase64(), QString());
    }

    // A stored record is shown as it was certified, even where today's arithmetic differs.
    void records()
    {
        CertificationManager manager;
        QVERIFY(manager.importFile(fixture("Q-NS-RANDOM-20261207.xlsx")).value("ok").toBool());
        const QString json = manager.buildRecordJson("NS-CFD10E", "", "J. Doe", 45.2, 21.4, 22.0, 1012.8);
        QJsonObject record = QJsonDocument::fromJson(json.toUtf8()).object();
        QVERIFY(!record.contains("ok"));
        QCOMPARE(record.value("date").toString(), QDate::currentDate().toString("yyyy-MM-dd"));
        QCOMPARE(record.value("pressure").toDouble(), 1012.8);
        QCOMPARE(record.value("results").toArray().size(), 5);
        QJsonArray results = record.value("results").toArray();
        QJsonObject last = results.last().toObject();
        last.insert("randomPct", 0.2999);   // as an earlier version computed it
        results.replace(4, last);
        record.insert("results", results);
        const QVariantMap shown = manager.recordToResult(QString::fromUtf8(QJsonDocument(record).toJson()));
        QCOMPARE(shown.value("ok").toBool(), true);
        QCOMPARE(rowFor(shown, 1000).value("randomPct").toDouble(), 0.2999);
        QCOMPARE(manager.recordToResult("[1, 2]"), QVariantMap());
    }
};

NERRA_TEST_MAIN(TestCertificationManager)
#include "tst_certificationmanager.moc"
