#include "app/startupwiring.h"

#include "app/mfgmanager.h"
#include "devices/serial/serialmanager.h"

void StartupWiring::feedUsbAvailability(MfgManager &mfgManager, SerialManager &serialManager)
{
    serialManager.setAvailability(mfgManager.usbAvailable());
    QObject::connect(&mfgManager, &MfgManager::usbAvailableChanged, &serialManager,
                     [&mfgManager, &serialManager] { serialManager.setAvailability(mfgManager.usbAvailable()); });
}
