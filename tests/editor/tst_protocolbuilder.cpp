#include "formats/csvgenerator.h"
#include "formats/splgenerator.h"
#include "formats/splparser.h"
#include "model/commands.h"
#include "editor/protocolbuilder.h"
#include "model/validator.h"
#include "storage/protocollibrary.h"
#include "testmain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

namespace {

QString methodText(const QString &steps, const QString &name = QStringLiteral("Method"))
{
    return QStringLiteral("protocol name: ") + name + QStringLiteral("\n\n") + steps;
}

// Opens SPL steps (one command per line, loops as in the file format) in the builder.
bool load(ProtocolBuilder &builder, const QString &steps, const QString &name = QStringLiteral("Method"))
{
    const QString path = QDir::temp().filePath(QStringLiteral("method.spl"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(methodText(steps, name).toUtf8());
    file.close();
    return builder.loadFromFile(path);
}

// The steps of the method as SPL lines, without the header.
QStringList lines(const ProtocolBuilder &builder)
{
    QStringList all = builder.splPreview().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    all.removeFirst();
    return all;
}

QString addToLibrary(ProtocolLibrary &library, const QString &name, const QString &steps)
{
    SplParser parser;
    QString parsedName;
    QString error;
    QList<Command *> commands;
    if (!parser.parse(methodText(steps), &parsedName, &commands, &error))
        return QString();
    QVariantList maps;
    for (const Command *command : qAsConst(commands))
        maps << command->toVariantMap();
    qDeleteAll(commands);
    const QString id = library.createProtocol(name);
    return library.saveProtocol(id, name, QStringLiteral("about ") + name, maps, false) ? id : QString();
}

QString storedSteps(const ProtocolLibrary &library, const QString &id)
{
    QString text;
    for (const QVariant &map : library.getProtocol(id).value(QStringLiteral("commands")).toList()) {
        std::unique_ptr<Command> command(Command::fromVariantMap(map.toMap()));
        if (command)
            text += command->toSpl(0);
    }
    return text;
}

template <typename T>
T *step(const ProtocolBuilder &builder, int index)
{
    return qobject_cast<T *>(builder.commandList().value(index));
}

const QString Valid = QStringLiteral("tipselect tip:small\naspirate tip:small vol:150.0 xvol:0 speed:5\n"
                                     "dispense tip:small vol:150.0 xvol:0 speed:5\n");

} // namespace

using Edit = std::function<void(ProtocolBuilder &)>;
Q_DECLARE_METATYPE(Edit)

class TestProtocolBuilder : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void construction();
    void insertion_data();
    void insertion();
    void tipSelectPropagation();
    void moves_data();
    void moves();
    void removal();
    void cvolAndTipSelectRule_data();
    void cvolAndTipSelectRule();
    void refreshAgreesWithCommands_data();
    void refreshAgreesWithCommands();
    void autoSaveDebounce();
    void loadingLeavesMethodClean_data();
    void loadingLeavesMethodClean();
    void pendingEditWrittenBeforeLeaving_data();
    void pendingEditWrittenBeforeLeaving();
    void libraryFailures();
    void fileLoad();
    void fileSaveAndCompile();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestProtocolBuilder::construction()
{
    ProtocolBuilder builder;
    QVERIFY(builder.commandList().isEmpty());
    QVERIFY(builder.hasErrors());
    QCOMPARE(builder.validationErrors(),
             (QVariantList{QVariantMap{{"commandPath", "protocol"},
                                       {"message", "Protocol must contain at least one aspirate, "
                                                   "dispense, or repeat step"}}}));
    QCOMPARE(builder.splPreview(), QStringLiteral("protocol name: \n\n"));
    QCOMPARE(builder.csvPreview(), QString());

    builder.newProtocol();
    QCOMPARE(lines(builder), QStringList{"tipselect tip:small"});
    QVERIFY(builder.canInsertTipSelectAt(0));
}

void TestProtocolBuilder::insertion_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("afterIndex");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("inserted");

    const QString ts = QStringLiteral("tipselect tip:small\n");
    const QString asp150 = QStringLiteral("aspirate tip:small vol:150.0 xvol:0 speed:5\n");
    QTest::newRow("appended with -1") << ts + asp150 << "mix" << -1 << 2
                                      << "mix tip:small vol:100.0 cycles:2 speed:5";
    QTest::newRow("appended past the end") << ts + asp150 << "airgap" << 7 << 2
                                           << "airgap tip:small vol:100.0 xvol:0 speed:5";
    QTest::newRow("after a step") << ts + asp150 << "purge" << 0 << 1 << "purge tip:small speed:5";
    QTest::newRow("repeat defaults") << ts << "repeat" << 0 << 1
                                     << "repeat tip:small vol:200.0 dispense:100.0 replicates:2 speed:5";
    QTest::newRow("dispense takes what the tip holds") << ts + asp150 << "dispense" << 1 << 2
                                                       << "dispense tip:small vol:150.0 xvol:0 speed:5";
    QTest::newRow("dispense rounds the held volume")
        << ts + "aspirate tip:small vol:50.5 xvol:0 speed:5\n" << "dispense" << 1 << 2
        << "dispense tip:small vol:51.0 xvol:0 speed:5";
    QTest::newRow("dispense capped at the large tip")
        << "tipselect tip:large\naspirate tip:large vol:1000.0 xvol:50 speed:5\n" << "dispense" << 1
        << 2 << "dispense tip:large vol:1000.0 xvol:0 speed:5";
    QTest::newRow("dispense capped at the small tip")
        << ts + asp150 + "airgap tip:small vol:100.0 xvol:0 speed:5\n" << "dispense" << -1 << 3
        << "dispense tip:small vol:200.0 xvol:0 speed:5";
    QTest::newRow("dispense reads the tip in force, not the other")
        << ts + asp150 + "tipselect tip:large\n" << "dispense" << 2 << 3
        << "dispense tip:large vol:100.0 xvol:0 speed:5";
    QTest::newRow("dispense into an empty tip") << ts << "dispense" << 0 << 1
                                                << "dispense tip:small vol:100.0 xvol:0 speed:5";
    QTest::newRow("dispense between steps reads the step before")
        << ts + asp150 + "dispense tip:small vol:150.0 xvol:0 speed:5\n" << "dispense" << 1 << 2
        << "dispense tip:small vol:150.0 xvol:0 speed:5";
    QTest::newRow("tip in force from the nearest tip select")
        << "tipselect tip:large\n" + asp150 + "tipselect tip:large\n" << "aspirate" << 0 << 1
        << "aspirate tip:large vol:100.0 xvol:0 speed:5";
    QTest::newRow("no tip select: small") << asp150 << "loop" << 0 << 1 << "loop 2";
}

void TestProtocolBuilder::insertion()
{
    QFETCH(QString, method);
    QFETCH(QString, type);
    QFETCH(int, afterIndex);
    QFETCH(int, position);
    QFETCH(QString, inserted);

    ProtocolBuilder builder;
    QVERIFY(load(builder, method));
    const QStringList before = lines(builder);
    QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);
    QSignalSpy spl(&builder, &ProtocolBuilder::splPreviewChanged);
    QCOMPARE(builder.insertCommand(type, afterIndex), position);
    QCOMPARE(commands.count(), 1);
    QCOMPARE(spl.count(), 1);
    QCOMPARE(builder.commandList().at(position)->parent(), &builder);

