#include "model/commands.h"
#include "splmethod.h"
#include "spytexts.h"
#include "storage/protocollibrary.h"
#include "storage/settingsfilecheck.h"
#include "testmain.h"

#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QUrl>

#include <memory>

namespace {

// As the SPL writer prints them, so that an export can be compared with them as text.
const QString Valid = QStringLiteral("tipselect tip:small\naspirate tip:small vol:150.5 xvol:0 speed:5\nloop 2\n"
                                     "  aspirate tip:small vol:20.0 xvol:0 speed:5\n  dispense tip:small vol:20.0 xvol:0 speed:5\n"
                                     "endloop\nrepeat tip:small vol:40.0 dispense:20.0 replicates:2 speed:5\n"
                                     "dispense tip:small vol:150.5 xvol:0 speed:5\n");
// No Tip Select first, and liquid left in the tip.
const QString Invalid = QStringLiteral("aspirate tip:small vol:50.0 xvol:0 speed:5\n");

QVariantList steps(const QString &spl)
{
    QObject owner;
    QVariantList maps;
    for (const Command *command : methodFromSpl(spl, &owner))
        maps << command->toVariantMap();
    return maps;
}

QString stepsOf(const ProtocolLibrary &library, const QString &id)
{
    const QString spl = library.exportToSpl(id);
    return spl.mid(spl.indexOf(QLatin1String("\n\n")) + 2);
}

QStringList listing(const ProtocolLibrary &library)
{
    QStringList lines;
    for (const QVariant &entry : library.getAllProtocols()) {
        const QVariantMap method = entry.toMap();
        lines << method["name"].toString() + " | " + method["description"].toString() + " | "
                     + method["commandCount"].toString() + (method["hasErrors"].toBool() ? " | errors" : "");
    }
    return lines;
}

// What was said since the last look.
QStringList messages(QSignalSpy &spy)
{
    const QStringList said = spyTexts(spy);
    spy.clear();
    return said;
}

QSettings store()
{
    return QSettings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop"));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    // QSettings keeps a file's contents per process and reads it again only when its size
    // or time changed: a file written here within the same second at the size the last
    // save left would be taken for that save. A time of its own makes it new.
    static QDateTime stamp = QDateTime::currentDateTimeUtc().addDays(-1);
    stamp = stamp.addSecs(2);
    file.setFileTime(stamp, QFileDevice::FileModificationTime);
}

// While a folder stands in the store's place it cannot be replaced, as with a full disk or a file another program holds.
void blockStore(bool blocked)
{
    const QString path = store().fileName();
    if (blocked ? !(QFile::rename(path, path + ".aside") && QDir().mkdir(path))
                : !(QDir().rmdir(path) && QFile::rename(path + ".aside", path)))
        qFatal("cannot move the store");
}

// Makes one write of the store fail part-way through a save.
class FlakyStoreLibrary : public ProtocolLibrary
{
public:
    int failingWrite = 0; // counted from when it is set; 0 fails none
    int writes = 0;

protected:
    bool syncStore(QSettings &settings) override
    {
        const bool fail = failingWrite > 0 && ++writes == failingWrite;
        if (fail)
            blockStore(true);
        const bool written = ProtocolLibrary::syncStore(settings);
        if (fail)
            blockStore(false);
        return written;
    }
};

} // namespace

