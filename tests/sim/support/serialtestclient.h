#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <functional>

// The program's end of a serial link, kept plain for tests: it opens a port with
// QSerialPort at the instrument's settings, writes lines and collects the lines that come
// back (CR dropped, blank lines skipped). It knows nothing of sessions or commands.
class SerialTestClient : public QObject
{
    Q_OBJECT

public:
    explicit SerialTestClient(QObject *parent = nullptr);
    ~SerialTestClient() override;

    bool open(const QString &portName);
    void close();
    bool isOpen() const { return m_port.isOpen(); }
    QString errorString() const { return m_port.errorString(); }

    void writeLine(const QString &line);
    void writeRaw(const QByteArray &bytes);
    // ESC + "NERRA:CONNECT".
    void sendHandshake();

    // Every line received since open().
    QStringList lines() const { return m_lines; }
    // Lines not yet taken.
    QStringList pending() const { return m_lines.mid(m_next); }
    // Takes the next line, waiting for it up to timeoutMs; empty when none came.
    QString takeLine(int timeoutMs = 5000);
    // Takes count lines; fewer when they do not come in time.
    QStringList takeLines(int count, int timeoutMs = 5000);
    // Takes lines up to and including the first one that matches; every line taken is
    // returned. Empty when no such line came in time.
    QStringList takeUntil(const std::function<bool(const QString &)> &match, int timeoutMs = 5000);
    QStringList takeUntilPrefix(const QString &prefix, int timeoutMs = 5000);
    // Waits until the port reports that the other end went away.
    bool waitForHangUp(int timeoutMs = 5000);

signals:
    void lineReceived(const QString &line);
    void hungUp();

private:
    void readAvailable();
    bool waitForLines(int count, int timeoutMs);

    QSerialPort m_port;
    QByteArray m_buffer;
    QStringList m_lines;
    int m_next = 0;
    bool m_hungUp = false;
};
