// The device list and the Device tab driven through the real QML against the simulated
// instrument on a real pseudo-terminal: the instrument appearing over USB, and its
// protocols.

#include "testmain.h"
#include "uiharness.h"
#include "windowgrabber.h"

#include "attachedinstrument.h"
#include "devices/deviceinfo.h"
#include "model/command.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <memory>

namespace {

const QString HardwareId = QStringLiteral("A1B2C3D4E5F6");
const QString Dilution = QStringLiteral("Serial_Dilution.csv");
const QString Fill = QStringLiteral("Plate_Fill.csv");
const QByteArray DilutionCsv = "TIPSELECT,S,,,,,,,,\nASPIRATE,S,100.0,0,,,,4,\nDISPENSE,S,100.0,0,,,,4,\n";
const QByteArray FillCsv = "TIPSELECT,L,,,,,,,,\nASPIRATE,L,500.0,0,,,,3,\nDISPENSE,L,500.0,0,,,,3,\n";
const QByteArray EditedFillCsv = "TIPSELECT,L,,,,,,,,\nASPIRATE,L,400.0,0,,,,3,\nDISPENSE,L,400.0,0,,,,3,\n";
// Liquid left in the tip: refused by the validator.
const QByteArray InvalidCsv = "TIPSELECT,S,,,,,,,,\nASPIRATE,S,100.0,0,,,,4,\n";

QStringList commandLines(const QByteArray &wire)
{
    QStringList commands;
    for (const QByteArray &line : wire.split('\n')) {
        if (line.startsWith("CMD:"))
            commands << QString::fromUtf8(line);
    }
    return commands;
}

} // namespace

class TestDeviceFlows : public QObject
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
    }
    void cleanup()
    {
        m_instrument.reset();
        m_ui.reset();
        m_env.reset();
        qunsetenv("NERRA_USB_CUSTOMER_FACING");
    }

    void instrumentOnUsbIsListedOnceAndSelected_data();
    void instrumentOnUsbIsListedOnceAndSelected();
    void settingsFormRenamesTheInstrument();
    void protocolsAreFetchedEditedLocallyAndSentBack();
    void everyBadgeOnItsCard();
    void refreshKeepsLocalEditsAndTransferWaitsForTheFetch();
    void protocolWithErrorsIsNeverSent();
    void editorSavesRenamesAndSendsADeviceProtocol();
    void localCopiesFromFilesAndDuplicates();

private:
    bool plugIn()
    {
        m_instrument = std::make_unique<AttachedInstrument>(m_ui->serial);
        m_instrument->state.setHardwareId(HardwareId);
        m_instrument->state.setPreference(QStringLiteral("name"), QStringLiteral("Bench"));
        m_instrument->state.putFile(Dilution, DilutionCsv);
        m_instrument->state.putFile(Fill, FillCsv);
        return m_instrument->connect();
    }
    // The instrument on USB, its Protocols tab open and its list fetched.
    void openProtocols()
    {
        QVERIFY(m_ui->load());
        QVERIFY(plugIn());
        QTRY_VERIFY(m_ui->item(QStringLiteral("deviceSubTabs")));
        QVERIFY(m_ui->click(QStringLiteral("tab_Protocols")));
        QTRY_COMPARE(protocolCards().size(), 2);
        QTRY_VERIFY(!panel()->property("busy").toBool());
        // The instrument's copy as it sent it: no line feed after the last line.
        QCOMPARE(m_ui->store.csvData(HardwareId, Fill), FillCsv.chopped(1));
        QVERIFY(!m_ui->store.isDirty(HardwareId, Fill));
        m_instrument->usb.clearReceived();
    }
    QObject *panel() const { return m_ui->find(QStringLiteral("protocolsPanel")); }
    QList<QQuickItem *> protocolCards() const { return m_ui->items(QStringLiteral("protocolCard")); }
    QQuickItem *card(const QString &file) const
    {
        for (QQuickItem *c : protocolCards()) {
            if (c->property("filename").toString() == file)
                return c;
        }
        return nullptr;
    }
    QString badge(const QString &file) const
    {
        QQuickItem *c = card(file);
        QQuickItem *pill = c ? m_ui->item(QStringLiteral("protocolBadge"), c) : nullptr;
        return pill ? pill->property("text").toString() : QStringLiteral("<no card>");
    }
    QQuickItem *transferButton(const QString &file) const
    {
        QQuickItem *c = card(file);
        return c ? m_ui->item(QStringLiteral("protocolTransfer"), c) : nullptr;
    }
    void shoot(const QString &name)
    {
        m_ui->settle();
        const QString dir = qEnvironmentVariable("NERRA_SCREENSHOT_DIR");
        if (!dir.isEmpty())
            QVERIFY(saveWindowPng(m_ui->window, QDir(dir).filePath(name + QStringLiteral(".png"))));
    }
    QStringList cardNames() const
    {
        QStringList names;
        for (QQuickItem *name : m_ui->items(QStringLiteral("deviceCardName")))
            names << name->property("text").toString();
        return names;
    }

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<UiHarness> m_ui;
    std::unique_ptr<AttachedInstrument> m_instrument;
};

