#include "model/commands.h"
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
#include <QUrl>

#include <memory>

namespace {

const QString Organization = QStringLiteral("Vellora");
const QString Application = QStringLiteral("NerraDesktop");

QVariantList mapsOf(const QList<Command *> &commands)
{
    QVariantList maps;
    for (const Command *command : commands)
        maps << command->toVariantMap();
    qDeleteAll(commands);
    return maps;
}

template <typename T>
T *withVolume(int whole, int tenths = 0)
{
    auto *command = new T;
    command->setVolumeWhole(whole);
    command->setVolumeFractional(tenths);
    return command;
}

// [Tip Select, Aspirate 150.5, Loop 2 [Aspirate 20, Dispense 20], Repeat 20 × 2,
// Dispense 150.5]: valid.
QVariantList validSteps()
{
    auto *loop = new LoopCommand;
    loop->addInnerCommand(QStringLiteral("aspirate"));
    loop->addInnerCommand(QStringLiteral("dispense"));
    for (Command *step : loop->innerCommandList())
        static_cast<VolumeCommand *>(step)->setVolumeWhole(20);
    auto *repeat = new RepeatCommand;
    repeat->setDispenseVolume(20.0);
    return mapsOf({new TipSelectCommand, withVolume<AspirateCommand>(150, 5), loop, repeat,
                   withVolume<DispenseCommand>(150, 5)});
}

// No Tip Select first, and liquid left in the tip.
QVariantList invalidSteps()
{
    return mapsOf({withVolume<AspirateCommand>(50)});
}

QString storePath()
{
    return QSettings(Organization, Application).fileName();
}

void writeStoreFile(const QByteArray &content)
{
    QDir().mkpath(QFileInfo(storePath()).absolutePath());
    QFile file(storePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
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

// What a method's steps mean, whatever number types the store gave back.
QString stepsText(const QVariantList &maps)
{
    QList<Command *> commands;
    for (const QVariant &map : maps) {
        if (Command *command = Command::fromVariantMap(map.toMap()))
            commands << command;
    }
    QString text;
    for (const Command *command : qAsConst(commands))
        text += command->toSpl(0);
    qDeleteAll(commands);
    return text;
}

QString lastMessage(const QSignalSpy &spy)
{
    return spy.isEmpty() ? QString() : spy.constLast().at(0).toString();
}

// Makes one write of the store fail, as a full disk or a file locked by another program
// would, by standing a folder in the file's place for just that write.
class FlakyStoreLibrary : public ProtocolLibrary
{
public:
    // Counted from when it is set; 0 fails none.
    int failingWrite = 0;

protected:
    bool syncStore(QSettings &settings) override
    {
        const bool fail = failingWrite > 0 && ++m_writes == failingWrite;
        const QString path = settings.fileName();
        if (fail && !(QFile::rename(path, path + QStringLiteral(".aside")) && QDir().mkdir(path)))
            qFatal("cannot stand a folder in place of the store");
        const bool written = ProtocolLibrary::syncStore(settings);
        if (fail && !(QDir().rmdir(path) && QFile::rename(path + QStringLiteral(".aside"), path)))
            qFatal("cannot put the store back");
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

    void newMethod();
    void operationsSignalAndPersist();
    void survivesRestart();
    void storedFormsAreRead_data();
    void storedFormsAreRead();
    void savesAfterRestartLeaveNoTrace();
    void aStoreWrittenByAnotherIsReplacedWhole();
    void hasErrorsRecomputedOnLoad_data();
    void hasErrorsRecomputedOnLoad();
    void namesIgnoreCase_data();
    void namesIgnoreCase();
    void renameRules();
    void unnamedPlaceholderIsNotKeptAcrossRestarts();
    void unknownIds_data();
    void unknownIds();
    void copyNames();
    void generatedNamesKeepTheSource_data();
    void generatedNamesKeepTheSource();
    void listingOrder();
    void findByFilename_data();
    void findByFilename();
    void splRoundTripThroughFiles();
    void importNames();
    void importSetsHasErrors();
    void importFailures_data();
    void importFailures();
    void exportFailures();
    void damagedStore_data();
    void damagedStore();
    void sizeLimitAgreesWithTheReader_data();
    void sizeLimitAgreesWithTheReader();
    void truncatedStore();
    void failedSaveChangesNothing_data();
    void failedSaveChangesNothing();
    void saveFailingPartWayLeavesTheStore_data();
    void saveFailingPartWayLeavesTheStore();
    void journaledSaves();
    void interruptedJournaledSaveIsCompleted();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestProtocolLibrary::newMethod()
{
    ProtocolLibrary library;
    QCOMPARE(library.protocolCount(), 0);
    const QString id = library.createProtocol(QStringLiteral(" Wash plate "));
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                                              "[0-9a-f]{12}$"))
                .match(id)
                .hasMatch());
    const QVariantMap entry = entryOf(library, id);
    QCOMPARE(entry.value(QStringLiteral("name")).toString(), QStringLiteral(" Wash plate "));
    QCOMPARE(entry.value(QStringLiteral("commandCount")).toInt(), 0);
    QCOMPARE(entry.value(QStringLiteral("hasErrors")).toBool(), true);
    QCOMPARE(entry.value(QStringLiteral("description")).toString(), QString());
    QVERIFY(entry.value(QStringLiteral("created")).toDateTime().isValid());
    QCOMPARE(entry.value(QStringLiteral("created")), entry.value(QStringLiteral("modified")));

    const QVariantMap method = library.getProtocol(id);
    QCOMPARE(QStringList(method.keys()),
             (QStringList{"commands", "created", "description", "id", "modified", "name"}));
    QCOMPARE(library.property("protocolCount").toInt(), 1);
    QCOMPARE(library.property("protocols").toList(), library.getAllProtocols());
    QVERIFY(library.protocolExists(id));
    QVERIFY(!library.protocolExists(QStringLiteral("other")));
}

void TestProtocolLibrary::operationsSignalAndPersist()
{
    ProtocolLibrary library;
    QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);
    QSignalSpy counted(&library, &ProtocolLibrary::protocolCountChanged);
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);

