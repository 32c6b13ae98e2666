#include "app/filedialoghelper.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <functional>
#include <memory>
#include <sys/resource.h>

namespace {

const QString SharedDrivePath = QStringLiteral(
    "Shared drives/Vellora Share/Manufacturing/Certification Sheets/Nerra Certifications");

// What the test saw of a dialog while it was open.
struct DialogSeen
{
    bool shown = false;
    bool frameworkDialog = false;
    QString title;
    QString directory;
    QString prefilledName;
    QStringList nameFilters;
    QFileDialog::FileMode fileMode = QFileDialog::AnyFile;
    bool dirsOnly = false;
};

// Acts on the next file dialog from inside its own event loop: records what it shows,
// types `typed` into the name field (replacing what is there) and presses Return, or
// cancels it when `accept` is false. It waits, as a user would, until the dialog has
// come up with the keyboard focus in its name field: keys typed before that are lost.
void driveNextFileDialog(DialogSeen *seen, bool accept, const QString &typed = QString(),
                         bool replaceText = true)
{
    auto *poll = new QTimer;
    poll->setInterval(5);
    auto polls = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible())
            return;
        auto *nameField = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        const bool ready = dialog->isActiveWindow() && nameField && nameField->hasFocus();
        // A dialog that never takes the focus fails the test instead of hanging it.
        if (!ready && ++*polls < 2000)
            return;
        poll->deleteLater();
        poll->stop();
        if (!ready) {
            dialog->reject();
            return;
        }
        seen->shown = true;
        seen->frameworkDialog = dialog->testOption(QFileDialog::DontUseNativeDialog);
        seen->title = dialog->windowTitle();
        seen->directory = dialog->directory().absolutePath();
        seen->prefilledName = nameField->text();
        seen->nameFilters = dialog->nameFilters();
        seen->fileMode = dialog->fileMode();
        seen->dirsOnly = dialog->testOption(QFileDialog::ShowDirsOnly);
        // Never leave a test hanging on a dialog that refused to close.
        QTimer::singleShot(10000, dialog, &QDialog::reject);
        if (!accept) {
            dialog->reject();
            return;
        }
        if (replaceText) {
            nameField->selectAll();
            QTest::keyClick(nameField, Qt::Key_Delete);
            QTest::keyClicks(nameField, typed);
        }
        QTest::keyClick(nameField, Qt::Key_Return);
    });
    poll->start();
}

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

// Lowers the largest file size this process may write, as a full disk or quota would,
// and puts the limit back when it goes.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    bool isActive() const { return m_active; }

private:
    rlimit m_saved{};
    void (*m_previousHandler)(int) = nullptr;
    bool m_active = false;
};

} // namespace

class TestFileDialogHelper : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fileUtilitiesTakeUrlsAndPaths_data();
    void fileUtilitiesTakeUrlsAndPaths();
    void writeFileReplacesTheWholeFile();
    void writeFileFailsWithoutTouchingTheOldFile();
    void shortWriteIsReportedAndKeepsTheOldFile();
    void certificationsRootOrderOfPreference_data();
    void certificationsRootOrderOfPreference();
    void driveLettersAreNotRelativeFolders();
    void certificationsRootOverrideIsSetAndCleared();
    void certificateFolderStaysInsideTheRoot_data();
    void certificateFolderStaysInsideTheRoot();
    void certificateFolderOutsideManufacturingIsDownloads();
    void protocolNameFromFile_data();
    void protocolNameFromFile();
    void saveDialog_data();
    void saveDialog();
    void openDialog();
    void directoryDialog();

private:
    QString documentsRoot() const
    {
        return m_env->home() + QStringLiteral("/Documents/Nerra Certifications");
    }
    std::unique_ptr<IsolatedEnvironment> m_env;
    QString m_work;
};

void TestFileDialogHelper::init()
{
    m_env = std::make_unique<IsolatedEnvironment>();
    QVERIFY(m_env->isValid());
    m_work = m_env->root() + QStringLiteral("/work");
    QVERIFY(QDir().mkpath(m_work));
}

void TestFileDialogHelper::cleanup()
{
    m_env.reset();
}

