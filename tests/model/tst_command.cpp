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

// Each body step's kind and tip.
QString bodyOf(const LoopCommand *loop)
{
    QStringList steps;
    for (const Command *step : loop->innerCommandList())
        steps << step->type() + QLatin1Char(':') + step->tip();
    return steps.join(QLatin1Char(' '));
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
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); m_env.reset(); }

    void repeatDerivesItsVolume()
    {
        // Set directly: no text form can carry a NaN. Written parts are ignored: the volume
        // follows from the two fields alone.
        const std::tuple<double, int, VolumeParts> cases[] = {{12.5, 3, {37, 5, 10}},      {24.99, 4, {100, 0, 10}},
                                                              {-1.25, 2, {-2, -5, 10}},    {100.0, 0, {0, 0, 10}},
                                                              {1e12, 3, {INT_MAX, 0, 10}}, {std::nan(""), 2, {0, 0, 10}}};
        for (const auto &c : cases) {
            RepeatCommand repeat;
            repeat.setDispenseVolume(std::get<0>(c));
            repeat.setReplicates(std::get<1>(c));
            repeat.setVolumeWhole(7);
            repeat.setVolumeFractional(3);
            QCOMPARE(repeat.volume(), std::get<2>(c));
            QCOMPARE(repeat.toVariantMap().value("volumeWhole").toInt(), std::get<2>(c).whole);
        }
    }

    void storedForm()
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
        QPointer<Command> rebuilt = Command::fromVariantMap(QJsonDocument::fromJson(stored).object().toVariantMap(), &owner);
        QCOMPARE(rebuilt->parent(), &owner);
        QCOMPARE(json(rebuilt->toVariantMap()), stored);
        auto *loop = qobject_cast<LoopCommand *>(rebuilt.data());
        for (const Command *step : loop->innerCommandList())
            QCOMPARE(step->parent(), loop);
        QCOMPARE(static_cast<VolumeCommand *>(loop->innerCommandList().at(2))->volume().toText(), QStringLiteral("101.9"));

        // What is missing reads as nothing; what is not a step is left out.
        std::unique_ptr<Command> bare(Command::fromVariantMap({{"type", "aspirate"}}));
        QCOMPARE(json(bare->toVariantMap()), QByteArray("{\"extraVolume\":0,\"speed\":0,\"tip\":\"\",\"type\":\"aspirate\","
                                                        "\"volumeFractional\":0,\"volumeWhole\":0}"));
        QVERIFY(!Command::fromVariantMap({{"type", "Aspirate"}}) && !Command::fromVariantMap({{"tip", "small"}}));
        const QVariantList body{QVariantMap{{"type", "purge"}, {"speed", 7}}, QVariantMap{{"type", "unknown"}}, 42,
                                QVariantMap{{"type", "loop"}, {"iterations", 3}}};
        std::unique_ptr<Command> damaged(Command::fromVariantMap({{"type", "loop"}, {"innerCommands", body}}));
        QCOMPARE(bodyOf(qobject_cast<LoopCommand *>(damaged.get())), QStringLiteral("purge: loop:"));
        // Numbers past the range of int read as 0 rather than as undefined conversions.
        std::unique_ptr<Command> mix(Command::fromVariantMap(
            {{"type", "mix"}, {"cycles", 1e20}, {"speed", -3e9}, {"volumeFractional", 2147483647.0}}));
        QCOMPARE(json(mix->toVariantMap()), QByteArray("{\"cycles\":0,\"speed\":0,\"tip\":\"\",\"type\":\"mix\","
                                                       "\"volumeFractional\":2147483647,\"volumeWhole\":0}"));
    }

    void loopBodyEdits()
    {
        QObject owner;
        auto *loop = qobject_cast<LoopCommand *>(methodFromSpl(
            "loop 2\n  aspirate tip:small vol:10 speed:5\n  dispense tip:small vol:10 speed:5\n  purge tip:small speed:5\nendloop\n",
            &owner).at(0));
        QSignalSpy changed(loop, &LoopCommand::innerCommandsChanged);
        // What does not apply changes nothing: no loop in a body, unknown words, moves and
        // removals out of range, no step or the loop itself.
        loop->addInnerCommand(QStringLiteral("loop"));
        loop->addInnerCommand(QStringLiteral("Aspirate"));
        for (const auto &move : {qMakePair(1, 1), qMakePair(-1, 0), qMakePair(0, -1), qMakePair(0, 3), qMakePair(3, 0)})
            loop->moveInnerCommand(move.first, move.second);
        loop->removeInnerCommand(3);
        loop->removeInnerCommand(-1);
        loop->appendInnerCommand(nullptr);
        loop->appendInnerCommand(loop);
        QCOMPARE(changed.count(), 0);
        loop->moveInnerCommand(0, 2);
        loop->moveInnerCommand(2, 0);
        loop->moveInnerCommand(1, 2);
        QCOMPARE(changed.count(), 3);
        QCOMPARE(bodyOf(loop), QStringLiteral("aspirate:small purge:small dispense:small"));

        // A new step takes the tip in force; a new Tip Select starts small, and one that
        // changes carries its tip on, but only while it is in the body.
        loop->setTip(QStringLiteral("large"));
        loop->removeInnerCommand(0);
        loop->addInnerCommand(QStringLiteral("mix"));
        loop->addInnerCommand(QStringLiteral("tipselect"));
        loop->addInnerCommand(QStringLiteral("airgap"));
        QCOMPARE(bodyOf(loop), QStringLiteral("purge:small dispense:small mix:large tipselect:small airgap:small"));
        QCOMPARE(loop->innerCommandList().at(4)->parent(), loop);
        changed.clear();
        const QList<Command *> body = loop->innerCommandList();
        body.at(3)->setTip(QStringLiteral("large"));
        QCOMPARE(bodyOf(loop), QStringLiteral("purge:large dispense:large mix:large tipselect:large airgap:large"));
        // One for each of the three steps whose tip followed, one from the Tip Select, one from the re-propagation.
        QCOMPARE(changed.count(), 5);
        loop->removeInnerCommand(3);
        body.at(3)->setTip(QStringLiteral("small"));
        QCOMPARE(body.at(4)->tip(), QStringLiteral("large"));

        // Every edit of a body step reaches the loop, and a step keeps the value it was given.
        const std::tuple<const char *, const char *, QVariant> edits[] = {
            {"purge", "tip", "x"}, {"dispense", "extraVolume", 3}, {"mix", "cycles", 8}, {"repeat", "replicates", 6}, {"loop", "iterations", 7}};
        for (const auto &edit : edits) {
            Command *step = Command::create(QString::fromLatin1(std::get<0>(edit)), loop);
            loop->appendInnerCommand(step);
            changed.clear();
            QVERIFY(step->setProperty(std::get<1>(edit), std::get<2>(edit)));
            QVERIFY2(changed.count() >= 1, std::get<1>(edit));
            QCOMPARE(step->property(std::get<1>(edit)), std::get<2>(edit));
        }
        // A body step deleted by its own owner leaves the loop rather than dangling in it.
        const int size = loop->innerCommandList().size();
        changed.clear();
        delete loop->innerCommandList().constFirst();
        QVERIFY(loop->innerCommandList().size() == size - 1 && changed.count() == 1);
        // A nested loop takes the tip in force into its body, its own Tip Select aside.
        auto *outer = qobject_cast<LoopCommand *>(methodFromSpl(
            "loop 2\n  aspirate tip:x vol:10 speed:5\n  tipselect tip:large\n  loop 2\n    mix tip:x vol:10 cycles:2 speed:5\n"
            "    tipselect tip:small\n    purge tip:x speed:5\n  endloop\n  dispense tip:x vol:10 speed:5\nendloop\n", &owner).at(0));
        outer->propagateTips(QStringLiteral("small"));
        QCOMPARE(bodyOf(outer), QStringLiteral("aspirate:small tipselect:large loop:large dispense:large"));
        QCOMPARE(bodyOf(qobject_cast<LoopCommand *>(outer->innerCommandList().at(2))), QStringLiteral("mix:large tipselect:small purge:small"));
    }

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};


NERRA_TEST_MAIN(TestCommand)
#include "tst_command.moc"