    QStringList expected = before;
    expected.insert(position, inserted);
    if (type == QLatin1String("loop"))
        expected.insert(position + 1, QStringLiteral("endloop"));
    QCOMPARE(lines(builder), expected);

    // Anything but the eight type words changes nothing.
    QCOMPARE(builder.insertCommand(QStringLiteral("Aspirate"), 0), -1);
    QCOMPARE(commands.count(), 1);
    QCOMPARE(spl.count(), 1);
}

void TestProtocolBuilder::tipSelectPropagation()
{
    ProtocolBuilder builder;
    QVERIFY(load(builder, "tipselect tip:large\naspirate tip:large vol:150.0 xvol:0 speed:5\n"
                          "tipselect tip:large\ndispense tip:large vol:150.0 xvol:0 speed:5\n"));
    QCOMPARE(builder.insertCommand(QStringLiteral("tipselect"), 0), 1);
    QCOMPARE(lines(builder),
             (QStringList{"tipselect tip:large", "tipselect tip:small",
                          "aspirate tip:small vol:150.0 xvol:0 speed:5", "tipselect tip:large",
                          "dispense tip:large vol:150.0 xvol:0 speed:5"}));

    // A changed Tip Select carries its tip to the steps up to the next one, into loop
    // bodies too, in one refresh. Commands read from a file are watched like any other.
    QVERIFY(load(builder, "tipselect tip:small\naspirate tip:small vol:150.0 xvol:0 speed:5\n"
                          "loop 2\n  aspirate tip:small vol:10.0 xvol:0 speed:5\n"
                          "  tipselect tip:small\n  dispense tip:small vol:10.0 xvol:0 speed:5\n"
                          "endloop\ntipselect tip:small\npurge tip:small speed:5\n"));
    QSignalSpy spl(&builder, &ProtocolBuilder::splPreviewChanged);
    QSignalSpy errors(&builder, &ProtocolBuilder::validationErrorsChanged);
    builder.commandList().at(0)->setTip(QStringLiteral("large"));
    QCOMPARE(lines(builder),
             (QStringList{"tipselect tip:large", "aspirate tip:large vol:150.0 xvol:0 speed:5",
                          "loop 2", "  aspirate tip:large vol:10.0 xvol:0 speed:5",
                          "  tipselect tip:small", "  dispense tip:small vol:10.0 xvol:0 speed:5",
                          "endloop", "tipselect tip:small", "purge tip:small speed:5"}));
    QCOMPARE(spl.count(), 1);
    QCOMPARE(errors.count(), 1);

    // Removing a step does not carry tips again.
    builder.removeCommand(0);
    QCOMPARE(builder.commandList().at(0)->tip(), QStringLiteral("large"));
}

