// The device list, the Device tab and the library's transfers driven through the real
// QML against the simulated instrument on a real pseudo-terminal.

#include "testmain.h"
#include "uiharness.h"

#include "attachedinstrument.h"
#include "devices/deviceinfo.h"
#include "model/command.h"

namespace {

const QString HardwareId = QStringLiteral("A1B2C3D4E5F6");
const QString Dilution = QStringLiteral("Serial_Dilution.csv");
const QString Fill = QStringLiteral("Plate_Fill.csv");
const QByteArray DilutionCsv = "TIPSELECT,S,,,,,,,,\nASPIRATE,S,100.0,0,,,,4,\nDISPENSE,S,100.0,0,,,,4,\n";
const QByteArray FillCsv = "TIPSELECT,L,,,,,,,,\nASPIRATE,L,500.0,0,,,,3,\nDISPENSE,L,500.0,0,,,,3,\n";
const QByteArray EditedFillCsv = "TIPSELECT,L,,,,,,,,\nASPIRATE,L,400.0,0,,,,3,\nDISPENSE,L,400.0,0,,,,3,\n";
// Liquid left in the tip: refused by the validator.
const QByteArray InvalidCsv = "TIPSELECT,S,,,,,,,,\nASPIRATE,S,100.0,0,,,,4,\n";

} // namespace

class TestDeviceFlows : public QObject
{
    Q_OBJECT

    std::unique_ptr<UiHarness> m_ui;
    std::unique_ptr<AttachedInstrument> m_instrument;

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
        QTRY_COMPARE(m_ui->items(QStringLiteral("protocolCard")).size(), 2);
        QTRY_VERIFY(!panel()->property("busy").toBool());
        // The instrument's copy as it sent it: no line feed after the last line.
        QCOMPARE(m_ui->store.csvData(HardwareId, Fill), FillCsv.chopped(1));
        QVERIFY(!m_ui->store.isDirty(HardwareId, Fill));
        m_instrument->usb.clearReceived();
    }
    QObject *panel() const { return m_ui->find(QStringLiteral("protocolsPanel")); }
    QQuickItem *card(const QString &file) const
    {
        for (QQuickItem *c : m_ui->items(QStringLiteral("protocolCard"))) {
            if (c->property("filename").toString() == file)
                return c;
        }
        return nullptr;
    }
    QString badge(const QString &file) const
    {
        QQuickItem *pill = card(file) ? m_ui->item(QStringLiteral("protocolBadge"), card(file)) : nullptr;
        return pill ? pill->property("text").toString() : QStringLiteral("<no card>");
    }
    QQuickItem *transferButton(const QString &file) const
    {
        return card(file) ? m_ui->item(QStringLiteral("protocolTransfer"), card(file)) : nullptr;
    }
    QStringList cardNames() const
    {
        QStringList names;
        for (QQuickItem *name : m_ui->items(QStringLiteral("deviceCardName")))
            names << name->property("text").toString();
        return names;
    }
    QString commandsReceived() const
    {
        QStringList commands;
        for (const QByteArray &line : m_instrument->usb.receivedBytes().split('\n')) {
            if (line.startsWith("CMD:"))
                commands << QString::fromUtf8(line);
        }
        return commands.join(QLatin1Char(' '));
    }
    QQuickItem *libraryTransfer(const QString &method) const
    {
        for (QQuickItem *c : m_ui->items(QStringLiteral("libraryCard"))) {
            if (c->property("name").toString() == method)
                return m_ui->item(QStringLiteral("transferButton"), c);
        }
        return nullptr;
    }

