// The method editor driven through the real QML with the real builder and library:
// "+ New Protocol", naming, adding after the selection, dragging, errors and their fix,
// leaving without a name, export and import, view mode, the simulator and the return
// from a device protocol.

#include "testmain.h"
#include "uiharness.h"
#include "windowgrabber.h"

#include <QDir>

#include <QFile>
#include <QSignalSpy>

namespace {

QVariantMap step(const QString &type, double volume = 0, const QString &tip = QStringLiteral("small"))
{
    QVariantMap map{{QStringLiteral("type"), type}, {QStringLiteral("tip"), tip}, {QStringLiteral("speed"), 5}};
    if (volume > 0) {
        map.insert(QStringLiteral("volumeWhole"), int(volume));
        map.insert(QStringLiteral("volumeFractional"), 0);
        map.insert(QStringLiteral("extraVolume"), 0);
    }
    return map;
}

QStringList types(const QVariantList &commands)
{
    QStringList result;
    for (const QVariant &command : commands)
        result << command.value<QObject *>()->property("type").toString();
    return result;
}

} // namespace

class TestEditorFlows : public QObject
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
        m_ui->builder.setAutoSaveInterval(50);
    }
    void cleanup()
    {
        m_ui.reset();
        m_env.reset();
    }

    void newProtocolIsNamedAndGrows();
    void nameAlreadyInUseBlocksTheForm();
    void leavingWithoutANameLeavesNoPlaceholder_data();
    void leavingWithoutANameLeavesNoPlaceholder();
    void dragMovesStepsButNeverOntoTheFirst();
    void errorAppearsAndVanishesWithItsFix();
    void removeAndClearAll();
    void exportThenImportRoundTrip();
    void viewModeIsReadOnlyUntilEdit();
    void viewingAnUnnamedMethodOffersNoForm();
    void leavingStaysWhenTheEditCannotBeSaved();
    void loopAnimationEndsOnTheBuildersVolume();
    void returnFromADeviceProtocolLandsOnItsTab();

private:
    QString storeMethod(const QString &name, const QVariantList &steps)
    {
        const QString id = m_ui->library.createProtocol(name);
        if (!m_ui->library.saveProtocol(id, name, QString(), steps, false))
            return QString();
        return id;
    }
    void openLibraryTab()
    {
        QVERIFY(m_ui->load());
        QVERIFY(m_ui->click(QStringLiteral("tab_Protocol Library")));
        QTRY_VERIFY(m_ui->item(QStringLiteral("libraryList")));
    }
    void openEditorOn(const QString &name, const QVariantList &steps)
    {
        QVERIFY(!storeMethod(name, steps).isEmpty());
        openLibraryTab();
        QTRY_COMPARE(m_ui->items(QStringLiteral("libraryCard")).size(), 1);
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("editButton"))));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        QTRY_VERIFY(m_ui->item(QStringLiteral("step_0"), page()));
    }
    QObject *page() const { return m_ui->currentPage(); }
    // The list makes its delegates when it is laid out, so let it settle first.
    QQuickItem *stepCard(int index) const
    {
        m_ui->settle();
        return m_ui->item(QStringLiteral("step_") + QString::number(index), page());
    }
    // An item inside a step's card; null (never another card's item) when the card is
    // not on screen.
    QQuickItem *inStep(int index, const QString &name) const
    {
        QQuickItem *card = stepCard(index);
        return card ? m_ui->item(name, card) : nullptr;
    }
    int selected() const { return page()->property("selectedStepIndex").toInt(); }
    bool addStep(const QString &type) { return m_ui->click(QStringLiteral("add_") + type, page()); }
    void nameTheProtocol(const QString &name)
    {
        QTRY_VERIFY(m_ui->item(QStringLiteral("nameField"), page()));
        QQuickItem *field = m_ui->item(QStringLiteral("nameField"), page());
        QTRY_VERIFY(field->hasActiveFocus());
        m_ui->typeText(name);
        // Return moves on to the description.
        m_ui->key(Qt::Key_Return);
        QTRY_VERIFY(m_ui->item(QStringLiteral("descriptionField"), page())->hasActiveFocus());
        m_ui->typeText(QStringLiteral("Made by the test"));
        QVERIFY(m_ui->click(QStringLiteral("nameCommit"), page()));
    }
    int errorsInStep(int index) const
    {
        QQuickItem *card = stepCard(index);
        return card ? m_ui->items(QStringLiteral("stepError"), card).size() : -1;
    }
    // Presses the step's drag handle and lets go at `sceneY`, moving there in steps as a
    // hand would.
    void dragStep(int index, qreal sceneY)
    {
        QQuickItem *handle = m_ui->item(QStringLiteral("dragHandle"), stepCard(index));
        QVERIFY(handle);
        m_ui->settle();
        const QPointF start = handle->mapToScene(QPointF(handle->width() / 2, handle->height() / 2));
        m_ui->press(start);
        for (int i = 1; i <= 8; ++i)
            m_ui->move(QPointF(start.x(), start.y() + (sceneY - start.y()) * i / 8));
        m_ui->release(QPointF(start.x(), sceneY));
    }
    qreal topOf(int index) const
    {
        QQuickItem *card = stepCard(index);
        return card->mapToScene(QPointF(0, 0)).y();
    }

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<UiHarness> m_ui;
};

