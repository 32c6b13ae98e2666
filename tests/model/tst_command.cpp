#include "model/commands.h"
#include "splmethod.h"
#include "testmain.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSignalSpy>

#include <climits>
#include <cmath>
#include <memory>

namespace {

void runDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString typesOf(const LoopCommand *loop)
{
    QStringList types;
    for (const Command *step : loop->innerCommandList())
        types << step->type() + QLatin1Char(':') + step->tip();
    return types.join(QLatin1Char(' '));
}

QByteArray json(const QVariantMap &map)
{
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact);
}

} // namespace

class TestCommand : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup()
    {
        runDeferredDeletes();
        m_env.reset();
    }

    void repeatDerivesItsVolume_data();
    void repeatDerivesItsVolume();
    void storedFormOfEveryKind();
    void storedFormToleratesDamage();
    void bodyEditsOutOfRangeChangeNothing();
    void tipsInsideTheBody();
    void editsInsideTheBodyReachTheLoop();
    void bodyStepsLiveUntilTheEventLoopRuns();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestCommand::repeatDerivesItsVolume_data()
{
    QTest::addColumn<double>("dispense");
    QTest::addColumn<int>("replicates");
    QTest::addColumn<int>("whole");
    QTest::addColumn<int>("fractional");

    QTest::newRow("12.5 x 3") << 12.5 << 3 << 37 << 5;
    QTest::newRow("tenths carry") << 24.99 << 4 << 100 << 0;
    QTest::newRow("negative") << -1.25 << 2 << -2 << -5;
    QTest::newRow("no replicates") << 100.0 << 0 << 0 << 0;
    QTest::newRow("beyond int stays defined") << 1e12 << 3 << INT_MAX << 0;
    QTest::newRow("not a number reads 0") << std::nan("") << 2 << 0 << 0;
}

void TestCommand::repeatDerivesItsVolume()
{
    QFETCH(double, dispense);
    QFETCH(int, replicates);
    QFETCH(int, whole);
    QFETCH(int, fractional);

    // Set directly: no text form can carry a NaN.
    RepeatCommand repeat;
    repeat.setDispenseVolume(dispense);
    repeat.setReplicates(replicates);
    // Written parts are ignored: the volume follows from the two fields alone.
    repeat.setVolumeWhole(7);
    repeat.setVolumeFractional(3);
    QCOMPARE(repeat.volume(), (VolumeParts{whole, fractional, 10}));
    QCOMPARE(repeat.toVariantMap().value("volumeWhole").toInt(), whole);
}

void TestCommand::storedFormOfEveryKind()
{
    // The library keeps steps in this form across versions: its keys and values are fixed.
    QObject owner;
    const QList<Command *> method = methodFromSpl(
        "loop 3\n  tipselect tip:large\n  aspirate tip:large vol:120.7 xvol:4 speed:2\n"
        "  airgap tip:Large vol:101.9 xvol:0 speed:1\n  dispense tip:large vol:-1.5 xvol:100 speed:7\n"
        "  mix tip:large vol:150 cycles:4 speed:6\n  repeat tip:large dispense:24.99 replicates:4 speed:3\n"
        "  purge tip:small speed:4\n  loop 4\n    mix tip:small vol:12.96 cycles:1 speed:5\n  endloop\nendloop\n",
        &owner);
    const QByteArray stored =
        "{\"innerCommands\":[{\"tip\":\"large\",\"type\":\"tipselect\"},"
        "{\"extraVolume\":4,\"speed\":2,\"tip\":\"large\",\"type\":\"aspirate\",\"volumeFractional\":7,\"volumeWhole\":120},"
        "{\"extraVolume\":0,\"speed\":1,\"tip\":\"Large\",\"type\":\"airgap\",\"volumeFractional\":9,\"volumeWhole\":101},"
        "{\"extraVolume\":100,\"speed\":7,\"tip\":\"large\",\"type\":\"dispense\",\"volumeFractional\":-5,\"volumeWhole\":-1},"
        "{\"cycles\":4,\"speed\":6,\"tip\":\"large\",\"type\":\"mix\",\"volumeFractional\":0,\"volumeWhole\":150},"
        "{\"dispenseVolume\":24.99,\"replicates\":4,\"speed\":3,\"tip\":\"large\",\"type\":\"repeat\","
        "\"volumeFractional\":0,\"volumeWhole\":100},{\"speed\":4,\"tip\":\"small\",\"type\":\"purge\"},"
        "{\"innerCommands\":[{\"cycles\":1,\"speed\":5,\"tip\":\"small\",\"type\":\"mix\",\"volumeFractional\":10,"
        "\"volumeWhole\":12}],\"iterations\":4,\"speed\":5,\"tip\":\"small\",\"type\":\"loop\"}],"
        "\"iterations\":3,\"speed\":5,\"tip\":\"small\",\"type\":\"loop\"}";
    QCOMPARE(json(method.at(0)->toVariantMap()), stored);

    // Read back from JSON, where every number is a double, it is the same method.
    const QVariantMap fromJson = QJsonDocument::fromJson(stored).object().toVariantMap();
    QPointer<Command> rebuilt = Command::fromVariantMap(fromJson, &owner);
    QVERIFY(rebuilt);
    QCOMPARE(rebuilt->parent(), &owner);
    QCOMPARE(json(rebuilt->toVariantMap()), stored);
    auto *loop = qobject_cast<LoopCommand *>(rebuilt.data());
    for (const Command *step : loop->innerCommandList())
        QCOMPARE(step->parent(), loop);
    QCOMPARE(static_cast<VolumeCommand *>(loop->innerCommandList().at(2))->volume().toText(), QStringLiteral("101.9"));
}

