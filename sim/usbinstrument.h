#pragma once

#include "instrumentstate.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class PseudoTerminal;
class QTimer;

// The simulated instrument's USB side: a pseudo-terminal that speaks the instrument's
// line protocol over the state it is given. Outside a session it prints console text;
// ESC + "NERRA:CONNECT" opens a session answered with "NERRA:READY:" and the identity
// record, in which it answers "CMD:" lines as the firmware does, including the firmware
// update commands, its restart into the new image and the roll-back of an image that was
// never confirmed. Its faults reproduce what real instruments do wrong on the wire.
class UsbInstrument : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 VendorId = 0x303A;
    static constexpr quint16 ProductId = 0x1001;

    explicit UsbInstrument(InstrumentState *state, QObject *parent = nullptr);
    ~UsbInstrument() override;

    InstrumentState *state() const { return m_state; }

    // The cable: plugging in makes a new port appear, unplugging makes it vanish.
    bool plugIn();
    void unplug();
    bool isPresent() const;
    QString portName() const;
    QString errorString() const { return m_error; }

    // Restarts the instrument: the port disappears, the firmware slots take effect, and
    // after the restart delay the port comes back under a new path. An unplugged
    // instrument has no power to restart with: nothing happens until it is plugged in.
    void restart();

    bool inSession() const { return m_inSession; }
    // Every byte the program sent since the port appeared (or the last clearReceived()),
    // exactly as it arrived; the oldest bytes go beyond MaxReceivedRecord.
    static constexpr int MaxReceivedRecord = 4 * 1024 * 1024;
    QByteArray receivedBytes() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    bool otaInProgress() const { return m_ota.active; }
    // Console text shown outside a session; ignored inside one, as the firmware does.
    void printConsole(const QString &text);
    // A "LOG:" diagnostic line; only inside a session.
    void sendLog(const QString &text);

    void setChunkSize(int bytes) { m_chunkSize = bytes > 0 ? bytes : m_chunkSize; }
    int chunkSize() const { return m_chunkSize; }
    void setSayBye(bool sayBye) { m_sayBye = sayBye; }
    void setRestartDelay(int ms) { m_restartDelay = ms; }
    // The longest a restart or a vanishing port waits for the program to read the last
    // reply.
    void setShutdownGrace(int ms) { m_shutdownGrace = ms; }
    void setBootTextInterval(int ms);
    void setAttachPollInterval(int ms);

    // Faults. Each stays in force until clearFaults().
    // A board without firmware: boot loader text with "invalid header: 0xffffffff", again
    // and again, and no answer to anything.
    void setBlankBoard(bool blank);
    bool blankBoard() const { return m_blankBoard; }
    // No answer to anything, the handshake included.
    void setSilent(bool silent) { m_silent = silent; }
    // Stops answering once a line starting with prefix has arrived for the given time
    // (until a restart).
    void setSilentAfter(const QString &prefix, int occurrence = 1);
    // Answers a line starting with prefix ("CMD:GET_CAL", "END:PUT_PROTOCOL", ...) with
    // "ERR:" + reason instead of its normal reply; times < 0 means every time.
    void setErrorReply(const QString &prefix, const QString &reason, int times = -1);
    // Console text that runs into the ready line, on the same line.
    void setMergedReadyPrefix(const QString &consoleText) { m_mergedReadyPrefix = consoleText; }
    // Sends json in place of the identity record after "NERRA:READY:" (malformed JSON, a
    // key missing or of the wrong type); a null text sends the real record again.
    void setReadyRecordText(const QString &json) { m_readyRecordText = json; }
    // The port vanishes after that many body lines of command ("PUT_PROTOCOL",
    // "GET_PROTOCOL", "LIST_PROTOCOLS", "PUT_CERT", "GET_CERT", "PUT_CERT_FILE",
    // "GET_CERT_FILE"), whichever way the body travels.
    void setVanishMidBody(const QString &command, int afterLines);
    // The body line with that index (from 0) of a reply ("GET_CERT_FILE", ...) arrives
    // with a character changed, as noise on the line would change it.
    void setDamagedBodyLine(const QString &command, int line);
    // A "LOG:" line goes out between the lines of every reply body.
    void setLogsInBodies(bool logs) { m_logsInBodies = logs; }
    // The nth firmware chunk of an update (from 1) is stored damaged, so verification
    // fails with "CHECKSUM"; or is refused with "ERR:BADCHUNK".
    void setCorruptChunk(int chunkNumber) { m_corruptChunk = chunkNumber; }
    void setRejectChunk(int chunkNumber) { m_rejectChunk = chunkNumber; }
    // Answers a line starting with prefix with exactly `reply` (a count out of range, a
    // reply of the wrong kind); times < 0 means every time.
    void setReply(const QString &prefix, const QString &reply, int times = -1);
    // A new image that crashes at its first start: the instrument restarts once more and
    // comes back with the image it ran before.
    void setNewImageCrashes(bool crashes) { m_newImageCrashes = crashes; }
    // After its next restart the instrument answers nothing, not even the handshake.
    void setDeafAfterRestart(bool deaf) { m_deafAfterRestart = deaf; }
    // After its next restart the old port stays listed, as a system slow to drop a
    // re-enumerated device lists it, though nothing answers there any more.
    void setGhostAfterRestart(bool ghost) { m_ghostAfterRestart = ghost; }
    QString ghostPortName() const { return m_ghostPort; }
    // Every answer leaves this much later.
    void setReplyDelay(int ms) { m_replyDelay = qMax(0, ms); }
    void clearFaults();

