#pragma once

#include "devices/deviceconnection.h"
#include "devices/instrumentidentity.h"
#include "devices/instrumentsession.h"
#include "devices/serial/portwatcher.h"
#include "devices/serial/protocolcommands.h"
#include "devices/serial/serialportlister.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>

class QTimer;
class SerialTransport;

// The USB link to one instrument. It finds the instrument's serial port by its USB ids
// (PortWatcher), opens it by itself (SerialTransport), shows what the instrument prints
// (terminal mode) and runs every operation as a short session (InstrumentSession):
// ESC + "NERRA:CONNECT", the ready line with the identity record, one "CMD:" line and its
// answer, then usually "NERRA:DISCONNECT". One operation runs at a time; protocolState is
// the only guard. Everything is driven by the port's signals and single-shot timers, so no
// call ever blocks and no wait lasts forever.
class SerialManager : public DeviceConnection, private SessionLink
{
    Q_OBJECT
    Q_PROPERTY(bool usbDevicePresent READ usbDevicePresent NOTIFY usbDevicePresentChanged)
    Q_PROPERTY(QString portName READ portName NOTIFY portNameChanged)
    Q_PROPERTY(QString output READ output NOTIFY outputChanged)
    Q_PROPERTY(QStringList availablePorts READ availablePorts NOTIFY availablePortsChanged)
    Q_PROPERTY(QVariantMap calibrationData READ calibrationData NOTIFY calibrationDataChanged)
    Q_PROPERTY(QString calibrationDate READ calibrationDate NOTIFY calibrationDateChanged)
    Q_PROPERTY(QString usbDeviceName READ usbDeviceName NOTIFY usbDeviceInfoChanged)
    Q_PROPERTY(QString usbDeviceSN READ usbDeviceSN NOTIFY usbDeviceInfoChanged)
    Q_PROPERTY(QString usbDeviceFW READ usbDeviceFW NOTIFY usbDeviceInfoChanged)
    Q_PROPERTY(int usbDeviceColor READ usbDeviceColor NOTIFY usbDeviceInfoChanged)
    Q_PROPERTY(QString usbDeviceSSID READ usbDeviceSSID NOTIFY usbDeviceInfoChanged)
    Q_PROPERTY(QString usbDeviceId READ usbDeviceId NOTIFY usbDeviceInfoChanged)
    Q_PROPERTY(bool usbHasCert READ usbHasCert NOTIFY usbDeviceInfoChanged)
    Q_PROPERTY(int usbOtaVersion READ usbOtaVersion NOTIFY usbDeviceInfoChanged)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(bool isTransferring READ isTransferring NOTIFY isTransferringChanged)
    Q_PROPERTY(int transferProgress READ transferProgress NOTIFY transferProgressChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)

public:
    // The session's states under the names the interface and the log know.
    enum ProtocolState {
        Idle = InstrumentSession::Idle,
        Connecting = InstrumentSession::Connecting,
        Ready = InstrumentSession::Ready,
        PutAwaitAck = InstrumentSession::PutAwaitAck,
        PutSending = InstrumentSession::PutSending,
        PutAwaitSaved = InstrumentSession::PutAwaitSaved,
        Listing = InstrumentSession::Listing,
        GettingProtocol = InstrumentSession::GettingProtocol,
        GettingCal = InstrumentSession::GettingCal,
        GettingPrefs = InstrumentSession::GettingPrefs,
        GettingInfo = InstrumentSession::GettingInfo,
        CertPutAwaitAck = InstrumentSession::CertPutAwaitAck,
        CertPutAwaitSaved = InstrumentSession::CertPutAwaitSaved,
        CertFilePutAwaitAck = InstrumentSession::CertFilePutAwaitAck,
        CertFilePutAwaitSaved = InstrumentSession::CertFilePutAwaitSaved,
        GettingCert = InstrumentSession::GettingCert,
        GettingCertFile = InstrumentSession::GettingCertFile,
        OtaActive = InstrumentSession::OtaActive,
    };
    Q_ENUM(ProtocolState)

