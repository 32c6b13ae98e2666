#include "serialtestclient.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

SerialTestClient::SerialTestClient(QObject *parent)
    : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialTestClient::readAvailable);
    connect(&m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // A pseudo-terminal whose other end closed reports a read error again and again;
        // either error means the port is gone.
        if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
            return;
        readAvailable();
        m_port.close();
        m_hungUp = true;
        emit hungUp();
    });
}

SerialTestClient::~SerialTestClient()
{
    close();
}

bool SerialTestClient::open(const QString &portName)
{
    close();
    m_lines.clear();
    m_buffer.clear();
    m_next = 0;
    m_hungUp = false;
    m_port.setPortName(portName);
    m_port.setBaudRate(QSerialPort::Baud115200);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    return m_port.open(QIODevice::ReadWrite);
}

void SerialTestClient::close()
{
    if (m_port.isOpen())
        m_port.close();
}

void SerialTestClient::writeLine(const QString &line)
{
    writeRaw(line.toUtf8() + '\n');
}

void SerialTestClient::writeRaw(const QByteArray &bytes)
{
    if (m_port.isOpen())
        m_port.write(bytes);
}

void SerialTestClient::sendHandshake()
{
    writeLine(QStringLiteral("\x1bNERRA:CONNECT"));
}

void SerialTestClient::readAvailable()
{
    if (!m_port.isOpen())
        return;
    m_buffer.append(m_port.readAll());
    int end;
    while ((end = m_buffer.indexOf('\n')) >= 0) {
        QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        line.replace('\r', QByteArray());
        const QString text = QString::fromUtf8(line).trimmed();
        if (text.isEmpty())
            continue;
        m_lines.append(text);
        emit lineReceived(text);
    }
}

bool SerialTestClient::waitForLines(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_lines.size() - m_next < count) {
        if (deadline.hasExpired() || !m_port.isOpen())
            return m_lines.size() - m_next >= count;
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &SerialTestClient::lineReceived, &loop, &QEventLoop::quit);
        connect(this, &SerialTestClient::hungUp, &loop, &QEventLoop::quit);
        timer.start(int(qMax<qint64>(1, deadline.remainingTime())));
        loop.exec();
    }
    return true;
}

QString SerialTestClient::takeLine(int timeoutMs)
{
    if (!waitForLines(1, timeoutMs))
        return QString();
    return m_lines.at(m_next++);
}

QStringList SerialTestClient::takeLines(int count, int timeoutMs)
{
    waitForLines(count, timeoutMs);
    const int available = qMin(count, m_lines.size() - m_next);
    const QStringList taken = m_lines.mid(m_next, available);
    m_next += available;
    return taken;
}

QStringList SerialTestClient::takeUntil(const std::function<bool(const QString &)> &match, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (int i = m_next;; ++i) {
        if (i >= m_lines.size() && !waitForLines(i - m_next + 1, int(qMax<qint64>(0, deadline.remainingTime()))))
            return {};
        if (match(m_lines.at(i))) {
            const QStringList taken = m_lines.mid(m_next, i - m_next + 1);
            m_next = i + 1;
            return taken;
        }
    }
}

QStringList SerialTestClient::takeUntilPrefix(const QString &prefix, int timeoutMs)
{
    return takeUntil([&prefix](const QString &line) { return line.startsWith(prefix); }, timeoutMs);
}

bool SerialTestClient::waitForHangUp(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!m_hungUp && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &SerialTestClient::hungUp, &loop, &QEventLoop::quit);
        timer.start(int(qMax<qint64>(1, deadline.remainingTime())));
        loop.exec();
    }
    return m_hungUp;
}