void TestProtocolBuilder::moves_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<QString>("order");

    // Steps: 0 tipselect, 1 aspirate, 2 mix, 3 dispense.
    QTest::newRow("first step stays") << 0 << 2 << "tamd";
    QTest::newRow("to the front") << 2 << 0 << "mtad";
    QTest::newRow("down") << 1 << 3 << "tmda";
    QTest::newRow("up") << 3 << 1 << "tdam";
    QTest::newRow("same place") << 2 << 2 << "tamd";
    QTest::newRow("target past the end") << 1 << 4 << "tamd";
    QTest::newRow("source past the end") << 4 << 1 << "tamd";
    QTest::newRow("negative target") << 2 << -1 << "tamd";
}

void TestProtocolBuilder::moves()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QString, order);

    ProtocolBuilder builder;
    QVERIFY(load(builder, "tipselect tip:small\naspirate tip:small vol:150.0 xvol:0 speed:5\n"
                          "mix tip:small vol:100.0 cycles:2 speed:5\n"
                          "dispense tip:small vol:150.0 xvol:0 speed:5\n"));
    QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);
    QSignalSpy spl(&builder, &ProtocolBuilder::splPreviewChanged);
    builder.moveCommand(from, to);
    QString actual;
    for (const Command *command : builder.commandList())
        actual += command->type().at(0);
    QCOMPARE(actual, order);
    const int moved = order == QLatin1String("tamd") ? 0 : 1;
    QCOMPARE(commands.count(), moved);
    QCOMPARE(spl.count(), moved);
    QCOMPARE(builder.commands().size(), 4);
    QCOMPARE(builder.commands().at(0).value<QObject *>(), builder.commandList().at(0));
}

