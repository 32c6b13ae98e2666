// The "Protocol Library" tab and the method editor driven through the real QML with the
// real library and builder.

#include "testmain.h"
#include "uiharness.h"

namespace {

const QString Wash = QStringLiteral("tipselect tip:small\naspirate tip:small vol:50.0 xvol:0 speed:5\n"
                                    "dispense tip:small vol:50.0 xvol:0 speed:5\n");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestLibraryFlows : public QObject
{
    Q_OBJECT

    std::unique_ptr<UiHarness> m_ui;

    QObject *page() const { return m_ui->currentPage(); }
    QList<QQuickItem *> cards() const { return m_ui->items(QStringLiteral("libraryCard")); }
    QQuickItem *card(const QString &name) const
    {
        for (QQuickItem *c : cards()) {
            if (c->property("name").toString() == name)
                return c;
        }
        return nullptr;
    }
    bool openMenu(const QString &name) { return m_ui->click(m_ui->item(QStringLiteral("moreButton"), card(name))); }
    void openEditorOn(const QString &name, const QString &steps)
    {
        QVERIFY(!m_ui->addMethod(name, steps).isEmpty());
        QVERIFY(m_ui->openLibraryTab());
        QTRY_VERIFY(card(name));
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("editButton"), card(name))));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        QTRY_VERIFY(m_ui->item(QStringLiteral("step_0"), page()));
    }
    // The list makes its delegates when it is laid out, so let it settle first.
    QQuickItem *stepCard(int index) const
    {
        m_ui->settle();
        return m_ui->item(QStringLiteral("step_") + QString::number(index), page());
    }
    // Null, never another card's item, when the step is not on screen.
    QQuickItem *inStep(int index, const QString &name) const
    {
        QQuickItem *c = stepCard(index);
        return c ? m_ui->item(name, c) : nullptr;
    }
    int errorsInStep(int index) const
    {
        QQuickItem *c = stepCard(index);
        return c ? m_ui->items(QStringLiteral("stepError"), c).size() : -1;
    }
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
    void nameTheProtocol(const QString &name)
    {
        QTRY_VERIFY(m_ui->item(QStringLiteral("nameField"), page()));
        QTRY_VERIFY(m_ui->item(QStringLiteral("nameField"), page())->hasActiveFocus());
        m_ui->type(m_ui->item(QStringLiteral("nameField"), page()), name);
        // Return moves on to the description.
        m_ui->key(Qt::Key_Return);
        QTRY_VERIFY(m_ui->item(QStringLiteral("descriptionField"), page())->hasActiveFocus());
        m_ui->typeText(QStringLiteral("Made by the test"));
        QVERIFY(m_ui->click(QStringLiteral("nameCommit"), page()));
    }
    // Presses the step's drag handle and lets go at `sceneY`, moving in steps as a hand would.
    void dragStep(int index, qreal sceneY)
    {
        QQuickItem *handle = inStep(index, QStringLiteral("dragHandle"));
        QVERIFY(handle);
        const QPointF start = handle->mapToScene(QPointF(handle->width() / 2, handle->height() / 2));
        m_ui->press(start);
        for (int i = 1; i <= 8; ++i)
            m_ui->move(QPointF(start.x(), start.y() + (sceneY - start.y()) * i / 8));
        m_ui->release(QPointF(start.x(), sceneY));
    }
    qreal topOf(int index) const { return stepCard(index)->mapToScene(QPointF(0, 0)).y(); }

