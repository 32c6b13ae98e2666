#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVariantMap>

class DeviceConnection;
class InstrumentSession;

// Why an operation ended before its answer; decides the words of its failure report.
enum class SessionEnd {
    DeviceLost,    // the port or radio link went away
    PortClosed,    // the link was closed on purpose
    SessionClosed, // the session was closed or replaced
    Cancelled,     // cancelTransfer
    NoReply,       // the instrument went silent after the command
    NoHandshake,   // the instrument never said it was ready
};

// What an instrument session needs from the link that carries it: a way to send, the
// link's answers (its signals and properties), and the link's say on session events. The
// USB link implements it over its serial port; the Bluetooth LE link over its command
// characteristic.
class SessionLink
{
public:
    virtual ~SessionLink() = default;

    // A command line (its line end is the link's business) and raw bytes (the handshake,
    // a file body).
    virtual void writeLine(const QString &line) = 0;
    virtual void writeBytes(const QByteArray &bytes) = 0;

    // The answers every link gives through the same signals.
    virtual DeviceConnection &connection() = 0;
    virtual void setStatusMessage(const QString &message) = 0;
    virtual void setTransferring(bool transferring) = 0;
    virtual void setTransferProgress(int progress) = 0;
    virtual void setCalibrationData(const QVariantMap &calibration) = 0;
    virtual void setCalibrationDate(const QString &date) = 0;
    // A preference the instrument confirmed it stored; the link mirrors what it shows.
    virtual void preferenceSaved(const QString &key, const QString &value) = 0;

    // The ready line came; `record` is its identity record, null when it did not parse.
    virtual void readyLineSeen(const QJsonObject *record) = 0;
    // The session is ready and no command waits for it.
    virtual void readyWithoutOperation() = 0;
    // The ready line did not come and no command waited for it.
    virtual void handshakeTimedOut() = 0;
    // A line while the firmware-update channel is open.
    virtual void firmwareLine(const QString &line) = 0;

    // A calibration write's coefficient was confirmed; `remaining` are still to go. Links
    // that show progress per coefficient take it from here.
    virtual void calibrationWriteProgress(int remaining) { Q_UNUSED(remaining) }
    // The running operation has given its answer (or was ended): the session is free.
    virtual void operationEnded() {}
};

// One command family on the instrument's line protocol: its command line, the reading of
// its replies and its outcome. The session runs one at a time, feeds it the lines meant
// for it, settles the session when it is over and then lets it answer, so that a listener
// of the answer finds the link free for the next operation.
class SessionOperation
{
public:
    enum class Step {
        Continue,     // more to come
        CloseSession, // over; the session ends with it
        KeepSession,  // over; the session stays open for the next command
    };

    virtual ~SessionOperation() = default;

    // The caller-facing name, as failure reports give it ("listProtocols").
    virtual QString name() const = 0;
    // The name a reply that lost a line is failed under.
    virtual QString replyName() const { return name(); }
    // A delete ends its own session: closing the session is left to it.
    virtual bool closesOwnSession() const { return false; }

    // The session is ready: the command goes out.
    virtual void start(InstrumentSession &session) = 0;
    virtual Step take(InstrumentSession &session, const QString &line) = 0;
    // The answer of an operation that came to its end by a reply.
    virtual void finished(SessionLink &link) = 0;
    // The answer of an operation cut short.
    virtual void ended(SessionLink &link, SessionEnd cause) = 0;

protected:
    // ": timeout waiting for reply" and the like, after the operation's name.
    static QString endSuffix(SessionEnd cause);
    // The failure of a transfer cut short, as the transfer's caller shows it.
    static QString transferEndReason(SessionEnd cause);
    void reportEnd(SessionLink &link, SessionEnd cause) const;
};
