#include "model/commands.h"
#include "model/validator.h"
#include "testmain.h"

#include <QRegularExpression>
#include <QSignalSpy>

#include <cmath>
#include <functional>
#include <memory>

namespace {

using Method = std::function<QList<Command *>()>;

const char *const S = "small";
const char *const L = "large";

// Every command made by the helpers below belongs to this object for one test case.
QObject *g_owner = nullptr;

template <typename T>
T *make(const char *tip, int speed)
{
    auto *command = new T(g_owner);
    command->setTip(QString::fromUtf8(tip));
    command->setSpeed(speed);
    return command;
}

// As the editor splits a typed value: whole µL and tenths.
void setVolume(VolumeCommand *command, double volume)
{
    const double whole = std::floor(volume);
    command->setVolumeWhole(int(whole));
    command->setVolumeFractional(int(std::lround((volume - whole) * 10.0)));
}

template <typename T>
Command *transfer(double volume, int extra, const char *tip, int speed)
{
    T *command = make<T>(tip, speed);
    setVolume(command, volume);
    command->setExtraVolume(extra);
    return command;
}

Command *ts(const char *tip = S, int speed = 5)
{
    return make<TipSelectCommand>(tip, speed);
}

Command *asp(double volume, int extra = 0, const char *tip = S, int speed = 5)
{
    return transfer<AspirateCommand>(volume, extra, tip, speed);
}

Command *air(double volume, int extra = 0, const char *tip = S, int speed = 5)
{
    return transfer<AirgapCommand>(volume, extra, tip, speed);
}

Command *disp(double volume, int extra = 0, const char *tip = S, int speed = 5)
{
    return transfer<DispenseCommand>(volume, extra, tip, speed);
}

Command *mix(double volume, int cycles = 2, const char *tip = S, int speed = 5)
{
    auto *command = make<MixCommand>(tip, speed);
    setVolume(command, volume);
    command->setCycles(cycles);
    return command;
}

Command *rep(double each, int replicates, const char *tip = S, int speed = 5)
{
    auto *command = make<RepeatCommand>(tip, speed);
    command->setDispenseVolume(each);
    command->setReplicates(replicates);
    return command;
}

Command *purge(const char *tip = S, int speed = 5)
{
    return make<PurgeCommand>(tip, speed);
}

Command *loop(int iterations, const QList<Command *> &body, const char *tip = S, int speed = 5)
{
    auto *command = make<LoopCommand>(tip, speed);
    command->setIterations(iterations);
    for (Command *step : body) {
        step->setParent(command);
        command->appendInnerCommand(step);
    }
    return command;
}

// An aspirate written part by part, for fractional counts the editor would not produce.
Command *aspParts(int whole, int fractional)
{
    auto *command = make<AspirateCommand>(S, 5);
    command->setVolumeWhole(whole);
    command->setVolumeFractional(fractional);
    return command;
}

#define STEPS(...) Method([] { return QList<Command *>{__VA_ARGS__}; })

QStringList describe(const QList<ValidationError> &errors)
{
    QStringList lines;
    for (const ValidationError &error : errors) {
        QString line = error.commandPath + QStringLiteral(" | ") + error.message;
        if (error.fixVolume != -1.0)
            line += QStringLiteral(" | fix ") + QString::number(error.fixVolume);
        lines << line;
    }
    return lines;
}

QStringList describe(const QList<TipVolumes> &volumes)
{
    QStringList lines;
    for (const TipVolumes &tips : volumes)
        lines << tips.smallTip.toText() + QLatin1Char('/') + tips.largeTip.toText();
    return lines;
}

const QString NoTransfer = QStringLiteral(
    "protocol | Protocol must contain at least one aspirate, dispense, or repeat step");

QString leftOver(const char *volume, const char *tip)
{
    return QStringLiteral("protocol | Protocol ends with %1 µL undispensed in the %2 tip — every "
                          "aspirated volume must be fully dispensed")
        .arg(QLatin1String(volume), QLatin1String(tip));
}

} // namespace

Q_DECLARE_METATYPE(Method)

