// The "Protocol Library" tab driven through the real QML with the real library: the empty
// state, import with its error dialog, export, duplicate, delete with confirmation and
// the steps link.

#include "testmain.h"
#include "uiharness.h"

#include "attachedinstrument.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>

namespace {

const QByteArray WashSpl = "protocol name: Wash\n\n"
                           "tipselect tip:small\n"
                           "aspirate tip:small vol:50.0 xvol:0 speed:5\n"
                           "dispense tip:small vol:50.0 xvol:0 speed:5\n";

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestLibraryFlows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Vellora"));
        QCoreApplication::setApplicationName(QStringLiteral("Nerra"));
    }
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_ui = std::make_unique<UiHarness>();
        // A method loaded into the builder would be written back this soon.
        m_ui->builder.setAutoSaveInterval(50);
    }
    void cleanup()
    {
        m_ui.reset();
        m_env.reset();
    }

    void emptyLibraryShowsTheHint();
    void importAddsACardAndExportWritesIt();
    void importErrorOpensItsDialogOnlyDuringImport();
    void deleteAsksFirst();
    void duplicateFromTheMenu();
    void stepsLinkShowsTheStepsWithoutTouchingTheMethod();
    void transferStaysDisabledWithoutALink();
    void transferOverUsbRecordsTheSentCopy();
    void sameFileNameOnTheDeviceIsNotReplacedSilently();

private:
    void openLibraryTab()
    {
        QVERIFY(m_ui->load());
        QVERIFY(m_ui->click(QStringLiteral("tab_Protocol Library")));
        QTRY_VERIFY(m_ui->item(QStringLiteral("libraryList")));
    }
    QList<QQuickItem *> cards() const { return m_ui->items(QStringLiteral("libraryCard")); }
    QQuickItem *card(const QString &name) const
    {
        for (QQuickItem *c : cards()) {
            if (c->property("name").toString() == name)
                return c;
        }
        return nullptr;
    }
    bool openMenu(QQuickItem *card) { return m_ui->click(m_ui->item(QStringLiteral("moreButton"), card)); }

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<UiHarness> m_ui;
};

void TestLibraryFlows::emptyLibraryShowsTheHint()
{
    openLibraryTab();
    QVERIFY(m_ui->item(QStringLiteral("libraryEmpty")));
    QVERIFY(m_ui->item(QStringLiteral("newProtocolButton")));
    QVERIFY(m_ui->item(QStringLiteral("importProtocolButton")));
    m_ui->library.createProtocol(QStringLiteral("Wash"));
    QTRY_COMPARE(cards().size(), 1);
    QVERIFY(!m_ui->item(QStringLiteral("libraryEmpty")));
    // The import and new buttons belong to the library tab only.
    QVERIFY(m_ui->click(QStringLiteral("tab_Device")));
    QTRY_VERIFY(!m_ui->item(QStringLiteral("importProtocolButton")));
}

void TestLibraryFlows::importAddsACardAndExportWritesIt()
{
    const QString source = m_env->home() + QStringLiteral("/wash.spl");
    QVERIFY(writeFile(source, WashSpl));
    m_ui->library.createProtocol(QStringLiteral("Alpha"));
    openLibraryTab();

    QString title;
    UiHarness::answerNextFileDialog(source, &title);
    QVERIFY(m_ui->click(QStringLiteral("importProtocolButton")));
    QCOMPARE(title, QStringLiteral("Import SPL File"));
    QTRY_COMPARE(cards().size(), 2);
    // Listed in name order, with its steps counted.
    QCOMPARE(cards().at(0)->property("name").toString(), QStringLiteral("Alpha"));
    QQuickItem *wash = cards().at(1);
    QCOMPARE(wash->property("name").toString(), QStringLiteral("Wash"));
    QCOMPARE(wash->property("commandCount").toInt(), 3);
    QVERIFY(!wash->property("hasErrors").toBool());
    QVERIFY(!m_ui->isOpen(QStringLiteral("importErrorDialog")));

    // Export suggests the sanitised name and writes the method's SPL.
    const QString target = m_env->home() + QStringLiteral("/exported.spl");
    QVERIFY(openMenu(wash));
    QTRY_VERIFY(m_ui->item(QStringLiteral("menuExport")));
    UiHarness::answerNextFileDialog(target, &title);
    QVERIFY(m_ui->click(QStringLiteral("menuExport")));
    QCOMPARE(title, QStringLiteral("Export SPL File"));
    QTRY_VERIFY(QFile::exists(target));
    const QString id = wash->property("protocolId").toString();
    QCOMPARE(QString::fromUtf8(readFile(target)), m_ui->library.exportToSpl(id));
}