    static constexpr quint16 InstrumentVendorId = PortWatcher::InstrumentVendorId;
    static constexpr quint16 InstrumentProductId = PortWatcher::InstrumentProductId;
    static constexpr int MaxOutputLength = 100000;
    // An instrument's files are a few kilobytes and it holds a few dozen: a reply beyond
    // these is a peer gone wrong, and must not grow the program without end.
    static constexpr int MaxProtocolBytes = ProtocolGetCommand::MaxBytes;
    static constexpr int MaxListedProtocols = ProtocolListCommand::MaxLines;
    static constexpr int TrimmedOutputLength = 80000;
    static constexpr int MaxInfoFetchAttempts = 4;
    static constexpr int StaleHandshakeLimit = 3;

    explicit SerialManager(QObject *parent = nullptr);
    ~SerialManager() override;

    bool usbDevicePresent() const;
    QString portName() const { return m_portName; }
    QString output() const { return m_output; }
    QStringList availablePorts() const;
    QVariantMap calibrationData() const { return m_calibrationData; }
    QString calibrationDate() const { return m_calibrationDate; }
    QString usbDeviceName() const { return m_identity.name; }
    QString usbDeviceSN() const { return m_identity.serialNumber; }
    QString usbDeviceFW() const { return m_identity.firmware; }
    int usbDeviceColor() const { return m_identity.color; }
    QString usbDeviceSSID() const { return m_identity.ssid; }
    QString usbDeviceId() const { return m_identity.id; }
    bool usbHasCert() const { return m_identity.hasCertificate; }
    int usbOtaVersion() const { return m_identity.otaVersion; }

    bool isConnected() const override { return m_isConnected; }
    bool isTransferring() const override { return m_isTransferring; }
    int transferProgress() const override { return m_transferProgress; }
    QString statusMessage() const override { return m_statusMessage; }

    ProtocolState protocolState() const { return ProtocolState(m_session->state()); }
    bool isAvailable() const { return m_available; }
    bool bootstrapActive() const { return m_bootstrapActive; }
    bool reopenHoldOff() const;
    bool isBlankBoard() const { return m_blankBoardDetected; }
    bool otaSessionPending() const { return m_otaSessionPending; }
    int infoFetchAttempts() const { return m_infoFetchAttempts; }
    // Bytes that crossed the open port in each direction since construction.
    quint64 bytesSent() const;
    quint64 bytesReceived() const;

    // The manufacturing-mode gate, fed by start-up; false until then.
    void setAvailability(bool allowed);
    // Set by the firmware updater while the instrument restarts into a new image.
    bool otaRestartPending() const { return m_otaRestartPending; }
    void setOtaRestartPending(bool pending);

    // Where the poll looks for ports; not owned. nullptr restores the system's list.
    void setPortLister(SerialPortLister *lister);
    SerialPortLister *portLister() const;

    // Timers; the defaults are what ships, tests shorten them.
    void setPollInterval(int ms);
    void setInfoFetchDelay(int ms) { m_infoFetchDelay = ms; }
    // The 3000 ms time-outs: device-info and OTA handshakes, and every operation's wait
    // for the ready line except the download's.
    void setHandshakeTimeout(int ms) { m_handshakeTimeout = ms; }
    void setDownloadTimeout(int ms) { m_downloadTimeout = ms; }
    void setCertificateFileTimeout(int ms) { m_certificateFileTimeout = ms; }
    // Once the ready line has come, how long a command may go without its reply (or a
    // listing or download without its next line) before the session is given up.
    void setReplyTimeout(int ms) { m_session->setReplyTimeout(ms); }
    int replyTimeout() const { return m_session->replyTimeout(); }
    void setInfoRetryStep(int ms) { m_infoRetryStep = ms; }
    void setReopenHoldOffTime(int ms);
    void setMaxLineLength(int bytes);

    // Link layer.
    Q_INVOKABLE void connectToPort(const QString &portName);
    Q_INVOKABLE void disconnect();
    Q_INVOKABLE void rescan();
    Q_INVOKABLE void refreshDeviceInfo();
    Q_INVOKABLE void forgetUsbDevice();
    Q_INVOKABLE void setBootstrapActive(bool active);
    Q_INVOKABLE void sendChar(const QString &ch);
    Q_INVOKABLE void sendLine(const QString &line);
    Q_INVOKABLE void clearOutput();
    Q_INVOKABLE void connectProtocol();
    Q_INVOKABLE void disconnectProtocol();
    Q_INVOKABLE void beginUsbOta();
    Q_INVOKABLE void sendOtaLine(const QString &line);
    Q_INVOKABLE void endUsbOta(bool sessionLost = false);