void TestFileDialogHelper::fileUtilitiesTakeUrlsAndPaths_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("form");
    QTest::addColumn<QString>("upperCaseScheme");
    QTest::addColumn<QString>("baseName");

    // 0: plain path, 1: URL as the interface hands it over (escaped), 2: URL as typed.
    QTest::newRow("plain path") << "archive.tar.gz" << 0 << QString() << "archive.tar";
    QTest::newRow("file URL") << "archive.tar.gz" << 1 << QString() << "archive.tar";
    QTest::newRow("URL with escaped space") << "Buffer A.spl" << 1 << QString() << "Buffer A";
    QTest::newRow("URL with a bare space") << "Buffer A.spl" << 2 << QString() << "Buffer A";
    QTest::newRow("path with space") << "Buffer A.spl" << 0 << QString() << "Buffer A";
    QTest::newRow("no suffix") << "README" << 1 << QString() << "README";
    QTest::newRow("upper-case scheme is a relative path")
        << "archive.tar.gz" << 1 << "FILE://" << "archive.tar";
}

void TestFileDialogHelper::fileUtilitiesTakeUrlsAndPaths()
{
    QFETCH(QString, name);
    QFETCH(int, form);
    QFETCH(QString, upperCaseScheme);
    QFETCH(QString, baseName);

    const QString path = m_work + QLatin1Char('/') + name;
    const QByteArray data("TIPSELECT,L,,,,,,,,\nASPIRATE,S,50.5,5,,,,3,\n");
    QVERIFY(writeContents(path, data));
    QString url = form == 0 ? path
                  : QUrl::fromLocalFile(path).toString(form == 1 ? QUrl::FullyEncoded : QUrl::PrettyDecoded);
    if (!upperCaseScheme.isEmpty())
        url.replace(0, int(qstrlen("file://")), upperCaseScheme);
    QCOMPARE(url.contains(QLatin1String("%20")), form == 1 && name.contains(QLatin1Char(' ')));

    FileDialogHelper helper;
    QCOMPARE(helper.fileName(url), name);
    QCOMPARE(helper.basenameWithoutExt(url), baseName);
    const bool reachesTheFile = upperCaseScheme.isEmpty();
    QCOMPARE(helper.fileSize(url), reachesTheFile ? qlonglong(data.size()) : 0);
    QCOMPARE(helper.readFile(url), reachesTheFile ? data : QByteArray());

    const QByteArray replacement("PURGE,S,,,,,,7,\n");
    QCOMPARE(helper.writeFile(url, replacement), reachesTheFile);
    QCOMPARE(contents(path), reachesTheFile ? replacement : data);
    QCOMPARE(helper.fileSize(m_work + QStringLiteral("/missing.csv")), 0);
    QCOMPARE(helper.readFile(m_work + QStringLiteral("/missing.csv")), QByteArray());
}

void TestFileDialogHelper::writeFileReplacesTheWholeFile()
{
    FileDialogHelper helper;
    const QString path = m_work + QStringLiteral("/protocol.csv");
    QVERIFY(writeContents(path, QByteArray(5000, 'x')));

    QVERIFY(helper.writeFile(QUrl::fromLocalFile(path).toString(), "MIX,S,20.0,0,5,,,2,\n"));
    QCOMPARE(contents(path), QByteArray("MIX,S,20.0,0,5,,,2,\n"));
    QVERIFY(helper.writeFile(path, QByteArray()));
    QCOMPARE(contents(path), QByteArray());
    QCOMPARE(QDir(m_work).entryList(QDir::Files), QStringList{QStringLiteral("protocol.csv")});
}

void TestFileDialogHelper::writeFileFailsWithoutTouchingTheOldFile()
{
    FileDialogHelper helper;
    QVERIFY(!helper.writeFile(m_work + QStringLiteral("/no/such/folder/protocol.csv"), "x"));
    QVERIFY(!QDir(m_work + QStringLiteral("/no")).exists());
    // A folder where the file should be.
    QVERIFY(QDir().mkpath(m_work + QStringLiteral("/taken.csv")));
    QVERIFY(!helper.writeFile(m_work + QStringLiteral("/taken.csv"), "x"));
    QVERIFY(QFileInfo(m_work + QStringLiteral("/taken.csv")).isDir());
}

void TestFileDialogHelper::shortWriteIsReportedAndKeepsTheOldFile()
{
    FileDialogHelper helper;
    const QString path = m_work + QStringLiteral("/protocol.csv");
    const QByteArray old("ASPIRATE,S,50.5,5,,,,3,\n");
    QVERIFY(writeContents(path, old));
    const QByteArray large(256 * 1024, 'y');

    bool written = true;
    {
        FileSizeLimit limit(4096);
        QVERIFY(limit.isActive());
        written = helper.writeFile(path, large);
    }

    QVERIFY(!written);
    QCOMPARE(contents(path), old);
    QCOMPARE(QDir(m_work).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("protocol.csv")});
    // The same write succeeds once the room is there.
    QVERIFY(helper.writeFile(path, large));
    QCOMPARE(contents(path), large);
}

