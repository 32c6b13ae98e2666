#include "editor/protocolbuilder.h"
#include "model/commands.h"
#include "storage/protocollibrary.h"
#include "testmain.h"

#include <QSignalSpy>

#include <memory>
#include <utility>

namespace {

const QString Hw = QStringLiteral("A1B2C3D4E5F6");
const QByteArray ValidCsv = "TIPSELECT,S,,,,,,,,\nASPIRATE,S,150.0,0,,,,5,\nDISPENSE,S,150.0,0,,,,5,\n";

QStringList namesOf(const ProtocolLibrary &library)
{
    QStringList names;
    for (const QVariant &entry : library.getAllProtocols())
        names << entry.toMap().value(QStringLiteral("name")).toString();
    return names;
}

} // namespace

class TestProtocolBuilderDevice : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void loadDeviceMethod();
    void refusedDeviceTextIsNeverUsed();
    void saveToDeviceStore_data();
    void saveToDeviceStore();
    void previewCsvData_data();
    void previewCsvData();
    void importCsvDataToLibrary();
    void libraryComparison_data();
    void libraryComparison();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestProtocolBuilderDevice::loadDeviceMethod()
{
    const QList<QStringList> names{{"Serial_Dilution.csv", "Serial Dilution", "Serial_Dilution.csv"},
                                   {"Wash_plate.CSV", "Wash plate", "Wash_plate.csv"}, {"Plain", "Plain", "Plain.csv"},
                                   {"a.csv.csv", "a.csv", "a.csv"}, {"", "", ".csv"}};
    for (const QStringList &name : names) {
        QCOMPARE(ProtocolBuilder::methodNameFromFilename(name.at(0)), name.at(1));
        QCOMPARE(ProtocolBuilder::filenameFromMethodName(name.at(1)), name.at(2));
    }

    ProtocolLibrary library;
    const QString id = library.createProtocol(QStringLiteral("Lib"));
    ProtocolBuilder builder;
    builder.setLibrary(&library);
    builder.setAutoSaveInterval(0);
    builder.loadFromLibrary(id);
    QSignalSpy device(&builder, &ProtocolBuilder::isDeviceProtocolChanged);
    QSignalSpy saved(&library, &ProtocolLibrary::protocolsChanged);
    builder.loadFromDeviceProtocol(Hw, QStringLiteral("Serial_Dilution.csv"),
                                   "tipselect,s,,,,,,,,\r\nASPIRATE,L,150.0,0,*,*,*,5,*,0\r\nDISPENSE,L,150.0,0,,,,5,\r\n");
    QCOMPARE(device.count(), 1);
    QVERIFY(builder.isDeviceProtocol() && !builder.isLibraryProtocol() && builder.currentProtocolId().isEmpty());
    QCOMPARE(builder.protocolName(), QStringLiteral("Serial Dilution"));
    QCOMPARE(builder.deviceHardwareId(), Hw);
    QCOMPARE(builder.deviceFilename(), QStringLiteral("Serial_Dilution.csv"));
    QCOMPARE(builder.deviceOrigFilename(), QStringLiteral("Serial_Dilution.csv"));
    // The lower-case "s" is the large tip, as the instrument reads it.
    QCOMPARE(builder.csvPreview(), QStringLiteral("TIPSELECT,L,,,,,,,,\nASPIRATE,L,150.0,0,,,,5,\nDISPENSE,L,150.0,0,,,,5,\n"));
    QCOMPARE(builder.commandList().at(1)->parent(), &builder);

    // Edits are not auto-saved anywhere: device copies are saved by the user.
    builder.commandList().at(0)->setTip(QStringLiteral("small"));
    QCOMPARE(builder.commandList().at(2)->tip(), QStringLiteral("small"));
    QCoreApplication::processEvents();
    QVERIFY(!builder.hasUnsavedChanges());
    QCOMPARE(saved.count(), 0);

    builder.loadFromDeviceProtocol(Hw, QString(), QByteArray());
    QVERIFY(builder.commandList().isEmpty() && builder.protocolName().isEmpty() && builder.deviceFilename().isEmpty());
    QVERIFY(builder.isDeviceProtocol());
    builder.newProtocol();
    QVERIFY(!builder.isDeviceProtocol() && builder.deviceHardwareId().isEmpty());
}