class TestValidator : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_owner = std::make_unique<QObject>();
        g_owner = m_owner.get();
    }
    void cleanup()
    {
        g_owner = nullptr;
        m_owner.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_env.reset();
    }

    void labMethods_data();
    void labMethods();
    void eachRuleBrokenAlone_data();
    void eachRuleBrokenAlone();
    void tenthsAtTheEdges_data();
    void tenthsAtTheEdges();
    void runningVolumeParts();
    void validateAndCumulativeDiffer_data();
    void validateAndCumulativeDiffer();
    void longLoopsAreComputedNotRun_data();
    void longLoopsAreComputedNotRun();
    void deeplyNestedLoopsAreBounded();
    void validationChangesNothing();

private:
    void addColumns();
    void check();

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<QObject> m_owner;
};

void TestValidator::addColumns()
{
    QTest::addColumn<Method>("method");
    QTest::addColumn<QStringList>("errors");
    // "small/large" after each top-level step; an empty list leaves them unchecked.
    QTest::addColumn<QStringList>("volumes");
}

void TestValidator::check()
{
    QFETCH(Method, method);
    QFETCH(QStringList, errors);
    QFETCH(QStringList, volumes);
    const QList<Command *> commands = method();
    Validator validator;
    QCOMPARE(describe(validator.validate(commands)), errors);
    const QList<TipVolumes> cumulative = validator.cumulativeVolumes(commands);
    QCOMPARE(cumulative.size(), commands.size());
    if (!volumes.isEmpty())
        QCOMPARE(describe(cumulative), volumes);
}

void TestValidator::labMethods_data()
{
    addColumns();
    QTest::newRow("serial dilution")
        << STEPS(ts(), asp(100), disp(100), loop(5, {asp(50), disp(50), mix(80, 3)}), purge())
        << QStringList()
        << QStringList{"0.0/0.0", "100.0/0.0", "0.0/0.0", "0.0/0.0", "0.0/0.0"};
    QTest::newRow("multi-dispense with waste")
        << STEPS(ts(L), asp(900, 20, L), disp(300, 0, L), disp(300, 0, L), disp(300, 0, L),
                  purge(L), rep(120, 8, L))
        << QStringList()
        << QStringList{"0.0/0.0",   "0.0/920.0", "0.0/620.0", "0.0/320.0",
                       "0.0/20.0",  "0.0/0.0",   "0.0/0.0"};
    QTest::newRow("mix and transfer in loops")
        << STEPS(ts(), asp(60.3), loop(3, {asp(20.5), mix(50, 5), disp(20.5)}), disp(60.3),
                  ts(L),
                  loop(2, {asp(250, 10, L), air(100, 0, L), disp(350, 10, L), mix(500, 2, L)}, L),
                  purge(L))
        << QStringList()
        << QStringList{"0.0/0.0", "60.3/0.0", "60.3/0.0", "0.0/0.0",
                       "0.0/0.0", "0.0/0.0",  "0.0/0.0"};
    QTest::newRow("nested loops")
        << STEPS(ts(), loop(2, {asp(30), loop(3, {asp(10), disp(10)}), disp(30)}))
        << QStringList() << QStringList{"0.0/0.0", "0.0/0.0"};
    QTest::newRow("range and capacity edges")
        << STEPS(ts(), asp(1), disp(1), asp(150.5), asp(49.5, 0), disp(200), ts(L),
                  asp(100, 0, L), air(800, 100, L), disp(1000, 0, L), mix(1000, 100, L, 7),
                  mix(100, 1, L, 1))
        << QStringList() << QStringList();
}

void TestValidator::labMethods()
{
    check();
}