void TestCommand::storedFormToleratesDamage()
{
    std::unique_ptr<Command> bare(Command::fromVariantMap({{"type", "aspirate"}}));
    QCOMPARE(json(bare->toVariantMap()), QByteArray("{\"extraVolume\":0,\"speed\":0,\"tip\":\"\",\"type\":\"aspirate\","
                                                    "\"volumeFractional\":0,\"volumeWhole\":0}"));
    QVERIFY(!Command::fromVariantMap({{"type", "Aspirate"}}));
    QVERIFY(!Command::fromVariantMap({{"tip", "small"}}));

    // Numbers past the range of int read as 0 rather than as undefined conversions.
    std::unique_ptr<Command> mix(Command::fromVariantMap(
        {{"type", "mix"}, {"volumeWhole", 50.0}, {"cycles", 1e20}, {"speed", -3e9}, {"volumeFractional", 2147483647.0}}));
    QCOMPARE(mix->property("cycles").toInt(), 0);
    QCOMPARE(mix->speed(), 0);
    QCOMPARE(mix->property("volumeFractional").toInt(), 2147483647);

    // A body keeps the steps it can read, in order.
    const QVariantMap loopMap{{"type", "loop"}, {"iterations", 2},
                              {"innerCommands", QVariantList{QVariantMap{{"type", "purge"}, {"speed", 7}},
                                                             QVariantMap{{"type", "unknown"}}, QVariant(42),
                                                             QVariantMap{{"type", "loop"}, {"iterations", 3}}}}};
    std::unique_ptr<Command> loop(Command::fromVariantMap(loopMap));
    QCOMPARE(typesOf(qobject_cast<LoopCommand *>(loop.get())), QStringLiteral("purge: loop:"));
}

void TestCommand::bodyEditsOutOfRangeChangeNothing()
{
    QObject owner;
    auto *loop = qobject_cast<LoopCommand *>(
        methodFromSpl("loop 2\n  aspirate tip:small vol:10 speed:5\n  dispense tip:small vol:10 speed:5\n"
                      "  purge tip:small speed:5\nendloop\n", &owner).at(0));
    QSignalSpy changed(loop, &LoopCommand::innerCommandsChanged);

    loop->addInnerCommand(QStringLiteral("loop"));
    loop->addInnerCommand(QStringLiteral("Aspirate"));
    for (const auto &move : {qMakePair(1, 1), qMakePair(-1, 0), qMakePair(0, -1), qMakePair(0, 3), qMakePair(3, 0)})
        loop->moveInnerCommand(move.first, move.second);
    loop->removeInnerCommand(3);
    loop->removeInnerCommand(-1);
    loop->appendInnerCommand(nullptr);
    loop->appendInnerCommand(loop);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(typesOf(loop), QStringLiteral("aspirate:small dispense:small purge:small"));

    loop->moveInnerCommand(0, 2);
    loop->moveInnerCommand(2, 0);
    loop->moveInnerCommand(1, 2);
    QCOMPARE(changed.count(), 3);
    QCOMPARE(typesOf(loop), QStringLiteral("aspirate:small purge:small dispense:small"));
}

