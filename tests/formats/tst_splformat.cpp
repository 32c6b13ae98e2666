#include "formats/splgenerator.h"
#include "formats/splparser.h"
#include "methods.h"
#include "model/commands.h"
#include "testmain.h"

#include <QPointer>

#include <memory>

using namespace TestMethods;

namespace {

struct Reading
{
    bool ok = false;
    QString name;
    QString error;
    QList<Command *> commands;
    QObject owner; // takes the commands, so that every case cleans up after itself

    explicit Reading(const QString &text)
    {
        ok = SplParser().parse(text, &name, &commands, &error);
        for (Command *command : qAsConst(commands))
            command->setParent(&owner);
    }
    template <typename T = Command>
    T *at(int index) const
    {
        return qobject_cast<T *>(commands.value(index));
    }
};

QString crlf(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
}

QString nestedLoops(int depth)
{
    return QStringLiteral("protocol name: Deep\n") + QStringLiteral("loop 1\n").repeated(depth)
           + QStringLiteral("purge tip:small speed:7\n") + QStringLiteral("endloop\n").repeated(depth);
}

} // namespace

class TestSplFormat : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup()
    {
        runDeferredDeletes();
        m_env.reset();
    }

    void readsAndWritesTheDocumentedExample();
    void writesHeaderThenOneLinePerStep();
    void roundTripKeepsTheText();
    void readerMessages_data();
    void readerMessages();
    void failureKeepsWhatWasReadBefore();
    void readerFields_data();
    void readerFields();
    void textsWithoutContent_data();
    void textsWithoutContent();
    void loopsIgnoreIndentationCommentsAndBlankLines();
    void lineBreaksCannotInjectLines_data();
    void lineBreaksCannotInjectLines();
    void nestingIsCapped();
    void writerWalksAnyDepth();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestSplFormat::readsAndWritesTheDocumentedExample()
{
    const QString text = QStringLiteral(
        "protocol name: Serial dilution\n\naspirate tip:small vol:50.5 xvol:5 speed:3\n");
    Reading read(text);
    QVERIFY(read.ok);
    QCOMPARE(read.name, QStringLiteral("Serial dilution"));
    QCOMPARE(read.commands.size(), 1);
    auto *aspirate = read.at<AspirateCommand>(0);
    QVERIFY(aspirate);
    QCOMPARE(aspirate->volumeWhole(), 50);
    QCOMPARE(aspirate->volumeFractional(), 5);
    QCOMPARE(aspirate->extraVolume(), 5);
    QCOMPARE(aspirate->speed(), 3);
    QCOMPARE(aspirate->parent(), &read.owner);
    QCOMPARE(SplGenerator().generate(read.name, read.commands), text);
}

void TestSplFormat::writesHeaderThenOneLinePerStep()
{
    QObject owner;
    QList<Command *> method;
    auto *loop = add<LoopCommand>(&method, &owner);
    loop->setIterations(3);
    loop->addInnerCommand(QStringLiteral("aspirate"));
    auto *inner = new LoopCommand(loop);
    inner->addInnerCommand(QStringLiteral("purge"));
    loop->appendInnerCommand(inner);

    QCOMPARE(SplGenerator().generate(QStringLiteral("X"), {}), QStringLiteral("protocol name: X\n\n"));
    QCOMPARE(SplGenerator().generate(QStringLiteral(" Loops "), method),
             QStringLiteral("protocol name:  Loops \n\n"
                            "loop 3\n"
                            "  aspirate tip:small vol:100.0 xvol:0 speed:5\n"
                            "  loop 2\n"
                            "    purge tip:small speed:5\n"
                            "  endloop\n"
                            "endloop\n"));
}

void TestSplFormat::roundTripKeepsTheText()
{
    QObject owner;
    const QList<Command *> method = everyKind(&owner);
    const QString written = SplGenerator().generate(QStringLiteral("Every kind"), method);

    Reading read(written);
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.name, QStringLiteral("Every kind"));
    QCOMPARE(SplGenerator().generate(read.name, read.commands), written);
    // The same steps come back, down to the nested loops.
    QCOMPARE(comparableForms(read.commands), comparableForms(method));
    // Tenths past ten are written as their value and read back normalised.
    QCOMPARE(read.at<AirgapCommand>(2)->volume(), (VolumeParts{101, 5, 10}));
    QCOMPARE(read.at<MixCommand>(5)->volume(), (VolumeParts{13, 0, 10}));
    // Not exactly "small" is written and read as the large tip.
    QVERIFY(written.contains(QLatin1String("\nmix tip:large vol:13.0 cycles:2 speed:5\n")));
    QCOMPARE(read.at(5)->tip(), QStringLiteral("large"));
    auto *loop = read.at<LoopCommand>(3);
    QCOMPARE(loop->innerCommandList().size(), 5);
    for (Command *step : loop->innerCommandList())
        QCOMPARE(step->parent(), loop);
    auto *inner = qobject_cast<LoopCommand *>(loop->innerCommandList().at(3));
    QCOMPARE(inner->iterations(), 10);
    QCOMPARE(inner->innerCommandList().at(0)->property("volumeWhole").toInt(), 99);
    QCOMPARE(inner->innerCommandList().at(0)->property("volumeFractional").toInt(), 6);
}

