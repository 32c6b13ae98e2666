#include "model/commands.h"
#include "editor/protocolbuilder.h"
#include "storage/protocollibrary.h"
#include "testmain.h"

#include <QRegularExpression>
#include <QSignalSpy>

#include <memory>

namespace {

const QByteArray ValidCsv = "TIPSELECT,S,,,,,,,,\nASPIRATE,S,150.0,0,,,,5,\nDISPENSE,S,150.0,0,,,,5,\n";

// Deeper than the reader walks: refused whole.
QByteArray tooDeep()
{
    QByteArray csv = "TIPSELECT,S,,,,,,,,\n";
    for (int i = 0; i < 70; ++i)
        csv += "LOOPSTART,,,,,,,,2\n";
    csv += "ASPIRATE,S,10.0,0,,,,5,\n";
    for (int i = 0; i < 70; ++i)
        csv += "LOOPEND,,,,,,,,\n";
    return csv;
}

QString stepsOf(const ProtocolLibrary &library, const QString &id)
{
    QString text;
    for (const QVariant &map : library.getProtocol(id).value(QStringLiteral("commands")).toList()) {
        std::unique_ptr<Command> command(Command::fromVariantMap(map.toMap()));
        if (command)
            text += command->toSpl(0);
    }
    return text;
}

// Makes the library's next saveProtocol fail: as soon as a method is created, another
// one takes its name.
class NameThief : public QObject
{
public:
    NameThief(ProtocolLibrary *library, const QString &name)
    {
        connect(library, &ProtocolLibrary::protocolCountChanged, this, [=] {
            if (m_done)
                return;
            m_done = true;
            library->createProtocol(name.toUpper());
        });
    }

private:
    bool m_done = false;
};

} // namespace

class TestProtocolBuilderDevice : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void fileNames_data();
    void fileNames();
    void loadDeviceMethod();
    void refusedDeviceText();
    void saveToDeviceStore_data();
    void saveToDeviceStore();
    void previewCsvData_data();
    void previewCsvData();
    void importCsvDataToLibrary();
    void importFailures();
    void libraryComparison_data();
    void libraryComparison();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestProtocolBuilderDevice::fileNames_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("backToFilename");

    QTest::newRow("underscores") << "Serial_Dilution.csv" << "Serial Dilution" << "Serial_Dilution.csv";
    QTest::newRow("upper-case suffix") << "Wash_plate.CSV" << "Wash plate" << "Wash_plate.csv";
    QTest::newRow("no suffix") << "Plain" << "Plain" << "Plain.csv";
    QTest::newRow("suffix only once") << "a.csv.csv" << "a.csv" << "a.csv";
    QTest::newRow("empty") << "" << "" << ".csv";
}

void TestProtocolBuilderDevice::fileNames()
{
    QFETCH(QString, filename);
    QFETCH(QString, name);
    QFETCH(QString, backToFilename);
    QCOMPARE(ProtocolBuilder::methodNameFromFilename(filename), name);
    QCOMPARE(ProtocolBuilder::filenameFromMethodName(name), backToFilename);
}