void TestEditorFlows::newProtocolIsNamedAndGrows()
{
    openLibraryTab();
    QVERIFY(m_ui->click(QStringLiteral("newProtocolButton")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    QCOMPARE(m_ui->library.protocolCount(), 1);   // the placeholder
    QVERIFY(m_ui->builder.isLibraryProtocol());
    // Adding is closed until the method has a name.
    QVERIFY(!m_ui->item(QStringLiteral("add_aspirate"), page())->isEnabled());

    nameTheProtocol(QStringLiteral("Serial Dilution"));
    QTRY_COMPARE(m_ui->builder.protocolName(), QStringLiteral("Serial Dilution"));
    QCOMPARE(m_ui->builder.description(), QStringLiteral("Made by the test"));
    // Committing the name starts the method with a Tip Select, selected.
    QCOMPARE(types(m_ui->builder.commands()), QStringList{QStringLiteral("tipselect")});
    QCOMPARE(selected(), 0);
    QTRY_VERIFY(m_ui->item(QStringLiteral("editorTitle"), page()));
    QCOMPARE(m_ui->item(QStringLiteral("editorTitle"), page())->property("text").toString(),
             QStringLiteral("Serial Dilution"));

    // Each new step goes after the selected one and becomes the selection.
    QVERIFY(addStep(QStringLiteral("aspirate")));
    QTRY_COMPARE(m_ui->builder.commands().size(), 2);
    QCOMPARE(selected(), 1);
    QVERIFY(addStep(QStringLiteral("dispense")));
    QTRY_COMPARE(selected(), 2);
    QVERIFY(m_ui->click(inStep(0, QStringLiteral("stepTitle"))));
    QTRY_COMPARE(selected(), 0);
    QVERIFY(addStep(QStringLiteral("mix")));
    QTRY_COMPARE(types(m_ui->builder.commands()),
                 (QStringList{QStringLiteral("tipselect"), QStringLiteral("mix"), QStringLiteral("aspirate"),
                              QStringLiteral("dispense")}));
    QCOMPARE(selected(), 1);

    // The footer tells whether the method is valid; the dispense takes what the aspirate held.
    QTRY_COMPARE(m_ui->item(QStringLiteral("validityPill"))->property("text").toString(), QStringLiteral("✓ Valid"));

    // A Tip Select is refused while the tip holds liquid after the selected step.
    QVERIFY(m_ui->click(inStep(2, QStringLiteral("stepTitle"))));
    QTRY_COMPARE(selected(), 2);
    QTRY_VERIFY(!m_ui->item(QStringLiteral("add_tipselect"), page())->isEnabled());

    // The auto-save writes it to the library under its name.
    QTRY_COMPARE(m_ui->library.getProtocol(m_ui->builder.currentProtocolId())
                     .value(QStringLiteral("commands")).toList().size(), 4);
    QCOMPARE(m_ui->library.getProtocol(m_ui->builder.currentProtocolId()).value(QStringLiteral("name")).toString(),
             QStringLiteral("Serial Dilution"));
}

void TestEditorFlows::nameAlreadyInUseBlocksTheForm()
{
    storeMethod(QStringLiteral("Plate Wash"), {step(QStringLiteral("tipselect"))});
    openLibraryTab();
    QVERIFY(m_ui->click(QStringLiteral("newProtocolButton")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    QTRY_VERIFY(m_ui->item(QStringLiteral("nameField"), page()));
    QTRY_VERIFY(m_ui->item(QStringLiteral("nameField"), page())->hasActiveFocus());
    m_ui->typeText(QStringLiteral("plate wash"));
    QTRY_VERIFY(m_ui->item(QStringLiteral("nameError"), page()));
    QCOMPARE(m_ui->item(QStringLiteral("nameError"), page())->property("text").toString(),
             QStringLiteral("Name already in use"));
    QVERIFY(!m_ui->item(QStringLiteral("nameCommit"), page())->isEnabled());
    m_ui->typeText(QStringLiteral(" 2"));
    QTRY_VERIFY(!m_ui->item(QStringLiteral("nameError"), page()));
    QVERIFY(m_ui->click(QStringLiteral("nameCommit"), page()));
    QTRY_COMPARE(m_ui->builder.protocolName(), QStringLiteral("plate wash 2"));
}

void TestEditorFlows::leavingWithoutANameLeavesNoPlaceholder_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("unnamed") << QString();
    QTest::newRow("named") << QStringLiteral("Keeper");
}

void TestEditorFlows::leavingWithoutANameLeavesNoPlaceholder()
{
    QFETCH(QString, name);
    openLibraryTab();
    QVERIFY(m_ui->click(QStringLiteral("newProtocolButton")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    if (!name.isEmpty()) {
        nameTheProtocol(name);
        QTRY_COMPARE(m_ui->builder.commands().size(), 1);
    }
    QVERIFY(m_ui->click(QStringLiteral("backToLibrary"), page()));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
    // Back on the tab the editor was opened from.
    QCOMPARE(page()->property("rightTabIndex").toInt(), 1);
    QCOMPARE(m_ui->library.protocolCount(), name.isEmpty() ? 0 : 1);
    QTRY_COMPARE(m_ui->items(QStringLiteral("libraryCard")).size(), name.isEmpty() ? 0 : 1);
    if (!name.isEmpty()) {
        // Saved at once when leaving, with its Tip Select.
        const QVariantMap stored = m_ui->library.getProtocol(m_ui->library.getAllProtocols()
                                                                 .constFirst().toMap().value(QStringLiteral("id")).toString());
        QCOMPARE(stored.value(QStringLiteral("name")).toString(), name);
        QCOMPARE(stored.value(QStringLiteral("commands")).toList().size(), 1);
    }
    // Nothing is written later to a removed entry.
    QSignalSpy errors(&m_ui->builder, &ProtocolBuilder::errorOccurred);
    QVERIFY(!errors.wait(300));
}

void TestEditorFlows::dragMovesStepsButNeverOntoTheFirst()
{
    openEditorOn(QStringLiteral("Order"), {step(QStringLiteral("tipselect")), step(QStringLiteral("aspirate"), 100),
                                            step(QStringLiteral("dispense"), 100), step(QStringLiteral("mix"), 50)});
    const QStringList start{QStringLiteral("tipselect"), QStringLiteral("aspirate"), QStringLiteral("dispense"),
                            QStringLiteral("mix")};
    QCOMPARE(types(m_ui->builder.commands()), start);

    // The leading Tip Select has no handle (a mouse area's own switch, not the item's).
    QVERIFY(!inStep(0, QStringLiteral("dragHandle"))->property("enabled").toBool());
    QVERIFY(inStep(1, QStringLiteral("dragHandle"))->property("enabled").toBool());

    // Onto index 0 (above the first step's midpoint): refused.
    dragStep(3, topOf(0) + 4);
    QTRY_COMPARE(page()->property("dragFromIndex").toInt(), -1);
    QCOMPARE(types(m_ui->builder.commands()), start);

    // Just below the Tip Select: the Mix becomes step 2 and stays selected.
    dragStep(3, topOf(1) + 4);
    QTRY_COMPARE(types(m_ui->builder.commands()),
                 (QStringList{QStringLiteral("tipselect"), QStringLiteral("mix"), QStringLiteral("aspirate"),
                              QStringLiteral("dispense")}));
    QCOMPARE(selected(), 1);

    // Down to the end.
    QTRY_VERIFY(stepCard(3));
    const qreal belowLast = topOf(3) + stepCard(3)->height() - 4;
    dragStep(1, belowLast);
    QTRY_COMPARE(types(m_ui->builder.commands()),
                 (QStringList{QStringLiteral("tipselect"), QStringLiteral("aspirate"), QStringLiteral("dispense"),
                              QStringLiteral("mix")}));
    QCOMPARE(selected(), 3);
}

void TestEditorFlows::errorAppearsAndVanishesWithItsFix()
{
    openEditorOn(QStringLiteral("Errors"), {step(QStringLiteral("tipselect")), step(QStringLiteral("aspirate"), 150),
                                             step(QStringLiteral("aspirate"), 20), step(QStringLiteral("dispense"), 170)});
    QTRY_COMPARE(m_ui->builder.validationErrors().size(), 0);
    QVERIFY(errorsInStep(2) == 0);

    // Typing 100 into the third step's volume overfills the small tip.
    QQuickItem *volume = inStep(2, QStringLiteral("volumeField"));
    QVERIFY(volume);
    QVERIFY(m_ui->click(volume));
    m_ui->type(volume, QStringLiteral("100"));
    m_ui->key(Qt::Key_Return);
    QTRY_COMPARE(m_ui->builder.commands().at(2).value<QObject *>()->property("volumeWhole").toInt(), 100);
    QTRY_COMPARE(errorsInStep(2), 1);
    const QString message = inStep(2, QStringLiteral("errorMessage"))->property("text").toString();
    QVERIFY2(message.contains(QStringLiteral("Aspirate exceeds capacity — only 50.0 µL remaining for small tip")),
             qPrintable(message));
    QTRY_COMPARE(m_ui->item(QStringLiteral("validityPill"))->property("text").toString(), QStringLiteral("⚠ Invalid"));

    // The fix sets the volume the tip can still take, and the error goes.
    QQuickItem *fix = inStep(2, QStringLiteral("fixButton"));
    QVERIFY(fix);
    QCOMPARE(fix->property("text").toString(), QStringLiteral("Fix: 50.0 µL"));
    QVERIFY(m_ui->click(fix));
    QTRY_VERIFY(errorsInStep(2) == 0);
    QCOMPARE(m_ui->builder.commands().at(2).value<QObject *>()->property("volumeWhole").toInt(), 50);

    // What remains is the method's own problem (30 µL left in the tip), shown under the list.
    QTRY_VERIFY(m_ui->item(QStringLiteral("methodErrors"), page()));
    QVERIFY(m_ui->item(QStringLiteral("methodError"), page())->property("text").toString()
                .contains(QStringLiteral("Protocol ends with 30.0 µL undispensed in the small tip")));

    // An unreadable entry puts the stored value back.
    volume = inStep(2, QStringLiteral("volumeField"));
    QVERIFY(m_ui->click(volume));
    m_ui->type(volume, QString());
    m_ui->key(Qt::Key_Return);
    QTRY_COMPARE(volume->property("text").toString(), QStringLiteral("50.0"));
}

void TestEditorFlows::removeAndClearAll()
{
    openEditorOn(QStringLiteral("Clear"), {step(QStringLiteral("tipselect")), step(QStringLiteral("aspirate"), 100),
                                            step(QStringLiteral("dispense"), 100)});
    QVERIFY(m_ui->click(inStep(2, QStringLiteral("removeStep"))));
    QTRY_COMPARE(types(m_ui->builder.commands()),
                 (QStringList{QStringLiteral("tipselect"), QStringLiteral("aspirate")}));

    QVERIFY(m_ui->click(QStringLiteral("clearAllSteps"), page()));
    QTRY_VERIFY(m_ui->isOpen(QStringLiteral("clearStepsDialog")));
    QCOMPARE(m_ui->popup(QStringLiteral("clearStepsDialog"))->property("title").toString(),
             QStringLiteral("Clear all steps?"));
    QVERIFY(m_ui->click(QStringLiteral("confirmAccept"), m_ui->popup(QStringLiteral("clearStepsDialog"))));
    QTRY_COMPARE(types(m_ui->builder.commands()), QStringList{QStringLiteral("tipselect")});
    QCOMPARE(selected(), 0);
    // With one step left there is nothing to clear.
    QTRY_VERIFY(!m_ui->item(QStringLiteral("clearAllSteps"), page())->isEnabled());

    // Without any step the list says where to start.
    QVERIFY(!m_ui->item(QStringLiteral("noSteps"), page()));
    QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("clearStepsDialog")));
    QVERIFY(m_ui->click(inStep(0, QStringLiteral("removeStep"))));
    QTRY_VERIFY(m_ui->builder.commands().isEmpty());
    QTRY_VERIFY(m_ui->item(QStringLiteral("noSteps"), page()));
    QCOMPARE(selected(), -1);
    QVERIFY(addStep(QStringLiteral("tipselect")));
    QTRY_COMPARE(types(m_ui->builder.commands()), QStringList{QStringLiteral("tipselect")});
    QTRY_VERIFY(!m_ui->item(QStringLiteral("noSteps"), page()));
}

void TestEditorFlows::exportThenImportRoundTrip()
{
    openEditorOn(QStringLiteral("Mix 1/2: \"fast\""),
                 {step(QStringLiteral("tipselect")), step(QStringLiteral("aspirate"), 120),
                  step(QStringLiteral("dispense"), 120)});
    QTRY_VERIFY(m_ui->item(QStringLiteral("exportProtocol"), page())->isEnabled());
    const QString path = m_env->home() + QStringLiteral("/round-trip.spl");
    QString title;
    UiHarness::answerNextFileDialog(path, &title);
    QVERIFY(m_ui->click(QStringLiteral("exportProtocol"), page()));
    QCOMPARE(title, QStringLiteral("Export SPL File"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()), m_ui->builder.splPreview());
    file.close();

    QVERIFY(m_ui->click(QStringLiteral("backToLibrary"), page()));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
    UiHarness::answerNextFileDialog(path);
    QVERIFY(m_ui->click(QStringLiteral("importProtocolButton")));
    QTRY_COMPARE(m_ui->items(QStringLiteral("libraryCard")).size(), 2);
    QCOMPARE(m_ui->library.getAllProtocols().at(1).toMap().value(QStringLiteral("name")).toString(),
             QStringLiteral("Mix 1/2: \"fast\" (imported)"));
    QCOMPARE(m_ui->library.getAllProtocols().at(1).toMap().value(QStringLiteral("commandCount")).toInt(), 3);
}

void TestEditorFlows::viewModeIsReadOnlyUntilEdit()
{
    storeMethod(QStringLiteral("Look only"), {step(QStringLiteral("tipselect")), step(QStringLiteral("aspirate"), 100),
                                                step(QStringLiteral("dispense"), 100)});
    openLibraryTab();
    QTRY_COMPARE(m_ui->items(QStringLiteral("libraryCard")).size(), 1);
    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("cardName"))));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    QVERIFY(page()->property("viewOnly").toBool());
    QTRY_VERIFY(stepCard(1));
    QVERIFY(!m_ui->item(QStringLiteral("add_aspirate"), page())->isEnabled());
    QVERIFY(!inStep(1, QStringLiteral("volumeField"))->isEnabled());
    QVERIFY(!inStep(1, QStringLiteral("removeStep")));
    QVERIFY(!m_ui->item(QStringLiteral("exportProtocol"), page()));

    QVERIFY(m_ui->click(QStringLiteral("leaveViewMode"), page()));
    QTRY_VERIFY(!page()->property("viewOnly").toBool());
    QVERIFY(m_ui->item(QStringLiteral("add_aspirate"), page())->isEnabled());
    QVERIFY(inStep(1, QStringLiteral("volumeField"))->isEnabled());
}

