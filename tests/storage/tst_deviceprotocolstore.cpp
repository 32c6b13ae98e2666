#include "devices/deviceinfo.h"
#include "devices/devicemanager.h"
#include "devices/devicestorecleaner.h"
#include "storage/deviceprotocolstore.h"
#include "testmain.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>

#include <memory>

namespace {

const QString Hw = QStringLiteral("A1B2C3D4E5F6");
const QString OtherHw = QStringLiteral("0F0E0D0C0B0A");

QSettings meta()
{
    return QSettings(QStringLiteral("Vellora"), QStringLiteral("Nerra"));
}

QString value(const QString &hardwareId, const QString &filename, const char *entry)
{
    return meta().value(QStringLiteral("deviceProtocolsMeta/%1/%2/").arg(hardwareId, filename) + entry).toString();
}

QString cacheRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/deviceProtocols");
}

// Every file under the sandbox, relative to it: nothing may appear outside its place.
QStringList filesUnder(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

class TestDeviceProtocolStore : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void storeFlagsAndRestart();
    void mergeWithDeviceList();
    void rename();
    void unsafeNamesRefused_data();
    void unsafeNamesRefused();
    void failedWriteChangesNothing();
    void forgettingDeviceClearsItsCacheOnly();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestDeviceProtocolStore::storeFlagsAndRestart()
{
    {
        DeviceProtocolStore store;
        QCOMPARE(store.protocolCount(Hw), 0);
        QVERIFY(store.csvData(Hw, "a.csv").isNull() && !store.isDirty(Hw, "a.csv") && !store.hasProtocol(Hw, "a.csv"));
        QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);
        const QString before = QDateTime::currentDateTimeUtc().addSecs(-1).toString(Qt::ISODate);

        QVERIFY(store.storeLocalEdit(Hw, "B.csv", "local\r\n"));
        QVERIFY(store.storeFromDevice(Hw, "a.csv", "device\n"));
        QVERIFY(store.storeFromDevice(Hw, "a.csv", "device again\n"));
        // Dots inside a name cannot leave the folder: such a file is kept like any other.
        QVERIFY(store.storeFromDevice(Hw, "v1..2 (Lösung).csv", "v"));
        QVERIFY(store.storeFromDevice(OtherHw, "x.csv", "x"));
        QCOMPARE(changed.count(), 5);
        QCOMPARE(changed.at(0), (QVariantList{Hw, "B.csv"}));
        QCOMPARE(store.filenames(Hw), (QStringList{"a.csv", "B.csv", "v1..2 (Lösung).csv"}));
        QCOMPARE(store.protocolCount(Hw), 3);
        QCOMPARE(store.csvData(Hw, "a.csv"), QByteArray("device again\n"));
        QVERIFY(store.isDirty(Hw, "B.csv") && !store.isDirty(Hw, "a.csv"));
        QVERIFY(QFile::exists(cacheRoot() + "/" + Hw + "/a.csv"));
        const QString fetched = value(Hw, "a.csv", "lastFetchedAt");
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$").match(fetched).hasMatch());
        QVERIFY(fetched >= before);
        QCOMPARE(value(Hw, "B.csv", "lastFetchedAt"), QString());

        store.markSynced(Hw, "B.csv");
        QVERIFY(!store.isDirty(Hw, "B.csv"));
        QVERIFY(value(Hw, "B.csv", "lastPushedAt") >= before);
        QCOMPARE(changed.count(), 6);
        QVERIFY(store.storeLocalEdit(Hw, "B.csv", "edited\r\nagain"));

        store.removeProtocol(Hw, "a.csv");
        QVERIFY(!store.hasProtocol(Hw, "a.csv"));
        QCOMPARE(value(Hw, "a.csv", "lastFetchedAt"), QString());
        QCOMPARE(changed.count(), 8);
    }
    // Nothing is kept in memory: a new store sees what the last one left.
    DeviceProtocolStore store;
    QCOMPARE(store.filenames(Hw), (QStringList{"B.csv", "v1..2 (Lösung).csv"}));
    QCOMPARE(store.csvData(Hw, "B.csv"), QByteArray("edited\r\nagain"));
    QCOMPARE(store.csvData(Hw, "v1..2 (Lösung).csv"), QByteArray("v"));
    QVERIFY(store.isDirty(Hw, "B.csv"));
    QCOMPARE(store.csvData(OtherHw, "x.csv"), QByteArray("x"));
}

