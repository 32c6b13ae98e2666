// Renders each screen of the interface in a given state, checks that the state is what
// is on screen, and, when NERRA_SCREENSHOT_DIR is set, writes the picture there for a
// person to look at.

#include "testmain.h"
#include "uiharness.h"
#include "windowgrabber.h"

#include <QDir>
#include <QSettings>


namespace {

QVariantMap step(const QString &type, double volume = 0, int speed = 5, const QString &tip = QStringLiteral("small"))
{
    QVariantMap map{{QStringLiteral("type"), type}, {QStringLiteral("tip"), tip}, {QStringLiteral("speed"), speed}};
    if (volume > 0) {
        map.insert(QStringLiteral("volumeWhole"), int(volume));
        map.insert(QStringLiteral("volumeFractional"), int((volume - int(volume)) * 10 + 0.5));
        map.insert(QStringLiteral("extraVolume"), 0);
    }
    return map;
}

// Twelve steps with a loop; steps 9 and 10 are in error.
QVariantList twelveSteps()
{
    QVariantMap mix = step(QStringLiteral("mix"), 20);
    mix.insert(QStringLiteral("cycles"), 3);
    QVariantMap aspirateExtra = step(QStringLiteral("aspirate"), 100);
    aspirateExtra.insert(QStringLiteral("extraVolume"), 10);
    QVariantMap innerMix = step(QStringLiteral("mix"), 10);
    innerMix.insert(QStringLiteral("cycles"), 2);
    QVariantMap loop = step(QStringLiteral("loop"));
    loop.insert(QStringLiteral("iterations"), 3);
    loop.insert(QStringLiteral("innerCommands"),
                QVariantList{step(QStringLiteral("aspirate"), 20), step(QStringLiteral("dispense"), 20), innerMix});
    return {step(QStringLiteral("tipselect")), step(QStringLiteral("aspirate"), 150, 4), step(QStringLiteral("dispense"), 50),
            mix, step(QStringLiteral("dispense"), 100), aspirateExtra, loop, step(QStringLiteral("airgap"), 10),
            step(QStringLiteral("aspirate"), 100), step(QStringLiteral("dispense"), 220, 9),
            step(QStringLiteral("tipselect"), 0, 5, QStringLiteral("large")), step(QStringLiteral("purge"), 0, 5, QStringLiteral("large"))};
}

} // namespace

class TestScreens : public QObject
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
        m_ui.reset();
        m_env.reset();
    }

    void emptyLibrary();
    void libraryOfThirtyMethods();
    void devicePanel();
    void editorWithErrors();
    void tipSimulatorMidAspirate();
    void nameAlreadyInUse();
    void settingsPage();
    void pinDialog();

private:
    void shoot(const QString &name)
    {
        m_ui->settle();
        const QImage image = grabShownWindow(m_ui->window);
        QCOMPARE(image.size(), QSize(1250, 800));
        const QString dir = qEnvironmentVariable("NERRA_SCREENSHOT_DIR");
        if (!dir.isEmpty())
            QVERIFY(image.save(QDir(dir).filePath(name + QStringLiteral(".png"))));
    }
    void openLibraryTab()
    {
        QVERIFY(m_ui->load());
        QVERIFY(m_ui->click(QStringLiteral("tab_Protocol Library")));
        QTRY_VERIFY(m_ui->item(QStringLiteral("libraryList")));
    }

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<UiHarness> m_ui;
};

void TestScreens::emptyLibrary()
{
    openLibraryTab();
    QVERIFY(m_ui->item(QStringLiteral("libraryEmpty")));
    shoot(QStringLiteral("library-empty"));
}