void TestEditorFlows::viewingAnUnnamedMethodOffersNoForm()
{
    // An unnamed placeholder left behind by a closed program, opened to look at.
    storeMethod(QString(), {step(QStringLiteral("aspirate"), 100)});
    openLibraryTab();
    QTRY_COMPARE(m_ui->items(QStringLiteral("libraryCard")).size(), 1);
    QVERIFY(m_ui->click(m_ui->item(QStringLiteral("cardName"))));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    QVERIFY(page()->property("viewOnly").toBool());
    QVERIFY(!m_ui->item(QStringLiteral("nameCommit"), page()));
    QMetaObject::invokeMethod(page(), "commitMeta", Q_ARG(QVariant, QStringLiteral("Sneaky")),
                              Q_ARG(QVariant, QString()));
    QCOMPARE(m_ui->builder.protocolName(), QString());
    QCOMPARE(m_ui->builder.commands().size(), 1);

    // Edit mode asks for the name first.
    QVERIFY(m_ui->click(QStringLiteral("leaveViewMode"), page()));
    QTRY_VERIFY(m_ui->item(QStringLiteral("nameCommit"), page()));
}

void TestEditorFlows::leavingStaysWhenTheEditCannotBeSaved()
{
    openEditorOn(QStringLiteral("Keep me"), {step(QStringLiteral("tipselect")), step(QStringLiteral("aspirate"), 100),
                                              step(QStringLiteral("dispense"), 100)});
    // The store's file becomes a folder: every later save of the library fails, as on a
    // full or read-only disk.
    const QString store = m_env->configDir() + QStringLiteral("/Vellora/NerraDesktop.conf");
    QVERIFY(QFile::remove(store));
    QVERIFY(QDir().mkpath(store));

    m_ui->builder.setAutoSaveInterval(60000);
    m_ui->builder.commands().at(1).value<QObject *>()->setProperty("volumeWhole", 150);
    QTRY_VERIFY(m_ui->builder.hasUnsavedChanges());
    QVERIFY(m_ui->click(QStringLiteral("backToLibrary"), page()));

    // Still in the editor with the edit, and told why.
    QObject *dialog = m_ui->find(QStringLiteral("builderErrorDialog"), nullptr, false);
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->property("opened").toBool());
    QCOMPARE(dialog->property("message").toString(), QStringLiteral("Failed to save method"));
    QCOMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    QCOMPARE(m_ui->builder.commands().at(1).value<QObject *>()->property("volumeWhole").toInt(), 150);
    QVERIFY(m_ui->builder.hasUnsavedChanges());
    const QString shots = qEnvironmentVariable("NERRA_SCREENSHOT_DIR");
    if (!shots.isEmpty())
        QVERIFY(saveWindowPng(m_ui->window, shots + QStringLiteral("/save-failed.png")));
}

