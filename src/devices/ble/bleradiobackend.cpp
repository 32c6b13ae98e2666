#include "bleradiobackend.h"

#include <QMetaType>

void registerBleMetaTypes()
{
    qRegisterMetaType<QBluetoothDeviceInfo>();
    qRegisterMetaType<QBluetoothUuid>();
    qRegisterMetaType<QBluetoothDeviceDiscoveryAgent::Error>();
    qRegisterMetaType<QBluetoothLocalDevice::HostMode>();
    qRegisterMetaType<QLowEnergyController::Error>();
    qRegisterMetaType<QLowEnergyService::ServiceState>();
    qRegisterMetaType<QLowEnergyService::ServiceError>();
    qRegisterMetaType<QLowEnergyService::WriteMode>();
}
