#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>

class QTimer;

// Decides whether the program runs in manufacturing mode and whether USB instrument
// access is offered at all. The mode comes on by itself on the manufacturing Wi-Fi
// network (checked every few seconds) or with the PIN, and goes off only by hand; it is
// never stored, so every start begins with it off.
class MfgManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool mfgMode READ mfgMode NOTIFY mfgModeChanged)
    Q_PROPERTY(bool networkDetected READ networkDetected NOTIFY networkDetectedChanged)
    Q_PROPERTY(bool usbAvailable READ usbAvailable NOTIFY usbAvailableChanged)

public:
    static constexpr int DefaultPollInterval = 3000;
    // How long a missing Wi-Fi name reader is believed missing before it is looked for again.
    static constexpr int DefaultReaderRecheckInterval = 5 * 60 * 1000;
    // A reader that has not answered by then is stopped and reads as no network.
    static constexpr int DefaultReaderTimeout = 10000;

    explicit MfgManager(QObject *parent = nullptr);
    ~MfgManager() override;

    bool mfgMode() const { return m_mfgMode; }
    bool networkDetected() const { return m_networkDetected; }
    bool usbAvailable() const { return m_usbCustomerFacing || m_mfgMode; }

    Q_INVOKABLE bool activateWithPin(const QString &pin);
    Q_INVOKABLE void deactivate();

    // The program that names the current Wi-Fi network, printing NetworkManager's terse
    // listing ("yes:" and the name for the active network). Empty on Windows by default,
    // where the WLAN API answers instead. Changing it checks the network at once.
    QString ssidProgram() const { return m_ssidProgram; }
    void setSsidProgram(const QString &program);

    int pollInterval() const;
    void setPollInterval(int milliseconds);
    void setReaderRecheckInterval(int milliseconds);
    void setReaderTimeout(int milliseconds);

signals:
    void mfgModeChanged();
    void networkDetectedChanged();
    void usbAvailableChanged();

private slots:
    void checkNetwork();
    void onSsidProcessFinished(int exitCode, QProcess::ExitStatus status);

private:
    void applySsid(const QString &ssid);
    void setMfgMode(bool on);
    bool readerAvailable();
    void markReaderMissing();
    void startSsidProcess();
    void releaseSsidProcess();
    static QString activeSsid(const QString &listing);

    bool m_mfgMode = false;
    bool m_networkDetected = false;
    bool m_usbCustomerFacing = true;
    QTimer *m_pollTimer = nullptr;
    QProcess *m_ssidProcess = nullptr;
    QString m_ssidProgram;
    QElapsedTimer m_ssidProcessAge;
    QElapsedTimer m_readerMissingSince;
    int m_readerRecheckInterval = DefaultReaderRecheckInterval;
    int m_readerTimeout = DefaultReaderTimeout;
};
