// Writing and reading a 1000-step method with loops, in SPL and in device CSV:
// microseconds per step for each of the four directions (median of several runs).
// Every step counts, loops and their body steps alike.

#include "formats/csvgenerator.h"
#include "formats/csvparser.h"
#include "formats/splgenerator.h"
#include "formats/splparser.h"
#include "model/commands.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int Steps = 1000;
constexpr int Runs = 21;

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

// Blocks of a realistic method: a transfer, a mix, and a loop of five with a nested loop
// of three steps; 15 steps per block, tips changing now and then.
QList<Command *> buildMethod(QObject *owner)
{
    QList<Command *> method;
    auto *first = new TipSelectCommand(owner);
    method.append(first);
    int steps = 1;
    for (int block = 0; steps + 15 <= Steps; ++block) {
        auto *aspirate = new AspirateCommand(owner);
        aspirate->setVolumeWhole(150);
        aspirate->setVolumeFractional(block % 10);
        aspirate->setExtraVolume(5);
        auto *dispense = new DispenseCommand(owner);
        dispense->setVolumeWhole(155);
        auto *mix = new MixCommand(owner);
        mix->setVolumeWhole(80);
        mix->setCycles(3);
        auto *loop = new LoopCommand(owner);
        loop->setIterations(5);
        for (const char *type : {"aspirate", "airgap", "dispense", "repeat", "purge"})
            loop->addInnerCommand(QString::fromLatin1(type));
        auto *inner = new LoopCommand(loop);
        inner->addInnerCommand(QStringLiteral("aspirate"));
        inner->addInnerCommand(QStringLiteral("mix"));
        inner->addInnerCommand(QStringLiteral("dispense"));
        loop->appendInnerCommand(inner);
        auto *purge = new PurgeCommand(owner);
        auto *tipSelect = new TipSelectCommand(owner);
        tipSelect->setTip(block % 2 ? QStringLiteral("small") : QStringLiteral("large"));
        method << aspirate << dispense << mix << loop << purge << tipSelect;
        steps += 15;
    }
    while (steps < Steps) {
        method.append(new PurgeCommand(owner));
        ++steps;
    }
    return method;
}

double medianMicrosecondsPerStep(const std::function<void()> &run,
                                 const std::function<void()> &tidy = {})
{
    std::vector<double> perStep;
    for (int i = 0; i < Runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        perStep.push_back(double(timer.nsecsElapsed()) / 1000.0 / Steps);
        if (tidy)
            tidy();
    }
    std::sort(perStep.begin(), perStep.end());
    return perStep[perStep.size() / 2];
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

    SplGenerator splWriter;
    SplParser splReader;
    CsvGenerator csvWriter;
    const QString spl = splWriter.generate(QStringLiteral("Benchmark"), method);
    const QString csv = csvWriter.generate(QString(), QString(), method);

    QString sink;
    const double splWrite = medianMicrosecondsPerStep(
        [&] { sink = splWriter.generate(QStringLiteral("Benchmark"), method); });
    QList<Command *> read;
    auto tidy = [&] {
        qDeleteAll(read);
        read.clear();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    };
    const double splRead = medianMicrosecondsPerStep(
        [&] {
            QString name;
            QString error;
            if (!splReader.parse(spl, &name, &read, &error))
                std::fprintf(stderr, "SPL read failed: %s\n", qPrintable(error));
        },
        tidy);
    const double csvWrite = medianMicrosecondsPerStep(
        [&] { sink = csvWriter.generate(QString(), QString(), method); });
    const double csvRead = medianMicrosecondsPerStep([&] { read = CsvParser::parse(csv); }, tidy);

    std::printf("%d-step method with loops (%d top-level steps, %lld B SPL, %lld B CSV), "
                "median of %d runs:\n",
                Steps, int(method.size()), static_cast<long long>(spl.toUtf8().size()),
                static_cast<long long>(csv.toUtf8().size()), Runs);
    std::printf("  SPL write %6.2f us/step\n", splWrite);
    std::printf("  SPL read  %6.2f us/step\n", splRead);
    std::printf("  CSV write %6.2f us/step\n", csvWrite);
    std::printf("  CSV read  %6.2f us/step\n", csvRead);
    return 0;
}