    const QString id = library.createProtocol(QStringLiteral("A"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(counted.count(), 1);
    QVERIFY(library.saveProtocol(id, QStringLiteral("A"), QStringLiteral("d"), validSteps()));
    QVERIFY(library.renameProtocol(id, QStringLiteral("B")));
    QCOMPARE(changed.count(), 3);
    QCOMPARE(counted.count(), 1);
    const QString copy = library.duplicateProtocol(id);
    QVERIFY(!copy.isEmpty());
    QCOMPARE(counted.count(), 2);
    QVERIFY(library.deleteProtocol(id));
    QCOMPARE(changed.count(), 5);
    QCOMPARE(counted.count(), 3);
    QCOMPARE(errors.count(), 0);

    // Every change is on disk before the operation returns.
    ProtocolLibrary reread;
    QCOMPARE(namesOf(reread), QStringList{"B (Copy 1)"});
    QCOMPARE(reread.getProtocol(copy).value(QStringLiteral("description")).toString(),
             QStringLiteral("d"));
    QSettings settings(Organization, Application);
    QCOMPARE(settings.beginReadArray(QStringLiteral("protocolLibrary")), 1);
    settings.setArrayIndex(0);
    QCOMPARE(settings.value(QStringLiteral("id")).toString(), copy);
}

void TestProtocolLibrary::survivesRestart()
{
    const QString name = QStringLiteral("Verdünnung 5 µL, \"rasch\" = 1; é [x]\\y");
    QString valid;
    QString invalid;
    QString empty;
    QVariantMap before;
    {
        ProtocolLibrary first;
        valid = first.createProtocol(name);
        invalid = first.createProtocol(QStringLiteral("Broken"));
        empty = first.createProtocol(QStringLiteral("Empty"));
        QVERIFY(first.saveProtocol(valid, name, QStringLiteral("Line 1\nLine 2, with commas"),
                                   validSteps(), true));
        QVERIFY(first.saveProtocol(invalid, QStringLiteral("Broken"), QString(), invalidSteps(),
                                   false));
        QVERIFY(first.saveProtocol(empty, QStringLiteral("Empty"), QString(), {}, false));
        before = first.getProtocol(valid);
    }
    ProtocolLibrary second;
    QCOMPARE(second.protocolCount(), 3);
    const QVariantMap after = second.getProtocol(valid);
    for (const char *key : {"id", "name", "description", "created", "modified"})
        QCOMPARE(after.value(QLatin1String(key)), before.value(QLatin1String(key)));
    QCOMPARE(after.value(QStringLiteral("created")).toDateTime().toMSecsSinceEpoch(),
             before.value(QStringLiteral("created")).toDateTime().toMSecsSinceEpoch());
    QCOMPARE(stepsText(after.value(QStringLiteral("commands")).toList()),
             stepsText(before.value(QStringLiteral("commands")).toList()));
    QCOMPARE(after.value(QStringLiteral("commands")).toList().size(), 5);
    // The stored flags were wrong both ways; only the empty method keeps its own.
    QCOMPARE(entryOf(second, valid).value(QStringLiteral("hasErrors")).toBool(), false);
    QCOMPARE(entryOf(second, invalid).value(QStringLiteral("hasErrors")).toBool(), true);
    QCOMPARE(entryOf(second, empty).value(QStringLiteral("hasErrors")).toBool(), false);
    // In creation order, as stored.
    QSettings settings(Organization, Application);
    settings.beginReadArray(QStringLiteral("protocolLibrary"));
    settings.setArrayIndex(2);
    QCOMPARE(settings.value(QStringLiteral("id")).toString(), empty);
}

void TestProtocolLibrary::storedFormsAreRead_data()
{
    QTest::addColumn<bool>("stepsAsJson");
    QTest::newRow("list of maps") << false;
    QTest::newRow("JSON text") << true;
}

void TestProtocolLibrary::storedFormsAreRead()
{
    // Steps as a list of maps (loops carrying theirs), the form every version reads, or
    // as the JSON text one version wrote; date-times as the settings store's own values.
    QFETCH(bool, stepsAsJson);
    const QDateTime created(QDate(2024, 5, 6), QTime(7, 8, 9, 10));
    const QDateTime modified = created.addDays(3);
    const QList<QVariantList> steps{validSteps(), invalidSteps()};
    {
        QSettings settings(Organization, Application);
        settings.beginWriteArray(QStringLiteral("protocolLibrary"));
        for (int i = 0; i < steps.size(); ++i) {
            settings.setArrayIndex(i);
            settings.setValue(QStringLiteral("id"), QStringLiteral("old%1").arg(i));
            settings.setValue(QStringLiteral("name"), QStringLiteral("Old %1").arg(i));
            settings.setValue(QStringLiteral("description"), QStringLiteral("about %1").arg(i));
            settings.setValue(QStringLiteral("created"), created);
            settings.setValue(QStringLiteral("modified"), modified);
            settings.setValue(QStringLiteral("commands"),
                              stepsAsJson ? QVariant(QString::fromUtf8(QJsonDocument(QJsonArray::fromVariantList(steps.at(i)))
                                                                           .toJson(QJsonDocument::Compact)))
                                          : QVariant(steps.at(i)));
            settings.setValue(QStringLiteral("hasErrors"), i == 0);
        }
        settings.endArray();
    }
    const auto check = [&](const ProtocolLibrary &library) {
        QCOMPARE(library.protocolCount(), steps.size());
        for (int i = 0; i < steps.size(); ++i) {
            const QString id = QStringLiteral("old%1").arg(i);
            const QVariantMap method = library.getProtocol(id);
            QCOMPARE(method.value(QStringLiteral("description")).toString(), QStringLiteral("about %1").arg(i));
            QCOMPARE(method.value(QStringLiteral("created")).toDateTime(), created);
            const QVariantList read = method.value(QStringLiteral("commands")).toList();
            QCOMPARE(read.size(), steps.at(i).size());
            QCOMPARE(stepsText(read), stepsText(steps.at(i)));
            QCOMPARE(entryOf(library, id).value(QStringLiteral("hasErrors")).toBool(), i == 1);
        }
    };
    {
        ProtocolLibrary library;
        check(library);
        QVERIFY(!library.createProtocol(QStringLiteral("New")).isEmpty());
        QVERIFY(library.deleteProtocol(library.findProtocolIdByFilename(QStringLiteral("New"))));
    }
    ProtocolLibrary reread;
    check(reread);
    // Written back in the form every version reads.
    QSettings settings(Organization, Application);
    for (int i = 1; i <= steps.size(); ++i) {
        const QVariant stored = settings.value(QStringLiteral("protocolLibrary/%1/commands").arg(i));
        QCOMPARE(stored.userType(), int(QMetaType::QVariantList));
        QCOMPARE(stepsText(stored.toList()), stepsText(steps.at(i - 1)));
    }
}

void TestProtocolLibrary::savesAfterRestartLeaveNoTrace()
{
    QStringList ids;
    {
        ProtocolLibrary first;
        for (const char *name : {"One", "Two", "Three"}) {
            ids << first.createProtocol(QString::fromLatin1(name));
            QVERIFY(first.saveProtocol(ids.constLast(), QString::fromLatin1(name), QString(),
                                       validSteps(), false));
        }
    }
    {
        ProtocolLibrary second;
        QVERIFY(second.deleteProtocol(ids.at(1)));
        QVERIFY(second.saveProtocol(ids.at(2), QStringLiteral("Three"), QStringLiteral("new"),
                                    invalidSteps(), true));
    }
    // The elements after the deleted one moved up, and nothing of the old third is left.
    QSettings settings(Organization, Application);
    settings.beginGroup(QStringLiteral("protocolLibrary"));
    QCOMPARE(settings.childGroups(), (QStringList{"1", "2"}));
    QCOMPARE(settings.value(QStringLiteral("size")).toInt(), 2);
    QCOMPARE(settings.value(QStringLiteral("2/id")).toString(), ids.at(2));
    QCOMPARE(settings.value(QStringLiteral("2/description")).toString(), QStringLiteral("new"));
    settings.endGroup();
    ProtocolLibrary third;
    QCOMPARE(namesOf(third), (QStringList{"One", "Three"}));
    QCOMPARE(stepsText(third.getProtocol(ids.at(2)).value(QStringLiteral("commands")).toList()),
             stepsText(invalidSteps()));
}

void TestProtocolLibrary::aStoreWrittenByAnotherIsReplacedWhole()
{
    QStringList ids;
    {
        ProtocolLibrary setup;
        for (const char *name : {"One", "Two", "Three"})
            ids << setup.createProtocol(QString::fromLatin1(name));
    }
    ProtocolLibrary mine;
    {
        ProtocolLibrary other;
        QVERIFY(other.deleteProtocol(ids.at(2)));
        QVERIFY(other.renameProtocol(ids.at(0), QStringLiteral("Other's")));
    }
    // The last writer's library is what the store holds, not a mix of both.
    QVERIFY(mine.renameProtocol(ids.at(1), QStringLiteral("Mine")));
    ProtocolLibrary reread;
    QCOMPARE(namesOf(reread), (QStringList{"Mine", "One", "Three"}));
}

void TestProtocolLibrary::hasErrorsRecomputedOnLoad_data()
{
    QTest::addColumn<QVariantList>("commands");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("expected");
    QTest::newRow("valid steps, stale flag") << validSteps() << QVariant(true) << false;
    QTest::newRow("invalid steps, stale flag") << invalidSteps() << QVariant(false) << true;
    QTest::newRow("invalid steps, no flag") << invalidSteps() << QVariant() << true;
    QTest::newRow("no steps, flag kept") << QVariantList() << QVariant(false) << false;
    QTest::newRow("no steps, no flag") << QVariantList() << QVariant() << true;
    QTest::newRow("no steps, flag as text") << QVariantList() << QVariant(QStringLiteral("false"))
                                            << false;
    QTest::newRow("no steps, flag garbage") << QVariantList() << QVariant(QStringLiteral("maybe"))
                                            << true;
    QTest::newRow("steps of unknown kinds only")
        << QVariantList{QVariantMap{{"type", "centrifuge"}}} << QVariant(false) << true;
}

void TestProtocolLibrary::hasErrorsRecomputedOnLoad()
{
    QFETCH(QVariantList, commands);
    QFETCH(QVariant, stored);
    QFETCH(bool, expected);
    {
        QSettings settings(Organization, Application);
        settings.beginWriteArray(QStringLiteral("protocolLibrary"));
        settings.setArrayIndex(0);
        settings.setValue(QStringLiteral("id"), QStringLiteral("m1"));
        settings.setValue(QStringLiteral("name"), QStringLiteral("Method"));
        settings.setValue(QStringLiteral("commands"),
                          QString::fromUtf8(QJsonDocument(QJsonArray::fromVariantList(commands))
                                                .toJson()));
        if (stored.isValid())
            settings.setValue(QStringLiteral("hasErrors"), stored);
        settings.endArray();
    }
    ProtocolLibrary library;
    QCOMPARE(library.protocolCount(), 1);
    QCOMPARE(entryOf(library, QStringLiteral("m1")).value(QStringLiteral("hasErrors")).toBool(),
             expected);
    QCOMPARE(entryOf(library, QStringLiteral("m1")).value(QStringLiteral("commandCount")).toInt(),
             commands.size());
}

void TestProtocolLibrary::namesIgnoreCase_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("save as another's name") << "save" << "WASH" << false;
    QTest::newRow("rename to another's name") << "rename" << "wash" << false;
    QTest::newRow("save own name in another case") << "saveOwn" << "RINSE" << true;
    QTest::newRow("rename own name in another case") << "renameOwn" << "rinse" << true;
    QTest::newRow("a name with spaces is another name") << "rename" << "Wash " << true;
}

void TestProtocolLibrary::namesIgnoreCase()
{
    QFETCH(QString, operation);
    QFETCH(QString, name);
    QFETCH(bool, succeeds);

    ProtocolLibrary library;
    const QString wash = library.createProtocol(QStringLiteral("Wash"));
    const QString rinse = library.createProtocol(QStringLiteral("Rinse"));
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
    QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);

