#include "formats/csvgenerator.h"
#include "formats/csvparser.h"
#include "methods.h"
#include "model/commands.h"
#include "testmain.h"

#include <QPointer>

#include <memory>

using namespace TestMethods;

namespace {

QString generate(const QList<Command *> &commands)
{
    return CsvGenerator().generate(QStringLiteral("ignored"), QStringLiteral("ignored"), commands);
}

// The rows the commands give themselves, with each loop's body between its two rows.
QString wildcardRows(const QList<Command *> &commands)
{
    QString text;
    for (const Command *command : commands) {
        const QString row = command->toCsvRow(VolumeParts{42, 1, 10});
        if (auto *loop = qobject_cast<const LoopCommand *>(command)) {
            const QStringList bracket = row.split(QLatin1Char('\n'));
            text += bracket.at(0) + QLatin1Char('\n') + wildcardRows(loop->innerCommandList())
                    + bracket.at(1) + QLatin1Char('\n');
        } else {
            text += row + QLatin1Char('\n');
        }
    }
    return text;
}

QStringList typesOf(const QList<Command *> &commands)
{
    QStringList types;
    for (const Command *command : commands)
        types << command->type();
    return types;
}

} // namespace

class TestCsvFormat : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup()
    {
        runDeferredDeletes();
        m_env.reset();
    }

    void writerRows();
    void roundTripKeepsTheText();
    void wildcardDialectReadsLikeWriterRows();
    void readerDefaults_data();
    void readerDefaults();
    void volumesFromText_data();
    void volumesFromText();
    void loopRows_data();
    void loopRows();
    void unknownRowsAreLoggedAndSkipped();
    void loopsOwnTheirBodies();
    void nestingIsCapped();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestCsvFormat::writerRows()
{
    QObject owner;
    QList<Command *> method;
    add<TipSelectCommand>(&method, &owner)->setTip(QStringLiteral("large"));
    auto *aspirate = add<AspirateCommand>(&method, &owner);
    aspirate->setVolumeWhole(50);
    aspirate->setVolumeFractional(5);
    aspirate->setExtraVolume(5);
    aspirate->setSpeed(3);
    auto *repeat = add<RepeatCommand>(&method, &owner);
    repeat->setDispenseVolume(12.5);
    repeat->setReplicates(3);
    repeat->setSpeed(4);
    repeat->setTip(QStringLiteral("large"));
    auto *mix = add<MixCommand>(&method, &owner);
    mix->setVolumeWhole(20);
    mix->setCycles(5);
    mix->setSpeed(2);
    auto *loop = add<LoopCommand>(&method, &owner);
    loop->addInnerCommand(QStringLiteral("purge"));
    loop->innerCommandList().at(0)->setSpeed(7);

    QCOMPARE(generate({}), QString());
    QCOMPARE(generate(method), QStringLiteral("TIPSELECT,L,,,,,,,,\n"
                                              "ASPIRATE,S,50.5,5,,,,3,\n"
                                              "REPEAT,L,37.5,0,,3,12.5,4,\n"
                                              "MIX,S,20.0,0,5,,,2,\n"
                                              "LOOPSTART,,,,,,,,2\n"
                                              "PURGE,S,,,,,,7,\n"
                                              "LOOPEND,,,,,,,,\n"));
}

void TestCsvFormat::roundTripKeepsTheText()
{
    QObject owner;
    const QList<Command *> method = everyKind(&owner);
    const QString written = generate(method);
    for (const QChar c : written)
        QVERIFY(c.unicode() < 128);

    QObject readOwner;
    const QList<Command *> read = CsvParser::parse(written, &readOwner);
    QCOMPARE(generate(read), written);
    QCOMPARE(typesOf(read), typesOf(method));
    QCOMPARE(comparableForms(read), comparableForms(method));
    auto *loop = qobject_cast<LoopCommand *>(read.at(3));
    QCOMPARE(loop->iterations(), 3);
    QCOMPARE(typesOf(loop->innerCommandList()),
             QStringList({"dispense", "tipselect", "mix", "loop", "tipselect"}));
    // Every tip comes back as one of the two words, an odd one as the large tip.
    QCOMPARE(method.at(5)->tip(), QStringLiteral("Small"));
    QVERIFY(written.contains(QLatin1String("\nMIX,L,13.0,0,2,,,5,\n")));
    QCOMPARE(read.at(5)->tip(), QStringLiteral("large"));
    QCOMPARE(read.at(6)->tip(), QStringLiteral("small"));

    // CR LF line ends read the same.
    QObject crlfOwner;
    const QList<Command *> crlf = CsvParser::parse(
        QString(written).replace(QLatin1Char('\n'), QLatin1String("\r\n")), &crlfOwner);
    QCOMPARE(generate(crlf), written);
}

