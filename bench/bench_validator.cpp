// validate() and cumulativeVolumes() of a 1000-step method with loops, as the editor runs
// them after every change: milliseconds for both together (median of many runs).
// Every step counts, loops and their body steps alike. Target: under 2 ms.

#include "model/commands.h"
#include "model/validator.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int Steps = 1000;
constexpr int Runs = 201;

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

template <typename T>
T *transfer(QObject *owner, const QString &tip, int whole, int tenths, int extra = 0)
{
    auto *command = new T(owner);
    command->setTip(tip);
    command->setVolumeWhole(whole);
    command->setVolumeFractional(tenths);
    command->setExtraVolume(extra);
    return command;
}

// Blocks of 16 steps that a lab would write: a transfer with extra volume, a mix, a loop
// of five with a nested loop, alternating tips. Valid throughout, so every rule runs to
// its end; one block in ten over-fills its tip so that messages are built too.
QList<Command *> buildMethod(QObject *owner)
{
    QList<Command *> method;
    int steps = 0;
    for (int block = 0; steps + 16 <= Steps; ++block) {
        const QString tip = block % 2 ? QStringLiteral("large") : QStringLiteral("small");
        const int base = block % 2 ? 400 : 150;
        auto *select = new TipSelectCommand(owner);
        select->setTip(tip);
        auto *mix = new MixCommand(owner);
        mix->setTip(tip);
        mix->setVolumeWhole(base);
        auto *loop = new LoopCommand(owner);
        loop->setTip(tip);
        loop->setIterations(5);
        loop->appendInnerCommand(transfer<AspirateCommand>(loop, tip, base / 2, 5));
        loop->appendInnerCommand(transfer<AirgapCommand>(loop, tip, block % 2 ? 100 : 10, 0));
        loop->appendInnerCommand(
            transfer<DispenseCommand>(loop, tip, base / 2 + (block % 2 ? 100 : 10), 5));
        auto *repeat = new RepeatCommand(loop);
        repeat->setTip(tip);
        repeat->setDispenseVolume(block % 2 ? 100.0 : 20.0);
        repeat->setReplicates(3);
        loop->appendInnerCommand(repeat);
        auto *inner = new LoopCommand(loop);
        inner->setTip(tip);
        inner->appendInnerCommand(transfer<AspirateCommand>(inner, tip, base / 3, 0));
        inner->appendInnerCommand(transfer<DispenseCommand>(inner, tip, base / 3, 0));
        loop->appendInnerCommand(inner);
        auto *purge = new PurgeCommand(owner);
        purge->setTip(tip);
        method << select
               << transfer<AspirateCommand>(owner, tip, base, 3, 5 + (block % 10 == 9 ? 1000 : 0))
               << mix << transfer<DispenseCommand>(owner, tip, base, 3, 5) << loop << purge;
        steps += 6 + 5 + 2;
        for (int i = 0; i < 3; ++i) {
            auto *extra = new MixCommand(owner);
            extra->setTip(tip);
            extra->setVolumeWhole(base);
            method << extra;
        }
        steps += 3;
    }
    while (steps < Steps) {
        method.append(new PurgeCommand(owner));
        ++steps;
    }
    return method;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QObject owner;
    const QList<Command *> method = buildMethod(&owner);
    if (countSteps(method) != Steps) {
        std::fprintf(stderr, "method has %d steps, not %d\n", countSteps(method), Steps);
        return 1;
    }

    Validator validator;
    int errors = 0;
    std::vector<double> validateMs;
    std::vector<double> volumesMs;
    std::vector<double> bothMs;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        const QList<ValidationError> found = validator.validate(method);
        const qint64 afterValidate = timer.nsecsElapsed();
        const QList<TipVolumes> volumes = validator.cumulativeVolumes(method);
        const qint64 afterBoth = timer.nsecsElapsed();
        errors = found.size();
        if (volumes.size() != method.size())
            return 1;
        validateMs.push_back(afterValidate / 1e6);
        volumesMs.push_back((afterBoth - afterValidate) / 1e6);
        bothMs.push_back(afterBoth / 1e6);
    }
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    std::printf("%d-step method with loops (%d top-level steps, %d errors), median of %d runs:\n",
                Steps, int(method.size()), errors, Runs);
    std::printf("  validate           %7.3f ms\n", median(validateMs));
    std::printf("  cumulativeVolumes  %7.3f ms\n", median(volumesMs));
    std::printf("  both               %7.3f ms   (target < 2 ms)\n", median(bothMs));
    return 0;
}
