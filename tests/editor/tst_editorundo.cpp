// Undo and redo in the editor: every kind of change goes back to the exact method it came
// from and forward again, typing stays one step, loads start afresh, and going back is an
// edit that is saved like any other.

#include "editor/protocolbuilder.h"
#include "model/commands.h"
#include "splmethod.h"
#include "storage/protocollibrary.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <functional>
#include <memory>

namespace {

using Edit = std::function<void(ProtocolBuilder &)>;

const QString Start = QStringLiteral("tipselect tip:small\n"
                                     "aspirate tip:small vol:100.0 xvol:0 speed:5\n"
                                     "loop 2\n"
                                     "  aspirate tip:small vol:20.0 xvol:0 speed:5\n"
                                     "  dispense tip:small vol:20.0 speed:5\n"
                                     "endloop\n"
                                     "dispense tip:small vol:100.0 speed:5\n");

template <typename T>
T *step(const ProtocolBuilder &builder, int index)
{
    return qobject_cast<T *>(builder.commandList().value(index));
}

QString writeSpl(const QString &text)
{
    const QString path = QDir::temp().filePath(QStringLiteral("undo.spl"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(text.toUtf8());
    return path;
}

struct State
{
    QString spl;
    QString description;
    bool operator==(const State &other) const { return spl == other.spl && description == other.description; }
};

State stateOf(const ProtocolBuilder &builder)
{
    return {builder.splPreview(), builder.description()};
}

char *toString(const State &state)
{
    return QTest::toString(state.description + QLatin1String(" | ") + state.spl);
}

// The library with one method holding the start steps, opened in the builder.
struct OpenMethod
{
    OpenMethod()
    {
        builder.setLibrary(&library);
        builder.setAutoSaveInterval(10);
        QVariantList maps;
        for (Command *command : methodFromSpl(Start, &library))
            maps << command->toVariantMap();
        id = library.createProtocol(QStringLiteral("Undo"));
        library.saveProtocol(id, QStringLiteral("Undo"), QStringLiteral("about"), maps, false);
        builder.loadFromLibrary(id);
    }
    ProtocolLibrary library;
    ProtocolBuilder builder;
    QString id;
};

} // namespace

Q_DECLARE_METATYPE(Edit)
Q_DECLARE_METATYPE(QList<Edit>)

class TestEditorUndo : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void everyChangeGoesBackAndForth_data();
    void everyChangeGoesBackAndForth();
    void typingInOneFieldIsOneStep();
    void undoIsSavedAndLoadsStartAfresh();
    void undoKeepsWhatTheTextDoesNotSay();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestEditorUndo::everyChangeGoesBackAndForth_data()
{
    QTest::addColumn<QList<Edit>>("edits");

    QTest::newRow("add, move")
        << QList<Edit>{[](ProtocolBuilder &b) { b.addCommand(QStringLiteral("purge")); },
                       [](ProtocolBuilder &b) { b.moveCommand(3, 1); }};
    QTest::newRow("inside a loop body")
        << QList<Edit>{[](ProtocolBuilder &b) { step<LoopCommand>(b, 2)->addInnerCommand(QStringLiteral("airgap")); },
                       [](ProtocolBuilder &b) {
                           auto *loop = step<LoopCommand>(b, 2);
                           qobject_cast<VolumeCommand *>(loop->innerCommandList().at(1))->setVolumeWhole(7);
                       },
                       [](ProtocolBuilder &b) { step<LoopCommand>(b, 2)->moveInnerCommand(1, 0); },
                       [](ProtocolBuilder &b) { step<LoopCommand>(b, 2)->removeInnerCommand(1); },
                       [](ProtocolBuilder &b) { step<LoopCommand>(b, 2)->setIterations(9); }};
    QTest::newRow("field edits, name, description")
        << QList<Edit>{[](ProtocolBuilder &b) { step<AspirateCommand>(b, 1)->setSpeed(2); },
                       [](ProtocolBuilder &b) { step<AspirateCommand>(b, 1)->setExtraVolume(5); },
                       [](ProtocolBuilder &b) { step<TipSelectCommand>(b, 0)->setTip(QStringLiteral("large")); },
                       [](ProtocolBuilder &b) { b.setProtocolName(QStringLiteral("Renamed")); },
                       [](ProtocolBuilder &b) { b.setDescription(QStringLiteral("new words")); }};
    QTest::newRow("clear all, then an imported file")
        << QList<Edit>{[](ProtocolBuilder &b) { b.clearCommands(); },
                       [](ProtocolBuilder &b) {
                           QVERIFY(b.loadFromFile(writeSpl(QStringLiteral("protocol name: Imported\n\n"
                                                                          "tipselect tip:large\n"
                                                                          "purge tip:large speed:3\n"))));
                       }};
}

void TestEditorUndo::everyChangeGoesBackAndForth()
{
    QFETCH(QList<Edit>, edits);
    OpenMethod open;
    ProtocolBuilder &builder = open.builder;
    builder.setTypingWindow(-1);
    QVERIFY(!builder.canUndo());

    QList<State> states{stateOf(builder)};
    for (const Edit &edit : edits) {
        edit(builder);
        QVERIFY(builder.canUndo());
        QCoreApplication::processEvents();
        QVERIFY2(!(stateOf(builder) == states.last()), "the edit changed nothing");
        states.append(stateOf(builder));
    }
    for (int i = states.size() - 2; i >= 0; --i) {
        builder.undo();
        QCOMPARE(stateOf(builder), states.at(i));
        QVERIFY(builder.canRedo());
    }
    QVERIFY(!builder.canUndo());
    for (int i = 1; i < states.size(); ++i) {
        builder.redo();
        QCOMPARE(stateOf(builder), states.at(i));
    }
    QVERIFY(!builder.canRedo());

    // A new edit after going back drops what could have been redone.
    builder.undo();
    builder.addCommand(QStringLiteral("purge"));
    QCoreApplication::processEvents();
    QVERIFY(!builder.canRedo());
    builder.undo();
    QCOMPARE(stateOf(builder), states.at(states.size() - 2));
}

void TestEditorUndo::typingInOneFieldIsOneStep()
{
    OpenMethod open;
    ProtocolBuilder &builder = open.builder;
    const State start = stateOf(builder);
    auto *aspirate = step<AspirateCommand>(builder, 1);

    // A volume's whole and tenths set in one pass are one step...
    aspirate->setVolumeWhole(12);
    aspirate->setVolumeFractional(5);
    QCoreApplication::processEvents();
    // ...and typing on in the same field stays in it.
    aspirate->setVolumeWhole(125);
    QCoreApplication::processEvents();
    builder.setDescription(QStringLiteral("a"));
    QCoreApplication::processEvents();
    builder.setDescription(QStringLiteral("ab"));
    QCoreApplication::processEvents();
    const State typed = stateOf(builder);

    builder.undo();
    QCOMPARE(builder.description(), QStringLiteral("about"));
    QCOMPARE(step<AspirateCommand>(builder, 1)->volumeWhole(), 125);
    builder.undo();
    QCOMPARE(stateOf(builder), start);
    QVERIFY(!builder.canUndo());
    builder.redo();
    builder.redo();
    QCOMPARE(stateOf(builder), typed);

    // Past the typing window, the same field makes a step of its own.
    builder.setTypingWindow(-1);
    builder.setDescription(QStringLiteral("abc"));
    QCoreApplication::processEvents();
    builder.undo();
    QCOMPARE(stateOf(builder), typed);
}

void TestEditorUndo::undoIsSavedAndLoadsStartAfresh()
{
    OpenMethod open;
    ProtocolBuilder &builder = open.builder;
    const State start = stateOf(builder);
    builder.removeCommand(1);
    QTRY_VERIFY(!builder.hasUnsavedChanges());
    QCOMPARE(open.library.getProtocol(open.id).value(QStringLiteral("commands")).toList().size(), 3);

    builder.undo();
    QVERIFY(builder.hasUnsavedChanges());
    QTRY_VERIFY(!builder.hasUnsavedChanges());
    QCOMPARE(open.library.getProtocol(open.id).value(QStringLiteral("commands")).toList().size(), 4);
    QVERIFY(builder.canRedo());

    // Another method, or the same one opened again, has no history to go back through.
    builder.loadFromLibrary(open.id);
    QCOMPARE(stateOf(builder), start);
    QVERIFY(!builder.canUndo());
    QVERIFY(!builder.canRedo());
    builder.addCommand(QStringLiteral("purge"));
    builder.newProtocol();
    QVERIFY(!builder.canUndo());
    builder.undo();
    QCOMPARE(builder.commandList().size(), 1);
}

void TestEditorUndo::undoKeepsWhatTheTextDoesNotSay()
{
    // A loop under the large tip: its tip is not in the SPL text, and undo must not lose it.
    ProtocolBuilder builder;
    builder.setTypingWindow(-1);
    builder.newProtocol();
    step<TipSelectCommand>(builder, 0)->setTip(QStringLiteral("large"));
    builder.addCommand(QStringLiteral("loop"));
    auto *loop = step<LoopCommand>(builder, 1);
    loop->addInnerCommand(QStringLiteral("aspirate"));
    loop->addInnerCommand(QStringLiteral("dispense"));
    QCoreApplication::processEvents();
    const QVariantList errors = builder.validationErrors();
    builder.addCommand(QStringLiteral("purge"));
    QCoreApplication::processEvents();
    builder.undo();
    QCOMPARE(builder.validationErrors(), errors);
    QCOMPARE(step<LoopCommand>(builder, 1)->tip(), QStringLiteral("large"));
}

NERRA_TEST_MAIN(TestEditorUndo)
#include "tst_editorundo.moc"
