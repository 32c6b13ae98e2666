#include "editor/protocolbuilder.h"
#include "formats/csvgenerator.h"
#include "formats/splgenerator.h"
#include "model/commands.h"
#include "model/validator.h"
#include "splmethod.h"
#include "storage/protocollibrary.h"
#include "testmain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

namespace {

const QString Valid = QStringLiteral("tipselect tip:small\naspirate tip:small vol:150.0 xvol:0 speed:5\n"
                                     "dispense tip:small vol:150.0 xvol:0 speed:5\n");

QString writeSpl(const QString &steps, const QString &name = QStringLiteral("Method"))
{
    const QString path = QDir::temp().filePath(QStringLiteral("method.spl"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write((QStringLiteral("protocol name: ") + name + QStringLiteral("\n\n") + steps).toUtf8());
    return path;
}

// The method's steps as SPL, without the header.
QString steps(const ProtocolBuilder &builder)
{
    return builder.splPreview().mid(builder.splPreview().indexOf(QLatin1String("\n\n")) + 2);
}

QString addToLibrary(ProtocolLibrary &library, const QString &name, const QString &spl)
{
    QObject owner;
    QVariantList maps;
    for (const Command *command : methodFromSpl(spl, &owner))
        maps << command->toVariantMap();
    const QString id = library.createProtocol(name);
    return library.saveProtocol(id, name, QStringLiteral("about ") + name, maps, false) ? id : QString();
}

QString stepsOf(const ProtocolLibrary &library, const QString &id)
{
    const QString spl = library.exportToSpl(id);
    return spl.mid(spl.indexOf(QLatin1String("\n\n")) + 2);
}

void setVolume(const ProtocolBuilder &builder, int index, int whole)
{
    qobject_cast<VolumeCommand *>(builder.commandList().at(index))->setVolumeWhole(whole);
}

} // namespace

using Edit = std::function<void(ProtocolBuilder &)>;
Q_DECLARE_METATYPE(Edit)

class TestProtocolBuilder : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void insertion_data();
    void insertion();
    void tipsMovesAndRemovals();
    void cvolAndTipSelectRule_data();
    void cvolAndTipSelectRule();
    void refreshAgreesWithCommands_data();
    void refreshAgreesWithCommands();
    void autoSaveAfterTheLastEdit();
    void pendingEditWrittenBeforeLeaving_data();
    void pendingEditWrittenBeforeLeaving();
    void files();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestProtocolBuilder::insertion_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("afterIndex");
    QTest::addColumn<QString>("result");

    const QString ts = QStringLiteral("tipselect tip:small\n");
    const QString asp = QStringLiteral("aspirate tip:small vol:150.0 xvol:0 speed:5\n");
    QTest::newRow("appended with -1") << ts + asp << "mix" << -1 << ts + asp + "mix tip:small vol:100.0 cycles:2 speed:5\n";
    QTest::newRow("appended past the end") << ts + asp << "airgap" << 2 << ts + asp + "airgap tip:small vol:100.0 xvol:0 speed:5\n";
    QTest::newRow("after a step") << ts + asp << "purge" << 0 << ts + "purge tip:small speed:5\n" + asp;
    QTest::newRow("repeat") << ts << "repeat" << 0 << ts + "repeat tip:small vol:200.0 dispense:100.0 replicates:2 speed:5\n";
    QTest::newRow("dispense takes what the tip holds") << ts + asp << "dispense" << 1
                                                       << ts + asp + "dispense tip:small vol:150.0 xvol:0 speed:5\n";
    QTest::newRow("dispense rounds the held volume") << ts + "aspirate tip:small vol:50.5 xvol:0 speed:5\n" << "dispense" << 1
        << ts + "aspirate tip:small vol:50.5 xvol:0 speed:5\ndispense tip:small vol:51.0 xvol:0 speed:5\n";
    QTest::newRow("dispense capped at the large tip") << "tipselect tip:large\naspirate tip:large vol:1000.0 xvol:50 speed:5\n"
        << "dispense" << 1 << "tipselect tip:large\naspirate tip:large vol:1000.0 xvol:50 speed:5\n"
                              "dispense tip:large vol:1000.0 xvol:0 speed:5\n";
    QTest::newRow("dispense capped at the small tip") << ts + asp + "airgap tip:small vol:100.0 xvol:0 speed:5\n" << "dispense"
        << -1 << ts + asp + "airgap tip:small vol:100.0 xvol:0 speed:5\ndispense tip:small vol:200.0 xvol:0 speed:5\n";
    QTest::newRow("dispense reads the tip in force, not the other") << ts + asp + "tipselect tip:large\n" << "dispense" << 2
        << ts + asp + "tipselect tip:large\ndispense tip:large vol:100.0 xvol:0 speed:5\n";
    QTest::newRow("dispense first") << QString() << "dispense" << -1 << "dispense tip:small vol:100.0 xvol:0 speed:5\n";
    QTest::newRow("dispense between steps reads the step before") << ts + asp + "dispense tip:small vol:20.0 xvol:0 speed:5\n"
        << "dispense" << 1 << ts + asp + "dispense tip:small vol:150.0 xvol:0 speed:5\ndispense tip:small vol:20.0 xvol:0 speed:5\n";
    QTest::newRow("tip in force from the nearest tip select") << "tipselect tip:large\n" + asp + "tipselect tip:large\n"
        << "aspirate" << 0 << "tipselect tip:large\naspirate tip:large vol:100.0 xvol:0 speed:5\n" + asp + "tipselect tip:large\n";
    QTest::newRow("no tip select: small") << asp << "loop" << 0 << asp + "loop 2\nendloop\n";
    // A new Tip Select starts small and carries its tip to the steps after it, up to the next.
    QTest::newRow("tip select") << "tipselect tip:large\naspirate tip:large vol:150.0 xvol:0 speed:5\ntipselect tip:large\n"
        << "tipselect" << 0 << "tipselect tip:large\n" + ts + asp + "tipselect tip:large\n";
}

void TestProtocolBuilder::insertion()
{
    QFETCH(QString, method);
    QFETCH(QString, type);
    QFETCH(int, afterIndex);
    QFETCH(QString, result);
    ProtocolBuilder builder;
    QVERIFY(builder.loadFromFile(writeSpl(method)));
    QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);
    QSignalSpy spl(&builder, &ProtocolBuilder::splPreviewChanged);
    const int position = builder.insertCommand(type, afterIndex);
    QCOMPARE(steps(builder), result);
    QCOMPARE(builder.commandList().at(position)->type(), type);
    QCOMPARE(builder.commandList().at(position)->parent(), &builder);
    QCOMPARE(commands.count(), 1);
    QCOMPARE(spl.count(), 1);
    // Anything but the eight type words changes nothing.
    QCOMPARE(builder.insertCommand(QStringLiteral("Aspirate"), 0), -1);
    QCOMPARE(commands.count(), 1);
}