private slots:
    void init()
    {
        m_ui = std::make_unique<UiHarness>();
        // A method loaded into the builder is written back this soon.
        m_ui->builder.setAutoSaveInterval(50);
    }
    void cleanup() { m_ui.reset(); }

    void newMethodIsNamedAndGrows()
    {
        m_ui->addMethod(QStringLiteral("Plate Wash"), Wash);
        QVERIFY(m_ui->openLibraryTab());
        QVERIFY(m_ui->click(QStringLiteral("newProtocolButton")));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        QCOMPARE(m_ui->library.protocolCount(), 2);   // with its placeholder
        // Adding is closed until the method has a name, and a name in use is refused.
        QVERIFY(!m_ui->item(QStringLiteral("add_aspirate"), page())->isEnabled());
        QTRY_VERIFY(m_ui->item(QStringLiteral("nameField"), page()) && m_ui->item(QStringLiteral("nameField"), page())->hasActiveFocus());
        m_ui->typeText(QStringLiteral("plate wash"));
        QTRY_VERIFY(m_ui->item(QStringLiteral("nameError"), page()));
        QCOMPARE(m_ui->item(QStringLiteral("nameError"), page())->property("text").toString(), QStringLiteral("Name already in use"));
        QVERIFY(!m_ui->item(QStringLiteral("nameCommit"), page())->isEnabled());
        QVERIFY(m_ui->shoot(QStringLiteral("name-in-use")));

        nameTheProtocol(QStringLiteral("Serial Dilution"));
        QTRY_COMPARE(m_ui->builder.protocolName(), QStringLiteral("Serial Dilution"));
        QCOMPARE(m_ui->builder.description(), QStringLiteral("Made by the test"));
        // Committing the name starts the method with a Tip Select, selected.
        QCOMPARE(types(), QStringLiteral("tipselect"));
        QCOMPARE(selected(), 0);
        // Each new step goes after the selected one and becomes the selection.
        QVERIFY(addStep(QStringLiteral("aspirate")));
        QTRY_COMPARE(selected(), 1);
        QVERIFY(addStep(QStringLiteral("dispense")));
        QTRY_COMPARE(selected(), 2);
        QVERIFY(m_ui->click(inStep(0, QStringLiteral("stepTitle"))));
        QTRY_COMPARE(selected(), 0);
        QVERIFY(addStep(QStringLiteral("mix")));
        QTRY_COMPARE(types(), QStringLiteral("tipselect mix aspirate dispense"));
        QCOMPARE(selected(), 1);
        QTRY_COMPARE(m_ui->item(QStringLiteral("validityPill"))->property("text").toString(), QStringLiteral("✓ Valid"));
        // No Tip Select while the tip holds liquid after the selected step.
        QVERIFY(m_ui->click(inStep(2, QStringLiteral("stepTitle"))));
        QTRY_VERIFY(!m_ui->item(QStringLiteral("add_tipselect"), page())->isEnabled());
        // The auto-save writes it to the library under its name.
        const QString id = m_ui->builder.currentProtocolId();
        QTRY_COMPARE(m_ui->library.getProtocol(id).value(QStringLiteral("commands")).toList().size(), 4);
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
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        if (!name.isEmpty()) {
            nameTheProtocol(name);
            QTRY_COMPARE(m_ui->builder.commands().size(), 1);
        }
        QVERIFY(m_ui->click(QStringLiteral("backToLibrary"), page()));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
        QCOMPARE(page()->property("rightTabIndex").toInt(), 1);   // back on the tab it came from
        QCOMPARE(m_ui->library.protocolCount(), name.isEmpty() ? 0 : 1);
        QTRY_COMPARE(cards().size(), name.isEmpty() ? 0 : 1);
        if (name.isEmpty()) {
            QVERIFY(m_ui->item(QStringLiteral("libraryEmpty")));
            QVERIFY(m_ui->shoot(QStringLiteral("library-empty")));
        } else {
            // Saved at once when leaving, with its Tip Select.
            const QVariantMap stored = m_ui->library.getProtocol(card(name)->property("protocolId").toString());
            QCOMPARE(stored.value(QStringLiteral("commands")).toList().size(), 1);
        }
        // Nothing is written later to a removed entry.
        QSignalSpy errors(&m_ui->builder, &ProtocolBuilder::errorOccurred);
        QVERIFY(!errors.wait(300));
    }

    void dragMovesStepsButNeverOntoTheFirst()
    {
        openEditorOn(QStringLiteral("Order"), Wash + QStringLiteral("mix tip:small vol:50.0 cycles:2 speed:5\n"));
        // The leading Tip Select has no handle (a mouse area's own switch, not the item's).
        QVERIFY(!inStep(0, QStringLiteral("dragHandle"))->property("enabled").toBool());
        // Onto index 0 (above the first step's midpoint): refused.
        dragStep(3, topOf(0) + 4);
        QTRY_COMPARE(page()->property("dragFromIndex").toInt(), -1);
        QCOMPARE(types(), QStringLiteral("tipselect aspirate dispense mix"));
        // Just below the Tip Select: the Mix becomes step 2 and stays selected.
        dragStep(3, topOf(1) + 4);
        QTRY_COMPARE(types(), QStringLiteral("tipselect mix aspirate dispense"));
        QCOMPARE(selected(), 1);
        dragStep(1, topOf(3) + stepCard(3)->height() - 4);
        QTRY_COMPARE(types(), QStringLiteral("tipselect aspirate dispense mix"));
        QCOMPARE(selected(), 3);
    }

    void longMethodShowsItsErrorsLoopAndTip()
    {
        openEditorOn(QStringLiteral("Serial dilution with wash loop"),
                     QStringLiteral("tipselect tip:small\n"
                                    "aspirate tip:small vol:150.0 xvol:0 speed:4\n"
                                    "dispense tip:small vol:50.0 xvol:0 speed:5\n"
                                    "mix tip:small vol:20.0 cycles:3 speed:5\n"
                                    "dispense tip:small vol:100.0 xvol:0 speed:5\n"
                                    "aspirate tip:small vol:40.0 xvol:10 speed:1\n"
                                    "loop 10\n"
                                    "  aspirate tip:small vol:10.0 xvol:0 speed:5\n"
                                    "  dispense tip:small vol:5.0 xvol:0 speed:5\n"
                                    "  mix tip:small vol:10.0 cycles:2 speed:5\n"
                                    "endloop\n"
                                    "airgap tip:small vol:10.0 xvol:0 speed:5\n"
                                    "aspirate tip:small vol:100.0 xvol:0 speed:5\n"
                                    "dispense tip:small vol:220.0 xvol:0 speed:9\n"
                                    "tipselect tip:large\n"
                                    "purge tip:large speed:5\n"));
        QCOMPARE(m_ui->builder.commands().size(), 12);
        QVERIFY(m_ui->shoot(QStringLiteral("editor-12-steps-top")));

        // The loop with its body; its tip animation plays three rounds and still ends on
        // the builder's volume after all ten (50 µL before, 5 µL more per round).
        scrollTo(5, 0);
        QTRY_VERIFY(inStep(6, QStringLiteral("inner_6.2")));
        QVERIFY(m_ui->click(inStep(6, QStringLiteral("stepTitle"))));
        QTRY_COMPARE(selected(), 6);
        QObject *simulator = m_ui->find(QStringLiteral("tipSimulator"), page());
        QTRY_COMPARE(simulator->property("frames").toList().size(), 1 + 3 * 4 + 1);
        QCOMPARE(m_ui->builder.getCvolAtIndex(6).value(QStringLiteral("smallWhole")).toInt(), 100);
        QCOMPARE(simulator->property("frames").toList().last().toMap().value(QStringLiteral("volume")).toDouble(), 100.0);
        QVERIFY(m_ui->shoot(QStringLiteral("editor-loop")));

        // Step 9 overfills the small tip (110 µL held); its card says by how much, and its
        // fix takes the volume the tip can still hold.
        scrollTo(9, 1);
        QTRY_COMPARE(errorsInStep(8), 1);
        const QString message = inStep(8, QStringLiteral("errorMessage"))->property("text").toString();
        QVERIFY2(message.endsWith(QStringLiteral("Aspirate exceeds capacity — only 90.0 µL remaining for small tip")),
                 qPrintable(message));
        QCOMPARE(m_ui->item(QStringLiteral("validityPill"))->property("text").toString(), QStringLiteral("⚠ Invalid"));
        page()->setProperty("selectedStepIndex", 8);
        QVERIFY(m_ui->shoot(QStringLiteral("editor-12-steps")));
        QCOMPARE(inStep(8, QStringLiteral("fixButton"))->property("text").toString(), QStringLiteral("Fix: 90.0 µL"));
        QVERIFY(m_ui->click(inStep(8, QStringLiteral("fixButton"))));
        QTRY_COMPARE(errorsInStep(8), 0);
        QCOMPARE(command(8)->property("volumeWhole").toInt(), 90);

        // A typed volume is checked at once; an unreadable one puts the stored value back.
        QQuickItem *volume = inStep(8, QStringLiteral("volumeField"));
        QVERIFY(m_ui->click(volume));
        m_ui->type(volume, QStringLiteral("95"));
        m_ui->key(Qt::Key_Return);
        QTRY_COMPARE(errorsInStep(8), 1);
        m_ui->type(volume, QString());
        m_ui->key(Qt::Key_Return);
        QTRY_COMPARE(volume->property("text").toString(), QStringLiteral("95.0"));

        // The slow aspirate (speed 1, 0 to 50 µL in 5.2 s) caught on its way up.
        scrollTo(5, 0);
        QVERIFY(m_ui->click(inStep(5, QStringLiteral("stepTitle"))));
        QTRY_VERIFY(simulator->property("level").toDouble() > 20);
        QVERIFY(simulator->property("level").toDouble() < 50);
        QVERIFY(m_ui->shoot(QStringLiteral("tip-simulator-aspirate")));
    }

    void clearingAllStepsAsksFirst()
    {
        openEditorOn(QStringLiteral("Clear"), Wash);
        QVERIFY(m_ui->click(inStep(2, QStringLiteral("removeStep"))));
        QTRY_COMPARE(types(), QStringLiteral("tipselect aspirate"));
        // What is wrong with the method as a whole is shown under the list.
        QTRY_VERIFY(m_ui->item(QStringLiteral("methodError"), page()));
        QVERIFY(m_ui->item(QStringLiteral("methodError"), page())->property("text").toString()
                    .contains(QStringLiteral("Protocol ends with 50.0 µL undispensed in the small tip")));
        QVERIFY(m_ui->click(QStringLiteral("clearAllSteps"), page()));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("clearStepsDialog")));
        QObject *dialog = m_ui->popup(QStringLiteral("clearStepsDialog"));
        QCOMPARE(dialog->property("title").toString(), QStringLiteral("Clear all steps?"));
        QVERIFY(m_ui->click(QStringLiteral("confirmCancel"), dialog));
        QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("clearStepsDialog")));
        QCOMPARE(types(), QStringLiteral("tipselect aspirate"));
        QVERIFY(m_ui->click(QStringLiteral("clearAllSteps"), page()));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("clearStepsDialog")));
        QVERIFY(m_ui->click(QStringLiteral("confirmAccept"), dialog));
        QTRY_COMPARE(types(), QStringLiteral("tipselect"));
        QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("clearStepsDialog")));
        QVERIFY(!m_ui->item(QStringLiteral("clearAllSteps"), page())->isEnabled());
        // Without any step the list says where to start, and the start is open.
        QVERIFY(m_ui->click(inStep(0, QStringLiteral("removeStep"))));
        QTRY_VERIFY(m_ui->item(QStringLiteral("noSteps"), page()));
        QVERIFY(addStep(QStringLiteral("tipselect")));
        QTRY_COMPARE(types(), QStringLiteral("tipselect"));
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
        QTRY_VERIFY(card(name));
        QCOMPARE(card(name)->property("commandCount").toInt(), 3);
        QVERIFY(!m_ui->isOpen(QStringLiteral("importErrorDialog")));

        // From the card's menu and from the editor, the file holds the method's own text.
        const QString id = card(name)->property("protocolId").toString();
        const QString fromCard = m_ui->env.home() + QStringLiteral("/card.spl");
        QVERIFY(openMenu(name));
        QTRY_VERIFY(m_ui->item(QStringLiteral("menuExport")));
        UiHarness::answerNextFileDialog(fromCard, &title);
        QVERIFY(m_ui->click(QStringLiteral("menuExport")));
        QCOMPARE(title, QStringLiteral("Export SPL File"));
        QCOMPARE(QString::fromUtf8(readFile(fromCard)), m_ui->library.exportToSpl(id));
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("editButton"), card(name))));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        const QString fromEditor = m_ui->env.home() + QStringLiteral("/editor.spl");
        UiHarness::answerNextFileDialog(fromEditor);
        QVERIFY(m_ui->click(QStringLiteral("exportProtocol"), page()));
        QCOMPARE(QString::fromUtf8(readFile(fromEditor)), m_ui->builder.splPreview());

        // Brought in again beside itself, it is told apart.
        QVERIFY(m_ui->click(QStringLiteral("backToLibrary"), page()));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("libraryPage"));
        UiHarness::answerNextFileDialog(fromEditor);
        QVERIFY(m_ui->click(QStringLiteral("importProtocolButton")));
        QTRY_VERIFY(card(name + QStringLiteral(" (imported)")));
        QCOMPARE(card(name + QStringLiteral(" (imported)"))->property("commandCount").toInt(), 3);
    }

    void importErrorIsShownOnlyForImports()
    {
        const QString broken = m_ui->splFile(QStringLiteral("Broken"), QStringLiteral("not a step\n"));
        QVERIFY(m_ui->openLibraryTab());
        // A library error that has nothing to do with an import is not shown here.
        m_ui->library.deleteProtocol(QStringLiteral("no-such-id"));
        QVERIFY(!m_ui->isOpen(QStringLiteral("importErrorDialog")));

        UiHarness::answerNextFileDialog(broken);
        QVERIFY(m_ui->click(QStringLiteral("importProtocolButton")));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("importErrorDialog")));
        QObject *dialog = m_ui->popup(QStringLiteral("importErrorDialog"));
        QCOMPARE(dialog->property("title").toString(), QStringLiteral("Could not import protocol"));
        QVERIFY(dialog->property("message").toString().startsWith(QStringLiteral("Could not import protocol: ")));
        QVERIFY(m_ui->click(QStringLiteral("messageOk")));
        QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("importErrorDialog")));
        QCOMPARE(m_ui->library.protocolCount(), 0);
    }

    void duplicateAndDeleteFromTheMenu()
    {
        m_ui->addMethod(QStringLiteral("Keep"), Wash);
        m_ui->addMethod(QStringLiteral("Mix 1/2"), Wash);
        QVERIFY(m_ui->openLibraryTab());
        QTRY_COMPARE(cards().size(), 2);
        QVERIFY(openMenu(QStringLiteral("Mix 1/2")));
        QVERIFY(m_ui->click(QStringLiteral("menuDuplicate")));
        QTRY_VERIFY(card(QStringLiteral("Mix 1/2 (Copy 1)")));

        // Deleting asks, and "No" keeps the method.
        const QString doomed = card(QStringLiteral("Mix 1/2"))->property("protocolId").toString();
        QVERIFY(openMenu(QStringLiteral("Mix 1/2")));
        QVERIFY(m_ui->click(QStringLiteral("menuDelete")));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("deleteProtocolDialog")));
        QObject *dialog = m_ui->popup(QStringLiteral("deleteProtocolDialog"));
        QCOMPARE(dialog->property("title").toString(), QStringLiteral("Delete Protocol"));
        QVERIFY(dialog->property("message").toString().contains(QStringLiteral("\"Mix 1/2\"")));
        QCOMPARE(dialog->property("detail").toString(), QStringLiteral("This action cannot be undone."));
        QVERIFY(m_ui->click(QStringLiteral("confirmCancel"), dialog));
        QTRY_VERIFY(!m_ui->isOpen(QStringLiteral("deleteProtocolDialog")));
        QVERIFY(m_ui->library.protocolExists(doomed));
        // "Yes" deletes it, and only it.
        QVERIFY(openMenu(QStringLiteral("Mix 1/2")));
        QVERIFY(m_ui->click(QStringLiteral("menuDelete")));
        QTRY_VERIFY(m_ui->isOpen(QStringLiteral("deleteProtocolDialog")));
        QVERIFY(m_ui->click(QStringLiteral("confirmAccept"), dialog));
        QTRY_COMPARE(cards().size(), 2);
        QVERIFY(!m_ui->library.protocolExists(doomed));
        QVERIFY(card(QStringLiteral("Keep")) && card(QStringLiteral("Mix 1/2 (Copy 1)")));
    }

    void stepsLinkShowsStepsWithoutTouchingTheMethod()
    {
        // Thirty methods, some with long names and descriptions, as a working library holds.
        const QString longText = QStringLiteral("Dilutes the standard 1:2 across eight wells, mixing three times after every "
                                                "transfer. Keep the plate on ice; change tips between standards and samples.");
        for (int i = 0; i < 30; ++i) {
            const QString name = i == 0 ? QStringLiteral("Antibody dilution series for the ELISA standard curve, plate A (duplicate wells)")
                                        : QStringLiteral("Method %1").arg(i, 2, 10, QLatin1Char('0'));
            const QString id = m_ui->addMethod(name, Wash);
            const QVariantMap stored = m_ui->library.getProtocol(id);
            QVERIFY(m_ui->library.saveProtocol(id, name, i % 3 ? QStringLiteral("Quick wash.") : longText,
                                               stored.value(QStringLiteral("commands")).toList()));
        }
        const QString id = m_ui->library.getAllProtocols().at(1).toMap().value(QStringLiteral("id")).toString();
        const QVariant modified = m_ui->library.getProtocol(id).value(QStringLiteral("modified"));
        QVERIFY(m_ui->openLibraryTab());
        QTRY_VERIFY(cards().size() >= 5);
        QVERIFY(m_ui->shoot(QStringLiteral("library-30")));
        // Nothing can be sent without an instrument.
        QVERIFY(!m_ui->item(QStringLiteral("transferButton"), cards().at(1))->isEnabled());

        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("stepsLink"), cards().at(1))));
        QTRY_VERIFY(m_ui->item(QStringLiteral("stepsBlock"), cards().at(1)));
        const QString shown = m_ui->item(QStringLiteral("stepsText"), cards().at(1))->property("text").toString();
        QVERIFY2(shown.startsWith(QStringLiteral("tipselect tip:small\naspirate")), qPrintable(shown));
        QVERIFY(m_ui->shoot(QStringLiteral("library-30-steps")));
        // The expansion survives a rebuild of the list, and looking is not an edit.
        m_ui->addMethod(QStringLiteral("Zeta"), Wash);
        QTRY_COMPARE(m_ui->library.protocolCount(), 31);
        QTRY_VERIFY(m_ui->item(QStringLiteral("stepsBlock"), cards().at(1)));
        QSignalSpy saved(&m_ui->library, &ProtocolLibrary::protocolsChanged);
        QVERIFY(!saved.wait(300));
        QCOMPARE(m_ui->library.getProtocol(id).value(QStringLiteral("modified")), modified);
    }

    void viewModeIsReadOnlyUntilEdit_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("named") << QStringLiteral("Look only");
        // An unnamed placeholder left behind by a closed program.
        QTest::newRow("unnamed") << QString();
    }
    void viewModeIsReadOnlyUntilEdit()
    {
        QFETCH(QString, name);
        const QString id = m_ui->addMethod(QStringLiteral("Look only"), Wash);
        QVERIFY(m_ui->library.saveProtocol(id, name, QString(), m_ui->library.getProtocol(id).value(QStringLiteral("commands")).toList()));
        QVERIFY(m_ui->openLibraryTab());
        QTRY_VERIFY(card(name));
        QVERIFY(m_ui->click(m_ui->item(QStringLiteral("cardName"), card(name))));
        QTRY_COMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        QVERIFY(page()->property("viewOnly").toBool());
        QTRY_VERIFY(stepCard(1));
        QVERIFY(!m_ui->item(QStringLiteral("add_aspirate"), page())->isEnabled());
        QVERIFY(!inStep(1, QStringLiteral("volumeField"))->isEnabled());
        QVERIFY(!inStep(1, QStringLiteral("removeStep")));
        QVERIFY(!m_ui->item(QStringLiteral("nameCommit"), page()));
        QMetaObject::invokeMethod(page(), "commitMeta", Q_ARG(QVariant, QStringLiteral("Sneaky")), Q_ARG(QVariant, QString()));
        QCOMPARE(m_ui->builder.protocolName(), name);

        QVERIFY(m_ui->click(QStringLiteral("leaveViewMode"), page()));
        QTRY_VERIFY(!page()->property("viewOnly").toBool());
        // Edit mode asks an unnamed method for its name first.
        if (name.isEmpty())
            QTRY_VERIFY(m_ui->item(QStringLiteral("nameCommit"), page()));
        else
            QVERIFY(inStep(1, QStringLiteral("volumeField"))->isEnabled());
    }

    void leavingStaysWhenTheEditCannotBeSaved()
    {
        openEditorOn(QStringLiteral("Keep me"), Wash);
        // The store's file becomes a folder: every later save fails, as on a full or
        // read-only disk.
        const QString store = m_ui->env.configDir() + QStringLiteral("/Vellora/NerraDesktop.conf");
        QVERIFY(QFile::remove(store));
        QVERIFY(QDir().mkpath(store));
        m_ui->builder.setAutoSaveInterval(60000);
        command(1)->setProperty("volumeWhole", 150);
        QTRY_VERIFY(m_ui->builder.hasUnsavedChanges());
        QVERIFY(m_ui->click(QStringLiteral("backToLibrary"), page()));

        // Still in the editor with the edit, and told why.
        QObject *dialog = m_ui->popup(QStringLiteral("builderErrorDialog"));
        QTRY_VERIFY(dialog->property("opened").toBool());
        QCOMPARE(dialog->property("message").toString(), QStringLiteral("Failed to save method"));
        QCOMPARE(m_ui->currentPageName(), QStringLiteral("editorPage"));
        QCOMPARE(command(1)->property("volumeWhole").toInt(), 150);
        QVERIFY(m_ui->builder.hasUnsavedChanges());
        QVERIFY(m_ui->shoot(QStringLiteral("save-failed")));
    }
};

NERRA_TEST_MAIN(TestLibraryFlows)
#include "tst_libraryflows.moc"
