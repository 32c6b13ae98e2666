#include "devices/serial/serialtransport.h"

#include <QDebug>
#include <QSerialPort>

SerialTransport::SerialTransport(QObject *parent)
    : QObject(parent)
    , m_port(new QSerialPort(this))
{
    connect(m_port, &QSerialPort::readyRead, this, &SerialTransport::readAvailable);
    connect(m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        onError(int(error));
    });
}

bool SerialTransport::open(const QString &portName)
{
    m_port->setPortName(portName);
    m_port->setBaudRate(QSerialPort::Baud115200);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port->open(QIODevice::ReadWrite))
        return false;
    m_framer.reset();
    return true;
}

void SerialTransport::close(bool flushFirst)
{
    if (m_port->isOpen()) {
        // Errors raised while the port goes away are no news.
        m_closing = true;
        if (flushFirst)
            m_port->flush();
        m_port->close();
        m_closing = false;
    }
    m_framer.reset();
    ++m_generation;
}

bool SerialTransport::isOpen() const
{
    return m_port->isOpen();
}

QString SerialTransport::errorString() const
{
    return m_port->errorString();
}

bool SerialTransport::permissionDenied() const
{
    return m_port->error() == QSerialPort::PermissionError;
}

void SerialTransport::write(const QByteArray &bytes)
{
    if (!m_port->isOpen())
        return;
    const qint64 written = m_port->write(bytes);
    if (written > 0)
        m_bytesSent += quint64(written);
}

void SerialTransport::flush()
{
    if (m_port->isOpen())
        m_port->flush();
}

void SerialTransport::readAvailable()
{
    const quint64 generation = m_generation;
    const QByteArray bytes = m_port->readAll();
    m_bytesReceived += quint64(bytes.size());
    emit bytesArrived(bytes.size());
    const QStringList lines = m_framer.feed(bytes);
    if (m_framer.takeOverflowStarted())
        qWarning() << "USB: [RX] line longer than" << m_framer.maxLineLength()
                   << "bytes without a line end — dropping the whole line";
    for (const QString &line : lines) {
        if (line.isNull())
            emit lineDropped();
        else
            emit lineReceived(line);
        // A receiver closed or replaced the port: the rest belongs to a link that is gone.
        if (generation != m_generation)
            return;
    }
    if (const qint64 dropped = m_framer.takeDroppedBytes())
        qDebug() << "USB: [RX] dropped" << dropped << "bytes of an over-long line";
}

void SerialTransport::onError(int error)
{
    if (error == QSerialPort::NoError || !m_port->isOpen() || m_closing)
        return;
    // A vanished USB device reports a resource error; a pseudo-terminal whose other end
    // went away reports read errors without end. Either way the device is gone.
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError)
        emit lost(m_port->errorString());
    else
        emit failed(m_port->errorString());
}