void TestProtocolBuilder::tipsMovesAndRemovals()
{
    // A changed Tip Select carries its tip to the steps up to the next one, into loop
    // bodies too, in one refresh. Commands read from a file are watched like any other.
    ProtocolBuilder builder;
    QVERIFY(builder.loadFromFile(writeSpl("tipselect tip:small\nmix tip:small vol:100 cycles:2 speed:5\nloop 2\n"
                                          "  aspirate tip:small vol:10 speed:5\n  tipselect tip:small\n  dispense tip:small vol:10 speed:5\n"
                                          "endloop\ntipselect tip:small\npurge tip:small speed:5\n")));
    QSignalSpy spl(&builder, &ProtocolBuilder::splPreviewChanged);
    QSignalSpy errors(&builder, &ProtocolBuilder::validationErrorsChanged);
    QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);
    builder.commandList().at(0)->setTip(QStringLiteral("large"));
    QCOMPARE(steps(builder), QStringLiteral("tipselect tip:large\nmix tip:large vol:100.0 cycles:2 speed:5\nloop 2\n"
                                            "  aspirate tip:large vol:10.0 xvol:0 speed:5\n  tipselect tip:small\n"
                                            "  dispense tip:small vol:10.0 xvol:0 speed:5\nendloop\ntipselect tip:small\n"
                                            "purge tip:small speed:5\n"));
    QCOMPARE(spl.count(), 1);
    QCOMPARE(errors.count(), 1);

    // The leading Tip Select never moves away from the top; moves out of range do nothing.
    const auto order = [&] {
        QString types;
        for (const Command *command : builder.commandList())
            types += command->type().at(0);
        return types;
    };
    const std::tuple<int, int, const char *> moves[] = {{0, 2, "tmltp"}, {2, 2, "tmltp"}, {1, 5, "tmltp"}, {5, 1, "tmltp"},
                                                        {2, -1, "tmltp"}, {3, 0, "ttmlp"}, {1, 4, "tmlpt"}, {4, 1, "ttmlp"}};
    for (const auto &move : moves) {
        builder.moveCommand(std::get<0>(move), std::get<1>(move));
        QCOMPARE(order(), QString::fromLatin1(std::get<2>(move)));
    }
    QCOMPARE(commands.count(), 3);
    QCOMPARE(spl.count(), 4);
    QCOMPARE(builder.commands().at(0).value<QObject *>(), builder.commandList().at(0));

    // Removing a step does not carry tips again. Removed steps are deleted later, so that
    // the interface can still read them while it handles the signal; until then their
    // edits no longer reach the method.
    builder.removeCommand(5);
    builder.removeCommand(-1);
    QCOMPARE(commands.count(), 3);
    QPointer<Command> loop = builder.commandList().at(3);
    QPointer<Command> tipSelect = builder.commandList().at(1);
    builder.removeCommand(3);
    builder.removeCommand(1);
    QCOMPARE(commands.count(), 5);
    QCOMPARE(order(), QStringLiteral("tmp"));
    QCOMPARE(builder.commandList().at(1)->tip(), QStringLiteral("large"));
    spl.clear();
    tipSelect->setTip(QStringLiteral("small"));
    QCOMPARE(builder.commandList().at(1)->tip(), QStringLiteral("large"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!loop && !tipSelect);
    QCOMPARE(spl.count(), 0);
    builder.clearCommands();
    QVERIFY(builder.commandList().isEmpty());
    QCOMPARE(spl.count(), 1);
}

