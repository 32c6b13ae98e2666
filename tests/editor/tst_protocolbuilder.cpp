#include "editor/protocolbuilder.h"
#include "formats/csvgenerator.h"
#include "formats/splgenerator.h"
#include "model/commands.h"
#include "model/validator.h"
#include "splmethod.h"
#include "spytexts.h"
#include "storage/protocollibrary.h"
#include "testmain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

namespace {

const QString Hw = QStringLiteral("A1B2C3D4E5F6");
const QString Valid = QStringLiteral("tipselect tip:small\naspirate tip:small vol:150.0 xvol:0 speed:5\n"
                                     "dispense tip:small vol:150.0 xvol:0 speed:5\n");
const QByteArray ValidCsv = "TIPSELECT,S,,,,,,,,\nASPIRATE,S,150.0,0,,,,5,\nDISPENSE,S,150.0,0,,,,5,\n";

QString splFile(const QString &steps, const QString &name = QStringLiteral("Method"))
{
    const QString path = QDir::temp().filePath(QStringLiteral("method.spl"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(("protocol name: " + name + "\n\n" + steps).toUtf8()) < 0)
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QString stepsIn(const QString &spl)
{
    return spl.mid(spl.indexOf(QLatin1String("\n\n")) + 2);
}

QString addToLibrary(ProtocolLibrary &library, const QString &name, const QString &spl = Valid)
{
    QObject owner;
    QVariantList maps;
    for (const Command *command : methodFromSpl(spl, &owner))
        maps << command->toVariantMap();
    const QString id = library.createProtocol(name);
    return library.saveProtocol(id, name, QStringLiteral("about ") + name, maps, false) ? id : QString();
}

void setVolume(const ProtocolBuilder &builder, int index, int whole)
{
    qobject_cast<VolumeCommand *>(builder.commandList().at(index))->setVolumeWhole(whole);
}

// What was said since the last look.
QStringList messages(QSignalSpy &spy)
{
    const QStringList said = spyTexts(spy);
    spy.clear();
    return said;
}

QString order(const ProtocolBuilder &builder)
{
    QString types;
    for (const Command *command : builder.commandList())
        types += command->type().at(0);
    return types;
}

} // namespace

class TestProtocolBuilder : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void insertion_data()
    {
        // Where a new step goes and what it starts with: the tip in force, and for a
        // dispense what that tip holds there, never more than it can hold.
        const QString ts = QStringLiteral("tipselect tip:small\n");
        const QString asp = QStringLiteral("aspirate tip:small vol:150.0 xvol:0 speed:5\n");
        const QString disp = QStringLiteral("dispense tip:%1 vol:%2 xvol:0 speed:5\n");
        const QString large = QStringLiteral("tipselect tip:large\naspirate tip:large vol:1000.0 xvol:50 speed:5\n");
        const QString airgap = QStringLiteral("airgap tip:small vol:100.0 xvol:0 speed:5\n");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("at");
        QTest::addColumn<QString>("after");
        const std::tuple<QString, const char *, int, QString> cases[] = {
            {ts + asp, "airgap", 2, ts + asp + airgap},   // past the end: added at the end
            {ts + asp, "dispense", 1, ts + asp + disp.arg("small", "150.0")},
            {large, "dispense", 1, large + disp.arg("large", "1000.0")},
            {ts + asp + airgap, "dispense", -1, ts + asp + airgap + disp.arg("small", "200.0")},
            {ts + asp + "tipselect tip:large\n", "dispense", 2, ts + asp + "tipselect tip:large\n" + disp.arg("large", "100.0")},
            {QString(), "dispense", -1, disp.arg("small", "100.0")},
            {ts + asp + disp.arg("small", "20.0"), "dispense", 1, ts + asp + disp.arg("small", "150.0") + disp.arg("small", "20.0")},
            {"tipselect tip:large\n" + asp + "tipselect tip:large\n", "aspirate", 0,
             "tipselect tip:large\naspirate tip:large vol:100.0 xvol:0 speed:5\n" + asp + "tipselect tip:large\n"},
            // A new Tip Select starts small and carries its tip to the steps after it, up to the next.
            {"tipselect tip:large\naspirate tip:large vol:150.0 xvol:0 speed:5\ntipselect tip:large\n", "tipselect", 0,
             "tipselect tip:large\n" + ts + asp + "tipselect tip:large\n"},
            // The Tip Select a method lacks goes to the top, wherever the selection is.
            {asp, "tipselect", 0, ts + asp}};
        int row = 0;
        for (const auto &c : cases)
            QTest::addRow("%d: %s at %d", ++row, std::get<1>(c), std::get<2>(c))
                << std::get<0>(c) << QString::fromLatin1(std::get<1>(c)) << std::get<2>(c) << std::get<3>(c);
    }
    void insertion()
    {
        QFETCH(QString, before);
        QFETCH(QString, type);
        QFETCH(int, at);
        QFETCH(QString, after);
        ProtocolBuilder builder;
        QVERIFY(builder.loadFromFile(splFile(before)));
        QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);
        QSignalSpy spl(&builder, &ProtocolBuilder::splPreviewChanged);
        const int position = builder.insertCommand(type, at);
        QCOMPARE(stepsIn(builder.splPreview()), after);
        QVERIFY(builder.commandList().at(position)->type() == type && builder.commandList().at(position)->parent() == &builder);
        // Anything but the eight type words changes nothing.
        QCOMPARE(builder.insertCommand(QStringLiteral("Aspirate"), 0), -1);
        QCOMPARE(QList<int>({commands.count(), spl.count()}), QList<int>({1, 1}));
    }