void TestDeviceFlows::instrumentOnUsbIsListedOnceAndSelected_data()
{
    QTest::addColumn<bool>("known");
    QTest::addColumn<bool>("usbOffered");
    QTest::newRow("a new instrument") << false << true;
    QTest::newRow("an instrument known by its hardware id") << true << true;
    QTest::newRow("USB not offered") << false << false;
}

void TestDeviceFlows::instrumentOnUsbIsListedOnceAndSelected()
{
    QFETCH(bool, known);
    QFETCH(bool, usbOffered);
    if (!usbOffered) {
        qputenv("NERRA_USB_CUSTOMER_FACING", "0");
        m_ui = std::make_unique<UiHarness>();
    }
    if (known) {
        auto *record = new DeviceInfo(QStringLiteral("Old name"), QStringLiteral("AA:BB:CC:DD:EE:FF"));
        record->setHardwareId(HardwareId);
        record->setIsPaired(true);
        m_ui->devices.addDevice(record);
    }
    QVERIFY(m_ui->load());
    QCOMPARE(cardNames(), known ? QStringList{"Old name"} : QStringList());

    QVERIFY(plugIn());
    if (!usbOffered) {
        // The link itself was let in by the test; the interface still shows nothing of it.
        m_ui->settle();
        QCOMPARE(m_ui->devices.devices().size(), 0);
        QCOMPARE(cardNames(), QStringList());
        QVERIFY(!m_ui->item(QStringLiteral("usbRow")));
        return;
    }
    // One record, named as the instrument names itself, selected and shown on the Device tab.
    QTRY_COMPARE(cardNames(), QStringList{"Bench"});
    QCOMPARE(m_ui->devices.devices().size(), 1);
    auto *record = qobject_cast<DeviceInfo *>(m_ui->devices.devices().constFirst());
    QCOMPARE(record->hardwareId(), HardwareId);
    QVERIFY(record->lastSeenViaUsb());
    QCOMPARE(record->usbOnly(), !known);
    QTRY_VERIFY(m_ui->item(QStringLiteral("deviceCard"))->property("selected").toBool());
    QTRY_COMPARE(m_ui->item(QStringLiteral("deviceTitle"))->property("text").toString(), QStringLiteral("Bench"));
    QCOMPARE(m_ui->item(QStringLiteral("usbStatusText"))->property("text").toString(), QStringLiteral("Connected"));

    // Unplugged, the record stays, no longer connected.
    m_instrument->usb.unplug();
    QTRY_COMPARE(m_ui->item(QStringLiteral("usbStatusText"))->property("text").toString(),
                 QStringLiteral("No instrument"));
    QCOMPARE(cardNames(), QStringList{"Bench"});
}

