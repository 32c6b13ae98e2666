#include "formats/csvgenerator.h"
#include "formats/csvparser.h"
#include "model/commands.h"
#include "splmethod.h"
#include "testmain.h"

#include <tuple>
#include <memory>

namespace {

QString generate(const QList<Command *> &commands)
{
    return CsvGenerator().generate(QStringLiteral("ignored"), QStringLiteral("ignored"), commands);
}

// The kinds read, loops with their bodies.
QString structure(const QList<Command *> &commands)
{
    QStringList parts;
    for (const Command *command : commands) {
        if (auto *loop = qobject_cast<const LoopCommand *>(command))
            parts << QStringLiteral("loop(%1)").arg(structure(loop->innerCommandList()));
        else
            parts << command->type();
    }
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestCsvFormat : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); m_env.reset(); }

    void writerRowsReadBackAsWritten()
    {
        QObject owner;
        const QList<Command *> method = methodFromSpl(
            "tipselect tip:large\naspirate tip:large vol:512.3 xvol:25 speed:3\nairgap tip:large vol:101.5 speed:5\n"
            "loop 3\n  dispense tip:large vol:100 speed:5\n  tipselect tip:small\n  mix tip:small vol:-0.5 cycles:100 speed:5\n"
            "  loop 10\n    repeat tip:small dispense:24.9 replicates:4 speed:6\n    purge tip:small speed:5\n"
            "    loop 1\n      airgap tip:small vol:100 speed:5\n    endloop\n  endloop\n  tipselect tip:large\nendloop\n"
            "dispense tip:large vol:-1.5 speed:7\nmix tip:Small vol:12.96 cycles:2 speed:5\npurge tip:small speed:1\n", &owner);
        // The instrument's own format, byte for byte.
        const QString written = QStringLiteral("TIPSELECT,L,,,,,,,,\nASPIRATE,L,512.3,25,,,,3,\nAIRGAP,L,101.5,0,,,,5,\nLOOPSTART,,,,,,,,3\n"
                                               "DISPENSE,L,100.0,0,,,,5,\nTIPSELECT,S,,,,,,,,\nMIX,S,-0.5,0,100,,,5,\nLOOPSTART,,,,,,,,10\n"
                                               "REPEAT,S,99.6,0,,4,24.9,6,\nPURGE,S,,,,,,5,\nLOOPSTART,,,,,,,,1\nAIRGAP,S,100.0,0,,,,5,\nLOOPEND,,,,,,,,\n"
                                               "LOOPEND,,,,,,,,\nTIPSELECT,L,,,,,,,,\nLOOPEND,,,,,,,,\nDISPENSE,L,-1.5,0,,,,7,\nMIX,L,13.0,0,2,,,5,\n"
                                               "PURGE,S,,,,,,1,\n");
        QCOMPARE(generate(method), written);
        QCOMPARE(generate({}), QString());

        // Read back, as written, with Windows line ends, and in the instrument's dialect of
        // wildcards for unused fields: the same method every time.
        QString wildcards = written;
        wildcards.replace(",,", ",*,").replace(",,", ",*,").replace(",\n", ",*\n");
        QVERIFY(wildcards.contains("ASPIRATE,L,512.3,25,*,*,*,3,*\n"));
        for (const QString &text : {written, QString(written).replace("\n", "\r\n"), wildcards}) {
            QObject readOwner;
            const QList<Command *> read = CsvParser::parse(text, &readOwner);
            QCOMPARE(generate(read), written);
        }
    }

    void readerFields_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QVariantMap>("expected");

        QTest::newRow("three fields") << "ASPIRATE,S,10.0" << "aspirate"
            << QVariantMap{{"volumeWhole", 10}, {"volumeFractional", 0}, {"extraVolume", 0}, {"speed", 4}, {"tip", "small"}};
        QTest::newRow("keyword alone") << "DISPENSE" << "dispense"
            << QVariantMap{{"tip", "large"}, {"volumeWhole", 0}, {"extraVolume", 0}, {"speed", 4}};
        QTest::newRow("speed 0") << "AIRGAP,S,10.0,0,,,,0," << "airgap" << QVariantMap{{"speed", 4}};
        QTest::newRow("speed 9") << "AIRGAP,S,10.0,0,,,,9," << "airgap" << QVariantMap{{"speed", 4}};
        QTest::newRow("speed 7") << "AIRGAP,S,10.0,0,,,,7," << "airgap" << QVariantMap{{"speed", 7}};
        QTest::newRow("lower-case tip letter") << "ASPIRATE,s,10.0,0,,,,5," << "aspirate" << QVariantMap{{"tip", "large"}};
        QTest::newRow("blanks around fields") << "  Mix , S , 20.5 , 0 , 3 ,,, 2 , " << "mix"
            << QVariantMap{{"tip", "small"}, {"volumeWhole", 20}, {"volumeFractional", 5}, {"cycles", 3}, {"speed", 2}};
        QTest::newRow("mix without cycles") << "MIX,S,20.0" << "mix" << QVariantMap{{"cycles", 1}};
        QTest::newRow("mix cycles not a number") << "MIX,S,20.0,0,many" << "mix" << QVariantMap{{"cycles", 0}};
        QTest::newRow("repeat defaults") << "REPEAT,L" << "repeat"
            << QVariantMap{{"replicates", 1}, {"dispenseVolume", 0.0}, {"volumeWhole", 0}, {"speed", 4}};
        QTest::newRow("repeat total is derived") << "REPEAT,L,999.0,0,,3,12.5,4," << "repeat"
                                                 << QVariantMap{{"volumeWhole", 37}, {"volumeFractional", 5}};
        QTest::newRow("repeat dispense not finite") << "REPEAT,L,,,,2,inf," << "repeat" << QVariantMap{{"dispenseVolume", 0.0}};
        QTest::newRow("tip select keeps its speed") << "TIPSELECT,S,,,,,,2,," << "tipselect"
                                                    << QVariantMap{{"tip", "small"}, {"speed", 5}};
        QTest::newRow("loop without count") << "LOOPSTART" << "loop" << QVariantMap{{"iterations", 1}};
        QTest::newRow("loop count 0") << "LOOPSTART,,,,,,,,0" << "loop" << QVariantMap{{"iterations", 1}};
        QTest::newRow("loop count 25") << "LOOPSTART,,,,,,,,25" << "loop"
                                       << QVariantMap{{"iterations", 25}, {"tip", "small"}, {"speed", 5}};
        const QList<std::tuple<const char *, int, int>> volumes{
            {"12.34", 12, 3}, {"-0.05", 0, -1}, {"99.96", 99, 10}, {"abc", 0, 0}, {"1e10", 0, 0}};
        for (const auto &volume : volumes) {
            QTest::addRow("volume %s", std::get<0>(volume)) << QStringLiteral("ASPIRATE,S,%1,0,,,,5,").arg(std::get<0>(volume))
                << "aspirate" << QVariantMap{{"volumeWhole", std::get<1>(volume)}, {"volumeFractional", std::get<2>(volume)}};
        }
    }

    void readerFields()
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

    void loopRows_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("structure");

        QTest::newRow("nested") << "LOOPSTART,,,,,,,,2\nPURGE\nLOOPSTART,,,,,,,,3\nMIX\nLOOPEND\nDISPENSE\nLOOPEND\nAIRGAP\n"
                                << "loop(purge loop(mix) dispense) airgap";
        QTest::newRow("missing LOOPEND takes the rest") << "PURGE\nLOOPSTART,,,,,,,,2\nMIX\nLOOPSTART\nAIRGAP\n"
                                                        << "purge loop(mix loop(airgap))";
        QTest::newRow("blank rows") << "\n\nLOOPSTART,,,,,,,,2\n\n  \nMIX\n\nloopend\n\n" << "loop(mix)";
        QTest::newRow("unknown rows are skipped") << "# protocol name: Buffer A\nTIPSELECT,S,,,,,,,,\nwait,5\nPURGE,S,,,,,,7,\n"
                                                  << "tipselect purge";
        // A LOOPEND that closes nothing is dropped on its own; the rows after it are kept.
        QTest::newRow("stray LOOPEND") << "TIPSELECT\nASPIRATE\nLOOPEND\nDISPENSE\nLOOPSTART,,,,,,,,2\nPURGE\nLOOPEND\n" "LOOPEND\nMIX\n"
                                       << "tipselect aspirate dispense loop(purge) mix";
    }

    void loopRows()
    {
        QFETCH(QString, text);
        QFETCH(QString, structure);
        QObject owner;
        QString error;
        QCOMPARE(::structure(CsvParser::parse(text, &owner, &error)), structure);
        QCOMPARE(error, QString());
    }

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};


NERRA_TEST_MAIN(TestCsvFormat)
#include "tst_csvformat.moc"
