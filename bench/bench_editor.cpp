// The method editor on a 500-step method, offscreen: the time from the library card's
// "Edit" click to the first frame showing the editor, and from one edit of a step to the
// first frame after it, with the list on screen. Medians of several runs, in
// milliseconds. The interface is read from the source tree, as the program's resources
// hold the same files.

#include "isolatedenvironment.h"
#include "../tests/qml/uiharness.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int Steps = 500;
constexpr int OpenRuns = 7;
constexpr int EditRuns = 21;

QVariantMap step(const QString &type, int volume = 0, int speed = 5)
{
    QVariantMap map{{QStringLiteral("type"), type}, {QStringLiteral("tip"), QStringLiteral("small")},
                    {QStringLiteral("speed"), speed}};
    if (volume > 0) {
        map.insert(QStringLiteral("volumeWhole"), volume);
        map.insert(QStringLiteral("volumeFractional"), 0);
        map.insert(QStringLiteral("extraVolume"), 0);
    }
    return map;
}

// A Tip Select, then transfers, mixes and now and then a loop of three, to 500 steps.
QVariantList buildMethod()
{
    QVariantList steps{step(QStringLiteral("tipselect"))};
    for (int block = 0; steps.size() < Steps; ++block) {
        steps << step(QStringLiteral("aspirate"), 100 + block % 50) << step(QStringLiteral("mix"), 50);
        steps << step(QStringLiteral("dispense"), 100 + block % 50);
        if (block % 4 == 3) {
            QVariantMap loop = step(QStringLiteral("loop"));
            loop.insert(QStringLiteral("iterations"), 3);
            loop.insert(QStringLiteral("innerCommands"),
                        QVariantList{step(QStringLiteral("aspirate"), 20), step(QStringLiteral("dispense"), 20)});
            steps << loop;
        }
    }
    while (steps.size() > Steps)
        steps.removeLast();
    return steps;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Waits for rendered frames until `ready` holds after one of them; the time of that frame.
template<typename Ready>
bool waitForFrame(QQuickWindow *window, QElapsedTimer &clock, double *ms, Ready ready)
{
    QSignalSpy frames(window, &QQuickWindow::frameSwapped);
    for (int i = 0; i < 200; ++i) {
        window->update();
        if (!frames.wait(5000))
            return false;
        if (ready()) {
            *ms = clock.nsecsElapsed() / 1e6;
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    IsolatedEnvironment::prepareProcess();
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Vellora"));
    QCoreApplication::setApplicationName(QStringLiteral("Nerra"));
    IsolatedEnvironment environment;

    UiHarness ui;
    const QString id = ui.library.createProtocol(QStringLiteral("Five hundred steps"));
    if (!ui.library.saveProtocol(id, QStringLiteral("Five hundred steps"), QString(), buildMethod(), false)) {
        std::fprintf(stderr, "could not store the method\n");
        return 1;
    }
    // The builder alone, before any interface is attached: the floor under the edit time.
    std::vector<double> builderTimes;
    ui.builder.loadFromLibrary(id);
    for (int run = 0; run < EditRuns; ++run) {
        QElapsedTimer clock;
        clock.start();
        ui.builder.commands().at(1).value<QObject *>()->setProperty("volumeWhole", 100 + run % 2);
        builderTimes.push_back(clock.nsecsElapsed() / 1e6);
    }

    if (!ui.load()) {
        std::fprintf(stderr, "the interface did not load\n");
        return 1;
    }
    if (!ui.click(QStringLiteral("tab_Protocol Library"))) {
        std::fprintf(stderr, "no library tab\n");
        return 1;
    }

    std::vector<double> openTimes;
    for (int run = 0; run < OpenRuns; ++run) {
        ui.settle();
        QQuickItem *edit = ui.item(QStringLiteral("editButton"));
        if (!edit) {
            std::fprintf(stderr, "no card\n");
            return 1;
        }
        const QPointF at = edit->mapToScene(QPointF(edit->width() / 2, edit->height() / 2));
        QElapsedTimer clock;
        clock.start();
        ui.mouse(QEvent::MouseButtonPress, at, Qt::LeftButton);
        ui.mouse(QEvent::MouseButtonRelease, at, Qt::NoButton);
        double ms = 0;
        const bool shown = waitForFrame(ui.window, clock, &ms, [&] {
            return ui.currentPageName() == QLatin1String("editorPage")
                   && ui.find(QStringLiteral("step_0"), ui.currentPage());
        });
        if (!shown || ui.builder.commands().size() != Steps) {
            std::fprintf(stderr, "the editor did not show the method\n");
            return 1;
        }
        openTimes.push_back(ms);
        if (run + 1 < OpenRuns) {
            ui.click(QStringLiteral("backToLibrary"), ui.currentPage());
            ui.settle();
        }
    }

    // Edits of the second step's volume while the list shows the first steps.
    std::vector<double> editTimes;
    std::vector<double> modelTimes;
    QObject *command = ui.builder.commands().at(1).value<QObject *>();
    for (int run = 0; run < EditRuns; ++run) {
        ui.settle();
        const int volume = 100 + run % 2;
        QElapsedTimer clock;
        clock.start();
        command->setProperty("volumeWhole", volume);
        modelTimes.push_back(clock.nsecsElapsed() / 1e6);
        double ms = 0;
        QQuickItem *field = nullptr;
        const bool shown = waitForFrame(ui.window, clock, &ms, [&] {
            QObject *card = ui.find(QStringLiteral("step_1"), ui.currentPage());
            field = card ? ui.item(QStringLiteral("volumeField"), card) : nullptr;
            return field && field->property("text").toString() == QString::number(volume) + QStringLiteral(".0");
        });
        if (!shown) {
            std::fprintf(stderr, "the edit never showed\n");
            return 1;
        }
        editTimes.push_back(ms);
    }

    std::printf("editor, %d-step method (offscreen, software renderer), median ms\n", Steps);
    std::printf("  open from the library click to the first frame: %8.1f  (%d runs)\n", median(openTimes), OpenRuns);
    std::printf("  one edit to the first frame after it:            %8.1f  (%d runs)\n", median(editTimes), EditRuns);
    std::printf("    of which the edit's own signal handling:       %8.1f\n", median(modelTimes));
    std::printf("    the builder alone, without the interface:      %8.1f\n", median(builderTimes));
    return 0;
}
