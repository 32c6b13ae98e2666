#include "model/commands.h"
#include "testmain.h"

#include <QMetaProperty>
#include <QPointer>
#include <QSignalSpy>

#include <cmath>
#include <memory>

namespace {

void runDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString volumeText(const QObject *command)
{
    return static_cast<const VolumeCommand *>(command)->volume().toText();
}

QByteArray notifyName(const QObject *object, const char *property)
{
    const QMetaObject *meta = object->metaObject();
    return meta->property(meta->indexOfProperty(property)).notifySignal().name();
}

// A loop whose body is [Tip Select (bodyTip), Aspirate], as the editor builds it.
LoopCommand *loopWithTipSelect(const QString &loopTip, const QString &bodyTip, QObject *owner)
{
    auto *loop = new LoopCommand(owner);
    loop->setTip(loopTip);
    loop->addInnerCommand(QStringLiteral("tipselect"));
    loop->innerCommandList().at(0)->setTip(bodyTip);
    loop->addInnerCommand(QStringLiteral("aspirate"));
    return loop;
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

    void newCommandsHoldTheirDefaults_data();
    void newCommandsHoldTheirDefaults();
    void settersEmitOnlyOnChange_data();
    void settersEmitOnlyOnChange();
    void repeatSignalsDispenseThenVolume();
    void repeatDerivesItsVolume_data();
    void repeatDerivesItsVolume();
    void textForms_data();
    void textForms();
    void storedFormRebuildsEveryKind();
    void storedFormWithMissingOrUnknownEntries();
    void storedFormCapsNesting();
    void bodyOperationsIgnoreWhatDoesNotApply();
    void newBodyStepTakesTheTipInForce();
    void tipSelectInBodyRepropagatesTips();
    void propagateTipsReachesNestedLoops();
    void editsInsideTheBodyReachTheLoop_data();
    void editsInsideTheBodyReachTheLoop();
    void appendInnerCommandIsSilent();
    void removedCommandIsReadableUntilTheEventLoopRuns();
    void destroyedLoopSchedulesItsBody();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestCommand::newCommandsHoldTheirDefaults_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QVariantMap>("expected");

    const QVariantMap base{{"tip", "small"}, {"speed", 5}};
    auto with = [&base](QVariantMap extra) {
        QVariantMap map = base;
        for (auto it = extra.cbegin(); it != extra.cend(); ++it)
            map.insert(it.key(), it.value());
        return map;
    };
    const QVariantMap transfer = with({{"volumeWhole", 100}, {"volumeFractional", 0},
                                       {"extraVolume", 0}});
    QTest::newRow("tipselect") << "tipselect" << base;
    QTest::newRow("aspirate") << "aspirate" << transfer;
    QTest::newRow("airgap") << "airgap" << transfer;
    QTest::newRow("dispense") << "dispense" << transfer;
    QTest::newRow("mix") << "mix"
                         << with({{"volumeWhole", 100}, {"volumeFractional", 0}, {"cycles", 2}});
    QTest::newRow("repeat") << "repeat"
                            << with({{"dispenseVolume", 100.0}, {"replicates", 2},
                                     {"volumeWhole", 200}, {"volumeFractional", 0}});
    QTest::newRow("purge") << "purge" << base;
    QTest::newRow("loop") << "loop" << with({{"iterations", 2}});
}

void TestCommand::newCommandsHoldTheirDefaults()
{
    QFETCH(QString, type);
    QFETCH(QVariantMap, expected);

    std::unique_ptr<Command> command(Command::create(type));
    QVERIFY(command);
    QCOMPARE(command->type(), type);
    QCOMPARE(command->property("type").toString(), type);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(command->property(qPrintable(it.key())), it.value());
    if (auto *volume = qobject_cast<VolumeCommand *>(command.get()))
        QCOMPARE(volume->scale(), 10);
    if (auto *loop = qobject_cast<LoopCommand *>(command.get()))
        QVERIFY(loop->innerCommands().isEmpty());
}

void TestCommand::settersEmitOnlyOnChange_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("newValue");

