#include "model/commands.h"
#include "splmethod.h"
#include "storage/protocollibrary.h"
#include "storage/settingsfilecheck.h"
#include "testmain.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <memory>

namespace {

const QString Organization = QStringLiteral("Vellora");
const QString Application = QStringLiteral("NerraDesktop");

// Both as the SPL writer prints them, so that an export can be compared with them as text.
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

// The steps a method holds, as SPL lines.
QString stepsOf(const ProtocolLibrary &library, const QString &id)
{
    const QString spl = library.exportToSpl(id);
    return spl.mid(spl.indexOf(QLatin1String("\n\n")) + 2);
}

QString storePath()
{
    return QSettings(Organization, Application).fileName();
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
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QStringList namesOf(const ProtocolLibrary &library)
{
    QStringList names;
    for (const QVariant &entry : library.getAllProtocols())
        names << entry.toMap().value(QStringLiteral("name")).toString();
    return names;
}

QVariantMap entryOf(const ProtocolLibrary &library, const QString &id)
{
    for (const QVariant &entry : library.getAllProtocols()) {
        if (entry.toMap().value(QStringLiteral("id")) == id)
            return entry.toMap();
    }
    return {};
}

QString nameOf(const ProtocolLibrary &library, const QString &id)
{
    return library.getProtocol(id).value(QStringLiteral("name")).toString();
}

QString lastMessage(const QSignalSpy &spy)
{
    return spy.isEmpty() ? QString() : spy.constLast().at(0).toString();
}

// The store cannot be replaced while a folder stands in its place, as with a full disk
// or a file another program holds.
void blockStore(bool blocked)
{
    const QString path = storePath();
    if (blocked ? !(QFile::rename(path, path + ".aside") && QDir().mkdir(path))
                : !(QDir().rmdir(path) && QFile::rename(path + ".aside", path)))
        qFatal("cannot move the store %s", blocked ? "aside" : "back");
}

// Makes one write of the store fail part-way through a save.
class FlakyStoreLibrary : public ProtocolLibrary
{
public:
    int failingWrite = 0; // counted from when it is set; 0 fails none

protected:
    bool syncStore(QSettings &settings) override
    {
        const bool fail = failingWrite > 0 && ++m_writes == failingWrite;
        if (fail)
            blockStore(true);
        const bool written = ProtocolLibrary::syncStore(settings);
        if (fail)
            blockStore(false);
        return written;
    }

private:
    int m_writes = 0;
};

} // namespace

class TestProtocolLibrary : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void everyChangeIsStoredAtOnce();
    void survivesRestart();
    void oldLayoutsAreRead_data();
    void oldLayoutsAreRead();
    void hasErrorsRecomputedOnLoad_data();
    void hasErrorsRecomputedOnLoad();
    void savesAfterRestartLeaveNoTrace();
    void refusedOperationsChangeNothing_data();
    void refusedOperationsChangeNothing();
    void generatedNames();
    void splFiles();
    void importFailures_data();
    void importFailures();
    void damagedStore_data();
    void damagedStore();
    void sizeLimitAgreesWithTheReader_data();
    void sizeLimitAgreesWithTheReader();
    void truncatedStore();
    void failedSaveChangesNothing_data();
    void failedSaveChangesNothing();
    void saveFailingPartWayLeavesTheStore_data();
    void saveFailingPartWayLeavesTheStore();
    void interruptedJournaledSaveIsCompleted();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestProtocolLibrary::everyChangeIsStoredAtOnce()
{
    ProtocolLibrary library;
    QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);
    QSignalSpy counted(&library, &ProtocolLibrary::protocolCountChanged);
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);

    const QString id = library.createProtocol(QStringLiteral(" Wash plate "));
    QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$").match(id).hasMatch());
    const QVariantMap entry = entryOf(library, id);
    QCOMPARE(QStringList(entry.keys()),
             (QStringList{"commandCount", "created", "description", "hasErrors", "id", "modified", "name"}));
    QCOMPARE(entry.value("name").toString(), QStringLiteral(" Wash plate "));
    QCOMPARE(entry.value("commandCount").toInt(), 0);
    QCOMPARE(entry.value("hasErrors").toBool(), true);
    QVERIFY(entry.value("created").toDateTime().isValid());
    QCOMPARE(entry.value("created"), entry.value("modified"));
    QCOMPARE(QStringList(library.getProtocol(id).keys()),
             (QStringList{"commands", "created", "description", "id", "modified", "name"}));
    QCOMPARE(library.property("protocols").toList(), library.getAllProtocols());
    QVERIFY(library.protocolExists(id) && !library.protocolExists(QStringLiteral("other")));

    QVERIFY(library.saveProtocol(id, QStringLiteral("A"), QStringLiteral("d"), steps(Valid)));
    QCOMPARE(entryOf(library, id).value("commandCount").toInt(), 5);
    QTRY_VERIFY(QDateTime::currentDateTime() > entryOf(library, id).value("modified").toDateTime());
    QVERIFY(library.renameProtocol(id, QStringLiteral("B")));
    QVERIFY(entryOf(library, id).value("modified").toDateTime() > entryOf(library, id).value("created").toDateTime());
    const QString copy = library.duplicateProtocol(id);
    QVERIFY(library.deleteProtocol(id));
    QCOMPARE(changed.count(), 5);
    QCOMPARE(counted.count(), 3);
    QCOMPARE(errors.count(), 0);

    // Listed by name without regard to case; a change is seen by the next listing.
    for (const char *name : {"gamma", "Beta", "alpha", "Alpha 2", "beta 1"})
        library.createProtocol(QString::fromLatin1(name));
    QCOMPARE(namesOf(library), (QStringList{"alpha", "Alpha 2", "B (Copy 1)", "Beta", "beta 1", "gamma"}));
    QCOMPARE(library.protocolCount(), 6);

    // On disk before each operation returned, in the settings store's own array layout.
    ProtocolLibrary reread;
    QCOMPARE(namesOf(reread), namesOf(library));
    QCOMPARE(stepsOf(reread, copy), Valid);
    QCOMPARE(reread.getProtocol(copy).value("description").toString(), QStringLiteral("d"));
    QSettings settings(Organization, Application);
    QCOMPARE(settings.beginReadArray(QStringLiteral("protocolLibrary")), 6);
    settings.setArrayIndex(0);
    QCOMPARE(settings.value(QStringLiteral("id")).toString(), copy);
}