void TestEditorFlows::loopAnimationEndsOnTheBuildersVolume()
{
    QVariantMap loop = step(QStringLiteral("loop"));
    loop.insert(QStringLiteral("iterations"), 10);
    loop.insert(QStringLiteral("innerCommands"),
                QVariantList{step(QStringLiteral("aspirate"), 10), step(QStringLiteral("dispense"), 5)});
    openEditorOn(QStringLiteral("Loop"), {step(QStringLiteral("tipselect")), loop, step(QStringLiteral("dispense"), 50)});
    QVERIFY(inStep(1, QStringLiteral("inner_1.0")));
    QVERIFY(m_ui->click(inStep(1, QStringLiteral("stepTitle"))));
    QTRY_COMPARE(selected(), 1);
    QObject *simulator = m_ui->find(QStringLiteral("tipSimulator"), page());
    const QVariantList frames = simulator->property("frames").toList();
    // Before, three iterations of two steps, and the final frame.
    QCOMPARE(frames.size(), 1 + 3 * 2 + 1);
    const QVariantMap cvol = m_ui->builder.getCvolAtIndex(1);
    const double builderVolume = cvol.value(QStringLiteral("smallWhole")).toInt()
                                 + cvol.value(QStringLiteral("smallFractional")).toInt() / 10.0;
    QCOMPARE(builderVolume, 50.0);
    QCOMPARE(frames.last().toMap().value(QStringLiteral("volume")).toDouble(), builderVolume);

    // An edit inside the body replays the step with the new volumes.
    QObject *innerAspirate = m_ui->builder.commands().at(1).value<QObject *>()
                                 ->property("innerCommands").toList().at(0).value<QObject *>();
    innerAspirate->setProperty("volumeWhole", 20);
    QTRY_COMPARE(simulator->property("frames").toList().last().toMap().value(QStringLiteral("volume")).toDouble(),
                 150.0);
    // Clearing the selection empties the tip.
    page()->setProperty("selectedStepIndex", -1);
    QTRY_COMPARE(simulator->property("frames").toList().size(), 0);
    QCOMPARE(simulator->property("level").toDouble(), 0.0);
}