void TestSplFormat::readerMessages_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");

    struct Case
    {
        const char *name;
        const char *text;
        const char *error;
    };
    const Case cases[] = {
        {"comment before header", "# exported\nprotocol name: X\n",
         "SPL file must start with 'protocol name:'"},
        {"header in capitals", "Protocol Name: X\n", "SPL file must start with 'protocol name:'"},
        {"blank lines count", "protocol name: X\n\n\nfoo tip:small\n",
         "Error at line 4: Unknown command type: foo"},
        {"endloop at top level", "protocol name: X\n\naspirate\nendloop\n",
         "Unexpected 'endloop' at line 4"},
        {"loop 0", "protocol name: X\nloop 0\nendloop\n", "Invalid loop iterations at line 2"},
        {"loop 11", "protocol name: X\n\nloop 11\nendloop\n", "Invalid loop iterations at line 3"},
        {"loop letter", "protocol name: X\nloop a\nendloop\n", "Invalid loop iterations at line 2"},
        {"loop count and word", "protocol name: X\nloop 3 times\nendloop\n",
         "Invalid loop iterations at line 2"},
        {"loop alone", "protocol name: X\n  loop\n", "Error at line 2: Unknown command type: loop"},
        {"capital keyword", "protocol name: X\n\n# steps\nAspirate tip:small\n",
         "Error at line 4: Unknown command type: Aspirate"},
        {"error inside a body", "protocol name: X\nloop 2\n\n  # body\n  mix tip:small\n  purj\nendloop\n",
         "Error at line 6: Unknown command type: purj"},
        {"nested loop left open", "protocol name: X\nloop 2\n  loop 3\n    purge\n  endloop\n",
         "Loop missing 'endloop'"},
        {"bad count inside a body", "protocol name: X\nloop 2\n\n  loop 12\n  endloop\nendloop\n",
         "Invalid loop iterations at line 4"},
    };
    for (const Case &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        QTest::addRow("%s, LF", c.name) << text << QString::fromUtf8(c.error);
        QTest::addRow("%s, CR LF", c.name) << crlf(text) << QString::fromUtf8(c.error);
        QTest::addRow("%s, CR", c.name) << QString(text).replace(QLatin1Char('\n'), QLatin1Char('\r'))
                                        << QString::fromUtf8(c.error);
    }
}

void TestSplFormat::readerMessages()
{
    QFETCH(QString, text);
    QFETCH(QString, error);

    Reading read(text);
    QVERIFY(!read.ok);
    QCOMPARE(read.error, error);
}

void TestSplFormat::failureKeepsWhatWasReadBefore()
{
    QList<Command *> commands;
    QString error;
    QString name;
    const bool ok = SplParser().parse(QStringLiteral("protocol name: Half\ntipselect tip:large\n"
                                                     "loop 2\n  aspirate tip:large vol:200.0\n"
                                                     "  bogus\nendloop\n"),
                                      &name, &commands, &error);
    QVERIFY(!ok);
    QCOMPARE(error, QStringLiteral("Error at line 5: Unknown command type: bogus"));
    // The Tip Select stays for the caller to delete; the half-read loop is gone.
    QCOMPARE(commands.size(), 1);
    QCOMPARE(commands.at(0)->type(), QStringLiteral("tipselect"));
    QCOMPARE(commands.at(0)->parent(), nullptr);
    qDeleteAll(commands);

    // Null outputs are allowed; the commands are then not kept.
    QVERIFY(SplParser().parse(QStringLiteral("protocol name: X\npurge\n"), nullptr, nullptr, nullptr));
}