    QTest::newRow("tip") << "aspirate" << "tip" << QVariant("large");
    QTest::newRow("speed") << "purge" << "speed" << QVariant(3);
    QTest::newRow("volumeWhole") << "dispense" << "volumeWhole" << QVariant(50);
    QTest::newRow("volumeFractional") << "airgap" << "volumeFractional" << QVariant(5);
    QTest::newRow("extraVolume") << "aspirate" << "extraVolume" << QVariant(7);
    QTest::newRow("mix volume") << "mix" << "volumeWhole" << QVariant(20);
    QTest::newRow("cycles") << "mix" << "cycles" << QVariant(9);
    QTest::newRow("dispenseVolume") << "repeat" << "dispenseVolume" << QVariant(12.5);
    QTest::newRow("replicates") << "repeat" << "replicates" << QVariant(3);
    QTest::newRow("iterations") << "loop" << "iterations" << QVariant(4);
    QTest::newRow("tip select tip") << "tipselect" << "tip" << QVariant("large");
}

void TestCommand::settersEmitOnlyOnChange()
{
    QFETCH(QString, type);
    QFETCH(QString, property);
    QFETCH(QVariant, newValue);

    std::unique_ptr<Command> command(Command::create(type));
    const QByteArray latin = property.toLatin1();
    const char *name = latin.constData();
    const QByteArray signal = '2' + command->metaObject()
                                        ->property(command->metaObject()->indexOfProperty(name))
                                        .notifySignal()
                                        .methodSignature();
    QSignalSpy spy(command.get(), signal.constData());
    QVERIFY(spy.isValid());

    QVERIFY(command->setProperty(name, command->property(name)));
    QCOMPARE(spy.count(), 0);
    QVERIFY(command->setProperty(name, newValue));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(command->property(name), newValue);
    QVERIFY(command->setProperty(name, newValue));
    QCOMPARE(spy.count(), 1);
}

void TestCommand::repeatSignalsDispenseThenVolume()
{
    RepeatCommand repeat;
    QStringList order;
    connect(&repeat, &RepeatCommand::dispenseVolumeChanged, this, [&] { order << "dispense"; });
    connect(&repeat, &RepeatCommand::replicatesChanged, this, [&] { order << "replicates"; });
    connect(&repeat, &RepeatCommand::volumeChanged, this, [&] { order << "volume"; });

    repeat.setDispenseVolume(50.0);
    repeat.setReplicates(4);
    QCOMPARE(order, QStringList({"dispense", "volume", "replicates", "volume"}));

    // The volume of a Repeat follows from its two fields; writing it does nothing.
    order.clear();
    QVERIFY(repeat.setProperty("volumeWhole", 7));
    repeat.setVolumeFractional(3);
    QVERIFY(order.isEmpty());
    QCOMPARE(repeat.volume(), (VolumeParts{200, 0, 10}));

    // NaN never equals itself, yet writing it again is no change.
    repeat.setDispenseVolume(qQNaN());
    repeat.setDispenseVolume(qQNaN());
    QCOMPARE(order, QStringList({"dispense", "volume"}));
    repeat.setDispenseVolume(1.0);
    QCOMPARE(order.size(), 4);
}

void TestCommand::repeatDerivesItsVolume_data()
{
    QTest::addColumn<double>("dispense");
    QTest::addColumn<int>("replicates");
    QTest::addColumn<int>("whole");
    QTest::addColumn<int>("fractional");
    QTest::addColumn<QString>("text");

    QTest::newRow("12.5 x 3") << 12.5 << 3 << 37 << 5 << "37.5";
    QTest::newRow("tenths carry") << 24.99 << 4 << 100 << 0 << "100.0";
    QTest::newRow("half rounds up") << 0.05 << 1 << 0 << 1 << "0.1";
    QTest::newRow("negative half rounds up") << -0.05 << 1 << 0 << 0 << "0.0";
    QTest::newRow("negative") << -1.25 << 2 << -2 << -5 << "-2.5";
    QTest::newRow("no replicates") << 100.0 << 0 << 0 << 0 << "0.0";
    QTest::newRow("beyond int stays defined") << 1e12 << 3 << INT_MAX << 0 << "2147483647.0";
    QTest::newRow("not a number reads 0") << std::nan("") << 2 << 0 << 0 << "0.0";
}