void TestEditorFlows::returnFromADeviceProtocolLandsOnItsTab()
{
    const QByteArray csv = "TIPSELECT,S,,,,,,,,\n";
    QVERIFY(m_ui->store.storeFromDevice(QStringLiteral("14a7af1d0470"), QStringLiteral("Serial_Dilution.csv"), csv));
    QVERIFY(m_ui->load());
    QObject *library = page();
    QMetaObject::invokeMethod(library, "editDeviceProtocolRequested", Q_ARG(QString, QStringLiteral("14a7af1d0470")),
                              Q_ARG(QString, QStringLiteral("Serial_Dilution.csv")));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
    QVERIFY(m_ui->builder.isDeviceProtocol());
    QCOMPARE(m_ui->builder.protocolName(), QStringLiteral("Serial Dilution"));
    QVERIFY(m_ui->click(QStringLiteral("backToLibrary"), page()));
    QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
    QCOMPARE(page()->property("rightTabIndex").toInt(), 0);
    QObject *panel = m_ui->find(QStringLiteral("devicePanel"), page(), false);
    QCOMPARE(panel->property("deviceTabIndex").toInt(), 1);
    QCOMPARE(m_ui->library.protocolCount(), 0);
}

NERRA_TEST_MAIN(TestEditorFlows)
#include "tst_editorflows.moc"
