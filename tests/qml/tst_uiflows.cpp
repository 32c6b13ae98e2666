// The interface driven through the real QML with the real controllers: the main window,
// the method library and editor, and the instruments, these against a simulated
// instrument on a real pseudo-terminal. With NERRA_SCREENSHOT_DIR set, the flows also
// save pictures of the screens they reach.

#include "testmain.h"
#include "uiharness.h"

#include "attachedinstrument.h"
#include "releasefixtureserver.h"
#include "pdfcheck.h"
#include "documents/certificationmanager.h"
#include "recordingdocumentui.h"
#include "testfiles.h"
#include "app/updateinstaller.h"
#include "bleinstrument.h"
#include "devices/deviceinfo.h"
#include "model/command.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

const QString Wash = QStringLiteral("tipselect tip:small\naspirate tip:small vol:50.0 xvol:0 speed:5\n"
                                    "dispense tip:small vol:50.0 xvol:0 speed:5\n");

const QString HardwareId = QStringLiteral("A1B2C3D4E5F6");
const QString Dilution = QStringLiteral("Serial_Dilution.csv");
const QString Fill = QStringLiteral("Plate_Fill.csv");
const QByteArray DilutionCsv = "TIPSELECT,S,,,,,,,,\nASPIRATE,S,100.0,0,,,,4,\nDISPENSE,S,100.0,0,,,,4,\n";
const QByteArray FillCsv = "TIPSELECT,L,,,,,,,,\nASPIRATE,L,500.0,0,,,,3,\nDISPENSE,L,500.0,0,,,,3,\n";
const QByteArray EditedFillCsv = "TIPSELECT,L,,,,,,,,\nASPIRATE,L,400.0,0,,,,3,\nDISPENSE,L,400.0,0,,,,3,\n";
// Liquid left in the tip: refused by the validator.
const QByteArray InvalidCsv = "TIPSELECT,S,,,,,,,,\nASPIRATE,S,100.0,0,,,,4,\n";

} // namespace

class TestUiFlows : public QObject
{
    Q_OBJECT

    std::unique_ptr<UiHarness> m_ui;
    std::unique_ptr<AttachedInstrument> m_instrument;

    bool pinDialogOpen() const { return m_ui->isOpen(QStringLiteral("pinDialog")); }
    QObject *page() const { return m_ui->currentPage(); }
    QQuickItem *card(const QString &name) const { return m_ui->itemWith(QStringLiteral("libraryCard"), "name", name); }
    bool waitForCard(const QString &name) const { return QTest::qWaitFor([&] { return card(name); }); }
    bool openMenu(const QString &name) const { return m_ui->click(m_ui->item(QStringLiteral("moreButton"), card(name))); }
    bool openEditorOn(const QString &name, const QString &steps)
    {
        return !m_ui->addMethod(name, steps).isEmpty() && m_ui->openLibraryTab() && waitForCard(name)
               && m_ui->click(m_ui->item(QStringLiteral("editButton"), card(name)))
               && QTest::qWaitFor([this] { return m_ui->item(QStringLiteral("step_0"), page()); });
    }
    // A step's card, or an item in it; null when the card is not on screen (the list makes
    // its delegates when it is laid out, so it settles first).
    QQuickItem *inStep(int index, const QString &name = QString()) const
    {
        m_ui->settle();
        QQuickItem *card = m_ui->item(QStringLiteral("step_%1").arg(index), page());
        return card && !name.isEmpty() ? m_ui->item(name, card) : card;
    }
    int errorsInStep(int index) const { return inStep(index) ? m_ui->items(QStringLiteral("stepError"), inStep(index)).size() : -1; }
    void scrollTo(int index, int mode /* ListView.Beginning 0, End 1 */)
    {
        QMetaObject::invokeMethod(m_ui->item(QStringLiteral("stepList"), page()), "positionViewAtIndex",
                                  Q_ARG(int, index), Q_ARG(int, mode));
    }
    int selected() const { return page()->property("selectedStepIndex").toInt(); }
    QString types() const
    {
        QStringList result;
        for (const QVariant &command : m_ui->builder.commands())
            result << command.value<QObject *>()->property("type").toString();
        return result.join(QLatin1Char(' '));
    }
    QObject *command(int index) const { return m_ui->builder.commands().at(index).value<QObject *>(); }
    bool addStep(const QString &type) { return m_ui->click(QStringLiteral("add_") + type, page()); }
    // Types the name (Return moves on to the description), a description, and commits.
    bool nameTheMethod(const QString &name)
    {
        const auto field = [this](const char *which) { return m_ui->item(QString::fromLatin1(which), page()); };
        if (!QTest::qWaitFor([&] { return field("nameField") && field("nameField")->hasActiveFocus(); }))
            return false;
        m_ui->typeText(name);
        m_ui->key(Qt::Key_Return);
        if (!QTest::qWaitFor([&] { return field("descriptionField")->hasActiveFocus(); }))
            return false;
        m_ui->typeText(QStringLiteral("Made by the test"));
        return m_ui->click(field("nameCommit"));
    }
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
    QQuickItem *fileCard(const QString &file) const { return m_ui->itemWith(QStringLiteral("protocolCard"), "filename", file); }
    QString badge(const QString &file) const { return fileCard(file) ? m_ui->text(QStringLiteral("protocolBadge"), fileCard(file)) : QString(); }
    QQuickItem *transferButton(const QString &file) const
    {
        return fileCard(file) ? m_ui->item(QStringLiteral("protocolTransfer"), fileCard(file)) : nullptr;
    }
    QQuickItem *libraryTransfer(const QString &method) const
    {
        return card(method) ? m_ui->item(QStringLiteral("transferButton"), card(method)) : nullptr;
    }
    QString commandsReceived() const
    {
        QStringList commands;
        for (const QByteArray &line : m_instrument->usb.receivedBytes().split('\n'))
            commands << (line.startsWith("CMD:") ? QString::fromUtf8(line) : QString());
        commands.removeAll(QString());
        return commands.join(QLatin1Char(' '));
    }

private slots:
    void init()
    {
        m_ui = std::make_unique<UiHarness>();
        m_ui->builder.setAutoSaveInterval(50);   // a method in the editor is written back this soon
    }
    void cleanup()
    {
        m_instrument.reset();
        m_ui.reset();
        qunsetenv("NERRA_USB_CUSTOMER_FACING");
    }

    // The main window.

    void pinSwitchesManufacturingModeAndItsConsoleOn()
    {
        QVERIFY(m_ui->load());
        AttachedInstrument attached(m_ui->serial);
        QVERIFY(attached.connect());
        QVERIFY(!m_ui->item(QStringLiteral("consoleToggle")));
        for (int i = 0; i < 3; ++i)
            m_ui->key(Qt::Key_F12);
        // Opened means its entry transition has finished.
        QTRY_VERIFY(m_ui->popup(QStringLiteral("pinDialog"))->property("opened").toBool());
        QQuickItem *field = m_ui->item(QStringLiteral("pinField"));
        QTRY_VERIFY(field->hasActiveFocus());
        m_ui->typeText(QStringLiteral("123"));
        QVERIFY(m_ui->shoot(QStringLiteral("pin-dialog")));
        m_ui->typeText(QStringLiteral("45"));
        m_ui->key(Qt::Key_Return);
        QTRY_VERIFY(m_ui->item(QStringLiteral("pinError")));
        QVERIFY(m_ui->shoot(QStringLiteral("pin-dialog-error")));
        QVERIFY(pinDialogOpen() && !m_ui->mfg.mfgMode());
        m_ui->key(Qt::Key_Backspace);
        QTRY_VERIFY(!m_ui->item(QStringLiteral("pinError")));
        m_ui->type(field, QStringLiteral("4051699"));
        QCOMPARE(field->property("text").toString(), QStringLiteral("40516"));
        QVERIFY(m_ui->click(QStringLiteral("pinOk")));
        QTRY_VERIFY(m_ui->mfg.mfgMode());
        QTRY_VERIFY(!pinDialogOpen());
        QVERIFY(m_ui->item(QStringLiteral("consoleToggle")));

        // Now F12 opens the console instead.
        attached.usb.printConsole(QStringLiteral("hello from the bench\n"));
        auto *console = qobject_cast<QQuickWindow *>(m_ui->find(QStringLiteral("consoleWindow"), nullptr, false));
        m_ui->key(Qt::Key_F12);
        QTRY_VERIFY(console->isVisible());
        QVERIFY(!pinDialogOpen());
        // The USB pane is the instrument's terminal: keys go one by one, Return as CR.
        console->setProperty("viewIndex", 1);
        QQuickItem *output = m_ui->item(QStringLiteral("consoleUsbOutput"), console->contentItem());
        QTRY_VERIFY(output->property("text").toString().contains(QStringLiteral("hello from the bench")));
        QQuickItem *input = m_ui->item(QStringLiteral("consoleUsbInput"), console->contentItem());
        QTRY_VERIFY(input->isEnabled());
        input->forceActiveFocus();
        attached.usb.clearReceived();
        QTest::keyClick(console, 'l');
        QTest::keyClick(console, 's');
        QTest::keyClick(console, Qt::Key_Return);
        QTRY_COMPARE(attached.usb.receivedBytes(), QByteArray("ls\r"));
        QVERIFY(m_ui->shoot(QStringLiteral("console-usb"), console));
        QVERIFY(m_ui->click(QStringLiteral("mfgBadge")));
        QTRY_VERIFY(!m_ui->mfg.mfgMode());
        QTRY_VERIFY(!console->isVisible());
        QVERIFY(!m_ui->item(QStringLiteral("mfgBadge")));
    }

