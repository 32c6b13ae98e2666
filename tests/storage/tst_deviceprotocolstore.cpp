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

#include <algorithm>
#include <memory>

namespace {

const QString Hw = QStringLiteral("A1B2C3D4E5F6");
const QString OtherHw = QStringLiteral("0F0E0D0C0B0A");

QVariant metaValue(const QString &key)
{
    return QSettings(QStringLiteral("Vellora"), QStringLiteral("Nerra")).value(key);
}

QStringList metaKeys()
{
    return QSettings(QStringLiteral("Vellora"), QStringLiteral("Nerra")).allKeys();
}

QString value(const QString &hardwareId, const QString &filename, const char *entry)
{
    return metaValue(QStringLiteral("deviceProtocolsMeta/%1/%2/").arg(hardwareId, filename)
                     + QLatin1String(entry)).toString();
}

QString cacheRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
           + QStringLiteral("/deviceProtocols");
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

    void emptyInstrument();
    void storeAndFlags();
    void mergeWithDeviceList();
    void rename();
    void survivesRecreation();
    void unsafeNamesRefused_data();
    void unsafeNamesRefused();
    void clearDeviceRefusesPaths_data();
    void clearDeviceRefusesPaths();
    void failedWriteChangesNothing();
    void forgettingDeviceClearsItsCacheOnly();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestDeviceProtocolStore::emptyInstrument()
{
    DeviceProtocolStore store;
    QCOMPARE(store.filenames(Hw), QStringList());
    QCOMPARE(store.protocolCount(Hw), 0);
    QCOMPARE(store.csvData(Hw, "a.csv"), QByteArray());
    QVERIFY(!store.isDirty(Hw, "a.csv"));
    QVERIFY(!store.hasProtocol(Hw, "a.csv"));
}

void TestDeviceProtocolStore::storeAndFlags()
{
    DeviceProtocolStore store;
    QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);
    const QString before = QDateTime::currentDateTimeUtc().addSecs(-1).toString(Qt::ISODate);

    QVERIFY(store.storeLocalEdit(Hw, "B.csv", "local\r\n"));
    QVERIFY(store.storeFromDevice(Hw, "a.csv", "device\n"));
    QVERIFY(store.storeFromDevice(Hw, "a.csv", "device again\n"));
    QCOMPARE(changed.count(), 3);
    QCOMPARE(changed.at(0), (QVariantList{Hw, "B.csv"}));
    QCOMPARE(store.filenames(Hw), (QStringList{"a.csv", "B.csv"}));
    QCOMPARE(store.protocolCount(Hw), 2);
    QCOMPARE(store.csvData(Hw, "B.csv"), QByteArray("local\r\n"));
    QCOMPARE(store.csvData(Hw, "a.csv"), QByteArray("device again\n"));
    QVERIFY(store.isDirty(Hw, "B.csv"));
    QVERIFY(!store.isDirty(Hw, "a.csv"));
    QVERIFY(store.hasProtocol(Hw, "a.csv"));
    QVERIFY(QFile::exists(cacheRoot() + "/" + Hw + "/a.csv"));

    const QString fetched = value(Hw, "a.csv", "lastFetchedAt");
    QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$").match(fetched).hasMatch());
    QVERIFY(fetched >= before);
    QCOMPARE(value(Hw, "B.csv", "lastFetchedAt"), QString());

    store.markSynced(Hw, "B.csv");
    QVERIFY(!store.isDirty(Hw, "B.csv"));
    QVERIFY(value(Hw, "B.csv", "lastPushedAt") >= before);
    QCOMPARE(store.csvData(Hw, "B.csv"), QByteArray("local\r\n"));
    QCOMPARE(changed.count(), 4);

    store.removeProtocol(Hw, "a.csv");
    QCOMPARE(store.filenames(Hw), QStringList{"B.csv"});
    QVERIFY(!store.hasProtocol(Hw, "a.csv"));
    QCOMPARE(value(Hw, "a.csv", "lastFetchedAt"), QString());
    QCOMPARE(changed.count(), 5);
}