void TestProtocolLibrary::survivesRestart()
{
    const QString name = QStringLiteral("Verdünnung 5 µL, \"rasch\" = 1; é [x]\\y");
    QString valid, invalid, empty, placeholder;
    QVariantMap before;
    {
        ProtocolLibrary first;
        valid = first.createProtocol(name);
        invalid = first.createProtocol(QStringLiteral("Broken"));
        empty = first.createProtocol(QStringLiteral("Empty"));
        // "+ New Protocol" keeps an unnamed placeholder until the user types a name.
        placeholder = first.createProtocol(QString());
        QVERIFY(first.saveProtocol(valid, name, QStringLiteral("Line 1\nLine 2, with commas"), steps(Valid), true));
        QVERIFY(first.saveProtocol(invalid, QStringLiteral("Broken"), QString(), steps(Invalid), false));
        QVERIFY(first.saveProtocol(empty, QStringLiteral("Empty"), QString(), {}, false));
        QVERIFY(first.saveProtocol(placeholder, QString(), QString(), steps(Valid)));
        QCOMPARE(first.protocolCount(), 4);
        before = first.getProtocol(valid);
    }
    ProtocolLibrary second;
    QCOMPARE(namesOf(second), (QStringList{"Broken", "Empty", name}));
    const QVariantMap after = second.getProtocol(valid);
    for (const char *key : {"id", "name", "description", "created", "modified"})
        QCOMPARE(after.value(key), before.value(key));
    QCOMPARE(stepsOf(second, valid), Valid);
    QCOMPARE(stepsOf(second, invalid), Invalid);
    // The stored flags were wrong both ways; only the empty method keeps its own.
    QCOMPARE(entryOf(second, valid).value("hasErrors").toBool(), false);
    QCOMPARE(entryOf(second, invalid).value("hasErrors").toBool(), true);
    QCOMPARE(entryOf(second, empty).value("hasErrors").toBool(), false);
    // In creation order, as stored.
    QSettings settings(Organization, Application);
    settings.beginReadArray(QStringLiteral("protocolLibrary"));
    settings.setArrayIndex(2);
    QCOMPARE(settings.value(QStringLiteral("id")).toString(), empty);
}

void TestProtocolLibrary::oldLayoutsAreRead_data()
{
    QTest::addColumn<bool>("stepsAsJson");
    QTest::newRow("list of maps") << false;
    QTest::newRow("JSON text") << true;
}

void TestProtocolLibrary::oldLayoutsAreRead()
{
    // Steps as a list of maps, the form every version reads, or as the JSON text one
    // version wrote; date-times as the settings store's own values.
    QFETCH(bool, stepsAsJson);
    const QDateTime created(QDate(2024, 5, 6), QTime(7, 8, 9, 10));
    const QStringList texts{Valid, Invalid};
    {
        QSettings settings(Organization, Application);
        settings.beginWriteArray(QStringLiteral("protocolLibrary"));
        for (int i = 0; i < texts.size(); ++i) {
            settings.setArrayIndex(i);
            const QVariantList maps = steps(texts.at(i));
            settings.setValue("id", QStringLiteral("old%1").arg(i));
            settings.setValue("name", QStringLiteral("Old %1").arg(i));
            settings.setValue("description", QStringLiteral("about %1").arg(i));
            settings.setValue("created", created);
            settings.setValue("modified", created.addDays(3));
            settings.setValue("commands", stepsAsJson ? QVariant(QString::fromUtf8(QJsonDocument(
                                                            QJsonArray::fromVariantList(maps)).toJson()))
                                                      : QVariant(maps));
            settings.setValue("hasErrors", i == 0);
        }
        settings.endArray();
    }
    const auto check = [&](const ProtocolLibrary &library) {
        QCOMPARE(library.protocolCount(), texts.size());
        for (int i = 0; i < texts.size(); ++i) {
            const QString id = QStringLiteral("old%1").arg(i);
            QCOMPARE(library.getProtocol(id).value("description").toString(), QStringLiteral("about %1").arg(i));
            QCOMPARE(library.getProtocol(id).value("created").toDateTime(), created);
            QCOMPARE(stepsOf(library, id), texts.at(i));
            QCOMPARE(entryOf(library, id).value("hasErrors").toBool(), i == 1);
        }
    };
    {
        ProtocolLibrary library;
        check(library);
        QVERIFY(library.deleteProtocol(library.createProtocol(QStringLiteral("New"))));
    }
    ProtocolLibrary reread;
    check(reread);
    // Written back in the form every version reads.
    QSettings settings(Organization, Application);
    for (int i = 1; i <= texts.size(); ++i)
        QCOMPARE(settings.value(QStringLiteral("protocolLibrary/%1/commands").arg(i)).userType(), int(QMetaType::QVariantList));
}

