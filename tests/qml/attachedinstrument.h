#pragma once

#include "devices/serial/serialmanager.h"
#include "instrumentstate.h"
#include "simulatedportlister.h"
#include "usbinstrument.h"

#include <QTest>

// A simulated instrument plugged into a link, the way the poll finds a real one. It
// detaches the link's port lister when it goes.
class AttachedInstrument
{
public:
    explicit AttachedInstrument(SerialManager &link) : usb(&state), m_link(link) { lister.setIncludeSystemPorts(false); }
    ~AttachedInstrument() { m_link.setPortLister(nullptr); }

    // Plugs in and waits until the link has opened the port and finished its first
    // identity handshake, so the instrument is back at its console.
    bool connect()
    {
        return plugIn() && QTest::qWaitFor([this] { return !m_link.property("usbDeviceId").toString().isEmpty(); }, 10000)
               && QTest::qWaitFor([this] { return !usb.inSession(); }, 5000);
    }

    // Plugs in for the link's poll to find, without waiting for it.
    bool plugIn()
    {
        if (!usb.plugIn())
            return false;
        lister.addInstrument(&usb);
        m_link.setPollInterval(50);
        m_link.setPortLister(&lister);
        m_link.setAvailability(true);
        return true;
    }

    InstrumentState state;
    UsbInstrument usb;
    SimulatedPortLister lister;

private:
    SerialManager &m_link;
};