    bool result = false;
    if (operation == QLatin1String("save") || operation == QLatin1String("saveOwn"))
        result = library.saveProtocol(rinse, name, QString(), validSteps());
    else
        result = library.renameProtocol(rinse, name);
    QCOMPARE(result, succeeds);
    QCOMPARE(changed.count(), succeeds ? 1 : 0);
    if (succeeds) {
        QCOMPARE(errors.count(), 0);
        QCOMPARE(library.getProtocol(rinse).value(QStringLiteral("name")).toString(), name);
    } else {
        QCOMPARE(lastMessage(errors), QStringLiteral("A method named \"%1\" already exists").arg(name));
        QCOMPARE(library.getProtocol(rinse).value(QStringLiteral("name")).toString(),
                 QStringLiteral("Rinse"));
        QCOMPARE(library.getProtocol(rinse).value(QStringLiteral("commands")).toList().size(), 0);
    }
    QVERIFY(!library.isNameAvailable(QStringLiteral("wASH")));
    QVERIFY(library.isNameAvailable(QStringLiteral("wASH"), wash));
    QVERIFY(library.isNameAvailable(QStringLiteral(" Wash")));
}

void TestProtocolLibrary::renameRules()
{
    ProtocolLibrary library;
    const QString id = library.createProtocol(QStringLiteral("Wash"));
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);

    QVERIFY(!library.renameProtocol(id, QStringLiteral("   ")));
    QCOMPARE(lastMessage(errors), QStringLiteral("Method name cannot be empty"));
    // The empty-name rule comes first, even for an unknown id.
    QVERIFY(!library.renameProtocol(QStringLiteral("nope"), QString()));
    QCOMPARE(lastMessage(errors), QStringLiteral("Method name cannot be empty"));

    const QDateTime before = library.getProtocol(id).value(QStringLiteral("modified")).toDateTime();
    QTRY_VERIFY(QDateTime::currentDateTime() > before);
    QVERIFY(library.renameProtocol(id, QStringLiteral(" Wash ")));
    QCOMPARE(namesOf(library), QStringList{" Wash "});
    QVERIFY(library.getProtocol(id).value(QStringLiteral("modified")).toDateTime() > before);
    QCOMPARE(errors.count(), 2);
}