void TestProtocolLibrary::hasErrorsRecomputedOnLoad_data()
{
    QTest::addColumn<QString>("spl");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("expected");
    QTest::newRow("valid steps, stale flag") << Valid << QVariant(true) << false;
    QTest::newRow("invalid steps, stale flag") << Invalid << QVariant(false) << true;
    QTest::newRow("invalid steps, no flag") << Invalid << QVariant() << true;
    QTest::newRow("no steps, flag kept") << QString() << QVariant(false) << false;
    QTest::newRow("no steps, no flag") << QString() << QVariant() << true;
    QTest::newRow("no steps, flag as text") << QString() << QVariant(QStringLiteral(" False ")) << false;
    QTest::newRow("no steps, flag as a number") << QString() << QVariant(0) << false;
    QTest::newRow("no steps, flag garbage") << QString() << QVariant(QStringLiteral("maybe")) << true;
}

void TestProtocolLibrary::hasErrorsRecomputedOnLoad()
{
    QFETCH(QString, spl);
    QFETCH(QVariant, stored);
    QFETCH(bool, expected);
    {
        QSettings settings(Organization, Application);
        settings.setValue("protocolLibrary/1/id", "m1");
        settings.setValue("protocolLibrary/1/name", "Method");
        settings.setValue("protocolLibrary/1/commands", steps(spl));
        if (stored.isValid())
            settings.setValue("protocolLibrary/1/hasErrors", stored);
    }
    ProtocolLibrary library;
    QCOMPARE(entryOf(library, "m1").value("hasErrors").toBool(), expected);
    QCOMPARE(stepsOf(library, "m1"), spl);
}

void TestProtocolLibrary::savesAfterRestartLeaveNoTrace()
{
    QStringList ids;
    {
        ProtocolLibrary first;
        for (const char *name : {"One", "Two", "Three"}) {
            ids << first.createProtocol(QString::fromLatin1(name));
            QVERIFY(first.saveProtocol(ids.constLast(), QString::fromLatin1(name), QString(), steps(Valid), false));
        }
    }
    {
        ProtocolLibrary second;
        QVERIFY(second.deleteProtocol(ids.at(1)));
        QVERIFY(second.saveProtocol(ids.at(2), QStringLiteral("Three"), QStringLiteral("new"), steps(Invalid), true));
    }
    // The elements after the deleted one moved up, and nothing of the old third is left.
    {
        QSettings settings(Organization, Application);
        settings.beginGroup(QStringLiteral("protocolLibrary"));
        QCOMPARE(settings.childGroups(), (QStringList{"1", "2"}));
        QCOMPARE(settings.value("size").toInt(), 2);
        QCOMPARE(settings.value("2/id").toString(), ids.at(2));
        QCOMPARE(settings.value("2/description").toString(), QStringLiteral("new"));
    }
    ProtocolLibrary mine;
    QCOMPARE(stepsOf(mine, ids.at(2)), Invalid);
    {
        ProtocolLibrary other;
        QVERIFY(other.deleteProtocol(ids.at(2)));
        QVERIFY(other.renameProtocol(ids.at(0), QStringLiteral("Other's")));
    }
    // The last writer's library is what the store holds, not a mix of both.
    QVERIFY(mine.renameProtocol(ids.at(0), QStringLiteral("Mine")));
    ProtocolLibrary reread;
    QCOMPARE(namesOf(reread), (QStringList{"Mine", "Three"}));
}

void TestProtocolLibrary::refusedOperationsChangeNothing_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("known");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    const QString taken = QStringLiteral("A method named \"%1\" already exists");
    QTest::newRow("save as another's name") << "save" << true << "WASH" << taken.arg("WASH");
    QTest::newRow("rename to another's name") << "rename" << true << "wash" << taken.arg("wash");
    QTest::newRow("rename to blanks") << "rename" << true << "   " << "Method name cannot be empty";
    QTest::newRow("the empty name is refused first") << "rename" << false << "" << "Method name cannot be empty";
    for (const char *operation : {"save", "delete", "rename", "duplicate"})
        QTest::addRow("%s an unknown id", operation) << operation << false << "X" << "Method not found: no-such-id";
}

void TestProtocolLibrary::refusedOperationsChangeNothing()
{
    QFETCH(QString, operation);
    QFETCH(bool, known);
    QFETCH(QString, name);
    QFETCH(QString, message);
    ProtocolLibrary library;
    library.createProtocol(QStringLiteral("Wash"));
    const QString id = known ? library.createProtocol(QStringLiteral("Rinse")) : QStringLiteral("no-such-id");
    const QVariantList listing = library.getAllProtocols();
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
    QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);

    if (operation == QLatin1String("save"))
        QVERIFY(!library.saveProtocol(id, name, QString(), steps(Valid)));
    else if (operation == QLatin1String("delete"))
        QVERIFY(!library.deleteProtocol(id));
    else if (operation == QLatin1String("rename"))
        QVERIFY(!library.renameProtocol(id, name));
    else
        QCOMPARE(library.duplicateProtocol(id), QString());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(lastMessage(errors), message);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(library.getAllProtocols(), listing);
    ProtocolLibrary reread;
    QCOMPARE(reread.getAllProtocols(), listing);
}

