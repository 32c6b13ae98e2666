#pragma once

// Shared by the USB link's test programs: the link against the simulated instrument on a
// real pseudo-terminal, a bare pseudo-terminal peer that says whatever a test wants, port
// listers, and a log recorder. Every wait is on a condition, never a fixed sleep.

#include "devices/serial/serialmanager.h"
#include "instrumentstate.h"
#include "isolatedenvironment.h"
#include "spytexts.h"
#include "pseudoterminal.h"
#include "simulatedportlister.h"
#include "usbinstrument.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSignalSpy>
#include <QTest>

#include <cstdio>
#include <functional>
#include <memory>

// The wire as lines: the bytes split at LF, nothing trimmed (ESC, CR and empty lines stay).
inline QStringList wireLines(const QByteArray &bytes)
{
    QStringList lines;
    const QList<QByteArray> pieces = bytes.split('\n');
    for (int i = 0; i < pieces.size(); ++i) {
        if (i == pieces.size() - 1 && pieces.at(i).isEmpty())
            break;
        lines.append(QString::fromUtf8(pieces.at(i)));
    }
    return lines;
}

inline QString handshakeLine()
{
    return QStringLiteral("\x1bNERRA:CONNECT");
}

inline QString disconnectLine()
{
    return QStringLiteral("NERRA:DISCONNECT");
}

// Records the process's diagnostic lines while it lives; warnings still reach the console,
// debug lines only through dumpTail(). Captures nest: an inner one records for the outer too.
class LogCapture
{
public:
    LogCapture()
        : m_outer(s_instance)
    {
        s_instance = this;
        if (!m_outer)
            s_original = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        s_instance = m_outer;
        if (!m_outer)
            qInstallMessageHandler(s_original);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    bool contains(const QString &text) const { return count(text) > 0; }
    int count(const QString &text) const
    {
        QMutexLocker lock(&m_mutex);
        int found = 0;
        for (const QString &message : m_messages)
            found += message.contains(text) ? 1 : 0;
        return found;
    }
    // The last lines, for the report of a failed test.
    void dumpTail(int lines) const
    {
        QMutexLocker lock(&m_mutex);
        for (int i = qMax(0, int(m_messages.size()) - lines); i < m_messages.size(); ++i)
            std::fprintf(stderr, "  log: %s\n", qPrintable(m_messages.at(i)));
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        for (LogCapture *capture = s_instance; capture; capture = capture->m_outer) {
            QMutexLocker lock(&capture->m_mutex);
            capture->m_messages.append(message);
        }
        if (type != QtDebugMsg && s_original)
            s_original(type, context, message);
    }

    inline static LogCapture *s_instance = nullptr;
    inline static QtMessageHandler s_original = nullptr;
    LogCapture *m_outer;
    mutable QMutex m_mutex;
    QStringList m_messages;
};

// A fixed list of ports.
class StaticPortLister : public SerialPortLister
{
public:
    QList<SerialPortEntry> availablePorts() const override { return entries; }
    QList<SerialPortEntry> entries;
};

// The simulated instruments' ports, minus those a test hides; a port that vanishes from the
// list while its terminal stays open looks like a device that came back under a new name.
class FilteringPortLister : public SerialPortLister
{
public:
    explicit FilteringPortLister(const SerialPortLister *inner)
        : m_inner(inner)
    {
    }
    QList<SerialPortEntry> availablePorts() const override
    {
        QList<SerialPortEntry> shown;
        for (const SerialPortEntry &entry : m_inner->availablePorts()) {
            if (!hidden.contains(entry.portName))
                shown.append(entry);
        }
        return shown;
    }
    QStringList hidden;

private:
    const SerialPortLister *m_inner;
};

// A bare pseudo-terminal standing in for an instrument that says exactly what a test
// makes it say.
class FakeInstrument : public QObject
{
public:
    FakeInstrument()
    {
        m_terminal.setAttachPollInterval(5);
        QObject::connect(&m_terminal, &PseudoTerminal::received, this, [this](const QByteArray &bytes) {
            received.append(bytes);
            m_buffer.append(bytes);
            int end;
            while ((end = m_buffer.indexOf('\n')) >= 0) {
                QByteArray line = m_buffer.left(end);
                m_buffer.remove(0, end + 1);
                line.replace('\r', QByteArray());
                const QString text = QString::fromUtf8(line);
                lines.append(text);
                if (onLine)
                    onLine(text);
            }
        });
    }

