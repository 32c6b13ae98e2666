// nerra-sim: a simulated Nerra instrument on a pseudo-terminal, for working without one.
// It prints the port's path on standard output (again after every restart, when the port
// comes back under a new path); open that path in Nerra Desktop's console or any serial
// terminal.

#include "instrumentstate.h"
#include "usbinstrument.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int quitPipe[2] = {-1, -1};

void requestQuit(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(quitPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nerra-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A simulated Nerra instrument on a pseudo-terminal."));
    parser.addHelpOption();
    const QCommandLineOption stateOption(QStringLiteral("state"),
                                         QStringLiteral("Keep the instrument's state in <folder>."),
                                         QStringLiteral("folder"));
    const QCommandLineOption nameOption(QStringLiteral("name"), QStringLiteral("Instrument name."),
                                        QStringLiteral("name"));
    const QCommandLineOption idOption(QStringLiteral("id"), QStringLiteral("12-hex-digit hardware id."),
                                      QStringLiteral("id"));
    const QCommandLineOption firmwareOption(QStringLiteral("firmware"),
                                            QStringLiteral("Firmware version running at start."),
                                            QStringLiteral("version"));
    const QCommandLineOption chunkOption(QStringLiteral("chunk-size"),
                                         QStringLiteral("Firmware update chunk size in bytes."),
                                         QStringLiteral("bytes"));
    const QCommandLineOption delayOption(QStringLiteral("reply-delay"),
                                         QStringLiteral("Answer every command this much later."),
                                         QStringLiteral("ms"));
    const QCommandLineOption restartOption(QStringLiteral("restart-delay"),
                                           QStringLiteral("How long a restart keeps the port away."),
                                           QStringLiteral("ms"));
    const QCommandLineOption blankOption(QStringLiteral("blank-board"),
                                         QStringLiteral("Behave as a board without firmware."));
    const QCommandLineOption silentOption(QStringLiteral("silent"), QStringLiteral("Never answer."));
    parser.addOptions({stateOption, nameOption, idOption, firmwareOption, chunkOption, delayOption,
                       restartOption, blankOption, silentOption});
    parser.process(app);

    QTextStream err(stderr);
    InstrumentState state;
    if (parser.isSet(stateOption) && !state.setStorageFolder(parser.value(stateOption))) {
        err << "nerra-sim: cannot use " << parser.value(stateOption) << " for the state\n";
        return 1;
    }
    if (parser.isSet(nameOption))
        state.setPreference(QStringLiteral("name"), parser.value(nameOption));
    if (parser.isSet(idOption))
        state.setHardwareId(parser.value(idOption));
    if (parser.isSet(firmwareOption))
        state.setFirmware(parser.value(firmwareOption), 1);

    UsbInstrument instrument(&state);
    if (parser.isSet(chunkOption))
        instrument.setChunkSize(parser.value(chunkOption).toInt());
    if (parser.isSet(delayOption))
        instrument.setReplyDelay(parser.value(delayOption).toInt());
    if (parser.isSet(restartOption))
        instrument.setRestartDelay(parser.value(restartOption).toInt());
    instrument.setBlankBoard(parser.isSet(blankOption));
    instrument.setSilent(parser.isSet(silentOption));

    QObject::connect(&instrument, &UsbInstrument::portNameChanged, [&err, &state](const QString &path) {
        if (path.isEmpty()) {
            err << "nerra-sim: port gone (restarting)\n";
            err.flush();
            return;
        }
        std::printf("%s\n", qPrintable(path));
        std::fflush(stdout);
        err << "nerra-sim: " << state.name() << " (" << state.hardwareId() << ", firmware "
            << state.firmwareVersion() << ") on " << path << "\n";
        err.flush();
    });
    QObject::connect(&instrument, &UsbInstrument::lineReceived, [&err](const QString &line) {
        QString shown = line;
        shown.replace(QLatin1Char('\x1b'), QStringLiteral("<ESC>"));
        err << "nerra-sim: <- " << shown.left(120) << "\n";
        err.flush();
    });

    // Ctrl-C and termination end the event loop, so the terminal is closed cleanly.
    if (::pipe(quitPipe) == 0) {
        auto *quitNotifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(quitNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        std::signal(SIGINT, requestQuit);
        std::signal(SIGTERM, requestQuit);
    }

    if (!instrument.plugIn()) {
        err << "nerra-sim: cannot create a pseudo-terminal: " << instrument.errorString() << "\n";
        return 1;
    }
    return app.exec();
}