void TestProtocolLibrary::unnamedPlaceholderIsNotKeptAcrossRestarts()
{
    // "+ New Protocol" creates an unnamed placeholder and the auto-save keeps saving it
    // until the user types a name; loading skips records without a name.
    ProtocolLibrary library;
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
    const QString placeholder = library.createProtocol(QString());
    QVERIFY(!placeholder.isEmpty());
    QVERIFY(library.saveProtocol(placeholder, QString(), QString(), validSteps()));
    const QString kept = library.createProtocol(QStringLiteral("Kept"));
    QVERIFY(library.saveProtocol(kept, QStringLiteral("Kept"), QString(), validSteps()));
    QCOMPARE(errors.count(), 0);
    QCOMPARE(library.protocolCount(), 2);
    QCOMPARE(namesOf(library), (QStringList{"", "Kept"}));
    ProtocolLibrary reread;
    QCOMPARE(namesOf(reread), QStringList{"Kept"});
}

void TestProtocolLibrary::unknownIds_data()
{
    QTest::addColumn<QString>("operation");
    for (const char *operation : {"save", "delete", "rename", "duplicate"})
        QTest::newRow(operation) << QString::fromLatin1(operation);
}

void TestProtocolLibrary::unknownIds()
{
    QFETCH(QString, operation);
    ProtocolLibrary library;
    library.createProtocol(QStringLiteral("Wash"));
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
    QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);
    const QString id = QStringLiteral("no-such-id");

    if (operation == QLatin1String("save"))
        QVERIFY(!library.saveProtocol(id, QStringLiteral("X"), QString(), {}));
    else if (operation == QLatin1String("delete"))
        QVERIFY(!library.deleteProtocol(id));
    else if (operation == QLatin1String("rename"))
        QVERIFY(!library.renameProtocol(id, QStringLiteral("X")));
    else
        QCOMPARE(library.duplicateProtocol(id), QString());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(lastMessage(errors), QStringLiteral("Method not found: no-such-id"));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(namesOf(library), QStringList{"Wash"});

    // Lookups answer empty without a signal.
    QCOMPARE(library.getProtocol(id), QVariantMap());
    QCOMPARE(library.exportToSpl(id), QString());
    QVERIFY(!library.exportProtocolToFile(id, m_env->tempDir() + QStringLiteral("/x.spl")));
    QVERIFY(!QFile::exists(m_env->tempDir() + QStringLiteral("/x.spl")));
    QCOMPARE(errors.count(), 1);
}

void TestProtocolLibrary::copyNames()
{
    ProtocolLibrary library;
    const QString wash = library.createProtocol(QStringLiteral("Wash"));
    QVERIFY(library.saveProtocol(wash, QStringLiteral("Wash"), QStringLiteral("desc"),
                                 validSteps(), true));
    const QString first = library.duplicateProtocol(wash);
    const QString second = library.duplicateProtocol(wash);
    const QString ofCopy = library.duplicateProtocol(first);
    QCOMPARE(library.getProtocol(first).value(QStringLiteral("name")).toString(),
             QStringLiteral("Wash (Copy 1)"));
    QCOMPARE(library.getProtocol(second).value(QStringLiteral("name")).toString(),
             QStringLiteral("Wash (Copy 2)"));
    QCOMPARE(library.getProtocol(ofCopy).value(QStringLiteral("name")).toString(),
             QStringLiteral("Wash (Copy 1) (Copy 1)"));
    // A gap is filled, and the comparison ignores case.
    QVERIFY(library.renameProtocol(first, QStringLiteral("WASH (COPY 3)")));
    QCOMPARE(library.getProtocol(library.duplicateProtocol(wash)).value(QStringLiteral("name")).toString(),
             QStringLiteral("Wash (Copy 1)"));
    QCOMPARE(library.getProtocol(library.duplicateProtocol(wash)).value(QStringLiteral("name")).toString(),
             QStringLiteral("Wash (Copy 4)"));

    const QVariantMap source = library.getProtocol(wash);
    const QVariantMap copy = library.getProtocol(second);
    QVERIFY(copy.value(QStringLiteral("id")) != source.value(QStringLiteral("id")));
    QCOMPARE(copy.value(QStringLiteral("description")), source.value(QStringLiteral("description")));
    QCOMPARE(copy.value(QStringLiteral("commands")), source.value(QStringLiteral("commands")));
    QCOMPARE(entryOf(library, second).value(QStringLiteral("hasErrors")).toBool(), true);
    QVERIFY(copy.value(QStringLiteral("created")).toDateTime()
            >= source.value(QStringLiteral("modified")).toDateTime());
}

void TestProtocolLibrary::generatedNamesKeepTheSource_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("name");
    // The names given by two duplicates or two imports of a method with that name.
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("copy, percent and digit") << "copy" << "Buffer 1%2"
                                             << QStringList{"Buffer 1%2 (Copy 1)", "Buffer 1%2 (Copy 2)"};
    QTest::newRow("copy, first marker") << "copy" << "A%1" << QStringList{"A%1 (Copy 1)", "A%1 (Copy 2)"};
    QTest::newRow("copy, markers of every kind")
        << "copy" << "%L1 %99 100%" << QStringList{"%L1 %99 100% (Copy 1)", "%L1 %99 100% (Copy 2)"};
    QTest::newRow("import, first marker") << "import" << "A%1"
                                          << QStringList{"A%1 (imported)", "A%1 (imported 3)"};
    QTest::newRow("import, percent and digit")
        << "import" << "Buffer 1%2" << QStringList{"Buffer 1%2 (imported)", "Buffer 1%2 (imported 3)"};
}

void TestProtocolLibrary::generatedNamesKeepTheSource()
{
    QFETCH(QString, operation);
    QFETCH(QString, name);
    QFETCH(QStringList, expected);
    ProtocolLibrary library;
    const QString source = library.createProtocol(name);
    const QString file = m_env->tempDir() + QStringLiteral("/in.spl");
    writeFile(file, "protocol name: " + name.toUtf8() + "\n\npurge tip:small speed:5\n");
    QStringList names;
    for (int i = 0; i < 2; ++i) {
        const QString id = operation == QLatin1String("copy") ? library.duplicateProtocol(source)
                                                              : library.importFromSplFile(file);
        names << library.getProtocol(id).value(QStringLiteral("name")).toString();
    }
    QCOMPARE(names, expected);
}