void TestFileDialogHelper::certificationsRootOrderOfPreference_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<bool>("sharedDrive");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nothing: documents folder") << "none" << false << "documents";
    QTest::newRow("shared drive") << "none" << true << "shared";
    QTest::newRow("setting beats shared drive") << "folder" << true << "setting";
    QTest::newRow("setting alone") << "folder" << false << "setting";
    QTest::newRow("vanished setting, shared drive") << "missing" << true << "shared";
    QTest::newRow("vanished setting, no shared drive") << "missing" << false << "documents";
    QTest::newRow("setting names a file") << "file" << false << "documents";
    QTest::newRow("empty setting") << "empty" << true << "shared";
}

void TestFileDialogHelper::certificationsRootOrderOfPreference()
{
    QFETCH(QString, setting);
    QFETCH(bool, sharedDrive);
    QFETCH(QString, expected);

    const QString custom = m_env->root() + QStringLiteral("/custom root");
    const QString shared = m_env->home() + QStringLiteral("/Google Drive/") + SharedDrivePath;
    if (sharedDrive)
        QVERIFY(QDir().mkpath(shared));
    QString value;
    if (setting == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(custom));
        value = m_env->root() + QStringLiteral("//custom root/./");
    } else if (setting == QLatin1String("missing")) {
        value = custom;
    } else if (setting == QLatin1String("file")) {
        QVERIFY(writeContents(custom, "not a folder"));
        value = custom;
    }
    if (setting != QLatin1String("none"))
        QSettings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop"))
            .setValue(QStringLiteral("Certifications/rootDir"), value);

    FileDialogHelper helper;
    const QString root = helper.certificationsRootQml();

    const QString want = expected == QLatin1String("setting") ? custom
                         : expected == QLatin1String("shared") ? shared
                                                               : documentsRoot();
    QCOMPARE(root, want);
    QVERIFY(QFileInfo(root).isDir());
    // The documents folder is made only when it is the answer.
    QCOMPARE(QFileInfo::exists(documentsRoot()), expected == QLatin1String("documents"));
    QCOMPARE(helper.detectGoogleDriveCertificationsRootQml(), sharedDrive ? shared : QString());
}

void TestFileDialogHelper::certificationsRootOverrideIsSetAndCleared()
{
    FileDialogHelper helper;
    const QString chosen = m_env->root() + QStringLiteral("/chosen folder");
    QVERIFY(QDir().mkpath(chosen));

    QVERIFY(helper.setCertificationsRootOverride(QUrl::fromLocalFile(chosen).toString()));
    QCOMPARE(helper.certificationsRootOverride(), chosen);
    QCOMPARE(QSettings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop"))
                 .value(QStringLiteral("Certifications/rootDir")).toString(), chosen);
    QCOMPARE(helper.certificationsRootQml(), chosen);

    QVERIFY(helper.setCertificationsRootOverride(QString()));
    QCOMPARE(helper.certificationsRootOverride(), QString());
    QVERIFY(!QSettings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop"))
                 .contains(QStringLiteral("Certifications/rootDir")));
    QCOMPARE(helper.certificationsRootQml(), documentsRoot());
}

void TestFileDialogHelper::driveLettersAreNotRelativeFolders()
{
#ifdef Q_OS_WIN
    QSKIP("drive letters are real here");
#else
    // On a system without drive letters "G:/..." would be a folder below the current one.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_work));
    QVERIFY(QDir().mkpath(QStringLiteral("G:/") + SharedDrivePath));
    FileDialogHelper helper;
    const QString detected = helper.detectGoogleDriveCertificationsRootQml();
    const QString root = helper.certificationsRootQml();
    QVERIFY(QDir::setCurrent(previous));
    QCOMPARE(detected, QString());
    QCOMPARE(root, documentsRoot());
#endif
}

