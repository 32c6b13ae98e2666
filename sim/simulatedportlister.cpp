#include "simulatedportlister.h"

#include "usbinstrument.h"

void SimulatedPortLister::addInstrument(UsbInstrument *instrument)
{
    if (instrument && !m_instruments.contains(instrument))
        m_instruments.append(instrument);
}

void SimulatedPortLister::removeInstrument(UsbInstrument *instrument)
{
    m_instruments.removeAll(instrument);
}

QList<SerialPortEntry> SimulatedPortLister::availablePorts() const
{
    QList<SerialPortEntry> ports;
    if (m_includeSystemPorts)
        ports = SerialPortLister::availablePorts();
    for (const QPointer<UsbInstrument> &instrument : m_instruments) {
        if (!instrument)
            continue;
        if (!instrument->ghostPortName().isEmpty())
            ports.append(SerialPortEntry{instrument->ghostPortName(), UsbInstrument::VendorId, UsbInstrument::ProductId});
        if (instrument->isPresent())
            ports.append(SerialPortEntry{instrument->portName(), UsbInstrument::VendorId, UsbInstrument::ProductId});
    }
    return ports;
}