void TestCsvFormat::wildcardDialectReadsLikeWriterRows()
{
    QObject owner;
    const QList<Command *> method = everyKind(&owner);
    const QString wildcard = wildcardRows(method);
    QVERIFY(wildcard.contains(QLatin1String("ASPIRATE,L,512.3,25,*,*,*,3,*,42.1\n")));

    QObject fromWriter;
    QObject fromWildcard;
    const QList<Command *> a = CsvParser::parse(generate(method), &fromWriter);
    const QList<Command *> b = CsvParser::parse(wildcard, &fromWildcard);
    QCOMPARE(storedForms(b), storedForms(a));
    QCOMPARE(generate(b), generate(a));
}

void TestCsvFormat::readerDefaults_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QVariantMap>("expected");

    QTest::newRow("three fields") << "ASPIRATE,S,10.0" << "aspirate"
                                  << QVariantMap{{"volumeWhole", 10}, {"volumeFractional", 0},
                                                 {"extraVolume", 0}, {"speed", 4}, {"tip", "small"}};
    QTest::newRow("keyword alone") << "DISPENSE" << "dispense"
                                   << QVariantMap{{"tip", "large"}, {"volumeWhole", 0},
                                                  {"extraVolume", 0}, {"speed", 4}};
    QTest::newRow("speed 0") << "AIRGAP,S,10.0,0,,,,0," << "airgap" << QVariantMap{{"speed", 4}};
    QTest::newRow("speed 9") << "AIRGAP,S,10.0,0,,,,9," << "airgap" << QVariantMap{{"speed", 4}};
    QTest::newRow("speed not a number") << "AIRGAP,S,10.0,0,,,,x," << "airgap"
                                        << QVariantMap{{"speed", 4}};
    QTest::newRow("speed 7") << "AIRGAP,S,10.0,0,,,,7," << "airgap" << QVariantMap{{"speed", 7}};
    QTest::newRow("lower-case keyword") << "aspirate,S,10.0,0,,,,5," << "aspirate"
                                        << QVariantMap{{"tip", "small"}, {"speed", 5}};
    QTest::newRow("lower-case tip letter") << "ASPIRATE,s,10.0,0,,,,5," << "aspirate"
                                           << QVariantMap{{"tip", "large"}};
    QTest::newRow("blanks around fields") << "  Mix , S , 20.5 , 0 , 3 ,,, 2 , " << "mix"
                                          << QVariantMap{{"tip", "small"}, {"volumeWhole", 20},
                                                         {"volumeFractional", 5}, {"cycles", 3},
                                                         {"speed", 2}};
    QTest::newRow("mix without cycles") << "MIX,S,20.0" << "mix" << QVariantMap{{"cycles", 1}};
    QTest::newRow("mix cycles not a number") << "MIX,S,20.0,0,many" << "mix"
                                             << QVariantMap{{"cycles", 0}};
    QTest::newRow("repeat defaults") << "REPEAT,L" << "repeat"
                                     << QVariantMap{{"replicates", 1}, {"dispenseVolume", 0.0},
                                                    {"volumeWhole", 0}, {"speed", 4}};
    QTest::newRow("repeat total is derived") << "REPEAT,L,999.0,0,,3,12.5,4," << "repeat"
                                             << QVariantMap{{"volumeWhole", 37}, {"volumeFractional", 5}};
    QTest::newRow("tip select keeps its speed") << "TIPSELECT,S,,,,,,2,," << "tipselect"
                                                << QVariantMap{{"tip", "small"}, {"speed", 5}};
    QTest::newRow("purge") << "PURGE,L,5.0,,,,,6," << "purge"
                           << QVariantMap{{"tip", "large"}, {"speed", 6}};
    QTest::newRow("extra fields ignored") << "PURGE,S,,,,,,3,,x,y,z" << "purge"
                                          << QVariantMap{{"speed", 3}};
    QTest::newRow("loop without count") << "LOOPSTART" << "loop" << QVariantMap{{"iterations", 1}};
    QTest::newRow("loop count 0") << "LOOPSTART,,,,,,,,0" << "loop" << QVariantMap{{"iterations", 1}};
    QTest::newRow("loop count negative") << "LOOPSTART,,,,,,,,-3" << "loop"
                                         << QVariantMap{{"iterations", 1}};
    QTest::newRow("loop count 25") << "LOOPSTART,,,,,,,,25" << "loop"
                                   << QVariantMap{{"iterations", 25}, {"tip", "small"}, {"speed", 5}};
}

