#pragma once

class MfgManager;
class SerialManager;

// The few direct links start-up makes between controllers, kept out of main() so that
// they can be tested without starting the whole program.
namespace StartupWiring {

// USB is offered only where manufacturing mode (or the customer-facing switch) allows it:
// the link gets the current answer now and every later change at once.
void feedUsbAvailability(MfgManager &mfgManager, SerialManager &serialManager);

} // namespace StartupWiring