private slots:
    void init() { m_ui = std::make_unique<UiHarness>(); }
    void cleanup()
    {
        m_instrument.reset();
        m_ui.reset();
        qunsetenv("NERRA_USB_CUSTOMER_FACING");
    }

    void instrumentOnUsbIsListedOnceAndSelected_data()
    {
        QTest::addColumn<bool>("known");
        QTest::addColumn<bool>("usbOffered");
        QTest::newRow("a new instrument") << false << true;
        QTest::newRow("an instrument known by its hardware id") << true << true;
        QTest::newRow("USB not offered") << false << false;
    }
    void instrumentOnUsbIsListedOnceAndSelected()
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
        QVERIFY(plugIn());
        if (!usbOffered) {
            // The test let the link in; the interface still shows nothing of it.
            m_ui->settle();
            QCOMPARE(m_ui->devices.devices().size(), 0);
            QVERIFY(!m_ui->item(QStringLiteral("usbRow")));
            return;
        }
        // One record, named as the instrument names itself, selected and shown.
        QTRY_COMPARE(cardNames(), QStringList{"Bench"});
        QCOMPARE(m_ui->devices.devices().size(), 1);
        auto *record = qobject_cast<DeviceInfo *>(m_ui->devices.devices().constFirst());
        QCOMPARE(record->hardwareId(), HardwareId);
        QCOMPARE(record->usbOnly(), !known);
        QTRY_VERIFY(m_ui->item(QStringLiteral("deviceCard"))->property("selected").toBool());
        QTRY_COMPARE(m_ui->item(QStringLiteral("deviceTitle"))->property("text").toString(), QStringLiteral("Bench"));
        QCOMPARE(m_ui->item(QStringLiteral("usbStatusText"))->property("text").toString(), QStringLiteral("Connected"));
        // Unplugged, the record stays, no longer connected.
        m_instrument->usb.unplug();
        QTRY_COMPARE(m_ui->item(QStringLiteral("usbStatusText"))->property("text").toString(), QStringLiteral("No instrument"));
        QCOMPARE(cardNames(), QStringList{"Bench"});
    }

    void settingsFormRenamesTheInstrument()
    {
        QVERIFY(m_ui->load());
        QVERIFY(plugIn());
        QQuickItem *field = nullptr;
        QTRY_VERIFY((field = m_ui->item(QStringLiteral("prefName"))) && field->isEnabled());
        m_ui->type(field, QStringLiteral("Lab 3"));
        m_ui->key(Qt::Key_Return);
        // The instrument takes the name, and its record and card follow.
        QTRY_COMPARE(m_instrument->state.preferences().value(QStringLiteral("name")).toString(), QStringLiteral("Lab 3"));
        QTRY_COMPARE(cardNames(), QStringList{"Lab 3"});
        QVERIFY(m_ui->shoot(QStringLiteral("device-settings")));
    }

    void protocolsAreEditedHereAndSentBack()
    {
        openProtocols();
        QCOMPARE(badge(Fill), QStringLiteral("● Device Only"));
        QVERIFY(!transferButton(Fill));
        // A local edit stays on this computer until it is sent.
        QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, EditedFillCsv));
        QTRY_COMPARE(badge(Fill), QStringLiteral("● Modified"));
        QCOMPARE(m_instrument->state.file(Fill), FillCsv);
        QVERIFY(m_ui->shoot(QStringLiteral("device-protocols")));
        QSignalSpy done(&m_ui->serial, SIGNAL(transferComplete()));
        QVERIFY(m_ui->click(transferButton(Fill)));
        QVERIFY(done.wait(10000));
        QCOMPARE(m_instrument->state.file(Fill), EditedFillCsv);
        QTRY_VERIFY(!m_ui->store.isDirty(HardwareId, Fill));
        QCOMPARE(transferButton(Fill)->property("text").toString(), QStringLiteral("✓ Sent"));
        QTRY_COMPARE(badge(Fill), QStringLiteral("● Device Only"));

        // A library method of the same name is told apart, and its transfer sends the library's.
        const QString id = m_ui->addMethod(QStringLiteral("Serial Dilution"), QStringLiteral("tipselect tip:small\n"
            "aspirate tip:small vol:60.0 xvol:0 speed:4\ndispense tip:small vol:60.0 xvol:0 speed:4\n"));
        // Edited here but gone from the instrument: only that copy may be discarded.
        QVERIFY(m_ui->store.storeLocalEdit(HardwareId, QStringLiteral("Local_only.csv"), DilutionCsv));
        QTRY_COMPARE(badge(QStringLiteral("Local_only.csv")), QStringLiteral("● Not on Device"));
        QCOMPARE(badge(Dilution), QStringLiteral("● Differs from Library"));
        QVERIFY(m_ui->item(QStringLiteral("protocolDiscard"), card(QStringLiteral("Local_only.csv"))));
        QVERIFY(!m_ui->item(QStringLiteral("protocolDiscard"), card(Fill)));
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("protocolSteps"), card(Fill))));
        QVERIFY(m_ui->shoot(QStringLiteral("device-protocols-badges")));
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
        QTRY_VERIFY(!card(Fill));
        QVERIFY(!m_ui->store.hasProtocol(HardwareId, Fill));
    }

    void refreshKeepsLocalEditsAndTransferWaitsForTheFetch()
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
        QVERIFY(panel()->property("pushInterruptsQueue").toBool());
        QVERIFY(done.wait(10000));
        // The clean copy was fetched anew before the transfer started; the local edit was
        // never replaced by the instrument's copy, and it is what the instrument holds.
        QCOMPARE(m_ui->store.csvData(HardwareId, Dilution), newerDilution.chopped(1));
        QCOMPARE(m_instrument->state.file(Fill), EditedFillCsv);
        QCOMPARE(commandsReceived(), QStringLiteral("CMD:LIST_PROTOCOLS CMD:GET_PROTOCOL:") + Dilution
                                         + QStringLiteral(" CMD:PUT_PROTOCOL:") + Fill);
        QTRY_VERIFY(!panel()->property("busy").toBool());

        // Edited here while its own fetch is under way: the edit is kept.
        QVERIFY(m_ui->click(QStringLiteral("protocolsRefresh")));
        QTRY_COMPARE(panel()->property("pendingFetchFile").toString(), Dilution);
        QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Dilution, DilutionCsv));
        QTRY_VERIFY(!panel()->property("busy").toBool());
        QCOMPARE(m_ui->store.csvData(HardwareId, Dilution), DilutionCsv);
        QVERIFY(m_ui->store.isDirty(HardwareId, Dilution));
    }

    void protocolWithErrorsIsNeverSent()
    {
        openProtocols();
        QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, InvalidCsv));
        QTRY_COMPARE(badge(Fill), QStringLiteral("● Modified"));
        QVERIFY(!transferButton(Fill)->isEnabled());
        // Asked for anyway.
        QMetaObject::invokeMethod(panel(), "transfer", Q_ARG(QVariant, Fill));
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
        QVERIFY(!commandsReceived().contains(QLatin1String("PUT_PROTOCOL")));
        QCOMPARE(m_instrument->state.file(Fill), FillCsv);
    }

    void editorSavesRenamesAndSendsADeviceProtocol()
    {
        openProtocols();
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("protocolEdit"), card(Fill))));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        QObject *editor = m_ui->currentPage();
        QCOMPARE(m_ui->builder.protocolName(), QStringLiteral("Plate Fill"));
        // An edit with an error is never transferred.
        m_ui->builder.commandList().at(2)->setProperty("volumeWhole", 300);
        QTRY_VERIFY(editor->property("deviceDirty").toBool());
        QVERIFY(!m_ui->item(QStringLiteral("deviceTransfer"))->isEnabled());
        QMetaObject::invokeMethod(editor, "pressTransfer");
        QCOMPARE(editor->property("deviceSaveError").toString(), QStringLiteral("Fix the validation errors before sending to the device."));
        QCOMPARE(m_instrument->state.file(Fill), FillCsv);

        // Fixed and renamed, the transfer sends the new file and removes the old one.
        m_ui->builder.commandList().at(1)->setProperty("volumeWhole", 300);
        m_ui->builder.setProtocolName(QStringLiteral("Plate Fill 2"));
        QTRY_VERIFY(!m_ui->builder.hasErrors());
        QCOMPARE(m_ui->item(QStringLiteral("deviceSave"))->property("text").toString(), QStringLiteral("Save & Rename on Device"));
        QVERIFY(m_ui->shoot(QStringLiteral("device-protocol-editor")));
        QSignalSpy deleted(&m_ui->serial, SIGNAL(protocolDeleted(QString)));
        QVERIFY(m_ui->click(QStringLiteral("deviceTransfer")));
        QVERIFY(deleted.wait(10000));
        const QString renamed = QStringLiteral("Plate_Fill_2.csv");
        QTRY_VERIFY(m_instrument->state.file(renamed).contains("ASPIRATE,L,300.0"));
        QVERIFY(!m_instrument->state.hasFile(Fill));
        QTRY_VERIFY(!m_ui->store.hasProtocol(HardwareId, Fill));
        QVERIFY(!editor->property("deviceDirty").toBool());

        // Leaving with an unsaved edit asks first, and lands back on the device's protocols.
        m_ui->builder.commandList().at(1)->setProperty("volumeWhole", 250);
        m_ui->builder.commandList().at(2)->setProperty("volumeWhole", 250);
        QVERIFY(m_ui->click(QStringLiteral("backToLibrary")));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("unsavedChangesDialog")));
        QVERIFY(m_ui->click(QStringLiteral("unsavedSave")));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
        QVERIFY(m_ui->store.csvData(HardwareId, renamed).contains("ASPIRATE,L,250.0"));
        QVERIFY(m_ui->store.isDirty(HardwareId, renamed));
        QCOMPARE(m_ui->currentPage()->property("rightTabIndex").toInt(), 0);
        QCOMPARE(m_ui->find(QStringLiteral("devicePanel"), m_ui->currentPage(), false)->property("deviceTabIndex").toInt(), 1);
        QCOMPARE(m_ui->library.protocolCount(), 0);
    }

    void localCopiesFromFilesAndDuplicates()
    {
        openProtocols();
        // An SPL file becomes the instrument's CSV under its header's name, never SPL text.
        const QString spl = m_ui->splFile(QStringLiteral("Quick Rinse"), QStringLiteral("tipselect tip:small\n"
            "aspirate tip:small vol:50.0 xvol:0 speed:5\ndispense tip:small vol:50.0 xvol:0 speed:5\n"));
        QVERIFY(m_ui->click(QStringLiteral("protocolsNew")));
        QTRY_VERIFY(m_ui->item(QStringLiteral("menuImportFile")));
        UiHarness::answerNextFileDialog(spl);
        QVERIFY(m_ui->click(QStringLiteral("menuImportFile")));
        const QString rinse = QStringLiteral("Quick_Rinse.csv");
        QTRY_VERIFY(m_ui->store.hasProtocol(HardwareId, rinse));
        QCOMPARE(m_ui->store.csvData(HardwareId, rinse),
                 QByteArray("TIPSELECT,S,,,,,,,,\nASPIRATE,S,50.0,0,,,,5,\nDISPENSE,S,50.0,0,,,,5,\n"));
        QVERIFY(m_ui->store.isDirty(HardwareId, rinse));
        QVERIFY(!m_instrument->state.hasFile(rinse));

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
        QVERIFY(m_ui->shoot(QStringLiteral("device-protocols-duplicate")));
        m_ui->type(field, QStringLiteral("Rinse 2"));
        QVERIFY(m_ui->click(QStringLiteral("nameDialogAccept")));
        QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("duplicateProtocolDialog")));
        QCOMPARE(m_ui->store.csvData(HardwareId, QStringLiteral("Rinse_2.csv")), m_ui->store.csvData(HardwareId, rinse));
        QCOMPARE(m_ui->store.csvData(HardwareId, Fill), FillCsv.chopped(1));
    }

    void libraryTransferRecordsTheSentCopy()
    {
        m_ui->addMethod(QStringLiteral("Wash"), QStringLiteral("tipselect tip:small\n"
            "aspirate tip:small vol:50.0 xvol:0 speed:5\ndispense tip:small vol:50.0 xvol:0 speed:5\n"));
        QVERIFY(plugIn());
        QVERIFY(m_ui->openLibraryTab());
        QQuickItem *transfer = nullptr;
        QTRY_VERIFY((transfer = libraryTransfer(QStringLiteral("Wash"))) && transfer->isEnabled());
        QSignalSpy done(&m_ui->serial, SIGNAL(transferComplete()));
        QVERIFY(m_ui->click(transfer));
        QVERIFY(done.wait(10000));
        // The instrument holds the method, and the store keeps what was sent as its clean copy.
        const QByteArray sent = m_instrument->state.file(QStringLiteral("Wash.csv"));
        QVERIFY(sent.startsWith("TIPSELECT,S"));
        QTRY_COMPARE(m_ui->store.csvData(HardwareId, QStringLiteral("Wash.csv")).trimmed(), sent.trimmed());
        QVERIFY(!m_ui->store.isDirty(HardwareId, QStringLiteral("Wash.csv")));

        // Work the link does for someone else is not this card's: no second transfer starts
        // and its completion stores nothing.
        QTRY_VERIFY(transfer->isEnabled());
        m_ui->serial.putProtocol(QStringLiteral("Other.csv"), QByteArray("TIPSELECT,S,,,,,,,,\n"));
        QTRY_VERIFY(!transfer->isEnabled());
        QVERIFY(done.wait(10000));
        QVERIFY(m_ui->store.csvData(HardwareId, QStringLiteral("Other.csv")).isEmpty());
        QTRY_VERIFY(transfer->isEnabled());
    }

    void sameFileNameOnTheDeviceIsNotReplacedSilently()
    {
        // Two names that travel under one file name.
        const QString steps = QStringLiteral("tipselect tip:small\naspirate tip:small vol:%1 xvol:0 speed:5\n"
                                             "dispense tip:small vol:%1 xvol:0 speed:5\n");
        m_ui->addMethod(QStringLiteral("Mix 1-2"), steps.arg(QStringLiteral("50.0")));
        m_ui->addMethod(QStringLiteral("Mix 1/2"), steps.arg(QStringLiteral("60.0")));
        QVERIFY(plugIn());
        QVERIFY(m_ui->openLibraryTab());
        QSignalSpy done(&m_ui->serial, SIGNAL(transferComplete()));
        QTRY_VERIFY(libraryTransfer(QStringLiteral("Mix 1-2")) && libraryTransfer(QStringLiteral("Mix 1-2"))->isEnabled());
        QVERIFY(m_ui->click(libraryTransfer(QStringLiteral("Mix 1-2"))));
        QVERIFY(done.wait(10000));
        const QByteArray first = m_instrument->state.file(QStringLiteral("Mix_1_2.csv"));
        QVERIFY(first.contains("50.0"));
        // The outcome names the method and the instrument.
        QObject *toast = m_ui->find(QStringLiteral("transferToast"), m_ui->item(QStringLiteral("libraryPanel")), false);
        QCOMPARE(toast->property("message").toString(), QStringLiteral("✓ Transfer complete — \"Mix 1-2\" to Bench"));

        // The other method asks first; declined, the instrument keeps the first.
        QTRY_VERIFY(libraryTransfer(QStringLiteral("Mix 1/2"))->isEnabled());
        QVERIFY(m_ui->click(libraryTransfer(QStringLiteral("Mix 1/2"))));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("replaceOnDeviceDialog")));
        QVERIFY(m_ui->click(QStringLiteral("confirmCancel")));
        QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("replaceOnDeviceDialog")));
        QCOMPARE(m_instrument->state.file(QStringLiteral("Mix_1_2.csv")), first);
        QCOMPARE(done.count(), 1);
        // Confirmed, it is replaced; sending the first again asks in turn.
        QVERIFY(m_ui->click(libraryTransfer(QStringLiteral("Mix 1/2"))));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("replaceOnDeviceDialog")));
        QVERIFY(m_ui->click(QStringLiteral("confirmAccept")));
        QVERIFY(done.wait(10000));
        QVERIFY(m_instrument->state.file(QStringLiteral("Mix_1_2.csv")).contains("60.0"));
        QTRY_VERIFY(libraryTransfer(QStringLiteral("Mix 1-2"))->isEnabled());
        QVERIFY(m_ui->click(libraryTransfer(QStringLiteral("Mix 1-2"))));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("replaceOnDeviceDialog")));
    }
};

NERRA_TEST_MAIN(TestDeviceFlows)
#include "tst_deviceflows.moc"