signals:
    // The port appeared under a new path, or vanished (empty path).
    void portNameChanged(const QString &portName);
    void attachedChanged(bool attached);
    void lineReceived(const QString &line);
    void sessionChanged(bool inSession);
    void restarted();

private:
    enum class Body { None, Protocol, Certificate, CertificateFile };

    struct Outgoing
    {
        QByteArray bytes;
        std::function<void()> action;
        qint64 due = 0; // nanoseconds on m_clock
    };

    struct ErrorReply
    {
        QString reason;
        int remaining = -1;
    };

    struct OtaTransfer
    {
        bool active = false;
        bool verified = false;
        int size = 0;
        QByteArray expectedHash;
        QByteArray image;
        int chunks = 0;
    };

    void attachTerminal(PseudoTerminal *terminal);
    void dropTerminal();
    void onAttached();
    void onReceived(const QByteArray &bytes);
    void handleLine(const QString &rawLine);
    void handleConsoleInput(const QString &line);
    void handleSessionLine(const QString &line);
    void handleBodyLine(const QString &line);
    void handleCommand(const QString &command, const QString &argument);
    void finishBody();
    bool injectFault(const QString &line);
    void resetSession();
    void setInSession(bool inSession);

    void commandList();
    void commandGetProtocol(const QString &name);
    void commandPutProtocol(const QString &name);
    void commandDeleteProtocol(const QString &name);
    void commandSetCalibration(const QString &argument);
    void commandSetPreference(const QString &argument);
    void commandGetCertificate();
    void commandGetCertificateFile();
    void commandOtaBegin(const QString &argument);
    void commandOtaChunk(const QString &argument);
    void commandOtaEnd();
    void commandOtaApply();

    void sendReady();
    void sendBody(const QString &command, const QStringList &payloads);
    void send(const QString &line);
    void sendConsole(const QString &text);
    void then(std::function<void()> action);
    void enqueue(Outgoing item);
    void pumpOutgoing();
    void restartSoon();
    // Runs action once the program has read everything sent so far (or after the
    // shutdown grace at the latest): a device that goes away has sent its last words.
    void whenRead(std::function<void()> action);
    void printBootText();

    InstrumentState *m_state;
    QPointer<PseudoTerminal> m_terminal;
    QPointer<PseudoTerminal> m_reserved;
    QString m_error;
    QByteArray m_rxBuffer;
    QByteArray m_received;
    bool m_inSession = false;
    bool m_greetingPending = true;
    Body m_body = Body::None;
    QString m_bodyName;
    QStringList m_bodyLines;
    OtaTransfer m_ota;
    QList<Outgoing> m_outgoing;
    QTimer *m_outgoingTimer;
    QTimer *m_bootTextTimer;
    QTimer *m_restartTimer;
    QElapsedTimer m_clock;

    int m_chunkSize = 256;
    bool m_sayBye = true;
    int m_restartDelay = 1500;
    int m_shutdownGrace = 1000;
    int m_attachPollInterval = 20;
    bool m_pluggedIn = false;
    // Counts unplugs, so that work waiting for the program to read ends with the power.
    quint64 m_powerCycle = 0;

    bool m_blankBoard = false;
    bool m_silent = false;
    bool m_silencedNow = false;
    QString m_silentAfterPrefix;
    int m_silentAfterRemaining = 0;
    QHash<QString, ErrorReply> m_errorReplies;
    // Raw replies by prefix; ErrorReply's reason is the whole line here.
    QHash<QString, ErrorReply> m_replies;
    bool m_newImageCrashes = false;
    bool m_deafAfterRestart = false;
    bool m_ghostAfterRestart = false;
    QString m_ghostPort;
    QString m_mergedReadyPrefix;
    QString m_readyRecordText;
    QString m_vanishCommand;
    int m_vanishAfterLines = -1;
    QString m_damagedCommand;
    int m_damagedLine = -1;
    bool m_logsInBodies = false;
    int m_corruptChunk = 0;
    int m_rejectChunk = 0;
    int m_replyDelay = 0;
};
