#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;

// The instrument's end of a pseudo-terminal. The program opens the other end ("/dev/pts/N")
// with QSerialPort as it would a USB serial port. The terminal is raw (no echo, no line
// translation), and nothing is written while no program holds the port open, because a
// pseudo-terminal keeps such bytes and would hand them to the next program that opens it.
class PseudoTerminal : public QObject
{
    Q_OBJECT

public:
    explicit PseudoTerminal(QObject *parent = nullptr);
    ~PseudoTerminal() override;

    // Creates the terminal pair; false (with errorString) when the system refuses.
    bool open();
    void close();
    bool isOpen() const { return m_master >= 0; }
    QString path() const { return m_path; }
    QString errorString() const { return m_error; }

    // A program has the port open.
    bool isAttached() const { return m_attached; }
    // Queues bytes for the program; dropped while nobody is attached.
    void write(const QByteArray &bytes);
    // Bytes written but not yet taken by the terminal.
    qint64 bytesToWrite() const { return m_outgoing.size(); }
    // Bytes the program has not read yet, queued here or in the terminal; 0 when no program
    // is attached, -1 when the program has locked the port against a second look.
    int unreadByProgram() const;

    // How often a detached terminal looks for a program opening it.
    void setAttachPollInterval(int ms);

signals:
    void attached();
    void detached();
    void received(const QByteArray &bytes);
    // Everything queued has been handed to the terminal.
    void drained();

private:
    void pollAttachment();
    void readAvailable();
    void flushOutgoing();
    void setAttached(bool nowAttached);
    bool peerHungUp() const;

    int m_master = -1;
    QString m_path;
    QString m_error;
    bool m_attached = false;
    QByteArray m_outgoing;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_attachPoll = nullptr;
};