void TestValidator::eachRuleBrokenAlone_data()
{
    addColumns();
    const QString speed = QStringLiteral("Speed must be between 1 and 7");

    QTest::newRow("empty method") << STEPS() << QStringList{NoTransfer} << QStringList();
    QTest::newRow("first step not a tip select")
        << STEPS(asp(150), disp(150))
        << QStringList{"step 1 | First step must be 'Tip Select'"} << QStringList();
    QTest::newRow("aspirate below the small range")
        << STEPS(ts(), asp(0.9), purge())
        << QStringList{"step 2 | Aspirate volume for small tip must be between 1 and 200 µL"}
        << QStringList();
    QTest::newRow("aspirate above the small range is also over capacity")
        << STEPS(ts(), asp(200.1), purge())
        << QStringList{"step 2 | Aspirate volume for small tip must be between 1 and 200 µL",
                       "step 2 | Aspirate exceeds capacity — only 200.0 µL remaining for small "
                       "tip | fix 200"}
        << QStringList();
    QTest::newRow("aspirate below the large range")
        << STEPS(ts(L), asp(99.9, 0, L), purge(L))
        << QStringList{"step 2 | Aspirate volume for large tip must be between 100 and 1000 µL"}
        << QStringList();
    QTest::newRow("airgap below the small range")
        << STEPS(ts(), asp(100), air(0.5), disp(100.5))
        << QStringList{"step 3 | Airgap volume for small tip must be between 1 and 200 µL"}
        << QStringList();
    QTest::newRow("airgap alone moves no liquid")
        << STEPS(ts(L), air(1000.1, 0, L), purge(L))
        << QStringList{"step 2 | Airgap volume for large tip must be between 100 and 1000 µL",
                       "step 2 | Airgap exceeds capacity — only 1000.0 µL remaining for large "
                       "tip | fix 1000",
                       NoTransfer}
        << QStringList();
    QTest::newRow("dispense below the large range")
        << STEPS(ts(L), asp(150, 0, L), disp(50, 0, L), disp(100, 0, L))
        << QStringList{"step 3 | Dispense volume for large tip must be between 100 and 1000 µL"}
        << QStringList();
    QTest::newRow("mix above the small range")
        << STEPS(ts(), asp(50), mix(250), disp(50))
        << QStringList{"step 3 | Mix volume for small tip must be between 1 and 200 µL"}
        << QStringList();
    QTest::newRow("mix below the large range")
        << STEPS(ts(L), asp(200, 0, L), mix(50, 2, L), disp(200, 0, L))
        << QStringList{"step 3 | Mix volume for large tip must be between 100 and 1000 µL"}
        << QStringList();
    QTest::newRow("mix cycles")
        << STEPS(ts(), asp(50), mix(50, 0), mix(50, 101), mix(50, 1), mix(50, 100), disp(50))
        << QStringList{"step 3 | Mix cycles must be between 1 and 100",
                       "step 4 | Mix cycles must be between 1 and 100"}
        << QStringList();
    QTest::newRow("negative extra volume, which still counts")
        << STEPS(ts(), asp(100, -1), disp(99))
        << QStringList{"step 2 | Extra volume must be between 0 and 100 µL"}
        << QStringList{"0.0/0.0", "99.0/0.0", "0.0/0.0"};
    QTest::newRow("extra volume over 100 on an airgap, not checked on a dispense")
        << STEPS(ts(), asp(50), air(10, 101), disp(60, 101))
        << QStringList{"step 3 | Extra volume must be between 0 and 100 µL"}
        << QStringList{"0.0/0.0", "50.0/0.0", "161.0/0.0", "0.0/0.0"};
    QTest::newRow("aspirate over capacity still fills the tip")
        << STEPS(ts(), asp(150), asp(100), disp(200), disp(50))
        << QStringList{"step 3 | Aspirate exceeds capacity — only 50.0 µL remaining for small "
                       "tip | fix 50"}
        << QStringList{"0.0/0.0", "150.0/0.0", "250.0/0.0", "50.0/0.0", "0.0/0.0"};
    QTest::newRow("airgap over capacity names the tip as written")
        << STEPS(ts(L), asp(850, 0, "Large"), air(200, 0, "Large"), disp(550, 0, L),
                  disp(500, 0, L))
        << QStringList{"step 3 | Airgap exceeds capacity — only 150.0 µL remaining for Large "
                       "tip | fix 150"}
        << QStringList();
    QTest::newRow("dispense more than the tip holds")
        << STEPS(ts(), asp(100), disp(100.1))
        << QStringList{"step 3 | Dispense exceeds available volume (100.0 µL) for small tip | "
                       "fix 100",
                       leftOver("-0.1", "small")}
        << QStringList{"0.0/0.0", "100.0/0.0", "-0.1/0.0"};
    QTest::newRow("repeat over capacity")
        << STEPS(ts(), rep(100, 3))
        << QStringList{"step 2 | Repeat needs 300.0 µL in the tip (100.0 µL × 3 replicates) — "
                       "only 200.0 µL remaining for the small tip | fix 200"}
        << QStringList();
    QTest::newRow("repeat over what is left")
        << STEPS(ts(), asp(50), rep(50.5, 3), disp(50))
        << QStringList{"step 3 | Repeat needs 151.5 µL in the tip (50.5 µL × 3 replicates) — "
                       "only 150.0 µL remaining for the small tip | fix 150"}
        << QStringList{"0.0/0.0", "50.0/0.0", "50.0/0.0", "0.0/0.0"};
    QTest::newRow("repeat has no range checks")
        << STEPS(ts(), rep(0.5, 1), rep(10, 0)) << QStringList() << QStringList();
    QTest::newRow("speed on every kind that pipettes")
        << STEPS(ts(), asp(50, 0, S, 0), air(10, 0, S, 8), mix(30, 2, S, 0), rep(10, 2, S, 8),
                  disp(60, 0, S, 0), purge(S, 8))
        << QStringList{"step 2 | " + speed, "step 3 | " + speed, "step 4 | " + speed,
                       "step 5 | " + speed, "step 6 | " + speed, "step 7 | " + speed}
        << QStringList();
    QTest::newRow("no speed check on tip select and loop")
        << STEPS(ts(S, 0), loop(1, {asp(10), disp(10)}, S, 0)) << QStringList()
        << QStringList();
    QTest::newRow("tip select away from a small tip holding liquid")
        << STEPS(ts(), asp(20), ts(L), asp(100, 0, L), disp(100, 0, L))
        << QStringList{"step 3 | Tip Select switches away from the small tip while it still "
                       "holds 20.0 µL — dispense it before changing tips"}
        << QStringList();
    QTest::newRow("tip select away from a large tip holding liquid")
        << STEPS(ts(L), asp(100, 0, L), ts(S), asp(20), disp(20))
        << QStringList{"step 3 | Tip Select switches away from the large tip while it still "
                       "holds 100.0 µL — dispense it before changing tips"}
        << QStringList();
    QTest::newRow("selecting the same tip again keeps its liquid")
        << STEPS(ts(), asp(20), ts(), disp(20)) << QStringList() << QStringList();
    QTest::newRow("loop of no iterations and no steps")
        << STEPS(ts(), asp(10), disp(10), loop(0, {}))
        << QStringList{"step 4 | Loop iterations must be between 1 and 10",
                       "step 4 | Loop must contain at least one step"}
        << QStringList();
    QTest::newRow("loop of 11 iterations")
        << STEPS(ts(), loop(11, {asp(10), disp(10)}), loop(10, {asp(10), disp(10)}))
        << QStringList{"step 2 | Loop iterations must be between 1 and 10"} << QStringList();
    QTest::newRow("loop that takes nothing up")
        << STEPS(ts(), asp(100), loop(2, {mix(50), purge()}))
        << QStringList{"step 3 | Loop must contain at least one aspirate or airgap step"}
        << QStringList();
    QTest::newRow("a nested loop's aspirate does not count for its loop")
        << STEPS(ts(), loop(2, {loop(2, {asp(10), disp(10)})}))
        << QStringList{"step 2 | Loop must contain at least one aspirate or airgap step"}
        << QStringList();
    QTest::newRow("loop leaves the large tip selected")
        << STEPS(ts(), loop(2, {ts(L), asp(100, 0, L), disp(100, 0, L)}))
        << QStringList{"step 2 | Loop changes tip from Small to Large but does not restore it — "
                       "add a Tip Select back to Small at the end of the loop body"}
        << QStringList();
    QTest::newRow("loop leaves the small tip selected")
        << STEPS(ts(L), loop(2, {ts(S), asp(50), disp(50)}, L))
        << QStringList{"step 2 | Loop changes tip from Large to Small but does not restore it — "
                       "add a Tip Select back to Large at the end of the loop body"}
        << QStringList();
    QTest::newRow("loop restores its tip")
        << STEPS(ts(), loop(2, {ts(L), asp(100, 0, L), disp(100, 0, L), ts(S)}))
        << QStringList() << QStringList();
    QTest::newRow("loop tips compare as tips, not as text")
        << STEPS(ts(L), loop(2, {ts("Large"), asp(100, 0, L), disp(100, 0, L)}, L))
        << QStringList() << QStringList();
    QTest::newRow("ends with liquid in the small tip")
        << STEPS(ts(), asp(150, 10), disp(150)) << QStringList{leftOver("10.0", "small")}
        << QStringList{"0.0/0.0", "160.0/0.0", "10.0/0.0"};
    QTest::newRow("ends with liquid in the large tip")
        << STEPS(ts(L), asp(500, 0, L), disp(400, 0, L))
        << QStringList{leftOver("100.0", "large")} << QStringList();
    QTest::newRow("only the small tip is reported at the end")
        << STEPS(ts(), asp(50), asp(150, 0, L)) << QStringList{leftOver("50.0", "small")}
        << QStringList{"0.0/0.0", "50.0/0.0", "50.0/150.0"};
    QTest::newRow("speed inside a loop")
        << STEPS(ts(), loop(2, {asp(50), disp(50, 0, S, 9)}))
        << QStringList{"step 2.2 | " + speed} << QStringList();
    QTest::newRow("capacity inside a nested loop")
        << STEPS(ts(), asp(10), loop(2, {asp(20), loop(3, {asp(180), disp(180)}), disp(20)}),
                  disp(10))
        << QStringList{"step 3.2.1 | Aspirate exceeds capacity — only 170.0 µL remaining for "
                       "small tip | fix 170"}
        << QStringList{"0.0/0.0", "10.0/0.0", "10.0/0.0", "0.0/0.0"};
    QTest::newRow("mix cycles three loops deep")
        << STEPS(ts(), loop(2, {asp(10), loop(2, {asp(10), loop(2, {asp(10), mix(5, 0)}),
                                                   disp(30)}),
                                 disp(10)}))
        << QStringList{"step 2.2.2.2 | Mix cycles must be between 1 and 100"} << QStringList();
    QTest::newRow("loop rules inside a loop")
        << STEPS(ts(), loop(2, {asp(10), loop(0, {}), disp(10)}))
        << QStringList{"step 2.2 | Loop iterations must be between 1 and 10",
                       "step 2.2 | Loop must contain at least one step"}
        << QStringList();
    QTest::newRow("tip select inside a loop")
        << STEPS(ts(), loop(2, {asp(10), ts(L), asp(100, 0, L), disp(100, 0, L), ts(S)}))
        << QStringList{"step 2.2 | Tip Select switches away from the small tip while it still "
                       "holds 10.0 µL — dispense it before changing tips"}
        << QStringList();
    QTest::newRow("airgap and mix alone move no liquid")
        << STEPS(ts(), air(10), mix(10), purge()) << QStringList{NoTransfer} << QStringList();
    QTest::newRow("a repeat in a nested loop moves liquid")
        << STEPS(ts(), loop(2, {air(10), loop(2, {air(5), rep(5, 2)}), purge()}))
        << QStringList() << QStringList();
}

