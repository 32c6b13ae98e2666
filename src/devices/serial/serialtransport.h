#pragma once

#include "devices/serial/seriallineframer.h"

#include <QObject>
#include <QString>

class QSerialPort;

// The bottom of the USB link: one serial port, opened at the instrument's settings, bytes
// out, lines in (framed by SerialLineFramer), and the port's loss. It knows nothing of
// sessions or commands.
class SerialTransport : public QObject
{
    Q_OBJECT

public:
    explicit SerialTransport(QObject *parent = nullptr);

    // Opens `portName` at 115200 8N1; false with errorString() (and permissionDenied())
    // when the system refuses.
    bool open(const QString &portName);
    // Closes the port without a signal; lines still being delivered are dropped.
    void close(bool flushFirst);
    bool isOpen() const;
    QString errorString() const;
    bool permissionDenied() const;

    void write(const QByteArray &bytes);
    void flush();

    // Bumped whenever the port closes, so lines read before cannot act on a new link.
    quint64 generation() const { return m_generation; }
    quint64 bytesSent() const { return m_bytesSent; }
    quint64 bytesReceived() const { return m_bytesReceived; }
    int maxLineLength() const { return m_framer.maxLineLength(); }
    void setMaxLineLength(int bytes) { m_framer.setMaxLineLength(bytes); }

signals:
    // Announced before the lines they carry.
    void bytesArrived(qint64 count);
    void lineReceived(const QString &line);
    // A line longer than the framer keeps was dropped whole.
    void lineDropped();
    // The device went away (a vanished USB device, or a pseudo-terminal whose other end
    // closed): the owner must close the port.
    void lost(const QString &reason);
    // Any other error of the open port.
    void failed(const QString &reason);

private:
    void readAvailable();
    void onError(int error);

    QSerialPort *m_port;
    SerialLineFramer m_framer;
    bool m_closing = false;
    quint64 m_generation = 0;
    quint64 m_bytesSent = 0;
    quint64 m_bytesReceived = 0;
};