void TestProtocolBuilder::removal()
{
    ProtocolBuilder builder;
    QVERIFY(load(builder, Valid + "loop 2\n  aspirate tip:small vol:10.0 xvol:0 speed:5\n"
                                  "  dispense tip:small vol:10.0 xvol:0 speed:5\nendloop\n"));
    QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);
    builder.removeCommand(4);
    builder.removeCommand(-1);
    QCOMPARE(commands.count(), 0);

    QPointer<Command> loop = builder.commandList().at(3);
    QPointer<Command> aspirate = builder.commandList().at(1);
    builder.removeCommand(3);
    builder.removeCommand(1);
    QCOMPARE(commands.count(), 2);
    QCOMPARE(lines(builder), (QStringList{"tipselect tip:small", "dispense tip:small vol:150.0 xvol:0 speed:5"}));
    // Deleted later, so that the interface can still read them while it handles the signal;
    // until then their edits no longer reach the method.
    QVERIFY(loop && aspirate);
    QSignalSpy spl(&builder, &ProtocolBuilder::splPreviewChanged);
    qobject_cast<AspirateCommand *>(aspirate.data())->setVolumeWhole(20);
    QCOMPARE(spl.count(), 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!loop && !aspirate);
    QCOMPARE(spl.count(), 0);

    builder.clearCommands();
    QCOMPARE(builder.commandList().size(), 0);
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
    QTest::newRow("emptied again")
        << ts + asp + "dispense tip:small vol:155.5 xvol:0 speed:5\n" << 2
        << QVariantList{0, 0, 0, 0} << true;
    QTest::newRow("only the tip in force counts")
        << ts + asp + "tipselect tip:large\n" << 2 << QVariantList{155, 5, 0, 0} << true;
    QTest::newRow("large tip holding liquid")
        << "tipselect tip:large\naspirate tip:large vol:300.0 xvol:0 speed:5\n" << 1
        << QVariantList{0, 0, 300, 0} << false;
    QTest::newRow("loop runs its iterations")
        << ts + "loop 3\n  aspirate tip:small vol:10.0 xvol:0 speed:5\nendloop\n" << 1
        << QVariantList{30, 0, 0, 0} << false;
    // Without a leading Tip Select one may always go in: at the top.
    QTest::newRow("no tip select: small") << asp << 0 << QVariantList{155, 5, 0, 0} << true;
}

void TestProtocolBuilder::cvolAndTipSelectRule()
{
    QFETCH(QString, method);
    QFETCH(int, index);
    QFETCH(QVariantList, cvol);
    QFETCH(bool, tipSelectAfter);

    ProtocolBuilder builder;
    QVERIFY(load(builder, method));
    const QVariantMap map = builder.getCvolAtIndex(index);
    QCOMPARE((QVariantList{map.value("smallWhole"), map.value("smallFractional"), map.value("largeWhole"),
                           map.value("largeFractional")}),
             cvol);
    QCOMPARE(map.size(), 4);
    if (index >= 0 && index < builder.commandList().size())
        QCOMPARE(builder.canInsertTipSelectAt(index), tipSelectAfter);
    // Past the end means after the last step; nothing before the first step holds liquid.
    QCOMPARE(builder.canInsertTipSelectAt(-1),
             builder.canInsertTipSelectAt(builder.commandList().size() - 1));

    builder.clearCommands();
    QVERIFY(builder.canInsertTipSelectAt(3));
}

