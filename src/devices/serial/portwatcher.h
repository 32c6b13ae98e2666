#pragma once

#include "devices/serial/serialportlister.h"

#include <QObject>
#include <QStringList>

class QTimer;

// Looks for the instrument's port: every poll reads the port list (through the lister,
// so tests and the simulation can stand in), tells which ports carry the instrument's USB
// ids, and keeps the reopen hold-off during which nothing may be reopened (an instrument
// restarting, a handle that went stale). It opens nothing itself.
class PortWatcher : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 InstrumentVendorId = 0x303A;
    static constexpr quint16 InstrumentProductId = 0x1001;

    explicit PortWatcher(QObject *parent = nullptr);

    // Not owned; nullptr restores the system's list.
    void setLister(SerialPortLister *lister);
    SerialPortLister *lister() const { return m_lister; }
    void setPollInterval(int ms);
    void setHoldOffTime(int ms) { m_holdOffTime = ms; }
    int holdOffTime() const { return m_holdOffTime; }

    void start();
    void poll();

    QStringList availablePorts() const { return m_availablePorts; }
    bool instrumentPresent() const { return m_instrumentPresent; }

    // No reopening for the hold-off time; `expiryLog` is logged when it ends.
    void holdOff(const QString &expiryLog);
    bool holdingOff() const { return m_holdingOff; }

signals:
    void availablePortsChanged();
    void instrumentPresentChanged();
    // After every poll: the ports carrying the instrument's ids, first one first.
    void polled(const QStringList &instrumentPorts);

private:
    SerialPortLister m_systemLister;
    SerialPortLister *m_lister;
    QTimer *m_pollTimer;
    QTimer *m_holdOffTimer;
    QStringList m_availablePorts;
    bool m_instrumentPresent = false;
    bool m_holdingOff = false;
    QString m_holdOffExpiryLog;
    int m_holdOffTime = 4000;
};
