// The main window driven through its real QML with the real controllers: F12 and the PIN
// dialog, manufacturing mode in the footer, the settings page and the device sub-tabs.

#include "testmain.h"
#include "uiharness.h"
#include "windowgrabber.h"

#include "attachedinstrument.h"

#include <QSettings>
#include <QSignalSpy>

class TestWindowFlows : public QObject
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
        QVERIFY(m_ui->load());
        // The F12 window is shortened so that its expiry can be waited for.
        m_ui->root()->setProperty("f12WindowMs", 300);
    }
    void cleanup()
    {
        m_ui.reset();
        m_env.reset();
    }

    void threeF12PressesOpenThePinDialog_data();
    void threeF12PressesOpenThePinDialog();
    void pinDialogActivatesManufacturingMode();
    void f12TogglesTheConsoleInManufacturingMode();
    void consoleUsbPaneIsTheInstrumentsTerminal();
    void mfgBadgeLeavesManufacturingMode();
    void gearOpensAndClosesSettings();
    void settingsPageShowsVersionAndStoresNotifications();
    void deviceSubTabsFollowManufacturingMode();
    void transferToastShowsEitherOutcome();

private:
    QObject *pinDialog() const { return m_ui->popup(QStringLiteral("pinDialog")); }
    bool pinDialogOpen() const { return m_ui->isOpen(QStringLiteral("pinDialog")); }

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<UiHarness> m_ui;
};

void TestWindowFlows::threeF12PressesOpenThePinDialog_data()
{
    QTest::addColumn<QList<int>>("pausesBefore");   // ms to wait before each press
    QTest::addColumn<bool>("opens");
    QTest::newRow("three quick presses") << QList<int>{0, 0, 0} << true;
    QTest::newRow("window expires before the third") << QList<int>{0, 0, -1} << false;
    QTest::newRow("window expires before the second") << QList<int>{0, -1, 0} << false;
    QTest::newRow("count restarts after expiry") << QList<int>{0, -1, 0, 0} << true;
}

void TestWindowFlows::threeF12PressesOpenThePinDialog()
{
    QFETCH(QList<int>, pausesBefore);
    QFETCH(bool, opens);
    for (int pause : pausesBefore) {
        if (pause < 0) // wait for the window to run out
            QTRY_COMPARE(m_ui->root()->property("f12Count").toInt(), 0);
        m_ui->key(Qt::Key_F12);
    }
    if (opens) {
        QTRY_VERIFY(pinDialogOpen());
        QCOMPARE(m_ui->root()->property("f12Count").toInt(), 0);
    } else {
        QVERIFY(!pinDialogOpen());
        QTRY_COMPARE(m_ui->root()->property("f12Count").toInt(), 0);
        QVERIFY(!pinDialogOpen());
    }
}

void TestWindowFlows::pinDialogActivatesManufacturingMode()
{
    for (int i = 0; i < 3; ++i)
        m_ui->key(Qt::Key_F12);
    QTRY_VERIFY(pinDialogOpen());
    QQuickItem *field = m_ui->item(QStringLiteral("pinField"));
    QVERIFY(field);
    QTRY_VERIFY(field->hasActiveFocus());

    // A wrong PIN shows the error and keeps the dialog; typing hides the error.
    m_ui->typeText(QStringLiteral("12345"));
    m_ui->key(Qt::Key_Return);
    QTRY_VERIFY(m_ui->item(QStringLiteral("pinError")));
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

    // Opening again starts with an empty field and no error.
    m_ui->mfg.deactivate();
    QMetaObject::invokeMethod(pinDialog(), "open");
    QTRY_VERIFY(pinDialogOpen());
    QCOMPARE(m_ui->item(QStringLiteral("pinField"))->property("text").toString(), QString());
    QVERIFY(!m_ui->item(QStringLiteral("pinError")));
}