void TestDeviceProtocolStore::mergeWithDeviceList()
{
    DeviceProtocolStore store;
    store.storeFromDevice(Hw, "x.csv", "x");
    store.storeFromDevice(Hw, "y.csv", "y");
    store.storeLocalEdit(Hw, "z.csv", "z");
    store.storeLocalEdit(Hw, "w.csv", "w");
    QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);

    const QStringList kept = store.setFilenames(Hw, {"x.csv", "new.csv", "w.csv", "../up.csv"});
    // The clean copy the instrument no longer has goes; the unsent edit stays.
    QCOMPARE(kept, QStringList{"z.csv"});
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0), (QVariantList{Hw, "y.csv"}));
    QVERIFY(!store.hasProtocol(Hw, "y.csv") && store.hasProtocol(Hw, "z.csv") && store.isDirty(Hw, "w.csv"));
    QCOMPARE(meta().value("deviceProtocolsMeta/" + Hw + "/filenames").toStringList(),
             (QStringList{"x.csv", "new.csv", "w.csv", "z.csv"}));
    QCOMPARE(store.filenames(Hw), (QStringList{"new.csv", "w.csv", "x.csv", "z.csv"}));
}

void TestDeviceProtocolStore::rename()
{
    DeviceProtocolStore store;
    store.storeFromDevice(Hw, "old.csv", "content");
    store.storeLocalEdit(Hw, "old.csv", "edited");
    store.storeFromDevice(Hw, "other.csv", "other");
    const QString fetched = value(Hw, "old.csv", "lastFetchedAt");
    QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);

    QVERIFY(store.renameProtocol(Hw, "old.csv", "old.csv"));
    // An existing copy is never overwritten, and a missing one is not invented.
    QVERIFY(!store.renameProtocol(Hw, "old.csv", "other.csv"));
    QVERIFY(!store.renameProtocol(Hw, "missing.csv", "x.csv"));
    QCOMPARE(store.csvData(Hw, "other.csv"), QByteArray("other"));
    QCOMPARE(store.csvData(Hw, "old.csv"), QByteArray("edited"));
    QCOMPARE(changed.count(), 0);

    QVERIFY(store.renameProtocol(Hw, "old.csv", "New.csv"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0), (QVariantList{Hw, "New.csv"}));
    QCOMPARE(store.csvData(Hw, "New.csv"), QByteArray("edited"));
    QVERIFY(store.isDirty(Hw, "New.csv") && !store.isDirty(Hw, "old.csv") && !store.hasProtocol(Hw, "old.csv"));
    QCOMPARE(value(Hw, "New.csv", "lastFetchedAt"), fetched);
    QCOMPARE(value(Hw, "New.csv", "lastPushedAt"), QString());
    QCOMPARE(value(Hw, "old.csv", "lastFetchedAt"), QString());
    QCOMPARE(store.filenames(Hw), (QStringList{"New.csv", "other.csv"}));
}

void TestDeviceProtocolStore::unsafeNamesRefused_data()
{
    QTest::addColumn<QString>("hardwareId");
    QTest::addColumn<QString>("filename");

    QTest::newRow("parent folder") << Hw << "../escape.csv";
    QTest::newRow("dots") << Hw << "..";
    QTest::newRow("dot") << Hw << ".";
    QTest::newRow("control character") << Hw << "x\ny.csv";
    QTest::newRow("slash") << Hw << "sub/x.csv";
    QTest::newRow("absolute") << Hw << "/tmp/x.csv";
    QTest::newRow("backslash") << Hw << "..\\x.csv";
    QTest::newRow("nul") << Hw << QString("x.csv") + QChar(0) + "y";
    QTest::newRow("nothing") << Hw << "";
    QTest::newRow("the name list's key") << Hw << "filenames";
    QTest::newRow("hardware id with a path") << "../" + OtherHw << "x.csv";
    QTest::newRow("empty hardware id") << "" << "x.csv";
    QTest::newRow("hardware id dots") << ".." << "x.csv";
    QTest::newRow("hardware id dot") << "." << "x.csv";
    QTest::newRow("hardware id up and back") << Hw + "/.." << "x.csv";
    QTest::newRow("other's folder by a detour") << "../deviceProtocols/" + Hw << "x.csv";
    QTest::newRow("hardware id backslashes") << "..\\.." << "x.csv";
}