void TestLibraryFlows::importErrorOpensItsDialogOnlyDuringImport()
{
    const QString broken = m_env->home() + QStringLiteral("/broken.spl");
    QVERIFY(writeFile(broken, "not an spl file\n"));
    openLibraryTab();

    // An error that has nothing to do with an import is not shown here.
    m_ui->library.deleteProtocol(QStringLiteral("no-such-id"));
    QVERIFY(!m_ui->isOpen(QStringLiteral("importErrorDialog")));

    UiHarness::answerNextFileDialog(broken);
    QVERIFY(m_ui->click(QStringLiteral("importProtocolButton")));
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("importErrorDialog")));
    QObject *dialog = m_ui->popup(QStringLiteral("importErrorDialog"));
    QCOMPARE(dialog->property("title").toString(), QStringLiteral("Could not import protocol"));
    QVERIFY(dialog->property("message").toString().startsWith(QStringLiteral("Could not import protocol: ")));
    QCOMPARE(cards().size(), 0);
    QVERIFY(m_ui->click(QStringLiteral("messageOk")));
    QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("importErrorDialog")));

    // A cancelled dialog imports nothing and shows nothing.
    UiHarness::answerNextFileDialog(QString());
    QVERIFY(m_ui->click(QStringLiteral("importProtocolButton")));
    QVERIFY(!m_ui->isOpen(QStringLiteral("importErrorDialog")));
    QCOMPARE(m_ui->library.protocolCount(), 0);
}

void TestLibraryFlows::deleteAsksFirst()
{
    m_ui->library.createProtocol(QStringLiteral("Keep"));
    const QString doomed = m_ui->library.createProtocol(QStringLiteral("Mix 1/2"));
    openLibraryTab();
    QTRY_COMPARE(cards().size(), 2);

    QVERIFY(openMenu(card(QStringLiteral("Mix 1/2"))));
    QVERIFY(m_ui->click(QStringLiteral("menuDelete")));
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("deleteProtocolDialog")));
    QObject *dialog = m_ui->popup(QStringLiteral("deleteProtocolDialog"));
    QCOMPARE(dialog->property("title").toString(), QStringLiteral("Delete Protocol"));
    QVERIFY(dialog->property("message").toString().contains(QStringLiteral("\"Mix 1/2\"")));
    QCOMPARE(dialog->property("detail").toString(), QStringLiteral("This action cannot be undone."));

    // "No" keeps it.
    QCOMPARE(m_ui->item(QStringLiteral("confirmCancel"), dialog)->property("text").toString(), QStringLiteral("No"));
    QVERIFY(m_ui->click(QStringLiteral("confirmCancel"), dialog));
    QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("deleteProtocolDialog")));
    QVERIFY(m_ui->library.protocolExists(doomed));

    // "Yes" deletes it, and only it.
    QVERIFY(openMenu(card(QStringLiteral("Mix 1/2"))));
    QVERIFY(m_ui->click(QStringLiteral("menuDelete")));
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("deleteProtocolDialog")));
    QVERIFY(m_ui->click(QStringLiteral("confirmAccept"), m_ui->popup(QStringLiteral("deleteProtocolDialog"))));
    QTRY_COMPARE(cards().size(), 1);
    QVERIFY(!m_ui->library.protocolExists(doomed));
    QCOMPARE(cards().at(0)->property("name").toString(), QStringLiteral("Keep"));
}

void TestLibraryFlows::duplicateFromTheMenu()
{
    m_ui->library.createProtocol(QStringLiteral("Wash"));
    openLibraryTab();
    QTRY_COMPARE(cards().size(), 1);
    QVERIFY(openMenu(cards().at(0)));
    QVERIFY(m_ui->click(QStringLiteral("menuDuplicate")));
    QTRY_COMPARE(cards().size(), 2);
    QVERIFY(card(QStringLiteral("Wash (Copy 1)")));
}