void TestDeviceFlows::settingsFormRenamesTheInstrument()
{
    QVERIFY(m_ui->load());
    QVERIFY(plugIn());
    QTRY_COMPARE(cardNames(), QStringList{"Bench"});
    QQuickItem *field = m_ui->item(QStringLiteral("prefName"));
    QTRY_VERIFY(field && field->isEnabled());
    m_ui->type(field, QStringLiteral("Lab 3"));
    m_ui->key(Qt::Key_Return);
    // The instrument takes the name, and its record and card follow.
    QTRY_COMPARE(m_instrument->state.preferences().value(QStringLiteral("name")).toString(), QStringLiteral("Lab 3"));
    QTRY_COMPARE(cardNames(), QStringList{"Lab 3"});
    QCOMPARE(field->property("text").toString(), QString());
    shoot(QStringLiteral("device-settings"));
}

void TestDeviceFlows::protocolsAreFetchedEditedLocallyAndSentBack()
{
    openProtocols();
    QCOMPARE(badge(Fill), QStringLiteral("● Device Only"));
    QVERIFY(!transferButton(Fill));

    // A local edit stays on this computer until it is sent.
    QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, EditedFillCsv));
    QTRY_COMPARE(badge(Fill), QStringLiteral("● Modified"));
    QCOMPARE(m_instrument->state.file(Fill), FillCsv);
    shoot(QStringLiteral("device-protocols"));

    QSignalSpy done(&m_ui->serial, SIGNAL(transferComplete()));
    QVERIFY(m_ui->click(transferButton(Fill)));
    QVERIFY(done.wait(10000));
    QCOMPARE(m_instrument->state.file(Fill), EditedFillCsv);
    QTRY_VERIFY(!m_ui->store.isDirty(HardwareId, Fill));
    QCOMPARE(transferButton(Fill)->property("text").toString(), QStringLiteral("✓ Sent"));
    QTRY_COMPARE(badge(Fill), QStringLiteral("● Device Only"));

    // A library method of the same name is told apart, and its transfer sends the library's.
    const QString id = m_ui->builder.importCsvDataToLibrary(DilutionCsv, QStringLiteral("Serial Dilution"));
    QVERIFY(!id.isEmpty());
    m_ui->store.markSynced(HardwareId, Dilution);   // a change of the store refreshes the cards
    QTRY_COMPARE(badge(Dilution), QStringLiteral("● In Library"));
    const auto step = [](const char *type, int volume) {
        return QVariantMap{{"type", type}, {"tip", "small"}, {"speed", 4}, {"volumeWhole", volume},
                           {"volumeFractional", 0}, {"extraVolume", 0}};
    };
    QVERIFY(m_ui->library.saveProtocol(id, QStringLiteral("Serial Dilution"), QString(),
                                       {step("tipselect", 0), step("aspirate", 60), step("dispense", 60)}));
    m_ui->store.markSynced(HardwareId, Dilution);
    QTRY_COMPARE(badge(Dilution), QStringLiteral("● Differs from Library"));
    QVERIFY(m_ui->click(transferButton(Dilution)));
    QVERIFY(done.wait(10000));
    QCOMPARE(m_instrument->state.file(Dilution), m_ui->builder.csvForLibraryProtocol(id));
    QTRY_COMPARE(badge(Dilution), QStringLiteral("● In Library"));

    // Deleted from the device, after asking.
    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("protocolMore"), card(Fill))));
    QVERIFY(m_ui->click(QStringLiteral("menuDeleteFromDevice")));
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("deleteDeviceProtocolDialog")));
    QVERIFY(m_ui->click(QStringLiteral("confirmAccept")));
    QTRY_VERIFY(!m_instrument->state.hasFile(Fill));
    QTRY_COMPARE(protocolCards().size(), 1);
    QVERIFY(!m_ui->store.hasProtocol(HardwareId, Fill));
}

