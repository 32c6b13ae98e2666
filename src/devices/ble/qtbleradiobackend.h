#pragma once

#include "devices/ble/bleradiobackend.h"

// The real radio: each object it makes wraps the matching Qt Bluetooth class one to one,
// on the system's default adapter. Making the backend touches nothing; Qt Bluetooth is
// first reached when the link asks for a discovery, an adapter or a central, so a program
// that never uses Bluetooth LE never wakes the system's Bluetooth stack.
class QtBleRadioBackend : public BleRadioBackend
{
public:
    BleDiscovery *createDiscovery(QObject *parent) override;
    BleAdapter *createAdapter(QObject *parent) override;
    BleCentral *createCentral(const QBluetoothDeviceInfo &remote, QObject *parent) override;
};