void TestProtocolBuilderDevice::loadDeviceMethod()
{
    ProtocolLibrary library;
    const QString id = library.createProtocol(QStringLiteral("Lib"));
    ProtocolBuilder builder;
    builder.setLibrary(&library);
    builder.setAutoSaveInterval(10);
    builder.loadFromLibrary(id);
    QSignalSpy device(&builder, &ProtocolBuilder::isDeviceProtocolChanged);
    QSignalSpy saved(&library, &ProtocolLibrary::protocolsChanged);

    builder.loadFromDeviceProtocol(QStringLiteral("A1B2C3D4E5F6"), QStringLiteral("Serial_Dilution.csv"),
                                   "tipselect,s,,,,,,,,\r\nASPIRATE,L,150.0,0,*,*,*,5,*,0\r\n"
                                   "DISPENSE,L,150.0,0,,,,5,\r\n");
    QCOMPARE(device.count(), 1);
    QVERIFY(builder.isDeviceProtocol());
    QVERIFY(!builder.isLibraryProtocol());
    QCOMPARE(builder.currentProtocolId(), QString());
    QCOMPARE(builder.protocolName(), QStringLiteral("Serial Dilution"));
    QCOMPARE(builder.deviceHardwareId(), QStringLiteral("A1B2C3D4E5F6"));
    QCOMPARE(builder.deviceFilename(), QStringLiteral("Serial_Dilution.csv"));
    QCOMPARE(builder.deviceOrigFilename(), QStringLiteral("Serial_Dilution.csv"));
    // The lower-case "s" is the large tip, as the instrument reads it.
    QCOMPARE(builder.csvPreview(),
             QStringLiteral("TIPSELECT,L,,,,,,,,\nASPIRATE,L,150.0,0,,,,5,\nDISPENSE,L,150.0,0,,,,5,\n"));
    QCOMPARE(builder.commandList().at(1)->parent(), &builder);

    // Edits are not auto-saved anywhere: device copies are saved by the user.
    builder.commandList().at(0)->setTip(QStringLiteral("small"));
    QCOMPARE(builder.commandList().at(2)->tip(), QStringLiteral("small"));
    QVERIFY(!builder.hasUnsavedChanges());
    QVERIFY(!saved.wait(100));

    builder.loadFromDeviceProtocol(QStringLiteral("A1B2C3D4E5F6"), QString(), QByteArray());
    QVERIFY(builder.commandList().isEmpty());
    QCOMPARE(builder.protocolName(), QString());
    QCOMPARE(builder.deviceFilename(), QString());
    QVERIFY(builder.isDeviceProtocol());

    builder.newProtocol();
    QVERIFY(!builder.isDeviceProtocol());
    QCOMPARE(builder.deviceHardwareId(), QString());
}

