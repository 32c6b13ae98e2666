#pragma once

class SerialManager;

// nerra-desktop --simulate: a simulated instrument in this process, on a pseudo-terminal
// that the USB link's own poll finds and opens exactly as it would a plugged-in pipette.
// The instrument keeps its state (files, calibration, preferences) in the application's
// data folder, so what was sent to it is still there at the next start. It lives until
// the application object goes. False, with a warning, when no pseudo-terminal can be made.
bool startSimulatedInstrument(SerialManager &serialManager);