void TestWindowFlows::f12TogglesTheConsoleInManufacturingMode()
{
    QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
    QObject *console = m_ui->find(QStringLiteral("consoleWindow"), nullptr, false);
    QVERIFY(console);
    m_ui->key(Qt::Key_F12);
    QTRY_VERIFY(console->property("visible").toBool());
    QVERIFY(!pinDialogOpen());
    // The console holds the log's lines.
    const QtMessageHandler previous = qInstallMessageHandler(LogManager::handleMessage);
    qDebug() << "UiTest: a line for the console";
    qInstallMessageHandler(previous);
    auto *consoleWindow = qobject_cast<QQuickWindow *>(console);
    QVERIFY(consoleWindow);
    QQuickItem *logView = m_ui->item(QStringLiteral("consoleLog"), consoleWindow->contentItem());
    QVERIFY(logView);
    QTRY_VERIFY(logView->property("count").toInt() >= 1);

    // The filter narrows the lines.
    QQuickItem *filter = m_ui->item(QStringLiteral("consoleFilter"), consoleWindow->contentItem());
    QVERIFY(filter);
    filter->setProperty("text", QStringLiteral("no line holds this"));
    QTRY_COMPARE(logView->property("count").toInt(), 0);
    filter->setProperty("text", QStringLiteral("UiTest: a line"));
    QTRY_COMPARE(logView->property("count").toInt(), 1);

    // F12 closes it again, from either window.
    QTest::keyClick(consoleWindow, Qt::Key_F12);
    QTRY_VERIFY(!console->property("visible").toBool());
    QCOMPARE(m_ui->root()->property("f12Count").toInt(), 0);
}