class TestProtocolLibrary : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void changesAreStoredAndSurviveRestart()
    {
        const QString name = QStringLiteral("Verdünnung 5 µL, \"rasch\" = 1; é [x]\\y");
        const QString described = name + QStringLiteral(" | Line 1\nLine 2, with commas | 5");
        QStringList ids;
        QVariantMap before;
        {
            ProtocolLibrary first;
            QSignalSpy changed(&first, &ProtocolLibrary::protocolsChanged);
            QSignalSpy counted(&first, &ProtocolLibrary::protocolCountChanged);
            QSignalSpy errors(&first, &ProtocolLibrary::errorOccurred);
            // "+ New Protocol" keeps an unnamed placeholder until the user types a name; it is not kept.
            for (const char *each : {"", "Broken", "Empty", "Gone", "B", ""})
                ids << first.createProtocol(QString::fromUtf8(each));
            QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$").match(ids[0]).hasMatch());
            const QVariantMap entry = first.getAllProtocols().at(0).toMap();
            QCOMPARE(QStringList(entry.keys()), (QStringList{"commandCount", "created", "description", "hasErrors", "id", "modified", "name"}));
            QCOMPARE(QStringList(first.getProtocol(ids[0]).keys()), (QStringList{"commands", "created", "description", "id", "modified", "name"}));
            QVERIFY(entry["created"].toDateTime().isValid() && entry["created"] == entry["modified"] && first.protocolExists(ids[0])
                    && !first.protocolExists(QStringLiteral("other")));
            QVERIFY(first.saveProtocol(ids[0], name, QStringLiteral("Line 1\nLine 2, with commas"), steps(Valid), true));
            QVERIFY(first.saveProtocol(ids[1], QStringLiteral("Broken"), QString(), steps(Invalid), false));
            QVERIFY(first.saveProtocol(ids[2], QStringLiteral("Empty"), QString(), {}, false));
            QTRY_VERIFY(QDateTime::currentDateTime() > first.getProtocol(ids[4])["modified"].toDateTime());
            QVERIFY(first.renameProtocol(ids[4], QStringLiteral("A"))
                    && first.getProtocol(ids[4])["modified"].toDateTime() > first.getProtocol(ids[4])["created"].toDateTime());
            ids << first.duplicateProtocol(ids[0]);
            QVERIFY(first.deleteProtocol(ids[4]));
            QCOMPARE(QList<int>({changed.count(), counted.count(), errors.count()}), QList<int>({12, 8, 0}));
            before = first.getProtocol(ids[0]);
        }
        {
            // On disk before each operation returned. The stored flags were wrong both ways;
            // only the empty method keeps its own.
            ProtocolLibrary second;
            QCOMPARE(listing(second), (QStringList{"Broken |  | 1 | errors", "Empty |  | 0", "Gone |  | 0 | errors", described,
                                                   name + " (Copy 1) | Line 1\nLine 2, with commas | 5"}));
            for (const char *key : {"id", "name", "description", "created", "modified"})
                QCOMPARE(second.getProtocol(ids[0]).value(key), before.value(key));
            QCOMPARE(stepsOf(second, ids[0]) + stepsOf(second, ids[1]), Valid + Invalid);
            QVERIFY(second.deleteProtocol(ids[3]));
        }
        {
            // A library that read the store exactly writes only what changed.
            ProtocolLibrary third;
            QVERIFY(third.deleteProtocol(ids[1]));
            QVERIFY(third.saveProtocol(ids[2], QStringLiteral("Empty"), QStringLiteral("new"), steps(Invalid), true));
        }
        // In creation order; the elements after the deleted one moved up and nothing of it is left.
        QSettings settings = store();
        settings.beginGroup(QStringLiteral("protocolLibrary"));
        QCOMPARE((settings.childGroups() << settings.value("size").toString() << settings.value("2/id").toString()
                                         << settings.value("2/description").toString()),
                 (QStringList{"1", "2", "3", "3", ids[2], "new"}));
        ProtocolLibrary mine;
        QCOMPARE(stepsOf(mine, ids[2]), Invalid);
        {
            ProtocolLibrary other;
            QVERIFY(other.deleteProtocol(ids[2]) && other.renameProtocol(ids[0], QStringLiteral("Other's")));
        }
        // The last writer's library is what the store holds, not a mix of both.
        QVERIFY(mine.renameProtocol(ids[0], QStringLiteral("Mine")));
        QCOMPARE(listing(ProtocolLibrary()), (QStringList{"Empty | new | 1 | errors", "Mine | Line 1\nLine 2, with commas | 5",
                                                          name + " (Copy 1) | Line 1\nLine 2, with commas | 5"}));
    }

    void oldLayoutsAreRead_data()
    {
        QTest::addColumn<bool>("stepsAsJson");
        QTest::newRow("list of maps") << false;
        QTest::newRow("JSON text") << true;
    }

    void oldLayoutsAreRead()
    {
        // Steps as a list of maps, the form every version reads, or as the JSON text one
        // version wrote; date-times as the settings store's own values. The stored error flag
        // is only believed for a method without steps.
        QFETCH(bool, stepsAsJson);
        const QDateTime created(QDate(2024, 5, 6), QTime(7, 8, 9, 10));
        const QList<std::pair<QString, QVariant>> methods{
            {Valid, true}, {Invalid, false}, {Invalid, {}}, {"", false}, {"", {}}, {"", " False "}, {"", "1"}, {"", "maybe"}};
        {
            QSettings settings = store();
            settings.beginWriteArray(QStringLiteral("protocolLibrary"));
            for (int i = 0; i < methods.size(); ++i) {
                settings.setArrayIndex(i);
                const QVariantList maps = steps(methods[i].first);
                settings.setValue("id", QString::number(i));
                settings.setValue("name", QStringLiteral("Old %1").arg(i));
                settings.setValue("description", QStringLiteral("about %1").arg(i));
                settings.setValue("created", created);
                settings.setValue("modified", created.addDays(3));
                settings.setValue("commands", stepsAsJson ? QVariant(QString::fromUtf8(QJsonDocument(QJsonArray::fromVariantList(maps)).toJson()))
                                                          : QVariant(maps));
                if (methods[i].second.isValid())
                    settings.setValue("hasErrors", methods[i].second);
            }
            settings.endArray();
        }
        const QStringList expected{"Old 0 | about 0 | 5", "Old 1 | about 1 | 1 | errors", "Old 2 | about 2 | 1 | errors",
                                   "Old 3 | about 3 | 0", "Old 4 | about 4 | 0 | errors", "Old 5 | about 5 | 0",
                                   "Old 6 | about 6 | 0 | errors", "Old 7 | about 7 | 0 | errors"};
        // A save journal that cannot be read is passed over for the array.
        store().setValue(QStringLiteral("protocolLibraryJournal"), QStringLiteral("[{\"id\":"));
        {
            ProtocolLibrary library;
            QCOMPARE(listing(library), expected);
            QVERIFY(library.getProtocol("0")["created"].toDateTime() == created && stepsOf(library, "0") == Valid);
            QVERIFY(library.deleteProtocol(library.createProtocol(QStringLiteral("New"))));
        }
        // Written back in the form every version reads.
        ProtocolLibrary reread;
        QVERIFY(listing(reread) == expected && stepsOf(reread, "1") == Invalid);
        QCOMPARE(store().value("protocolLibrary/1/commands").userType(), int(QMetaType::QVariantList));
    }

    void refusedOperationsChangeNothing()
    {
        const QString taken = QStringLiteral("A method named \"%1\" already exists");
        const QStringList cases[] = {{"save", "Rinse", "WASH", taken.arg("WASH")}, {"rename", "Rinse", "wash", taken.arg("wash")},
                                     {"rename", "Rinse", "   ", "Method name cannot be empty"},
                                     {"rename", "", "", "Method name cannot be empty"}, // refused before the id is looked up
                                     {"save", "", "X", "Method not found: no-such-id"}, {"delete", "", "X", "Method not found: no-such-id"},
                                     {"rename", "", "X", "Method not found: no-such-id"},
                                     {"duplicate", "", "X", "Method not found: no-such-id"}};
        for (const QStringList &c : cases) {
            m_env.reset(); // each case in a fresh folder
            m_env = std::make_unique<IsolatedEnvironment>();
            ProtocolLibrary library;
            library.createProtocol(QStringLiteral("Wash"));
            const QString id = c[1].isEmpty() ? QStringLiteral("no-such-id") : library.createProtocol(c[1]);
            const QVariantList before = library.getAllProtocols();
            QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
            QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);
            QVERIFY(c[0] == "save"     ? !library.saveProtocol(id, c[2], QString(), steps(Valid))
                    : c[0] == "delete" ? !library.deleteProtocol(id)
                    : c[0] == "rename" ? !library.renameProtocol(id, c[2])
                                       : library.duplicateProtocol(id).isEmpty());
            QCOMPARE(messages(errors), QStringList{c[3]});
            QVERIFY(changed.isEmpty() && library.getAllProtocols() == before && ProtocolLibrary().getAllProtocols() == before);
        }
    }

    void generatedNames()
    {
        ProtocolLibrary library;
        const QString wash = library.createProtocol(QStringLiteral("Wash"));
        const QString rinse = library.createProtocol(QStringLiteral("Rinse"));
        // A method's own name in another case, or with a blank more, is free.
        QVERIFY(library.saveProtocol(rinse, QStringLiteral("RINSE"), QStringLiteral("desc"), steps(Valid), true)
                && library.renameProtocol(rinse, QStringLiteral("rinse")));
        QVERIFY(library.renameProtocol(wash, QStringLiteral(" Wash ")) && library.renameProtocol(wash, QStringLiteral("Wash")));

        // Copies keep everything but the id and the times; a gap is filled, whatever the case.
        const QString first = library.duplicateProtocol(rinse);
        QCOMPARE(library.getProtocol(first)["commands"], library.getProtocol(rinse)["commands"]);
        QVERIFY(library.getProtocol(first)["created"].toDateTime() >= library.getProtocol(rinse)["modified"].toDateTime());
        QVERIFY(!library.duplicateProtocol(rinse).isEmpty() && !library.duplicateProtocol(first).isEmpty());
        QVERIFY(library.renameProtocol(first, QStringLiteral("RINSE (COPY 3)")) && !library.duplicateProtocol(rinse).isEmpty()
                && !library.duplicateProtocol(rinse).isEmpty());
        QCOMPARE(listing(library), (QStringList{"rinse | desc | 5 | errors", "rinse (Copy 1) | desc | 5 | errors",
                                                "rinse (Copy 1) (Copy 1) | desc | 5 | errors", "rinse (Copy 2) | desc | 5 | errors",
                                                "RINSE (COPY 3) | desc | 5 | errors", "rinse (Copy 4) | desc | 5 | errors",
                                                "Wash |  | 0 | errors"}));

        // The method an instrument file was made from: the first made, whatever the case.
        QStringList ids, found;
        for (const char *name : {"wash plate", "run.csv", "Mix A", "MIX A"})
            ids << library.createProtocol(QString::fromLatin1(name));
        for (const char *name : {"Wash_plate.CSV", "WASH_PLATE", "run.csv.csv", "Wash_plate.spl", "mix_a", "nothing.csv"})
            found << library.findProtocolIdByFilename(QString::fromLatin1(name));
        QCOMPARE(found, (QStringList{ids[0], ids[0], ids[1], "", ids[2], ""}));
    }

    void splFiles()
    {
        ProtocolLibrary library;
        const QString name = QStringLiteral("Verdünnung 5 µL é");
        const QString id = library.createProtocol(name);
        QVERIFY(library.saveProtocol(id, name, QStringLiteral("kept out of SPL"), steps(Valid)));
        QCOMPARE(library.exportToSpl(id), QStringLiteral("protocol name: ") + name + QStringLiteral("\n\n") + Valid);
        QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
        QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);

        // A file that cannot be read adds nothing, with one sentence that says why.
        const QString dir = m_env->tempDir();
        QVERIFY(QDir().mkpath(dir + "/folder.spl"));
        writeFile(dir + "/bad.spl", "protocol name: X\n\ntipselect tip:small\nAspirate tip:small\n");
        for (const char *file : {"missing.spl", "folder.spl", "bad.spl"})
            QCOMPARE(library.importFromSplFile(dir + '/' + file), QString());
        QCOMPARE(changed.count(), 0);

        // Exported as UTF-8 whatever the system's encoding, through a file URL too, replacing
        // what was there; read back, also with a byte-order mark and Windows line ends.
        const QString path = dir + QStringLiteral("/out é.spl");
        writeFile(path, "earlier");
        QVERIFY(library.exportProtocolToFile(id, QUrl::fromLocalFile(path).toString()));
        const QByteArray bytes = readFile(path);
        QVERIFY(bytes.startsWith("protocol name: Verd\xC3\xBCnnung 5 \xC2\xB5L \xC3\xA9\n\n"));
        QCOMPARE(QString::fromUtf8(bytes), library.exportToSpl(id));
        writeFile(dir + "/windows.spl", "\xEF\xBB\xBF" + QByteArray(bytes).replace("\n", "\r\n"));
        // Without a name in the file, the file's; line ends of old Mac tools; control characters.
        const QList<QPair<QString, QByteArray>> files{
            {"Plate.run.spl", "protocol name:\n\npurge tip:small speed:5\n"}, {"Empty.spl", ""},
            {"mac.spl", "protocol name: Old\tMac\x1b\r\r" + Invalid.toUtf8().replace('\n', '\r')}, {"Tab\there.spl", "\n"}, {".spl", "\n\n"}};
        QStringList imported{library.importFromSplFile(path), library.importFromSplFile(dir + "/windows.spl")};
        for (const auto &each : files) {
            writeFile(dir + '/' + each.first, each.second);
            imported << library.importFromSplFile(dir + '/' + each.first);
        }
        QCOMPARE(stepsOf(library, imported[1]) + stepsOf(library, imported[4]), Valid + Invalid);
        QCOMPARE(listing(library), (QStringList{"Empty |  | 0 | errors", "Imported Protocol |  | 0 | errors", "Old Mac |  | 1 | errors",
                                                "Plate.run |  | 1 | errors", "Tab here |  | 0 | errors", name + " | kept out of SPL | 5",
                                                name + " (imported 3) |  | 5", name + " (imported) |  | 5"}));

        // A folder that cannot be written to; a method that does not exist.
        const QString nowhere = dir + QStringLiteral("/no/such/folder/x.spl");
        QVERIFY(!library.exportProtocolToFile(id, nowhere) && !library.exportProtocolToFile("no-such-id", dir + "/x.spl")
                && !QFile::exists(dir + "/x.spl"));
        QCOMPARE(messages(errors), (QStringList{"Could not open file: missing.spl", "Could not open file: folder.spl",
                                                "Could not import protocol: Error at line 4: Unknown command type: Aspirate",
                                                "Failed to open file: " + nowhere}));
    }

    void damagedStore_data()
    {
        QTest::addColumn<QByteArray>("ini");
        // The listing afterwards: every method the store holds a name and an id for, and none
        // whose steps are lost passes for a method without errors, whatever its stored flag.
        QTest::addColumn<QStringList>("methods");
        // Keys whose values the settings layer could not decode safely: they are moved aside.
        QTest::addColumn<QStringList>("setAside");

        const QByteArray json = QJsonDocument(QJsonArray::fromVariantList(steps(Valid))).toJson(QJsonDocument::Compact);
        const QByteArray good = "[protocolLibrary]\n1\\id=g1\n1\\name=Good\n1\\commands=\""
                                + QByteArray(json).replace('\\', "\\\\").replace('"', "\\\"") + "\"\n";
        const QString goodLine = QStringLiteral("Good |  | 5");
        const QString lost = QStringLiteral(" |  | 0 | errors");
        const QByteArray int5 = "@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)";
        QTest::newRow("wrong types")
            << good + "2\\id=w2\n2\\name=a, b\n2\\commands=[]\n3\\id=w3\n3\\name=Ints\n3\\commands=" + int5
                   + "\n3\\hasErrors=false\n4\\id=w4\n4\\name=Map steps\n4\\commands=\"{\\\"type\\\":\\\"aspirate\\\"}\"\n"
                     "5\\id=w5\n5\\name=Odd fields\n5\\description=x, y\n5\\created=yesterday\n5\\modified=" + int5
                   + "\n5\\hasErrors=" + int5 + "\n6\\id=" + int5 + "\n6\\name=Int id\n7\\id=w7\n7\\name=@Variant(\\0\\0\\0\\x8\\0\\0\\0\\0)\n"
                     "size=7\n"
            << QStringList{"a, b" + lost, goodLine, "Int id" + lost, "Ints" + lost, "Map steps" + lost, "Odd fields | x, y | 0 | errors"}
            << QStringList();
        QTest::newRow("missing keys") << good + "2\\name=No id\n3\\id=m3\n4\\id=m4\n4\\name=No steps\n5\\id=\n5\\name=Empty id\n"
                                                "6\\id=m6\n6\\name=\"\"\nsize=6\n"
                                      << QStringList{goodLine, "No steps" + lost} << QStringList();
        QTest::newRow("no size, gaps and stray groups")
            << "[protocolLibrary]\n7\\id=m7\n7\\name=Seventh\n" + good.mid(18) + "x\\id=mx\nx\\name=Stray\n01\\id=m01\n01\\name=Padded\n"
            << QStringList{goodLine, "Seventh" + lost} << QStringList();
        QTest::newRow("a size of two billion") << good + "size=2000000000\n" << QStringList{goodLine} << QStringList();
        QTest::newRow("steps that are not JSON")
            << good + "2\\id=j\n2\\name=Cut\n2\\description=kept\n2\\hasErrors=false\n2\\commands=\"[{\\\"ty\"\n"
            << QStringList{"Cut | kept | 0 | errors", goodLine} << QStringList();
        QTest::newRow("steps nested beyond any parser") << good + "2\\id=d\n2\\name=Deep\n2\\commands=" + QByteArray(100000, '[') + "\n"
                                                        << QStringList{"Deep" + lost, goodLine} << QStringList();
        QTest::newRow("a huge entry")
            << good + "2\\id=h\n2\\name=Huge\n2\\commands=\"[" + QByteArray(20 * 1024 * 1024, ' ') + "]\"\n3\\id=n\n3\\name="
                   + QByteArray(100000, 'n') + "\n"
            << QStringList{goodLine, "Huge" + lost, QString(100000, QLatin1Char('n')) + lost} << QStringList();
        // Values the settings layer's own decoder would trust to the end of the program.
        QTest::newRow("a list claiming two billion steps")
            << good + "2\\id=b\n2\\name=Bomb\n2\\description=kept\n2\\commands=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n"
            << QStringList{"Bomb | kept | 0 | errors", goodLine} << QStringList{"2\\commands"};
        QTest::newRow("lists nested past any stack")
            << good + "2\\id=n\n2\\name=Nest\n2\\commands=@Variant(" + QByteArray("\\0\\0\\0\\t\\0\\0\\0\\x1").repeated(100000)
                   + "\\0\\0\\0\\x2\\0\\0\\0\\0)\n[pairedDevices]\n1\\name=@Variant(\\0\\0\\0\\xb\\x7f\\xff\\xff\\0)\n"
            << QStringList{goodLine, "Nest" + lost} << QStringList{"2\\commands", "1\\name"};
        QTest::newRow("the same id twice") << good + "2\\id=g1\n2\\name=Twin\n" << QStringList{goodLine, "Twin" + lost} << QStringList();
        QTest::newRow("not an ini file at all") << QByteArray("\x00\x01\xff\xfe{[protocolLibrary]]]\n=\n\\\\\n", 27)
                                                << QStringList() << QStringList();
    }

    void damagedStore()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, methods);
        QFETCH(QStringList, setAside);
        writeFile(store().fileName(), ini);
        QStringList ids;
        {
            ProtocolLibrary library;
            QCOMPARE(listing(library), methods);
            for (const QVariant &entry : library.getAllProtocols())
                ids << entry.toMap()["id"].toString();
            QVERIFY(QSet<QString>(ids.begin(), ids.end()).size() == methods.size() && !ids.contains(QString()));
            if (methods.contains(QStringLiteral("Good |  | 5")))
                QCOMPARE(stepsOf(library, QStringLiteral("g1")), Valid);
            // The next save keeps everything the library could read, under the same ids.
            QVERIFY(library.saveProtocol(library.createProtocol(QStringLiteral("After")), QStringLiteral("After"), QString(), {}));
        }
        ProtocolLibrary reread;
        QCOMPARE(listing(reread).filter(QRegularExpression("^(?!After )")), methods);
        for (const QString &id : qAsConst(ids))
            QVERIFY(reread.protocolExists(id));
        // Nothing is lost for good: what was moved aside is kept beside the store.
        const QByteArray aside = readFile(store().fileName() + QStringLiteral(".damaged"));
        QCOMPARE(aside.isEmpty(), setAside.isEmpty());
        for (const QString &key : qAsConst(setAside))
            QVERIFY2(aside.contains("\n" + key.toUtf8() + "=@Variant("), qPrintable(key));
    }

    void smallValuesAreStorable()
    {
        // The check's per-entry floor must not refuse what the settings layer writes: empty
        // strings are the shortest entries a list can hold.
        QVERIFY(SettingsFileCheck::isStorable(QStringList{QString(), QString(), QString()}));
        QVERIFY(SettingsFileCheck::isStorable(QVariantList{QVariantMap{{QStringLiteral("k"), QStringList{QString()}}}}));
    }

    void sizeLimitAgreesWithTheReader()
    {
        // Purges with long tip texts make a stored form of many megabytes from few steps.
        const QString tip = QString(2000, QLatin1Char('t'));
        const auto purges = [&](int count) {
            QVariantList maps;
            while (maps.size() < count)
                maps << QVariantMap{{"type", "purge"}, {"tip", tip}, {"speed", 5}};
            return maps;
        };
        const auto storedSize = [](const QVariantList &maps) {
            QByteArray bytes;
            QDataStream out(&bytes, QIODevice::WriteOnly);
            out.setVersion(QDataStream::Qt_4_0);
            out << QVariant(maps);
            return bytes.size();
        };
        const int fits = (SettingsFileCheck::MaxValueBytes - storedSize({})) / (storedSize(purges(2)) - storedSize(purges(1)));
        QVERIFY(storedSize(purges(fits)) <= SettingsFileCheck::MaxValueBytes && storedSize(purges(fits + 1)) > SettingsFileCheck::MaxValueBytes);
        QString big, small;
        {
            ProtocolLibrary library;
            big = library.createProtocol(QStringLiteral("Big"));
            small = library.createProtocol(QStringLiteral("Small"));
            QVERIFY(library.saveProtocol(big, QStringLiteral("Big"), QStringLiteral("before"), steps(Valid)));
            QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
            QVERIFY(!library.saveProtocol(big, QStringLiteral("Big"), QString(), purges(fits + 1)));
            QVERIFY(library.saveProtocol(small, QStringLiteral("Small"), QString(), purges(fits)));
            // The same method from a file is refused before anything is added.
            const QString file = m_env->tempDir() + QStringLiteral("/big.spl");
            writeFile(file, "protocol name: Big file\n" + QStringLiteral("purge tip:%1 speed:5\n").arg(tip).repeated(fits + 1).toUtf8());
            QVERIFY(library.importFromSplFile(file).isEmpty() && library.protocolCount() == 2);
            QCOMPARE(messages(errors), (QStringList{"The method \"Big\" is too large to keep in the library",
                                                    "Could not import protocol: the method is too large to keep in the library"}));
        }
        // What the library took, it reads back whole; what it refused left the earlier steps.
        ProtocolLibrary reread;
        QVERIFY(stepsOf(reread, big) == Valid && reread.getProtocol(small)["commands"].toList().size() == fits);
        QVERIFY(!QFile::exists(store().fileName() + QStringLiteral(".damaged")));
    }

    void truncatedStore()
    {
        // A store of three methods, cut short at every few bytes: whatever is read must be a
        // method as it was (a name may lose its tail, being the last line of its element),
        // and every method whose lines all survived must be there, also after the next save.
        QStringList ids;
        const QStringList names{"First", "Second method", "Third"};
        {
            ProtocolLibrary library;
            for (const QString &name : names) {
                ids << library.createProtocol(name);
                QVERIFY(library.saveProtocol(ids.constLast(), name, "about " + name, steps(Valid)));
            }
        }
        const QByteArray full = readFile(store().fileName());
        QVERIFY(full.size() > 1000);
        for (int length = 0; length < full.size(); length += 37) {
            const QByteArray cut = full.left(length);
            writeFile(store().fileName(), cut);
            QStringList survivors;
            {
                ProtocolLibrary library;
                for (const QVariant &entry : library.getAllProtocols()) {
                    const QString id = entry.toMap()["id"].toString();
                    const int index = ids.indexOf(id);
                    QVERIFY2(index >= 0, qPrintable(QStringLiteral("id %1 at %2").arg(id).arg(length)));
                    QVERIFY(names.at(index).startsWith(entry.toMap()["name"].toString()));
                    QCOMPARE(stepsOf(library, id), Valid);
                    survivors << id;
                }
                for (int index = 0; index < ids.size(); ++index) {
                    // The element's last line (its name) is whole: every line of it is.
                    if (cut.contains(QByteArray::number(index + 1) + "\\name=" + names.at(index).toUtf8() + "\n"))
                        QVERIFY2(survivors.contains(ids.at(index)), qPrintable(QStringLiteral("%1 lost at %2").arg(index).arg(length)));
                }
                library.createProtocol(QStringLiteral("After %1").arg(length));
            }
            ProtocolLibrary reread;
            for (const QString &id : qAsConst(survivors))
                QVERIFY(reread.protocolExists(id));
        }
    }

    void failedSaveChangesNothing_data()
    {
        QTest::addColumn<bool>("journaled");
        // Which write of a save fails: all of them, or, counted from the first, the journal,
        // the array, then the journal's removal.
        QTest::addColumn<int>("failingWrite");
        QTest::newRow("settings file replaced whole, no write") << false << 0;
        QTest::newRow("journaled, no write") << true << 0;
        QTest::newRow("settings file replaced whole, cut short") << false << 1;
        QTest::newRow("journaled, the journal") << true << 1;
        QTest::newRow("journaled, the array") << true << 2;
        QTest::newRow("journaled, the journal's removal") << true << 3;
    }

    void failedSaveChangesNothing()
    {
        QFETCH(bool, journaled);
        QFETCH(int, failingWrite);
        QString keep, other;
        {
            ProtocolLibrary library;
            keep = library.createProtocol(QStringLiteral("Keep"));
            QVERIFY(library.saveProtocol(keep, QStringLiteral("Keep"), QStringLiteral("d"), steps(Valid)));
            other = library.createProtocol(QStringLiteral("Other"));
        }
        const QByteArray before = readFile(store().fileName());
        FlakyStoreLibrary library;
        library.setJournaledSaves(journaled);
        const QVariantList shown = library.getAllProtocols();
        QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
        QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);
        if (failingWrite > 0) {
            library.failingWrite = failingWrite;
            QVERIFY(!library.saveProtocol(keep, QStringLiteral("Rejected"), QString(), steps(Invalid)));
            // The store can be written again at once, and holds what it held before.
            QCOMPARE(readFile(store().fileName()), before);
        } else {
            blockStore(true);
            QVERIFY(library.createProtocol(QStringLiteral("New")).isEmpty() && library.duplicateProtocol(keep).isEmpty());
            QVERIFY(!library.saveProtocol(keep, QStringLiteral("Keep"), QString(), steps(Invalid)));
            QVERIFY(!library.renameProtocol(keep, QStringLiteral("Renamed")) && !library.deleteProtocol(other));
            // One failure, one sentence: the interface opens a dialog for each.
            const QString file = m_env->tempDir() + QStringLiteral("/in.spl");
            writeFile(file, "protocol name: In\n\npurge tip:small speed:5\n");
            QCOMPARE(library.importFromSplFile(file), QString());
            QCOMPARE(errors.takeLast().at(0).toString(), QStringLiteral("Could not create the imported protocol."));
            blockStore(false);
        }
        for (const QList<QVariant> &signal : qAsConst(errors))
            QCOMPARE(signal.at(0).toString(), QStringLiteral("Could not save the method library"));
        QVERIFY(errors.count() == (failingWrite > 0 ? 1 : 5) && changed.isEmpty());
        QCOMPARE(library.getAllProtocols(), shown);
        // Nor does anything left in the process reach the store later, or the next start revive it.
        store().setValue(QStringLiteral("pairedDevices/size"), 0);
        QCOMPARE(ProtocolLibrary().getAllProtocols(), shown);
        // And the library saves again once it can, journal and all.
        QVERIFY(library.renameProtocol(keep, QStringLiteral("Renamed")) && !library.duplicateProtocol(other).isEmpty());
        QVERIFY(!store().contains(QStringLiteral("protocolLibraryJournal")));
        ProtocolLibrary reread;
        QCOMPARE(listing(reread), (QStringList{"Other |  | 0 | errors", "Other (Copy 1) |  | 0 | errors", "Renamed | d | 5"}));
        QCOMPARE(stepsOf(reread, keep), Valid);
    }

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};


NERRA_TEST_MAIN(TestProtocolLibrary)
#include "tst_protocollibrary.moc"
