#include "app/simulation.h"

#include "devices/serial/serialmanager.h"
#include "instrumentstate.h"
#include "simulatedportlister.h"
#include "usbinstrument.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

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

} // namespace

bool startSimulatedInstrument(SerialManager &serialManager)
{
    auto *simulation = new Simulation(QCoreApplication::instance());
    const QString folder = QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
                               .filePath(QStringLiteral("simulated-instrument"));
    const bool fresh = !QFileInfo::exists(QDir(folder).filePath(QStringLiteral("state.json")));
    if (!simulation->state.setStorageFolder(folder))
        qWarning().noquote() << "Simulation: cannot keep the simulated instrument in" << folder
                             << "— its state lives in memory only";
    if (fresh)
        addDemoProtocols(simulation->state);

    if (!simulation->usb.plugIn()) {
        qWarning().noquote() << "Simulation: no pseudo-terminal for the simulated instrument:"
                             << simulation->usb.errorString();
        delete simulation;
        return false;
    }
    simulation->lister.addInstrument(&simulation->usb);
    serialManager.setPortLister(&simulation->lister);
    qDebug().noquote() << "Simulation: simulated instrument" << simulation->state.hardwareId() << "plugged in on"
                       << simulation->usb.portName();
    return true;
}
