// The main window driven through its real QML with the real controllers: F12 and the PIN
// dialog, manufacturing mode, the console, the settings page, the device sub-tabs and the
// window's place on screen.

#include "testmain.h"
#include "uiharness.h"

#include "attachedinstrument.h"

#include <QSettings>

class TestWindowFlows : public QObject
{
    Q_OBJECT

    std::unique_ptr<UiHarness> m_ui;

    bool pinDialogOpen() const { return m_ui->isOpen(QStringLiteral("pinDialog")); }
    void pressF12(int times)
    {
        for (int i = 0; i < times; ++i)
            m_ui->key(Qt::Key_F12);
    }

private slots:
    void init()
    {
        m_ui = std::make_unique<UiHarness>();
        QVERIFY(m_ui->load());
        // Short enough that its expiry can be waited for.
        m_ui->window->setProperty("f12WindowMs", 300);
    }
    void cleanup() { m_ui.reset(); }

    void threeF12PressesOpenThePinDialog_data()
    {
        QTest::addColumn<QList<int>>("presses");   // -1: let the window run out first
        QTest::addColumn<bool>("opens");
        QTest::newRow("three quick presses") << QList<int>{0, 0, 0} << true;
        QTest::newRow("window expires before the third") << QList<int>{0, 0, -1} << false;
        QTest::newRow("count restarts after expiry") << QList<int>{0, -1, 0, 0} << true;
    }
    void threeF12PressesOpenThePinDialog()
    {
        QFETCH(QList<int>, presses);
        QFETCH(bool, opens);
        for (int press : presses) {
            if (press < 0)
                QTRY_COMPARE(m_ui->window->property("f12Count").toInt(), 0);
            m_ui->key(Qt::Key_F12);
        }
        if (opens)
            QTRY_VERIFY(pinDialogOpen());
        QTRY_COMPARE(m_ui->window->property("f12Count").toInt(), 0);
        QCOMPARE(pinDialogOpen(), opens);
    }

    void pinDialogSwitchesManufacturingModeOn()
    {
        pressF12(3);
        // Opened means its entry transition has finished.
        QTRY_VERIFY(m_ui->popup(QStringLiteral("pinDialog"))->property("opened").toBool());
        QQuickItem *field = m_ui->item(QStringLiteral("pinField"));
        QTRY_VERIFY(field->hasActiveFocus());
        m_ui->typeText(QStringLiteral("123"));
        QVERIFY(m_ui->shoot(QStringLiteral("pin-dialog")));
        // A wrong PIN shows the error and keeps the dialog; typing hides the error.
        m_ui->typeText(QStringLiteral("45"));
        m_ui->key(Qt::Key_Return);
        QTRY_VERIFY(m_ui->item(QStringLiteral("pinError")));
        QVERIFY(m_ui->shoot(QStringLiteral("pin-dialog-error")));
        QVERIFY(pinDialogOpen());
        QVERIFY(!m_ui->mfg.mfgMode());
        m_ui->key(Qt::Key_Backspace);
        QTRY_VERIFY(!m_ui->item(QStringLiteral("pinError")));
        // At most five characters are taken.
        m_ui->type(field, QStringLiteral("4051699"));
        QCOMPARE(field->property("text").toString(), QStringLiteral("40516"));
        QVERIFY(m_ui->click(QStringLiteral("pinOk")));
        QTRY_VERIFY(m_ui->mfg.mfgMode());
        QTRY_VERIFY(!pinDialogOpen());
        QVERIFY(m_ui->item(QStringLiteral("mfgBadge")));
        // Opened again, it starts empty, without the error.
        m_ui->mfg.deactivate();
        pressF12(3);
        QTRY_VERIFY(pinDialogOpen());
        QCOMPARE(m_ui->item(QStringLiteral("pinField"))->property("text").toString(), QString());
        QVERIFY(!m_ui->item(QStringLiteral("pinError")));
    }

    void consoleIsOnlyForManufacturing()
    {
        AttachedInstrument attached(m_ui->serial);
        QVERIFY(attached.connect());
        attached.usb.printConsole(QStringLiteral("hello from the bench\n"));
        auto *console = qobject_cast<QQuickWindow *>(m_ui->find(QStringLiteral("consoleWindow"), nullptr, false));
        QVERIFY(console);
        QVERIFY(!m_ui->item(QStringLiteral("consoleToggle")));
        QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
        // In manufacturing mode F12 opens the console instead of the PIN dialog.
        m_ui->key(Qt::Key_F12);
        QTRY_VERIFY(console->isVisible());
        QVERIFY(!pinDialogOpen());

        // The log pane holds the program's lines, and its filter narrows them.
        const QtMessageHandler previous = qInstallMessageHandler(LogManager::handleMessage);
        qDebug() << "UiTest: a line for the console";
        qInstallMessageHandler(previous);
        QQuickItem *logView = m_ui->item(QStringLiteral("consoleLog"), console->contentItem());
        QTRY_VERIFY(logView->property("count").toInt() >= 1);
        QQuickItem *filter = m_ui->item(QStringLiteral("consoleFilter"), console->contentItem());
        filter->setProperty("text", QStringLiteral("no line holds this"));
        QTRY_COMPARE(logView->property("count").toInt(), 0);
        filter->setProperty("text", QStringLiteral("UiTest: a line"));
        QTRY_COMPARE(logView->property("count").toInt(), 1);

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

        // F12 closes it from its own window; leaving manufacturing mode by the badge
        // closes it too.
        QTest::keyClick(console, Qt::Key_F12);
        QTRY_VERIFY(!console->isVisible());
        QVERIFY(m_ui->click(QStringLiteral("consoleToggle")));
        QTRY_VERIFY(console->isVisible());
        QVERIFY(m_ui->click(QStringLiteral("mfgBadge")));
        QTRY_VERIFY(!m_ui->mfg.mfgMode());
        QTRY_VERIFY(!console->isVisible());
        QVERIFY(!m_ui->item(QStringLiteral("mfgBadge")));
    }