void TestProtocolBuilderDevice::refusedDeviceTextIsNeverUsed()
{
    // Deeper than the reader walks, so refused whole; an empty method in its place could
    // be saved back over the instrument's copy.
    const QByteArray tooDeep = "TIPSELECT,S,,,,,,,,\n" + QByteArray("LOOPSTART,,,,,,,,2\n").repeated(70)
                               + "ASPIRATE,S,10.0,0,,,,5,\n" + QByteArray("LOOPEND,,,,,,,,\n").repeated(70);
    const QString refusal = QStringLiteral("Loops nested deeper than 64 levels at line 66");
    ProtocolLibrary library;
    ProtocolBuilder builder;
    builder.setLibrary(&library);
    builder.loadFromDeviceProtocol(Hw, QStringLiteral("Kept.csv"), ValidCsv);
    QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
    QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);

    builder.loadFromDeviceProtocol(Hw, QStringLiteral("Deep.csv"), tooDeep);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), refusal);
    QCOMPARE(commands.count(), 0);
    QCOMPARE(builder.deviceFilename(), QStringLiteral("Kept.csv"));
    QCOMPARE(builder.getCsvData(), ValidCsv);

    const QVariantMap preview = builder.previewCsvData(tooDeep);
    QCOMPARE(preview.value("error").toString(), refusal);
    QVERIFY(preview.value("hasErrors").toBool());
    QCOMPARE(preview.value("stepCount").toInt(), 0);

    QCOMPARE(builder.importCsvDataToLibrary(tooDeep, QStringLiteral("Deep")), QString());
    QCOMPARE(errors.count(), 2);
    QCOMPARE(errors.at(1).at(0).toString(), refusal);
    QCOMPARE(library.protocolCount(), 0);

    // An empty library method matches an empty file, never text the reader refused.
    const QString empty = library.createProtocol(QStringLiteral("Empty"));
    QVERIFY(builder.libraryCsvMatchesDevice(empty, QByteArray()));
    QVERIFY(!builder.libraryCsvMatchesDevice(empty, tooDeep));
}

void TestProtocolBuilderDevice::saveToDeviceStore_data()
{
    QTest::addColumn<QString>("origFilename");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("newFilename");
    QTest::addColumn<QString>("error");

    const QStringList none;
    const QString unusable = QStringLiteral("A protocol name cannot contain \"/\", \"\\\" or control characters.");
    QTest::newRow("spaces trimmed and replaced") << "A.csv" << " My Mix " << none << "My_Mix.csv" << "";
    QTest::newRow("own suffix kept") << "" << "run.CSV" << none << "run.CSV" << "";
    QTest::newRow("rename onto an existing file") << "A.csv" << "B" << QStringList{"B.csv"} << "B.csv"
                                                  << "A protocol named \"B\" already exists on this device.";
    QTest::newRow("existing name, other case") << "A.csv" << "b" << QStringList{"B.csv"} << "b.csv" << "";
    QTest::newRow("unchanged name is no obstacle") << "A.csv" << "A" << QStringList{"A.csv"} << "A.csv" << "";
    QTest::newRow("new device method onto an existing file") << "" << " Wash " << QStringList{"Wash.csv"} << "Wash.csv"
                                                             << "A protocol named \"Wash\" already exists on this device.";
    QTest::newRow("slash") << "A.csv" << "1/2 plate" << none << "1/2_plate.csv" << unusable;
    QTest::newRow("backslash") << "A.csv" << "a\\b" << none << "a\\b.csv" << unusable;
    QTest::newRow("tab") << "A.csv" << "a\tb" << none << "a\tb.csv" << unusable;
    QTest::newRow("a final dot is a plain name") << "A.csv" << "Buffer v2." << none << "Buffer_v2..csv" << "";
    QTest::newRow("nothing") << "A.csv" << "   " << none << ".csv" << "A protocol name cannot be empty.";
}

void TestProtocolBuilderDevice::saveToDeviceStore()
{
    QFETCH(QString, origFilename);
    QFETCH(QString, name);
    QFETCH(QStringList, existing);
    QFETCH(QString, newFilename);
    QFETCH(QString, error);

    ProtocolBuilder builder;
    builder.loadFromDeviceProtocol(Hw, origFilename, ValidCsv);
    builder.setProtocolName(name);
    // A method with errors is stored too; callers check hasErrors before sending.
    builder.commandList().at(2)->setProperty("volumeWhole", 20);
    QVERIFY(builder.hasErrors());
    QSignalSpy filenameChanged(&builder, &ProtocolBuilder::deviceFilenameChanged);
    const QVariantMap result = builder.saveToDeviceStore(existing);
    QCOMPARE(result.value("error").toString(), error);
    QCOMPARE(result.value("oldFilename").toString(), origFilename);
    QCOMPARE(result.value("newFilename").toString(), newFilename);
    const QString stored = error.isEmpty() ? newFilename : origFilename;
    QCOMPARE(builder.deviceFilename(), stored);
    QCOMPARE(builder.deviceOrigFilename(), stored);
    QCOMPARE(filenameChanged.count(), stored == origFilename ? 0 : 1);
    QCOMPARE(result.value("csvData").toByteArray(), error.isEmpty() ? builder.csvPreview().toUtf8() : QByteArray());
    QCOMPARE(result.contains("csvData"), error.isEmpty());
    QVERIFY(builder.csvPreview().contains("DISPENSE,S,20.0"));
}