void TestProtocolLibrary::generatedNames()
{
    ProtocolLibrary library;
    const QString wash = library.createProtocol(QStringLiteral("Wash"));
    const QString rinse = library.createProtocol(QStringLiteral("Rinse"));
    // A method's own name in another case, or with a blank more, is free.
    QVERIFY(library.saveProtocol(rinse, QStringLiteral("RINSE"), QStringLiteral("desc"), steps(Valid), true));
    QVERIFY(library.renameProtocol(rinse, QStringLiteral("rinse")));
    QVERIFY(library.renameProtocol(wash, QStringLiteral(" Wash ")));
    QVERIFY(library.renameProtocol(wash, QStringLiteral("Wash")));
    QVERIFY(!library.isNameAvailable(QStringLiteral("wASH")));
    QVERIFY(library.isNameAvailable(QStringLiteral("wASH"), wash));
    QVERIFY(library.isNameAvailable(QStringLiteral(" Wash")));

    const QString first = library.duplicateProtocol(rinse);
    const QString second = library.duplicateProtocol(rinse);
    QCOMPARE(nameOf(library, second), QStringLiteral("rinse (Copy 2)"));
    QCOMPARE(nameOf(library, library.duplicateProtocol(first)), QStringLiteral("rinse (Copy 1) (Copy 1)"));
    // A gap is filled, and the comparison ignores case.
    QVERIFY(library.renameProtocol(first, QStringLiteral("RINSE (COPY 3)")));
    QCOMPARE(nameOf(library, library.duplicateProtocol(rinse)), QStringLiteral("rinse (Copy 1)"));
    QCOMPARE(nameOf(library, library.duplicateProtocol(rinse)), QStringLiteral("rinse (Copy 4)"));
    const QVariantMap source = library.getProtocol(rinse);
    const QVariantMap copy = library.getProtocol(second);
    QCOMPARE(copy.value("description"), source.value("description"));
    QCOMPARE(copy.value("commands"), source.value("commands"));
    QCOMPARE(entryOf(library, second).value("hasErrors").toBool(), true);
    QVERIFY(copy.value("created").toDateTime() >= source.value("modified").toDateTime());

    // A name may hold what looks like a marker of a format; it is kept as it is.
    const QString file = m_env->tempDir() + QStringLiteral("/in.spl");
    for (const char *name : {"A%1", "Buffer 1%2 %L1 100%"}) {
        const QString marked = QString::fromUtf8(name);
        const QString id = library.createProtocol(marked);
        writeFile(file, "protocol name: " + QByteArray(name) + "\n\npurge tip:small speed:5\n");
        QStringList names;
        for (int i = 0; i < 2; ++i)
            names << nameOf(library, library.duplicateProtocol(id)) << nameOf(library, library.importFromSplFile(file));
        QCOMPARE(names, (QStringList{marked + " (Copy 1)", marked + " (imported)", marked + " (Copy 2)", marked + " (imported 3)"}));
    }

    // The method an instrument file was made from.
    const QString plate = library.createProtocol(QStringLiteral("wash plate"));
    const QString run = library.createProtocol(QStringLiteral("run.csv"));
    const QString mixA = library.createProtocol(QStringLiteral("Mix A"));
    library.createProtocol(QStringLiteral("MIX A"));
    const QList<QPair<QString, QString>> files{{"Wash_plate.CSV", plate}, {"WASH_PLATE", plate}, {"run.csv.csv", run},
                                               {"Wash_plate.spl", ""},    {"mix_a", mixA},       {"nothing.csv", ""}};
    for (const auto &file : files)
        QCOMPARE(library.findProtocolIdByFilename(file.first), file.second);
}

