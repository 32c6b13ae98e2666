#include "devices/serial/portwatcher.h"

#include <QDebug>
#include <QTimer>

PortWatcher::PortWatcher(QObject *parent)
    : QObject(parent)
    , m_lister(&m_systemLister)
    , m_pollTimer(new QTimer(this))
    , m_holdOffTimer(new QTimer(this))
{
    m_pollTimer->setInterval(2000);
    connect(m_pollTimer, &QTimer::timeout, this, &PortWatcher::poll);
    m_holdOffTimer->setSingleShot(true);
    connect(m_holdOffTimer, &QTimer::timeout, this, [this] {
        m_holdingOff = false;
        qDebug().noquote() << m_holdOffExpiryLog;
    });
}

void PortWatcher::setLister(SerialPortLister *lister)
{
    m_lister = lister ? lister : &m_systemLister;
}

void PortWatcher::setPollInterval(int ms)
{
    m_pollTimer->setInterval(ms);
}

void PortWatcher::start()
{
    m_pollTimer->start();
    poll();
}

void PortWatcher::poll()
{
    const QList<SerialPortEntry> entries = m_lister->availablePorts();
    QStringList names;
    QStringList instrumentPorts;
    for (const SerialPortEntry &entry : entries) {
        names.append(entry.portName);
        if (entry.vendorId == InstrumentVendorId && entry.productId == InstrumentProductId)
            instrumentPorts.append(entry.portName);
    }
    if (names != m_availablePorts) {
        m_availablePorts = names;
        emit availablePortsChanged();
    }
    const bool present = !instrumentPorts.isEmpty();
    if (present != m_instrumentPresent) {
        m_instrumentPresent = present;
        emit instrumentPresentChanged();
    }
    emit polled(instrumentPorts);
}

void PortWatcher::holdOff(const QString &expiryLog)
{
    m_holdingOff = true;
    m_holdOffExpiryLog = expiryLog;
    m_holdOffTimer->start(m_holdOffTime);
}