void TestProtocolLibrary::listingOrder()
{
    ProtocolLibrary library;
    for (const char *name : {"gamma", "Beta", "alpha", "Alpha 2", "beta 1"})
        library.createProtocol(QString::fromLatin1(name));
    QCOMPARE(namesOf(library), (QStringList{"alpha", "Alpha 2", "Beta", "beta 1", "gamma"}));
    const QVariantMap entry = library.getAllProtocols().constFirst().toMap();
    QCOMPARE(QStringList(entry.keys()), (QStringList{"commandCount", "created", "description",
                                                     "hasErrors", "id", "modified", "name"}));
    // A change is seen by the next listing.
    QVERIFY(library.renameProtocol(entry.value(QStringLiteral("id")).toString(),
                                   QStringLiteral("zeta")));
    QCOMPARE(namesOf(library).constLast(), QStringLiteral("zeta"));
}

void TestProtocolLibrary::findByFilename_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QString>("expected");
    QTest::newRow("upper-case suffix") << "Wash_plate.CSV" << "wash plate";
    QTest::newRow("no suffix") << "WASH_PLATE" << "wash plate";
    QTest::newRow("only the last suffix") << "run.csv.csv" << "run.csv";
    QTest::newRow("other suffix kept") << "Wash_plate.spl" << "";
    QTest::newRow("first in the order of creation") << "mix_a" << "Mix A";
    QTest::newRow("unknown") << "nothing.csv" << "";
}

void TestProtocolLibrary::findByFilename()
{
    QFETCH(QString, filename);
    QFETCH(QString, expected);
    ProtocolLibrary library;
    QHash<QString, QString> ids;
    for (const char *name : {"Mix A", "wash plate", "run.csv", "MIX A"})
        ids.insert(QString::fromLatin1(name), library.createProtocol(QString::fromLatin1(name)));
    QCOMPARE(library.findProtocolIdByFilename(filename), ids.value(expected));
}

void TestProtocolLibrary::splRoundTripThroughFiles()
{
    ProtocolLibrary library;
    const QString name = QStringLiteral("Verdünnung 5 µL é");
    const QString id = library.createProtocol(name);
    QVERIFY(library.saveProtocol(id, name, QStringLiteral("kept out of SPL"), validSteps()));
    const QString spl = library.exportToSpl(id);
    QVERIFY(spl.startsWith(QStringLiteral("protocol name: ") + name + QStringLiteral("\n\n")));

    // Exported as UTF-8 whatever the system's encoding, through a file URL too.
    const QString path = m_env->tempDir() + QStringLiteral("/out é.spl");
    QVERIFY(library.exportProtocolToFile(id, QUrl::fromLocalFile(path).toString()));
    const QByteArray bytes = readFile(path);
    QVERIFY(bytes.contains("Verd\xC3\xBCnnung 5 \xC2\xB5L \xC3\xA9"));
    QCOMPARE(QString::fromUtf8(bytes), spl);
    // Exporting again replaces the file.
    QVERIFY(library.exportProtocolToFile(id, path));
    QCOMPARE(readFile(path), bytes);

    const QString imported = library.importFromSplFile(path);
    QVERIFY(!imported.isEmpty());
    const QVariantMap copy = library.getProtocol(imported);
    QCOMPARE(copy.value(QStringLiteral("name")).toString(), name + QStringLiteral(" (imported)"));
    QCOMPARE(copy.value(QStringLiteral("description")).toString(), QString());
    QCOMPARE(stepsText(copy.value(QStringLiteral("commands")).toList()),
             stepsText(library.getProtocol(id).value(QStringLiteral("commands")).toList()));

    // A file saved with a byte-order mark and Windows line ends reads the same.
    const QString windows = m_env->tempDir() + QStringLiteral("/windows.spl");
    writeFile(windows, "\xEF\xBB\xBF" + QByteArray(bytes).replace("\n", "\r\n"));
    const QString third = library.importFromSplFile(windows);
    QCOMPARE(library.getProtocol(third).value(QStringLiteral("name")).toString(),
             name + QStringLiteral(" (imported 3)"));
    QCOMPARE(stepsText(library.getProtocol(third).value(QStringLiteral("commands")).toList()),
             stepsText(copy.value(QStringLiteral("commands")).toList()));
}

void TestProtocolLibrary::importNames()
{
    ProtocolLibrary library;
    library.createProtocol(QStringLiteral("Wash"));
    const QString dir = m_env->tempDir();
    writeFile(dir + QStringLiteral("/a.spl"),
              "protocol name:   wash  \n\ntipselect tip:small\n"
              "aspirate tip:small vol:100.0 xvol:0 speed:5\n"
              "dispense tip:small vol:100.0 xvol:0 speed:5\n");
    QStringList names;
    for (int i = 0; i < 3; ++i)
        names << library.getProtocol(library.importFromSplFile(dir + QStringLiteral("/a.spl")))
                     .value(QStringLiteral("name"))
                     .toString();
    QCOMPARE(names, (QStringList{"wash (imported)", "wash (imported 3)", "wash (imported 4)"}));

    writeFile(dir + QStringLiteral("/Plate.run.spl"), "protocol name:\n\npurge tip:small speed:5\n");
    QCOMPARE(library.getProtocol(library.importFromSplFile(dir + QStringLiteral("/Plate.run.spl")))
                 .value(QStringLiteral("name"))
                 .toString(),
             QStringLiteral("Plate.run"));
    writeFile(dir + QStringLiteral("/Empty.spl"), QByteArray());
    const QString empty = library.importFromSplFile(dir + QStringLiteral("/Empty.spl"));
    QCOMPARE(entryOf(library, empty).value(QStringLiteral("name")).toString(), QStringLiteral("Empty"));
    QCOMPARE(entryOf(library, empty).value(QStringLiteral("commandCount")).toInt(), 0);
    QCOMPARE(entryOf(library, empty).value(QStringLiteral("hasErrors")).toBool(), true);
    // Line ends of old Mac tools, and control characters where a name is read.
    writeFile(dir + QStringLiteral("/mac.spl"), "protocol name: Old\tMac\x1b\r\rtipselect tip:small\r"
                                                "aspirate tip:small vol:100.0\rdispense tip:small vol:100.0\r");
    const QString mac = library.importFromSplFile(dir + QStringLiteral("/mac.spl"));
    QCOMPARE(entryOf(library, mac).value(QStringLiteral("name")).toString(), QStringLiteral("Old Mac"));
    QCOMPARE(entryOf(library, mac).value(QStringLiteral("commandCount")).toInt(), 3);
    writeFile(dir + QStringLiteral("/Tab\there.spl"), "\n");
    QCOMPARE(library.getProtocol(library.importFromSplFile(dir + QStringLiteral("/Tab\there.spl")))
                 .value(QStringLiteral("name"))
                 .toString(),
             QStringLiteral("Tab here"));
    writeFile(dir + QStringLiteral("/.spl"), "\n\n");
    QCOMPARE(library.getProtocol(library.importFromSplFile(dir + QStringLiteral("/.spl")))
                 .value(QStringLiteral("name"))
                 .toString(),
             QStringLiteral("Imported Protocol"));
}