void TestProtocolBuilder::cvolAndTipSelectRule_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<int>("index");
    QTest::addColumn<QVariantList>("cvol");
    QTest::addColumn<bool>("tipSelectAfter");
    const QString ts = QStringLiteral("tipselect tip:small\n");
    const QString asp = QStringLiteral("aspirate tip:small vol:150.5 xvol:5 speed:5\n");
    QTest::newRow("before the first step") << ts + asp << -1 << QVariantList{0, 0, 0, 0} << false;
    QTest::newRow("past the end") << ts + asp << 2 << QVariantList{0, 0, 0, 0} << false;
    QTest::newRow("empty tip") << ts + asp << 0 << QVariantList{0, 0, 0, 0} << true;
    QTest::newRow("liquid held") << ts + asp << 1 << QVariantList{155, 5, 0, 0} << false;
    QTest::newRow("emptied again") << ts + asp + "dispense tip:small vol:155.5 speed:5\n" << 2 << QVariantList{0, 0, 0, 0} << true;
    QTest::newRow("only the tip in force counts") << ts + asp + "tipselect tip:large\n" << 2 << QVariantList{155, 5, 0, 0} << true;
    QTest::newRow("large tip holding liquid") << "tipselect tip:large\naspirate tip:large vol:300.7 speed:5\n" << 1
                                              << QVariantList{0, 0, 300, 7} << false;
    QTest::newRow("loop runs its iterations") << ts + "loop 3\n  aspirate tip:small vol:10 speed:5\nendloop\n" << 1
                                              << QVariantList{30, 0, 0, 0} << false;
    QTest::newRow("no tip select: small") << asp << 0 << QVariantList{155, 5, 0, 0} << false;
}