void TestDeviceFlows::everyBadgeOnItsCard()
{
    QVERIFY(m_ui->load());
    m_ui->builder.importCsvDataToLibrary(DilutionCsv, QStringLiteral("Serial Dilution"));
    m_ui->builder.importCsvDataToLibrary(FillCsv + "PURGE,L,,,,,,4,\n", QStringLiteral("Wash"));
    m_instrument = std::make_unique<AttachedInstrument>(m_ui->serial);
    m_instrument->state.setHardwareId(HardwareId);
    m_instrument->state.putFile(Dilution, DilutionCsv);
    m_instrument->state.putFile(Fill, FillCsv);
    m_instrument->state.putFile(QStringLiteral("Wash.csv"), FillCsv);
    m_instrument->state.putFile(QStringLiteral("Rinse.csv"), FillCsv);
    QVERIFY(m_instrument->connect());
    QTRY_VERIFY(m_ui->item(QStringLiteral("deviceSubTabs")));
    QVERIFY(m_ui->click(QStringLiteral("tab_Protocols")));
    QTRY_COMPARE(protocolCards().size(), 4);
    QTRY_VERIFY(!panel()->property("busy").toBool());
    QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, EditedFillCsv));
    QVERIFY(m_ui->store.storeLocalEdit(HardwareId, QStringLiteral("Local_only.csv"), DilutionCsv));
    QTRY_COMPARE(protocolCards().size(), 5);
    QTRY_COMPARE(badge(QStringLiteral("Local_only.csv")), QStringLiteral("● Not on Device"));
    QCOMPARE(badge(Fill), QStringLiteral("● Modified"));
    QCOMPARE(badge(QStringLiteral("Wash.csv")), QStringLiteral("● Differs from Library"));
    QCOMPARE(badge(Dilution), QStringLiteral("● In Library"));
    QCOMPARE(badge(QStringLiteral("Rinse.csv")), QStringLiteral("● Device Only"));
    // Only what is only here can be discarded; what differs can be sent.
    QVERIFY(m_ui->item(QStringLiteral("protocolDiscard"), card(QStringLiteral("Local_only.csv"))));
    QVERIFY(!m_ui->item(QStringLiteral("protocolDiscard"), card(Fill)));
    QVERIFY(transferButton(QStringLiteral("Wash.csv")));
    QVERIFY(!transferButton(Dilution));
    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("protocolSteps"), card(Fill))));
    shoot(QStringLiteral("device-protocols-badges"));
}

void TestDeviceFlows::refreshKeepsLocalEditsAndTransferWaitsForTheFetch()
{
    openProtocols();
    QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, EditedFillCsv));
    // Both copies change on the instrument behind the program's back.
    const QByteArray newerDilution = DilutionCsv + "PURGE,S,,,,,,4,\n";
    m_instrument->state.putFile(Dilution, newerDilution);
    m_instrument->state.putFile(Fill, FillCsv + "PURGE,L,,,,,,4,\n");
    // Slow enough that the transfer below is asked for while the fetch is in flight.
    m_instrument->usb.setReplyDelay(150);

    QSignalSpy done(&m_ui->serial, SIGNAL(transferComplete()));
    QVERIFY(m_ui->click(QStringLiteral("protocolsRefresh")));
    QTRY_COMPARE(panel()->property("pendingFetchFile").toString(), Dilution);
    QVERIFY(m_ui->click(transferButton(Fill)));
    QCOMPARE(panel()->property("pushInterruptsQueue").toBool(), true);
    QVERIFY(done.wait(10000));

    // The clean copy was fetched anew and stored before the transfer started; the local
    // edit was never replaced by the instrument's copy, and it is what the instrument holds.
    QCOMPARE(m_ui->store.csvData(HardwareId, Dilution), newerDilution.chopped(1));
    QCOMPARE(m_instrument->state.file(Fill), EditedFillCsv);
    QCOMPARE(commandLines(m_instrument->usb.receivedBytes()),
             (QStringList{QStringLiteral("CMD:LIST_PROTOCOLS"), QStringLiteral("CMD:GET_PROTOCOL:") + Dilution,
                          QStringLiteral("CMD:PUT_PROTOCOL:") + Fill}));
    QTRY_VERIFY(!panel()->property("busy").toBool());

    // Edited here while its own fetch is under way: the edit is kept, not the fetched copy.
    QVERIFY(m_ui->click(QStringLiteral("protocolsRefresh")));
    QTRY_COMPARE(panel()->property("pendingFetchFile").toString(), Dilution);
    QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Dilution, DilutionCsv));
    QTRY_VERIFY(!panel()->property("busy").toBool());
    QCOMPARE(m_ui->store.csvData(HardwareId, Dilution), DilutionCsv);
    QVERIFY(m_ui->store.isDirty(HardwareId, Dilution));
}