    bool open() { return m_terminal.open(); }
    void close() { m_terminal.close(); }
    QString path() const { return m_terminal.path(); }
    bool isAttached() const { return m_terminal.isAttached(); }
    void sendRaw(const QByteArray &bytes)
    {
        if (m_terminal.isAttached())
            sent += bytes.size();
        m_terminal.write(bytes);
    }
    void sendLine(const QString &line) { sendRaw(line.toUtf8() + '\n'); }
    SerialPortEntry portEntry() const
    {
        return SerialPortEntry{path(), SerialManager::InstrumentVendorId, SerialManager::InstrumentProductId};
    }

    std::function<void(const QString &)> onLine;
    QStringList lines;
    QByteArray received;
    // Bytes handed to an attached program.
    qint64 sent = 0;

private:
    PseudoTerminal m_terminal;
    QByteArray m_buffer;
};

inline void useFastTimers(SerialManager &link)
{
    link.setPollInterval(40);
    link.setInfoFetchDelay(10);
    link.setHandshakeTimeout(3000);
    link.setDownloadTimeout(3000);
    link.setInfoRetryStep(40);
    link.setReopenHoldOffTime(300);
}

// The link and one simulated instrument on a pseudo-terminal, found by the link's own poll.
class SimulatedLink
{
public:
    SimulatedLink()
        : usb(std::make_unique<UsbInstrument>(&state))
        , link(std::make_unique<SerialManager>())
    {
        state.setHardwareId(QStringLiteral("A1B2C3D4E5F6"));
        state.setPreference(QStringLiteral("name"), QStringLiteral("Bench"));
        state.setPreference(QStringLiteral("sn"), QStringLiteral("NS-0042"));
        usb->setAttachPollInterval(5);
        usb->setRestartDelay(50);
        usb->setShutdownGrace(100);
        usb->setBootTextInterval(40);
        lister.setIncludeSystemPorts(false);
        lister.addInstrument(usb.get());
        link->setPortLister(&filter);
        useFastTimers(*link);
    }

    // Plugs the instrument in, lets the link find it and waits until the link's own
    // identity fetch has ended, then forgets what the instrument received so far.
    bool connect()
    {
        if (!usb->isPresent() && !usb->plugIn())
            return false;
        link->setAvailability(true);
        link->rescan();
        if (!QTest::qWaitFor([this] { return link->isConnected(); }, 5000))
            return false;
        return waitForIdentityFetch();
    }

    bool waitForIdentityFetch()
    {
        const bool done = QTest::qWaitFor(
            [this] {
                return link->protocolState() == SerialManager::Idle && !link->usbDeviceId().isEmpty()
                    && usb->receivedBytes().endsWith("NERRA:DISCONNECT\n") && !usb->inSession();
            },
            5000);
        usb->clearReceived();
        return done;
    }

    QStringList wire() const { return wireLines(usb->receivedBytes()); }

    // Waits until the instrument has received exactly these lines.
    bool waitForWire(const QStringList &expected, int timeoutMs = 5000) const
    {
        return QTest::qWaitFor([&] { return wire() == expected; }, timeoutMs);
    }

    InstrumentState state;
    std::unique_ptr<UsbInstrument> usb;
    SimulatedPortLister lister;
    // What the link sees: the simulated instruments minus the ports a test hides.
    FilteringPortLister filter{&lister};
    std::unique_ptr<SerialManager> link;
};

// One test case's sandbox, log and simulated link; a failed case prints the log's tail.
struct LinkCase
{
    ~LinkCase()
    {
        if (QTest::currentTestFailed())
            log.dumpTail(200);
    }
    IsolatedEnvironment env;
    LogCapture log;
    SimulatedLink sim;
};

// The link against a FakeInstrument that answers the handshake with readyLine and any
// other line with the replies of the first prefix it starts with (or not at all).
class FakeLink
{
public:
    FakeLink()
    {
        fake.onLine = [this](const QString &line) {
            if (line.contains(QLatin1String("NERRA:CONNECT"))) {
                if (!readyLine.isEmpty())
                    fake.sendLine(readyLine);
                return;
            }
            for (const auto &reply : qAsConst(replies)) {
                if (!line.startsWith(reply.first))
                    continue;
                for (const QString &answer : reply.second)
                    fake.sendLine(answer);
                return;
            }
        };
        useFastTimers(link);
    }