void TestSplFormat::readerFields_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QVariantMap>("expected");

    QTest::newRow("missing keys read as 0")
        << "aspirate tip:small vol:20"
        << QVariantMap{{"speed", 0}, {"extraVolume", 0}, {"volumeWhole", 20}, {"volumeFractional", 0}};
    QTest::newRow("speed with a point") << "dispense tip:small vol:20 speed:5.0"
                                        << QVariantMap{{"speed", 0}};
    QTest::newRow("signed integers") << "airgap tip:small vol:20 xvol:-3 speed:+4"
                                     << QVariantMap{{"extraVolume", -3}, {"speed", 4}};
    QTest::newRow("xvol before vol") << "aspirate tip:small xvol:5 vol:20 speed:3"
                                     << QVariantMap{{"volumeWhole", 20}, {"volumeFractional", 0},
                                                    {"extraVolume", 5}};
    QTest::newRow("key inside another word") << "mix xtip:large tip:small vol:8 cycles:3"
                                             << QVariantMap{{"tip", "small"}, {"cycles", 3}};
    QTest::newRow("empty value is skipped") << "purge speed: speed:6 tip:large"
                                            << QVariantMap{{"speed", 6}, {"tip", "large"}};
    QTest::newRow("tip taken as written") << "aspirate tip:Large vol:100"
                                          << QVariantMap{{"tip", "Large"}};
    QTest::newRow("12.34") << "aspirate vol:12.34"
                           << QVariantMap{{"volumeWhole", 12}, {"volumeFractional", 3}};
    QTest::newRow("50.5") << "aspirate vol:50.5" << QVariantMap{{"volumeWhole", 50}, {"volumeFractional", 5}};
    QTest::newRow("12.96 rounds to 13.0") << "aspirate vol:12.96"
                                          << QVariantMap{{"volumeWhole", 12}, {"volumeFractional", 10}};
    QTest::newRow("-0.05") << "aspirate vol:-0.05"
                           << QVariantMap{{"volumeWhole", 0}, {"volumeFractional", -1}};
    QTest::newRow("-1.5") << "aspirate vol:-1.5"
                          << QVariantMap{{"volumeWhole", -1}, {"volumeFractional", -5}};
    QTest::newRow("abc") << "aspirate vol:abc" << QVariantMap{{"volumeWhole", 0}, {"volumeFractional", 0}};
    QTest::newRow("beyond int") << "mix vol:1e12" << QVariantMap{{"volumeWhole", 0}, {"volumeFractional", 0}};
    QTest::newRow("repeat volume is derived")
        << "repeat tip:small vol:999 dispense:12.5 replicates:3 speed:2"
        << QVariantMap{{"volumeWhole", 37}, {"volumeFractional", 5}, {"dispenseVolume", 12.5},
                       {"replicates", 3}, {"speed", 2}};
    QTest::newRow("repeat dispense not a number") << "repeat dispense:inf replicates:3"
                                                  << QVariantMap{{"dispenseVolume", 0.0}};
    QTest::newRow("tip select keeps default speed") << "tipselect tip:large speed:2"
                                                    << QVariantMap{{"tip", "large"}, {"speed", 5}};
    QTest::newRow("tip select without tip") << "tipselect" << QVariantMap{{"tip", ""}};
}

void TestSplFormat::readerFields()
{
    QFETCH(QString, line);
    QFETCH(QVariantMap, expected);

    Reading read(QStringLiteral("protocol name: X\n") + line + QLatin1Char('\n'));
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.commands.size(), 1);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(read.at(0)->property(qPrintable(it.key())), it.value());
}

void TestSplFormat::textsWithoutContent_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("line feeds") << "\n\n\n";
    QTest::newRow("CR LF blank lines") << "\r\n\r\n";
    QTest::newRow("spaces") << "   \n\t\n";
}

void TestSplFormat::textsWithoutContent()
{
    QFETCH(QString, text);
    Reading read(text);
    QVERIFY(read.ok);
    QVERIFY(read.name.isEmpty());
    QVERIFY(read.commands.isEmpty());

    // Blank lines before the header do not hide it, whatever the line ends.
    Reading headed(text + QStringLiteral("protocol name:  Buffer A \r\npurge\r\n"));
    QVERIFY2(headed.ok, qPrintable(headed.error));
    QCOMPARE(headed.name, QStringLiteral("Buffer A"));
    QCOMPARE(headed.commands.size(), 1);
}