void TestValidator::eachRuleBrokenAlone()
{
    check();
}

void TestValidator::tenthsAtTheEdges_data()
{
    addColumns();
    QTest::newRow("a tenth left over is liquid")
        << STEPS(ts(), asp(50.1), disp(50)) << QStringList{leftOver("0.1", "small")}
        << QStringList{"0.0/0.0", "50.1/0.0", "0.1/0.0"};
    QTest::newRow("tenths that cancel leave nothing")
        << STEPS(ts(), asp(33.3), asp(33.3), asp(33.3), disp(99.9)) << QStringList()
        << QStringList{"0.0/0.0", "33.3/0.0", "66.6/0.0", "99.9/0.0", "0.0/0.0"};
    QTest::newRow("no floating-point residue")
        << STEPS(ts(), asp(10.1), asp(20.2), disp(30.3), ts(L), asp(100.1, 0, L),
                  asp(200.2, 0, L), disp(300.3, 0, L))
        << QStringList() << QStringList();
    QTest::newRow("a fractional count above ten carries")
        << STEPS(ts(), aspParts(10, 15), disp(11.5)) << QStringList()
        << QStringList{"0.0/0.0", "11.5/0.0", "0.0/0.0"};
    QTest::newRow("a negative running volume is taken up again")
        << STEPS(ts(), asp(10), disp(10.5), asp(20), disp(19.5))
        << QStringList{"step 3 | Dispense exceeds available volume (10.0 µL) for small tip | "
                       "fix 10"}
        << QStringList{"0.0/0.0", "10.0/0.0", "-0.5/0.0", "19.5/0.0", "0.0/0.0"};
    QTest::newRow("a dispense from a negative tip reports the negative volume")
        << STEPS(ts(), asp(10), disp(10.5), disp(10), asp(10.5))
        << QStringList{"step 3 | Dispense exceeds available volume (10.0 µL) for small tip | "
                       "fix 10",
                       "step 4 | Dispense exceeds available volume (-0.5 µL) for small tip | "
                       "fix -0.5"}
        << QStringList{"0.0/0.0", "10.0/0.0", "-0.5/0.0", "-10.5/0.0", "0.0/0.0"};
    QTest::newRow("filled to exactly the capacity")
        << STEPS(ts(), asp(150.5), asp(49.5), disp(200)) << QStringList() << QStringList();
    QTest::newRow("a tenth over the capacity")
        << STEPS(ts(), asp(150.3), asp(49.8), purge())
        << QStringList{"step 3 | Aspirate exceeds capacity — only 49.7 µL remaining for small "
                       "tip | fix 49.7"}
        << QStringList{"0.0/0.0", "150.3/0.0", "200.1/0.0", "0.0/0.0"};
    QTest::newRow("a tip select after a tenth is too late")
        << STEPS(ts(), asp(50), disp(49.9), ts(L), asp(100, 0, L), disp(100, 0, L))
        << QStringList{"step 4 | Tip Select switches away from the small tip while it still "
                       "holds 0.1 µL — dispense it before changing tips"}
        << QStringList();
    QTest::newRow("tip select after an over-dispense")
        << STEPS(ts(), asp(50), disp(50.1), ts(L), asp(100, 0, L), disp(100, 0, L))
        << QStringList{"step 3 | Dispense exceeds available volume (50.0 µL) for small tip | "
                       "fix 50",
                       "step 4 | Tip Select switches away from the small tip while it still "
                       "holds -0.1 µL — dispense it before changing tips"}
        << QStringList();
}

