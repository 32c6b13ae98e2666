#pragma once

#include <QList>
#include <QString>

struct SerialPortEntry
{
    QString portName;
    quint16 vendorId = 0;
    quint16 productId = 0;
};

// Where the USB link learns which serial ports exist. The default asks the system; the
// simulated instrument substitutes one that also lists its pseudo-terminal.
class SerialPortLister
{
public:
    virtual ~SerialPortLister() = default;
    virtual QList<SerialPortEntry> availablePorts() const;
};