    void settingsPageKeepsNotificationsGatesCertificationsAndUpdatesTheProgram()
    {
        QVERIFY(m_ui->load());
        QVERIFY(m_ui->click(QStringLiteral("settingsButton")));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("settingsPage"));
        QObject *page = m_ui->currentPage();
        QTRY_COMPARE(m_ui->text(QStringLiteral("aboutVersion"), page), QStringLiteral("Version 1.5.0"));
        QVERIFY(!m_ui->item(QStringLiteral("certificationsCard"), page));
        QVERIFY(m_ui->click(QStringLiteral("muteSwitch")));
        QTRY_VERIFY(QSettings().value(QStringLiteral("Notifications/muted")).toBool());
        QVERIFY(!m_ui->item(QStringLiteral("volumeSlider"), page)->isEnabled());
        QVERIFY(m_ui->shoot(QStringLiteral("settings")));

        QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
        QTRY_VERIFY(m_ui->item(QStringLiteral("certificationsCard"), page));
        QVERIFY(m_ui->shoot(QStringLiteral("settings-mfg")));
        m_ui->mfg.deactivate();
        QTRY_VERIFY(!m_ui->item(QStringLiteral("certificationsCard"), page));

        // The self-updater's card: a newer version this platform leaves to its package
        // manager, and the Windows hand-over held back while the pipette's own software is
        // being written.
        ReleaseFixtureServer server;
        QVERIFY(server.start());
        qputenv("NERRA_RELEASE_BASE_URL", server.baseUrl().toEncoded());
        QVERIFY(plugIn());
        const QString manifest = QStringLiteral("/nerra-prod/app/latest.json");
        const QString status = QStringLiteral("updateStatus");
        QVERIFY(m_ui->click(QStringLiteral("checkUpdatesButton")));
        QTRY_COMPARE(m_ui->text(QStringLiteral("installHint")),
                     QStringLiteral("Nerra Desktop 1.6.0 is available. Install it with your system's package manager."));
        QVERIFY(m_ui->item(QStringLiteral("releaseNotesButton")));
        QVERIFY(!m_ui->item(QStringLiteral("updateNowButton")));
        QVERIFY(m_ui->item(QStringLiteral("updateDot")));
        QVERIFY(m_ui->shoot(QStringLiteral("settings-update-available")));
        QCOMPARE(server.requests().size(), 1);   // the manifest only