void TestCommand::tipsInsideTheBody()
{
    QObject owner;
    auto *loop = new LoopCommand(&owner);
    loop->setTip(QStringLiteral("large"));
    loop->addInnerCommand(QStringLiteral("mix"));
    // A new Tip Select starts small whatever is in force; steps after it take its tip.
    loop->addInnerCommand(QStringLiteral("tipselect"));
    loop->addInnerCommand(QStringLiteral("aspirate"));
    loop->innerCommandList().at(1)->setTip(QStringLiteral("large"));
    loop->addInnerCommand(QStringLiteral("dispense"));
    QCOMPARE(typesOf(loop), QStringLiteral("mix:large tipselect:large aspirate:large dispense:large"));
    QCOMPARE(loop->innerCommandList().at(3)->parent(), loop);

    QSignalSpy changed(loop, &LoopCommand::innerCommandsChanged);
    const QList<Command *> body = loop->innerCommandList();
    body.at(1)->setTip(QStringLiteral("small"));
    QCOMPARE(typesOf(loop), QStringLiteral("mix:large tipselect:small aspirate:small dispense:small"));
    // One for each step whose tip followed, one from the Tip Select, one from the re-propagation.
    QCOMPARE(changed.count(), 4);

    // Removed, the Tip Select no longer drives the body.
    loop->removeInnerCommand(1);
    body.at(1)->setTip(QStringLiteral("large"));
    QCOMPARE(body.at(2)->tip(), QStringLiteral("small"));

    // A nested loop takes the tip in force and hands it on; its own Tip Select rules inside it.
    auto *outer = qobject_cast<LoopCommand *>(
        methodFromSpl("loop 2\n  aspirate tip:x vol:10 speed:5\n  tipselect tip:large\n  loop 2\n"
                      "    mix tip:x vol:10 cycles:2 speed:5\n    tipselect tip:small\n    purge tip:x speed:5\n"
                      "  endloop\n  dispense tip:x vol:10 speed:5\nendloop\n", &owner).at(0));
    outer->propagateTips(QStringLiteral("small"));
    auto *inner = qobject_cast<LoopCommand *>(outer->innerCommandList().at(2));
    QCOMPARE(typesOf(outer), QStringLiteral("aspirate:small tipselect:large loop:large dispense:large"));
    QCOMPARE(typesOf(inner), QStringLiteral("mix:large tipselect:small purge:small"));
}

void TestCommand::editsInsideTheBodyReachTheLoop()
{
    struct Edit
    {
        const char *type;
        const char *property;
        QVariant value;
    };
    const Edit edits[] = {{"purge", "tip", "large"},           {"aspirate", "speed", 2},
                          {"airgap", "volumeFractional", 4},   {"dispense", "extraVolume", 3},
                          {"mix", "cycles", 8},                {"repeat", "dispenseVolume", 10.0},
                          {"repeat", "replicates", 6},         {"loop", "iterations", 7}};
    for (const Edit &edit : edits) {
        LoopCommand loop;
        Command *step = Command::create(QString::fromLatin1(edit.type), &loop);
        loop.appendInnerCommand(step);
        QSignalSpy changed(&loop, &LoopCommand::innerCommandsChanged);
        QVERIFY(step->setProperty(edit.property, edit.value));
        QVERIFY2(changed.count() >= 1, edit.property);
        QCOMPARE(step->property(edit.property), edit.value);
    }
    // A nested loop's own body edits reach the outer loop too.
    LoopCommand outer;
    auto *inner = new LoopCommand(&outer);
    outer.appendInnerCommand(inner);
    inner->addInnerCommand(QStringLiteral("mix"));
    QSignalSpy changed(&outer, &LoopCommand::innerCommandsChanged);
    inner->innerCommandList().at(0)->setSpeed(1);
    QCOMPARE(changed.count(), 1);
}

void TestCommand::bodyStepsLiveUntilTheEventLoopRuns()
{
    // The interface still reads a removed step while it handles the signal.
    LoopCommand loop;
    loop.addInnerCommand(QStringLiteral("aspirate"));
    loop.addInnerCommand(QStringLiteral("mix"));
    QPointer<Command> removed = loop.innerCommandList().at(0);
    QSignalSpy changed(&loop, &LoopCommand::innerCommandsChanged);
    QString readInHandler;
    const auto reader = connect(&loop, &LoopCommand::innerCommandsChanged, this,
                                [&] { readInHandler = removed ? removed->toSpl(0) : QString(); });
    loop.removeInnerCommand(0);
    disconnect(reader);
    QCOMPARE(readInHandler, QStringLiteral("aspirate tip:small vol:100.0 xvol:0 speed:5\n"));
    QCOMPARE(typesOf(&loop), QStringLiteral("mix:small"));
    removed->setProperty("volumeWhole", 20);
    QCOMPARE(changed.count(), 1);
    runDeferredDeletes();
    QVERIFY(!removed);

    // A deleted loop announces it and takes even a body step nobody owns along, later.
    auto *doomed = new LoopCommand;
    QPointer<Command> unowned = new PurgeCommand;
    doomed->appendInnerCommand(unowned);
    QSignalSpy ended(doomed, &LoopCommand::innerCommandsChanged);
    delete doomed;
    QCOMPARE(ended.count(), 1);
    QVERIFY(unowned);
    runDeferredDeletes();
    QVERIFY(!unowned);

    // A body step deleted by its own owner leaves the loop rather than dangling in it.
    QObject owner;
    auto *survivor = new LoopCommand(&owner);
    auto *early = new PurgeCommand(&owner);
    survivor->appendInnerCommand(early);
    survivor->addInnerCommand(QStringLiteral("mix"));
    QSignalSpy forgotten(survivor, &LoopCommand::innerCommandsChanged);
    delete early;
    QCOMPARE(forgotten.count(), 1);
    QCOMPARE(typesOf(survivor), QStringLiteral("mix:small"));
}

NERRA_TEST_MAIN(TestCommand)
#include "tst_command.moc"