void TestProtocolBuilder::cvolAndTipSelectRule()
{
    QFETCH(QString, method);
    QFETCH(int, index);
    QFETCH(QVariantList, cvol);
    QFETCH(bool, tipSelectAfter);
    ProtocolBuilder builder;
    QVERIFY(builder.loadFromFile(writeSpl(method)));
    const QVariantMap map = builder.getCvolAtIndex(index);
    QCOMPARE(map.keys(), (QStringList{"largeFractional", "largeWhole", "smallFractional", "smallWhole"}));
    QCOMPARE((QVariantList{map["smallWhole"], map["smallFractional"], map["largeWhole"], map["largeFractional"]}), cvol);
    if (index >= 0 && index < builder.commandList().size())
        QCOMPARE(builder.canInsertTipSelectAt(index), tipSelectAfter);
    // Past the end means after the last step; nothing before the first step holds liquid.
    QCOMPARE(builder.canInsertTipSelectAt(-1), builder.canInsertTipSelectAt(builder.commandList().size() - 1));
    builder.clearCommands();
    QVERIFY(builder.canInsertTipSelectAt(3));
}

void TestProtocolBuilder::refreshAgreesWithCommands_data()
{
    QTest::addColumn<Edit>("edit");
    const auto on = [](int index, const char *property, QVariant value) {
        return Edit([=](ProtocolBuilder &b) { QVERIFY(b.commandList().at(index)->setProperty(property, value)); });
    };
    const auto inLoop = [](const std::function<void(LoopCommand *)> &edit) {
        return Edit([=](ProtocolBuilder &b) { edit(qobject_cast<LoopCommand *>(b.commandList().at(5))); });
    };
    QTest::newRow("volume") << on(1, "volumeWhole", 180);
    QTest::newRow("tenths") << on(2, "volumeFractional", 5);
    QTest::newRow("extra volume") << on(1, "extraVolume", 20);
    QTest::newRow("speed") << on(2, "speed", 9);
    QTest::newRow("mix cycles") << on(3, "cycles", 0);
    QTest::newRow("repeat replicates") << on(4, "replicates", 9);
    QTest::newRow("repeat dispense") << on(4, "dispenseVolume", 12.5);
    QTest::newRow("loop iterations") << on(5, "iterations", 11);
    QTest::newRow("tip select") << on(0, "tip", "large");
    QTest::newRow("step added in a loop") << inLoop([](LoopCommand *loop) { loop->addInnerCommand(QStringLiteral("purge")); });
    QTest::newRow("step removed from a loop") << inLoop([](LoopCommand *loop) { loop->removeInnerCommand(0); });
    QTest::newRow("step edited in a nested loop") << inLoop([](LoopCommand *loop) {
        auto *inner = qobject_cast<LoopCommand *>(loop->innerCommandList().at(2));
        inner->setIterations(4);
        inner->innerCommandList().at(0)->setProperty("volumeWhole", 33);
    });
    QTest::newRow("tip select in a loop") << inLoop([](LoopCommand *loop) { loop->innerCommandList().at(1)->setTip("large"); });
    QTest::newRow("remove") << Edit([](ProtocolBuilder &b) { b.removeCommand(2); });
    QTest::newRow("name with a line break") << Edit([](ProtocolBuilder &b) { b.setProtocolName(QStringLiteral("A\nB")); });
    QTest::newRow("new") << Edit([](ProtocolBuilder &b) { b.newProtocol(); });
    QTest::newRow("several") << Edit([](ProtocolBuilder &b) {
        setVolume(b, 1, 120);
        b.moveCommand(1, 3);
        setVolume(b, 3, 130);
        b.insertCommand(QStringLiteral("tipselect"), 3);
        setVolume(b, 2, 140);
    });
}