void TestCommand::repeatDerivesItsVolume()
{
    QFETCH(double, dispense);
    QFETCH(int, replicates);
    QFETCH(int, whole);
    QFETCH(int, fractional);
    QFETCH(QString, text);

    RepeatCommand repeat;
    repeat.setDispenseVolume(dispense);
    repeat.setReplicates(replicates);
    QCOMPARE(repeat.volumeWhole(), whole);
    QCOMPARE(repeat.volumeFractional(), fractional);
    QCOMPARE(repeat.volume().toText(), text);
    QCOMPARE(repeat.toVariantMap().value("volumeWhole").toInt(), whole);
}

void TestCommand::textForms_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QVariantMap>("properties");
    QTest::addColumn<int>("indent");
    QTest::addColumn<QString>("spl");
    QTest::addColumn<QString>("csvRow");

    QTest::newRow("aspirate") << "aspirate"
                              << QVariantMap{{"volumeFractional", 5}, {"extraVolume", 10}}
                              << 0 << "aspirate tip:small vol:100.5 xvol:10 speed:5\n"
                              << "ASPIRATE,S,100.5,10,*,*,*,5,*,12.5";
    QTest::newRow("other tip text is large") << "airgap" << QVariantMap{{"tip", "Large"}} << 2
                                             << "  airgap tip:large vol:100.0 xvol:0 speed:5\n"
                                             << "AIRGAP,L,100.0,0,*,*,*,5,*,12.5";
    QTest::newRow("empty tip is large") << "dispense" << QVariantMap{{"tip", ""}, {"speed", 7}}
                                        << 0 << "dispense tip:large vol:100.0 xvol:0 speed:7\n"
                                        << "DISPENSE,L,100.0,0,*,*,*,7,*,12.5";
    QTest::newRow("mix") << "mix" << QVariantMap{{"volumeWhole", 20}, {"cycles", 5}, {"speed", 2}}
                         << 4 << "    mix tip:small vol:20.0 cycles:5 speed:2\n"
                         << "MIX,S,20.0,0,5,*,*,2,*,12.5";
    QTest::newRow("repeat") << "repeat"
                            << QVariantMap{{"dispenseVolume", 12.5}, {"replicates", 3},
                                           {"tip", "large"}, {"speed", 4}}
                            << 0 << "repeat tip:large vol:37.5 dispense:12.5 replicates:3 speed:4\n"
                            << "REPEAT,L,37.5,0,*,3,12.5,4,*,12.5";
    QTest::newRow("purge") << "purge" << QVariantMap{{"speed", 7}} << 0
                           << "purge tip:small speed:7\n" << "PURGE,S,*,*,*,*,*,7,*,0";
    QTest::newRow("tip select keeps its text") << "tipselect" << QVariantMap{{"tip", "Large"}}
                                               << 0 << "tipselect tip:Large\n"
                                               << "TIPSELECT,L,,,,,,,,";
    QTest::newRow("tip select tip stays one token")
        << "tipselect" << QVariantMap{{"tip", "small\nloop 3"}} << 0
        << "tipselect tip:small_loop_3\n" << "TIPSELECT,L,,,,,,,,";
    QTest::newRow("negative volume") << "aspirate"
                                     << QVariantMap{{"volumeWhole", -1}, {"volumeFractional", -5}}
                                     << 0 << "aspirate tip:small vol:-1.5 xvol:0 speed:5\n"
                                     << "ASPIRATE,S,-1.5,0,*,*,*,5,*,12.5";
    QTest::newRow("tenths past ten") << "aspirate"
                                     << QVariantMap{{"volumeWhole", 12}, {"volumeFractional", 10}}
                                     << 0 << "aspirate tip:small vol:13.0 xvol:0 speed:5\n"
                                     << "ASPIRATE,S,13.0,0,*,*,*,5,*,12.5";
    QTest::newRow("loop") << "loop" << QVariantMap{{"iterations", 3}} << 0 << "loop 3\nendloop\n"
                          << "LOOPSTART,*,*,*,*,*,*,*,3,*\nLOOPEND,*,*,*,*,*,*,*,*,*";
}