void TestProtocolLibrary::splFiles()
{
    ProtocolLibrary library;
    const QString name = QStringLiteral("Verdünnung 5 µL é");
    const QString id = library.createProtocol(name);
    QVERIFY(library.saveProtocol(id, name, QStringLiteral("kept out of SPL"), steps(Valid)));
    QCOMPARE(library.exportToSpl(id), QStringLiteral("protocol name: ") + name + QStringLiteral("\n\n") + Valid);

    // Exported as UTF-8 whatever the system's encoding, through a file URL too; again replaces it.
    const QString path = m_env->tempDir() + QStringLiteral("/out é.spl");
    writeFile(path, "earlier");
    QVERIFY(library.exportProtocolToFile(id, QUrl::fromLocalFile(path).toString()));
    const QByteArray bytes = readFile(path);
    QVERIFY(bytes.startsWith("protocol name: Verd\xC3\xBCnnung 5 \xC2\xB5L \xC3\xA9\n\n"));
    QCOMPARE(QString::fromUtf8(bytes), library.exportToSpl(id));

    // Read back, also with a byte-order mark and Windows line ends; names stay unique.
    const QString windows = m_env->tempDir() + QStringLiteral("/windows.spl");
    writeFile(windows, "\xEF\xBB\xBF" + QByteArray(bytes).replace("\n", "\r\n"));
    QStringList names;
    for (const QString &file : {path, windows}) {
        const QString imported = library.importFromSplFile(file);
        names << nameOf(library, imported);
        QCOMPARE(stepsOf(library, imported), Valid);
        QCOMPARE(library.getProtocol(imported).value("description").toString(), QString());
        QCOMPARE(entryOf(library, imported).value("hasErrors").toBool(), false);
    }
    QCOMPARE(names, (QStringList{name + " (imported)", name + " (imported 3)"}));

    // Without a name in the file, the file's; line ends of old Mac tools; control characters.
    const QString dir = m_env->tempDir();
    const QList<QPair<QString, QByteArray>> files{
        {"Plate.run.spl", "protocol name:\n\npurge tip:small speed:5\n"}, {"Empty.spl", ""},
        {"mac.spl", "protocol name: Old\tMac\x1b\r\r" + Invalid.toUtf8().replace('\n', '\r')},
        {"Tab\there.spl", "\n"}, {".spl", "\n\n"}};
    QStringList imported;
    for (const auto &file : files) {
        writeFile(dir + '/' + file.first, file.second);
        const QString newId = library.importFromSplFile(dir + '/' + file.first);
        imported << nameOf(library, newId) + ": " + stepsOf(library, newId)
                        + (entryOf(library, newId).value("hasErrors").toBool() ? "errors" : "");
    }
    QCOMPARE(imported, (QStringList{"Plate.run: purge tip:small speed:5\nerrors", "Empty: errors", "Old Mac: " + Invalid + "errors",
                                    "Tab here: errors", "Imported Protocol: errors"}));

    // A folder that cannot be written to.
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
    const QString nowhere = dir + QStringLiteral("/no/such/folder/x.spl");
    QVERIFY(!library.exportProtocolToFile(id, nowhere));
    QCOMPARE(lastMessage(errors), QStringLiteral("Failed to open file: ") + nowhere);
    QVERIFY(!library.exportProtocolToFile(QStringLiteral("no-such-id"), dir + QStringLiteral("/x.spl")));
    QVERIFY(!QFile::exists(dir + QStringLiteral("/x.spl")));
    QCOMPARE(errors.count(), 1);
}

void TestProtocolLibrary::importFailures_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing file") << "missing.spl" << QByteArray() << "Could not open file: missing.spl";
    QTest::newRow("a folder") << "folder.spl" << QByteArray() << "Could not open file: folder.spl";
    QTest::newRow("parse error") << "bad.spl" << QByteArray("protocol name: X\n\ntipselect tip:small\nAspirate tip:small\n")
                                 << "Could not import protocol: Error at line 4: Unknown command type: Aspirate";
    QTest::newRow("no header") << "nohead.spl" << QByteArray("# comment\nprotocol name: X\n")
                               << "Could not import protocol: SPL file must start with 'protocol name:'";
    QTest::newRow("open loop") << "loop.spl" << QByteArray("protocol name: X\nloop 2\n  aspirate tip:small vol:1.0\n")
                               << "Could not import protocol: Loop missing 'endloop'";
}

void TestProtocolLibrary::importFailures()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    const QString path = m_env->tempDir() + QLatin1Char('/') + file;
    if (file == QLatin1String("folder.spl"))
        QVERIFY(QDir().mkpath(path));
    else if (!content.isEmpty())
        writeFile(path, content);

    ProtocolLibrary library;
    library.createProtocol(QStringLiteral("X"));
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
    QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);
    QCOMPARE(library.importFromSplFile(path), QString());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(lastMessage(errors), message);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(library.protocolCount(), 1);
}