void TestProtocolBuilder::refreshAgreesWithCommands()
{
    QFETCH(Edit, edit);
    ProtocolBuilder builder;
    QVERIFY(builder.loadFromFile(writeSpl(Valid + "mix tip:small vol:100 cycles:2 speed:5\n"
                                                  "repeat tip:small dispense:20 replicates:2 speed:5\nloop 2\n"
                                                  "  aspirate tip:small vol:10 speed:5\n  tipselect tip:small\n  loop 2\n"
                                                  "    aspirate tip:small vol:5 speed:5\n    dispense tip:small vol:5 speed:5\n"
                                                  "  endloop\n  dispense tip:small vol:10 speed:5\nendloop\n")));
    QSignalSpy spl(&builder, &ProtocolBuilder::splPreviewChanged);
    QSignalSpy csv(&builder, &ProtocolBuilder::csvPreviewChanged);
    QSignalSpy errors(&builder, &ProtocolBuilder::validationErrorsChanged);
    QSignalSpy hasErrors(&builder, &ProtocolBuilder::hasErrorsChanged);
    edit(builder);
    QVERIFY(spl.count() >= 1);
    QCOMPARE(csv.count(), spl.count());
    QCOMPARE(errors.count(), spl.count());
    QCOMPARE(hasErrors.count(), spl.count());

    const QList<Command *> commands = builder.commandList();
    QCOMPARE(builder.splPreview(), SplGenerator().generate(builder.protocolName(), commands));
    QCOMPARE(builder.csvPreview(), CsvGenerator().generate(QString(), QString(), commands));
    const QList<ValidationError> expected = Validator().validate(commands);
    QVariantList published;
    for (const ValidationError &error : expected) {
        QVariantMap map{{"commandPath", error.commandPath}, {"message", error.message}};
        if (error.fixVolume >= 0)
            map.insert("fixVolume", error.fixVolume);
        published << map;
    }
    QCOMPARE(builder.validationErrors(), published);
    QCOMPARE(builder.hasErrors(), !expected.isEmpty());
    const QList<TipVolumes> volumes = Validator().cumulativeVolumes(commands);
    for (int i = 0; i < volumes.size(); ++i) {
        QCOMPARE(builder.getCvolAtIndex(i).value("smallWhole").toInt(), volumes.at(i).smallTip.whole);
        QCOMPARE(builder.getCvolAtIndex(i).value("largeFractional").toInt(), volumes.at(i).largeTip.fractional);
    }
}

