#include "formats/csvparser.h"
#include "formats/splgenerator.h"
#include "formats/splparser.h"
#include "model/commands.h"
#include "testmain.h"

#include <memory>

namespace {

struct Reading
{
    bool ok = false;
    QString name;
    QString error = QStringLiteral("left from before");
    QList<Command *> commands;
    QObject owner; // takes the commands, so that every case cleans up after itself

    explicit Reading(const QString &text)
    {
        ok = SplParser().parse(text, &name, &commands, &error);
        for (Command *command : qAsConst(commands))
            command->setParent(&owner);
    }
    QString written() const { return SplGenerator().generate(name, commands); }
};

int depthOf(const Command *command)
{
    int depth = 0;
    for (; auto *loop = qobject_cast<const LoopCommand *>(command); command = loop->innerCommandList().value(0))
        ++depth;
    return depth;
}

} // namespace

class TestSplFormat : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); m_env.reset(); }

    void readsAsWrittenAndWritesOneLinePerStep()
    {
        // As a person writes it: comments, blank lines, any indentation, values off the grid.
        Reading read(QStringLiteral("\n\nprotocol name:  Serial dilution \n# every kind\ntipselect tip:large\n"
                                    "aspirate tip:large vol:512.3 xvol:25 speed:3\n\n  airgap tip:Large vol:101.96 speed:5\n"
                                    "loop 3\n\tdispense tip:large vol:100 speed:5\n          tipselect tip:small\n"
                                    "  # inside\n  mix tip:small vol:-0.5 cycles:100 speed:2\nloop 10\n"
                                    "repeat tip:small vol:1 dispense:24.9 replicates:4 speed:5\n  purge tip:small speed:4\n"
                                    "   endloop   \nendloop\ndispense tip:x vol:-1.5 speed:7\n"));
        QVERIFY2(read.ok, qPrintable(read.error));
        QCOMPARE(read.error, QString());
        const QString written = QStringLiteral("protocol name: Serial dilution\n\ntipselect tip:large\n"
                                               "aspirate tip:large vol:512.3 xvol:25 speed:3\n"
                                               "airgap tip:large vol:102.0 xvol:0 speed:5\nloop 3\n"
                                               "  dispense tip:large vol:100.0 xvol:0 speed:5\n  tipselect tip:small\n"
                                               "  mix tip:small vol:-0.5 cycles:100 speed:2\n  loop 10\n"
                                               "    repeat tip:small vol:99.6 dispense:24.9 replicates:4 speed:5\n"
                                               "    purge tip:small speed:4\n  endloop\nendloop\n"
                                               "dispense tip:large vol:-1.5 xvol:0 speed:7\n");
        QCOMPARE(read.written(), written);
        QCOMPARE(Reading(written).written(), written);
        // The tip is kept as written, but anything but "small" is the large tip.
        QCOMPARE(read.commands.at(2)->tip(), QStringLiteral("Large"));
        auto *loop = qobject_cast<LoopCommand *>(read.commands.at(3));
        for (Command *step : loop->innerCommandList())
            QCOMPARE(step->parent(), loop);

        // A name or tip with line breaks or blanks can add no line, nor turn into another tip.
        TipSelectCommand tipSelect;
        tipSelect.setTip(QStringLiteral("small x\nendloop"));
        QCOMPARE(SplGenerator().generate(QString::fromUtf8("A\r\nB\u2028C\nloop 3"), {&tipSelect}),
                 QStringLiteral("protocol name: A B C loop 3\n\ntipselect tip:small_x_endloop\n"));
        // A text of blank lines is an empty method; before a header they do not hide it.
        for (const char *blank : {"", "\n\n\n", "\r\n\r\n", "   \n\t\n"}) {
            Reading empty(QString::fromLatin1(blank));
            QVERIFY(empty.ok && empty.name.isEmpty() && empty.commands.isEmpty());
            Reading headed(QString::fromLatin1(blank) + QStringLiteral("protocol name: \x1b Buffer\tA \r\npurge\r\n"));
            QCOMPARE(headed.written(), QStringLiteral("protocol name: Buffer A\n\npurge tip:large speed:0\n"));
        }

        // On a failure the commands read before it stay for the caller to delete; the half-read loop is gone.
        QList<Command *> commands;
        QVERIFY(!SplParser().parse(QStringLiteral("protocol name: Half\ntipselect tip:large\nloop 2\n  bogus\nendloop\n"), nullptr,
                                   &commands, nullptr));
        QVERIFY(commands.size() == 1 && commands.at(0)->parent() == nullptr);
        qDeleteAll(commands);
        QVERIFY(SplParser().parse(QStringLiteral("protocol name: X\npurge\n"), nullptr, nullptr, nullptr));
    }

    void readerMessages_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        const char *const cases[][3] = {
            {"comment before header", "# exported\nprotocol name: X\n", "SPL file must start with 'protocol name:'"},
            {"blank lines count", "protocol name: X\n\n\nfoo tip:small\n", "Error at line 4: Unknown command type: foo"},
            {"endloop at top level", "protocol name: X\n\naspirate\nendloop\n", "Unexpected 'endloop' at line 4"},
            {"loop 0", "protocol name: X\nloop 0\nendloop\n", "Invalid loop iterations at line 2"},
            {"loop 11", "protocol name: X\n\nloop 11\nendloop\n", "Invalid loop iterations at line 3"},
            {"loop count and word", "protocol name: X\nloop 3 times\nendloop\n", "Invalid loop iterations at line 2"},
            {"loop alone", "protocol name: X\n  loop\n", "Error at line 2: Unknown command type: loop"},
            {"capital keyword", "protocol name: X\n\n# steps\nAspirate tip:small\n", "Error at line 4: Unknown command type: Aspirate"},
            {"error inside a body", "protocol name: X\nloop 2\n\n  # body\n  mix tip:small\n  purj\nendloop\n",
             "Error at line 6: Unknown command type: purj"},
            {"nested loop left open", "protocol name: X\nloop 2\n  loop 3\n    purge\n  endloop\n", "Loop missing 'endloop'"},
        };
        for (const auto &c : cases) {
            const QString text = QString::fromUtf8(c[1]);
            QTest::addRow("%s, LF", c[0]) << text << QString::fromUtf8(c[2]);
            QTest::addRow("%s, CR LF", c[0]) << QString(text).replace("\n", "\r\n") << QString::fromUtf8(c[2]);
            QTest::addRow("%s, CR", c[0]) << QString(text).replace('\n', '\r') << QString::fromUtf8(c[2]);
        }
    }

    void readerMessages()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        Reading read(text);
        QVERIFY(!read.ok);
        QCOMPARE(read.error, error);
    }

    void readerFields_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QVariantMap>("expected");
        QTest::newRow("missing keys read as 0") << "aspirate tip:small vol:20"
            << QVariantMap{{"speed", 0}, {"extraVolume", 0}, {"volumeWhole", 20}, {"volumeFractional", 0}};
        QTest::newRow("signed integers") << "airgap vol:20 xvol:-3 speed:+4" << QVariantMap{{"extraVolume", -3}, {"speed", 4}};
        QTest::newRow("xvol before vol") << "aspirate xvol:5 vol:20 speed:3"
                                         << QVariantMap{{"volumeWhole", 20}, {"volumeFractional", 0}, {"extraVolume", 5}};
        QTest::newRow("key inside another word") << "mix xtip:large tip:small cycles:3" << QVariantMap{{"tip", "small"}, {"cycles", 3}};
        QTest::newRow("empty value is skipped") << "purge speed: speed:6 tip:large" << QVariantMap{{"speed", 6}, {"tip", "large"}};
        QTest::newRow("tab before a key") << "purge tip:large\tspeed:3" << QVariantMap{{"speed", 3}, {"tip", "large"}};
        QTest::newRow("12.34") << "aspirate vol:12.34" << QVariantMap{{"volumeWhole", 12}, {"volumeFractional", 3}};
        QTest::newRow("12.96 rounds to 13.0") << "aspirate vol:12.96" << QVariantMap{{"volumeWhole", 12}, {"volumeFractional", 10}};
        QTest::newRow("-0.05") << "aspirate vol:-0.05" << QVariantMap{{"volumeWhole", 0}, {"volumeFractional", -1}};
        QTest::newRow("abc") << "aspirate vol:abc" << QVariantMap{{"volumeWhole", 0}, {"volumeFractional", 0}};
        QTest::newRow("beyond int") << "mix vol:1e12" << QVariantMap{{"volumeWhole", 0}, {"volumeFractional", 0}};
        QTest::newRow("repeat volume is derived") << "repeat tip:small vol:999 dispense:12.5 replicates:3 speed:2"
            << QVariantMap{{"volumeWhole", 37}, {"volumeFractional", 5}, {"dispenseVolume", 12.5}, {"replicates", 3}, {"speed", 2}};
        QTest::newRow("repeat dispense not a number") << "repeat dispense:inf replicates:3" << QVariantMap{{"dispenseVolume", 0.0}};
        QTest::newRow("tip select keeps default speed") << "tipselect tip:large speed:2" << QVariantMap{{"tip", "large"}, {"speed", 5}};
        QTest::newRow("tip select without tip") << "tipselect" << QVariantMap{{"tip", ""}};
    }

    void readerFields()
    {
        QFETCH(QString, line);
        QFETCH(QVariantMap, expected);
        Reading read(QStringLiteral("protocol name: X\n") + line + QLatin1Char('\n'));
        QVERIFY2(read.ok, qPrintable(read.error));
        QCOMPARE(read.commands.size(), 1);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QCOMPARE(read.commands.at(0)->property(qPrintable(it.key())), it.value());
    }

    void everyReaderCapsNesting_data()
    {
        QTest::addColumn<QString>("reader");
        QTest::addColumn<int>("depth");
        // How deep the loops read are nested; 0 when the whole text is refused.
        QTest::addColumn<int>("kept");
        QTest::addColumn<QString>("error");
        const QString tooDeep = QStringLiteral("Loops nested deeper than 64 levels at line 66");
        for (const char *reader : {"SPL", "CSV", "CSV rows", "stored form"}) {
            const bool refuses = QByteArray(reader) == "SPL" || QByteArray(reader) == "CSV";
            QTest::addRow("%s, 64 deep", reader) << reader << 64 << 64 << QString();
            QTest::addRow("%s, 65 deep", reader) << reader << 65 << (refuses ? 0 : 64) << (refuses ? tooDeep : QString());
            QTest::addRow("%s, hostile", reader) << reader << (refuses ? 100000 : 5000) << (refuses ? 0 : 64)
                                                 << (refuses ? tooDeep : QString());
        }
    }

    void everyReaderCapsNesting()
    {
        QFETCH(QString, reader);
        QFETCH(int, depth);
        QFETCH(int, kept);
        QFETCH(QString, error);
        // One step before the loops, so that the 65th loop opens on line 66 in both texts.
        QObject owner;
        QList<Command *> read;
        QString message = QStringLiteral("left from before");
        if (reader == QLatin1String("SPL")) {
            SplParser().parse(QStringLiteral("protocol name: Deep\n") + QStringLiteral("loop 1\n").repeated(depth)
                                  + QStringLiteral("purge tip:small speed:7\n") + QStringLiteral("endloop\n").repeated(depth),
                              nullptr, &read, &message);
            for (Command *command : qAsConst(read))
                command->setParent(&owner);
        } else if (reader.startsWith(QLatin1String("CSV"))) {
            const QString csv = QStringLiteral("PURGE,S,,,,,,7,\n") + QStringLiteral("LOOPSTART,,,,,,,,1\n").repeated(depth)
                                + QStringLiteral("PURGE,S,,,,,,7,\n") + QStringLiteral("LOOPEND,,,,,,,,\n").repeated(depth);
            if (reader == QLatin1String("CSV")) {
                read = CsvParser::parse(csv, &owner, &message);
            } else {
                message.clear();
                const QStringList rows = csv.split(QLatin1Char('\n'));
                int index = 0;
                CsvParser::parseRows(rows, &index, &read, &owner);
                QCOMPARE(index, rows.size());
            }
        } else {
            QVariantMap map{{"type", "purge"}};
            for (int i = 0; i < depth; ++i)
                map = QVariantMap{{"type", "loop"}, {"iterations", 1}, {"innerCommands", QVariantList{map}}};
            message.clear();
            read << Command::fromVariantMap(map, &owner);
        }
        QCOMPARE(message, error);
        QCOMPARE(depthOf(read.value(read.size() - 1)), kept);
        // The CSV readers keep the step before the loops whenever they keep anything.
        QCOMPARE(read.size(), kept == 0 ? 0 : reader.startsWith(QLatin1String("CSV")) ? 2 : 1);
    }

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};


NERRA_TEST_MAIN(TestSplFormat)
#include "tst_splformat.moc"
