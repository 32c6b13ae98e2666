#include "storage/deviceprotocolstore.h"
#include "testmain.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
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

QString stamp(const QString &hardwareId, const QString &filename, const char *entry)
{
    return meta().value(QStringLiteral("deviceProtocolsMeta/%1/%2/").arg(hardwareId, filename) + entry).toString();
}

QString folder(const QString &hardwareId)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/deviceProtocols/" + hardwareId;
}

// Each file listed for an instrument, its flag and its bytes.
QStringList copies(const DeviceProtocolStore &store, const QString &hardwareId)
{
    QStringList lines;
    for (const QString &name : store.filenames(hardwareId))
        lines << name + (store.isDirty(hardwareId, name) ? " dirty " : " clean ")
                     + (store.hasProtocol(hardwareId, name) ? QString::fromUtf8(store.csvData(hardwareId, name)) : "<no file>");
    return lines;
}

// Every file under the sandbox, relative to it: nothing may appear outside its place.
QStringList filesUnder(const QString &root)
{
    QStringList files;
    for (QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
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

    void storeFlagsAndRestart()
    {
        {
            DeviceProtocolStore store;
            QVERIFY(copies(store, Hw).isEmpty() && store.protocolCount(Hw) == 0);
            QVERIFY(store.csvData(Hw, "a.csv").isNull() && !store.isDirty(Hw, "a.csv") && !store.hasProtocol(Hw, "a.csv"));
            QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);
            const QString before = QDateTime::currentDateTimeUtc().addSecs(-1).toString(Qt::ISODate);
            QVERIFY(store.storeLocalEdit(Hw, "B.csv", "local\r\n") && store.storeFromDevice(Hw, "a.csv", "device"));
            QVERIFY(store.storeFromDevice(Hw, "a.csv", "device again"));
            // Dots inside a name cannot leave the folder: such a file is kept like any other.
            QVERIFY(store.storeFromDevice(Hw, "v1..2 (Lösung).csv", "v") && store.storeFromDevice(OtherHw, "x.csv", "x"));
            QVERIFY(changed.count() == 5 && changed.at(0) == (QVariantList{Hw, "B.csv"}));
            QCOMPARE(copies(store, Hw), (QStringList{"a.csv clean device again", "B.csv dirty local\r\n", "v1..2 (Lösung).csv clean v"}));
            QVERIFY(store.protocolCount(Hw) == 3 && store.filePath(Hw, "a.csv") == folder(Hw) + "/a.csv");
            QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$").match(stamp(Hw, "a.csv", "lastFetchedAt")).hasMatch());
            QVERIFY(stamp(Hw, "a.csv", "lastFetchedAt") >= before && stamp(Hw, "B.csv", "lastFetchedAt").isEmpty());

            store.markSynced(Hw, "B.csv");
            QVERIFY(!store.isDirty(Hw, "B.csv") && stamp(Hw, "B.csv", "lastPushedAt") >= before);
            QVERIFY(store.storeLocalEdit(Hw, "B.csv", "edited\r\nagain"));
            store.removeProtocol(Hw, "a.csv");
            QVERIFY(stamp(Hw, "a.csv", "lastFetchedAt").isEmpty() && changed.count() == 8);
        }
        // Nothing is kept in memory: a new store sees what the last one left.
        DeviceProtocolStore store;
        QCOMPARE(copies(store, Hw), (QStringList{"B.csv dirty edited\r\nagain", "v1..2 (Lösung).csv clean v"}));
        QCOMPARE(copies(store, OtherHw), QStringList{"x.csv clean x"});
        // A forgotten instrument leaves nothing behind, and takes nothing of another's.
        store.clearDevice(Hw);
        QVERIFY(copies(store, Hw).isEmpty() && !store.isDirty(Hw, "B.csv") && !QDir(folder(Hw)).exists() && meta().allKeys().filter(Hw).isEmpty());
        QCOMPARE(copies(store, OtherHw), QStringList{"x.csv clean x"});
    }

    void mergeAndRename()
    {
        DeviceProtocolStore store;
        for (const char *name : {"x.csv", "y.csv", "old.csv", "other.csv"})
            store.storeFromDevice(Hw, name, name);
        store.storeLocalEdit(Hw, "z.csv", "z");
        store.storeLocalEdit(Hw, "old.csv", "edited");
        const QString fetched = stamp(Hw, "old.csv", "lastFetchedAt");
        QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);

        // The clean copy the instrument no longer has goes; the unsent edit stays; a name
        // that could leave the folder is never listed.
        QCOMPARE(store.setFilenames(Hw, {"x.csv", "pending.csv", "old.csv", "../up.csv", "other.csv"}), QStringList{"z.csv"});
        QVERIFY(changed.count() == 1 && changed.at(0) == (QVariantList{Hw, "y.csv"}));
        QCOMPARE(meta().value("deviceProtocolsMeta/" + Hw + "/filenames").toStringList(),
                 (QStringList{"x.csv", "pending.csv", "old.csv", "other.csv", "z.csv"}));
        QCOMPARE(copies(store, Hw), (QStringList{"old.csv dirty edited", "other.csv clean other.csv", "pending.csv clean <no file>",
                                                 "x.csv clean x.csv", "z.csv dirty z"}));

        // A rename never overwrites a copy, nor invents one; it keeps the flags and times.
        QVERIFY(store.renameProtocol(Hw, "old.csv", "old.csv") && !store.renameProtocol(Hw, "old.csv", "other.csv"));
        QVERIFY(!store.renameProtocol(Hw, "missing.csv", "x2.csv") && changed.count() == 1);
        QVERIFY(store.renameProtocol(Hw, "old.csv", "New.csv"));
        QCOMPARE(changed.at(1), (QVariantList{Hw, "New.csv"}));
        QCOMPARE(copies(store, Hw), (QStringList{"New.csv dirty edited", "other.csv clean other.csv", "pending.csv clean <no file>",
                                                 "x.csv clean x.csv", "z.csv dirty z"}));
        QVERIFY(stamp(Hw, "New.csv", "lastFetchedAt") == fetched && stamp(Hw, "New.csv", "lastPushedAt").isEmpty());
        QVERIFY(!store.hasProtocol(Hw, "old.csv") && stamp(Hw, "old.csv", "lastFetchedAt").isEmpty());
    }

    void unsafeNamesRefused_data()
    {
        QTest::addColumn<QString>("hardwareId");
        QTest::addColumn<QString>("filename");
        const char *const files[][2] = {{"parent folder", "../escape.csv"}, {"dots", ".."}, {"dot", "."}, {"control character", "x\ny.csv"},
                                        {"slash", "sub/x.csv"}, {"absolute", "/tmp/x.csv"}, {"backslash", "..\\x.csv"}, {"nothing", ""},
                                        {"the name list's key", "filenames"}};
        for (const auto &file : files)
            QTest::newRow(file[0]) << Hw << file[1];
        QTest::newRow("nul") << Hw << QString("x.csv") + QChar(0) + "y";
        const QStringList ids{"../" + OtherHw, "", "..", ".", Hw + "/..", "../deviceProtocols/" + Hw, "..\\.."};
        for (const QString &id : ids)
            QTest::addRow("hardware id %s", qPrintable(id)) << id << "x.csv";
    }

    void unsafeNamesRefused()
    {
        QFETCH(QString, hardwareId);
        QFETCH(QString, filename);
        DeviceProtocolStore store;
        store.storeLocalEdit(OtherHw, "x.csv", "kept");
        store.storeFromDevice(Hw, "kept.csv", "kept");
        const QStringList files = filesUnder(m_env->root());
        const QStringList keys = meta().allKeys();
        QSignalSpy changed(&store, &DeviceProtocolStore::protocolChanged);

        QVERIFY(!store.storeLocalEdit(hardwareId, filename, "evil") && !store.storeFromDevice(hardwareId, filename, "evil"));
        store.markSynced(hardwareId, filename);
        store.removeProtocol(hardwareId, filename);
        QVERIFY(!store.renameProtocol(hardwareId, "kept.csv", filename) && !store.renameProtocol(hardwareId, filename, "fine.csv"));
        QVERIFY(store.csvData(hardwareId, filename).isNull() && !store.isDirty(hardwareId, filename) && !store.hasProtocol(hardwareId, filename));
        if (filename != QLatin1String("filenames"))
            QCOMPARE(store.filePath(hardwareId, filename), QString());
        if (hardwareId != Hw) {
            QVERIFY(store.setFilenames(hardwareId, {"x.csv"}).isEmpty() && store.filenames(hardwareId).isEmpty());
            store.clearDevice(hardwareId);
        }
        QVERIFY(changed.isEmpty() && meta().allKeys() == keys);
        QCOMPARE(filesUnder(m_env->root()), files);
    }

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};


NERRA_TEST_MAIN(TestDeviceProtocolStore)
#include "tst_deviceprotocolstore.moc"