    void tipsMovesAndRemovals()
    {
        // A changed Tip Select carries its tip to the steps up to the next one, into loop
        // bodies too, in one refresh. Commands read from a file are watched like any other.
        ProtocolBuilder builder;
        QVERIFY(builder.loadFromFile(splFile("tipselect tip:small\nmix tip:small vol:100 cycles:2 speed:5\nloop 2\n"
                                             "  aspirate tip:small vol:10 speed:5\n  tipselect tip:small\n"
                                             "  dispense tip:small vol:10 speed:5\nendloop\ntipselect tip:small\npurge tip:small speed:5\n")));
        QSignalSpy spl(&builder, &ProtocolBuilder::splPreviewChanged);
        QSignalSpy errors(&builder, &ProtocolBuilder::validationErrorsChanged);
        QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);
        builder.commandList().at(0)->setTip(QStringLiteral("large"));
        QCOMPARE(stepsIn(builder.splPreview()), QStringLiteral("tipselect tip:large\nmix tip:large vol:100.0 cycles:2 speed:5\nloop 2\n"
                                                               "  aspirate tip:large vol:10.0 xvol:0 speed:5\n  tipselect tip:small\n"
                                                               "  dispense tip:small vol:10.0 xvol:0 speed:5\nendloop\n"
                                                               "tipselect tip:small\npurge tip:small speed:5\n"));
        QVERIFY(spl.count() == 1 && errors.count() == 1);
        // Each step's text is kept until it changes, a loop's until anything in its body does.
        qobject_cast<LoopCommand *>(builder.commandList().at(2))->innerCommandList().at(2)->setProperty("volumeWhole", 7);
        QCOMPARE(builder.csvPreview(), CsvGenerator().generate(QString(), QString(), builder.commandList()));
        QCOMPARE(builder.splPreview(), SplGenerator().generate(builder.protocolName(), builder.commandList()));
        QCOMPARE(builder.validationErrors().constLast().toMap()["message"].toString(),
                 Validator().validate(builder.commandList()).constLast().message);