    void settingsPageKeepsNotificationsAndGatesCertifications()
    {
        QVERIFY(m_ui->click(QStringLiteral("settingsButton")));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("settingsPage"));
        QObject *page = m_ui->currentPage();
        QTRY_VERIFY(m_ui->item(QStringLiteral("aboutVersion"), page));
        QCOMPARE(m_ui->item(QStringLiteral("aboutVersion"), page)->property("text").toString(), QStringLiteral("Version 1.5.0"));
        // Hidden until the self-updater exists; certifications only in manufacturing mode.
        QVERIFY(!m_ui->item(QStringLiteral("updatesCard"), page));
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
        // The gear and the back button both lead back.
        QVERIFY(m_ui->click(QStringLiteral("settingsButton")));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
        QVERIFY(m_ui->click(QStringLiteral("settingsButton")));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("settingsPage"));
        QVERIFY(m_ui->click(QStringLiteral("settingsBack")));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
    }

    void deviceSubTabsFollowManufacturingMode()
    {
        m_ui->devices.addOrUpdateUsbDevice(QStringLiteral("Bench Pipette 3"), QStringLiteral("NR-240117"),
                                           QStringLiteral("v1.0.18-1f5e273"), 4, QStringLiteral("14a7af1d0470"));
        m_ui->devices.addOrUpdateUsbDevice(QString(), QStringLiteral("NR-240118"), QStringLiteral("v1.0.17"), 1,
                                           QStringLiteral("14a7af1d0471"));
        QObject *page = m_ui->currentPage();
        QObject *panel = m_ui->find(QStringLiteral("devicePanel"), page, false);
        // Without a selection the device panel shows no sub-tabs.
        QVERIFY(!m_ui->item(QStringLiteral("deviceSubTabs"), page));
        QTRY_COMPARE(m_ui->items(QStringLiteral("deviceCard")).size(), 2);
        QVERIFY(m_ui->click(m_ui->items(QStringLiteral("deviceCard")).at(0)));
        QTRY_VERIFY(m_ui->item(QStringLiteral("deviceSubTabs"), page));
        QCOMPARE(m_ui->item(QStringLiteral("deviceTitle"))->property("text").toString(), QStringLiteral("Bench Pipette 3"));
        panel->setProperty("connectionType", QStringLiteral("usb"));
        QTRY_VERIFY(m_ui->item(QStringLiteral("tab_Software"), page));
        QVERIFY(!m_ui->item(QStringLiteral("tab_Certification"), page));

        QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
        QTRY_VERIFY(m_ui->item(QStringLiteral("tab_Certification"), page));
        QVERIFY(m_ui->shoot(QStringLiteral("device-panel")));
        QVERIFY(m_ui->click(QStringLiteral("tab_Certification"), page));
        QTRY_COMPARE(panel->property("deviceTabIndex").toInt(), 3);
        m_ui->mfg.deactivate();
        QTRY_COMPARE(panel->property("deviceTabIndex").toInt(), 0);
        // The Software tab gives way when the selection stops being a USB device.
        QVERIFY(m_ui->click(QStringLiteral("tab_Software"), page));
        QTRY_COMPARE(panel->property("deviceTabIndex").toInt(), 4);
        panel->setProperty("connectionType", QStringLiteral("ble"));
        QTRY_COMPARE(panel->property("deviceTabIndex").toInt(), 0);
    }

    void transferToastTellsFailureFromSuccess()
    {
        QVERIFY(m_ui->click(QStringLiteral("tab_Protocol Library")));
        QQuickItem *toast = qobject_cast<QQuickItem *>(
            m_ui->find(QStringLiteral("transferToast"), m_ui->item(QStringLiteral("libraryPanel")), false));
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

    void windowKeepsItsPlace()
    {
        QCOMPARE(m_ui->window->size(), QSize(1250, 800));
        m_ui->window->setPosition(300, 40);
        QTRY_COMPARE(QSettings().value(QStringLiteral("MainWindow/x")).toInt(), 300);
        QTRY_COMPARE(QSettings().value(QStringLiteral("MainWindow/y")).toInt(), 40);
        // The next start opens where this one was left.
        QVERIFY(m_ui->load());
        QCOMPARE(m_ui->window->position(), QPoint(300, 40));
    }
};

NERRA_TEST_MAIN(TestWindowFlows)
#include "tst_windowflows.moc"