void TestCommand::textForms()
{
    QFETCH(QString, type);
    QFETCH(QVariantMap, properties);
    QFETCH(int, indent);
    QFETCH(QString, spl);
    QFETCH(QString, csvRow);

    std::unique_ptr<Command> command(Command::create(type));
    for (auto it = properties.cbegin(); it != properties.cend(); ++it)
        QVERIFY(command->setProperty(qPrintable(it.key()), it.value()));
    QCOMPARE(command->toSpl(indent), spl);
    QCOMPARE(command->toCsvRow(VolumeParts{12, 5, 10}), csvRow);
}

void TestCommand::storedFormRebuildsEveryKind()
{
    QObject owner;
    auto *outer = new LoopCommand(&owner);
    outer->setIterations(3);
    outer->setTip(QStringLiteral("large"));
    for (const char *type : {"tipselect", "aspirate", "airgap", "dispense", "mix", "repeat", "purge"})
        outer->addInnerCommand(QString::fromLatin1(type));
    auto *inner = new LoopCommand(outer);
    inner->setIterations(4);
    inner->addInnerCommand(QStringLiteral("mix"));
    outer->appendInnerCommand(inner);
    auto *repeat = qobject_cast<RepeatCommand *>(outer->innerCommandList().at(5));
    repeat->setDispenseVolume(24.99);
    repeat->setReplicates(4);
    qobject_cast<VolumeCommand *>(outer->innerCommandList().at(1))->setVolumeFractional(7);

    const QVariantMap map = outer->toVariantMap();
    QCOMPARE(map.value("iterations").toInt(), 3);
    const QVariantList body = map.value("innerCommands").toList();
    QCOMPARE(body.size(), 8);
    QCOMPARE(body.at(0).toMap().keys(), QStringList({"tip", "type"}));
    QCOMPARE(body.at(5).toMap().value("volumeWhole").toInt(), 100);
    QCOMPARE(body.at(5).toMap().value("dispenseVolume").toDouble(), 24.99);
    QCOMPARE(body.at(7).toMap().value("innerCommands").toList().size(), 1);

    QPointer<Command> rebuilt = Command::fromVariantMap(map, &owner);
    QVERIFY(rebuilt);
    QCOMPARE(rebuilt->parent(), &owner);
    QCOMPARE(rebuilt->toVariantMap(), map);
    auto *rebuiltLoop = qobject_cast<LoopCommand *>(rebuilt.data());
    for (Command *step : rebuiltLoop->innerCommandList())
        QCOMPARE(step->parent(), rebuiltLoop);
}