    // Opens the terminal and lets the link find and open it.
    bool open()
    {
        if (!fake.open())
            return false;
        lister.entries = {fake.portEntry()};
        link.setPortLister(&lister);
        link.setAvailability(true);
        return link.isConnected();
    }

    // Waits until the link's own identity fetch has ended, then forgets the lines so far.
    bool waitForIdentityFetch()
    {
        const bool done = QTest::qWaitFor(
            [this] { return fake.lines.contains(disconnectLine()) && link.protocolState() == SerialManager::Idle; }, 5000);
        fake.lines.clear();
        return done;
    }

    // Declared first, so that the terminal outlives the link's last words.
    FakeInstrument fake;
    StaticPortLister lister;
    SerialManager link;
    QString readyLine = QStringLiteral("NERRA:READY:{\"id\":\"001122334455\"}");
    QList<QPair<QString, QStringList>> replies;
};

// The signals an operation can end with, so that a table row can name the one expected.
class OutcomeSpies
{
public:
    explicit OutcomeSpies(SerialManager *link)
        : errors(link, &DeviceConnection::errorOccurred)
        , m_spies{{QStringLiteral("transferFailed"), new QSignalSpy(link, &DeviceConnection::transferFailed)},
                  {QStringLiteral("transferComplete"), new QSignalSpy(link, &DeviceConnection::transferComplete)},
                  {QStringLiteral("calibrationApplied"), new QSignalSpy(link, &DeviceConnection::calibrationApplied)},
                  {QStringLiteral("calibrationReceived"), new QSignalSpy(link, &DeviceConnection::calibrationReceived)},
                  {QStringLiteral("setPrefResult"), new QSignalSpy(link, &DeviceConnection::setPrefResult)},
                  {QStringLiteral("protocolListReceived"), new QSignalSpy(link, &DeviceConnection::protocolListReceived)},
                  {QStringLiteral("protocolReceived"), new QSignalSpy(link, &DeviceConnection::protocolReceived)},
                  {QStringLiteral("protocolDeleted"), new QSignalSpy(link, &DeviceConnection::protocolDeleted)},
                  {QStringLiteral("otaSessionFailed"), new QSignalSpy(link, &SerialManager::otaSessionFailed)}}
    {
    }
    ~OutcomeSpies() { qDeleteAll(m_spies); }
    OutcomeSpies(const OutcomeSpies &) = delete;
    OutcomeSpies &operator=(const OutcomeSpies &) = delete;

    QStringList errorMessages() const { return spyTexts(errors); }

    // Empty when exactly the expected outcome signal came once (with these arguments, when
    // given) and no other did; otherwise what came instead.
    QString mismatch(const QString &expected, const QVariantList &arguments = {}) const
    {
        QStringList problems;
        for (auto it = m_spies.cbegin(); it != m_spies.cend(); ++it) {
            const int wanted = it.key() == expected ? 1 : 0;
            if (it.value()->count() != wanted)
                problems.append(QStringLiteral("%1 came %2 times").arg(it.key()).arg(it.value()->count()));
            else if (wanted && !arguments.isEmpty() && it.value()->constFirst() != arguments)
                problems.append(QStringLiteral("%1 came with other arguments").arg(it.key()));
        }
        if (!expected.isEmpty() && !m_spies.contains(expected))
            problems.append(QStringLiteral("no spy for %1").arg(expected));
        return problems.join(QStringLiteral("; "));
    }

    QSignalSpy errors;

private:
    QMap<QString, QSignalSpy *> m_spies;
};
