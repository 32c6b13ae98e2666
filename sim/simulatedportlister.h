#pragma once

#include "devices/serial/serialportlister.h"

#include <QList>
#include <QPointer>

class UsbInstrument;

// Lists the simulated instruments' pseudo-terminals as USB ports with the instrument's
// vendor and product ids, after the system's own ports, so the USB link finds, opens and
// talks to them exactly as it would a real instrument. A simulated instrument that is
// unplugged or restarting is not listed.
class SimulatedPortLister : public SerialPortLister
{
public:
    void addInstrument(UsbInstrument *instrument);
    void removeInstrument(UsbInstrument *instrument);
    // Off in tests that must not see the machine's own serial ports.
    void setIncludeSystemPorts(bool include) { m_includeSystemPorts = include; }

    QList<SerialPortEntry> availablePorts() const override;

private:
    QList<QPointer<UsbInstrument>> m_instruments;
    bool m_includeSystemPorts = true;
};