void TestProtocolBuilder::refreshAgreesWithCommands_data()
{
    QTest::addColumn<Edit>("edit");

    const auto volume = [](int index, int whole) {
        return [=](ProtocolBuilder &b) { step<VolumeCommand>(b, index)->setVolumeWhole(whole); };
    };
    QTest::newRow("volume") << Edit(volume(1, 180));
    QTest::newRow("tenths") << Edit([](ProtocolBuilder &b) { step<VolumeCommand>(b, 2)->setVolumeFractional(5); });
    QTest::newRow("extra volume") << Edit([](ProtocolBuilder &b) { step<AspirateCommand>(b, 1)->setExtraVolume(20); });
    QTest::newRow("speed") << Edit([](ProtocolBuilder &b) { b.commandList().at(2)->setSpeed(9); });
    QTest::newRow("mix cycles") << Edit([](ProtocolBuilder &b) { step<MixCommand>(b, 3)->setCycles(0); });
    QTest::newRow("repeat replicates") << Edit([](ProtocolBuilder &b) { step<RepeatCommand>(b, 4)->setReplicates(9); });
    QTest::newRow("repeat dispense") << Edit([](ProtocolBuilder &b) { step<RepeatCommand>(b, 4)->setDispenseVolume(12.5); });
    QTest::newRow("loop iterations") << Edit([](ProtocolBuilder &b) { step<LoopCommand>(b, 5)->setIterations(11); });
    QTest::newRow("step added in a loop")
        << Edit([](ProtocolBuilder &b) { step<LoopCommand>(b, 5)->addInnerCommand(QStringLiteral("purge")); });
    QTest::newRow("step removed from a loop")
        << Edit([](ProtocolBuilder &b) { step<LoopCommand>(b, 5)->removeInnerCommand(0); });
    QTest::newRow("step edited in a nested loop") << Edit([](ProtocolBuilder &b) {
        auto *inner = qobject_cast<LoopCommand *>(step<LoopCommand>(b, 5)->innerCommandList().at(2));
        inner->setIterations(4);
        qobject_cast<VolumeCommand *>(inner->innerCommandList().at(0))->setVolumeWhole(33);
    });
    QTest::newRow("tip select in a loop") << Edit([](ProtocolBuilder &b) {
        step<LoopCommand>(b, 5)->innerCommandList().at(1)->setTip(QStringLiteral("large"));
    });
    QTest::newRow("tip select") << Edit([](ProtocolBuilder &b) { b.commandList().at(0)->setTip(QStringLiteral("large")); });
    QTest::newRow("insert") << Edit([](ProtocolBuilder &b) { b.insertCommand(QStringLiteral("dispense"), 1); });
    QTest::newRow("remove") << Edit([](ProtocolBuilder &b) { b.removeCommand(2); });
    QTest::newRow("move") << Edit([](ProtocolBuilder &b) { b.moveCommand(5, 1); });
    QTest::newRow("name with a line break") << Edit([](ProtocolBuilder &b) { b.setProtocolName(QStringLiteral("A\nB")); });
    QTest::newRow("clear") << Edit([](ProtocolBuilder &b) { b.clearCommands(); });
    QTest::newRow("new") << Edit([](ProtocolBuilder &b) { b.newProtocol(); });
    QTest::newRow("several") << Edit([=](ProtocolBuilder &b) {
        volume(1, 120)(b);
        b.moveCommand(1, 3);
        volume(3, 130)(b);
        b.insertCommand(QStringLiteral("tipselect"), 3);
        volume(2, 140)(b);
    });
}

void TestProtocolBuilder::refreshAgreesWithCommands()
{
    QFETCH(Edit, edit);

    ProtocolBuilder builder;
    QVERIFY(load(builder, "tipselect tip:small\naspirate tip:small vol:150.0 xvol:0 speed:5\n"
                          "dispense tip:small vol:150.0 xvol:0 speed:5\n"
                          "mix tip:small vol:100.0 cycles:2 speed:5\n"
                          "repeat tip:small vol:40.0 dispense:20.0 replicates:2 speed:5\n"
                          "loop 2\n  aspirate tip:small vol:10.0 xvol:0 speed:5\n  tipselect tip:small\n"
                          "  loop 2\n    aspirate tip:small vol:5.0 xvol:0 speed:5\n"
                          "    dispense tip:small vol:5.0 xvol:0 speed:5\n  endloop\n"
                          "  dispense tip:small vol:10.0 xvol:0 speed:5\nendloop\n"));
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
    const QVariantList published = builder.validationErrors();
    QCOMPARE(published.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QVariantMap map = published.at(i).toMap();
        QCOMPARE(map.value("commandPath").toString(), expected.at(i).commandPath);
        QCOMPARE(map.value("message").toString(), expected.at(i).message);
        QCOMPARE(map.contains("fixVolume"), expected.at(i).fixVolume >= 0);
        if (expected.at(i).fixVolume >= 0)
            QCOMPARE(map.value("fixVolume").toDouble(), expected.at(i).fixVolume);
    }
    QCOMPARE(builder.hasErrors(), !expected.isEmpty());
    const QList<TipVolumes> volumes = Validator().cumulativeVolumes(commands);
    for (int i = 0; i < volumes.size(); ++i) {
        const QVariantMap cvol = builder.getCvolAtIndex(i);
        QCOMPARE(cvol.value("smallWhole").toInt(), volumes.at(i).smallTip.whole);
        QCOMPARE(cvol.value("largeFractional").toInt(), volumes.at(i).largeTip.fractional);
    }
}