void TestValidator::tenthsAtTheEdges()
{
    check();
}

void TestValidator::runningVolumeParts()
{
    // The parts, not only the value, reach the editor (getCvolAtIndex): a subtraction
    // borrows into the whole part, an addition keeps the sign on the tenths.
    const QList<Command *> commands{ts(), asp(10), disp(10.1), aspParts(0, -2), aspParts(2, 8),
                                    aspParts(9, 9)};
    const QList<TipVolumes> volumes = Validator().cumulativeVolumes(commands);
    QCOMPARE(volumes.size(), 6);
    const auto parts = [&](int index) {
        const VolumeParts &v = volumes.at(index).smallTip;
        return QStringLiteral("%1:%2/%3").arg(v.whole).arg(v.fractional).arg(v.scale);
    };
    QCOMPARE(parts(1), QStringLiteral("10:0/10"));
    QCOMPARE(parts(2), QStringLiteral("-1:9/10"));   // -0.1
    QCOMPARE(parts(3), QStringLiteral("0:-3/10"));   // -0.1 + -0.2
    QCOMPARE(parts(4), QStringLiteral("2:5/10"));    // 2.5
    QCOMPARE(parts(5), QStringLiteral("12:4/10"));   // 2.5 + 9.9
}

void TestValidator::validateAndCumulativeDiffer_data()
{
    addColumns();
    QTest::newRow("a tip select empties the other tip only for validate")
        << STEPS(ts(), asp(20), ts(L), asp(100, 0, L), disp(100, 0, L))
        << QStringList{"step 3 | Tip Select switches away from the small tip while it still "
                       "holds 20.0 µL — dispense it before changing tips"}
        << QStringList{"0.0/0.0", "20.0/0.0", "20.0/0.0", "20.0/100.0", "20.0/0.0"};
    // The instrument runs a loop body as often as the loop says, and so does validate.
    QTest::newRow("every pass of a loop counts")
        << STEPS(ts(), loop(3, {asp(50), disp(30)}), disp(60)) << QStringList()
        << QStringList{"0.0/0.0", "60.0/0.0", "0.0/0.0"};
    QTest::newRow("a later pass overfills the tip")
        << STEPS(ts(), loop(2, {asp(150), disp(50)}), disp(200))
        << QStringList{"step 2.1 | Aspirate exceeds capacity — only 100.0 µL remaining for small tip | fix 100"}
        << QStringList{"0.0/0.0", "200.0/0.0", "0.0/0.0"};
    QTest::newRow("the passes together are exact")
        << STEPS(ts(), loop(2, {asp(100)}), disp(200)) << QStringList()
        << QStringList{"0.0/0.0", "200.0/0.0", "0.0/0.0"};
    // Reported once, with the values of the pass where it first occurs.
    QTest::newRow("a problem of every pass is reported once")
        << STEPS(ts(), loop(3, {asp(150), disp(50)}), disp(150), disp(150))
        << QStringList{"step 2.1 | Aspirate exceeds capacity — only 100.0 µL remaining for small tip | fix 100"}
        << QStringList{"0.0/0.0", "300.0/0.0", "150.0/0.0", "0.0/0.0"};
    QTest::newRow("a loop of no iterations is still validated")
        << STEPS(ts(), asp(10), loop(0, {disp(10)}))
        << QStringList{"step 3 | Loop iterations must be between 1 and 10",
                       "step 3 | Loop must contain at least one aspirate or airgap step"}
        << QStringList{"0.0/0.0", "10.0/0.0", "10.0/0.0"};
    QTest::newRow("nested loops change nothing in the volumes")
        << STEPS(ts(), loop(2, {asp(10), loop(2, {air(5), disp(5)}), disp(10)}))
        << QStringList() << QStringList{"0.0/0.0", "0.0/0.0"};
    QTest::newRow("nested loops count for validate")
        << STEPS(ts(), loop(2, {asp(30), loop(3, {asp(10)}), disp(30)}))
        << QStringList{leftOver("60.0", "small")} << QStringList{"0.0/0.0", "0.0/0.0"};
    QTest::newRow("mix, repeat and tip select in a loop body change nothing")
        << STEPS(ts(), asp(100), loop(2, {air(10), mix(50), rep(10, 2), ts(L), ts(S)}),
                  purge())
        << QStringList{"step 3.4 | Tip Select switches away from the small tip while it still "
                       "holds 110.0 µL — dispense it before changing tips"}
        << QStringList{"0.0/0.0", "100.0/0.0", "120.0/0.0", "0.0/0.0"};
}