void TestScreens::libraryOfThirtyMethods()
{
    const QStringList names = {
        QStringLiteral("Antibody dilution series for the ELISA standard curve, plate A (duplicate wells, 1:2 steps)"),
        QStringLiteral("Aliquot buffer"), QStringLiteral("Bradford assay"), QStringLiteral("BCA protein assay — microplate"),
        QStringLiteral("Buffer exchange"), QStringLiteral("Cell seeding 96-well"), QStringLiteral("Colony PCR master mix"),
        QStringLiteral("DNA normalisation to 10 ng/µL across a full 96-well plate with water top-up first"),
        QStringLiteral("ELISA plate wash"), QStringLiteral("Gel loading"), QStringLiteral("Glycerol stocks"),
        QStringLiteral("Hit picking"), QStringLiteral("Library prep clean-up"), QStringLiteral("Media change"),
        QStringLiteral("Mix 1/2"), QStringLiteral("Nucleic acid extraction"), QStringLiteral("Plasmid miniprep"),
        QStringLiteral("qPCR plate setup"), QStringLiteral("Reagent reservoir fill"), QStringLiteral("Sample pooling"),
        QStringLiteral("Serial dilution 1:10"), QStringLiteral("Serial dilution 1:2"), QStringLiteral("Spheroid feeding"),
        QStringLiteral("Standard curve"), QStringLiteral("Trypsinisation"), QStringLiteral("Tube to plate"),
        QStringLiteral("Viability stain"), QStringLiteral("Western blot loading"), QStringLiteral("Whole-blood lysis"),
        QStringLiteral("Zymo clean-up")};
    for (int i = 0; i < names.size(); ++i) {
        const QString name = names.at(i);
        const QString id = m_ui->library.createProtocol(name);
        QString description;
        if (i % 3 == 0 || i == 1)
            description = QStringLiteral("Dilutes the standard 1:2 across eight wells, mixing three times "
                                         "after every transfer. Keep the plate on ice; change tips between "
                                         "standards and samples. Reagent lot 2026-114.");
        else if (i % 3 == 1)
            description = QStringLiteral("Quick wash before reading.");
        QVariantList steps;
        steps << QVariantMap{{QStringLiteral("type"), QStringLiteral("tipselect")}, {QStringLiteral("tip"), QStringLiteral("small")}};
        for (int s = 0; s < i % 9; ++s)
            steps << QVariantMap{{QStringLiteral("type"), s % 2 ? QStringLiteral("dispense") : QStringLiteral("aspirate")},
                                 {QStringLiteral("tip"), QStringLiteral("small")}, {QStringLiteral("speed"), 5},
                                 {QStringLiteral("volumeWhole"), 50}, {QStringLiteral("volumeFractional"), 0},
                                 {QStringLiteral("extraVolume"), 0}};
        QVERIFY(m_ui->library.saveProtocol(id, name, description, steps, i % 5 == 2 || i == 7));
    }
    openLibraryTab();
    QTRY_VERIFY(m_ui->items(QStringLiteral("libraryCard")).size() >= 5);
    shoot(QStringLiteral("library-30"));

    // One card opened on its steps, further down the list.
    QQuickItem *list = m_ui->item(QStringLiteral("libraryList"));
    QList<QQuickItem *> cards = m_ui->items(QStringLiteral("libraryCard"));
    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("stepsLink"), cards.at(1))));
    QTRY_VERIFY(m_ui->item(QStringLiteral("stepsBlock"), m_ui->items(QStringLiteral("libraryCard")).at(1)));
    Q_UNUSED(list);
    shoot(QStringLiteral("library-30-steps"));
}

void TestScreens::devicePanel()
{
    m_ui->devices.addOrUpdateUsbDevice(QStringLiteral("Bench Pipette 3"), QStringLiteral("NR-240117"),
                                       QStringLiteral("v1.0.18-1f5e273"), 4, QStringLiteral("14a7af1d0470"));
    m_ui->devices.addOrUpdateUsbDevice(QString(), QStringLiteral("NR-240118"), QStringLiteral("v1.0.17"), 1,
                                       QStringLiteral("14a7af1d0471"));
    QVERIFY(m_ui->load());
    QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
    QTRY_COMPARE(m_ui->items(QStringLiteral("deviceCard")).size(), 2);
    QVERIFY(m_ui->click(m_ui->items(QStringLiteral("deviceCard")).at(0)));
    QTRY_VERIFY(m_ui->item(QStringLiteral("deviceSubTabs")));
    QCOMPARE(m_ui->item(QStringLiteral("deviceTitle"))->property("text").toString(), QStringLiteral("Bench Pipette 3"));
    shoot(QStringLiteral("device-panel"));
}