void TestProtocolBuilder::autoSaveDebounce()
{
    ProtocolLibrary library;
    const QString id = addToLibrary(library, QStringLiteral("Wash"), Valid);
    ProtocolBuilder builder;
    builder.setLibrary(&library);
    builder.setAutoSaveInterval(300);
    builder.loadFromLibrary(id);
    QSignalSpy saved(&library, &ProtocolLibrary::protocolsChanged);
    QSignalSpy unsaved(&builder, &ProtocolBuilder::hasUnsavedChangesChanged);

    QElapsedTimer sinceLastEdit;
    step<VolumeCommand>(builder, 1)->setVolumeWhole(120);
    sinceLastEdit.start();
    QVERIFY(builder.hasUnsavedChanges());
    QCOMPARE(unsaved.count(), 1);
    // A second edit half-way restarts the wait.
    QTimer::singleShot(150, &builder, [&] {
        builder.setDescription(QStringLiteral("edited"));
        sinceLastEdit.restart();
    });
    QVERIFY(saved.wait(5000));
    QVERIFY2(sinceLastEdit.elapsed() >= 295, qPrintable(QString::number(sinceLastEdit.elapsed())));
    QCOMPARE(saved.count(), 1);
    QVERIFY(!builder.hasUnsavedChanges());
    QCOMPARE(unsaved.count(), 2);

    const QVariantMap stored = library.getProtocol(id);
    QCOMPARE(stored.value("description").toString(), QStringLiteral("edited"));
    QVERIFY(storedSteps(library, id).contains("aspirate tip:small vol:120.0"));
    // Saved with its errors (liquid left in the tip) and flagged so.
    QCOMPARE(library.getAllProtocols().at(0).toMap().value("hasErrors").toBool(), true);
}

void TestProtocolBuilder::loadingLeavesMethodClean_data()
{
    QTest::addColumn<bool>("reload");
    QTest::newRow("first load") << false;
    QTest::newRow("load over another library method") << true;
}