void TestProtocolBuilderDevice::refusedDeviceText()
{
    ProtocolBuilder builder;
    builder.loadFromDeviceProtocol(QStringLiteral("A1B2C3D4E5F6"), QStringLiteral("Kept.csv"), ValidCsv);
    QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
    QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("nested deeper"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Deep.csv.*refused"));
    builder.loadFromDeviceProtocol(QStringLiteral("A1B2C3D4E5F6"), QStringLiteral("Deep.csv"), tooDeep());
    QCOMPARE(errors.count(), 1);
    QVERIFY(errors.at(0).at(0).toString().startsWith("Loops nested deeper than 64 levels at line"));
    // Nothing loaded in its place, so nothing empty can be saved back under either name.
    QCOMPARE(commands.count(), 0);
    QCOMPARE(builder.deviceFilename(), QStringLiteral("Kept.csv"));
    QCOMPARE(builder.getCsvData(), ValidCsv);
}

void TestProtocolBuilderDevice::saveToDeviceStore_data()
{
    QTest::addColumn<QString>("origFilename");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("newFilename");
    QTest::addColumn<QString>("error");

    const QStringList none;
    QTest::newRow("spaces trimmed and replaced") << "A.csv" << " My Mix " << none << "My_Mix.csv" << "";
    QTest::newRow("own suffix kept") << "" << "run.CSV" << none << "run.CSV" << "";
    QTest::newRow("rename onto an existing file")
        << "A.csv" << "B" << QStringList{"B.csv"} << "B.csv"
        << "A protocol named \"B\" already exists on this device.";
    QTest::newRow("existing name, other case") << "A.csv" << "b" << QStringList{"B.csv"} << "b.csv" << "";
    QTest::newRow("unchanged name is no obstacle") << "A.csv" << "A" << QStringList{"A.csv"} << "A.csv" << "";
    QTest::newRow("new device method onto an existing file")
        << "" << " Wash " << QStringList{"Wash.csv"} << "Wash.csv"
        << "A protocol named \"Wash\" already exists on this device.";
    QTest::newRow("slash") << "A.csv" << "1/2 plate" << none << "1/2_plate.csv"
                           << "A protocol name cannot contain \"/\", \"\\\" or control characters.";
    QTest::newRow("backslash") << "A.csv" << "a\\b" << none << "a\\b.csv"
                               << "A protocol name cannot contain \"/\", \"\\\" or control characters.";
    QTest::newRow("tab") << "A.csv" << "a\tb" << none << "a\tb.csv"
                         << "A protocol name cannot contain \"/\", \"\\\" or control characters.";
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
    builder.loadFromDeviceProtocol(QStringLiteral("A1B2C3D4E5F6"), origFilename, ValidCsv);
    builder.setProtocolName(name);
    // A method with errors is stored too; callers check hasErrors before sending.
    builder.commandList().at(2)->setProperty("volumeWhole", 20);
    QVERIFY(builder.hasErrors());
    QSignalSpy filenameChanged(&builder, &ProtocolBuilder::deviceFilenameChanged);

    if (error.contains("cannot contain"))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unusable device file name"));
    const QVariantMap result = builder.saveToDeviceStore(existing);
    QCOMPARE(result.value("error").toString(), error);
    QCOMPARE(result.value("oldFilename").toString(), origFilename);
    QCOMPARE(result.value("newFilename").toString(), newFilename);
    if (!error.isEmpty()) {
        QVERIFY(!result.contains("csvData"));
        QCOMPARE(builder.deviceFilename(), origFilename);
        QCOMPARE(builder.deviceOrigFilename(), origFilename);
        QCOMPARE(filenameChanged.count(), 0);
        return;
    }
    QCOMPARE(result.value("csvData").toByteArray(), builder.csvPreview().toUtf8());
    QVERIFY(result.value("csvData").toByteArray().contains("DISPENSE,S,20.0"));
    QCOMPARE(builder.deviceFilename(), newFilename);
    QCOMPARE(builder.deviceOrigFilename(), newFilename);
    QCOMPARE(filenameChanged.count(), origFilename == newFilename ? 0 : 1);
}

void TestProtocolBuilderDevice::previewCsvData_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<int>("stepCount");
    QTest::addColumn<QString>("spl");
    QTest::addColumn<bool>("hasErrors");

    QTest::newRow("tip select and a loop of three")
        << QByteArray("TIPSELECT,S,,,,,,,,\nLOOPSTART,,,,,,,,2\nASPIRATE,S,10.0,0,,,,5,\n"
                      "MIX,S,10.0,0,3,,,5,\nDISPENSE,S,10.0,0,,,,5,\nLOOPEND,,,,,,,,\n")
        << 2
        << "tipselect tip:small\nloop 2\n  aspirate tip:small vol:10.0 xvol:0 speed:5\n"
           "  mix tip:small vol:10.0 cycles:3 speed:5\n  dispense tip:small vol:10.0 xvol:0 speed:5\nendloop"
        << false;
    QTest::newRow("valid") << ValidCsv << 3
                           << "tipselect tip:small\naspirate tip:small vol:150.0 xvol:0 speed:5\n"
                              "dispense tip:small vol:150.0 xvol:0 speed:5"
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

    // Refused text is never fit to send, and says why.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("nested deeper"));
    const QVariantMap refused = builder.previewCsvData(tooDeep());
    QVERIFY(refused.value("hasErrors").toBool());
    QCOMPARE(refused.value("stepCount").toInt(), 0);
    QVERIFY(refused.value("error").toString().startsWith("Loops nested deeper"));
}

void TestProtocolBuilderDevice::importCsvDataToLibrary()
{
    ProtocolLibrary library;
    ProtocolBuilder builder;
    QTest::ignoreMessage(QtWarningMsg, "ProtocolBuilder::importCsvDataToLibrary: no library set");
    QCOMPARE(builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("X")), QString());

    builder.setLibrary(&library);
    const QString id = builder.importCsvDataToLibrary(
        "TIPSELECT,S,,,,,,,,\nASPIRATE,S,10.0,0,,,,5,\n", QStringLiteral("From device"));
    QVERIFY(!id.isEmpty());
    const QVariantMap stored = library.getProtocol(id);
    QCOMPARE(stored.value("name").toString(), QStringLiteral("From device"));
    QCOMPARE(stored.value("description").toString(), QString());
    QCOMPARE(stepsOf(library, id),
             QStringLiteral("tipselect tip:small\naspirate tip:small vol:10.0 xvol:0 speed:5\n"));
    // Stored as the instrument had it, flagged valid whatever its content.
    QCOMPARE(library.getAllProtocols().at(0).toMap().value("hasErrors").toBool(), false);
    // The builder's own method is not touched.
    QVERIFY(builder.commandList().isEmpty());
}

