#pragma once

#include "devices/sessionoperation.h"

#include <QDebug>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QTimer;

// A session with the instrument over any line channel: the handshake and its ready record,
// one operation at a time, the time-outs, and the one place where an operation ends —
// by its reply, an "ERR:", silence, the link going away or the caller — and gives exactly
// one answer. It never touches a port or a radio: the link sends what it is given and
// feeds back what arrives.
class InstrumentSession : public QObject
{
    Q_OBJECT

public:
    // The numbers are what the log lines print; 9 is unused.
    enum State {
        Idle = 0,
        Connecting = 1,
        Ready = 2,
        PutAwaitAck = 3,
        PutSending = 4,
        PutAwaitSaved = 5,
        Listing = 6,
        GettingProtocol = 7,
        GettingCal = 8,
        GettingPrefs = 10,
        GettingInfo = 11,
        CertPutAwaitAck = 12,
        CertPutAwaitSaved = 13,
        CertFilePutAwaitAck = 14,
        CertFilePutAwaitSaved = 15,
        GettingCert = 16,
        GettingCertFile = 17,
        OtaActive = 18,
    };

    static const QByteArray HandshakeBytes;
    static const QString DisconnectLine;

    // `logName` leads every log line ("USB:").
    InstrumentSession(SessionLink &link, const QString &logName, QObject *parent = nullptr);
    ~InstrumentSession() override;

    SessionLink &link() { return m_link; }
    State state() const { return m_state; }
    void setState(State state);
    SessionOperation *operation() const { return m_operation.get(); }
    // An open session with nothing running: a command may go out at once.
    bool readyForCommand() const { return m_state == Ready && !m_operation; }

    // Sends the handshake and waits for the ready line; `operation` (may be null) starts
    // on it. A wait of 0 ms waits without a time-out.
    void open(std::unique_ptr<SessionOperation> operation, int timeoutMs);
    // Waits for a ready line without sending the handshake (one the instrument sends by
    // itself after a restart).
    void expectReady(int timeoutMs);
    // Starts `operation` in the open session.
    void run(std::unique_ptr<SessionOperation> operation);
    // "NERRA:DISCONNECT": the instrument goes back to terminal mode. A session the link
    // holds open (a radio link has no terminal mode to go back to) stays Ready instead.
    void close();
    void setHeldOpen(bool held) { m_heldOpen = held; }
    void sendLine(const QString &line);

    // A line of the session (the link keeps terminal text and "LOG:" lines for itself).
    void takeLine(const QString &line);
    // The link dropped a line longer than `maxLength`.
    void lineDropped(int maxLength);

    // Ends the running operation, if any, for `cause`: `settle` puts the link in order,
    // then the operation answers.
    void end(SessionEnd cause, const std::function<void()> &settle);

    // The status and error of an "ERR:" reply to a single-line command.
    void reportRefusal(const QString &line);

    void setReplyTimeout(int ms) { m_replyTimeout = ms; }
    int replyTimeout() const { return m_replyTimeout; }
    void stopTimers();

    QDebug debug() const;

private:
    void takeReadyLine(const QString &line);
    void finish(SessionOperation::Step step);
    bool awaitingReply() const;
    void updateReplyTimer();
    void onHandshakeTimeout();
    void onReplyTimeout();

    SessionLink &m_link;
    QString m_logName;
    State m_state = Idle;
    std::unique_ptr<SessionOperation> m_operation;
    QTimer *m_handshakeTimer;
    QTimer *m_replyTimer;
    int m_replyTimeout = 10000;
    // A line of the reply being collected was dropped: the reply is damaged.
    bool m_damaged = false;
    int m_droppedLineLimit = 0;
    bool m_heldOpen = false;
};