void TestScreens::editorWithErrors()
{
    const QString id = m_ui->library.createProtocol(QStringLiteral("Serial dilution with wash loop"));
    QVERIFY(m_ui->library.saveProtocol(id, QStringLiteral("Serial dilution with wash loop"),
                                       QStringLiteral("Standard 1:3 across the plate, three wash cycles, then purge."),
                                       twelveSteps(), true));
    openLibraryTab();
    QTRY_COMPARE(m_ui->items(QStringLiteral("libraryCard")).size(), 1);
    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("editButton"))));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    QCOMPARE(m_ui->builder.commands().size(), 12);
    QTRY_VERIFY(m_ui->item(QStringLiteral("step_0")));
    shoot(QStringLiteral("editor-12-steps-top"));

    // The loop with its body.
    QObject *page = m_ui->currentPage();
    QQuickItem *list = m_ui->item(QStringLiteral("stepList"), page);
    QMetaObject::invokeMethod(list, "positionViewAtIndex", Q_ARG(int, 5), Q_ARG(int, 0 /* ListView.Beginning */));
    m_ui->settle();
    QTRY_VERIFY(m_ui->item(QStringLiteral("inner_6.2"), page));
    page->setProperty("selectedStepIndex", 6);
    shoot(QStringLiteral("editor-loop"));

    // Both steps in error on screen, the first of them selected.
    QMetaObject::invokeMethod(list, "positionViewAtIndex", Q_ARG(int, 9), Q_ARG(int, 1 /* ListView.End */));
    m_ui->settle();
    QTRY_VERIFY(m_ui->item(QStringLiteral("step_9"), page));
    page->setProperty("selectedStepIndex", 8);
    QTRY_VERIFY(m_ui->items(QStringLiteral("stepError"), m_ui->item(QStringLiteral("step_8"), page)).size() == 1);
    QVERIFY(m_ui->item(QStringLiteral("fixButton"), m_ui->item(QStringLiteral("step_8"), page)));
    shoot(QStringLiteral("editor-12-steps"));
}

void TestScreens::tipSimulatorMidAspirate()
{
    const QString id = m_ui->library.createProtocol(QStringLiteral("Slow aspirate"));
    QVariantList steps = twelveSteps();
    QVariantMap slow = steps.at(5).toMap();
    slow.insert(QStringLiteral("speed"), 1);
    steps[5] = slow;
    QVERIFY(m_ui->library.saveProtocol(id, QStringLiteral("Slow aspirate"), QString(), steps, true));
    openLibraryTab();
    QTRY_COMPARE(m_ui->items(QStringLiteral("libraryCard")).size(), 1);
    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("editButton"))));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    QObject *page = m_ui->currentPage();
    QTRY_VERIFY(m_ui->item(QStringLiteral("step_5"), page));
    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("stepTitle"), m_ui->item(QStringLiteral("step_5"), page))));
    QObject *simulator = m_ui->find(QStringLiteral("tipSimulator"), page);
    QVERIFY(simulator);
    // The aspirate runs from 0 to 110 µL over 5.2 s; catch it on the way.
    QTRY_VERIFY(simulator->property("level").toDouble() > 45);
    QVERIFY(simulator->property("level").toDouble() < 110);
    shoot(QStringLiteral("tip-simulator-aspirate"));
}

void TestScreens::nameAlreadyInUse()
{
    m_ui->library.createProtocol(QStringLiteral("Plate wash"));
    openLibraryTab();
    QVERIFY(m_ui->click(QStringLiteral("newProtocolButton")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    QTRY_VERIFY(m_ui->item(QStringLiteral("nameField")));
    QQuickItem *field = m_ui->item(QStringLiteral("nameField"));
    QTRY_VERIFY(field->hasActiveFocus());
    m_ui->typeText(QStringLiteral("plate wash"));
    QTRY_VERIFY(m_ui->item(QStringLiteral("nameError")));
    QVERIFY(!m_ui->item(QStringLiteral("nameCommit"))->isEnabled());
    shoot(QStringLiteral("name-in-use"));
}

void TestScreens::settingsPage()
{
    QVERIFY(m_ui->load());
    QVERIFY(m_ui->mfg.activateWithPin(QStringLiteral("40516")));
    QVERIFY(m_ui->click(QStringLiteral("settingsButton")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("settingsPage"));
    QTRY_VERIFY(m_ui->item(QStringLiteral("certificationsCard"), m_ui->currentPage()));
    shoot(QStringLiteral("settings-mfg"));
    m_ui->mfg.deactivate();
    QTRY_VERIFY(!m_ui->item(QStringLiteral("certificationsCard"), m_ui->currentPage()));
    shoot(QStringLiteral("settings"));
}

void TestScreens::pinDialog()
{
    QVERIFY(m_ui->load());
    for (int i = 0; i < 3; ++i)
        m_ui->key(Qt::Key_F12);
    // Opened means its entry transition has finished.
    QTRY_VERIFY(m_ui->popup(QStringLiteral("pinDialog"))->property("opened").toBool());
    QTRY_VERIFY(m_ui->item(QStringLiteral("pinField"))->hasActiveFocus());
    m_ui->typeText(QStringLiteral("123"));
    shoot(QStringLiteral("pin-dialog"));
    m_ui->typeText(QStringLiteral("45"));
    m_ui->key(Qt::Key_Return);
    QTRY_VERIFY(m_ui->item(QStringLiteral("pinError")));
    shoot(QStringLiteral("pin-dialog-error"));
}

NERRA_TEST_MAIN(TestScreens)
#include "tst_screens.moc"