        // The leading Tip Select never moves away from the top; moves out of range do nothing.
        const std::tuple<int, int, const char *> moves[] = {{0, 2, "tmltp"}, {2, 2, "tmltp"}, {1, 5, "tmltp"}, {5, 1, "tmltp"},
                                                            {2, -1, "tmltp"}, {3, 0, "ttmlp"}, {1, 4, "tmlpt"}, {4, 1, "ttmlp"}};
        for (const auto &move : moves) {
            builder.moveCommand(std::get<0>(move), std::get<1>(move));
            QCOMPARE(order(builder), QString::fromLatin1(std::get<2>(move)));
        }
        QVERIFY(commands.count() == 3 && spl.count() == 5);

        // Removing a step does not carry tips again.
        builder.removeCommand(5);
        builder.removeCommand(-1);
        QCOMPARE(commands.count(), 3);
        builder.removeCommand(3);
        builder.removeCommand(1);
        QVERIFY(commands.count() == 5 && order(builder) == QLatin1String("tmp") && builder.commandList().at(1)->tip() == "large");
        spl.clear();
        builder.clearCommands();
        QVERIFY(builder.commandList().isEmpty() && spl.count() == 1);
    }

    void cvolAndTipSelectRule_data()
    {
        // The tip volumes after a step, and whether a Tip Select may follow it: only when the
        // tip in force is empty. Past the end means after the last step.
        const QString ts = QStringLiteral("tipselect tip:small\n");
        const QString asp = QStringLiteral("aspirate tip:small vol:150.5 xvol:5 speed:5\n");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("index");
        QTest::addColumn<QVariantList>("cvol");
        QTest::addColumn<bool>("tipSelectFits");
        const std::tuple<QString, int, QVariantList, bool> cases[] = {
            {ts + asp, -1, {0, 0, 0, 0}, false}, {ts + asp, 2, {0, 0, 0, 0}, false}, {ts + asp, 0, {0, 0, 0, 0}, true},
            {ts + asp, 1, {155, 5, 0, 0}, false}, {ts + asp + "tipselect tip:large\n", 2, {155, 5, 0, 0}, true},
            {"tipselect tip:large\naspirate tip:large vol:300.7 speed:5\n", 1, {0, 0, 300, 7}, false},
            {ts + "loop 3\n  aspirate tip:small vol:10 speed:5\nendloop\n", 1, {30, 0, 0, 0}, false},
            // Without a leading Tip Select one may always go in (at the top).
            {asp, 0, {155, 5, 0, 0}, true}};
        int row = 0;
        for (const auto &c : cases)
            QTest::addRow("%d: after step %d", ++row, std::get<1>(c)) << std::get<0>(c) << std::get<1>(c) << std::get<2>(c) << std::get<3>(c);
    }
    void cvolAndTipSelectRule()
    {
        QFETCH(QString, steps);
        QFETCH(int, index);
        QFETCH(QVariantList, cvol);
        QFETCH(bool, tipSelectFits);
        ProtocolBuilder builder;
        QVERIFY(builder.loadFromFile(splFile(steps)));
        const QVariantMap map = builder.getCvolAtIndex(index);
        QCOMPARE(map.keys(), (QStringList{"largeFractional", "largeWhole", "smallFractional", "smallWhole"}));
        QCOMPARE((QVariantList{map["smallWhole"], map["smallFractional"], map["largeWhole"], map["largeFractional"]}), cvol);
        if (index >= 0 && index < builder.commandList().size())
            QCOMPARE(builder.canInsertTipSelectAt(index), tipSelectFits);
        QCOMPARE(builder.canInsertTipSelectAt(-1), builder.canInsertTipSelectAt(builder.commandList().size() - 1));
        builder.clearCommands();
        QVERIFY(builder.canInsertTipSelectAt(3));
    }

    void autoSaveAfterTheLastEdit()
    {
        ProtocolLibrary library;
        const QString first = addToLibrary(library, QStringLiteral("First"));
        const QString id = addToLibrary(library, QStringLiteral("Wash"));
        const QDateTime modified = library.getProtocol(id)["modified"].toDateTime();
        ProtocolBuilder builder;
        QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
        builder.loadFromLibrary(first);
        QVERIFY(!builder.saveToLibrary());
        builder.setLibrary(&library);
        QVERIFY(!builder.saveToLibrary()); // not a library method: nothing to say
        builder.loadFromLibrary(QStringLiteral("missing"));
        QCOMPARE(messages(errors), (QStringList{"No library reference set", "No library reference set", "Method not found: missing"}));
        QVERIFY(!builder.isLibraryProtocol());

        builder.setAutoSaveInterval(0);
        builder.loadFromLibrary(first);
        builder.loadFromLibrary(id);
        QVERIFY(builder.isLibraryProtocol() && builder.currentProtocolId() == id);
        QCOMPARE(builder.protocolName() + " / " + builder.description() + " / " + stepsIn(builder.splPreview()), "Wash / about Wash / " + Valid);
        // Looking at a method is not editing it: nothing is written back.
        QSignalSpy saved(&library, &ProtocolLibrary::protocolsChanged);
        QCoreApplication::processEvents();
        QVERIFY(!builder.hasUnsavedChanges() && saved.isEmpty() && library.getProtocol(id)["modified"].toDateTime() == modified);

        // Written once, a full interval after the last of several edits, with its errors
        // (liquid left in the tip) and flagged so.
        builder.setAutoSaveInterval(300);
        QSignalSpy unsaved(&builder, &ProtocolBuilder::hasUnsavedChangesChanged);
        QElapsedTimer sinceLastEdit;
        setVolume(builder, 1, 120);
        sinceLastEdit.start();
        QVERIFY(builder.hasUnsavedChanges());
        QTimer::singleShot(150, &builder, [&] {
            builder.setDescription(QStringLiteral("edited"));
            sinceLastEdit.restart();
        });
        QVERIFY(saved.wait(5000));
        QVERIFY2(sinceLastEdit.elapsed() >= 295, qPrintable(QString::number(sinceLastEdit.elapsed())));
        QVERIFY(saved.count() == 1 && unsaved.count() == 2 && !builder.hasUnsavedChanges());
        const QVariantMap entry = library.getAllProtocols().at(1).toMap();
        QVERIFY(entry["description"] == "edited" && entry["hasErrors"].toBool() && library.exportToSpl(id).contains("aspirate tip:small vol:120.0"));

        // A save the library refuses keeps the edit marked unsaved.
        builder.setAutoSaveInterval(60000);
        builder.setProtocolName(QStringLiteral("FIRST"));
        QVERIFY(!builder.saveToLibrary() && builder.hasUnsavedChanges());
        QCOMPARE(errors.constLast().at(0).toString(), QStringLiteral("Failed to save method"));
    }

    void pendingEditWrittenBeforeLeaving()
    {
        // Leaving a method writes its pending edit first. When the library refuses it (a name
        // another method has), the method stays open with it instead of losing it.
        const std::function<void(ProtocolBuilder &, const QString &)> leaves[] = {
            [](ProtocolBuilder &b, const QString &other) { b.loadFromLibrary(other); },
            [](ProtocolBuilder &b, const QString &) { b.loadFromLibrary(b.currentProtocolId()); },
            [](ProtocolBuilder &b, const QString &) { b.newProtocol(); },
            [](ProtocolBuilder &b, const QString &) { b.loadFromDeviceProtocol(Hw, "x.csv", "PURGE,S,,,,,,4,\n"); }};
        for (const auto &leave : leaves) {
            for (const bool refused : {false, true}) {
                m_env.reset(); // each case in a fresh folder
                m_env = std::make_unique<IsolatedEnvironment>();
                ProtocolLibrary library;
                const QString edited = addToLibrary(library, QStringLiteral("Edited"));
                const QString other = addToLibrary(library, QStringLiteral("Other"));
                {
                    ProtocolBuilder builder;
                    builder.setLibrary(&library);
                    builder.setAutoSaveInterval(60000);
                    builder.loadFromLibrary(edited);
                    setVolume(builder, 2, 140);
                    if (refused) {
                        builder.setProtocolName(QStringLiteral("OTHER"));
                        QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
                        leave(builder, other);
                        QVERIFY(builder.isLibraryProtocol() && builder.hasUnsavedChanges() && builder.currentProtocolId() == edited);
                        QVERIFY(builder.splPreview().contains("dispense tip:small vol:140.0"));
                        QCOMPARE(errors.constLast().at(0).toString(),
                                 QStringLiteral("The changes to \"OTHER\" could not be saved, so the method stays open"));
                        builder.setProtocolName(QStringLiteral("Edited"));
                    }
                    leave(builder, other);
                    QVERIFY(library.exportToSpl(edited).contains("dispense tip:small vol:140.0") && !builder.hasUnsavedChanges());
                    QCOMPARE(stepsIn(library.exportToSpl(other)), Valid);
                    // And when the program closes with an edit waiting.
                    builder.loadFromLibrary(other);
                    setVolume(builder, 1, 130);
                }
                QVERIFY(library.exportToSpl(other).contains("aspirate tip:small vol:130.0"));
            }
        }
    }

    void files()
    {
        ProtocolBuilder builder;
        builder.newProtocol();
        QCOMPARE(stepsIn(builder.splPreview()), QStringLiteral("tipselect tip:small\n"));
        QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
        QSignalSpy name(&builder, &ProtocolBuilder::protocolNameChanged);
        QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);
        QVERIFY(builder.loadFromFile(QUrl::fromLocalFile(splFile(Valid, QStringLiteral("Dilution µ"))).toString()));
        QCOMPARE(builder.splPreview(), QStringLiteral("protocol name: Dilution µ\n\n") + Valid);
        QVERIFY(name.count() == 1 && commands.count() == 1);
        // What cannot be read or written leaves the method as it was, and says why.
        const QString missing = QDir::temp().filePath(QStringLiteral("missing.spl"));
        const QString nowhere = QDir::temp().filePath(QStringLiteral("no/such/folder/x"));
        QVERIFY(!builder.loadFromFile(missing) && !builder.loadFromFile(splFile("aspirate tip:small vol:10.0\nendloop\n", "Broken")));
        QVERIFY(!builder.saveToFile(nowhere) && !builder.compileToCsv(nowhere));
        QCOMPARE(messages(errors), (QStringList{"Failed to open file: " + missing, "Parse error: Unexpected 'endloop' at line 4",
                                                "Failed to save file: " + nowhere, "Failed to save CSV file: " + nowhere}));
        QCOMPARE(builder.splPreview(), QStringLiteral("protocol name: Dilution µ\n\n") + Valid);

        const QString spl = QDir::temp().filePath(QStringLiteral("out.spl"));
        const QString csv = QDir::temp().filePath(QStringLiteral("out.csv"));
        const auto read = [](const QString &file) {
            QFile in(file);
            return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
        };
        QVERIFY(builder.saveToFile(QUrl::fromLocalFile(spl).toString()) && builder.compileToCsv(QUrl::fromLocalFile(csv).toString()));
        QCOMPARE(read(spl), builder.splPreview().toUtf8());
        QCOMPARE(read(csv), ValidCsv);
        QCOMPARE(builder.generateCsvForTransfer().toUtf8() + builder.getCsvData(), ValidCsv + ValidCsv);
        // With errors: the SPL file is still written, the CSV never.
        setVolume(builder, 2, 100);
        QFile::remove(csv);
        QVERIFY(builder.saveToFile(spl) && !builder.compileToCsv(csv) && !QFile::exists(csv));
        QVERIFY(read(spl).contains("dispense tip:small vol:100.0"));
        QCOMPARE(messages(errors), QStringList{"Cannot compile CSV: method has validation errors"});
        QVERIFY(builder.generateCsvForTransfer().isNull() && builder.getCsvData().isNull());
    }

    void deviceMethods()
    {
        const QList<QStringList> names{{"Wash_plate.CSV", "Wash plate", "Wash_plate.csv"}, {"Plain", "Plain", "Plain.csv"},
                                       {"a.csv.csv", "a.csv", "a.csv"}, {"", "", ".csv"}};
        for (const QStringList &name : names) {
            QCOMPARE(ProtocolBuilder::methodNameFromFilename(name.at(0)), name.at(1));
            QCOMPARE(ProtocolBuilder::filenameFromMethodName(name.at(1)), name.at(2));
        }
        ProtocolLibrary library;
        ProtocolBuilder builder;
        builder.setLibrary(&library);
        builder.setAutoSaveInterval(0);
        builder.loadFromLibrary(library.createProtocol(QStringLiteral("Lib")));
        QSignalSpy device(&builder, &ProtocolBuilder::isDeviceProtocolChanged);
        QSignalSpy saved(&library, &ProtocolLibrary::protocolsChanged);
        builder.loadFromDeviceProtocol(Hw, QStringLiteral("Serial_Dilution.csv"),
                                       "tipselect,s,,,,,,,,\r\nASPIRATE,L,150.0,0,*,*,*,5,*,0\r\nDISPENSE,L,150.0,0,,,,5,\r\n");
        QVERIFY(device.count() == 1 && builder.isDeviceProtocol() && !builder.isLibraryProtocol() && builder.currentProtocolId().isEmpty());
        QCOMPARE(QStringList({builder.protocolName(), builder.deviceHardwareId(), builder.deviceFilename(), builder.deviceOrigFilename()}),
                 (QStringList{"Serial Dilution", Hw, "Serial_Dilution.csv", "Serial_Dilution.csv"}));
        // The lower-case "s" is the large tip, as the instrument reads it.
        QCOMPARE(builder.csvPreview(), QStringLiteral("TIPSELECT,L,,,,,,,,\nASPIRATE,L,150.0,0,,,,5,\nDISPENSE,L,150.0,0,,,,5,\n"));
        // Edits are not auto-saved anywhere: device copies are saved by the user.
        builder.commandList().at(0)->setTip(QStringLiteral("small"));
        QCOMPARE(builder.commandList().at(2)->tip(), QStringLiteral("small"));
        QCoreApplication::processEvents();
        QVERIFY(!builder.hasUnsavedChanges() && saved.isEmpty());
        builder.loadFromDeviceProtocol(Hw, QString(), QByteArray());
        QVERIFY(builder.isDeviceProtocol() && builder.commandList().isEmpty() && builder.protocolName().isEmpty());
        builder.newProtocol();
        QVERIFY(!builder.isDeviceProtocol() && builder.deviceHardwareId().isEmpty() && builder.deviceFilename().isEmpty());
    }

    void csvExchange()
    {
        ProtocolLibrary library;
        ProtocolBuilder builder;
        QCOMPARE(builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("X")), QString());
        QVERIFY(!builder.libraryCsvMatchesDevice(QStringLiteral("any"), ValidCsv));
        builder.setLibrary(&library);
        QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
        // Stored as the instrument had it, flagged valid whatever its content; the builder's own method is not touched.
        const QString id = builder.importCsvDataToLibrary("TIPSELECT,S,,,,,,,,\nASPIRATE,S,10.0,0,,,,5,\n", QStringLiteral("From device"));
        QCOMPARE(library.exportToSpl(id), QStringLiteral("protocol name: From device\n\ntipselect tip:small\n"
                                                         "aspirate tip:small vol:10.0 xvol:0 speed:5\n"));
        const QVariantMap stored = library.getAllProtocols().at(0).toMap();
        QVERIFY(stored["description"].toString().isEmpty() && !stored["hasErrors"].toBool() && builder.commandList().isEmpty());
        // A name taken in another case, or nothing to import, adds nothing.
        QVERIFY(builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("FROM DEVICE")).isEmpty()
                && builder.importCsvDataToLibrary("# protocol name: x\nBOGUS,1\n", QStringLiteral("Nothing")).isEmpty());
        QVERIFY(library.protocolCount() == 1 && errors.isEmpty());

        // The instrument's formatting (wildcards, case, blanks, line ends) is no difference.
        const QString valid = builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("Valid"));
        QCOMPARE(builder.csvForLibraryProtocol(valid), ValidCsv);
        const QList<QPair<QByteArray, bool>> devices{
            {ValidCsv, true},
            {"tipselect, S ,,,,,,,,\r\nASPIRATE,S,150,0,*,*,*,5,*,0\r\n\r\ndispense,S,150.00,0,,,,5\r\n", true},
            {QByteArray(ValidCsv).replace("DISPENSE,S,150.0", "DISPENSE,S,150.1"), false},
            {QByteArray(ValidCsv).replace("TIPSELECT,S", "TIPSELECT,L"), false},
            {QByteArray(), false}};
        for (const auto &device : devices)
            QCOMPARE(builder.libraryCsvMatchesDevice(valid, device.first), device.second);
        QVERIFY(!builder.libraryCsvMatchesDevice(QString(), QByteArray()) && !builder.libraryCsvMatchesDevice("missing", QByteArray()));
        QVERIFY(builder.csvForLibraryProtocol(QString()).isNull() && builder.csvForLibraryProtocol("missing").isNull());

        // Previews leave the method alone; refused text is never fit to send, and says why.
        const QString before = builder.splPreview();
        const QByteArray tooDeep = "TIPSELECT,S,,,,,,,,\n" + QByteArray("LOOPSTART,,,,,,,,2\n").repeated(70)
                                   + "ASPIRATE,S,10.0,0,,,,5,\n" + QByteArray("LOOPEND,,,,,,,,\n").repeated(70);
        const QList<std::tuple<QByteArray, QString>> previews{
            {"TIPSELECT,S,,,,,,,,\nLOOPSTART,,,,,,,,2\nASPIRATE,S,10.0,0,,,,5,\nDISPENSE,S,10.0,0,,,,5,\nLOOPEND,,,,,,,,\n",
             "2 steps | tipselect tip:small\nloop 2\n  aspirate tip:small vol:10.0 xvol:0 speed:5\n"
             "  dispense tip:small vol:10.0 xvol:0 speed:5\nendloop | "},
            {"TIPSELECT,S,,,,,,,,\nASPIRATE,S,10.0,0,,,,5,\n", "2 steps | tipselect tip:small\naspirate tip:small vol:10.0 xvol:0 speed:5 | errors"},
            {QByteArray(), "0 steps |  | errors"},
            {tooDeep, "0 steps |  | errors | Loops nested deeper than 64 levels at line 66"}};
        for (const auto &preview : previews) {
            const QVariantMap shown = builder.previewCsvData(std::get<0>(preview));
            QCOMPARE(shown["stepCount"].toString() + " steps | " + shown["splPreview"].toString()
                         + (shown["hasErrors"].toBool() ? " | errors" : " | ") + (shown.contains("error") ? " | " + shown["error"].toString() : ""),
                     std::get<1>(preview));
        }
        QCOMPARE(builder.splPreview(), before);

        // Deeper than the reader walks: refused whole, and nothing loaded or stored in its
        // place, which could otherwise be saved back empty over the instrument's copy.
        builder.loadFromDeviceProtocol(Hw, QStringLiteral("Kept.csv"), ValidCsv);
        QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);
        builder.loadFromDeviceProtocol(Hw, QStringLiteral("Deep.csv"), tooDeep);
        QCOMPARE(builder.importCsvDataToLibrary(tooDeep, QStringLiteral("Deep")), QString());
        const QString refusal = QStringLiteral("Loops nested deeper than 64 levels at line 66");
        QCOMPARE(messages(errors), (QStringList{refusal, refusal}));
        QVERIFY(commands.isEmpty() && builder.deviceFilename() == QLatin1String("Kept.csv") && library.protocolCount() == 2);
        QCOMPARE(builder.getCsvData(), ValidCsv);
        const QString empty = library.createProtocol(QStringLiteral("Empty"));
        QVERIFY(builder.libraryCsvMatchesDevice(empty, QByteArray()) && !builder.libraryCsvMatchesDevice(empty, tooDeep));

        // A save that fails after the record was made leaves no empty method behind: as soon
        // as the method is created, another one takes its name.
        bool stolen = false;
        connect(&library, &ProtocolLibrary::protocolCountChanged, this, [&] {
            if (!stolen && (stolen = true))
                library.createProtocol(QStringLiteral("STOLEN"));
        });
        QCOMPARE(builder.importCsvDataToLibrary(ValidCsv, QStringLiteral("Stolen")), QString());
        QVERIFY(library.protocolCount() == 4 && !library.findProtocolIdByFilename(QStringLiteral("STOLEN")).isEmpty());
    }

    void saveToDeviceStore()
    {
        // The file name becomes a path and a settings group: what could leave its place is
        // refused, and so is a name another file of the instrument has.
        const QString unusable = QStringLiteral("A protocol name cannot contain \"/\", \"\\\" or control characters.");
        const QString exists = QStringLiteral("A protocol named \"%1\" already exists on this device.");
        const QStringList cases[] = {{"A.csv", " My Mix ", "", "My_Mix.csv", ""},
                                     {"", "run.CSV", "", "run.CSV", ""},
                                     {"A.csv", "B", "B.csv", "B.csv", exists.arg("B")},
                                     {"A.csv", "b", "B.csv", "b.csv", ""},
                                     {"A.csv", "A", "A.csv", "A.csv", ""},
                                     {"", " Wash ", "Wash.csv", "Wash.csv", exists.arg("Wash")},
                                     {"A.csv", "1/2 plate", "", "1/2_plate.csv", unusable},
                                     {"A.csv", "Buffer v2.", "", "Buffer_v2..csv", ""},
                                     {"A.csv", "   ", "", ".csv", "A protocol name cannot be empty."}};
        for (const QStringList &c : cases) {
            const QString &orig = c[0], &newFilename = c[3], &error = c[4];
            ProtocolBuilder builder;
            builder.loadFromDeviceProtocol(Hw, orig, ValidCsv);
            builder.setProtocolName(c[1]);
            // A method with errors is stored too; callers check hasErrors before sending.
            setVolume(builder, 2, 20);
            QVERIFY(builder.hasErrors());
            QSignalSpy filenameChanged(&builder, &ProtocolBuilder::deviceFilenameChanged);
            const QVariantMap result = builder.saveToDeviceStore(c[2].isEmpty() ? QStringList() : QStringList{c[2]});
            QCOMPARE(QStringList({result["error"].toString(), result["oldFilename"].toString(), result["newFilename"].toString()}),
                     (QStringList{error, orig, newFilename}));
            const QString stored = error.isEmpty() ? newFilename : orig;
            QCOMPARE(QStringList({builder.deviceFilename(), builder.deviceOrigFilename()}), (QStringList{stored, stored}));
            QCOMPARE(filenameChanged.count(), stored == orig ? 0 : 1);
            QCOMPARE(result["csvData"].toByteArray(), error.isEmpty() ? builder.csvPreview().toUtf8() : QByteArray());
        }
    }

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

NERRA_TEST_MAIN(TestProtocolBuilder)
#include "tst_protocolbuilder.moc"
