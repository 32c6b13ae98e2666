#include "model/commands.h"
#include "model/validator.h"
#include "splmethod.h"
#include "testmain.h"

#include <QRegularExpression>

#include <cmath>
#include <memory>

namespace {

const QString NoTransfer = QStringLiteral("protocol | Protocol must contain at least one aspirate, dispense, or repeat step");
const QString Speed = QStringLiteral("Speed must be between 1 and 7");

QString leftOver(const char *volume, const char *tip)
{
    return QStringLiteral("protocol | Protocol ends with %1 µL undispensed in the %2 tip — every aspirated volume must be fully dispensed")
        .arg(QLatin1String(volume), QLatin1String(tip));
}

QString switchAway(const char *step, const char *tip, const char *volume)
{
    return QStringLiteral("step %1 | Tip Select switches away from the %2 tip while it still holds %3 µL — dispense it before changing tips")
        .arg(QLatin1String(step), QLatin1String(tip), QLatin1String(volume));
}

// SPL carries no tip for a loop; the editor gives each loop the tip in force before it.
QList<Command *> method(const QString &spl, QObject *owner)
{
    const QList<Command *> commands = methodFromSpl(spl, owner);
    QString tip = QStringLiteral("small");
    for (Command *command : commands) {
        if (qobject_cast<TipSelectCommand *>(command))
            tip = command->tip();
        else if (qobject_cast<LoopCommand *>(command))
            command->setTip(tip);
    }
    return commands;
}

// The loop opened last in the text: where a test needs a count the SPL reader refuses.
LoopCommand *lastLoop(const QList<Command *> &commands)
{
    LoopCommand *last = nullptr;
    for (Command *command : commands) {
        if (auto *loop = qobject_cast<LoopCommand *>(command)) {
            last = loop;
            if (LoopCommand *inner = lastLoop(loop->innerCommandList()))
                last = inner;
        }
    }
    return last;
}

QStringList describe(const QList<ValidationError> &errors)
{
    QStringList lines;
    for (const ValidationError &error : errors)
        lines << error.commandPath + " | " + error.message + (error.fixVolume != -1.0 ? " | fix " + QString::number(error.fixVolume) : "");
    return lines;
}

} // namespace

