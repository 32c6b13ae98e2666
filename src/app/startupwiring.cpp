#include "app/startupwiring.h"

#include "app/mfgmanager.h"
#include "app/updatemanager.h"
#include "devices/serial/serialmanager.h"

void StartupWiring::feedUsbAvailability(MfgManager &mfgManager, SerialManager &serialManager)
{
    serialManager.setAvailability(mfgManager.usbAvailable());
    QObject::connect(&mfgManager, &MfgManager::usbAvailableChanged, &serialManager,
                     [&mfgManager, &serialManager] { serialManager.setAvailability(mfgManager.usbAvailable()); });
}

void StartupWiring::feedMfgMode(MfgManager &mfgManager, UpdateManager &updateManager)
{
    updateManager.setMfgMode(mfgManager.mfgMode());
    QObject::connect(&mfgManager, &MfgManager::mfgModeChanged, &updateManager,
                     [&mfgManager, &updateManager] { updateManager.setMfgMode(mfgManager.mfgMode()); });
}