void TestProtocolBuilder::autoSaveAfterTheLastEdit()
{
    ProtocolLibrary library;
    const QString first = addToLibrary(library, QStringLiteral("First"), Valid);
    const QString id = addToLibrary(library, QStringLiteral("Wash"), Valid);
    const QDateTime modified = library.getProtocol(id).value("modified").toDateTime();
    ProtocolBuilder builder;
    QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
    builder.loadFromLibrary(first);
    QVERIFY(!builder.saveToLibrary());
    QCOMPARE(errors.count(), 2);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("No library reference set"));
    builder.setLibrary(&library);
    QVERIFY(!builder.saveToLibrary()); // not a library method: nothing to say
    builder.loadFromLibrary(QStringLiteral("missing"));
    QCOMPARE(errors.count(), 3);
    QCOMPARE(errors.at(2).at(0).toString(), QStringLiteral("Method not found: missing"));
    QVERIFY(!builder.isLibraryProtocol());

    builder.setAutoSaveInterval(0);
    builder.loadFromLibrary(first);
    builder.loadFromLibrary(id);
    QCOMPARE(builder.currentProtocolId(), id);
    QVERIFY(builder.isLibraryProtocol());
    QCOMPARE(builder.protocolName(), QStringLiteral("Wash"));
    QCOMPARE(builder.description(), QStringLiteral("about Wash"));
    QCOMPARE(steps(builder), Valid);
    // Looking at a method is not editing it: nothing is written back.
    QSignalSpy saved(&library, &ProtocolLibrary::protocolsChanged);
    QCoreApplication::processEvents();
    QVERIFY(!builder.hasUnsavedChanges());
    QCOMPARE(saved.count(), 0);
    QCOMPARE(library.getProtocol(id).value("modified").toDateTime(), modified);

    // Written once, a full interval after the last of several edits.
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
    QCOMPARE(saved.count(), 1);
    QVERIFY(!builder.hasUnsavedChanges());
    QCOMPARE(unsaved.count(), 2);
    QCOMPARE(library.getProtocol(id).value("description").toString(), QStringLiteral("edited"));
    QVERIFY(stepsOf(library, id).contains("aspirate tip:small vol:120.0"));
    // Saved with its errors (liquid left in the tip) and flagged so.
    QCOMPARE(library.getAllProtocols().at(1).toMap().value("hasErrors").toBool(), true);

    // A save the library refuses keeps the edit marked unsaved.
    builder.setAutoSaveInterval(60000);
    builder.setProtocolName(QStringLiteral("FIRST"));
    QVERIFY(!builder.saveToLibrary());
    QCOMPARE(errors.constLast().at(0).toString(), QStringLiteral("Failed to save method"));
    QVERIFY(builder.hasUnsavedChanges());
}

void TestProtocolBuilder::pendingEditWrittenBeforeLeaving_data()
{
    QTest::addColumn<Edit>("leave");
    // The library refuses the pending edit (a name another method has): then the method
    // stays open with it instead of losing it.
    QTest::addColumn<bool>("refused");
    const QList<QPair<const char *, Edit>> leaves{
        {"another library method", [](ProtocolBuilder &b) { b.loadFromLibrary(b.property("other").toString()); }},
        {"the same method again", [](ProtocolBuilder &b) { b.loadFromLibrary(b.currentProtocolId()); }},
        {"new method", [](ProtocolBuilder &b) { b.newProtocol(); }},
        {"device method", [](ProtocolBuilder &b) { b.loadFromDeviceProtocol("A1B2C3D4E5F6", "x.csv", "PURGE,S,,,,,,4,\n"); }}};
    for (const auto &leave : leaves) {
        QTest::addRow("%s", leave.first) << leave.second << false;
        QTest::addRow("%s, edit refused", leave.first) << leave.second << true;
    }
}

void TestProtocolBuilder::pendingEditWrittenBeforeLeaving()
{
    QFETCH(Edit, leave);
    QFETCH(bool, refused);
    ProtocolLibrary library;
    const QString edited = addToLibrary(library, QStringLiteral("Edited"), Valid);
    const QString other = addToLibrary(library, QStringLiteral("Other"), Valid);
    {
        ProtocolBuilder builder;
        builder.setProperty("other", other);
        builder.setLibrary(&library);
        builder.setAutoSaveInterval(60000);
        builder.loadFromLibrary(edited);
        setVolume(builder, 2, 140);
        if (refused) {
            builder.setProtocolName(QStringLiteral("OTHER"));
            QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
            leave(builder);
            QCOMPARE(builder.currentProtocolId(), edited);
            QVERIFY(builder.isLibraryProtocol() && builder.hasUnsavedChanges());
            QVERIFY(steps(builder).contains("dispense tip:small vol:140.0"));
            QCOMPARE(errors.constLast().at(0).toString(),
                     QStringLiteral("The changes to \"OTHER\" could not be saved, so the method stays open"));
            // Once the edit can be saved, leaving works as before.
            builder.setProtocolName(QStringLiteral("Edited"));
        }
        leave(builder);
        QVERIFY(stepsOf(library, edited).contains("dispense tip:small vol:140.0"));
        QVERIFY(!builder.hasUnsavedChanges());
        QCOMPARE(stepsOf(library, other), Valid);
        // And when the program closes with an edit waiting.
        builder.loadFromLibrary(other);
        setVolume(builder, 1, 130);
    }
    QVERIFY(stepsOf(library, other).contains("aspirate tip:small vol:130.0"));
}