void TestValidator::validateAndCumulativeDiffer()
{
    check();
}

void TestValidator::longLoopsAreComputedNotRun_data()
{
    QTest::addColumn<Method>("body");
    QTest::addColumn<int>("iterations");

    QTest::newRow("take up and give out") << STEPS(asp(1.5), disp(0.7), asp(0.3)) << 17;
    QTest::newRow("both tips") << STEPS(asp(1.5), asp(100, 0, L), disp(99.5, 0, L)) << 40;
    QTest::newRow("purged every pass") << STEPS(asp(30), purge(), asp(5), air(0.5)) << 100;
    QTest::newRow("draining") << STEPS(disp(0.1), mix(10)) << 250;
    QTest::newRow("untouched large tip") << STEPS(asp(2.5), purge(L)) << 33;
}

void TestValidator::longLoopsAreComputedNotRun()
{
    QFETCH(Method, body);
    QFETCH(int, iterations);

    // The loop against the same body written out iterations times at top level: the last
    // entry of each must agree, parts included.
    const QList<Command *> prefix{ts(), asp(7.5), asp(3, 0, L)};
    QList<Command *> looped = prefix;
    looped << loop(iterations, body());
    QList<Command *> flat{ts(), asp(7.5), asp(3, 0, L)};
    for (int i = 0; i < iterations; ++i)
        flat << body();

    Validator validator;
    const TipVolumes a = validator.cumulativeVolumes(looped).constLast();
    const TipVolumes b = validator.cumulativeVolumes(flat).constLast();
    QCOMPARE(a.smallTip, b.smallTip);
    QCOMPARE(a.largeTip, b.largeTip);

    // Two billion passes are answered at once, not simulated for minutes.
    QList<Command *> endless{ts(), loop(2000000000, {asp(1.5), disp(1.0), asp(2, 0, L)})};
    const TipVolumes last = validator.cumulativeVolumes(endless).constLast();
    QCOMPARE(last.smallTip.toText(), QStringLiteral("1000000000.0"));
    // Four billion µL in the large tip is past what a volume's parts can carry: whatever
    // it becomes must be a number, not wrapped round below what the small tip got, and
    // never more than was drawn.
    const double large = last.largeTip.value();
    QVERIFY(std::isfinite(large));
    QVERIFY(large > last.smallTip.value());
    QVERIFY(large <= 4.0e9);
    QVERIFY(last.largeTip.fractional >= 0 && last.largeTip.fractional < 10);
    // And the method is refused, every amount in the messages a plain number.
    const QList<ValidationError> errors = validator.validate(endless);
    QVERIFY(!errors.isEmpty());
    const QRegularExpression bad(QStringLiteral("-\\d|\\bnan\\b|\\binf\\b"), QRegularExpression::CaseInsensitiveOption);
    for (const ValidationError &error : errors)
        QVERIFY2(!bad.match(error.message).hasMatch(), qPrintable(error.message));
}