    // Command sessions.
    void putProtocol(const QString &filename, const QByteArray &data) override;
    void getProtocol(const QString &filename) override;
    void listProtocols() override;
    void deleteProtocol(const QString &filename) override;
    void getDeviceInfo() override;
    void getCalibration() override;
    void setCalibration(int index, float value) override;
    bool fetchCalibration() override;
    void applyCalibration(const QVariantList &coefPairs, const QString &calDate) override;
    void getPrefs() override;
    void setPref(const QString &key, const QString &value) override;
    void cancelTransfer() override;
    void reboot() override;

    // The instrument's QA certificate, each a session of its own.
    Q_INVOKABLE void putCertificate(const QString &recordJson, const QString &xlsxBase64);
    Q_INVOKABLE void getCertificate();
    Q_INVOKABLE void getCertificateFile();
    Q_INVOKABLE void deleteCertificate();
    // Writes the workbook of the last download whole, or leaves the file as it was.
    Q_INVOKABLE bool saveLastCertFile(const QString &pathOrUrl);

signals:
    void calibrationDataChanged();
    void calibrationDateChanged();
    void usbDevicePresentChanged();
    void portNameChanged();
    void outputChanged();
    void availablePortsChanged();
    void usbDeviceInfoChanged();
    void blankBoardDetected(const QString &portName);
    void certificateSaved(bool success);
    void certificateReceived(const QString &recordJson);
    void otaLineReceived(const QString &line);
    void otaSessionReady();
    void otaSessionFailed(const QString &reason);
    void certificateFileReceived(bool ok);
    void certificateDeleted();

private slots:
    void onPortLost(const QString &reason);
    void onPolled(const QStringList &instrumentPorts);
    void fetchDeviceInfo();

private:
    // What a handshake without a command is for.
    enum class Opening { Nothing, InfoFetch, OtaOpen, Session };

    // Link layer.
    void closePortAfterLoss(bool fromPoll);
    void closePort(bool flushFirst);
    void setConnected(bool connected, const QString &portName);
    void tryAutoConnect(const QString &instrumentPort);
    void retryInfoFetch(const QString &reason);
    void checkStaleHandle(const QString &reason);
    void appendOutput(const QString &text);
    void handleLine(const QString &line);
    void handleTerminalLine(const QString &line);
    void startHandshake(Opening opening, std::unique_ptr<SessionOperation> operation, int timeoutMs);
    void endOperation(SessionEnd cause, const std::function<void()> &settle);
    bool checkSessionOperation(const QString &operation);
    bool checkCertificateOperation(const QString &operation);

    // SessionLink.
    void writeLine(const QString &line) override;
    void writeBytes(const QByteArray &bytes) override;
    DeviceConnection &connection() override { return *this; }
    void setStatusMessage(const QString &message) override;
    void setTransferring(bool transferring) override;
    void setTransferProgress(int progress) override;
    void setCalibrationData(const QVariantMap &calibration) override;
    void setCalibrationDate(const QString &date) override;
    void preferenceSaved(const QString &key, const QString &value) override;
    void readyLineSeen(const QJsonObject *record) override;
    void readyWithoutOperation() override;
    void handshakeTimedOut() override;
    void firmwareLine(const QString &line) override;

    PortWatcher *m_watcher;
    SerialTransport *m_transport;
    InstrumentSession *m_session;
    QTimer *m_infoFetchTimer;

    bool m_isConnected = false;
    QString m_portName;
    QString m_output;
    InstrumentIdentity m_identity;
    bool m_otaSessionPending = false;
    bool m_isTransferring = false;
    int m_transferProgress = 0;
    QString m_statusMessage;
    QVariantMap m_calibrationData;
    QString m_calibrationDate;
    QByteArray m_lastCertificateFile;
    Opening m_opening = Opening::Nothing;

    int m_invalidHeaderCount = 0;
    bool m_blankBoardDetected = false;
    int m_infoFetchAttempts = 0;
    bool m_bootstrapActive = false;
    bool m_otaRestartPending = false;
    int m_staleHandshakeFailures = 0;
    QString m_unopenablePort;   // the last port an open failed on
    bool m_handshakeSeen = false;
    bool m_available = false;

    int m_infoFetchDelay = 600;
    int m_handshakeTimeout = 3000;
    int m_downloadTimeout = 5000;
    int m_certificateFileTimeout = 8000;
    int m_infoRetryStep = 2000;
};