void TestDeviceFlows::protocolWithErrorsIsNeverSent()
{
    openProtocols();
    QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, InvalidCsv));
    QTRY_COMPARE(badge(Fill), QStringLiteral("● Modified"));
    QVERIFY(transferButton(Fill));
    QVERIFY(!transferButton(Fill)->isEnabled());
    // Asked for anyway, directly and as a transfer waiting behind a fetch.
    m_ui->call(panel(), "transfer", {Fill});
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("protocolsMessage")));
    QCOMPARE(m_ui->popup(QStringLiteral("protocolsMessage"))->property("message").toString(),
             QStringLiteral("Fix the validation errors before sending to the device."));
    QVERIFY(m_ui->click(QStringLiteral("messageOk")));
    QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("protocolsMessage")));
    // A transfer waiting behind a fetch, whose copy gains an error before its turn.
    QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, EditedFillCsv));
    m_instrument->usb.setReplyDelay(150);
    QVERIFY(m_ui->click(QStringLiteral("protocolsRefresh")));
    QTRY_COMPARE(panel()->property("pendingFetchFile").toString(), Dilution);
    QVERIFY(m_ui->click(transferButton(Fill)));
    QVERIFY(panel()->property("pushInterruptsQueue").toBool());
    QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, InvalidCsv));
    QTRY_VERIFY(!panel()->property("busy").toBool());
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("protocolsMessage")));
    QVERIFY(!commandLines(m_instrument->usb.receivedBytes()).join(QLatin1Char(' ')).contains(QLatin1String("PUT_PROTOCOL")));
    QCOMPARE(m_instrument->state.file(Fill), FillCsv);
}

