// The file helper's own rules: paths and URLs from the interface, writes that keep the old
// file when they fail, where certificates are filed, and names read from instrument files.
// The dialogs themselves are the framework's; the flows drive them.

#include "app/filedialoghelper.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QUrl>

#include <memory>

namespace {

const QString SharedDrivePath = QStringLiteral("Shared drives/Vellora Share/Manufacturing/Certification Sheets/Nerra Certifications");

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeContents(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

class TestFileDialogHelper : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedEnvironment> m_env;
    QString m_work;

    QString documentsRoot() const { return m_env->home() + QStringLiteral("/Documents/Nerra Certifications"); }

private slots:
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_work = m_env->root() + QStringLiteral("/work");
        QVERIFY(QDir().mkpath(m_work));
    }
    void cleanup() { m_env.reset(); }

    void filesAreReachedByPathOrUrl_data()
    {
        QTest::addColumn<QString>("url");   // %1: the file's path
        QTest::addColumn<bool>("reached");
        QTest::newRow("plain path") << "%1" << true;
        QTest::newRow("escaped URL, as the interface hands it over") << "file://%1" << true;
        // Only the lower-case scheme is a URL; anything else is a (relative) path.
        QTest::newRow("upper-case scheme") << "FILE://%1" << false;
    }
    void filesAreReachedByPathOrUrl()
    {
        QFETCH(QString, url);
        QFETCH(bool, reached);
        const QString path = m_work + QStringLiteral("/Buffer A.tar.spl");
        const QByteArray data("ASPIRATE,S,50.5,5,,,,3,\n");
        QVERIFY(writeContents(path, data));
        const QString given = url.arg(url.startsWith(QLatin1String("file")) ? QUrl::fromLocalFile(path).path(QUrl::FullyEncoded) : path);
        FileDialogHelper helper;
        QCOMPARE(helper.fileName(given), QStringLiteral("Buffer A.tar.spl"));
        QCOMPARE(helper.basenameWithoutExt(given), QStringLiteral("Buffer A.tar"));
        QCOMPARE(helper.fileSize(given), reached ? qlonglong(data.size()) : 0);
        QCOMPARE(helper.readFile(given), reached ? data : QByteArray());
        QCOMPARE(helper.writeFile(given, "PURGE,S,,,,,,7,\n"), reached);
        QCOMPARE(contents(path), reached ? QByteArray("PURGE,S,,,,,,7,\n") : data);
    }

    void failedWriteLeavesWhatWasThere()
    {
        FileDialogHelper helper;
        QVERIFY(!helper.writeFile(m_work + QStringLiteral("/no/such/folder/protocol.csv"), "x"));
        QVERIFY(!QDir(m_work + QStringLiteral("/no")).exists());
        QVERIFY(QDir().mkpath(m_work + QStringLiteral("/taken.csv")));
        QVERIFY(!helper.writeFile(m_work + QStringLiteral("/taken.csv"), "x"));
        QVERIFY(QFileInfo(m_work + QStringLiteral("/taken.csv")).isDir());
    }