void TestDeviceProtocolStore::mergeWithDeviceList()
{
    DeviceProtocolStore store;
    store.storeFromDevice(Hw, "x.csv", "x");
    store.storeFromDevice(Hw, "y.csv", "y");
    store.storeLocalEdit(Hw, "z.csv", "z");
    store.storeLocalEdit(Hw, "w.csv", "w");
    QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignoring unusable file name from device"));
    const QStringList kept = store.setFilenames(Hw, {"x.csv", "new.csv", "w.csv", "../up.csv"});
    // The clean copy the instrument no longer has goes; the unsent edit stays.
    QCOMPARE(kept, QStringList{"z.csv"});
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0), (QVariantList{Hw, "y.csv"}));
    QVERIFY(!store.hasProtocol(Hw, "y.csv"));
    QVERIFY(store.hasProtocol(Hw, "z.csv"));
    QVERIFY(store.isDirty(Hw, "w.csv"));
    QCOMPARE(metaValue("deviceProtocolsMeta/" + Hw + "/filenames").toStringList(),
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
    QCOMPARE(changed.count(), 0);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("DeviceProtocolStore: rename failed \".*old.csv\" -> \".*other.csv\"$"));
    QVERIFY(!store.renameProtocol(Hw, "old.csv", "other.csv"));
    QCOMPARE(store.csvData(Hw, "old.csv"), QByteArray("edited"));
    QCOMPARE(store.csvData(Hw, "other.csv"), QByteArray("other"));
    QVERIFY(store.isDirty(Hw, "old.csv"));
    QCOMPARE(changed.count(), 0);

    QVERIFY(store.renameProtocol(Hw, "old.csv", "New.csv"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0), (QVariantList{Hw, "New.csv"}));
    QVERIFY(store.isDirty(Hw, "New.csv"));
    QCOMPARE(value(Hw, "New.csv", "lastFetchedAt"), fetched);
    QCOMPARE(value(Hw, "New.csv", "lastPushedAt"), QString());
    QVERIFY(!store.isDirty(Hw, "old.csv"));
    QCOMPARE(value(Hw, "old.csv", "lastFetchedAt"), QString());
    QCOMPARE(store.csvData(Hw, "New.csv"), QByteArray("edited"));
    QVERIFY(!store.hasProtocol(Hw, "old.csv"));
    QCOMPARE(store.filenames(Hw), (QStringList{"New.csv", "other.csv"}));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("rename failed"));
    QVERIFY(!store.renameProtocol(Hw, "missing.csv", "x.csv"));
    QCOMPARE(store.filenames(Hw), (QStringList{"New.csv", "other.csv"}));
}

void TestDeviceProtocolStore::survivesRecreation()
{
    {
        DeviceProtocolStore store;
        store.storeLocalEdit(Hw, "edit.csv", "e");
        store.storeFromDevice(Hw, "fetched.csv", "f");
        store.storeFromDevice(OtherHw, "x.csv", "x");
        // Dots inside a name cannot leave the folder: such a file is kept like any other.
        QVERIFY(store.storeFromDevice(Hw, "v1..2 (Lösung).csv", "v"));
        store.renameProtocol(Hw, "edit.csv", "renamed.csv");
    }
    DeviceProtocolStore store;
    QCOMPARE(store.filenames(Hw), (QStringList{"fetched.csv", "renamed.csv", "v1..2 (Lösung).csv"}));
    QCOMPARE(store.csvData(Hw, "v1..2 (Lösung).csv"), QByteArray("v"));
    QVERIFY(store.isDirty(Hw, "renamed.csv"));
    QVERIFY(!store.isDirty(Hw, "fetched.csv"));
    QCOMPARE(store.csvData(Hw, "renamed.csv"), QByteArray("e"));
    QCOMPARE(store.csvData(OtherHw, "x.csv"), QByteArray("x"));
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
}

void TestDeviceProtocolStore::unsafeNamesRefused()
{
    QFETCH(QString, hardwareId);
    QFETCH(QString, filename);

    DeviceProtocolStore store;
    store.storeLocalEdit(OtherHw, "x.csv", "kept");
    store.storeFromDevice(Hw, "kept.csv", "kept");
    const QStringList files = filesUnder(m_env->root());
    const QStringList keys = metaKeys();
    QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);

    const QRegularExpression refused("refused");
    QTest::ignoreMessage(QtWarningMsg, refused);
    QVERIFY(!store.storeLocalEdit(hardwareId, filename, "evil"));
    QTest::ignoreMessage(QtWarningMsg, refused);
    QVERIFY(!store.storeFromDevice(hardwareId, filename, "evil"));
    QTest::ignoreMessage(QtWarningMsg, refused);
    store.markSynced(hardwareId, filename);
    QTest::ignoreMessage(QtWarningMsg, refused);
    store.removeProtocol(hardwareId, filename);
    QTest::ignoreMessage(QtWarningMsg, refused);
    QVERIFY(!store.renameProtocol(hardwareId, "kept.csv", filename));
    QTest::ignoreMessage(QtWarningMsg, refused);
    QVERIFY(!store.renameProtocol(hardwareId, filename, "fine.csv"));
    QTest::ignoreMessage(QtWarningMsg, refused);
    QCOMPARE(store.csvData(hardwareId, filename), QByteArray());

    QCOMPARE(changed.count(), 0);
    QCOMPARE(filesUnder(m_env->root()), files);
    QCOMPARE(metaKeys(), keys);
    QCOMPARE(store.csvData(Hw, "kept.csv"), QByteArray("kept"));
}