void TestProtocolBuilderDevice::importFailures()
{
    ProtocolLibrary library;
    ProtocolBuilder builder;
    builder.setLibrary(&library);
    library.createProtocol(QStringLiteral("Taken"));
    QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("name already taken: \"tAKEN\""));
    QCOMPARE(builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("tAKEN")), QString());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no commands parsed for \"Nothing\""));
    QCOMPARE(builder.importCsvDataToLibrary("# protocol name: x\nBOGUS,1\n", QStringLiteral("Nothing")),
             QString());
    QCOMPARE(library.protocolCount(), 1);
    QVERIFY(errors.isEmpty());

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("nested deeper"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("refused"));
    QCOMPARE(builder.importCsvDataToLibrary(tooDeep(), QStringLiteral("Deep")), QString());
    QCOMPARE(errors.count(), 1);
    QVERIFY(errors.at(0).at(0).toString().startsWith("Loops nested deeper"));
    QCOMPARE(library.protocolCount(), 1);

    // A save that fails after the record was made leaves no empty method behind.
    NameThief thief(&library, QStringLiteral("Stolen"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("saveProtocol failed, removing orphan"));
    QCOMPARE(builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("Stolen")), QString());
    QCOMPARE(library.protocolCount(), 2);
    QStringList names;
    for (const QVariant &entry : library.getAllProtocols())
        names << entry.toMap().value("name").toString();
    QCOMPARE(names, (QStringList{"STOLEN", "Taken"}));
}

void TestProtocolBuilderDevice::libraryComparison_data()
{
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<bool>("matches");

    QTest::newRow("same text") << ValidCsv << true;
    QTest::newRow("instrument's own formatting")
        << QByteArray("tipselect, S ,,,,,,,,\r\nASPIRATE,S,150,0,*,*,*,5,*,0\r\n\r\ndispense,S,150.00,0,,,,5\r\n")
        << true;
    QTest::newRow("other volume") << QByteArray("TIPSELECT,S,,,,,,,,\nASPIRATE,S,150.0,0,,,,5,\n"
                                                "DISPENSE,S,150.1,0,,,,5,\n")
                                  << false;
    QTest::newRow("other tip") << QByteArray("TIPSELECT,L,,,,,,,,\nASPIRATE,S,150.0,0,,,,5,\n"
                                             "DISPENSE,S,150.0,0,,,,5,\n")
                               << false;
    QTest::newRow("empty file") << QByteArray() << false;
}

void TestProtocolBuilderDevice::libraryComparison()
{
    QFETCH(QByteArray, device);
    QFETCH(bool, matches);

    ProtocolLibrary library;
    ProtocolBuilder builder;
    QCOMPARE(builder.libraryCsvMatchesDevice(QStringLiteral("any"), device), false);
    builder.setLibrary(&library);
    builder.loadFromDeviceProtocol(QStringLiteral("A1B2C3D4E5F6"), QStringLiteral("Valid.csv"), ValidCsv);
    const QString id = builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("Valid"));
    QVERIFY(!id.isEmpty());

    QCOMPARE(builder.libraryCsvMatchesDevice(id, device), matches);
    QCOMPARE(builder.csvForLibraryProtocol(id), ValidCsv);
    QCOMPARE(builder.libraryCsvMatchesDevice(QString(), device), false);
    QCOMPARE(builder.csvForLibraryProtocol(QString()), QByteArray());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ProtocolLibrary: Method not found"));
    QCOMPARE(builder.csvForLibraryProtocol(QStringLiteral("missing")), QByteArray());

    // An empty library method never matches text the reader refused.
    const QString empty = library.createProtocol(QStringLiteral("Empty"));
    QCOMPARE(builder.csvForLibraryProtocol(empty), QByteArray());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("nested deeper"));
    QCOMPARE(builder.libraryCsvMatchesDevice(empty, tooDeep()), false);
    QCOMPARE(builder.libraryCsvMatchesDevice(empty, QByteArray()), true);
}

NERRA_TEST_MAIN(TestProtocolBuilderDevice)
#include "tst_protocolbuilder_device.moc"