void TestProtocolLibrary::importSetsHasErrors()
{
    ProtocolLibrary library;
    const QString dir = m_env->tempDir();
    writeFile(dir + QStringLiteral("/good.spl"),
              "protocol name: Good\n\ntipselect tip:small\nloop 2\n"
              "  aspirate tip:small vol:20.5 xvol:0 speed:5\n"
              "  dispense tip:small vol:20.5 xvol:0 speed:5\nendloop\n");
    writeFile(dir + QStringLiteral("/bad.spl"),
              "protocol name: Bad\n\ntipselect tip:small\n"
              "aspirate tip:small vol:250.0 xvol:0 speed:5\n");
    const QString good = library.importFromSplFile(dir + QStringLiteral("/good.spl"));
    const QString bad = library.importFromSplFile(dir + QStringLiteral("/bad.spl"));
    QCOMPARE(entryOf(library, good).value(QStringLiteral("hasErrors")).toBool(), false);
    QCOMPARE(entryOf(library, good).value(QStringLiteral("commandCount")).toInt(), 2);
    QCOMPARE(entryOf(library, bad).value(QStringLiteral("hasErrors")).toBool(), true);
}

void TestProtocolLibrary::importFailures_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing file") << "missing.spl" << QByteArray() << "Could not open file: missing.spl";
    QTest::newRow("a folder") << "folder.spl" << QByteArray() << "Could not open file: folder.spl";
    QTest::newRow("parse error")
        << "bad.spl"
        << QByteArray("protocol name: X\n\ntipselect tip:small\nAspirate tip:small vol:1.0\n")
        << "Could not import protocol: Error at line 4: Unknown command type: Aspirate";
    QTest::newRow("no header") << "nohead.spl" << QByteArray("# comment\nprotocol name: X\n")
                               << "Could not import protocol: SPL file must start with 'protocol "
                                  "name:'";
    QTest::newRow("open loop")
        << "loop.spl"
        << QByteArray("protocol name: X\nloop 2\n  aspirate tip:small vol:1.0 xvol:0 speed:5\n")
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

void TestProtocolLibrary::exportFailures()
{
    ProtocolLibrary library;
    const QString id = library.createProtocol(QStringLiteral("X"));
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
    const QString path = m_env->tempDir() + QStringLiteral("/no/such/folder/x.spl");
    QVERIFY(!library.exportProtocolToFile(id, path));
    QCOMPARE(lastMessage(errors), QStringLiteral("Failed to open file: ") + path);
    const QString folder = m_env->tempDir() + QStringLiteral("/taken.spl");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(!library.exportProtocolToFile(id, folder));
    QCOMPARE(errors.count(), 2);
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

    const QByteArray steps = QJsonDocument(QJsonArray::fromVariantList(validSteps()))
                                 .toJson(QJsonDocument::Compact)
                                 .replace('\\', "\\\\")
                                 .replace('"', "\\\"");
    const QByteArray good = "1\\id=g1\n1\\name=Good\n1\\commands=\"" + steps + "\"\n";
    // A method whose steps are lost is kept by its name, and shown as having errors
    // whatever its stored flag said.
    QTest::newRow("wrong types")
        << QByteArray("[protocolLibrary]\n" + good
                      + "2\\id=w2\n2\\name=a, b\n2\\commands=[]\n"
                        "3\\id=w3\n3\\name=Ints\n3\\commands=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n"
                        "3\\hasErrors=false\n"
                        "4\\id=w4\n4\\name=Map steps\n4\\commands=\"{\\\"type\\\":\\\"aspirate\\\"}\"\n"
                        "5\\id=w5\n5\\name=Odd fields\n5\\description=x, y\n"
                        "5\\created=yesterday\n5\\modified=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n"
                        "5\\hasErrors=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n"
                        "6\\id=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x5)\n6\\name=Int id\n"
                        "7\\id=w7\n7\\name=@Variant(\\0\\0\\0\\x8\\0\\0\\0\\0)\n"
                        "size=7\n")
        << QStringList{"a, b", "Good", "Int id", "Ints", "Map steps", "Odd fields"}
        << QVariantMap{{"Odd fields", "x, y"}} << QStringList();
    QTest::newRow("missing keys")
        << QByteArray("[protocolLibrary]\n" + good
                      + "2\\name=No id\n3\\id=m3\n4\\id=m4\n4\\name=No steps\n"
                        "5\\id=\n5\\name=Empty id\n6\\id=m6\n6\\name=\"\"\nsize=6\n")
        << QStringList{"Good", "No steps"} << QVariantMap() << QStringList();
    QTest::newRow("no size, gaps and stray groups")
        << QByteArray("[protocolLibrary]\n7\\id=m7\n7\\name=Seventh\n" + good
                      + "x\\id=mx\nx\\name=Stray\n01\\id=m01\n01\\name=Padded\n")
        << QStringList{"Good", "Seventh"} << QVariantMap() << QStringList();
    QTest::newRow("a size of two billion")
        << QByteArray("[protocolLibrary]\n" + good + "size=2000000000\n") << QStringList{"Good"}
        << QVariantMap() << QStringList();
    QTest::newRow("steps that are not JSON")
        << QByteArray("[protocolLibrary]\n" + good
                      + "2\\id=j\n2\\name=Cut\n2\\description=kept\n2\\hasErrors=false\n"
                        "2\\commands=\"[{\\\"ty\"\n")
        << QStringList{"Cut", "Good"} << QVariantMap{{"Cut", "kept"}} << QStringList();
    QTest::newRow("steps nested beyond any parser")
        << QByteArray("[protocolLibrary]\n" + good + "2\\id=d\n2\\name=Deep\n2\\commands="
                      + QByteArray(100000, '[') + "\n")
        << QStringList{"Deep", "Good"} << QVariantMap() << QStringList();
    QTest::newRow("a huge entry")
        << QByteArray("[protocolLibrary]\n" + good + "2\\id=h\n2\\name=Huge\n2\\commands=\"["
                      + QByteArray(20 * 1024 * 1024, ' ') + "]\"\n3\\id=n\n3\\name="
                      + QByteArray(100000, 'n') + "\n")
        << QStringList{"Good", "Huge", QString(100000, QLatin1Char('n'))} << QVariantMap() << QStringList();
    // Values the settings layer's own decoder would trust to the end of the program.
    QTest::newRow("a list claiming two billion steps")
        << QByteArray("[protocolLibrary]\n" + good
                      + "2\\id=b\n2\\name=Bomb\n2\\description=kept\n"
                        "2\\commands=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n")
        << QStringList{"Bomb", "Good"} << QVariantMap{{"Bomb", "kept"}}
        << QStringList{"2\\commands"};
    QByteArray nested;
    for (int i = 0; i < 100000; ++i)
        nested += "\\0\\0\\0\\t\\0\\0\\0\\x1";
    QTest::newRow("lists nested past any stack")
        << QByteArray("[protocolLibrary]\n" + good + "2\\id=n\n2\\name=Nest\n2\\commands=@Variant("
                      + nested + "\\0\\0\\0\\x2\\0\\0\\0\\0)\n[pairedDevices]\n1\\name=@Variant(\\0\\0\\0\\xb\\x7f\\xff\\xff\\0)\n")
        << QStringList{"Good", "Nest"} << QVariantMap() << QStringList{"2\\commands", "1\\name"};
    QTest::newRow("the same id twice")
        << QByteArray("[protocolLibrary]\n" + good + "2\\id=g1\n2\\name=Twin\n") << QStringList{"Good", "Twin"}
        << QVariantMap() << QStringList();
    QTest::newRow("not an ini file at all")
        << QByteArray("\x00\x01\xff\xfe{[protocolLibrary]]]\n=\n\\\\\n", 27) << QStringList()
        << QVariantMap() << QStringList();
}