void TestFileDialogHelper::certificateFolderStaysInsideTheRoot_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("folder");

    QTest::newRow("serial number") << "NR-0042" << "NR-0042";
    QTest::newRow("empty: the root itself") << "" << "";
    QTest::newRow("parent reference") << "../x" << ".._x";
    QTest::newRow("only dots") << ".." << "__";
    QTest::newRow("single dot") << "." << "_";
    QTest::newRow("nested") << "a/b" << "a_b";
    QTest::newRow("backslashes") << "..\\..\\x" << ".._.._x";
    QTest::newRow("absolute") << "/etc" << "_etc";
    QTest::newRow("control character") << QStringLiteral("NR\n01") << "NR_01";
    QTest::newRow("drive and stream colon") << "C:x" << "C_x";
    QTest::newRow("characters Windows refuses") << "a*?\"<>|b" << "a______b";
    QTest::newRow("trailing dot and space") << "NR-1. " << "NR-1__";
    QTest::newRow("dots and a space") << ".. " << "___";
}

void TestFileDialogHelper::certificateFolderStaysInsideTheRoot()
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
    QCOMPARE(QDir(root).entryList(all),
             folder.isEmpty() ? QStringList() : QStringList{folder});
    QCOMPARE(QDir(root + QStringLiteral("/..")).entryList(all), besideRoot);
    QCOMPARE(FileDialogHelper::certificationsDirForSerial(serial, true), dir);
}

void TestFileDialogHelper::certificateFolderOutsideManufacturingIsDownloads()
{
    const QString downloads = m_env->home() + QStringLiteral("/Downloads");
    QVERIFY(!QFileInfo::exists(downloads));
    QCOMPARE(FileDialogHelper::certificationsDirForSerial(QStringLiteral("NR-0042"), false), downloads);
    QVERIFY(QFileInfo(downloads).isDir());
    QVERIFY(QDir(downloads).isEmpty());
    QVERIFY(!QFileInfo::exists(documentsRoot()));
    QCOMPARE(FileDialogHelper().downloadsDir(), downloads);
}

void TestFileDialogHelper::protocolNameFromFile_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("name");

    const QByteArray rows("TIPSELECT,L,,,,,,,,\nASPIRATE,S,50.5,5,,,,3,\nDISPENSE,S,50.5,5,,,,3,\n");
    QByteArray nineteenRows;
    for (int i = 0; i < 19; ++i)
        nineteenRows += "PURGE,S,,,,,,7,\n";

    QTest::newRow("instrument's own text") << rows << QString();
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("name comment first") << "# Protocol Name: Buffer A\n" + rows << "Buffer A";
    QTest::newRow("short form, no blanks") << "#name:Serial dilution\n" + rows << "Serial dilution";
    QTest::newRow("upper-case prefix, name keeps its case")
        << "# PROTOCOL NAME: pH Wash\n" + rows << "pH Wash";
    QTest::newRow("CRLF from a Windows tool")
        << QByteArray("# Protocol Name: Buffer A\r\nASPIRATE,S,50.5,5,,,,3,\r\n") << "Buffer A";
    QTest::newRow("byte-order mark") << "\xEF\xBB\xBF# Protocol Name: Buffer A\r\n" + rows << "Buffer A";
    QTest::newRow("indented comment") << QByteArray("   #   name:   Wash  \n") << "Wash";
    QTest::newRow("empty names are skipped")
        << "# Protocol Name:\n# name:   \n" + rows + "# Name: Later\n" << "Later";
    QTest::newRow("not a comment") << "Name: Buffer A\nProtocol Name: B\n" + rows << QString();
    QTest::newRow("other comments first, no final line feed")
        << QByteArray("# exported 2026-10-14\n# operator: kim\n# Protocol Name: X") << "X";
    QTest::newRow("balance export")
        << QByteArray("Date,Time,Weight,Unit\r\n2026-10-14,10:00:17,0.04998,g\r\n") << QString();
    QTest::newRow("balance export with a name comment")
        << QByteArray("# Balance: Sartorius\r\n# Name: Cal run 3\r\nDate,Time,Weight,Unit\r\n") << "Cal run 3";
    QTest::newRow("UTF-8 name") << QByteArray("# name: Puffer \xC2\xB5L\n") << QStringLiteral("Puffer µL");
    QTest::newRow("on line 20") << nineteenRows + "# Name: Late\n" << "Late";
    QTest::newRow("on line 21") << nineteenRows + "\n# Name: Late\n" << QString();
}

void TestFileDialogHelper::protocolNameFromFile()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, name);
    QCOMPARE(FileDialogHelper().protocolNameFromFile(data), name);
}