void TestDeviceProtocolStore::clearDeviceRefusesPaths_data()
{
    QTest::addColumn<QString>("hardwareId");
    QTest::newRow("empty") << "";
    QTest::newRow("dot") << ".";
    QTest::newRow("dots") << "..";
    QTest::newRow("path") << Hw + "/..";
    QTest::newRow("other's folder by a detour") << "../deviceProtocols/" + Hw;
    QTest::newRow("backslash") << "..\\..";
}

void TestDeviceProtocolStore::clearDeviceRefusesPaths()
{
    QFETCH(QString, hardwareId);

    DeviceProtocolStore store;
    store.storeFromDevice(Hw, "a.csv", "a");
    store.storeLocalEdit(OtherHw, "b.csv", "b");
    const QStringList files = filesUnder(m_env->root());
    const QStringList keys = metaKeys();

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("clearDevice refused"));
    store.clearDevice(hardwareId);
    QCOMPARE(filesUnder(m_env->root()), files);
    QCOMPARE(metaKeys(), keys);
}

void TestDeviceProtocolStore::failedWriteChangesNothing()
{
    DeviceProtocolStore store;
    store.storeFromDevice(Hw, "a.csv", "a");
    // The instrument's folder cannot be made: a file stands in its place.
    QDir().mkpath(cacheRoot());
    QFile blocker(cacheRoot() + "/" + OtherHw);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);
    const QStringList keys = metaKeys();

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("DeviceProtocolStore: failed to write"));
    QVERIFY(!store.storeLocalEdit(OtherHw, "x.csv", "edit"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("DeviceProtocolStore: failed to write"));
    QVERIFY(!store.storeFromDevice(OtherHw, "x.csv", "fetched"));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(store.filenames(OtherHw), QStringList());
    QVERIFY(!store.isDirty(OtherHw, "x.csv"));
    QCOMPARE(metaKeys(), keys);
    // A replaced copy leaves no temporary file beside it.
    QVERIFY(store.storeLocalEdit(Hw, "a.csv", "edited"));
    QCOMPARE(QDir(cacheRoot() + "/" + Hw).entryList(QDir::Files | QDir::Hidden), QStringList{"a.csv"});
}

void TestDeviceProtocolStore::forgettingDeviceClearsItsCacheOnly()
{
    DeviceManager manager;
    DeviceProtocolStore store;
    DeviceStoreCleaner::connect(&manager, &store,
                                [&store](const QString &hardwareId) { store.clearDevice(hardwareId); });
    auto *joined = new DeviceInfo(QStringLiteral("Joined"), QStringLiteral("AA:00:00:00:00:0B"));
    joined->setHardwareId(Hw);
    manager.addDevice(joined);
    manager.addOrUpdateUsbDevice(QStringLiteral("Bench"), QString(), QString(), -1, OtherHw);
    store.storeFromDevice(Hw, "a.csv", "a");
    store.storeLocalEdit(Hw, "b.csv", "b");
    store.storeLocalEdit(OtherHw, "c.csv", "c");
    QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);

    manager.forgetDevice(manager.devices().indexOf(joined));
    QCOMPARE(store.filenames(Hw), QStringList());
    QVERIFY(!store.hasProtocol(Hw, "a.csv"));
    QVERIFY(!store.isDirty(Hw, "b.csv"));
    QVERIFY(!QDir(cacheRoot() + "/" + Hw).exists());
    QCOMPARE(changed.count(), 0);
    const QStringList left = metaKeys();
    QVERIFY(std::none_of(left.begin(), left.end(), [](const QString &key) { return key.contains(Hw); }));

    QCOMPARE(store.filenames(OtherHw), QStringList{"c.csv"});
    QVERIFY(store.isDirty(OtherHw, "c.csv"));
    QCOMPARE(store.csvData(OtherHw, "c.csv"), QByteArray("c"));
}

NERRA_TEST_MAIN(TestDeviceProtocolStore)
#include "tst_deviceprotocolstore.moc"