void TestProtocolBuilder::loadingLeavesMethodClean()
{
    QFETCH(bool, reload);

    ProtocolLibrary library;
    const QString first = addToLibrary(library, QStringLiteral("First"), Valid);
    const QString second = addToLibrary(library, QStringLiteral("Second"), Valid);
    ProtocolBuilder builder;
    builder.setLibrary(&library);
    builder.setAutoSaveInterval(20);
    if (reload)
        builder.loadFromLibrary(first);
    const QDateTime modified = library.getProtocol(second).value("modified").toDateTime();
    QSignalSpy saved(&library, &ProtocolLibrary::protocolsChanged);

    builder.loadFromLibrary(second);
    QCOMPARE(builder.currentProtocolId(), second);
    QVERIFY(builder.isLibraryProtocol());
    QCOMPARE(builder.protocolName(), QStringLiteral("Second"));
    QCOMPARE(builder.description(), QStringLiteral("about Second"));
    QCOMPARE(lines(builder).size(), 3);
    QVERIFY(!builder.hasUnsavedChanges());
    // Waits for a save that must not come.
    QVERIFY(!saved.wait(200));
    QVERIFY(!builder.hasUnsavedChanges());
    QCOMPARE(library.getProtocol(second).value("modified").toDateTime(), modified);

    // The first edit makes it dirty.
    builder.setProtocolName(QStringLiteral("Second renamed"));
    QVERIFY(builder.hasUnsavedChanges());
    QVERIFY(saved.wait(2000));
    QCOMPARE(library.getProtocol(second).value("name").toString(), QStringLiteral("Second renamed"));
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
        {"device method", [](ProtocolBuilder &b) {
             b.loadFromDeviceProtocol(QStringLiteral("A1B2C3D4E5F6"), QStringLiteral("x.csv"),
                                      QByteArray("PURGE,S,,,,,,4,\n"));
         }}};
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
        step<VolumeCommand>(builder, 2)->setVolumeWhole(140);
        QVERIFY(builder.hasUnsavedChanges());
        if (refused) {
            builder.setProtocolName(QStringLiteral("OTHER"));
            QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
            QTest::ignoreMessage(QtWarningMsg, "ProtocolBuilder: Failed to save to library");
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("could not be saved; the method stays open"));
            leave(builder);
            QCOMPARE(builder.currentProtocolId(), edited);
            QVERIFY(builder.isLibraryProtocol());
            QCOMPARE(builder.protocolName(), QStringLiteral("OTHER"));
            QCOMPARE(step<VolumeCommand>(builder, 2)->volumeWhole(), 140);
            QVERIFY(builder.hasUnsavedChanges());
            QCOMPARE(errors.constLast().at(0).toString(),
                     QStringLiteral("The changes to \"OTHER\" could not be saved, so the method stays open"));
            // Once the edit can be saved, leaving works as before.
            builder.setProtocolName(QStringLiteral("Edited"));
        }
        leave(builder);
        QVERIFY(storedSteps(library, edited).contains("dispense tip:small vol:140.0"));
        QVERIFY(!builder.hasUnsavedChanges());
        QVERIFY(!storedSteps(library, other).contains("140.0"));

        // And when the program closes with an edit waiting.
        builder.loadFromLibrary(other);
        step<VolumeCommand>(builder, 1)->setVolumeWhole(130);
    }
    QVERIFY(storedSteps(library, other).contains("aspirate tip:small vol:130.0"));
}

void TestProtocolBuilder::libraryFailures()
{
    ProtocolBuilder builder;
    QVERIFY(load(builder, Valid, QStringLiteral("Kept")));
    QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);

    QTest::ignoreMessage(QtWarningMsg, "ProtocolBuilder: No library reference set");
    builder.loadFromLibrary(QStringLiteral("x"));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("No library reference set"));
    QTest::ignoreMessage(QtWarningMsg, "ProtocolBuilder: No library reference set");
    QVERIFY(!builder.saveToLibrary());
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("No library reference set"));

    ProtocolLibrary library;
    builder.setLibrary(&library);
    QTest::ignoreMessage(QtWarningMsg, "ProtocolBuilder: Not a library method");
    QVERIFY(!builder.saveToLibrary());
    QVERIFY(errors.isEmpty());
    builder.loadFromLibrary(QStringLiteral("missing"));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("Method not found: missing"));
    QCOMPARE(builder.protocolName(), QStringLiteral("Kept"));
    QCOMPARE(lines(builder).size(), 3);
    QVERIFY(!builder.isLibraryProtocol());

    // A save the library refuses keeps the edit marked unsaved.
    const QString id = addToLibrary(library, QStringLiteral("One"), Valid);
    addToLibrary(library, QStringLiteral("Two"), Valid);
    builder.loadFromLibrary(id);
    builder.setProtocolName(QStringLiteral("TWO"));
    QTest::ignoreMessage(QtWarningMsg, "ProtocolBuilder: Failed to save to library");
    QVERIFY(!builder.saveToLibrary());
    QCOMPARE(errors.constLast().at(0).toString(), QStringLiteral("Failed to save method"));
    QVERIFY(builder.hasUnsavedChanges());
}