void TestCsvFormat::readerDefaults()
{
    QFETCH(QString, row);
    QFETCH(QString, type);
    QFETCH(QVariantMap, expected);

    QObject owner;
    const QList<Command *> read = CsvParser::parse(row + QLatin1Char('\n'), &owner);
    QCOMPARE(read.size(), 1);
    QCOMPARE(read.at(0)->type(), type);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(read.at(0)->property(qPrintable(it.key())), it.value());
}

void TestCsvFormat::volumesFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("whole");
    QTest::addColumn<int>("fractional");

    QTest::newRow("12.34") << "12.34" << 12 << 3;
    QTest::newRow("50.5") << "50.5" << 50 << 5;
    QTest::newRow("-0.05 rounds away from zero") << "-0.05" << 0 << -1;
    QTest::newRow("-1.5") << "-1.5" << -1 << -5;
    QTest::newRow("99.96 keeps the tenths") << "99.96" << 99 << 10;
    QTest::newRow("abc") << "abc" << 0 << 0;
    QTest::newRow("empty") << "" << 0 << 0;
    QTest::newRow("beyond int") << "1e10" << 0 << 0;
    QTest::newRow("not finite") << "inf" << 0 << 0;
}

void TestCsvFormat::volumesFromText()
{
    QFETCH(QString, text);
    QFETCH(int, whole);
    QFETCH(int, fractional);

    QCOMPARE(CsvParser::parseVolume(text), (VolumeParts{whole, fractional, 10}));
    QObject owner;
    const QList<Command *> read =
        CsvParser::parse(QStringLiteral("ASPIRATE,S,") + text + QStringLiteral(",0,,,,5,"), &owner);
    auto *aspirate = qobject_cast<AspirateCommand *>(read.value(0));
    QVERIFY(aspirate);
    QCOMPARE(aspirate->volume(), (VolumeParts{whole, fractional, 10}));
}

void TestCsvFormat::loopRows_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("structure");

    QTest::newRow("nested") << "LOOPSTART,,,,,,,,2\nPURGE\nLOOPSTART,,,,,,,,3\nMIX\nLOOPEND\n"
                               "DISPENSE\nLOOPEND\nAIRGAP\n"
                            << "loop(purge loop(mix) dispense) airgap";
    QTest::newRow("missing LOOPEND takes the rest")
        << "PURGE\nLOOPSTART,,,,,,,,2\nMIX\nLOOPSTART\nAIRGAP\n"
        << "purge loop(mix loop(airgap))";
    QTest::newRow("blank rows") << "\n\nLOOPSTART,,,,,,,,2\n\n  \nMIX\n\nloopend\n\n"
                                << "loop(mix)";
}

void TestCsvFormat::loopRows()
{
    QFETCH(QString, text);
    QFETCH(QString, structure);

    std::function<QString(const QList<Command *> &)> describe = [&](const QList<Command *> &list) {
        QStringList parts;
        for (const Command *command : list) {
            if (auto *loop = qobject_cast<const LoopCommand *>(command))
                parts << QStringLiteral("loop(%1)").arg(describe(loop->innerCommandList()));
            else
                parts << command->type();
        }
        return parts.join(QLatin1Char(' '));
    };
    QObject owner;
    QCOMPARE(describe(CsvParser::parse(text, &owner)), structure);
}

void TestCsvFormat::unknownRowsAreLoggedAndSkipped()
{
    QObject owner;
    QTest::ignoreMessage(QtDebugMsg,
                         "CsvParser: unknown command type: # PROTOCOL NAME: BUFFER A — skipped");
    QTest::ignoreMessage(QtDebugMsg, "CsvParser: unknown command type: WAIT — skipped");
    const QList<Command *> read = CsvParser::parse(
        QStringLiteral("# protocol name: Buffer A\nTIPSELECT,S,,,,,,,,\nwait,5\nPURGE,S,,,,,,7,\n"),
        &owner);
    QCOMPARE(typesOf(read), QStringList({"tipselect", "purge"}));

    // A LOOPEND that closes nothing is dropped on its own; the rows after it are kept.
    QTest::ignoreMessage(QtWarningMsg, "CsvParser: LOOPEND at line 3 closes no LOOPSTART; skipped");
    QTest::ignoreMessage(QtWarningMsg, "CsvParser: LOOPEND at line 8 closes no LOOPSTART; skipped");
    const QList<Command *> stray = CsvParser::parse(
        QStringLiteral("TIPSELECT,S,,,,,,,,\nASPIRATE,S,10.0,0,,,,5,\nLOOPEND,,,,,,,,\n"
                       "DISPENSE,S,10.0,0,,,,5,\nLOOPSTART,,,,,,,,2\nPURGE,S,,,,,,7,\n"
                       "LOOPEND,,,,,,,,\nLOOPEND,,,,,,,,\nMIX,S,20.0,0,3,,,2,\n"),
        &owner);
    QCOMPARE(typesOf(stray), QStringList({"tipselect", "aspirate", "dispense", "loop", "mix"}));
}