void TestCommand::storedFormWithMissingOrUnknownEntries()
{
    std::unique_ptr<Command> bare(Command::fromVariantMap({{"type", "aspirate"}}));
    QVERIFY(bare);
    QCOMPARE(volumeText(bare.get()), QStringLiteral("0.0"));
    QCOMPARE(bare->property("extraVolume").toInt(), 0);
    QCOMPARE(bare->speed(), 0);
    QCOMPARE(bare->tip(), QString());

    QVERIFY(!Command::fromVariantMap({{"type", "unknown"}}));
    QVERIFY(!Command::fromVariantMap({{"tip", "small"}}));

    // Numbers come back from JSON as doubles; absurd ones must not be converted blindly.
    std::unique_ptr<Command> fromJson(Command::fromVariantMap(
        {{"type", "mix"}, {"volumeWhole", 50.0}, {"volumeFractional", 5.0}, {"cycles", 1e20},
         {"speed", 3.0}, {"tip", "small"}}));
    QCOMPARE(volumeText(fromJson.get()), QStringLiteral("50.5"));
    QCOMPARE(fromJson->property("cycles").toInt(), 0);
    QCOMPARE(fromJson->speed(), 3);

    const QVariantMap loopMap{{"type", "loop"}, {"iterations", 2},
                              {"innerCommands",
                               QVariantList{QVariantMap{{"type", "purge"}, {"speed", 7}},
                                            QVariantMap{{"type", "unknown"}}, QVariant(42),
                                            QVariantMap{{"type", "loop"}, {"iterations", 3}}}}};
    std::unique_ptr<Command> loop(Command::fromVariantMap(loopMap));
    const QList<Command *> body = qobject_cast<LoopCommand *>(loop.get())->innerCommandList();
    QCOMPARE(body.size(), 2);
    QCOMPARE(body.at(0)->type(), QStringLiteral("purge"));
    QCOMPARE(body.at(0)->speed(), 7);
    QCOMPARE(body.at(1)->type(), QStringLiteral("loop"));
}

void TestCommand::storedFormCapsNesting()
{
    auto nested = [](int depth) {
        QVariantMap map{{"type", "aspirate"}, {"volumeWhole", 10}};
        for (int i = 0; i < depth; ++i)
            map = QVariantMap{{"type", "loop"}, {"iterations", 1}, {"innerCommands", QVariantList{map}}};
        return map;
    };
    auto depthOf = [](const Command *command) {
        int depth = 0;
        while (auto *loop = qobject_cast<const LoopCommand *>(command)) {
            ++depth;
            command = loop->innerCommandList().value(0);
        }
        return depth;
    };

    std::unique_ptr<Command> deepest(Command::fromVariantMap(nested(LoopCommand::MaxNestingDepth)));
    QCOMPARE(depthOf(deepest.get()), LoopCommand::MaxNestingDepth);

    QTest::ignoreMessage(QtWarningMsg,
                         "Command: loops nested deeper than 64 levels; the deeper ones are dropped");
    std::unique_ptr<Command> tooDeep(Command::fromVariantMap(nested(5000)));
    QVERIFY(tooDeep);
    QCOMPARE(depthOf(tooDeep.get()), LoopCommand::MaxNestingDepth);
}

void TestCommand::bodyOperationsIgnoreWhatDoesNotApply()
{
    LoopCommand loop;
    for (const char *type : {"aspirate", "dispense", "purge"})
        loop.addInnerCommand(QString::fromLatin1(type));
    QSignalSpy changed(&loop, &LoopCommand::innerCommandsChanged);

    loop.addInnerCommand(QStringLiteral("loop"));
    loop.addInnerCommand(QStringLiteral("Aspirate"));
    loop.moveInnerCommand(1, 1);
    loop.moveInnerCommand(-1, 0);
    loop.moveInnerCommand(0, 3);
    loop.removeInnerCommand(5);
    loop.removeInnerCommand(-1);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(loop.innerCommandList().size(), 3);

    loop.moveInnerCommand(0, 2);
    QCOMPARE(changed.count(), 1);
    QStringList order;
    for (const QVariant &entry : loop.innerCommands())
        order << qvariant_cast<QObject *>(entry)->property("type").toString();
    QCOMPARE(order, QStringList({"dispense", "purge", "aspirate"}));
}