void TestProtocolBuilderDevice::previewCsvData_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<int>("stepCount");
    QTest::addColumn<QString>("spl");
    QTest::addColumn<bool>("hasErrors");

    QTest::newRow("tip select and a loop of three")
        << QByteArray("TIPSELECT,S,,,,,,,,\nLOOPSTART,,,,,,,,2\nASPIRATE,S,10.0,0,,,,5,\nMIX,S,10.0,0,3,,,5,\n"
                      "DISPENSE,S,10.0,0,,,,5,\nLOOPEND,,,,,,,,\n")
        << 2 << "tipselect tip:small\nloop 2\n  aspirate tip:small vol:10.0 xvol:0 speed:5\n"
                "  mix tip:small vol:10.0 cycles:3 speed:5\n  dispense tip:small vol:10.0 xvol:0 speed:5\nendloop"
        << false;
    QTest::newRow("liquid left") << QByteArray("TIPSELECT,S,,,,,,,,\nASPIRATE,S,10.0,0,,,,5,\n") << 2
                                 << "tipselect tip:small\naspirate tip:small vol:10.0 xvol:0 speed:5" << true;
    QTest::newRow("empty") << QByteArray() << 0 << "" << true;
}

void TestProtocolBuilderDevice::previewCsvData()
{
    QFETCH(QByteArray, csv);
    QFETCH(int, stepCount);
    QFETCH(QString, spl);
    QFETCH(bool, hasErrors);

    ProtocolBuilder builder;
    const QString before = builder.splPreview();
    const QVariantMap preview = builder.previewCsvData(csv);
    QCOMPARE(preview.value("stepCount").toInt(), stepCount);
    QCOMPARE(preview.value("splPreview").toString(), spl);
    QCOMPARE(preview.value("hasErrors").toBool(), hasErrors);
    QVERIFY(!preview.contains("error"));
    QCOMPARE(builder.splPreview(), before);
}

void TestProtocolBuilderDevice::importCsvDataToLibrary()
{
    ProtocolLibrary library;
    ProtocolBuilder builder;
    QCOMPARE(builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("X")), QString());
    builder.setLibrary(&library);
    QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
    const QString id = builder.importCsvDataToLibrary("TIPSELECT,S,,,,,,,,\nASPIRATE,S,10.0,0,,,,5,\n", QStringLiteral("From device"));
    QVERIFY(!id.isEmpty());
    QCOMPARE(library.exportToSpl(id), QStringLiteral("protocol name: From device\n\ntipselect tip:small\n"
                                                     "aspirate tip:small vol:10.0 xvol:0 speed:5\n"));
    QCOMPARE(library.getProtocol(id).value("description").toString(), QString());
    // Stored as the instrument had it, flagged valid whatever its content.
    QCOMPARE(library.getAllProtocols().at(0).toMap().value("hasErrors").toBool(), false);
    // The builder's own method is not touched.
    QVERIFY(builder.commandList().isEmpty());

    // A name taken in another case, or nothing to import, adds nothing.
    QCOMPARE(builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("FROM DEVICE")), QString());
    QCOMPARE(builder.importCsvDataToLibrary("# protocol name: x\nBOGUS,1\n", QStringLiteral("Nothing")), QString());
    QCOMPARE(library.protocolCount(), 1);
    QVERIFY(errors.isEmpty());

    // A save that fails after the record was made leaves no empty method behind: as soon
    // as the method is created, another one takes its name.
    bool stolen = false;
    connect(&library, &ProtocolLibrary::protocolCountChanged, this, [&] {
        if (!std::exchange(stolen, true))
            library.createProtocol(QStringLiteral("STOLEN"));
    });
    QCOMPARE(builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("Stolen")), QString());
    QCOMPARE(namesOf(library), (QStringList{"From device", "STOLEN"}));
}

void TestProtocolBuilderDevice::libraryComparison_data()
{
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<bool>("matches");
    QTest::newRow("same text") << ValidCsv << true;
    QTest::newRow("instrument's own formatting")
        << QByteArray("tipselect, S ,,,,,,,,\r\nASPIRATE,S,150,0,*,*,*,5,*,0\r\n\r\ndispense,S,150.00,0,,,,5\r\n") << true;
    QTest::newRow("other volume") << QByteArray(ValidCsv).replace("DISPENSE,S,150.0", "DISPENSE,S,150.1") << false;
    QTest::newRow("other tip") << QByteArray(ValidCsv).replace("TIPSELECT,S", "TIPSELECT,L") << false;
    QTest::newRow("empty file") << QByteArray() << false;
}

void TestProtocolBuilderDevice::libraryComparison()
{
    QFETCH(QByteArray, device);
    QFETCH(bool, matches);
    ProtocolLibrary library;
    ProtocolBuilder builder;
    QVERIFY(!builder.libraryCsvMatchesDevice(QStringLiteral("any"), ValidCsv));
    builder.setLibrary(&library);
    const QString id = builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("Valid"));
    QCOMPARE(builder.libraryCsvMatchesDevice(id, device), matches);
    QCOMPARE(builder.csvForLibraryProtocol(id), ValidCsv);
    QVERIFY(!builder.libraryCsvMatchesDevice(QString(), QByteArray()));
    QVERIFY(!builder.libraryCsvMatchesDevice(QStringLiteral("missing"), QByteArray()));
    QCOMPARE(builder.csvForLibraryProtocol(QString()), QByteArray());
    QCOMPARE(builder.csvForLibraryProtocol(QStringLiteral("missing")), QByteArray());
}

NERRA_TEST_MAIN(TestProtocolBuilderDevice)
#include "tst_protocolbuilder_device.moc"