void TestProtocolBuilder::fileLoad()
{
    ProtocolBuilder builder;
    builder.newProtocol();
    QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
    QSignalSpy name(&builder, &ProtocolBuilder::protocolNameChanged);
    QSignalSpy commands(&builder, &ProtocolBuilder::commandsChanged);

    const QString path = QDir::temp().filePath(QStringLiteral("in.spl"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(methodText(Valid, QStringLiteral("Dilution µ")).toUtf8());
    file.close();
    QVERIFY(builder.loadFromFile(QUrl::fromLocalFile(path).toString()));
    QCOMPARE(builder.protocolName(), QStringLiteral("Dilution µ"));
    QCOMPARE(builder.splPreview(), methodText(Valid, QStringLiteral("Dilution µ")));
    QVERIFY(!builder.hasErrors());
    QCOMPARE(name.count(), 1);
    QCOMPARE(commands.count(), 1);
    QVERIFY(errors.isEmpty());

    QVERIFY(!builder.loadFromFile(QDir::temp().filePath(QStringLiteral("missing.spl"))));
    QCOMPARE(errors.takeFirst().at(0).toString(),
             QStringLiteral("Failed to open file: ") + QDir::temp().filePath(QStringLiteral("missing.spl")));

    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("protocol name: Broken\n\naspirate tip:small vol:10.0\nendloop\n");
    file.close();
    QVERIFY(!builder.loadFromFile(path));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("Parse error: Unexpected 'endloop' at line 4"));
    QCOMPARE(builder.protocolName(), QStringLiteral("Dilution µ"));
    QCOMPARE(lines(builder).size(), 3);
}

void TestProtocolBuilder::fileSaveAndCompile()
{
    ProtocolBuilder builder;
    QVERIFY(load(builder, Valid, QStringLiteral("Out")));
    QSignalSpy errors(&builder, &ProtocolBuilder::errorOccurred);
    const QString spl = QDir::temp().filePath(QStringLiteral("out.spl"));
    const QString csv = QDir::temp().filePath(QStringLiteral("out.csv"));
    const auto read = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };

    QVERIFY(builder.saveToFile(QUrl::fromLocalFile(spl).toString()));
    QCOMPARE(read(spl), builder.splPreview());
    QVERIFY(builder.compileToCsv(csv));
    QCOMPARE(read(csv), QStringLiteral("TIPSELECT,S,,,,,,,,\nASPIRATE,S,150.0,0,,,,5,\nDISPENSE,S,150.0,0,,,,5,\n"));
    QCOMPARE(builder.generateCsvForTransfer(), read(csv));
    QCOMPARE(builder.getCsvData(), read(csv).toUtf8());

    const QString nowhere = QDir::temp().filePath(QStringLiteral("no/such/folder/x"));
    QVERIFY(!builder.saveToFile(nowhere));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("Failed to save file: ") + nowhere);
    QVERIFY(!builder.compileToCsv(nowhere));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("Failed to save CSV file: ") + nowhere);

    // With errors: the SPL file is still written, the CSV never.
    step<VolumeCommand>(builder, 2)->setVolumeWhole(100);
    QVERIFY(builder.hasErrors());
    QVERIFY(builder.saveToFile(spl));
    QVERIFY(read(spl).contains("dispense tip:small vol:100.0"));
    QFile::remove(csv);
    QVERIFY(!builder.compileToCsv(csv));
    QCOMPARE(errors.takeFirst().at(0).toString(), QStringLiteral("Cannot compile CSV: method has validation errors"));
    QVERIFY(!QFile::exists(csv));
    QCOMPARE(builder.generateCsvForTransfer(), QString());
    QCOMPARE(builder.getCsvData(), QByteArray());
}

NERRA_TEST_MAIN(TestProtocolBuilder)
#include "tst_protocolbuilder.moc"