void TestCommand::newBodyStepTakesTheTipInForce()
{
    QObject owner;
    LoopCommand *loop = loopWithTipSelect(QStringLiteral("small"), QStringLiteral("large"), &owner);
    QCOMPARE(loop->innerCommandList().at(1)->tip(), QStringLiteral("large"));

    auto *plain = new LoopCommand(&owner);
    plain->setTip(QStringLiteral("large"));
    plain->addInnerCommand(QStringLiteral("mix"));
    plain->addInnerCommand(QStringLiteral("tipselect"));
    QCOMPARE(plain->innerCommandList().at(0)->tip(), QStringLiteral("large"));
    // A new Tip Select starts small whatever is in force.
    QCOMPARE(plain->innerCommandList().at(1)->tip(), QStringLiteral("small"));
    QCOMPARE(plain->innerCommandList().at(1)->parent(), plain);
}

void TestCommand::tipSelectInBodyRepropagatesTips()
{
    QObject owner;
    LoopCommand *loop = loopWithTipSelect(QStringLiteral("small"), QStringLiteral("large"), &owner);
    loop->addInnerCommand(QStringLiteral("dispense"));
    const QList<Command *> body = loop->innerCommandList();
    QCOMPARE(body.at(2)->tip(), QStringLiteral("large"));

    QSignalSpy changed(loop, &LoopCommand::innerCommandsChanged);
    body.at(0)->setTip(QStringLiteral("small"));
    QCOMPARE(body.at(1)->tip(), QStringLiteral("small"));
    QCOMPARE(body.at(2)->tip(), QStringLiteral("small"));
    // One each for the two steps whose tip followed, one from the tip handler itself, one
    // forwarded from the Tip Select: a handler that forgot its own signal would leave 3.
    QCOMPARE(changed.count(), 4);

    // After its removal the Tip Select no longer drives the body.
    loop->removeInnerCommand(0);
    body.at(0)->setTip(QStringLiteral("large"));
    QCOMPARE(body.at(1)->tip(), QStringLiteral("small"));
}

void TestCommand::propagateTipsReachesNestedLoops()
{
    QObject owner;
    auto *outer = new LoopCommand(&owner);
    outer->addInnerCommand(QStringLiteral("aspirate"));
    outer->addInnerCommand(QStringLiteral("tipselect"));
    outer->innerCommandList().at(1)->setTip(QStringLiteral("large"));
    auto *inner = new LoopCommand(outer);
    inner->addInnerCommand(QStringLiteral("mix"));
    inner->addInnerCommand(QStringLiteral("tipselect"));
    inner->addInnerCommand(QStringLiteral("purge"));
    outer->appendInnerCommand(inner);
    outer->addInnerCommand(QStringLiteral("dispense"));

    outer->innerCommandList().at(0)->setTip(QStringLiteral("other"));
    outer->propagateTips(QStringLiteral("small"));
    const QList<Command *> body = outer->innerCommandList();
    QCOMPARE(body.at(0)->tip(), QStringLiteral("small"));
    QCOMPARE(inner->tip(), QStringLiteral("large"));
    QCOMPARE(inner->innerCommandList().at(0)->tip(), QStringLiteral("large"));
    QCOMPARE(inner->innerCommandList().at(1)->tip(), QStringLiteral("small")); // its own
    QCOMPARE(inner->innerCommandList().at(2)->tip(), QStringLiteral("small"));
    QCOMPARE(body.at(3)->tip(), QStringLiteral("large"));
}

void TestCommand::editsInsideTheBodyReachTheLoop_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("tip") << "purge" << "tip" << QVariant("large");
    QTest::newRow("speed") << "aspirate" << "speed" << QVariant(2);
    QTest::newRow("volume") << "airgap" << "volumeFractional" << QVariant(4);
    QTest::newRow("extra volume") << "dispense" << "extraVolume" << QVariant(3);
    QTest::newRow("cycles") << "mix" << "cycles" << QVariant(8);
    QTest::newRow("dispense volume") << "repeat" << "dispenseVolume" << QVariant(10.0);
    QTest::newRow("replicates") << "repeat" << "replicates" << QVariant(6);
    QTest::newRow("nested iterations") << "loop" << "iterations" << QVariant(7);
}