void TestProtocolLibrary::damagedStore_data()
{
    QTest::addColumn<QByteArray>("ini");
    // Names the library must show afterwards, sorted; every one of them survives a save.
    QTest::addColumn<QStringList>("names");
    // Descriptions (by name) that must be read, and kept by the save.
    QTest::addColumn<QVariantMap>("descriptions");
    // Keys whose values the settings layer could not decode safely: they are moved aside.
    QTest::addColumn<QStringList>("setAside");

    const QByteArray json = QJsonDocument(QJsonArray::fromVariantList(steps(Valid))).toJson(QJsonDocument::Compact);
    const QByteArray good = "[protocolLibrary]\n1\\id=g1\n1\\name=Good\n1\\commands=\""
                            + QByteArray(json).replace('\\', "\\\\").replace('"', "\\\"") + "\"\n";
    const QByteArray int5 = "@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)";
    // A method whose steps are lost is kept by its name, and shown as having errors
    // whatever its stored flag said.
    QTest::newRow("wrong types")
        << good + "2\\id=w2\n2\\name=a, b\n2\\commands=[]\n3\\id=w3\n3\\name=Ints\n3\\commands=" + int5
               + "\n3\\hasErrors=false\n4\\id=w4\n4\\name=Map steps\n4\\commands=\"{\\\"type\\\":\\\"aspirate\\\"}\"\n"
                 "5\\id=w5\n5\\name=Odd fields\n5\\description=x, y\n5\\created=yesterday\n5\\modified=" + int5
               + "\n5\\hasErrors=" + int5 + "\n6\\id=" + int5 + "\n6\\name=Int id\n"
                 "7\\id=w7\n7\\name=@Variant(\\0\\0\\0\\x8\\0\\0\\0\\0)\nsize=7\n"
        << QStringList{"a, b", "Good", "Int id", "Ints", "Map steps", "Odd fields"} << QVariantMap{{"Odd fields", "x, y"}}
        << QStringList();
    QTest::newRow("missing keys") << good + "2\\name=No id\n3\\id=m3\n4\\id=m4\n4\\name=No steps\n5\\id=\n5\\name=Empty id\n"
                                            "6\\id=m6\n6\\name=\"\"\nsize=6\n"
                                  << QStringList{"Good", "No steps"} << QVariantMap() << QStringList();
    QTest::newRow("no size, gaps and stray groups")
        << "[protocolLibrary]\n7\\id=m7\n7\\name=Seventh\n" + good.mid(18) + "x\\id=mx\nx\\name=Stray\n01\\id=m01\n01\\name=Padded\n"
        << QStringList{"Good", "Seventh"} << QVariantMap() << QStringList();
    QTest::newRow("a size of two billion") << good + "size=2000000000\n" << QStringList{"Good"} << QVariantMap() << QStringList();
    QTest::newRow("steps that are not JSON")
        << good + "2\\id=j\n2\\name=Cut\n2\\description=kept\n2\\hasErrors=false\n2\\commands=\"[{\\\"ty\"\n"
        << QStringList{"Cut", "Good"} << QVariantMap{{"Cut", "kept"}} << QStringList();
    QTest::newRow("steps nested beyond any parser") << good + "2\\id=d\n2\\name=Deep\n2\\commands=" + QByteArray(100000, '[') + "\n"
                                                    << QStringList{"Deep", "Good"} << QVariantMap() << QStringList();
    QTest::newRow("a huge entry")
        << good + "2\\id=h\n2\\name=Huge\n2\\commands=\"[" + QByteArray(20 * 1024 * 1024, ' ') + "]\"\n3\\id=n\n3\\name="
               + QByteArray(100000, 'n') + "\n"
        << QStringList{"Good", "Huge", QString(100000, QLatin1Char('n'))} << QVariantMap() << QStringList();
    // Values the settings layer's own decoder would trust to the end of the program.
    QTest::newRow("a list claiming two billion steps")
        << good + "2\\id=b\n2\\name=Bomb\n2\\description=kept\n2\\commands=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n"
        << QStringList{"Bomb", "Good"} << QVariantMap{{"Bomb", "kept"}} << QStringList{"2\\commands"};
    QTest::newRow("lists nested past any stack")
        << good + "2\\id=n\n2\\name=Nest\n2\\commands=@Variant(" + QByteArray("\\0\\0\\0\\t\\0\\0\\0\\x1").repeated(100000)
               + "\\0\\0\\0\\x2\\0\\0\\0\\0)\n[pairedDevices]\n1\\name=@Variant(\\0\\0\\0\\xb\\x7f\\xff\\xff\\0)\n"
        << QStringList{"Good", "Nest"} << QVariantMap() << QStringList{"2\\commands", "1\\name"};
    QTest::newRow("the same id twice") << good + "2\\id=g1\n2\\name=Twin\n" << QStringList{"Good", "Twin"} << QVariantMap()
                                       << QStringList();
    QTest::newRow("not an ini file at all") << QByteArray("\x00\x01\xff\xfe{[protocolLibrary]]]\n=\n\\\\\n", 27)
                                            << QStringList() << QVariantMap() << QStringList();
}