void TestSplFormat::loopsIgnoreIndentationCommentsAndBlankLines()
{
    Reading read(QStringLiteral("protocol name: X\n"
                                "loop 3\n"
                                "# a comment\n"
                                "\n"
                                "          aspirate tip:small vol:10\n"
                                "\t  # indented comment\n"
                                "loop 2\n"
                                "dispense tip:small vol:10\n"
                                "   endloop   \n"
                                "endloop\n"
                                "purge\n"));
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.commands.size(), 2);
    auto *loop = read.at<LoopCommand>(0);
    QCOMPARE(loop->iterations(), 3);
    QCOMPARE(loop->tip(), QStringLiteral("small"));
    QCOMPARE(loop->speed(), 5);
    QCOMPARE(loop->innerCommandList().size(), 2);
    auto *inner = qobject_cast<LoopCommand *>(loop->innerCommandList().at(1));
    QCOMPARE(inner->iterations(), 2);
    QCOMPARE(inner->innerCommandList().at(0)->type(), QStringLiteral("dispense"));
    QCOMPARE(read.at(1)->type(), QStringLiteral("purge"));
}

void TestSplFormat::lineBreaksCannotInjectLines_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("tip");
    QTest::addColumn<QString>("readName");
    QTest::addColumn<QString>("readTip");

    QTest::newRow("LF") << "Buffer\naspirate tip:small vol:5" << "large"
                        << "Buffer aspirate tip:small vol:5" << "large";
    QTest::newRow("CR LF") << "A\r\nB" << "small" << "A B" << "small";
    QTest::newRow("lone CR") << "A\rB" << "small" << "A B" << "small";
    QTest::newRow("line separator") << QString::fromUtf8("A\u2028B") << "small" << "A B" << "small";
    QTest::newRow("trailing break") << "Name\n" << "small" << "Name" << "small";
    QTest::newRow("tip with a line") << "T" << "large\nendloop" << "T" << "large_endloop";
    // "small x" is a large tip; it must not come back as "small".
    QTest::newRow("tip with a blank") << "T" << "small x" << "T" << "small_x";
}

void TestSplFormat::lineBreaksCannotInjectLines()
{
    QFETCH(QString, name);
    QFETCH(QString, tip);
    QFETCH(QString, readName);
    QFETCH(QString, readTip);

    QObject owner;
    QList<Command *> method;
    add<TipSelectCommand>(&method, &owner)->setTip(tip);
    add<PurgeCommand>(&method, &owner);
    const QString written = SplGenerator().generate(name, method);
    QCOMPARE(written.count(QLatin1Char('\n')), 4);

    Reading read(written);
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.name, readName);
    QCOMPARE(read.commands.size(), 2);
    QCOMPARE(read.at(0)->tip(), readTip);
    QCOMPARE(read.at(0)->tip() == QLatin1String("small"), tip == QLatin1String("small"));
}

void TestSplFormat::nestingIsCapped()
{
    Reading deepest(nestedLoops(LoopCommand::MaxNestingDepth));
    QVERIFY2(deepest.ok, qPrintable(deepest.error));
    QCOMPARE(deepest.commands.size(), 1);
    int depth = 0;
    const Command *step = deepest.at(0);
    while (auto *loop = qobject_cast<const LoopCommand *>(step)) {
        ++depth;
        QCOMPARE(loop->innerCommandList().size(), 1);
        step = loop->innerCommandList().at(0);
    }
    QCOMPARE(depth, LoopCommand::MaxNestingDepth);
    QCOMPARE(step->type(), QStringLiteral("purge"));

    Reading tooDeep(nestedLoops(LoopCommand::MaxNestingDepth + 1));
    QVERIFY(!tooDeep.ok);
    QCOMPARE(tooDeep.error, QStringLiteral("Loops nested deeper than 64 levels at line 66"));

    Reading hostile(nestedLoops(100000));
    QVERIFY(!hostile.ok);
    QCOMPARE(hostile.error, QStringLiteral("Loops nested deeper than 64 levels at line 66"));
}

void TestSplFormat::writerWalksAnyDepth()
{
    // Deeper than any reader allows, built by hand: writing must still not recurse.
    constexpr int Depth = 1500;
    auto *outer = new LoopCommand;
    LoopCommand *loop = outer;
    for (int i = 1; i < Depth; ++i) {
        auto *inner = new LoopCommand;
        loop->appendInnerCommand(inner);
        loop = inner;
    }
    loop->addInnerCommand(QStringLiteral("purge"));
    const QString text = SplGenerator().generate(QStringLiteral("Deep"), {outer});
    QCOMPARE(text.count(QLatin1Char('\n')), 2 + 2 * Depth + 1);
    QVERIFY(text.contains(QString(2 * Depth, QLatin1Char(' ')) + QLatin1String("purge")));

    QPointer<LoopCommand> innermost = loop;
    delete outer;
    // Each level goes on its own turn of the event loop.
    for (int i = 0; i <= Depth && innermost; ++i)
        runDeferredDeletes();
    QVERIFY(!innermost);
}

NERRA_TEST_MAIN(TestSplFormat)
#include "tst_splformat.moc"