void TestWindowFlows::consoleUsbPaneIsTheInstrumentsTerminal()
{
    AttachedInstrument attached(m_ui->serial);
    QVERIFY(attached.connect());
    UsbInstrument &instrument = attached.usb;
    instrument.printConsole(QStringLiteral("hello from the bench\n"));

    QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
    auto *console = qobject_cast<QQuickWindow *>(m_ui->find(QStringLiteral("consoleWindow"), nullptr, false));
    QVERIFY(console);
    m_ui->key(Qt::Key_F12);
    QTRY_VERIFY(console->isVisible());
    console->setProperty("viewIndex", 1);
    QQuickItem *output = m_ui->item(QStringLiteral("consoleUsbOutput"), console->contentItem());
    QVERIFY(output);
    QTRY_VERIFY2(output->property("text").toString().contains(QStringLiteral("hello from the bench")),
                 qPrintable(m_ui->serial.property("output").toString() + QStringLiteral(" | ")
                            + output->property("text").toString()));

    // Typed keys go to the instrument one by one; Return ends the line with CR.
    QQuickItem *input = m_ui->item(QStringLiteral("consoleUsbInput"), console->contentItem());
    QVERIFY(input);
    QTRY_VERIFY(input->isEnabled());
    input->forceActiveFocus();
    instrument.clearReceived();
    QTest::keyClick(console, 'l');
    QTest::keyClick(console, 's');
    QTest::keyClick(console, Qt::Key_Return);
    QTRY_COMPARE(instrument.receivedBytes(), QByteArray("ls\r"));

    const QString dir = qEnvironmentVariable("NERRA_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        QVERIFY(saveWindowPng(console, dir + QStringLiteral("/console-usb.png")));
}

void TestWindowFlows::mfgBadgeLeavesManufacturingMode()
{
    QVERIFY(!m_ui->item(QStringLiteral("mfgBadge")));
    QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
    QTRY_VERIFY(m_ui->item(QStringLiteral("consoleToggle")));
    QVERIFY(m_ui->click(QStringLiteral("consoleToggle")));
    QObject *console = m_ui->find(QStringLiteral("consoleWindow"), nullptr, false);
    QTRY_VERIFY(console->property("visible").toBool());
    QVERIFY(m_ui->click(QStringLiteral("mfgBadge")));
    QTRY_VERIFY(!m_ui->mfg.mfgMode());
    QTRY_VERIFY(!console->property("visible").toBool());
    QVERIFY(!m_ui->item(QStringLiteral("mfgBadge")));
}

void TestWindowFlows::gearOpensAndClosesSettings()
{
    QCOMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
    QVERIFY(m_ui->click(QStringLiteral("settingsButton")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("settingsPage"));
    QVERIFY(m_ui->click(QStringLiteral("settingsButton")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
    QVERIFY(m_ui->click(QStringLiteral("settingsButton")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("settingsPage"));
    QVERIFY(m_ui->click(QStringLiteral("settingsBack")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
}

void TestWindowFlows::settingsPageShowsVersionAndStoresNotifications()
{
    QVERIFY(m_ui->click(QStringLiteral("settingsButton")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("settingsPage"));
    QObject *page = m_ui->currentPage();
    QTRY_VERIFY(m_ui->item(QStringLiteral("aboutVersion"), page));
    QCOMPARE(m_ui->item(QStringLiteral("aboutVersion"), page)->property("text").toString(),
             QStringLiteral("Version 1.5.0"));
    // Hidden until the self-updater exists; certifications only in manufacturing mode.
    QVERIFY(!m_ui->item(QStringLiteral("updatesCard"), page));
    QVERIFY(!m_ui->item(QStringLiteral("certificationsCard"), page));

    QQuickItem *slider = m_ui->item(QStringLiteral("volumeSlider"), page);
    QVERIFY(slider);
    QCOMPARE(m_ui->item(QStringLiteral("volumeLabel"), page)->property("text").toString(), QStringLiteral("80%"));
    QVERIFY(m_ui->click(QStringLiteral("muteSwitch")));
    QTRY_VERIFY(QSettings().value(QStringLiteral("Notifications/muted")).toBool());
    QVERIFY(!slider->isEnabled());

    QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
    QTRY_VERIFY(m_ui->item(QStringLiteral("certificationsCard"), page));
}

void TestWindowFlows::deviceSubTabsFollowManufacturingMode()
{
    // Without a selection the device panel shows its empty state and no sub-tabs.
    QObject *page = m_ui->currentPage();
    QVERIFY(!m_ui->item(QStringLiteral("deviceSubTabs"), page));
    QObject *panel = m_ui->find(QStringLiteral("devicePanel"), page, false);
    QVERIFY(panel);
    panel->setProperty("connectionType", QStringLiteral("usb"));
    QTRY_VERIFY(m_ui->item(QStringLiteral("deviceSubTabs"), page));
    QVERIFY(m_ui->item(QStringLiteral("tab_Software"), page));
    QVERIFY(!m_ui->item(QStringLiteral("tab_Certification"), page));

    QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
    QTRY_VERIFY(m_ui->item(QStringLiteral("tab_Certification"), page));
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

void TestWindowFlows::transferToastShowsEitherOutcome()
{
    QVERIFY(m_ui->click(QStringLiteral("tab_Protocol Library")));
    QQuickItem *panel = m_ui->item(QStringLiteral("libraryPanel"));
    QVERIFY(panel);
    QQuickItem *toast = nullptr;
    for (QQuickItem *candidate : panel->childItems()) {
        if (candidate->objectName() == QLatin1String("transferToast"))
            toast = candidate;
    }
    QVERIFY(toast);
    QVERIFY(!toast->isVisible());
    toast->setProperty("failureHoldMs", 400);
    toast->setProperty("successHoldMs", 400);

    QMetaObject::invokeMethod(&m_ui->serial, "transferFailed", Q_ARG(QString, QStringLiteral("Device busy")));
    QTRY_VERIFY(toast->isVisible());
    QCOMPARE(toast->property("message").toString(), QStringLiteral("✗ Device busy"));
    QVERIFY(!toast->property("success").toBool());
    QTRY_COMPARE(toast->opacity(), 0.97);
    QTRY_VERIFY(!toast->isVisible());

    QMetaObject::invokeMethod(&m_ui->serial, "transferComplete");
    QTRY_VERIFY(toast->isVisible());
    QCOMPARE(toast->property("message").toString(), QStringLiteral("✓ Transfer complete"));
    QVERIFY(toast->property("success").toBool());
    QTRY_VERIFY(!toast->isVisible());
}

NERRA_TEST_MAIN(TestWindowFlows)
#include "tst_windowflows.moc"
