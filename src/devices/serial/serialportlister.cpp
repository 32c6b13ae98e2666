#include "devices/serial/serialportlister.h"

#include <QSerialPortInfo>

QList<SerialPortEntry> SerialPortLister::availablePorts() const
{
    QList<SerialPortEntry> entries;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        SerialPortEntry entry;
        entry.portName = info.portName();
        entry.vendorId = info.hasVendorIdentifier() ? info.vendorIdentifier() : 0;
        entry.productId = info.hasProductIdentifier() ? info.productIdentifier() : 0;
        entries.append(entry);
    }
    return entries;
}