void TestProtocolLibrary::damagedStore()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, names);
    QFETCH(QVariantMap, descriptions);
    QFETCH(QStringList, setAside);
    writeStoreFile(ini);

    const auto checkDescriptions = [&](const ProtocolLibrary &library) {
        for (const QVariant &entry : library.getAllProtocols()) {
            const QVariantMap summary = entry.toMap();
            const QString name = summary.value(QStringLiteral("name")).toString();
            QCOMPARE(summary.value(QStringLiteral("description")).toString(),
                     descriptions.value(name).toString());
        }
    };
    QStringList ids;
    {
        ProtocolLibrary library;
        QCOMPARE(namesOf(library), names);
        checkDescriptions(library);
        for (const QVariant &entry : library.getAllProtocols()) {
            const QVariantMap summary = entry.toMap();
            ids << summary.value(QStringLiteral("id")).toString();
            // Only Good's steps can be read; every other method has none left, or never had
            // any, and none of them passes for a method without errors.
            const bool isGood = summary.value(QStringLiteral("id")) == QLatin1String("g1");
            QCOMPARE(summary.value(QStringLiteral("commandCount")).toInt() > 0, isGood);
            QCOMPARE(summary.value(QStringLiteral("hasErrors")).toBool(), !isGood);
        }
        if (names.contains(QStringLiteral("Good"))) {
            const QString good = library.getProtocol(QStringLiteral("g1")).value(QStringLiteral("name")).toString();
            QCOMPARE(good, QStringLiteral("Good"));
        }
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), ids.size());
        QVERIFY(!ids.contains(QString()));
        // The next save keeps everything the library could read.
        QVERIFY(!library.createProtocol(QStringLiteral("After")).isEmpty());
    }
    ProtocolLibrary reread;
    QStringList expected = names;
    expected << QStringLiteral("After");
    std::sort(expected.begin(), expected.end(), [](const QString &a, const QString &b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    });
    QCOMPARE(namesOf(reread), expected);
    checkDescriptions(reread);
    for (const QString &id : qAsConst(ids))
        QVERIFY(reread.protocolExists(id));
    // Nothing is lost for good: what was moved aside is kept beside the store.
    const QByteArray aside = readFile(storePath() + QStringLiteral(".damaged"));
    QCOMPARE(aside.isEmpty(), setAside.isEmpty());
    for (const QString &key : qAsConst(setAside))
        QVERIFY2(aside.contains("\n" + key.toUtf8() + "=@Variant("), qPrintable(key));
}

void TestProtocolLibrary::sizeLimitAgreesWithTheReader_data()
{
    QTest::addColumn<int>("margin");
    QTest::newRow("just fits") << -1;
    QTest::newRow("just too large") << 1;
}

void TestProtocolLibrary::sizeLimitAgreesWithTheReader()
{
    // Purges with long tip texts make a stored form of many megabytes from few steps.
    QFETCH(int, margin);
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
    const int count = (SettingsFileCheck::MaxValueBytes - storedSize({})) / perStep + (margin > 0 ? 1 : 0);
    const QVariantList steps = purges(count);
    QCOMPARE(storedSize(steps) > SettingsFileCheck::MaxValueBytes, margin > 0);

    QString id;
    {
        ProtocolLibrary library;
        id = library.createProtocol(QStringLiteral("Big"));
        QVERIFY(library.saveProtocol(id, QStringLiteral("Big"), QStringLiteral("before"), validSteps()));
        QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
        QCOMPARE(library.saveProtocol(id, QStringLiteral("Big"), QString(), steps), margin < 0);
        if (margin > 0) {
            QCOMPARE(lastMessage(errors), QStringLiteral("The method \"Big\" is too large to keep in the library"));
            // The same method from a file is refused before anything is added.
            QString text = QStringLiteral("protocol name: Big file\n");
            for (int i = 0; i < count; ++i)
                text += QStringLiteral("purge tip:%1 speed:5\n").arg(tip);
            writeFile(m_env->tempDir() + QStringLiteral("/big.spl"), text.toUtf8());
            QCOMPARE(library.importFromSplFile(m_env->tempDir() + QStringLiteral("/big.spl")), QString());
            QCOMPARE(lastMessage(errors),
                     QStringLiteral("Could not import protocol: the method is too large to keep in the library"));
            QCOMPARE(library.protocolCount(), 1);
        }
    }
    // What the library took, it reads back whole; what it refused left the earlier steps.
    ProtocolLibrary reread;
    const QVariantList read = reread.getProtocol(id).value(QStringLiteral("commands")).toList();
    QCOMPARE(read.size(), margin < 0 ? count : validSteps().size());
    QCOMPARE(QFile::exists(storePath() + QStringLiteral(".damaged")), false);
}