void TestCommand::editsInsideTheBodyReachTheLoop()
{
    QFETCH(QString, type);
    QFETCH(QString, property);
    QFETCH(QVariant, value);

    LoopCommand loop;
    Command *step = Command::create(type, &loop);
    loop.appendInnerCommand(step);
    QSignalSpy changed(&loop, &LoopCommand::innerCommandsChanged);
    QVERIFY(step->setProperty(qPrintable(property), value));
    QVERIFY(changed.count() >= 1);
}

void TestCommand::appendInnerCommandIsSilent()
{
    LoopCommand loop;
    loop.setTip(QStringLiteral("large"));
    QSignalSpy changed(&loop, &LoopCommand::innerCommandsChanged);
    auto *aspirate = new AspirateCommand(&loop);
    loop.appendInnerCommand(aspirate);
    loop.appendInnerCommand(nullptr);
    loop.appendInnerCommand(&loop);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(loop.innerCommandList(), QList<Command *>({aspirate}));
    QCOMPARE(aspirate->tip(), QStringLiteral("small"));
    QCOMPARE(notifyName(&loop, "innerCommands"), QByteArray("innerCommandsChanged"));
}

void TestCommand::removedCommandIsReadableUntilTheEventLoopRuns()
{
    LoopCommand loop;
    loop.addInnerCommand(QStringLiteral("aspirate"));
    loop.addInnerCommand(QStringLiteral("mix"));
    QPointer<Command> removed = loop.innerCommandList().at(0);
    QSignalSpy changed(&loop, &LoopCommand::innerCommandsChanged);

    // The interface reads the removed step while it handles the signal.
    QString readInHandler;
    const auto reader = connect(&loop, &LoopCommand::innerCommandsChanged, this,
                                [&] { readInHandler = removed ? removed->toSpl(0) : QString(); });
    loop.removeInnerCommand(0);
    disconnect(reader);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(readInHandler, QStringLiteral("aspirate tip:small vol:100.0 xvol:0 speed:5\n"));
    QCOMPARE(loop.innerCommandList().size(), 1);

    QVERIFY(removed);
    removed->setProperty("volumeWhole", 20);
    QCOMPARE(changed.count(), 1); // no longer part of the loop
    runDeferredDeletes();
    QVERIFY(!removed);
}

void TestCommand::destroyedLoopSchedulesItsBody()
{
    // A body step owned by no one (appendInnerCommand takes any command) goes with the loop.
    auto *loop = new LoopCommand;
    auto *free = new PurgeCommand;
    auto *owned = new MixCommand(loop);
    loop->appendInnerCommand(free);
    loop->appendInnerCommand(owned);
    QPointer<Command> freeStep = free;
    QSignalSpy changed(loop, &LoopCommand::innerCommandsChanged);

    delete loop;
    QCOMPARE(changed.count(), 1);
    QVERIFY(freeStep);
    QCOMPARE(freeStep->type(), QStringLiteral("purge"));
    runDeferredDeletes();
    QVERIFY(!freeStep);

    // An empty body is announced too.
    auto *empty = new LoopCommand;
    QSignalSpy emptied(empty, &LoopCommand::innerCommandsChanged);
    delete empty;
    QCOMPARE(emptied.count(), 1);

    // A body step deleted by its own owner first leaves the loop, rather than dangling in it.
    QObject owner;
    auto *survivor = new LoopCommand(&owner);
    auto *early = new PurgeCommand(&owner);
    auto *kept = new MixCommand(survivor);
    survivor->appendInnerCommand(early);
    survivor->appendInnerCommand(kept);
    QSignalSpy forgotten(survivor, &LoopCommand::innerCommandsChanged);
    delete early;
    QCOMPARE(forgotten.count(), 1);
    QCOMPARE(survivor->innerCommandList(), QList<Command *>({kept}));
}

NERRA_TEST_MAIN(TestCommand)
#include "tst_command.moc"