void TestDeviceFlows::editorSavesRenamesAndSendsADeviceProtocol()
{
    openProtocols();
    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("protocolEdit"), card(Fill))));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    QObject *editor = m_ui->currentPage();
    QVERIFY(m_ui->builder.isDeviceProtocol());
    QCOMPARE(m_ui->builder.protocolName(), QStringLiteral("Plate Fill"));

    // An edit with an error: saved locally on request, never transferred.
    m_ui->builder.commandList().at(2)->setProperty("volumeWhole", 300);
    QTRY_VERIFY(editor->property("deviceDirty").toBool());
    QVERIFY(m_ui->builder.hasErrors());
    QVERIFY(!m_ui->item(QStringLiteral("deviceTransfer"))->isEnabled());
    m_ui->call(editor, "pressTransfer");
    QCOMPARE(editor->property("deviceSaveError").toString(),
             QStringLiteral("Fix the validation errors before sending to the device."));
    QCOMPARE(m_instrument->state.file(Fill), FillCsv);

    // Fixed and renamed: "Save & Rename on Device", then the transfer sends the new file and
    // removes the old one from the instrument.
    m_ui->builder.commandList().at(1)->setProperty("volumeWhole", 300);
    m_ui->builder.setProtocolName(QStringLiteral("Plate Fill 2"));
    QTRY_VERIFY(!m_ui->builder.hasErrors());
    QCOMPARE(m_ui->item(QStringLiteral("deviceSave"))->property("text").toString(),
             QStringLiteral("Save & Rename on Device"));
    shoot(QStringLiteral("device-protocol-editor"));
    QSignalSpy deleted(&m_ui->serial, SIGNAL(protocolDeleted(QString)));
    QVERIFY(m_ui->click(QStringLiteral("deviceTransfer")));
    QVERIFY(deleted.wait(10000));
    const QString renamed = QStringLiteral("Plate_Fill_2.csv");
    QTRY_VERIFY(m_instrument->state.hasFile(renamed));
    QVERIFY(!m_instrument->state.hasFile(Fill));
    QVERIFY(m_instrument->state.file(renamed).contains("ASPIRATE,L,300.0"));
    QTRY_VERIFY(!m_ui->store.hasProtocol(HardwareId, Fill));
    QVERIFY(!m_ui->store.isDirty(HardwareId, renamed));
    QVERIFY(!editor->property("deviceDirty").toBool());

    // Leaving with an unsaved edit asks first; Cancel stays.
    m_ui->builder.commandList().at(1)->setProperty("volumeWhole", 250);
    m_ui->builder.commandList().at(2)->setProperty("volumeWhole", 250);
    QVERIFY(m_ui->click(QStringLiteral("backToLibrary")));
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("unsavedChangesDialog")));
    QVERIFY(m_ui->click(QStringLiteral("unsavedSave")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
    QVERIFY(m_ui->store.csvData(HardwareId, renamed).contains("ASPIRATE,L,250.0"));
    QVERIFY(m_ui->store.isDirty(HardwareId, renamed));
}

void TestDeviceFlows::localCopiesFromFilesAndDuplicates()
{
    openProtocols();
    // An SPL file becomes the instrument's CSV under its header's name, never SPL text.
    const QString spl = m_env->home() + QStringLiteral("/rinse.spl");
    {
        QFile file(spl);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("protocol name: Quick Rinse\n\ntipselect tip:small\n"
                   "aspirate tip:small vol:50.0 xvol:0 speed:5\ndispense tip:small vol:50.0 xvol:0 speed:5\n");
    }
    QVERIFY(m_ui->click(QStringLiteral("protocolsNew")));
    QTRY_VERIFY(m_ui->item(QStringLiteral("menuImportFile")));
    UiHarness::answerNextFileDialog(spl);
    QVERIFY(m_ui->click(QStringLiteral("menuImportFile")));
    const QString rinse = QStringLiteral("Quick_Rinse.csv");
    QTRY_VERIFY(m_ui->store.hasProtocol(HardwareId, rinse));
    QCOMPARE(m_ui->store.csvData(HardwareId, rinse),
             QByteArray("TIPSELECT,S,,,,,,,,\nASPIRATE,S,50.0,0,,,,5,\nDISPENSE,S,50.0,0,,,,5,\n"));
    QVERIFY(m_ui->store.isDirty(HardwareId, rinse));
    QCOMPARE(m_instrument->state.hasFile(rinse), false);

    // A duplicate needs a name the instrument does not have yet.
    QTRY_VERIFY(card(rinse));
    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("protocolMore"), card(rinse))));
    QVERIFY(m_ui->click(QStringLiteral("menuDuplicate")));
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("duplicateProtocolDialog")));
    QQuickItem *field = m_ui->item(QStringLiteral("nameDialogField"));
    QCOMPARE(field->property("text").toString(), QStringLiteral("Quick Rinse Copy"));
    m_ui->type(field, QStringLiteral("Plate Fill"));
    QVERIFY(m_ui->click(QStringLiteral("nameDialogAccept")));
    QTRY_COMPARE(m_ui->item(QStringLiteral("nameDialogError"))->property("text").toString(),
                 QStringLiteral("\"Plate Fill\" already exists on this device."));
    QTRY_COMPARE(m_ui->popup(QStringLiteral("duplicateProtocolDialog"))->property("opacity").toDouble(), 1.0);
    shoot(QStringLiteral("device-protocols-duplicate"));
    m_ui->type(field, QStringLiteral("Rinse 2"));
    QVERIFY(m_ui->click(QStringLiteral("nameDialogAccept")));
    QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("duplicateProtocolDialog")));
    QCOMPARE(m_ui->store.csvData(HardwareId, QStringLiteral("Rinse_2.csv")), m_ui->store.csvData(HardwareId, rinse));
    QCOMPARE(m_ui->store.csvData(HardwareId, Fill), FillCsv.chopped(1));
}

NERRA_TEST_MAIN(TestDeviceFlows)
#include "tst_deviceflows.moc"