class TestValidator : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_owner.reset(new QObject); QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); m_env.reset(); }

    void rules_data()
    {
        addColumns();
        using L = QStringList;
        const QString smallRange = QStringLiteral("volume for small tip must be between 1 and 200 µL");
        const QString largeRange = QStringLiteral("volume for large tip must be between 100 and 1000 µL");
        const QString extra = QStringLiteral("Extra volume must be between 0 and 100 µL");
        const QString cycles = QStringLiteral("Mix cycles must be between 1 and 100");
        const QString takesNothingUp = QStringLiteral("Loop must contain at least one aspirate or airgap step");
        QTest::newRow("range and capacity edges; no range for a repeat") << "tipselect tip:small\naspirate tip:small vol:1 speed:5\n"
            "dispense tip:small vol:1 speed:5\naspirate tip:small vol:150.5 speed:5\naspirate tip:small vol:49.5 speed:5\n"
            "dispense tip:small vol:200 speed:5\ntipselect tip:large\naspirate tip:large vol:100 speed:5\n"
            "airgap tip:large vol:800 xvol:100 speed:5\ndispense tip:large vol:1000 speed:5\nmix tip:large vol:1000 cycles:100 speed:7\n"
            "mix tip:large vol:100 cycles:1 speed:1\n"
            "repeat tip:large dispense:0.5 replicates:1 speed:5\nrepeat tip:large dispense:10 replicates:0 speed:5\n" << L() << L();
        QTest::newRow("empty method") << "" << L{NoTransfer} << L();
        QTest::newRow("first step not a tip select") << "aspirate tip:small vol:150 speed:5\ndispense tip:small vol:150 speed:5\n"
            << L{"step 1 | First step must be 'Tip Select'"} << L();
        // Extra volumes count, a dispense's unchecked: the method ends empty.
        QTest::newRow("small tip ranges, extra volumes and mix cycles") << "tipselect tip:small\naspirate tip:small vol:0.9 speed:5\n"
            "airgap tip:small vol:0.5 speed:5\naspirate tip:small vol:10 xvol:-1 speed:5\nairgap tip:small vol:1 xvol:101 speed:5\n"
            "mix tip:small vol:250 cycles:2 speed:5\nmix tip:small vol:50 cycles:0 speed:5\nmix tip:small vol:50 cycles:101 speed:5\n"
            "mix tip:small vol:50 cycles:1 speed:5\nmix tip:small vol:50 cycles:100 speed:5\ndispense tip:small vol:11.4 xvol:101 speed:5\n"
            << L{"step 2 | Aspirate " + smallRange, "step 3 | Airgap " + smallRange, "step 4 | " + extra, "step 5 | " + extra,
                 "step 6 | Mix " + smallRange, "step 7 | " + cycles, "step 8 | " + cycles} << L();
        QTest::newRow("below the large range") << "tipselect tip:large\naspirate tip:large vol:99.9 speed:5\n"
            "mix tip:large vol:50 cycles:2 speed:5\ndispense tip:large vol:99.9 speed:5\n"
            << L{"step 2 | Aspirate " + largeRange, "step 3 | Mix " + largeRange, "step 4 | Dispense " + largeRange} << L();
        QTest::newRow("above the small range is also over capacity")
            << "tipselect tip:small\naspirate tip:small vol:200.1 speed:5\npurge tip:small speed:5\n"
            << L{"step 2 | Aspirate " + smallRange,
                 "step 2 | Aspirate exceeds capacity — only 200.0 µL remaining for small tip | fix 200"} << L();
        QTest::newRow("airgap alone moves no liquid")
            << "tipselect tip:large\nairgap tip:large vol:1000.1 speed:5\npurge tip:large speed:5\n"
            << L{"step 2 | Airgap " + largeRange,
                 "step 2 | Airgap exceeds capacity — only 1000.0 µL remaining for large tip | fix 1000", NoTransfer} << L();
        QTest::newRow("aspirate over capacity still fills the tip") << "tipselect tip:small\naspirate tip:small vol:150 speed:5\n"
            "aspirate tip:small vol:100 speed:5\ndispense tip:small vol:200 speed:5\ndispense tip:small vol:50 speed:5\n"
            << L{"step 3 | Aspirate exceeds capacity — only 50.0 µL remaining for small tip | fix 50"}
            << L{"0.0/0.0", "150.0/0.0", "250.0/0.0", "50.0/0.0", "0.0/0.0"};
        QTest::newRow("dispenses past what the tip holds") << "tipselect tip:small\naspirate tip:small vol:10 speed:5\n"
            "dispense tip:small vol:10.5 speed:5\ndispense tip:small vol:10 speed:5\naspirate tip:small vol:10.5 speed:5\n"
            "aspirate tip:small vol:100 speed:5\ndispense tip:small vol:100.1 speed:5\n"
            << L{"step 3 | Dispense exceeds available volume (10.0 µL) for small tip | fix 10",
                 "step 4 | Dispense exceeds available volume (-0.5 µL) for small tip | fix -0.5",
                 "step 7 | Dispense exceeds available volume (100.0 µL) for small tip | fix 100", leftOver("-0.1", "small")}
            << L{"0.0/0.0", "10.0/0.0", "-0.5/0.0", "-10.5/0.0", "0.0/0.0", "100.0/0.0", "-0.1/0.0"};
        QTest::newRow("repeat over what is left") << "tipselect tip:small\naspirate tip:small vol:50 speed:5\n"
            "repeat tip:small dispense:50.5 replicates:3 speed:5\ndispense tip:small vol:50 speed:5\n"
            << L{"step 3 | Repeat needs 151.5 µL in the tip (50.5 µL × 3 replicates) — only 150.0 µL remaining for "
                 "the small tip | fix 150"} << L{"0.0/0.0", "50.0/0.0", "50.0/0.0", "0.0/0.0"};
        QTest::newRow("speed on every kind that pipettes") << "tipselect tip:small\naspirate tip:small vol:50 speed:0\n"
            "airgap tip:small vol:10 speed:8\nmix tip:small vol:30 cycles:2 speed:0\nrepeat tip:small dispense:10 replicates:2 speed:8\n"
            "dispense tip:small vol:60 speed:0\npurge tip:small speed:8\n"
            << L{"step 2 | " + Speed, "step 3 | " + Speed, "step 4 | " + Speed, "step 5 | " + Speed, "step 6 | " + Speed,
                 "step 7 | " + Speed} << L();
        QTest::newRow("a tip select empties the other tip only for validate") << "tipselect tip:small\naspirate tip:small vol:20 speed:5\n"
            "tipselect tip:large\naspirate tip:large vol:100 speed:5\ndispense tip:large vol:100 speed:5\n"
            << L{switchAway("3", "small", "20.0")} << L{"0.0/0.0", "20.0/0.0", "20.0/0.0", "20.0/100.0", "20.0/0.0"};
        QTest::newRow("tip select away from a large tip holding liquid") << "tipselect tip:large\naspirate tip:large vol:100 speed:5\n"
            "tipselect tip:small\naspirate tip:small vol:20 speed:5\n"
            "dispense tip:small vol:20 speed:5\n" << L{switchAway("3", "large", "100.0")} << L();
        // A tenth is liquid, either way, and the tips count in tenths.
        QTest::newRow("a tip select after a tenth is too late") << "tipselect tip:small\naspirate tip:small vol:50 speed:5\n"
            "dispense tip:small vol:49.9 speed:5\ntipselect tip:large\naspirate tip:large vol:100 speed:5\n"
            "dispense tip:large vol:100 speed:5\ntipselect tip:small\naspirate tip:small vol:50 speed:5\n"
            "dispense tip:small vol:50.1 speed:5\ntipselect tip:large\naspirate tip:large vol:100 speed:5\n"
            "dispense tip:large vol:100 speed:5\n"
            << L{switchAway("4", "small", "0.1"), "step 9 | Dispense exceeds available volume (50.0 µL) for small tip | fix 50",
                 switchAway("10", "small", "-0.1")} << L();
        QTest::newRow("tenths that cancel leave nothing") << "tipselect tip:small\naspirate tip:small vol:33.3 speed:5\n"
            "aspirate tip:small vol:33.3 speed:5\naspirate tip:small vol:33.3 speed:5\ndispense tip:small vol:99.9 speed:5\n"
            "aspirate tip:small vol:10.96 speed:5\ndispense tip:small vol:11 speed:5\ntipselect tip:large\n"
            "aspirate tip:large vol:100.1 speed:5\naspirate tip:large vol:200.2 speed:5\ndispense tip:large vol:300.3 speed:5\n"
            << L() << L{"0.0/0.0", "33.3/0.0", "66.6/0.0", "99.9/0.0", "0.0/0.0", "11.0/0.0", "0.0/0.0", "0.0/0.0", "0.0/100.1",
                        "0.0/300.3", "0.0/0.0"};
        QTest::newRow("ends with liquid in the large tip")
            << "tipselect tip:large\naspirate tip:large vol:500 speed:5\ndispense tip:large vol:400 speed:5\n"
            << L{leftOver("100.0", "large")} << L();
        QTest::newRow("only the small tip is reported at the end")
            << "tipselect tip:small\naspirate tip:small vol:50 speed:5\naspirate tip:large vol:150 speed:5\n"
            << L{leftOver("50.0", "small")} << L{"0.0/0.0", "50.0/0.0", "50.0/150.0"};
        QTest::newRow("loops that take nothing up, nested aspirates aside") << "tipselect tip:small\naspirate tip:small vol:100 speed:5\n"
            "loop 2\nmix tip:small vol:50 cycles:2 speed:5\npurge tip:small speed:5\nendloop\nloop 2\nloop 2\n"
            "aspirate tip:small vol:10 speed:5\ndispense tip:small vol:10 speed:5\nendloop\nendloop\n"
            << L{"step 3 | " + takesNothingUp, "step 4 | " + takesNothingUp} << L();
        QTest::newRow("loop leaves the large tip selected") << "tipselect tip:small\nloop 2\ntipselect tip:large\n"
            "aspirate tip:large vol:100 speed:5\ndispense tip:large vol:100 speed:5\nendloop\n"
            << L{"step 2 | Loop changes tip from Small to Large but does not restore it — add a Tip Select back to Small "
                 "at the end of the loop body"} << L();
        QTest::newRow("capacity inside a nested loop") << "tipselect tip:small\naspirate tip:small vol:10 speed:5\nloop 2\n"
            "aspirate tip:small vol:20 speed:5\nloop 3\naspirate tip:small vol:180 speed:5\ndispense tip:small vol:180 speed:5\nendloop\n"
            "dispense tip:small vol:20 speed:5\nendloop\ndispense tip:small vol:10 speed:5\n"
            << L{"step 3.2.1 | Aspirate exceeds capacity — only 170.0 µL remaining for small tip | fix 170"}
            << L{"0.0/0.0", "10.0/0.0", "10.0/0.0", "0.0/0.0"};
        // The instrument runs a loop body as often as the loop says, and so do both walks; a
        // problem is reported once, with the values of the pass where it first occurs.
        QTest::newRow("a later pass overfills the tip") << "tipselect tip:small\nloop 2\naspirate tip:small vol:150 speed:5\n"
            "dispense tip:small vol:50 speed:5\nendloop\ndispense tip:small vol:200 speed:5\n"
            << L{"step 2.1 | Aspirate exceeds capacity — only 100.0 µL remaining for small tip | fix 100"}
            << L{"0.0/0.0", "200.0/0.0", "0.0/0.0"};
        QTest::newRow("a problem of every pass is reported once") << "tipselect tip:small\nloop 3\naspirate tip:small vol:150 speed:5\n"
            "dispense tip:small vol:50 speed:5\nendloop\ndispense tip:small vol:150 speed:5\ndispense tip:small vol:150 speed:5\n"
            << L{"step 2.1 | Aspirate exceeds capacity — only 100.0 µL remaining for small tip | fix 100"}
            << L{"0.0/0.0", "300.0/0.0", "150.0/0.0", "0.0/0.0"};
        QTest::newRow("nested loops count for validate, not for the volumes") << "tipselect tip:small\nloop 2\n"
            "aspirate tip:small vol:30 speed:5\nloop 3\naspirate tip:small vol:10 speed:5\nendloop\n"
            "dispense tip:small vol:30 speed:5\nendloop\n" << L{leftOver("60.0", "small")} << L{"0.0/0.0", "0.0/0.0"};
        QTest::newRow("mix, repeat and tip select in a loop body change no volume") << "tipselect tip:small\n"
            "aspirate tip:small vol:100 speed:5\nloop 2\nairgap tip:small vol:10 speed:5\nmix tip:small vol:50 cycles:2 speed:5\n"
            "repeat tip:small dispense:10 replicates:2 speed:5\ntipselect tip:large\ntipselect tip:small\nendloop\n"
            "purge tip:small speed:5\n" << L{switchAway("3.4", "small", "110.0")} << L{"0.0/0.0", "100.0/0.0", "120.0/0.0", "0.0/0.0"};
    }

    void rules() { check(-1); }
    void loopCountsTheReaderRefuses_data()
    {
        addColumns();
        QTest::addColumn<int>("iterations");
        const QString countError = QStringLiteral("Loop iterations must be between 1 and 10");
        QTest::newRow("no iterations and no steps")
            << "tipselect tip:small\naspirate tip:small vol:10 speed:5\ndispense tip:small vol:10 speed:5\nloop 2\nendloop\n"
            << QStringList{"step 4 | " + countError, "step 4 | Loop must contain at least one step"} << QStringList() << 0;
        QTest::newRow("11 iterations")
            << "tipselect tip:small\nloop 10\naspirate tip:small vol:10 speed:5\ndispense tip:small vol:10 speed:5\nendloop\nloop 2\n"
               "aspirate tip:small vol:10 speed:5\ndispense tip:small vol:10 speed:5\nendloop\n"
            << QStringList{"step 3 | " + countError} << QStringList() << 11;
        QTest::newRow("one iteration is a loop")
            << "tipselect tip:small\nloop 2\naspirate tip:small vol:10 speed:5\ndispense tip:small vol:10 speed:5\nendloop\n"
            << QStringList() << QStringList() << 1;
        // Its body is still checked once, though the instrument would not run it.
        QTest::newRow("no iterations, body still checked")
            << "tipselect tip:small\naspirate tip:small vol:10 speed:5\nloop 2\ndispense tip:small vol:10 speed:5\nendloop\n"
            << QStringList{"step 3 | " + countError, "step 3 | Loop must contain at least one aspirate or airgap step"}
            << QStringList{"0.0/0.0", "10.0/0.0", "10.0/0.0"} << 0;
    }

    void loopCountsTheReaderRefuses() { check(*static_cast<int *>(QTest::qData("iterations", qMetaTypeId<int>()))); }

    void runningVolumeParts()
    {
        // The parts, not only the value, reach the editor: a subtraction borrows into the
        // whole part, an addition keeps the sign on the tenths.
        const QList<Command *> commands = method(
            "tipselect tip:small\naspirate tip:small vol:10 speed:5\ndispense tip:small vol:10.1 speed:5\n"
            "aspirate tip:small vol:-0.2 speed:5\naspirate tip:small vol:2.8 speed:5\naspirate tip:small vol:9.9 speed:5\n",
            m_owner.get());
        QStringList parts;
        for (const TipVolumes &tips : Validator().cumulativeVolumes(commands))
            parts << QStringLiteral("%1:%2/%3").arg(tips.smallTip.whole).arg(tips.smallTip.fractional).arg(tips.smallTip.scale);
        QCOMPARE(parts, (QStringList{"0:0/10", "10:0/10", "-1:9/10", "0:-3/10", "2:5/10", "12:4/10"}));
    }

    void longLoopsAreComputedNotRun_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<int>("iterations");
        QTest::newRow("both tips")
            << "aspirate tip:small vol:1.5 speed:5\naspirate tip:large vol:100 speed:5\ndispense tip:large vol:99.5 speed:5\n"
            << 40;
        QTest::newRow("purged every pass")
            << "aspirate tip:small vol:30 speed:5\npurge tip:small speed:5\naspirate tip:small vol:5 speed:5\n"
               "airgap tip:small vol:0.5 speed:5\n"
            << 100;
    }

    void longLoopsAreComputedNotRun()
    {
        QFETCH(QString, body);
        QFETCH(int, iterations);

        // The loop against its body written out that many times: the last entries agree, parts included.
        const QString start = QStringLiteral("tipselect tip:small\naspirate tip:small vol:7.5 speed:5\n"
                                             "aspirate tip:large vol:3 speed:5\n");
        const QList<Command *> looped = method(start + "loop 2\n" + body + "endloop\n", m_owner.get());
        lastLoop(looped)->setIterations(iterations);
        Validator validator;
        const TipVolumes a = validator.cumulativeVolumes(looped).constLast();
        const TipVolumes b = validator.cumulativeVolumes(method(start + body.repeated(iterations), m_owner.get())).constLast();
        QVERIFY(a.smallTip == b.smallTip && a.largeTip == b.largeTip);

        // Two billion passes are answered at once, not simulated for minutes.
        const QList<Command *> endless = method(
            "tipselect tip:small\nloop 2\naspirate tip:small vol:1.5 speed:5\ndispense tip:small vol:1 speed:5\n"
            "aspirate tip:large vol:2 speed:5\nendloop\n", m_owner.get());
        lastLoop(endless)->setIterations(2000000000);
        const TipVolumes last = validator.cumulativeVolumes(endless).constLast();
        QCOMPARE(last.smallTip.toText(), QStringLiteral("1000000000.0"));
        // Four billion µL is past what the parts carry: it must stay a number, not wrap round
        // below what the small tip got, and never exceed what was drawn.
        const double large = last.largeTip.value();
        QVERIFY(std::isfinite(large) && large > last.smallTip.value() && large <= 4.0e9 && last.largeTip.fractional >= 0
                && last.largeTip.fractional < 10);
        // And the method is refused, every amount in the messages a plain number.
        const QList<ValidationError> errors = validator.validate(endless);
        QVERIFY(!errors.isEmpty());
        const QRegularExpression bad(QStringLiteral("-\\d|\\bnan\\b|\\binf\\b"), QRegularExpression::CaseInsensitiveOption);
        for (const ValidationError &error : errors)
            QVERIFY2(!bad.match(error.message).hasMatch(), qPrintable(error.message));
    }

private:
    void addColumns()
    {
        QTest::addColumn<QString>("spl");
        QTest::addColumn<QStringList>("errors");
        // "small/large" after each top-level step; an empty list leaves them unchecked.
        QTest::addColumn<QStringList>("volumes");
    }

    void check(int iterations)
    {
        QFETCH(QString, spl);
        QFETCH(QStringList, errors);
        QFETCH(QStringList, volumes);
        const QList<Command *> commands = method(spl, m_owner.get());
        if (iterations >= 0)
            lastLoop(commands)->setIterations(iterations);
        Validator validator;
        QCOMPARE(describe(validator.validate(commands)), errors);
        QStringList cumulative;
        for (const TipVolumes &tips : validator.cumulativeVolumes(commands))
            cumulative << tips.smallTip.toText() + QLatin1Char('/') + tips.largeTip.toText();
        QCOMPARE(cumulative.size(), commands.size());
        if (!volumes.isEmpty())
            QCOMPARE(cumulative, volumes);
    }


    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<QObject> m_owner = std::make_unique<QObject>();
};


NERRA_TEST_MAIN(TestValidator)
#include "tst_validator.moc"