void TestLibraryFlows::stepsLinkShowsTheStepsWithoutTouchingTheMethod()
{
    const QString source = m_env->home() + QStringLiteral("/wash.spl");
    QVERIFY(writeFile(source, WashSpl));
    const QString id = m_ui->library.importFromSplFile(source);
    QVERIFY(!id.isEmpty());
    const QVariant modified = m_ui->library.getProtocol(id).value(QStringLiteral("modified"));
    openLibraryTab();
    QTRY_COMPARE(cards().size(), 1);
    QQuickItem *wash = cards().at(0);
    QQuickItem *link = m_ui->item(QStringLiteral("stepsLink"), wash);
    QVERIFY(link);
    QVERIFY(!m_ui->item(QStringLiteral("stepsBlock"), wash));

    QVERIFY(m_ui->click(link));
    QTRY_VERIFY(m_ui->item(QStringLiteral("stepsBlock"), cards().at(0)));
    const QString shown = m_ui->item(QStringLiteral("stepsText"), cards().at(0))->property("text").toString();
    QVERIFY2(shown.startsWith(QStringLiteral("tipselect tip:small\naspirate")), qPrintable(shown));
    QVERIFY(!shown.contains(QStringLiteral("protocol name")));

    // The expansion survives a rebuild of the list (another method arriving).
    m_ui->library.createProtocol(QStringLiteral("Zeta"));
    QTRY_COMPARE(cards().size(), 2);
    QVERIFY(m_ui->item(QStringLiteral("stepsBlock"), card(QStringLiteral("Wash"))));

    // Looking at the steps is not an edit: the method keeps its modification time.
    QSignalSpy saved(&m_ui->library, &ProtocolLibrary::protocolsChanged);
    QVERIFY(!saved.wait(300));
    QCOMPARE(m_ui->library.getProtocol(id).value(QStringLiteral("modified")), modified);

    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("stepsLink"), card(QStringLiteral("Wash")))));
    QTRY_VERIFY(!m_ui->item(QStringLiteral("stepsBlock"), card(QStringLiteral("Wash"))));
}

void TestLibraryFlows::transferStaysDisabledWithoutALink()
{
    m_ui->library.createProtocol(QStringLiteral("Wash"));
    openLibraryTab();
    QTRY_COMPARE(cards().size(), 1);
    QQuickItem *transfer = m_ui->item(QStringLiteral("transferButton"), cards().at(0));
    QVERIFY(transfer);
    QCOMPARE(transfer->property("text").toString(), QStringLiteral("Transfer"));
    QVERIFY(!transfer->isEnabled());
}

void TestLibraryFlows::transferOverUsbRecordsTheSentCopy()
{
    const QString path = m_env->tempDir() + QStringLiteral("/Wash.spl");
    QVERIFY(writeFile(path, WashSpl));
    QVERIFY(!m_ui->library.importFromSplFile(path).isEmpty());

    AttachedInstrument attached(m_ui->serial);
    QVERIFY(attached.connect());
    const InstrumentState &state = attached.state;
    const QString hardwareId = m_ui->serial.property("usbDeviceId").toString();

    openLibraryTab();
    QTRY_COMPARE(cards().size(), 1);
    QQuickItem *transfer = m_ui->item(QStringLiteral("transferButton"), cards().at(0));
    QVERIFY(transfer);
    QTRY_VERIFY(transfer->isEnabled());
    QSignalSpy done(&m_ui->serial, SIGNAL(transferComplete()));
    QVERIFY(m_ui->click(transfer));
    QVERIFY(done.wait(10000));

    // The instrument holds the method, and the store keeps what was sent as its clean copy.
    const QByteArray sent = state.file(QStringLiteral("Wash.csv"));
    QVERIFY(sent.startsWith("TIPSELECT,S"));
    QTRY_COMPARE(m_ui->store.csvData(hardwareId, QStringLiteral("Wash.csv")).trimmed(), sent.trimmed());
    QVERIFY(!m_ui->store.isDirty(hardwareId, QStringLiteral("Wash.csv")));
    QTRY_COMPARE(cards().at(0)->property("transferState").toString(), QStringLiteral("sent"));

    // Work the link does for someone else is not this card's: no second transfer starts and
    // its completion marks nothing.
    QTRY_VERIFY(transfer->isEnabled());
    m_ui->serial.putProtocol(QStringLiteral("Other.csv"), QByteArray("TIPSELECT,S,,,,,,,,\n"));
    QTRY_VERIFY(!transfer->isEnabled());
    QVERIFY(done.wait(10000));
    QVERIFY(m_ui->store.csvData(hardwareId, QStringLiteral("Other.csv")).isEmpty());
    QTRY_VERIFY(transfer->isEnabled());
}

