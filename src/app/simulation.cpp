#include "app/simulation.h"

#include "bleinstrument.h"
#include "devices/serial/serialmanager.h"
#include "firmware/bootstrapmanager.h"
#include "instrumentstate.h"
#include "simulatedbleradio.h"
#include "simulatedportlister.h"
#include "usbinstrument.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QUrl>

namespace {

// Owns the instrument and the port list the link reads; a child of the application
// object, so it outlives every controller created after the application.
class Simulation : public QObject
{
public:
    explicit Simulation(QObject *parent)
        : QObject(parent)
        , usb(&state)
    {
    }

    InstrumentState state;
    UsbInstrument usb;
    SimulatedPortLister lister;
    SimulatedBleRadio radio;
};

// Two small methods, so that a first look at the instrument's protocols shows something.
void addDemoProtocols(InstrumentState &state)
{
    state.putFile(QStringLiteral("Serial_Dilution.csv"),
                  "TIPSELECT,S,,,,,,,,\n"
                  "LOOPSTART,,,,,,,,4\n"
                  "ASPIRATE,S,100.0,0,,,,4,\n"
                  "DISPENSE,S,100.0,0,,,,4,\n"
                  "MIX,S,80.0,0,3,,,5,\n"
                  "LOOPEND,,,,,,,,\n"
                  "PURGE,S,,,,,,4,\n");
    state.putFile(QStringLiteral("Plate_Fill.csv"),
                  "TIPSELECT,L,,,,,,,,\n"
                  "ASPIRATE,L,960.0,20,,,,3,\n"
                  "REPEAT,L,960.0,0,,8,120.0,3,\n"
                  "PURGE,L,,,,,,4,\n");
}

// The one simulated instrument, with its state read from the data folder.
Simulation *simulation()
{
    static QPointer<Simulation> instance;
    if (instance)
        return instance;
    instance = new Simulation(QCoreApplication::instance());
    const QString folder = QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
                               .filePath(QStringLiteral("simulated-instrument"));
    const bool fresh = !QFileInfo::exists(QDir(folder).filePath(QStringLiteral("state.json")));
    if (!instance->state.setStorageFolder(folder))
        qWarning().noquote() << "Simulation: cannot keep the simulated instrument in" << folder
                             << "— its state lives in memory only";
    if (fresh)
        addDemoProtocols(instance->state);
    // Real instruments repeat their advertisement; so does this one while a scan runs.
    instance->radio.setAdvertisingInterval(1000);
    BleInstrument *instrument = instance->radio.addInstrument(&instance->state);
    qDebug().noquote() << "Simulation: simulated instrument" << instance->state.hardwareId() << "advertising as"
                       << instrument->advertisedName() << "at" << instrument->address().toString();
    return instance;
}

// A balance export named for the demo instrument, for the certification tab to import.
void offerSampleWorkbook(const InstrumentState &state)
{
    const QDir folder(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    const QString sample = folder.filePath(QStringLiteral("simulated-instrument/Q-%1-sample.xlsx").arg(state.serialNumber()));
    if (!QFileInfo::exists(sample) && !QFile::copy(QStringLiteral(NERRA_SIM_WORKBOOK), sample))
        return;
    qDebug().noquote() << "Simulation: a balance export of the simulated instrument to certify it with:" << sample;
}

} // namespace

BleRadioBackend *simulatedBleRadio()
{
    return &simulation()->radio;
}

bool startSimulatedInstrument(SerialManager &serialManager, BootstrapManager &bootstrapManager)
{
    Simulation *sim = simulation();
    // The fixture release tree stands in for the release server, so that a software update
    // of the demo instrument, or flashing it as a blank board, can be tried end to end.
    const QByteArray tree = QUrl::fromLocalFile(QStringLiteral(NERRA_SIM_RELEASE_DIR)).toString().toUtf8();
    const bool haveTree = QFileInfo::exists(QStringLiteral(NERRA_SIM_RELEASE_DIR));
    if (!qEnvironmentVariableIsSet("NERRA_RELEASE_BASE_URL") && haveTree)
        qputenv("NERRA_RELEASE_BASE_URL", tree);
    if (!qEnvironmentVariableIsSet("NERRA_BOOT_BASE_URL") && haveTree)
        qputenv("NERRA_BOOT_BASE_URL", tree);
    // The stand-in flashing tool tells the simulated board it was flashed.
    if (QFileInfo(QStringLiteral(NERRA_SIM_FLASHING_TOOL)).isExecutable())
        bootstrapManager.setToolProgram(QStringLiteral(NERRA_SIM_FLASHING_TOOL));
    if (QCoreApplication::arguments().contains(QStringLiteral("--blank-board")))
        sim->usb.setBlankBoard(true);
    if (!sim->usb.plugIn()) {
        qWarning().noquote() << "Simulation: no pseudo-terminal for the simulated instrument:" << sim->usb.errorString();
        return false;
    }
    sim->lister.addInstrument(&sim->usb);
    serialManager.setPortLister(&sim->lister);
    offerSampleWorkbook(sim->state);
    qDebug().noquote() << "Simulation: simulated instrument" << sim->state.hardwareId() << "plugged in on"
                       << sim->usb.portName();
    return true;
}
