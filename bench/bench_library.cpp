// The method library at 2000 methods of 25 steps each: loading it from the settings
// store (with the hasErrors recomputation), one rename (a full save), and the listing.
// Medians of several runs. Targets: load < 500 ms, rename < 100 ms, listing < 20 ms.

#include "model/commands.h"
#include "storage/protocollibrary.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int Methods = 2000;
constexpr int StepsPerMethod = 25;

// 25 steps: a tip select, then transfers, mixes and a loop of five body steps.
QVariantList methodSteps(int seed)
{
    QObject owner;
    QList<Command *> steps;
    steps << new TipSelectCommand(&owner);
    for (int block = 0; block < 3; ++block) {
        auto *aspirate = new AspirateCommand(&owner);
        aspirate->setVolumeWhole(50 + (seed + block) % 100);
        aspirate->setVolumeFractional(block);
        aspirate->setExtraVolume(5);
        auto *mix = new MixCommand(&owner);
        mix->setVolumeWhole(40);
        auto *dispense = new DispenseCommand(&owner);
        dispense->setVolumeWhole(50 + (seed + block) % 100);
        dispense->setVolumeFractional(block);
        dispense->setExtraVolume(5);
        auto *repeat = new RepeatCommand(&owner);
        repeat->setDispenseVolume(12.5);
        repeat->setReplicates(4);
        auto *purge = new PurgeCommand(&owner);
        steps << aspirate << mix << dispense << repeat << purge;
    }
    auto *loop = new LoopCommand(&owner);
    loop->setIterations(3);
    for (const char *type : {"aspirate", "airgap", "dispense", "mix", "purge"})
        loop->addInnerCommand(QString::fromLatin1(type));
    steps << loop;
    // 1 + 15 + 1 + 5 = 22 so far; three more mixes make 25.
    for (int i = 0; i < 3; ++i)
        steps << new MixCommand(&owner);
    QVariantList maps;
    for (Command *command : qAsConst(steps))
        maps << command->toVariantMap();
    return maps;
}

// Writes the store as the library lays it out, without 2000 separate saves.
void writeStore()
{
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    QSettings settings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop"));
    settings.remove(QStringLiteral("protocolLibrary"));
    settings.beginWriteArray(QStringLiteral("protocolLibrary"), Methods);
    for (int i = 0; i < Methods; ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("id"), QStringLiteral("bench-%1").arg(i));
        settings.setValue(QStringLiteral("name"), QStringLiteral("Method %1").arg(Methods - i));
        settings.setValue(QStringLiteral("description"), QStringLiteral("Plate %1").arg(i % 96));
        settings.setValue(QStringLiteral("created"), now);
        settings.setValue(QStringLiteral("modified"), now);
        settings.setValue(QStringLiteral("commands"), methodSteps(i));
        settings.setValue(QStringLiteral("hasErrors"), true);
    }
    settings.endArray();
    settings.sync();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double milliseconds(const std::function<void()> &run)
{
    QElapsedTimer timer;
    timer.start();
    run();
    return timer.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, dir.path());
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    if (methodSteps(0).size() != StepsPerMethod - 5) {
        // The loop carries five of the 25 steps inside it.
        std::fprintf(stderr, "unexpected method shape\n");
        return 1;
    }
    writeStore();
    const QString storePath = QSettings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop")).fileName();
    std::printf("store: %d methods x %d steps, %.1f MB\n", Methods, StepsPerMethod,
                QFileInfo(storePath).size() / 1e6);

    // Loading, as at start-up: the file is touched first so that the settings cache of
    // this process reads and parses it again, as a fresh start would.
    std::vector<double> loads;
    std::unique_ptr<ProtocolLibrary> library;
    for (int run = 0; run < 7; ++run) {
        library.reset();
        QFile file(storePath);
        if (file.open(QIODevice::ReadWrite))
            file.setFileTime(QDateTime::currentDateTime().addSecs(run + 1),
                             QFileDevice::FileModificationTime);
        file.close();
        loads.push_back(milliseconds([&] { library = std::make_unique<ProtocolLibrary>(); }));
    }
    if (library->protocolCount() != Methods) {
        std::fprintf(stderr, "loaded %d methods\n", library->protocolCount());
        return 1;
    }
    const QVariantList first = library->getAllProtocols();
    if (first.constFirst().toMap().value(QStringLiteral("hasErrors")).toBool()) {
        std::fprintf(stderr, "hasErrors was not recomputed\n");
        return 1;
    }

    // The first save after loading writes every element when the store did not hold
    // exactly what the library writes (here: the stored hasErrors flags were stale).
    const double firstSave = milliseconds(
        [&] { library->renameProtocol(QStringLiteral("bench-0"), QStringLiteral("First save")); });

    std::vector<double> renames;
    std::vector<double> listings;
    std::vector<double> cachedListings;
    const QString id = QStringLiteral("bench-1000");
    for (int run = 0; run < 15; ++run) {
        renames.push_back(milliseconds([&] {
            if (!library->renameProtocol(id, QStringLiteral("Renamed %1").arg(run)))
                std::fprintf(stderr, "rename failed\n");
        }));
        listings.push_back(milliseconds([&] { library->getAllProtocols(); }));
        cachedListings.push_back(milliseconds([&] { library->getAllProtocols(); }));
    }

    std::printf("median of 7 loads, 15 renames:\n");
    std::printf("  load with hasErrors recomputation %8.1f ms   (target < 500 ms)\n", median(loads));
    std::printf("  rename (full save)                %8.1f ms   (target < 100 ms)\n", median(renames));
    std::printf("  first save after a stale store    %8.1f ms\n", firstSave);
    std::printf("  getAllProtocols after a change    %8.2f ms   (target < 20 ms)\n", median(listings));
    std::printf("  getAllProtocols unchanged         %8.3f ms\n", median(cachedListings));
    return 0;
}
