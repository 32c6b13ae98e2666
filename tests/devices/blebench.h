#pragma once

// One simulated instrument on a simulated radio, the device registry and the Bluetooth LE
// link over them, with the link's waits shortened: the fixture of the link's tests.

#include "bleinstrument.h"
#include "devices/ble/blemanager.h"
#include "devices/deviceinfo.h"
#include "devices/devicemanager.h"
#include "instrumentstate.h"
#include "isolatedenvironment.h"
#include "simulatedbleradio.h"
#include "spytexts.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

inline const QString HardwareId = QStringLiteral("A1B2C3D4E5F6");
inline const QString CouldNotConnect = QStringLiteral("Could not connect to device. Device may be out of range or powered off.");
inline const QString NotFound = QStringLiteral("Device not found. Please ensure device is powered on and nearby.");

inline BleTimings fastTimings()
{
    BleTimings t;
    t.scan = 300;
    t.restart = 20;
    t.retry = 20;
    t.connect = 150;
    t.setup = 150;
    t.rpaReconnect = 20;
    t.health = 50;
    t.disconnectAck = 200;
    return t;
}

// One simulated instrument on the air, the registry and the link.
struct BleBench
{
    BleBench()
    {
        state.setHardwareId(HardwareId);
        state.setPreference(QStringLiteral("name"), QStringLiteral("Bench"));
        instrument = radio.addInstrument(&state);
        ble = std::make_unique<BleManager>(&devices, nullptr, &radio);
        ble->setTimings(fastTimings());
        errorSpy = std::make_unique<QSignalSpy>(ble.get(), &DeviceConnection::errorOccurred);
    }
    ~BleBench() { ble.reset(); }

    QStringList names() const
    {
        QStringList result;
        for (QObject *object : devices.devices())
            result << qobject_cast<DeviceInfo *>(object)->name();
        return result;
    }
    DeviceInfo *entry(int index) const { return devices.deviceAt(index); }
    // A paired entry for the instrument, as a previous run left it.
    void pairInstrument()
    {
        devices.addDevice(new DeviceInfo(instrument->advertisedName(), instrument->address().toString()));
    }
    bool scanOnce()
    {
        const int before = radio.scansStarted();
        ble->startScan();
        if (radio.scansStarted() != before + 1)
            return false;
        radio.finishScan();
        return QTest::qWaitFor([&] { return !ble->isScanning(); }, 2000);
    }
    bool connect(int index = 0)
    {
        ble->connectToDevice(index);
        return QTest::qWaitFor([&] { return ble->isConnected(); }, 3000);
    }
    QStringList errors() const { return spyTexts(*errorSpy); }

    IsolatedEnvironment env;
    InstrumentState state;
    SimulatedBleRadio radio;
    BleInstrument *instrument = nullptr;
    DeviceManager devices;
    std::unique_ptr<BleManager> ble;
    std::unique_ptr<QSignalSpy> errorSpy;
};