void TestProtocolLibrary::truncatedStore()
{
    // A store of three methods, cut short at every few bytes: whatever is read must be a
    // method as it was (a name may lose its tail, being the last line of its element),
    // and every method whose lines all survived must be there, also after the next save.
    QStringList ids;
    QHash<QString, QString> steps;
    QHash<QString, QString> names;
    {
        ProtocolLibrary library;
        for (const char *name : {"First", "Second method", "Third"}) {
            const QString id = library.createProtocol(QString::fromLatin1(name));
            QVERIFY(library.saveProtocol(id, QString::fromLatin1(name), QStringLiteral("about ") + name,
                                         validSteps()));
            ids << id;
            names.insert(id, QString::fromLatin1(name));
            steps.insert(id, stepsText(library.getProtocol(id).value(QStringLiteral("commands")).toList()));
        }
    }
    const QByteArray full = readFile(storePath());
    QVERIFY(full.size() > 1000);

    for (int length = 0; length < full.size(); length += 37) {
        const QByteArray cut = full.left(length);
        writeStoreFile(cut);
        QStringList survivors;
        {
            ProtocolLibrary library;
            for (const QVariant &entry : library.getAllProtocols()) {
                const QString id = entry.toMap().value(QStringLiteral("id")).toString();
                const QString name = entry.toMap().value(QStringLiteral("name")).toString();
                QVERIFY2(ids.contains(id), qPrintable(QStringLiteral("id %1 at %2").arg(id).arg(length)));
                QVERIFY(names.value(id).startsWith(name));
                QCOMPARE(stepsText(library.getProtocol(id).value(QStringLiteral("commands")).toList()),
                         steps.value(id));
                survivors << id;
            }
            for (int index = 0; index < ids.size(); ++index) {
                // The element's last line (its name) is whole: every line of it is.
                const QByteArray nameLine = QByteArray::number(index + 1) + "\\name="
                                            + names.value(ids.at(index)).toUtf8() + "\n";
                if (cut.contains(nameLine))
                    QVERIFY2(survivors.contains(ids.at(index)),
                             qPrintable(QStringLiteral("method %1 lost at %2").arg(index).arg(length)));
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
    QString keep;
    QString other;
    {
        ProtocolLibrary library;
        keep = library.createProtocol(QStringLiteral("Keep"));
        other = library.createProtocol(QStringLiteral("Other"));
    }
    ProtocolLibrary library;
    library.setJournaledSaves(journaled);
    QSignalSpy errors(&library, &ProtocolLibrary::errorOccurred);
    QSignalSpy changed(&library, &ProtocolLibrary::protocolsChanged);
    const QVariantList listing = library.getAllProtocols();

    // The store cannot be replaced while a folder stands in its place.
    const QString path = storePath();
    QVERIFY(QFile::rename(path, path + QStringLiteral(".aside")));
    QVERIFY(QDir().mkdir(path));

    QCOMPARE(library.createProtocol(QStringLiteral("New")), QString());
    QVERIFY(!library.saveProtocol(keep, QStringLiteral("Keep"), QString(), validSteps()));
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
    QVERIFY(QDir().rmdir(path));
    QVERIFY(QFile::rename(path + QStringLiteral(".aside"), path));
    {
        QSettings settings(Organization, Application);
        settings.setValue(QStringLiteral("pairedDevices/size"), 0);
    }
    {
        ProtocolLibrary reread;
        QCOMPARE(reread.getAllProtocols(), listing);
    }
    // And the library saves again once it can.
    QVERIFY(library.renameProtocol(keep, QStringLiteral("Renamed")));
    ProtocolLibrary reread;
    QCOMPARE(namesOf(reread), (QStringList{"Other", "Renamed"}));
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
        QVERIFY(library.saveProtocol(keep, QStringLiteral("Keep"), QStringLiteral("d"), validSteps()));
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
        QVERIFY(!library.saveProtocol(keep, QStringLiteral("Rejected"), QString(), invalidSteps()));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(lastMessage(errors), QStringLiteral("Could not save the method library"));
        QCOMPARE(library.getAllProtocols(), listing);
        // The store can be written again at once, and holds what it held before.
        QCOMPARE(readFile(storePath()), before);
    }
    // Nor does anything left in the process reach it later, or the next start revive it.
    {
        QSettings settings(Organization, Application);
        settings.setValue(QStringLiteral("pairedDevices/size"), 0);
    }
    ProtocolLibrary reread;
    QCOMPARE(reread.getAllProtocols(), listing);
    QCOMPARE(stepsText(reread.getProtocol(keep).value(QStringLiteral("commands")).toList()),
             stepsText(validSteps()));
}

void TestProtocolLibrary::journaledSaves()
{
    QString id;
    {
        ProtocolLibrary library;
        library.setJournaledSaves(true);
        QVERIFY(library.journaledSaves());
        id = library.createProtocol(QStringLiteral("One"));
        QVERIFY(library.saveProtocol(id, QStringLiteral("One"), QString(), validSteps()));
        library.duplicateProtocol(id);
        QVERIFY(library.deleteProtocol(id));
    }
    QSettings settings(Organization, Application);
    QVERIFY(!settings.contains(QStringLiteral("protocolLibraryJournal")));
    ProtocolLibrary reread;
    QCOMPARE(namesOf(reread), QStringList{"One (Copy 1)"});
}

void TestProtocolLibrary::interruptedJournaledSaveIsCompleted()
{
    // A save cut short in a store written key by key: the journal holds the new library
    // whole, the array only part of it.
    const QByteArray journal = QJsonDocument(QJsonArray{
        QJsonObject{{"id", "a"}, {"name", "Alpha"}, {"description", "new"},
                    {"created", "2026-01-02T03:04:05.006Z"}, {"modified", "2026-01-02T03:04:05.006Z"},
                    {"commands", QJsonArray::fromVariantList(validSteps())}, {"hasErrors", false}},
        QJsonObject{{"id", "b"}, {"name", "Beta"}, {"commands", QJsonArray()}, {"hasErrors", true}}})
                                   .toJson(QJsonDocument::Compact);
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
        QCOMPARE(library.getProtocol(QStringLiteral("a")).value(QStringLiteral("description")).toString(),
                 QStringLiteral("new"));
        QCOMPARE(library.getProtocol(QStringLiteral("a")).value(QStringLiteral("created")).toDateTime(),
                 QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6), Qt::UTC));
    }
    {
        // Completed at once: the array is whole and the journal gone.
        QSettings settings(Organization, Application);
        QVERIFY(!settings.contains(QStringLiteral("protocolLibraryJournal")));
        QCOMPARE(settings.value(QStringLiteral("protocolLibrary/size")).toInt(), 2);
        QCOMPARE(settings.value(QStringLiteral("protocolLibrary/2/name")).toString(), QStringLiteral("Beta"));
    }
    // A journal that cannot be read is passed over for the array.
    {
        QSettings settings(Organization, Application);
        settings.setValue(QStringLiteral("protocolLibraryJournal"), QStringLiteral("[{\"id\":"));
    }
    ProtocolLibrary library;
    QCOMPARE(namesOf(library), (QStringList{"Alpha", "Beta"}));
}

NERRA_TEST_MAIN(TestProtocolLibrary)
#include "tst_protocollibrary.moc"
