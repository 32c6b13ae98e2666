// The file helper's own rules: paths and URLs from the interface, writes that keep the old
// file when they fail, where certificates are filed, and names read from instrument files.
// The dialogs themselves are the framework's; the flows drive them.

#include "app/filedialoghelper.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QUrl>

#include <memory>

namespace {

const QString SharedDrivePath = QStringLiteral("Shared drives/Vellora Share/Manufacturing/Certification Sheets/Nerra Certifications");

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
    FileDialogHelper helper;

    QString documentsRoot() const { return m_env->home() + QStringLiteral("/Documents/Nerra Certifications"); }

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void filesAreReachedByPathOrUrl_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<bool>("reached");
        QTest::newRow("plain path") << "%1" << true;
        QTest::newRow("escaped URL, as the interface hands it over") << "file://%1" << true;
        QTest::newRow("upper-case scheme is a relative path") << "FILE://%1" << false;
    }
    void filesAreReachedByPathOrUrl()
    {
        QFETCH(QString, form);
        QFETCH(bool, reached);
        const QString path = m_env->home() + QStringLiteral("/Buffer A.tar.spl");
        QVERIFY(writeContents(path, "ASPIRATE,S,50.5,5,,,,3,\n"));
        const QString given = form.arg(form.startsWith(QLatin1String("file")) ? QUrl::fromLocalFile(path).path(QUrl::FullyEncoded) : path);
        QCOMPARE(helper.fileName(given), QStringLiteral("Buffer A.tar.spl"));
        QCOMPARE(helper.basenameWithoutExt(given), QStringLiteral("Buffer A.tar"));
        QCOMPARE(helper.fileSize(given), reached ? qlonglong(24) : qlonglong(0));
        QCOMPARE(helper.readFile(given), reached ? QByteArray("ASPIRATE,S,50.5,5,,,,3,\n") : QByteArray());
        QCOMPARE(helper.writeFile(given, "PURGE,S,,,,,,7,\n"), reached);
        QCOMPARE(helper.readFile(path), reached ? QByteArray("PURGE,S,,,,,,7,\n") : QByteArray("ASPIRATE,S,50.5,5,,,,3,\n"));
        // A write that cannot happen leaves what was there.
        QVERIFY(!helper.writeFile(m_env->home() + QStringLiteral("/no/such/folder/protocol.csv"), "x"));
        QVERIFY(QDir().mkpath(m_env->home() + QStringLiteral("/taken.csv")));
        QVERIFY(!helper.writeFile(m_env->home() + QStringLiteral("/taken.csv"), "x"));
        QVERIFY(QFileInfo(m_env->home() + QStringLiteral("/taken.csv")).isDir());
    }

    void certificationsRootOrderOfPreference_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<bool>("sharedDrive");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing: documents folder") << "" << false << "documents";
        QTest::newRow("shared drive") << "" << true << "shared";
        QTest::newRow("chosen folder beats shared drive") << "folder" << true << "chosen";
        QTest::newRow("chosen folder gone") << "missing" << true << "shared";
        QTest::newRow("chosen folder is a file") << "file" << false << "documents";
    }
    void certificationsRootOrderOfPreference()
    {
        QFETCH(QString, chosen);
        QFETCH(bool, sharedDrive);
        QFETCH(QString, expected);
        const QString custom = m_env->root() + QStringLiteral("/custom root");
        const QString shared = m_env->home() + QStringLiteral("/Google Drive/") + SharedDrivePath;
        // Every row has a "G:/..." below the current folder: without drive letters that is
        // a relative path, not a shared drive.
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_env->root()) && QDir().mkpath(QStringLiteral("G:/") + SharedDrivePath));
        QVERIFY(!sharedDrive || QDir().mkpath(shared));
        QVERIFY(chosen != QLatin1String("folder") || QDir().mkpath(custom));
        QVERIFY(chosen != QLatin1String("file") || writeContents(custom, "not a folder"));
        QVERIFY(chosen.isEmpty() || helper.setCertificationsRootOverride(QUrl::fromLocalFile(custom + QStringLiteral("/.")).toString()));
        const QString root = helper.certificationsRootQml();
        QVERIFY(QDir::setCurrent(previous));
        QCOMPARE(root, expected == QLatin1String("chosen") ? custom : expected == QLatin1String("shared") ? shared : documentsRoot());
        // The documents folder is made only when it is the answer.
        QCOMPARE(QFileInfo::exists(documentsRoot()), expected == QLatin1String("documents"));
        QVERIFY(helper.setCertificationsRootOverride(QString()));   // cleared, the choice is forgotten
        QCOMPARE(helper.certificationsRootQml(), sharedDrive ? shared : documentsRoot());
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
        QTest::newRow("control character") << QStringLiteral("NR\n01") << "NR_01";
        QTest::newRow("characters Windows refuses, trailing dot and space") << "C:\\a*?\"<>|b. " << "C__a______b__";
    }
    void certificateFolderStaysInsideTheRoot()
    {
        QFETCH(QString, serial);
        QFETCH(QString, folder);
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
        const QByteArray nineteenRows = QByteArray("PURGE,S,,,,,,7,\n").repeated(19);
        QTest::newRow("instrument's own text") << rows << QString();
        QTest::newRow("name comment, Windows line ends") << QByteArray("# Protocol Name: Buffer A\r\n" + rows) << "Buffer A";
        QTest::newRow("short form, upper case, no blanks") << "#NAME:pH Wash\n" + rows << "pH Wash";
        QTest::newRow("empty names are skipped") << "# Protocol Name:\n# name:   \n" + rows + "# Name: Later" << "Later";
        QTest::newRow("on line 20") << nineteenRows + "# Name: Late\n" << "Late";
        QTest::newRow("on line 21") << nineteenRows + "\n# Name: Late\n" << QString();
    }
    void protocolNameFromFile()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, name);
        QCOMPARE(helper.protocolNameFromFile(data), name);
    }
};

NERRA_TEST_MAIN(TestFileDialogHelper)
#include "tst_filedialoghelper.moc"