void TestProtocolBuilder::files()
{
    ProtocolBuilder builder;
    QVERIFY(builder.commandList().isEmpty() && builder.csvPreview().isEmpty());
    QCOMPARE(builder.splPreview(), QStringLiteral("protocol name: \n\n"));
    QCOMPARE(builder.validationErrors(), (QVariantList{QVariantMap{{"commandPath", "protocol"},
        {"message", "Protocol must contain at least one aspirate, dispense, or repeat step"}}}));
    builder.newProtocol();
    QCOMPARE(steps(builder), QStringLiteral("tipselect tip:small\n"));
    QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
    QSignalSpy name(&builder, &ProtocolBuilder::protocolNameChanged);
    QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);
    QVERIFY(builder.loadFromFile(QUrl::fromLocalFile(writeSpl(Valid, QStringLiteral("Dilution µ"))).toString()));
    QCOMPARE(builder.splPreview(), QStringLiteral("protocol name: Dilution µ\n\n") + Valid);
    QCOMPARE(name.count(), 1);
    QCOMPARE(commands.count(), 1);
    const QString missing = QDir::temp().filePath(QStringLiteral("missing.spl"));
    QVERIFY(!builder.loadFromFile(missing));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("Failed to open file: ") + missing);
    QVERIFY(!builder.loadFromFile(writeSpl("aspirate tip:small vol:10.0\nendloop\n", "Broken")));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("Parse error: Unexpected 'endloop' at line 4"));
    QCOMPARE(builder.protocolName(), QStringLiteral("Dilution µ"));

    const QString spl = QDir::temp().filePath(QStringLiteral("out.spl"));
    const QString csv = QDir::temp().filePath(QStringLiteral("out.csv"));
    const auto read = [](const QString &file) {
        QFile in(file);
        return in.open(QIODevice::ReadOnly) ? QString::fromUtf8(in.readAll()) : QString();
    };
    QVERIFY(builder.saveToFile(QUrl::fromLocalFile(spl).toString()));
    QCOMPARE(read(spl), builder.splPreview());
    QVERIFY(builder.compileToCsv(QUrl::fromLocalFile(csv).toString()));
    QCOMPARE(read(csv), QStringLiteral("TIPSELECT,S,,,,,,,,\nASPIRATE,S,150.0,0,,,,5,\nDISPENSE,S,150.0,0,,,,5,\n"));
    QCOMPARE(builder.generateCsvForTransfer(), read(csv));
    QCOMPARE(builder.getCsvData(), read(csv).toUtf8());
    const QString nowhere = QDir::temp().filePath(QStringLiteral("no/such/folder/x"));
    QVERIFY(!builder.saveToFile(nowhere));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("Failed to save file: ") + nowhere);
    QVERIFY(!builder.compileToCsv(nowhere));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("Failed to save CSV file: ") + nowhere);

    // With errors: the SPL file is still written, the CSV never.
    setVolume(builder, 2, 100);
    QVERIFY(builder.saveToFile(spl));
    QVERIFY(read(spl).contains("dispense tip:small vol:100.0"));
    QFile::remove(csv);
    QVERIFY(!builder.compileToCsv(csv));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("Cannot compile CSV: method has validation errors"));
    QVERIFY(!QFile::exists(csv) && builder.generateCsvForTransfer().isNull() && builder.getCsvData().isNull());
}

NERRA_TEST_MAIN(TestProtocolBuilder)
#include "tst_protocolbuilder.moc"