    void certificationsRootOrderOfPreference_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<bool>("sharedDrive");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing: documents folder") << "none" << false << "documents";
        QTest::newRow("shared drive") << "none" << true << "shared";
        QTest::newRow("chosen folder beats shared drive") << "folder" << true << "setting";
        QTest::newRow("chosen folder gone") << "missing" << true << "shared";
        QTest::newRow("chosen folder is a file") << "file" << false << "documents";
    }
    void certificationsRootOrderOfPreference()
    {
        QFETCH(QString, setting);
        QFETCH(bool, sharedDrive);
        QFETCH(QString, expected);
        const QString custom = m_env->root() + QStringLiteral("/custom root");
        const QString shared = m_env->home() + QStringLiteral("/Google Drive/") + SharedDrivePath;
        if (sharedDrive)
            QVERIFY(QDir().mkpath(shared));
        if (setting == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(custom));
        if (setting == QLatin1String("file"))
            QVERIFY(writeContents(custom, "not a folder"));
        FileDialogHelper helper;
        if (setting != QLatin1String("none"))
            QVERIFY(helper.setCertificationsRootOverride(QUrl::fromLocalFile(custom + QStringLiteral("/.")).toString()));
        const QString root = helper.certificationsRootQml();
        QCOMPARE(root, expected == QLatin1String("setting") ? custom : expected == QLatin1String("shared") ? shared : documentsRoot());
        QVERIFY(QFileInfo(root).isDir());
        // The documents folder is made only when it is the answer.
        QCOMPARE(QFileInfo::exists(documentsRoot()), expected == QLatin1String("documents"));
        // Cleared, the choice is forgotten.
        QVERIFY(helper.setCertificationsRootOverride(QString()));
        QCOMPARE(helper.certificationsRootQml(), sharedDrive ? shared : documentsRoot());
    }

    void driveLettersAreNotRelativeFolders()
    {
        // Without drive letters "G:/..." would be a folder below the current one.
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_work));
        QVERIFY(QDir().mkpath(QStringLiteral("G:/") + SharedDrivePath));
        const QString root = FileDialogHelper().certificationsRootQml();
        QVERIFY(QDir::setCurrent(previous));
        QCOMPARE(root, documentsRoot());
    }

    // A serial number comes from an instrument or a text field: it names one folder
    // directly under the root, never a path of its own.
    void certificateFolderStaysInsideTheRoot_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("folder");
        QTest::newRow("serial number") << "NR-0042" << "NR-0042";
        QTest::newRow("empty: the root itself") << "" << "";
        QTest::newRow("parent reference") << "../x" << ".._x";
        QTest::newRow("only dots") << ".." << "__";
        QTest::newRow("absolute, Windows style") << "C:\\x" << "C__x";
        QTest::newRow("control character") << QStringLiteral("NR\n01") << "NR_01";
        QTest::newRow("characters Windows refuses") << "a*?\"<>|b" << "a______b";
        QTest::newRow("trailing dot and space") << "NR-1. " << "NR-1__";
    }
    void certificateFolderStaysInsideTheRoot()
    {
        QFETCH(QString, serial);
        QFETCH(QString, folder);
        FileDialogHelper helper;
        const QString root = helper.certificationsRootQml();
        const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot;
        const QStringList besideRoot = QDir(root + QStringLiteral("/..")).entryList(all);
        const QString dir = helper.certificationsDirForSerialQml(serial);
        QCOMPARE(dir, folder.isEmpty() ? root : root + QLatin1Char('/') + folder);
        QVERIFY(QFileInfo(dir).isDir());
        QCOMPARE(QDir(root).entryList(all), folder.isEmpty() ? QStringList() : QStringList{folder});
        QCOMPARE(QDir(root + QStringLiteral("/..")).entryList(all), besideRoot);
        // Outside manufacturing certificates go to the downloads, and nothing else is made.
        QCOMPARE(FileDialogHelper::certificationsDirForSerial(serial, false), m_env->home() + QStringLiteral("/Downloads"));
        QVERIFY(QDir(m_env->home() + QStringLiteral("/Downloads")).isEmpty());
    }

    void protocolNameFromFile_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("name");
        const QByteArray rows("TIPSELECT,L,,,,,,,,\nASPIRATE,S,50.5,5,,,,3,\n");
        QByteArray nineteenRows;
        for (int i = 0; i < 19; ++i)
            nineteenRows += "PURGE,S,,,,,,7,\n";
        QTest::newRow("instrument's own text") << rows << QString();
        QTest::newRow("name comment, Windows line ends") << QByteArray("# Protocol Name: Buffer A\r\n" + rows) << "Buffer A";
        QTest::newRow("short form, upper case, no blanks") << "#NAME:pH Wash\n" + rows << "pH Wash";
        QTest::newRow("empty names are skipped") << "# Protocol Name:\n# name:   \n" + rows + "# Name: Later" << "Later";
        QTest::newRow("not a comment") << "Name: Buffer A\n" + rows << QString();
        QTest::newRow("on line 20") << nineteenRows + "# Name: Late\n" << "Late";
        QTest::newRow("on line 21") << nineteenRows + "\n# Name: Late\n" << QString();
    }
    void protocolNameFromFile()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, name);
        QCOMPARE(FileDialogHelper().protocolNameFromFile(data), name);
    }
};

NERRA_TEST_MAIN(TestFileDialogHelper)
#include "tst_filedialoghelper.moc"