        WindowsBatchInstaller windows;
        windows.setLauncherProgram(QStringLiteral("/bin/true"));
        int quits = 0;
        m_ui->updates.setInstaller(&windows);
        m_ui->updates.setQuitFunction([&quits] { ++quits; });
        QVERIFY(m_ui->click(QStringLiteral("checkUpdatesButton")));   // reads the Windows keys
        QTRY_VERIFY(m_ui->item(QStringLiteral("updateNowButton")));
        QVERIFY(m_ui->click(QStringLiteral("updateNowButton")));
        QTRY_VERIFY(m_ui->item(QStringLiteral("installUpdateButton")));
        server.setFault(QStringLiteral("/nerra-prod/firmware/NerraFirmware-1.5.0.bin"), ReleaseFixtureServer::Fault::Hang);
        m_ui->ota.startUpdateFromRelease(QStringLiteral("1.5.0"), QStringLiteral("prod"));
        QTRY_VERIFY(!m_ui->item(QStringLiteral("installUpdateButton"))->isEnabled());
        QVERIFY(m_ui->item(QStringLiteral("installBlockedReason")));
        QVERIFY(m_ui->shoot(QStringLiteral("settings-update-install-blocked")));
        m_ui->ota.abort();
        QTRY_VERIFY(m_ui->item(QStringLiteral("installUpdateButton"))->isEnabled());
        QCOMPARE(quits, 0);
        QVERIFY(m_ui->click(QStringLiteral("installUpdateButton")));
        QTRY_COMPARE(quits, 1);
        m_ui->updates.setInstaller(nullptr);
        qunsetenv("NERRA_RELEASE_BASE_URL");
        QVERIFY(m_ui->click(QStringLiteral("settingsBack")));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
    }

    void transferToastTellsFailureFromSuccess()
    {
        QVERIFY(m_ui->load());
        QVERIFY(m_ui->click(QStringLiteral("tab_Protocol Library")));
        auto *toast = qobject_cast<QQuickItem *>(m_ui->find(QStringLiteral("transferToast"), m_ui->item(QStringLiteral("libraryPanel")), false));
        QVERIFY(toast && !toast->isVisible());
        toast->setProperty("failureHoldMs", 400);
        toast->setProperty("successHoldMs", 400);
        QMetaObject::invokeMethod(&m_ui->serial, "transferFailed", Q_ARG(QString, QStringLiteral("Device busy")));
        QTRY_VERIFY(toast->isVisible());
        QCOMPARE(toast->property("message").toString(), QStringLiteral("✗ Device busy"));
        QVERIFY(!toast->property("success").toBool());
        QTRY_VERIFY(!toast->isVisible());
        QMetaObject::invokeMethod(&m_ui->serial, "transferComplete");
        QTRY_VERIFY(toast->isVisible());
        QCOMPARE(toast->property("message").toString(), QStringLiteral("✓ Transfer complete"));
        QVERIFY(toast->property("success").toBool());
    }

    // The method library and the editor.

    void newMethodIsNamedAndGrows()
    {
        m_ui->addMethod(QStringLiteral("Plate Wash"), Wash);
        QVERIFY(m_ui->openLibraryTab());
        QVERIFY(m_ui->click(QStringLiteral("newProtocolButton")));
        QVERIFY(!nameTheMethod(QStringLiteral("plate wash")));
        QCOMPARE(m_ui->text(QStringLiteral("nameError"), page()), QStringLiteral("Name already in use"));
        QVERIFY(!m_ui->item(QStringLiteral("nameCommit"), page())->isEnabled());
        QVERIFY(!m_ui->item(QStringLiteral("add_aspirate"), page())->isEnabled());
        QVERIFY(m_ui->shoot(QStringLiteral("name-in-use")));
        m_ui->type(m_ui->item(QStringLiteral("descriptionField"), page()), QString());
        m_ui->type(m_ui->item(QStringLiteral("nameField"), page()), QString());
        QVERIFY(nameTheMethod(QStringLiteral("Serial Dilution")));
        QTRY_COMPARE(m_ui->builder.protocolName(), QStringLiteral("Serial Dilution"));
        QCOMPARE(m_ui->builder.description(), QStringLiteral("Made by the test"));
        QVERIFY(addStep(QStringLiteral("mix")));
        QTRY_COMPARE(types(), QStringLiteral("tipselect mix"));
        const QString id = m_ui->builder.currentProtocolId();
        QTRY_COMPARE(m_ui->library.getProtocol(id).value(QStringLiteral("commands")).toList().size(), 2);
        QCOMPARE(m_ui->library.getProtocol(id).value(QStringLiteral("name")).toString(), QStringLiteral("Serial Dilution"));
    }

    void leavingWithoutANameLeavesNoPlaceholder_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("unnamed") << QString();
        QTest::newRow("named") << QStringLiteral("Keeper");
    }
    void leavingWithoutANameLeavesNoPlaceholder()
    {
        QFETCH(QString, name);
        QVERIFY(m_ui->openLibraryTab());
        QVERIFY(m_ui->click(QStringLiteral("newProtocolButton")));
        QCOMPARE(m_ui->library.protocolCount(), 1);   // the placeholder
        QVERIFY(name.isEmpty() || nameTheMethod(name));
        QTRY_COMPARE(m_ui->builder.commands().size(), name.isEmpty() ? 0 : 1);
        QVERIFY(m_ui->click(QStringLiteral("backToLibrary"), page()));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
        QCOMPARE(page()->property("rightTabIndex").toInt(), 1);   // back on the tab it came from
        QCOMPARE(m_ui->library.protocolCount(), name.isEmpty() ? 0 : 1);
        if (name.isEmpty()) {
            QVERIFY(m_ui->item(QStringLiteral("libraryEmpty")));
            QVERIFY(m_ui->shoot(QStringLiteral("library-empty")));
        } else {   // saved at once when leaving, with its Tip Select
            QVERIFY(waitForCard(name));
            const QString id = card(name)->property("protocolId").toString();
            QCOMPARE(m_ui->library.getProtocol(id).value(QStringLiteral("commands")).toList().size(), 1);
        }
        // Nothing is written later to a removed entry.
        QSignalSpy errors(&m_ui->builder, &ProtocolBuilder::errorOccurred);
        QVERIFY(!errors.wait(300));
    }

    void longMethodShowsItsErrorsLoopAndTip()
    {
        QVERIFY(openEditorOn(QStringLiteral("Serial dilution with wash loop"),
                             QStringLiteral("tipselect tip:small\naspirate tip:small vol:150.0 xvol:0 speed:4\n"
                                            "dispense tip:small vol:50.0 xvol:0 speed:5\nmix tip:small vol:20.0 cycles:3 speed:5\n"
                                            "dispense tip:small vol:100.0 xvol:0 speed:5\naspirate tip:small vol:40.0 xvol:10 speed:1\n"
                                            "loop 10\n  aspirate tip:small vol:10.0 xvol:0 speed:5\n  dispense tip:small vol:5.0 xvol:0 speed:5\n"
                                            "  mix tip:small vol:10.0 cycles:2 speed:5\nendloop\nairgap tip:small vol:10.0 xvol:0 speed:5\n"
                                            "aspirate tip:small vol:100.0 xvol:0 speed:5\ndispense tip:small vol:220.0 xvol:0 speed:9\n"
                                            "tipselect tip:large\npurge tip:large speed:5\n")));
        QVERIFY(m_ui->shoot(QStringLiteral("editor-12-steps-top")));

        // The loop's tip animation plays three rounds of its body and still ends on the
        // builder's volume after all ten (50 µL before, 5 µL more per round).
        scrollTo(5, 0);
        QTRY_VERIFY(inStep(6, QStringLiteral("inner_6.2")));
        QVERIFY(m_ui->click(inStep(6, QStringLiteral("stepTitle"))));
        QObject *simulator = m_ui->find(QStringLiteral("tipSimulator"), page());
        QTRY_COMPARE(simulator->property("frames").toList().size(), 1 + 3 * 4 + 1);
        QCOMPARE(m_ui->builder.getCvolAtIndex(6).value(QStringLiteral("smallWhole")).toInt(), 100);
        QCOMPARE(simulator->property("frames").toList().last().toMap().value(QStringLiteral("volume")).toDouble(), 100.0);
        QVERIFY(m_ui->shoot(QStringLiteral("editor-loop")));

        // Step 9 overfills the small tip (110 µL held); its card says by how much, and its
        // fix takes what the tip can still hold.
        scrollTo(9, 1);
        QTRY_COMPARE(errorsInStep(8), 1);
        const QString message = m_ui->text(QStringLiteral("errorMessage"), inStep(8));
        QVERIFY2(message.endsWith(QStringLiteral("Aspirate exceeds capacity — only 90.0 µL remaining for small tip")), qPrintable(message));
        QCOMPARE(m_ui->text(QStringLiteral("validityPill")), QStringLiteral("⚠ Invalid"));
        page()->setProperty("selectedStepIndex", 8);
        QVERIFY(m_ui->shoot(QStringLiteral("editor-12-steps")));
        QCOMPARE(m_ui->text(QStringLiteral("fixButton"), inStep(8)), QStringLiteral("Fix: 90.0 µL"));
        QVERIFY(m_ui->click(inStep(8, QStringLiteral("fixButton"))));
        QTRY_COMPARE(errorsInStep(8), 0);
        QCOMPARE(command(8)->property("volumeWhole").toInt(), 90);
        QQuickItem *volume = inStep(8, QStringLiteral("volumeField"));
        QVERIFY(m_ui->click(volume));
        m_ui->type(volume, QStringLiteral("95"));
        m_ui->key(Qt::Key_Return);
        QTRY_COMPARE(errorsInStep(8), 1);
        m_ui->type(volume, QString());
        m_ui->key(Qt::Key_Return);
        QTRY_COMPARE(volume->property("text").toString(), QStringLiteral("95.0"));

    }

    void clearingAllStepsAsksFirst()
    {
        QVERIFY(openEditorOn(QStringLiteral("Clear"), Wash));
        QVERIFY(m_ui->click(inStep(2, QStringLiteral("removeStep"))));
        QTRY_COMPARE(types(), QStringLiteral("tipselect aspirate"));
        QTRY_VERIFY(m_ui->text(QStringLiteral("methodError"), page()).contains(QStringLiteral("Protocol ends with 50.0 µL undispensed in the small tip")));
        QVERIFY(m_ui->click(QStringLiteral("clearAllSteps"), page()));
        QTRY_COMPARE(m_ui->popup(QStringLiteral("clearStepsDialog"))->property("title").toString(), QStringLiteral("Clear all steps?"));
        QVERIFY(m_ui->answer(QStringLiteral("clearStepsDialog"), QStringLiteral("confirmCancel")));
        QCOMPARE(types(), QStringLiteral("tipselect aspirate"));
        QVERIFY(m_ui->click(QStringLiteral("clearAllSteps"), page()));
        QVERIFY(m_ui->answer(QStringLiteral("clearStepsDialog"), QStringLiteral("confirmAccept")));
        QCOMPARE(types(), QStringLiteral("tipselect"));
        QVERIFY(!m_ui->item(QStringLiteral("clearAllSteps"), page())->isEnabled());
        QVERIFY(m_ui->click(inStep(0, QStringLiteral("removeStep"))));
        QTRY_VERIFY(m_ui->item(QStringLiteral("noSteps"), page()));
        QVERIFY(addStep(QStringLiteral("tipselect")));
        QTRY_COMPARE(types(), QStringLiteral("tipselect"));
    }

    void editorTakesBackAndNeverLosesATypedValue()
    {
        QVERIFY(openEditorOn(QStringLiteral("Undo"), Wash));
        const QString id = m_ui->builder.currentProtocolId();
        QVERIFY(!m_ui->item(QStringLiteral("undoButton"), page())->isEnabled());
        // A step's × and the first Tip Select taken out, and Ctrl+Z brings each back.
        QVERIFY(m_ui->click(inStep(2, QStringLiteral("removeStep"))));
        QTRY_COMPARE(types(), QStringLiteral("tipselect aspirate"));
        QTRY_VERIFY(m_ui->item(QStringLiteral("undoButton"), page())->isEnabled());
        QVERIFY(m_ui->shoot(QStringLiteral("editor-undo")));
        QTest::keyClick(m_ui->window, Qt::Key_Z, Qt::ControlModifier);
        QTRY_COMPARE(types(), QStringLiteral("tipselect aspirate dispense"));
        QVERIFY(m_ui->click(inStep(0, QStringLiteral("removeStep"))));
        QTRY_COMPARE(types(), QStringLiteral("aspirate dispense"));
        // Not a dead end: a Tip Select goes back in at the top, wherever the selection is.
        QVERIFY(m_ui->click(inStep(1, QStringLiteral("stepTitle"))));
        QVERIFY(addStep(QStringLiteral("tipselect")));
        QTRY_COMPARE(types(), QStringLiteral("tipselect aspirate dispense"));
        QTRY_COMPARE(errorsInStep(0), 0);

        // A value typed and not confirmed, then the window closed: it is kept and saved.
        QQuickItem *volume = inStep(1, QStringLiteral("volumeField"));
        QVERIFY(m_ui->click(volume));
        m_ui->type(volume, QStringLiteral("45"));
        QCOMPARE(command(1)->property("volumeWhole").toInt(), 50);
        m_ui->window->close();
        QTRY_COMPARE(command(1)->property("volumeWhole").toInt(), 45);
        QTRY_VERIFY(!m_ui->builder.hasUnsavedChanges());
        ProtocolLibrary restarted;
        const QVariantList steps = restarted.getProtocol(id).value(QStringLiteral("commands")).toList();
        QCOMPARE(steps.value(1).toMap().value(QStringLiteral("volumeWhole")).toInt(), 45);
    }

    void importedAndExportedTextsMatch()
    {
        const QString name = QStringLiteral("Mix 1/2: \"fast\"");
        const QString source = m_ui->splFile(name, Wash);
        QVERIFY(m_ui->openLibraryTab());
        QString title;
        UiHarness::answerNextFileDialog(source, &title);
        QVERIFY(m_ui->click(QStringLiteral("importProtocolButton")));
        QCOMPARE(title, QStringLiteral("Import SPL File"));
        QVERIFY(waitForCard(name));
        QCOMPARE(card(name)->property("commandCount").toInt(), 3);
        QVERIFY(!m_ui->isOpen(QStringLiteral("importErrorDialog")));
        const QString id = card(name)->property("protocolId").toString();
        // The message of the toast showing now, empty when none is.
        const auto toastMessage = [this] {
            const QQuickItem *toast = m_ui->item(QStringLiteral("transferToast"));
            return toast ? toast->property("message").toString() : QString();
        };
        QVERIFY(openMenu(name));
        UiHarness::answerNextFileDialog(m_ui->env.home() + QStringLiteral("/card.spl"), &title);
        QVERIFY(m_ui->click(QStringLiteral("menuExport")));
        // The file dialog opens once the menu has closed.
        QTRY_COMPARE(title, QStringLiteral("Export SPL File"));
        QCOMPARE(QString::fromUtf8(m_ui->files.readFile(m_ui->env.home() + QStringLiteral("/card.spl"))), m_ui->library.exportToSpl(id));
        QTRY_COMPARE(toastMessage(), QStringLiteral("Exported card.spl"));
        // A folder that is not there: the failure is shown, not swallowed.
        QVERIFY(openMenu(name));
        UiHarness::answerNextFileDialog(m_ui->env.home() + QStringLiteral("/missing/card.spl"));
        QVERIFY(m_ui->click(QStringLiteral("menuExport")));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("exportErrorDialog")));
        QTRY_COMPARE(m_ui->popup(QStringLiteral("exportErrorDialog"))->property("opacity").toDouble(), 1.0);
        QVERIFY(m_ui->shoot(QStringLiteral("export-failed")));
        QVERIFY(m_ui->popup(QStringLiteral("exportErrorDialog"))->property("message").toString().startsWith(QStringLiteral("Failed to open file: ")));
        QVERIFY(m_ui->answer(QStringLiteral("exportErrorDialog"), QStringLiteral("messageOk")));
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("editButton"), card(name))));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        UiHarness::answerNextFileDialog(m_ui->env.home() + QStringLiteral("/editor.spl"));
        QVERIFY(m_ui->click(QStringLiteral("exportProtocol"), page()));
        QCOMPARE(QString::fromUtf8(m_ui->files.readFile(m_ui->env.home() + QStringLiteral("/editor.spl"))), m_ui->builder.splPreview());
        QTRY_COMPARE(toastMessage(), QStringLiteral("Exported editor.spl"));
    }

    void importErrorIsShownOnlyForImports()
    {
        const QString broken = m_ui->splFile(QStringLiteral("Broken"), QStringLiteral("not a step\n"));
        QVERIFY(m_ui->openLibraryTab());
        m_ui->library.deleteProtocol(QStringLiteral("no-such-id"));   // an error, but not an import's
        QVERIFY(!m_ui->isOpen(QStringLiteral("importErrorDialog")));
        UiHarness::answerNextFileDialog(broken);
        QVERIFY(m_ui->click(QStringLiteral("importProtocolButton")));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("importErrorDialog")));
        QObject *dialog = m_ui->popup(QStringLiteral("importErrorDialog"));
        QCOMPARE(dialog->property("title").toString(), QStringLiteral("Could not import protocol"));
        // The title is not said twice.
        const QString message = dialog->property("message").toString();
        QVERIFY2(!message.startsWith(QStringLiteral("Could not import")) && message.at(0).isUpper(), qPrintable(message));
        QVERIFY(m_ui->answer(QStringLiteral("importErrorDialog"), QStringLiteral("messageOk")));
        QCOMPARE(m_ui->library.protocolCount(), 0);
    }

    void duplicateAndDeleteFromTheMenu()
    {
        m_ui->addMethod(QStringLiteral("Keep"), Wash);
        const QString doomed = m_ui->addMethod(QStringLiteral("Mix 1/2"), Wash);
        QVERIFY(m_ui->openLibraryTab());
        QVERIFY(waitForCard(QStringLiteral("Mix 1/2")));
        QVERIFY(openMenu(QStringLiteral("Mix 1/2")));
        QVERIFY(m_ui->click(QStringLiteral("menuDuplicate")));
        QVERIFY(waitForCard(QStringLiteral("Mix 1/2 (Copy 1)")));
        QVERIFY(openMenu(QStringLiteral("Mix 1/2")));
        QVERIFY(m_ui->click(QStringLiteral("menuDelete")));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("deleteProtocolDialog")));
        QObject *dialog = m_ui->popup(QStringLiteral("deleteProtocolDialog"));
        QVERIFY(dialog->property("message").toString().contains(QStringLiteral("\"Mix 1/2\"")));
        QCOMPARE(dialog->property("detail").toString(), QStringLiteral("This action cannot be undone."));
        QVERIFY(m_ui->answer(QStringLiteral("deleteProtocolDialog"), QStringLiteral("confirmCancel")));
        QVERIFY(m_ui->library.protocolExists(doomed));
        QVERIFY(openMenu(QStringLiteral("Mix 1/2")));
        QVERIFY(m_ui->click(QStringLiteral("menuDelete")));
        QVERIFY(m_ui->answer(QStringLiteral("deleteProtocolDialog"), QStringLiteral("confirmAccept")));
        QTRY_VERIFY(!card(QStringLiteral("Mix 1/2")));
        QCOMPARE(m_ui->library.protocolCount(), 2);
        QVERIFY(!m_ui->library.protocolExists(doomed));
    }

    void stepsLinkShowsStepsWithoutTouchingTheMethod()
    {
        for (int i = 0; i < 30; ++i)
            m_ui->addMethod(i ? QStringLiteral("Method %1").arg(i, 2, 10, QLatin1Char('0'))
                              : QStringLiteral("Antibody dilution series for the ELISA standard curve, plate A (duplicate wells)"), Wash);
        QVERIFY(m_ui->openLibraryTab());
        QVERIFY(waitForCard(QStringLiteral("Method 01")));
        QVERIFY(m_ui->shoot(QStringLiteral("library-30")));
        QQuickItem *method = card(QStringLiteral("Method 01"));
        const QString id = method->property("protocolId").toString();
        const QVariant modified = m_ui->library.getProtocol(id).value(QStringLiteral("modified"));
        QVERIFY(!m_ui->item(QStringLiteral("transferButton"), method)->isEnabled());   // no instrument
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("stepsLink"), method)));
        QTRY_VERIFY(m_ui->text(QStringLiteral("stepsText"), card(QStringLiteral("Method 01"))).startsWith(QStringLiteral("tipselect tip:small\naspirate")));
        QVERIFY(m_ui->shoot(QStringLiteral("library-30-steps")));
        m_ui->addMethod(QStringLiteral("Zeta"), Wash);
        QTRY_COMPARE(m_ui->library.protocolCount(), 31);
        QTRY_VERIFY(m_ui->item(QStringLiteral("stepsBlock"), card(QStringLiteral("Method 01"))));
        QSignalSpy saved(&m_ui->library, &ProtocolLibrary::protocolsChanged);
        QVERIFY(!saved.wait(300));
        QCOMPARE(m_ui->library.getProtocol(id).value(QStringLiteral("modified")), modified);
    }

    void viewModeIsReadOnlyUntilEdit()
    {
        const QString name = QStringLiteral("Look only");
        m_ui->addMethod(name, Wash);
        QVERIFY(m_ui->openLibraryTab());
        QVERIFY(waitForCard(name));
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("cardName"), card(name))));
        QTRY_VERIFY(inStep(1));
        QVERIFY(page()->property("viewOnly").toBool());
        QVERIFY(!m_ui->item(QStringLiteral("add_aspirate"), page())->isEnabled());
        QVERIFY(!inStep(1, QStringLiteral("volumeField"))->isEnabled());
        QVERIFY(!inStep(1, QStringLiteral("removeStep")));
        QVERIFY(!m_ui->item(QStringLiteral("nameCommit"), page()));
        QMetaObject::invokeMethod(page(), "commitMeta", Q_ARG(QVariant, QStringLiteral("Sneaky")), Q_ARG(QVariant, QString()));
        QCOMPARE(m_ui->builder.protocolName(), name);
        QVERIFY(m_ui->click(QStringLiteral("leaveViewMode"), page()));
        QTRY_VERIFY(!page()->property("viewOnly").toBool());
        QVERIFY(inStep(1, QStringLiteral("volumeField"))->isEnabled());
    }

    void leavingStaysWhenTheEditCannotBeSaved()
    {
        QVERIFY(openEditorOn(QStringLiteral("Keep me"), Wash));
        // The store's file becomes a folder: every later save fails, as on a full or
        // read-only disk.
        const QString store = m_ui->env.configDir() + QStringLiteral("/Vellora/NerraDesktop.conf");
        QVERIFY(QFile::remove(store) && QDir().mkpath(store));
        m_ui->builder.setAutoSaveInterval(60000);
        command(1)->setProperty("volumeWhole", 150);
        QTRY_VERIFY(m_ui->builder.hasUnsavedChanges());
        QVERIFY(m_ui->click(QStringLiteral("backToLibrary"), page()));
        QObject *dialog = m_ui->popup(QStringLiteral("builderErrorDialog"));
        QTRY_VERIFY(dialog->property("opened").toBool());
        QCOMPARE(dialog->property("message").toString(), QStringLiteral("Failed to save method"));
        QCOMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        QCOMPARE(command(1)->property("volumeWhole").toInt(), 150);
        QVERIFY(m_ui->builder.hasUnsavedChanges());
        QVERIFY(m_ui->shoot(QStringLiteral("save-failed")));
    }

    // Instruments on USB.

    void instrumentOnUsbIsListedOnceAndSelected_data()
    {
        QTest::addColumn<bool>("usbOffered");
        QTest::newRow("a new instrument") << true;
        QTest::newRow("USB not offered") << false;
    }
    void instrumentOnUsbIsListedOnceAndSelected()
    {
        QFETCH(bool, usbOffered);
        if (!usbOffered) {
            qputenv("NERRA_USB_CUSTOMER_FACING", "0");
            m_ui = std::make_unique<UiHarness>();
        }
        QVERIFY(m_ui->load());
        QVERIFY(plugIn());
        if (!usbOffered) {   // the test let the link in; the interface still shows nothing of it
            m_ui->settle();
            QCOMPARE(m_ui->devices.devices().size(), 0);
            QVERIFY(!m_ui->item(QStringLiteral("usbRow")));
            return;
        }
        QTRY_COMPARE(m_ui->text(QStringLiteral("deviceCardName")), QStringLiteral("Bench"));
        QCOMPARE(m_ui->items(QStringLiteral("deviceCardName")).size(), 1);
        auto *record = qobject_cast<DeviceInfo *>(m_ui->devices.devices().constFirst());
        QCOMPARE(m_ui->devices.devices().size(), 1);
        QCOMPARE(record->hardwareId(), HardwareId);
        QVERIFY(record->usbOnly());
        QTRY_VERIFY(m_ui->item(QStringLiteral("deviceCard"))->property("selected").toBool());
        QTRY_COMPARE(m_ui->text(QStringLiteral("deviceTitle")), QStringLiteral("Bench"));
        QCOMPARE(m_ui->text(QStringLiteral("usbStatusText")), QStringLiteral("Connected"));
        m_instrument->usb.unplug();
        QTRY_COMPARE(m_ui->text(QStringLiteral("usbStatusText")), QStringLiteral("No instrument"));
        QCOMPARE(m_ui->text(QStringLiteral("deviceCardName")), QStringLiteral("Bench"));
    }

    // Bluetooth LE from the device list: a scan finds the instrument, a failed connect
    // pairs nothing, a connect pairs it, the same instrument on USB is one record, and a
    // library method goes over Bluetooth LE while it is connected, over USB otherwise.
    void bluetoothInstrumentFromScanToTransfer()
    {
        InstrumentState state;
        state.setHardwareId(HardwareId);
        state.setPreference(QStringLiteral("name"), QStringLiteral("Bench"));
        BleInstrument *instrument = m_ui->radio.addInstrument(&state);
        instrument->setConnectBehaviour(BleInstrument::ConnectBehaviour::Refuse);
        m_ui->addMethod(QStringLiteral("Plate Wash"), Wash);
        QVERIFY(m_ui->load());
        const auto card = [this] { return m_ui->itemWith(QStringLiteral("deviceCard"), "deviceIndex", 0); };

        QVERIFY(m_ui->click(QStringLiteral("scanButton")));
        QTRY_VERIFY(card() && m_ui->item(QStringLiteral("connectButton"), card()));
        QVERIFY(m_ui->item(QStringLiteral("scanInfo")));
        QVERIFY(m_ui->shoot(QStringLiteral("devices-scanning")));
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("connectButton"), card())));
        QTRY_VERIFY_WITH_TIMEOUT(m_ui->item(QStringLiteral("bleErrorBanner")), 5000);
        QCOMPARE(m_ui->text(QStringLiteral("bleErrorText")), QStringLiteral("Failed to connect to device"));
        QVERIFY(m_ui->shoot(QStringLiteral("devices-error")));
        QVERIFY(!m_ui->devices.deviceAt(0)->isPaired());

        instrument->setConnectBehaviour(BleInstrument::ConnectBehaviour::Accept);
        m_ui->radio.setConnectLatency(300);   // long enough to look at
        QTRY_VERIFY(card() && m_ui->item(QStringLiteral("connectButton"), card()));
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("connectButton"), card())));
        QCOMPARE(m_ui->text(QStringLiteral("deviceCardDetail"), card()), QStringLiteral("Connecting to device..."));
        QVERIFY(m_ui->shoot(QStringLiteral("devices-connecting")));
        QTRY_VERIFY(m_ui->ble.isConnected());
        QVERIFY(!m_ui->item(QStringLiteral("bleErrorBanner")));
        QTRY_VERIFY(m_ui->devices.deviceAt(0)->isPaired());
        QTRY_COMPARE(m_ui->find(QStringLiteral("devicePanel"), nullptr, false)->property("connectionType").toString(),
                     QStringLiteral("ble"));
        QVERIFY(m_ui->shoot(QStringLiteral("devices-connected-ble")));

        // The same instrument on USB: one record, connected over both links; a click shows
        // the Bluetooth LE link.
        QVERIFY(plugIn());
        QTRY_COMPARE(page()->property("usbMatchedBleIndex").toInt(), 0);
        QCOMPARE(m_ui->devices.devices().size(), 1);
        QCOMPARE(m_ui->items(QStringLiteral("deviceCard")).size(), 1);
        QVERIFY(m_ui->click(card()));
        QTRY_COMPARE(m_ui->find(QStringLiteral("devicePanel"), nullptr, false)->property("connectionType").toString(),
                     QStringLiteral("ble"));
        QVERIFY(m_ui->shoot(QStringLiteral("devices-both-links")));

        QVERIFY(m_ui->click(QStringLiteral("tab_Protocol Library")));
        QSignalSpy bleDone(&m_ui->ble, &DeviceConnection::transferComplete);
        QTRY_VERIFY(libraryTransfer(QStringLiteral("Plate Wash")) && libraryTransfer(QStringLiteral("Plate Wash"))->isEnabled());
        QVERIFY(m_ui->click(libraryTransfer(QStringLiteral("Plate Wash"))));
        QVERIFY(bleDone.wait(10000));
        QVERIFY(state.hasFile(QStringLiteral("Plate_Wash.csv")));
        QVERIFY(!m_instrument->usb.receivedBytes().contains("CMD:PUT_PROTOCOL"));

        m_ui->ble.disconnect();
        QSignalSpy usbDone(&m_ui->serial, &DeviceConnection::transferComplete);
        QTRY_VERIFY(libraryTransfer(QStringLiteral("Plate Wash"))->isEnabled());
        QVERIFY(m_ui->click(libraryTransfer(QStringLiteral("Plate Wash"))));
        QVERIFY(usbDone.wait(10000));
        QVERIFY(m_instrument->state.hasFile(QStringLiteral("Plate_Wash.csv")));
    }

    // The computer's Bluetooth is off: the scan asks to turn it on, and then runs.
    void bluetoothOffAsksAndScansWhenOn()
    {
        m_ui->radio.setAdapter(SimulatedBleRadio::Adapter::Off);
        QVERIFY(m_ui->load());
        QVERIFY(m_ui->click(QStringLiteral("scanButton")));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("bluetoothOffDialog")));
        QTRY_VERIFY(m_ui->popup(QStringLiteral("bluetoothOffDialog"))->property("opened").toBool());
        QVERIFY(m_ui->shoot(QStringLiteral("bluetooth-off")));
        QVERIFY(m_ui->answer(QStringLiteral("bluetoothOffDialog"), QStringLiteral("bluetoothTurnOn")));
        QTRY_VERIFY(m_ui->ble.isScanning());
        QVERIFY(!m_ui->item(QStringLiteral("bleErrorBanner")));
    }

    // The instrument's software from the fixture releases: offered, confirmed, installed
    // through the restart; then a run that ends waiting for a replug offers to confirm.
    void softwareUpdateFromTheReleases()
    {
        qputenv("NERRA_RELEASE_BASE_URL", QUrl::fromLocalFile(QStringLiteral(NERRA_RELEASE_FIXTURE)).toString().toUtf8());
        QVERIFY(m_ui->load());
        QVERIFY(plugIn());
        m_instrument->usb.setRestartDelay(100);
        QTRY_VERIFY(m_ui->item(QStringLiteral("deviceSubTabs")));
        QVERIFY(m_ui->click(QStringLiteral("tab_Software")));
        QTRY_COMPARE(m_ui->text(QStringLiteral("softwareGuidance")).left(38), QStringLiteral("Update available: 1.4.2 → 1.5.0. The d"));
        QVERIFY(m_ui->shoot(QStringLiteral("software-update-available")));
        QVERIFY(m_ui->click(QStringLiteral("updateButton")));
        QTRY_VERIFY(m_ui->popup(QStringLiteral("softwareConfirmDialog"))->property("opened").toBool());
        QCOMPARE(m_ui->popup(QStringLiteral("softwareConfirmDialog"))->property("title").toString(), QStringLiteral("Update Software"));
        QVERIFY(m_ui->answer(QStringLiteral("softwareConfirmDialog"), QStringLiteral("confirmAccept")));
        QTRY_COMPARE(m_ui->ota.state(), OtaManager::Transferring);
        QVERIFY(m_ui->shoot(QStringLiteral("software-transferring")));
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->ota.state(), OtaManager::Done, 30000);
        QTRY_COMPARE(m_ui->text(QStringLiteral("softwareResultText")), QStringLiteral("✓ Update complete — device software is now 1.5.0."));
        QVERIFY(m_ui->shoot(QStringLiteral("software-done")));
        QCOMPARE(m_instrument->state.firmwareVersion(), QStringLiteral("1.5.0"));

        // In manufacturing mode an older release is offered as a downgrade.
        QVERIFY(m_ui->click(QStringLiteral("resultOkButton")));
        QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
        QTRY_VERIFY(m_ui->item(QStringLiteral("versionPicker")));
        m_ui->find(QStringLiteral("softwarePanel"))->setProperty("pickedVersion", QStringLiteral("1.4.2"));
        QTRY_COMPARE(m_ui->text(QStringLiteral("updateButton")), QStringLiteral("Downgrade to 1.4.2"));
        QVERIFY(m_ui->click(QStringLiteral("updateButton")));
        QTRY_VERIFY(m_ui->popup(QStringLiteral("softwareConfirmDialog"))->property("opened").toBool());
        QCOMPARE(m_ui->popup(QStringLiteral("softwareConfirmDialog"))->property("title").toString(), QStringLiteral("Downgrade Software"));
        QVERIFY(m_ui->shoot(QStringLiteral("software-downgrade-dialog")));
        QVERIFY(m_ui->answer(QStringLiteral("softwareConfirmDialog"), QStringLiteral("confirmCancel")));
        QCOMPARE(m_ui->ota.state(), OtaManager::Idle);

        // A damaged chunk fails the run, and says so.
        m_instrument->usb.setCorruptChunk(2);
        m_ui->ota.startUpdateFromRelease(QStringLiteral("1.4.2"), QStringLiteral("prod"));
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->ota.state(), OtaManager::Failed, 20000);
        QTRY_COMPARE(m_ui->text(QStringLiteral("softwareResultText")), QStringLiteral("✗ Update failed: image integrity check failed (checksum)"));
        QVERIFY(m_ui->shoot(QStringLiteral("software-failed")));
        QVERIFY(m_ui->click(QStringLiteral("resultOkButton")));
        m_instrument->usb.clearFaults();

        // Deaf after its restart: installed, waiting for a replug, and confirmable after it.
        OtaTimings timings;
        timings.rebootStallMs = 1500;
        m_ui->ota.setTimings(timings);
        m_instrument->usb.setDeafAfterRestart(true);
        m_ui->ota.startUpdateFromRelease(QStringLiteral("1.4.2"), QStringLiteral("prod"));
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->ota.state(), OtaManager::NeedsReplug, 30000);
        m_instrument->usb.clearFaults();
        QTRY_VERIFY_WITH_TIMEOUT(m_ui->item(QStringLiteral("confirmSoftwareButton")), 10000);
        QVERIFY(m_ui->shoot(QStringLiteral("software-needs-replug")));
        QVERIFY(m_ui->click(QStringLiteral("confirmSoftwareButton")));
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->ota.state(), OtaManager::Done, 20000);
        qunsetenv("NERRA_RELEASE_BASE_URL");
    }

    // A blank board on USB: flashed without a click, named from the deck once it reports
    // in, the port handed back; a failed run offers "Retry", and a name meant for a board
    // that never came back goes to nobody.
    void blankBoardIsFlashedAndNamed()
    {
        ReleaseFixtureServer server;
        QVERIFY(server.start());
        qputenv("NERRA_BOOT_BASE_URL", server.baseUrl().toEncoded());
        const QString tool = m_ui->env.root() + QStringLiteral("/esptool");
        QVERIFY(QDir().mkpath(tool));
        qputenv("FAKE_ESPTOOL_DIR", tool.toUtf8());
        const auto exitCodes = [&tool](const QByteArray &codes) {
            QFile file(tool + QStringLiteral("/exit-codes"));
            return file.open(QIODevice::WriteOnly) && file.write(codes) == codes.size();
        };
        QVERIFY(exitCodes("slow\n"));
        m_ui->boot.setToolProgram(QStringLiteral(NERRA_FAKE_ESPTOOL));
        m_ui->boot.setTimings(400, 20, 5000);
        server.setFault(QStringLiteral("/nerra-prod/boot/NerraBoot-1.0.2.bin"), ReleaseFixtureServer::Fault::Slow);
        server.setTrickle(512, 40);
        QVERIFY(m_ui->load());
        m_instrument = std::make_unique<AttachedInstrument>(m_ui->serial);
        m_instrument->state.setPreference(QStringLiteral("name"), QStringLiteral("Old name"));
        m_instrument->usb.setBlankBoard(true);
        QVERIFY(m_instrument->plugIn());

        QTRY_COMPARE(m_ui->boot.state(), QStringLiteral("detecting"));
        QVERIFY(m_ui->item(QStringLiteral("newBoardCard")));
        QVERIFY(!m_ui->serial.isConnected());
        QVERIFY(m_ui->shoot(QStringLiteral("new-board-detecting")));
        QTRY_VERIFY(m_ui->boot.state() == QLatin1String("downloading") && m_ui->boot.progress() > 0);
        QVERIFY(m_ui->shoot(QStringLiteral("new-board-downloading")));
        QTRY_VERIFY_WITH_TIMEOUT(m_ui->boot.state() == QLatin1String("flashing") && m_ui->boot.progress() >= 37, 20000);
        QVERIFY(m_ui->shoot(QStringLiteral("new-board-flashing")));
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->boot.state(), QStringLiteral("success"), 10000);
        QCOMPARE(m_ui->text(QStringLiteral("newBoardStatus")), QStringLiteral("Board ready — unplug and move to next"));
        QVERIFY(m_ui->shoot(QStringLiteral("new-board-ready")));
        // The flashed board comes back without a name and is given one from the deck.
        QTRY_VERIFY_WITH_TIMEOUT(!m_instrument->state.name().isEmpty(), 15000);
        const QString given = m_instrument->state.name();
        QVERIFY2(given != QLatin1String("Old name"), qPrintable(given));
        QTRY_VERIFY(m_ui->itemWith(QStringLiteral("deviceCard"), "shownName", given));

        // A board that never reports in keeps its name waiting only until the next run.
        QObject *flow = m_ui->find(QStringLiteral("bootstrapFlow"), nullptr, false);
        QVERIFY(exitCodes(""));
        m_ui->boot.startBootstrap(QStringLiteral("/dev/nerra-gone"));
        QTRY_COMPARE(m_ui->boot.state(), QStringLiteral("success"));
        QVERIFY(!flow->property("pendingBootstrapName").toString().isEmpty());
        QVERIFY(exitCodes("2\n2\n2\n2\n2\n2\n"));
        m_ui->boot.startBootstrap(QStringLiteral("/dev/nerra-gone"));
        QCOMPARE(flow->property("pendingBootstrapName").toString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->boot.state(), QStringLiteral("error"), 10000);
        QCOMPARE(m_ui->text(QStringLiteral("newBoardStatus")), QStringLiteral("Flash failed (exit code 2)"));
        QVERIFY(m_ui->item(QStringLiteral("newBoardHint")));
        QVERIFY(m_ui->shoot(QStringLiteral("new-board-failed")));
        QVERIFY(m_ui->click(QStringLiteral("newBoardRetry")));
        QVERIFY(m_ui->boot.isActive());
        QVERIFY(m_ui->serial.bootstrapActive());
        QTRY_COMPARE(m_ui->boot.state(), QStringLiteral("success"));
        QCOMPARE(m_instrument->state.name(), given);
        qunsetenv("NERRA_BOOT_BASE_URL");
        qunsetenv("FAKE_ESPTOOL_DIR");
    }

    // The gravimetric calibration over USB: coefficients read from the instrument, the
    // manufacturing defaults filled in, a mistyped row refused, the rest sent with the date.
    void calibrationIsMeasuredAndSent()
    {
        QVERIFY(m_ui->load());
        QVERIFY(plugIn());
        QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
        QTRY_VERIFY(m_ui->item(QStringLiteral("deviceSubTabs")));
        QVERIFY(m_ui->click(QStringLiteral("tab_Calibration")));
        const QVector<double> before = m_instrument->state.coefficients();
        QTRY_COMPARE(m_ui->text(QStringLiteral("cell_0_7")), QString::number(before.at(0), 'f', 3));
        QVERIFY(m_ui->click(QStringLiteral("fillDefaults")));
        QTRY_COMPARE(m_ui->text(QStringLiteral("zFactor")), QStringLiteral("1.0028"));
        QCOMPARE(m_ui->text(QStringLiteral("cell_4_4")), QStringLiteral("200.569"));
        QVERIFY(m_ui->shoot(QStringLiteral("calibration-filled")));

        // Grams typed as milligrams in one row: nothing goes to the instrument.
        for (int rep = 0; rep < 3; ++rep) {
            QVERIFY(m_ui->click(QStringLiteral("rep_4_%1").arg(rep)));
            m_ui->key(Qt::Key_End);
            for (int i = 0; i < 7; ++i)
                m_ui->key(Qt::Key_Backspace);
            m_ui->typeText(QStringLiteral("0.200"));
        }
        QVERIFY(m_ui->click(QStringLiteral("sendCalibration")));
        QTRY_COMPARE(m_ui->text(QStringLiteral("calibrationStatus")), QStringLiteral("Invalid calibration value for 200 µL row."));
        QVERIFY(m_ui->shoot(QStringLiteral("calibration-row-refused")));
        QCOMPARE(m_instrument->state.coefficients(), before);

        QVERIFY(m_ui->click(QStringLiteral("fillDefaults")));
        m_instrument->usb.setReplyDelay(150);
        QVERIFY(m_ui->click(QStringLiteral("sendCalibration")));
        QTRY_COMPARE(m_ui->text(QStringLiteral("calibrationStatus")), QStringLiteral("Sending calibration…"));
        QVERIFY(m_ui->shoot(QStringLiteral("calibration-applying")));
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->text(QStringLiteral("calibrationStatus")), QStringLiteral("✓ Calibration saved"), 15000);
        const QVector<double> after = m_instrument->state.coefficients();
        for (int i = 0; i < 8; ++i)   // every reading at its target: each coefficient divided by Z
            QVERIFY2(qAbs(after.at(i) - before.at(i) / 1.002843) < 0.00001, qPrintable(QString::number(i)));
        QVERIFY(!m_instrument->state.calibrationDate().isEmpty());
        QTRY_COMPARE(m_ui->text(QStringLiteral("lastCalibrated")),
                     QStringLiteral("Last calibrated: ") + m_instrument->state.calibrationDate());
    }

    // The same panel over Bluetooth LE: read and sent, then shown with what was sent.
    void calibrationOverBluetooth()
    {
        InstrumentState state;
        state.setHardwareId(HardwareId);
        state.setPreference(QStringLiteral("name"), QStringLiteral("Bench"));
        m_ui->radio.addInstrument(&state);
        QVERIFY(m_ui->load());
        QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
        QVERIFY(m_ui->click(QStringLiteral("scanButton")));
        const auto card = [this] { return m_ui->itemWith(QStringLiteral("deviceCard"), "deviceIndex", 0); };
        QTRY_VERIFY(card() && m_ui->item(QStringLiteral("connectButton"), card()));
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("connectButton"), card())));
        QTRY_VERIFY(m_ui->ble.isConnected());
        QTRY_VERIFY(m_ui->item(QStringLiteral("deviceSubTabs")));
        QVERIFY(m_ui->click(QStringLiteral("tab_Calibration")));
        const QVector<double> before = state.coefficients();
        QTRY_COMPARE(m_ui->text(QStringLiteral("cell_0_7")), QString::number(before.at(0), 'f', 3));
        QVERIFY(m_ui->click(QStringLiteral("fillDefaults")));
        QVERIFY(m_ui->click(QStringLiteral("sendCalibration")));
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->text(QStringLiteral("calibrationStatus")), QStringLiteral("✓ Calibration saved"), 20000);
        QTRY_VERIFY(qAbs(state.coefficients().at(7) - before.at(7) / 1.002843) < 0.00001);
        // Read back since, the coefficients have changed; the certificate prints what was sent.
        QTRY_COMPARE(m_ui->text(QStringLiteral("cell_0_7")), QString::number(state.coefficients().at(0), 'f', 3));
        QCOMPARE(m_ui->text(QStringLiteral("cell_0_8")), QString::number(state.coefficients().at(0), 'f', 3));
    }

    // QA certification over USB: a balance export imported and judged, the conditions
    // typed, the certificate printed and stored on the instrument; the same instrument
    // plugged in again keeps it all, another one brings its own stored certificate, which
    // is downloaded, re-printed and deleted.
    void certificationIsImportedPrintedAndStored()
    {
        QVERIFY(m_ui->load());
        m_instrument = std::make_unique<AttachedInstrument>(m_ui->serial);
        m_instrument->state.setHardwareId(HardwareId);
        m_instrument->state.setPreference(QStringLiteral("sn"), QStringLiteral("NS-CFD10E"));
        QVERIFY(m_instrument->connect());
        QTRY_VERIFY(m_ui->item(QStringLiteral("tab_Calibration")));
        QVERIFY(!m_ui->item(QStringLiteral("tab_Certification")));   // manufacturing mode only
        QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
        QVERIFY(m_ui->click(QStringLiteral("tab_Certification")));
        const QString workbook = QStringLiteral(NERRA_WORKBOOKS "/Q-NS-CFD10E-20261207.xlsx");
        m_ui->answerNextFileDialog(workbook);
        QVERIFY(m_ui->click(QStringLiteral("importWorkbook")));
        QTRY_COMPARE(m_ui->text(QStringLiteral("verdict")), QStringLiteral("PASS"));
        QCOMPARE(m_ui->text(QStringLiteral("certificationStatus")),
                 QStringLiteral("Fill in all Environmental Conditions to compute the Z Correction Factor."));
        const QList<QPair<QString, QString>> fields{{"technician", "A. Tech"}, {"humidity", "50.0"},
            {"waterTemperature", "20.0"}, {"airTemperature", "22.0"}, {"pressure", "1013.0"}};
        for (const auto &field : fields)
            m_ui->type(m_ui->item(QStringLiteral("cert_") + field.first), field.second);
        QTRY_COMPARE(m_ui->text(QStringLiteral("certZFactor")), QStringLiteral("Z Correction Factor: 1.0028"));
        QVERIFY(m_ui->shoot(QStringLiteral("certification-pass")));

        RecordingDocumentUi ui;
        ui.answer = QDir(m_ui->env.root()).filePath(QStringLiteral("qa.pdf"));
        m_ui->qaPdf.setDocumentUi(&ui);
        QVERIFY(m_ui->click(QStringLiteral("generateCertificate")));
        QTRY_COMPARE(ui.opened, QStringList{ui.answer});
        QVERIFY(ui.proposed.endsWith(QLatin1String("Nerra_QA_Certificate_NS-CFD10E_") + QDate::currentDate().toString(Qt::ISODate) + ".pdf"));
        const PdfCheck qa(ui.answer, 20 / 25.4 * 72, 14 / 25.4 * 72);
        QVERIFY2(qa.text.contains(QLatin1String("A. Tech")) && qa.text.contains(QLatin1String("1.0028")), qPrintable(qa.text));

        // Refused while the link is busy, the save says so instead of "Saving…" for ever.
        m_ui->serial.connectProtocol();
        QVERIFY(m_ui->click(QStringLiteral("saveToDevice")));
        QTRY_COMPARE(m_ui->text(QStringLiteral("certificationStatus")), QStringLiteral("Save failed"));
        m_ui->serial.disconnectProtocol();
        QVERIFY(m_ui->click(QStringLiteral("saveToDevice")));
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->text(QStringLiteral("certificationStatus")), QStringLiteral("Saved to device ✓"), 15000);
        QCOMPARE(QByteArray::fromBase64(m_instrument->state.certificateFile().toLatin1()), readFile(workbook));
        QVERIFY(m_instrument->state.certificateRecord().contains(QLatin1String("\"technician\": \"A. Tech\"")));

        // Unplugged and back: the same instrument finds its panel as it was.
        m_instrument->usb.unplug();
        QTRY_VERIFY(!m_ui->serial.isConnected());
        QVERIFY(m_instrument->connect());
        QCOMPARE(m_ui->text(QStringLiteral("verdict")), QStringLiteral("PASS"));
        QCOMPARE(m_ui->text(QStringLiteral("workbookName")), QFileInfo(workbook).fileName());

        // Another instrument holding a failed certificate: its record is loaded as soon as
        // it has said who it is, though the link is still busy with that handshake then.
        CertificationManager other;
        QVERIFY(other.importFile(QStringLiteral(NERRA_WORKBOOKS "/Q-NS-RANDOM-20261207.xlsx")).value("ok").toBool());
        const QString record = other.buildRecordJson(QStringLiteral("NS-0002"), QStringLiteral("2026-11-30"),
                                                     QStringLiteral("B. Other"), 45, 21, 22.5, 1001);
        m_instrument->usb.unplug();
        QTRY_VERIFY(!m_ui->serial.isConnected());
        m_instrument = std::make_unique<AttachedInstrument>(m_ui->serial);
        m_instrument->state.setHardwareId(QStringLiteral("00AA00BB00CC"));
        m_instrument->state.setPreference(QStringLiteral("sn"), QStringLiteral("NS-0002"));
        m_instrument->state.setCertificateRecord(record);
        m_instrument->state.setCertificateFile(QString::fromLatin1(other.lastXlsxBase64().toLatin1()));
        QVERIFY(m_instrument->plugIn());
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->text(QStringLiteral("certificationStatus")), QStringLiteral("Loaded from device"), 15000);
        QCOMPARE(m_ui->text(QStringLiteral("verdict")), QStringLiteral("FAIL"));
        QCOMPARE(m_ui->item(QStringLiteral("cert_technician"))->property("text").toString(), QStringLiteral("B. Other"));
        QVERIFY(m_ui->shoot(QStringLiteral("certification-fail-loaded")));

        const QString copy = QDir(m_ui->env.root()).filePath(QStringLiteral("source.xlsx"));
        m_ui->answerNextFileDialog(copy);
        QVERIFY(m_ui->click(QStringLiteral("downloadSource")));
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->text(QStringLiteral("certificationStatus")), QStringLiteral("Source data saved"), 15000);
        QCOMPARE(readFile(copy), QByteArray::fromBase64(other.lastXlsxBase64().toLatin1()));

        QVERIFY(m_ui->click(QStringLiteral("deleteCertificate")));
        QCOMPARE(m_ui->text(QStringLiteral("deleteCertificate")), QStringLiteral("Confirm Delete?"));
        QVERIFY(m_instrument->state.hasCertificate());
        QVERIFY(m_ui->click(QStringLiteral("deleteCertificate")));
        QTRY_COMPARE_WITH_TIMEOUT(m_ui->text(QStringLiteral("certificationStatus")), QStringLiteral("Certificate deleted"), 15000);
        QVERIFY(!m_instrument->state.hasCertificate());
        QVERIFY(!m_ui->item(QStringLiteral("verdict")));
        m_ui->qaPdf.setDocumentUi(nullptr);
        // Leaving manufacturing mode does not leave a hidden tab on show.
        m_ui->mfg.deactivate();
        QTRY_COMPARE(m_ui->find(QStringLiteral("devicePanel"), nullptr, false)->property("deviceTabIndex").toInt(), 0);
    }

    void protocolsAreEditedHereAndSentBack()
    {
        openProtocols();
        QCOMPARE(badge(Fill), QStringLiteral("● Device Only"));
        QVERIFY(!transferButton(Fill));
        QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, EditedFillCsv));
        QTRY_COMPARE(badge(Fill), QStringLiteral("● Modified"));
        QCOMPARE(m_instrument->state.file(Fill), FillCsv);
        QVERIFY(m_ui->shoot(QStringLiteral("device-protocols")));
        QSignalSpy done(&m_ui->serial, SIGNAL(transferComplete()));
        QVERIFY(m_ui->click(transferButton(Fill)));
        QVERIFY(done.wait(10000));
        QCOMPARE(m_instrument->state.file(Fill), EditedFillCsv);
        QCOMPARE(transferButton(Fill)->property("text").toString(), QStringLiteral("✓ Sent"));
        QTRY_COMPARE(badge(Fill), QStringLiteral("● Device Only"));
        QVERIFY(!m_ui->store.isDirty(HardwareId, Fill));

        // Edited here but gone from the instrument, a copy can only be discarded or sent back.
        const QString id = m_ui->addMethod(QStringLiteral("Serial Dilution"), QStringLiteral("tipselect tip:small\n"
            "aspirate tip:small vol:60.0 xvol:0 speed:4\ndispense tip:small vol:60.0 xvol:0 speed:4\n"));
        QVERIFY(m_ui->store.storeLocalEdit(HardwareId, QStringLiteral("Local_only.csv"), DilutionCsv));
        QTRY_COMPARE(badge(QStringLiteral("Local_only.csv")), QStringLiteral("● Not on Device"));
        QCOMPARE(badge(Dilution), QStringLiteral("● Differs from Library"));
        QVERIFY(m_ui->item(QStringLiteral("protocolDiscard"), fileCard(QStringLiteral("Local_only.csv"))));
        QVERIFY(!m_ui->item(QStringLiteral("protocolDiscard"), fileCard(Fill)));
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("protocolSteps"), fileCard(Fill))));
        QVERIFY(m_ui->shoot(QStringLiteral("device-protocols-badges")));
        QVERIFY(m_ui->click(transferButton(Dilution)));
        QVERIFY(done.wait(10000));
        QCOMPARE(m_instrument->state.file(Dilution), m_ui->builder.csvForLibraryProtocol(id));
        QTRY_COMPARE(badge(Dilution), QStringLiteral("● In Library"));

        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("protocolMore"), fileCard(Fill))));
        QVERIFY(m_ui->click(QStringLiteral("menuDeleteFromDevice")));
        QVERIFY(m_ui->answer(QStringLiteral("deleteDeviceProtocolDialog"), QStringLiteral("confirmAccept")));
        QTRY_VERIFY(!m_instrument->state.hasFile(Fill));
        QTRY_VERIFY(!fileCard(Fill));
        QVERIFY(!m_ui->store.hasProtocol(HardwareId, Fill));

        // An SPL file becomes the instrument's CSV under its header's name, never SPL text.
        const QString spl = m_ui->splFile(QStringLiteral("Quick Rinse"), QStringLiteral("tipselect tip:small\n"
            "aspirate tip:small vol:50.0 xvol:0 speed:5\ndispense tip:small vol:50.0 xvol:0 speed:5\n"));
        QVERIFY(m_ui->click(QStringLiteral("protocolsNew")));
        UiHarness::answerNextFileDialog(spl);
        QVERIFY(m_ui->click(QStringLiteral("menuImportFile")));
        const QString rinse = QStringLiteral("Quick_Rinse.csv");
        QTRY_COMPARE(m_ui->store.csvData(HardwareId, rinse), QByteArray("TIPSELECT,S,,,,,,,,\nASPIRATE,S,50.0,0,,,,5,\nDISPENSE,S,50.0,0,,,,5,\n"));
        QVERIFY(m_ui->store.isDirty(HardwareId, rinse));
        QVERIFY(!m_instrument->state.hasFile(rinse));
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
        QCOMPARE(commandsReceived(), QStringLiteral("CMD:LIST_PROTOCOLS CMD:GET_PROTOCOL:%1 CMD:PUT_PROTOCOL:%2").arg(Dilution, Fill));
        QTRY_VERIFY(!panel()->property("busy").toBool());
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
        // A transfer waiting behind a fetch, whose copy gains an error before its turn.
        QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, EditedFillCsv));
        m_instrument->usb.setReplyDelay(150);
        QVERIFY(m_ui->click(QStringLiteral("protocolsRefresh")));
        QTRY_COMPARE(panel()->property("pendingFetchFile").toString(), Dilution);
        QVERIFY(m_ui->click(transferButton(Fill)));
        QVERIFY(panel()->property("pushInterruptsQueue").toBool());
        QVERIFY(m_ui->store.storeLocalEdit(HardwareId, Fill, InvalidCsv));
        QTRY_VERIFY(!panel()->property("busy").toBool());
        QTRY_COMPARE(m_ui->popup(QStringLiteral("protocolsMessage"))->property("message").toString(),
                     QStringLiteral("Fix the validation errors before sending to the device."));
        QVERIFY(!commandsReceived().contains(QLatin1String("PUT_PROTOCOL")));
        QCOMPARE(m_instrument->state.file(Fill), FillCsv);
    }

    void editorSavesRenamesAndSendsADeviceProtocol()
    {
        openProtocols();
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("protocolEdit"), fileCard(Fill))));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        QObject *editor = m_ui->currentPage();
        QCOMPARE(m_ui->builder.protocolName(), QStringLiteral("Plate Fill"));
        m_ui->builder.commandList().at(2)->setProperty("volumeWhole", 300);
        QTRY_VERIFY(editor->property("deviceDirty").toBool());
        QVERIFY(!m_ui->item(QStringLiteral("deviceTransfer"))->isEnabled());
        QMetaObject::invokeMethod(editor, "pressTransfer");
        QCOMPARE(editor->property("deviceSaveError").toString(), QStringLiteral("Fix the validation errors before sending to the device."));
        QCOMPARE(m_instrument->state.file(Fill), FillCsv);
        m_ui->builder.commandList().at(1)->setProperty("volumeWhole", 300);
        m_ui->builder.setProtocolName(QStringLiteral("Plate Fill 2"));
        QTRY_VERIFY(!m_ui->builder.hasErrors());
        QCOMPARE(m_ui->text(QStringLiteral("deviceSave")), QStringLiteral("Save & Rename on Device"));
        QVERIFY(m_ui->shoot(QStringLiteral("device-protocol-editor")));
        QSignalSpy deleted(&m_ui->serial, SIGNAL(protocolDeleted(QString)));
        QVERIFY(m_ui->click(QStringLiteral("deviceTransfer")));
        QVERIFY(deleted.wait(10000));
        const QString renamed = QStringLiteral("Plate_Fill_2.csv");
        QTRY_VERIFY(m_instrument->state.file(renamed).contains("ASPIRATE,L,300.0"));
        QVERIFY(!m_instrument->state.hasFile(Fill));
        QTRY_VERIFY(!m_ui->store.hasProtocol(HardwareId, Fill));
        QVERIFY(!editor->property("deviceDirty").toBool());
        m_ui->builder.commandList().at(1)->setProperty("volumeWhole", 250);
        m_ui->builder.commandList().at(2)->setProperty("volumeWhole", 250);
        QVERIFY(m_ui->click(QStringLiteral("backToLibrary")));
        QVERIFY(m_ui->answer(QStringLiteral("unsavedChangesDialog"), QStringLiteral("unsavedSave")));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
        QVERIFY(m_ui->store.csvData(HardwareId, renamed).contains("ASPIRATE,L,250.0"));
        QVERIFY(m_ui->store.isDirty(HardwareId, renamed));
        QCOMPARE(m_ui->currentPage()->property("rightTabIndex").toInt(), 0);
        QCOMPARE(m_ui->find(QStringLiteral("devicePanel"), m_ui->currentPage(), false)->property("deviceTabIndex").toInt(), 1);
        QCOMPARE(m_ui->library.protocolCount(), 0);
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
        const auto send = [this](const QString &method) {
            return QTest::qWaitFor([&] { return libraryTransfer(method) && libraryTransfer(method)->isEnabled(); })
                   && m_ui->click(libraryTransfer(method));
        };
        QVERIFY(send(QStringLiteral("Mix 1-2")));
        QVERIFY(done.wait(10000));
        const QByteArray first = m_instrument->state.file(QStringLiteral("Mix_1_2.csv"));
        QVERIFY(first.startsWith("TIPSELECT,S") && first.contains("50.0"));
        QTRY_COMPARE(m_ui->store.csvData(HardwareId, QStringLiteral("Mix_1_2.csv")).trimmed(), first.trimmed());
        QVERIFY(!m_ui->store.isDirty(HardwareId, QStringLiteral("Mix_1_2.csv")));
        QObject *toast = m_ui->find(QStringLiteral("transferToast"), m_ui->item(QStringLiteral("libraryPanel")), false);
        QCOMPARE(toast->property("message").toString(), QStringLiteral("✓ Transfer complete — \"Mix 1-2\" to Bench"));
        // Work the link does for someone else is not a card's: no transfer starts meanwhile
        // and its completion stores nothing.
        QTRY_VERIFY(libraryTransfer(QStringLiteral("Mix 1/2"))->isEnabled());
        m_ui->serial.putProtocol(QStringLiteral("Other.csv"), QByteArray("TIPSELECT,S,,,,,,,,\n"));
        QTRY_VERIFY(!libraryTransfer(QStringLiteral("Mix 1/2"))->isEnabled());
        // Counted, not waited for: the transfer may end while the waits before run.
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 2, 10000);
        QVERIFY(m_ui->store.csvData(HardwareId, QStringLiteral("Other.csv")).isEmpty());
        QVERIFY(send(QStringLiteral("Mix 1/2")));
        QVERIFY(m_ui->answer(QStringLiteral("replaceOnDeviceDialog"), QStringLiteral("confirmCancel")));
        QCOMPARE(m_instrument->state.file(QStringLiteral("Mix_1_2.csv")), first);
        QCOMPARE(done.count(), 2);
        QVERIFY(send(QStringLiteral("Mix 1/2")));
        QVERIFY(m_ui->answer(QStringLiteral("replaceOnDeviceDialog"), QStringLiteral("confirmAccept")));
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 3, 10000);
        QVERIFY(m_instrument->state.file(QStringLiteral("Mix_1_2.csv")).contains("60.0"));
        QVERIFY(send(QStringLiteral("Mix 1-2")));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("replaceOnDeviceDialog")));
    }
};

NERRA_TEST_MAIN(TestUiFlows)
#include "tst_uiflows.moc"