void TestLibraryFlows::sameFileNameOnTheDeviceIsNotReplacedSilently()
{
    // Two names that travel under one file name.
    const QString dir = m_env->tempDir();
    QVERIFY(writeFile(dir + QStringLiteral("/a.spl"), QByteArray(WashSpl).replace("Wash", "Mix 1-2")));
    QVERIFY(writeFile(dir + QStringLiteral("/b.spl"), QByteArray(WashSpl).replace("Wash", "Mix 1/2").replace("50.0", "60.0")));
    QVERIFY(!m_ui->library.importFromSplFile(dir + QStringLiteral("/a.spl")).isEmpty());
    QVERIFY(!m_ui->library.importFromSplFile(dir + QStringLiteral("/b.spl")).isEmpty());
    AttachedInstrument attached(m_ui->serial);
    attached.state.setPreference(QStringLiteral("name"), QStringLiteral("Bench"));
    QVERIFY(attached.connect());
    openLibraryTab();
    QTRY_COMPARE(cards().size(), 2);
    QSignalSpy done(&m_ui->serial, SIGNAL(transferComplete()));
    const auto send = [&](const QString &name) {
        return m_ui->click(m_ui->item(QStringLiteral("transferButton"), card(name)));
    };

    QTRY_VERIFY(m_ui->item(QStringLiteral("transferButton"), card(QStringLiteral("Mix 1-2")))->isEnabled());
    QVERIFY(send(QStringLiteral("Mix 1-2")));
    QVERIFY(done.wait(10000));
    const QByteArray first = attached.state.file(QStringLiteral("Mix_1_2.csv"));
    QVERIFY(first.contains("50.0"));
    // The outcome names the method and the instrument.
    QQuickItem *toast = nullptr;
    for (QQuickItem *candidate : m_ui->item(QStringLiteral("libraryPanel"))->childItems()) {
        if (candidate->objectName() == QLatin1String("transferToast"))
            toast = candidate;
    }
    QVERIFY(toast);
    QCOMPARE(toast->property("message").toString(), QStringLiteral("✓ Transfer complete — \"Mix 1-2\" to Bench"));

    // The other method asks first; declined, the instrument keeps the first.
    QTRY_VERIFY(m_ui->item(QStringLiteral("transferButton"), card(QStringLiteral("Mix 1/2")))->isEnabled());
    QVERIFY(send(QStringLiteral("Mix 1/2")));
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("replaceOnDeviceDialog")));
    QVERIFY(m_ui->click(QStringLiteral("confirmCancel")));
    QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("replaceOnDeviceDialog")));
    QCOMPARE(attached.state.file(QStringLiteral("Mix_1_2.csv")), first);
    QCOMPARE(done.count(), 1);
    // Confirmed, it is replaced; sending the first again asks in turn.
    QVERIFY(send(QStringLiteral("Mix 1/2")));
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("replaceOnDeviceDialog")));
    QVERIFY(m_ui->click(QStringLiteral("confirmAccept")));
    QVERIFY(done.wait(10000));
    QVERIFY(attached.state.file(QStringLiteral("Mix_1_2.csv")).contains("60.0"));
    QTRY_VERIFY(m_ui->item(QStringLiteral("transferButton"), card(QStringLiteral("Mix 1-2")))->isEnabled());
    QVERIFY(send(QStringLiteral("Mix 1-2")));
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("replaceOnDeviceDialog")));
}

NERRA_TEST_MAIN(TestLibraryFlows)
#include "tst_libraryflows.moc"