void TestDeviceProtocolStore::unsafeNamesRefused()
{
    QFETCH(QString, hardwareId);
    QFETCH(QString, filename);

    DeviceProtocolStore store;
    store.storeLocalEdit(OtherHw, "x.csv", "kept");
    store.storeFromDevice(Hw, "kept.csv", "kept");
    const QStringList files = filesUnder(m_env->root());
    const QStringList keys = meta().allKeys();
    QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);

    QVERIFY(!store.storeLocalEdit(hardwareId, filename, "evil"));
    QVERIFY(!store.storeFromDevice(hardwareId, filename, "evil"));
    store.markSynced(hardwareId, filename);
    store.removeProtocol(hardwareId, filename);
    QVERIFY(!store.renameProtocol(hardwareId, "kept.csv", filename));
    QVERIFY(!store.renameProtocol(hardwareId, filename, "fine.csv"));
    QVERIFY(store.csvData(hardwareId, filename).isNull() && !store.isDirty(hardwareId, filename));
    QVERIFY(!store.hasProtocol(hardwareId, filename));
    if (filename != QLatin1String("filenames"))
        QCOMPARE(store.filePath(hardwareId, filename), QString());
    if (hardwareId != Hw) {
        QCOMPARE(store.setFilenames(hardwareId, {"x.csv"}), QStringList());
        QCOMPARE(store.filenames(hardwareId), QStringList());
        store.clearDevice(hardwareId);
    }
    QCOMPARE(changed.count(), 0);
    QCOMPARE(filesUnder(m_env->root()), files);
    QCOMPARE(meta().allKeys(), keys);
    QCOMPARE(store.csvData(Hw, "kept.csv"), QByteArray("kept"));
}

void TestDeviceProtocolStore::failedWriteChangesNothing()
{
    DeviceProtocolStore store;
    store.storeFromDevice(Hw, "a.csv", "a");
    // The instrument's folder cannot be made: a file stands in its place.
    QFile blocker(cacheRoot() + "/" + OtherHw);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);
    const QStringList keys = meta().allKeys();

    QVERIFY(!store.storeLocalEdit(OtherHw, "x.csv", "edit"));
    QVERIFY(!store.storeFromDevice(OtherHw, "x.csv", "fetched"));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(store.filenames(OtherHw), QStringList());
    QCOMPARE(meta().allKeys(), keys);
    // A replaced copy leaves no temporary file beside it.
    QVERIFY(store.storeLocalEdit(Hw, "a.csv", "edited"));
    QCOMPARE(QDir(cacheRoot() + "/" + Hw).entryList(QDir::Files | QDir::Hidden), QStringList{"a.csv"});
}

void TestDeviceProtocolStore::forgettingDeviceClearsItsCacheOnly()
{
    DeviceManager manager;
    DeviceProtocolStore store;
    DeviceStoreCleaner::connect(&manager, &store, [&store](const QString &hardwareId) { store.clearDevice(hardwareId); });
    auto *joined = new DeviceInfo(QStringLiteral("Joined"), QStringLiteral("AA:00:00:00:00:0B"));
    joined->setHardwareId(Hw);
    manager.addDevice(joined);
    manager.addOrUpdateUsbDevice(QStringLiteral("Bench"), QString(), QString(), -1, OtherHw);
    store.storeFromDevice(Hw, "a.csv", "a");
    store.storeLocalEdit(Hw, "b.csv", "b");
    store.storeLocalEdit(OtherHw, "c.csv", "c");

    manager.forgetDevice(manager.devices().indexOf(joined));
    QCOMPARE(store.filenames(Hw), QStringList());
    QVERIFY(!store.isDirty(Hw, "b.csv") && !QDir(cacheRoot() + "/" + Hw).exists());
    QVERIFY(meta().allKeys().filter(Hw).isEmpty());
    QCOMPARE(store.filenames(OtherHw), QStringList{"c.csv"});
    QVERIFY(store.isDirty(OtherHw, "c.csv"));
    QCOMPARE(store.csvData(OtherHw, "c.csv"), QByteArray("c"));
}

NERRA_TEST_MAIN(TestDeviceProtocolStore)
#include "tst_deviceprotocolstore.moc"