void TestValidator::deeplyNestedLoopsAreBounded()
{
    // Ten passes nested nine deep: 10^9 passes of the innermost body if run in full.
    Command *deep = asp(1);
    for (int level = 0; level < 9; ++level)
        deep = loop(10, {asp(1), deep});
    QStringList messages;
    for (const ValidationError &error : Validator().validate({ts(), deep}))
        messages << error.message;
    QVERIFY(messages.filter(QStringLiteral("Aspirate exceeds capacity")).size() >= 1);
    QCOMPARE(messages.filter(QStringLiteral("Protocol ends with")).size(), 1);
}

void TestValidator::validationChangesNothing()
{
    const QList<Command *> commands{ts(), asp(150), loop(3, {asp(10), ts(L), disp(10)}),
                                    rep(100, 3), disp(160)};
    QVariantList before;
    for (Command *command : commands)
        before << command->toVariantMap();
    QList<QSignalSpy *> spies;
    const QList<QObject *> all = m_owner->findChildren<QObject *>();
    for (QObject *object : all) {
        auto *command = qobject_cast<Command *>(object);
        if (command)
            spies << new QSignalSpy(command, &Command::tipChanged);
    }

    Validator validator;
    const auto errors = validator.validate(commands);
    QVERIFY(!errors.isEmpty());
    validator.cumulativeVolumes(commands);

    QVariantList after;
    for (Command *command : commands)
        after << command->toVariantMap();
    QCOMPARE(after, before);
    for (QSignalSpy *spy : qAsConst(spies))
        QCOMPARE(spy->count(), 0);
    qDeleteAll(spies);
}

NERRA_TEST_MAIN(TestValidator)
#include "tst_validator.moc"