void TestFileDialogHelper::saveDialog_data()
{
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("defaultSuffix");
    QTest::addColumn<bool>("directoryAsUrl");
    QTest::addColumn<QString>("result");

    QTest::newRow("typed without suffix") << true << "method" << "spl" << false << "method.spl";
    QTest::newRow("typed with the suffix") << true << "method.spl" << "spl" << false << "method.spl";
    QTest::newRow("typed with another suffix") << true << "notes.txt" << "spl" << false << "notes.txt";
    QTest::newRow("no default suffix") << true << "method" << "" << false << "method";
    QTest::newRow("suggested name taken") << true << "" << "spl" << true << "Buffer_A.spl";
    QTest::newRow("cancelled") << false << "method" << "spl" << false << "";
}

void TestFileDialogHelper::saveDialog()
{
    QFETCH(bool, accept);
    QFETCH(QString, typed);
    QFETCH(QString, defaultSuffix);
    QFETCH(bool, directoryAsUrl);
    QFETCH(QString, result);

    FileDialogHelper helper;
    DialogSeen seen;
    driveNextFileDialog(&seen, accept, typed, !typed.isEmpty());
    const QString directory = directoryAsUrl ? QUrl::fromLocalFile(m_work).toString() : m_work;
    const QString chosen = helper.saveFile(QStringLiteral("Export SPL File"), QStringLiteral("Buffer_A.spl"),
                                           QStringLiteral("SPL files (*.spl);;All files (*)"),
                                           defaultSuffix, directory);

    QVERIFY(seen.shown);
    QVERIFY(seen.frameworkDialog);
    QCOMPARE(seen.title, QStringLiteral("Export SPL File"));
    QCOMPARE(seen.directory, m_work);
    QCOMPARE(seen.prefilledName, QStringLiteral("Buffer_A.spl"));
    QCOMPARE(seen.nameFilters, (QStringList{QStringLiteral("SPL files (*.spl)"), QStringLiteral("All files (*)")}));
    QCOMPARE(chosen, result.isEmpty() ? QString() : m_work + QLatin1Char('/') + result);
    // Choosing a name writes nothing.
    QVERIFY(QDir(m_work).isEmpty());
}

void TestFileDialogHelper::openDialog()
{
    FileDialogHelper helper;
    const QString path = m_work + QStringLiteral("/Buffer A.spl");
    QVERIFY(writeContents(path, "x"));

    DialogSeen seen;
    driveNextFileDialog(&seen, true, path);
    QCOMPARE(helper.openFile(QStringLiteral("Import SPL File"), QStringLiteral("SPL files (*.spl);;All files (*)")),
             path);
    QVERIFY(seen.frameworkDialog);
    QCOMPARE(seen.title, QStringLiteral("Import SPL File"));
    QCOMPARE(seen.fileMode, QFileDialog::ExistingFile);
    QCOMPARE(seen.nameFilters.size(), 2);

    DialogSeen cancelled;
    driveNextFileDialog(&cancelled, false);
    QCOMPARE(helper.openFile(QStringLiteral("Import SPL File")), QString());
    QVERIFY(cancelled.shown);
    QCOMPARE(cancelled.nameFilters, QStringList{QStringLiteral("All files (*)")});
}

void TestFileDialogHelper::directoryDialog()
{
    FileDialogHelper helper;
    const QString target = m_work + QStringLiteral("/certificates");
    QVERIFY(QDir().mkpath(target));

    DialogSeen seen;
    driveNextFileDialog(&seen, true, target);
    QCOMPARE(helper.chooseDirectory(QStringLiteral("Choose folder"), QUrl::fromLocalFile(m_work).toString()),
             target);
    QVERIFY(seen.frameworkDialog);
    QCOMPARE(seen.directory, m_work);
    QCOMPARE(seen.fileMode, QFileDialog::Directory);
    QVERIFY(seen.dirsOnly);

    // A start folder that is gone is not used.
    DialogSeen fromMissing;
    driveNextFileDialog(&fromMissing, false);
    QCOMPARE(helper.chooseDirectory(QStringLiteral("Choose folder"), m_work + QStringLiteral("/gone")), QString());
    QVERIFY(fromMissing.shown);
    QVERIFY(fromMissing.directory != m_work + QStringLiteral("/gone"));
}

NERRA_TEST_MAIN(TestFileDialogHelper)
#include "tst_filedialoghelper.moc"