void TestCsvFormat::loopsOwnTheirBodies()
{
    const QString text = QStringLiteral("LOOPSTART,,,,,,,,2\nPURGE\nLOOPSTART,,,,,,,,3\nMIX\n"
                                        "LOOPEND\nLOOPEND\nAIRGAP\n");
    {
        // Deleting the owner frees everything once, whatever order it deletes in.
        QObject owner;
        const QList<Command *> owned = CsvParser::parse(text, &owner);
        QCOMPARE(typesOf(owned), QStringList({"loop", "airgap"}));
        auto *outer = qobject_cast<LoopCommand *>(owned.at(0));
        auto *inner = qobject_cast<LoopCommand *>(outer->innerCommandList().at(1));
        QCOMPARE(outer->parent(), &owner);
        QCOMPARE(owned.at(1)->parent(), &owner);
        QCOMPARE(outer->innerCommandList().at(0)->parent(), outer);
        QCOMPARE(inner->parent(), outer);
        QCOMPARE(inner->innerCommandList().at(0)->parent(), inner);
    }

    // Without a parent the caller deletes the loops, and they take their bodies along.
    const QList<Command *> free = CsvParser::parse(text);
    auto *freeOuter = qobject_cast<LoopCommand *>(free.at(0));
    QPointer<Command> mix = qobject_cast<LoopCommand *>(freeOuter->innerCommandList().at(1))
                                ->innerCommandList()
                                .at(0);
    QCOMPARE(free.at(1)->parent(), nullptr);
    qDeleteAll(free);
    QVERIFY(!mix);
}

void TestCsvFormat::nestingIsCapped()
{
    auto nested = [](int depth) {
        return QStringLiteral("LOOPSTART,,,,,,,,1\n").repeated(depth) + QStringLiteral("PURGE,S,,,,,,7,\n")
               + QStringLiteral("LOOPEND,,,,,,,,\n").repeated(depth);
    };
    QObject owner;
    QString error = QStringLiteral("left from before");
    const QList<Command *> deepest =
        CsvParser::parse(nested(LoopCommand::MaxNestingDepth), &owner, &error);
    QCOMPARE(deepest.size(), 1);
    QCOMPARE(generate(deepest), nested(LoopCommand::MaxNestingDepth));
    QCOMPARE(error, QString());

    // Refused whole, and said so: an empty list alone would pass for an empty method.
    QTest::ignoreMessage(QtWarningMsg, "CsvParser: loops nested deeper than 64 levels at line 66; "
                                       "the method is refused");
    QVERIFY(CsvParser::parse(QStringLiteral("PURGE\n") + nested(20000), &owner, &error).isEmpty());
    QCOMPARE(error, QStringLiteral("Loops nested deeper than 64 levels at line 66"));
    QTest::ignoreMessage(QtWarningMsg, "CsvParser: loops nested deeper than 64 levels at line 65; "
                                       "the method is refused");
    QVERIFY(CsvParser::parse(nested(LoopCommand::MaxNestingDepth + 1), &owner).isEmpty());
    QVERIFY(CsvParser::parse(QString(), &owner, &error).isEmpty());
    QCOMPARE(error, QString());

    // Read row by row, the too-deep loop is left out on its own, with a word.
    QTest::ignoreMessage(QtWarningMsg, "CsvParser: loop at line 66 nested deeper than 64 levels; "
                                       "skipped with its body");
    QList<Command *> rows;
    int index = 0;
    const QStringList lines = (QStringLiteral("PURGE\n") + nested(70)).split(QLatin1Char('\n'));
    CsvParser::parseRows(lines, &index, &rows, &owner);
    QCOMPARE(index, lines.size());
    QCOMPARE(typesOf(rows), QStringList({"purge", "loop"}));
}

NERRA_TEST_MAIN(TestCsvFormat)
#include "tst_csvformat.moc"
