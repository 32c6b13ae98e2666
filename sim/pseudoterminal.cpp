#include "pseudoterminal.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal(QObject *parent)
    : QObject(parent)
    , m_attachPoll(new QTimer(this))
{
    m_attachPoll->setInterval(20);
    connect(m_attachPoll, &QTimer::timeout, this, &PseudoTerminal::pollAttachment);
}

PseudoTerminal::~PseudoTerminal()
{
    close();
}

void PseudoTerminal::setAttachPollInterval(int ms)
{
    m_attachPoll->setInterval(ms);
}

bool PseudoTerminal::open()
{
    if (isOpen())
        return true;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        if (master >= 0)
            ::close(master);
        return false;
    }
    const char *name = ::ptsname(master);
    m_path = QString::fromLocal8Bit(name);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);

    // Raw like a USB serial device: bytes pass unchanged in both directions.
    termios settings {};
    ::tcgetattr(master, &settings);
    ::cfmakeraw(&settings);
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    ::tcsetattr(master, TCSANOW, &settings);

    // A terminal whose other end was never opened does not report a hang-up; opening and
    // closing it once makes "nobody attached" visible from this side.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0)
        ::close(slave);

    m_master = master;
    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    m_readNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PseudoTerminal::readAvailable);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PseudoTerminal::flushOutgoing);
    m_attachPoll->start();
    return true;
}

void PseudoTerminal::close()
{
    if (!isOpen())
        return;
    m_attachPoll->stop();
    // close() may run inside a notifier's own signal: let the notifiers go later.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    ::close(m_master);
    m_master = -1;
    m_outgoing.clear();
    m_path.clear();
    setAttached(false);
}

bool PseudoTerminal::peerHungUp() const
{
    pollfd entry {m_master, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLHUP);
}

int PseudoTerminal::unreadByProgram() const
{
    if (!isOpen() || !m_attached)
        return 0; // nobody left to read it
    // The terminal's queue towards the program is only visible from the program's side;
    // a second descriptor on that side sees it (and closing it hangs nothing up, since
    // the program still holds its own).
    const int peer = ::open(m_path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (peer < 0)
        return -1;
    int queued = 0;
    const int result = ::ioctl(peer, FIONREAD, &queued);
    ::close(peer);
    return result == 0 ? queued + int(m_outgoing.size()) : -1;
}

void PseudoTerminal::pollAttachment()
{
    if (isOpen() && !peerHungUp())
        setAttached(true);
}

void PseudoTerminal::setAttached(bool nowAttached)
{
    if (m_attached == nowAttached)
        return;
    m_attached = nowAttached;
    if (isOpen()) {
        // While nobody is attached the terminal reports a hang-up without end; look for
        // a new program on a timer instead.
        m_readNotifier->setEnabled(nowAttached);
        if (nowAttached)
            m_attachPoll->stop();
        else
            m_attachPoll->start();
    }
    if (!nowAttached)
        m_outgoing.clear();
    if (nowAttached)
        emit attached();
    else
        emit detached();
}

void PseudoTerminal::readAvailable()
{
    QByteArray bytes;
    char buffer[4096];
    bool hungUp = false;
    for (;;) {
        const ssize_t count = ::read(m_master, buffer, sizeof buffer);
        if (count > 0) {
            bytes.append(buffer, int(count));
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        hungUp = true; // EIO: the program closed the port
        break;
    }
    if (!bytes.isEmpty())
        emit received(bytes);
    if (hungUp && isOpen()) {
        ::tcflush(m_master, TCIOFLUSH);
        setAttached(false);
    }
}

void PseudoTerminal::write(const QByteArray &bytes)
{
    if (!isOpen() || !m_attached || bytes.isEmpty())
        return;
    m_outgoing.append(bytes);
    flushOutgoing();
}

void PseudoTerminal::flushOutgoing()
{
    while (isOpen() && !m_outgoing.isEmpty()) {
        const ssize_t count = ::write(m_master, m_outgoing.constData(), size_t(m_outgoing.size()));
        if (count > 0) {
            m_outgoing.remove(0, int(count));
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
            m_writeNotifier->setEnabled(true);
            return;
        }
        m_outgoing.clear();
        break;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    emit drained();
}
