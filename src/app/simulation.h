#pragma once

class BleRadioBackend;
class BootstrapManager;
class SerialManager;

// nerra-desktop --simulate: a simulated instrument in this process, reached over both
// links as a real one is. Its USB side is a pseudo-terminal that the USB link's own poll
// finds and opens exactly as it would a plugged-in pipette; its Bluetooth LE side
// advertises on a simulated radio that the Bluetooth LE link is given in place of the
// computer's, and the fixture release tree stands in for the release server. The
// instrument keeps its state (files, calibration, preferences) in the
// application's data folder, so what was sent to it is still there at the next start. It
// lives until the application object goes.

// The simulated radio, with the instrument on the air; made on first use.
BleRadioBackend *simulatedBleRadio();
// Plugs the instrument in (as a board without firmware with --blank-board; the flashing
// controller then uses a stand-in tool). False, with a warning, when no pseudo-terminal
// can be made.
bool startSimulatedInstrument(SerialManager &serialManager, BootstrapManager &bootstrapManager);
