#pragma once

class MfgManager;
class SerialManager;
class UpdateManager;

// The few direct links start-up makes between controllers, kept out of main() so that
// they can be tested without starting the whole program.
namespace StartupWiring {

// USB is offered only where manufacturing mode (or the customer-facing switch) allows it:
// the link gets the current answer now and every later change at once.
void feedUsbAvailability(MfgManager &mfgManager, SerialManager &serialManager);

// The release channel a technician chose counts only in manufacturing mode: the
// self-updater follows the switch now and at every change.
void feedMfgMode(MfgManager &mfgManager, UpdateManager &updateManager);

} // namespace StartupWiring
