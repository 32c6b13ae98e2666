// One edit of a 1000-step method in the editor: a volume change on one step, through the
// builder's whole refresh (SPL and CSV previews, validation, running volumes) and its
// signals, with listeners that read what the interface reads. Milliseconds per edit,
// median of many. Target: under 8 ms (half a frame at 60 Hz).
//
// Undo of such an edit is timed the same way: the method read back from its text and
// refreshed in full. Target: within the budget of an edit.
//
// Also timed, to show where the time goes: printing the whole method in each format from
// scratch, and the validator's two passes.

#include "formats/csvgenerator.h"
#include "formats/splgenerator.h"
#include "model/commands.h"
#include "editor/protocolbuilder.h"
#include "model/validator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int Steps = 1000;
constexpr int Runs = 301;

// Sixteen steps a lab would write, loops counted with their bodies; alternating tips. One
// block in ten over-fills its tip, so that messages are built and published too.
QString blockOf(int block)
{
    const bool large = block % 2;
    const QString tip = large ? QStringLiteral("large") : QStringLiteral("small");
    const int base = large ? 400 : 150;
    const int extra = block % 10 == 9 ? 1000 : 5;
    QString text;
    text += QStringLiteral("tipselect tip:%1\n").arg(tip);
    text += QStringLiteral("aspirate tip:%1 vol:%2.3 xvol:%3 speed:5\n").arg(tip).arg(base).arg(extra);
    text += QStringLiteral("mix tip:%1 vol:%2.0 cycles:2 speed:5\n").arg(tip).arg(base);
    text += QStringLiteral("dispense tip:%1 vol:%2.3 xvol:5 speed:5\n").arg(tip).arg(base);
    text += QStringLiteral("loop 5\n  aspirate tip:%1 vol:%2.5 xvol:0 speed:5\n"
                           "  airgap tip:%1 vol:%3.0 xvol:0 speed:5\n"
                           "  dispense tip:%1 vol:%4.5 xvol:0 speed:5\n"
                           "  repeat tip:%1 vol:0 dispense:%5.0 replicates:3 speed:5\n"
                           "  loop 2\n    aspirate tip:%1 vol:%6.0 xvol:0 speed:5\n"
                           "    dispense tip:%1 vol:%6.0 xvol:0 speed:5\n  endloop\nendloop\n")
                .arg(tip)
                .arg(base / 2)
                .arg(large ? 100 : 10)
                .arg(base / 2 + (large ? 100 : 10))
                .arg(large ? 100 : 20)
                .arg(base / 3);
    text += QStringLiteral("purge tip:%1 speed:5\n").arg(tip);
    for (int i = 0; i < 3; ++i)
        text += QStringLiteral("mix tip:%1 vol:%2.0 cycles:2 speed:5\n").arg(tip).arg(base);
    return text;
}

QString methodWithLoops()
{
    QString text = QStringLiteral("protocol name: Bench\n\n");
    int steps = 0;
    for (int block = 0; steps + 16 <= Steps; ++block, steps += 16)
        text += blockOf(block);
    for (; steps < Steps; ++steps)
        text += QStringLiteral("purge tip:small speed:5\n");
    return text;
}

// A thousand top-level steps: every step is its own line in both previews.
QString flatMethod()
{
    QString text = QStringLiteral("protocol name: Bench\n\ntipselect tip:small\n");
    for (int i = 1; i + 2 <= Steps; i += 2) {
        text += QStringLiteral("aspirate tip:small vol:%1.5 xvol:5 speed:5\n").arg(50 + i % 100);
        text += QStringLiteral("dispense tip:small vol:%1.5 xvol:5 speed:5\n").arg(50 + i % 100);
    }
    text += QStringLiteral("purge tip:small speed:5\n");
    return text;
}

int countSteps(const QList<Command *> &commands)
{
    int count = 0;
    for (const Command *command : commands) {
        ++count;
        if (auto *loop = qobject_cast<const LoopCommand *>(command))
            count += countSteps(loop->innerCommandList());
    }
    return count;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double timeMs(const std::function<void()> &work)
{
    std::vector<double> ms;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        work();
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    return median(ms);
}

bool run(const char *label, const QString &text, const QString &folder)
{
    const QString path = QDir(folder).filePath(QStringLiteral("bench.spl"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(text.toUtf8());
    file.close();

    ProtocolBuilder builder;
    if (!builder.loadFromFile(path))
        return false;
    const QList<Command *> commands = builder.commandList();
    if (countSteps(commands) != Steps) {
        std::fprintf(stderr, "%s: %d steps, not %d\n", label, countSteps(commands), Steps);
        return false;
    }

    // What the editor's views read on every change.
    qsizetype seen = 0;
    QObject::connect(&builder, &ProtocolBuilder::splPreviewChanged, [&] { seen += builder.splPreview().size(); });
    QObject::connect(&builder, &ProtocolBuilder::csvPreviewChanged, [&] { seen += builder.csvPreview().size(); });
    QObject::connect(&builder, &ProtocolBuilder::validationErrorsChanged,
                     [&] { seen += builder.validationErrors().size(); });
    QObject::connect(&builder, &ProtocolBuilder::hasErrorsChanged, [&] { seen += builder.hasErrors(); });

    // A step in the middle, as a user types into its volume field.
    VolumeCommand *edited = nullptr;
    for (int i = commands.size() / 2; i < commands.size() && !edited; ++i)
        edited = qobject_cast<AspirateCommand *>(commands.at(i));
    if (!edited)
        return false;
    int volume = edited->volumeWhole();
    const double editMs = timeMs([&] { edited->setVolumeWhole(++volume % 2 ? 120 : 121); });

    SplGenerator spl;
    CsvGenerator csv;
    Validator validator;
    const double splMs = timeMs([&] { seen += spl.generate(builder.protocolName(), commands).size(); });
    const double csvMs = timeMs([&] { seen += csv.generate(QString(), QString(), commands).size(); });
    const double validateMs = timeMs([&] { seen += validator.validate(commands).size(); });
    const double volumesMs = timeMs([&] { seen += validator.cumulativeVolumes(commands).size(); });

    // Last: undo replaces the commands the timings above work on.
    edited->setVolumeWhole(119);
    QCoreApplication::processEvents(); // the edit becomes an undo step
    std::vector<double> undoRuns;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        builder.undo();
        undoRuns.push_back(timer.nsecsElapsed() / 1e6);
        builder.redo();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    const double undoMs = median(undoRuns);

    std::printf("%s: %d steps, %d top-level, %d errors, median of %d runs\n", label, Steps,
                int(builder.commandList().size()), int(builder.validationErrors().size()), Runs);
    std::printf("  one edit, full refresh with signals  %7.3f ms   (target < 8 ms)\n", editMs);
    std::printf("  undo of one edit, full refresh       %7.3f ms   (target < 8 ms)\n", undoMs);
    std::printf("  for comparison, from scratch: SPL %.3f ms, CSV %.3f ms; validate %.3f ms, "
                "running volumes %.3f ms\n",
                splMs, csvMs, validateMs, volumesMs);
    return seen > 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir folder;
    if (!folder.isValid())
        return 1;
    if (!run("method with loops", methodWithLoops(), folder.path()))
        return 1;
    if (!run("flat method", flatMethod(), folder.path()))
        return 1;
    return 0;
}