void TestProtocolLibrary::damagedStore()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, names);
    QFETCH(QVariantMap, descriptions);
    QFETCH(QStringList, setAside);
    writeFile(storePath(), ini);

    QStringList ids;
    const auto check = [&](const ProtocolLibrary &library, const QStringList &expected) {
        QCOMPARE(namesOf(library), expected);
        for (const QVariant &entry : library.getAllProtocols()) {
            const QVariantMap summary = entry.toMap();
            const QString id = summary.value("id").toString();
            QCOMPARE(summary.value("description").toString(), descriptions.value(summary.value("name").toString()).toString());
            // Only Good's steps can be read; every other method has none left, or never had
            // any, and none of them passes for a method without errors.
            const bool good = id == QLatin1String("g1") && summary.value("name") == QLatin1String("Good");
            QCOMPARE(summary.value("commandCount").toInt() > 0, good);
            QCOMPARE(summary.value("hasErrors").toBool(), !good && summary.value("name") != QLatin1String("After"));
            if (good)
                QCOMPARE(stepsOf(library, id), Valid);
            if (!ids.contains(id))
                ids << id;
        }
    };
    {
        ProtocolLibrary library;
        check(library, names);
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), names.size());
        QVERIFY(!ids.contains(QString()));
        // The next save keeps everything the library could read.
        QVERIFY(library.saveProtocol(library.createProtocol(QStringLiteral("After")), QStringLiteral("After"), QString(), {}));
    }
    ProtocolLibrary reread;
    QStringList expected = names << QStringLiteral("After");
    std::sort(expected.begin(), expected.end(), [](const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    check(reread, expected);
    QCOMPARE(ids.size(), expected.size());
    // Nothing is lost for good: what was moved aside is kept beside the store.
    const QByteArray aside = readFile(storePath() + QStringLiteral(".damaged"));
    QCOMPARE(aside.isEmpty(), setAside.isEmpty());
    for (const QString &key : qAsConst(setAside))
        QVERIFY2(aside.contains("\n" + key.toUtf8() + "=@Variant("), qPrintable(key));
}

void TestProtocolLibrary::sizeLimitAgreesWithTheReader_data()
{
    QTest::addColumn<bool>("tooLarge");
    QTest::newRow("just fits") << false;
    QTest::newRow("just too large") << true;
}

void TestProtocolLibrary::sizeLimitAgreesWithTheReader()
{
    // Purges with long tip texts make a stored form of many megabytes from few steps.
    QFETCH(bool, tooLarge);
    const QString tip = QString(2000, QLatin1Char('t'));
    const auto purges = [&](int count) {
        QVariantList maps;
        for (int i = 0; i < count; ++i)
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
    const int perStep = storedSize(purges(2)) - storedSize(purges(1));
    const int count = (SettingsFileCheck::MaxValueBytes - storedSize({})) / perStep + (tooLarge ? 1 : 0);
    QCOMPARE(storedSize(purges(count)) > SettingsFileCheck::MaxValueBytes, tooLarge);

    QString id;
    {
        ProtocolLibrary library;
        id = library.createProtocol(QStringLiteral("Big"));
        QVERIFY(library.saveProtocol(id, QStringLiteral("Big"), QStringLiteral("before"), steps(Valid)));
        QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
        QCOMPARE(library.saveProtocol(id, QStringLiteral("Big"), QString(), purges(count)), !tooLarge);
        if (tooLarge) {
            QCOMPARE(lastMessage(errors), QStringLiteral("The method \"Big\" is too large to keep in the library"));
            // The same method from a file is refused before anything is added.
            const QString file = m_env->tempDir() + QStringLiteral("/big.spl");
            writeFile(file, "protocol name: Big file\n" + QStringLiteral("purge tip:%1 speed:5\n").arg(tip).repeated(count).toUtf8());
            QCOMPARE(library.importFromSplFile(file), QString());
            QCOMPARE(lastMessage(errors), QStringLiteral("Could not import protocol: the method is too large to keep in the library"));
            QCOMPARE(library.protocolCount(), 1);
        }
    }
    // What the library took, it reads back whole; what it refused left the earlier steps.
    ProtocolLibrary reread;
    QCOMPARE(reread.getProtocol(id).value("commands").toList().size(), tooLarge ? 5 : count);
    QVERIFY(!QFile::exists(storePath() + QStringLiteral(".damaged")));
}

void TestProtocolLibrary::truncatedStore()
{
    // A store of three methods, cut short at every few bytes: whatever is read must be a
    // method as it was (a name may lose its tail, being the last line of its element),
    // and every method whose lines all survived must be there, also after the next save.
    QStringList ids;
    QStringList names{"First", "Second method", "Third"};
    {
        ProtocolLibrary library;
        for (const QString &name : names) {
            ids << library.createProtocol(name);
            QVERIFY(library.saveProtocol(ids.constLast(), name, "about " + name, steps(Valid)));
        }
    }
    const QByteArray full = readFile(storePath());
    QVERIFY(full.size() > 1000);
    for (int length = 0; length < full.size(); length += 37) {
        const QByteArray cut = full.left(length);
        writeFile(storePath(), cut);
        QStringList survivors;
        {
            ProtocolLibrary library;
            for (const QVariant &entry : library.getAllProtocols()) {
                const QString id = entry.toMap().value("id").toString();
                const int index = ids.indexOf(id);
                QVERIFY2(index >= 0, qPrintable(QStringLiteral("id %1 at %2").arg(id).arg(length)));
                QVERIFY(names.at(index).startsWith(entry.toMap().value("name").toString()));
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

void TestProtocolLibrary::failedSaveChangesNothing_data()
{
    QTest::addColumn<bool>("journaled");
    QTest::newRow("settings file replaced whole") << false;
    QTest::newRow("journaled saves") << true;
}

void TestProtocolLibrary::failedSaveChangesNothing()
{
    QFETCH(bool, journaled);
    QString keep, other;
    {
        ProtocolLibrary library;
        keep = library.createProtocol(QStringLiteral("Keep"));
        other = library.createProtocol(QStringLiteral("Other"));
    }
    ProtocolLibrary library;
    library.setJournaledSaves(journaled);
    QCOMPARE(library.journaledSaves(), journaled);
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
    QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);
    const QVariantList listing = library.getAllProtocols();

    blockStore(true);
    QCOMPARE(library.createProtocol(QStringLiteral("New")), QString());
    QVERIFY(!library.saveProtocol(keep, QStringLiteral("Keep"), QString(), steps(Valid)));
    QVERIFY(!library.renameProtocol(keep, QStringLiteral("Renamed")));
    QCOMPARE(library.duplicateProtocol(keep), QString());
    QVERIFY(!library.deleteProtocol(other));
    QCOMPARE(errors.count(), 5);
    for (const QList<QVariant> &signal : qAsConst(errors))
        QCOMPARE(signal.at(0).toString(), QStringLiteral("Could not save the method library"));
    // One failure, one sentence: the interface opens a dialog for each.
    const QString file = m_env->tempDir() + QStringLiteral("/in.spl");
    writeFile(file, "protocol name: In\n\npurge tip:small speed:5\n");
    QCOMPARE(library.importFromSplFile(file), QString());
    QCOMPARE(errors.count(), 6);
    QCOMPARE(lastMessage(errors), QStringLiteral("Could not create the imported protocol."));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(library.getAllProtocols(), listing);

    // Whatever the process writes next to the store carries none of the failed changes.
    blockStore(false);
    QSettings(Organization, Application).setValue(QStringLiteral("pairedDevices/size"), 0);
    QCOMPARE(ProtocolLibrary().getAllProtocols(), listing);
    // And the library saves again once it can, journal and all.
    QVERIFY(library.renameProtocol(keep, QStringLiteral("Renamed")));
    QVERIFY(library.duplicateProtocol(other) != QString());
    QVERIFY(!QSettings(Organization, Application).contains(QStringLiteral("protocolLibraryJournal")));
    ProtocolLibrary reread;
    QCOMPARE(namesOf(reread), (QStringList{"Other", "Other (Copy 1)", "Renamed"}));
}

void TestProtocolLibrary::saveFailingPartWayLeavesTheStore_data()
{
    QTest::addColumn<bool>("journaled");
    // Which write of the save fails: the journal, the array, then the journal's removal.
    QTest::addColumn<int>("failingWrite");
    QTest::newRow("settings file replaced whole") << false << 1;
    QTest::newRow("journaled, the journal") << true << 1;
    QTest::newRow("journaled, the array") << true << 2;
    QTest::newRow("journaled, the journal's removal") << true << 3;
}

void TestProtocolLibrary::saveFailingPartWayLeavesTheStore()
{
    QFETCH(bool, journaled);
    QFETCH(int, failingWrite);
    QString keep;
    {
        ProtocolLibrary library;
        keep = library.createProtocol(QStringLiteral("Keep"));
        QVERIFY(library.saveProtocol(keep, QStringLiteral("Keep"), QStringLiteral("d"), steps(Valid)));
        library.createProtocol(QStringLiteral("Other"));
    }
    const QByteArray before = readFile(storePath());
    QVariantList listing;
    {
        FlakyStoreLibrary library;
        library.setJournaledSaves(journaled);
        listing = library.getAllProtocols();
        QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
        library.failingWrite = failingWrite;
        QVERIFY(!library.saveProtocol(keep, QStringLiteral("Rejected"), QString(), steps(Invalid)));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(lastMessage(errors), QStringLiteral("Could not save the method library"));
        QCOMPARE(library.getAllProtocols(), listing);
        // The store can be written again at once, and holds what it held before.
        QCOMPARE(readFile(storePath()), before);
    }
    // Nor does anything left in the process reach it later, or the next start revive it.
    QSettings(Organization, Application).setValue(QStringLiteral("pairedDevices/size"), 0);
    ProtocolLibrary reread;
    QCOMPARE(reread.getAllProtocols(), listing);
    QCOMPARE(stepsOf(reread, keep), Valid);
}

void TestProtocolLibrary::interruptedJournaledSaveIsCompleted()
{
    // A save cut short in a store written key by key: the journal holds the new library
    // whole, the array only part of it.
    const QByteArray journal = QJsonDocument(QJsonArray{
        QJsonObject{{"id", "a"}, {"name", "Alpha"}, {"description", "new"}, {"created", "2026-01-02T03:04:05.006Z"},
                    {"modified", "2026-01-02T03:04:05.006Z"}, {"commands", QJsonArray::fromVariantList(steps(Valid))},
                    {"hasErrors", false}},
        QJsonObject{{"id", "b"}, {"name", "Beta"}, {"commands", QJsonArray()}, {"hasErrors", true}},
        QJsonObject{{"id", "a"}, {"name", "Twin"}}}).toJson(QJsonDocument::Compact);
    {
        QSettings settings(Organization, Application);
        settings.setValue(QStringLiteral("protocolLibraryJournal"), QString::fromUtf8(journal));
        settings.setValue(QStringLiteral("protocolLibrary/1/id"), QStringLiteral("a"));
        settings.setValue(QStringLiteral("protocolLibrary/1/name"), QStringLiteral("Alpha"));
        settings.setValue(QStringLiteral("protocolLibrary/1/description"), QStringLiteral("old"));
        settings.setValue(QStringLiteral("protocolLibrary/size"), 3);
    }
    {
        ProtocolLibrary library;
        QCOMPARE(namesOf(library), (QStringList{"Alpha", "Beta"}));
        QCOMPARE(library.getProtocol("a").value("description").toString(), QStringLiteral("new"));
        QCOMPARE(library.getProtocol("a").value("created").toDateTime(), QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6), Qt::UTC));
        QCOMPARE(stepsOf(library, "a"), Valid);
    }
    {
        // Completed at once: the array is whole and the journal gone.
        QSettings settings(Organization, Application);
        QVERIFY(!settings.contains(QStringLiteral("protocolLibraryJournal")));
        QCOMPARE(settings.value(QStringLiteral("protocolLibrary/size")).toInt(), 2);
        QCOMPARE(settings.value(QStringLiteral("protocolLibrary/2/name")).toString(), QStringLiteral("Beta"));
        // A journal that cannot be read is passed over for the array.
        settings.setValue(QStringLiteral("protocolLibraryJournal"), QStringLiteral("[{\"id\":"));
    }
    ProtocolLibrary library;
    QCOMPARE(namesOf(library), (QStringList{"Alpha", "Beta"}));
}

NERRA_TEST_MAIN(TestProtocolLibrary)
#include "tst_protocollibrary.moc"
