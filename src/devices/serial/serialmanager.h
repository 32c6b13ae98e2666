#pragma once

#include "devices/calibrationwrite.h"
#include "devices/deviceconnection.h"
#include "devices/serial/portwatcher.h"
#include "devices/serial/protocolfilereply.h"
#include "devices/serial/protocollistreply.h"
#include "devices/serial/protocolupload.h"
#include "devices/serial/recordreply.h"
#include "devices/serial/serialportlister.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class QTimer;
class SerialTransport;

// The USB link to one instrument. It finds the instrument's serial port by its USB ids,
// opens it by itself, shows what the instrument prints (terminal mode) and runs every
// operation as a short session: ESC + "NERRA:CONNECT", the ready line with the identity
// record, one "CMD:" line and its answer, then usually "NERRA:DISCONNECT". One operation
// runs at a time; protocolState is the only guard. Everything is driven by the port's
// signals and single-shot timers, so no call ever blocks and no wait lasts forever.
class SerialManager : public DeviceConnection
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
    // The numbers are what the log lines print; 9 is unused.
    enum ProtocolState {
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
    Q_ENUM(ProtocolState)

    static constexpr quint16 InstrumentVendorId = PortWatcher::InstrumentVendorId;
    static constexpr quint16 InstrumentProductId = PortWatcher::InstrumentProductId;
    static constexpr int MaxOutputLength = 100000;
    // An instrument's files are a few kilobytes and it holds a few dozen: a reply beyond
    // these is a peer gone wrong, and must not grow the program without end.
    static constexpr int MaxProtocolBytes = ProtocolFileReply::MaxBytes;
    static constexpr int MaxListedProtocols = ProtocolListReply::MaxLines;
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
    QString usbDeviceName() const { return m_usbDeviceName; }
    QString usbDeviceSN() const { return m_usbDeviceSN; }
    QString usbDeviceFW() const { return m_usbDeviceFW; }
    int usbDeviceColor() const { return m_usbDeviceColor; }
    QString usbDeviceSSID() const { return m_usbDeviceSSID; }
    QString usbDeviceId() const { return m_usbDeviceId; }
    bool usbHasCert() const { return m_usbHasCert; }
    int usbOtaVersion() const { return m_usbOtaVersion; }

    bool isConnected() const override { return m_isConnected; }
    bool isTransferring() const override { return m_isTransferring; }
    int transferProgress() const override { return m_transferProgress; }
    QString statusMessage() const override { return m_statusMessage; }

    ProtocolState protocolState() const { return m_protocolState; }
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
    // Once the ready line has come, how long a command may go without its reply (or a
    // listing or download without its next line) before the session is given up.
    void setReplyTimeout(int ms) { m_replyTimeout = ms; }
    int replyTimeout() const { return m_replyTimeout; }
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
    // Which operation the running handshake time-out belongs to.
    enum class Waiting { Nothing, InfoFetch, OtaOpen, Session, Upload, List, Download, Delete, CalFetch, CalWrite, PrefWrite };

    // What an operation cut short was waiting for, so that its caller hears the end.
    struct Abandoned
    {
        bool upload = false;
        QString calibrationWrite; // the operation's name when one ran
        QString calibrationRead;  // likewise
        QString prefKey;
        // Operations whose only failure report is errorOccurred.
        QStringList others;
    };

    // Why operations were cut short; decides the words of their failure reports.
    enum class EndCause { DeviceLost, PortClosed, SessionClosed, Cancelled, NoReply };

    // Link layer.
    void closePortAfterLoss(bool fromPoll);
    void closePort(bool flushFirst);
    void setConnected(bool connected, const QString &portName);
    void startReopenHoldOff(const QString &expiryLog);
    void tryAutoConnect(const QString &instrumentPort);
    void retryInfoFetch(const QString &reason);
    void checkStaleHandle(const QString &reason);
    void appendOutput(const QString &text);
    void writeLine(const QString &line);
    void writeBytes(const QByteArray &bytes);
    void startHandshake(Waiting waiting, int timeoutMs);
    void endSession();
    void setProtocolState(ProtocolState state);
    void setTransferring(bool transferring);
    void setTransferProgress(int progress);
    void setStatusMessage(const QString &message);
    void setCalibrationDate(const QString &date);
    void onSessionTimeout();
    void updateReplyTimer();
    bool awaitingReply() const;
    void onReplyTimeout();

    // Receiving.
    void handleLine(const QString &line);
    void handleDroppedLine();
    void handleProtocolLine(const QString &line);
    void handleTerminalLine(const QString &line);
    void handleHandshakeReply(const QString &line);
    void dispatchReadyLine();
    void handleReadyState(const QString &line);
    void handlePutAwaitAck(const QString &line);
    void handlePutAwaitSaved(const QString &line);
    void failUpload(const QString &reason);
    void handleListing(const QString &line);
    void handleGettingProtocol(const QString &line);
    void handleGettingCal(const QString &line);
    void handleGettingPrefs(const QString &line);
    void handleGettingInfo(const QString &line);

    // Operations.
    bool checkSessionOperation(const QString &operation);
    bool singleLineCommandOutstanding() const;
    void onCoefficientSaved();
    void onPreferenceSaved(const QString &line);
    void onReadyError(const QString &reason);
    void finishCalibrationWrite(bool success);
    Abandoned abandonOperations();
    void reportAbandoned(const Abandoned &abandoned, EndCause cause);

    PortWatcher *m_watcher;
    SerialTransport *m_transport;
    QTimer *m_infoFetchTimer;
    QTimer *m_sessionTimer;
    QTimer *m_replyTimer;

    bool m_isConnected = false;
    QString m_portName;
    QString m_output;
    QString m_usbDeviceName;
    QString m_usbDeviceSN;
    QString m_usbDeviceFW;
    int m_usbDeviceColor = -1;
    QString m_usbDeviceSSID;
    QString m_usbDeviceId;
    bool m_usbHasCert = false;
    int m_usbOtaVersion = 0;
    bool m_otaSessionPending = false;
    ProtocolState m_protocolState = Idle;
    bool m_isTransferring = false;
    int m_transferProgress = 0;
    QString m_statusMessage;

    // Operation fields.
    ProtocolListReply m_listReply;
    ProtocolFileReply m_fileReply;
    QString m_currentFile;
    ProtocolUpload m_upload;
    bool m_listPending = false;
    QString m_pendingGetName;
    QString m_pendingDelName;
    QString m_pendingPrefKey;
    QString m_pendingPrefValue;
    RecordReply m_infoReply{QStringLiteral("GET_INFO")};
    RecordReply m_calReply{QStringLiteral("GET_CAL")};
    RecordReply m_prefsReply{QStringLiteral("GET_PREFS")};
    QVariantMap m_calibrationData;
    QString m_calibrationDate;
    bool m_calFetchPending = false;
    bool m_chainPrefs = false;
    // A coefficient write (applyCalibration or setCalibration) that has not ended yet.
    CalibrationWrite m_calibrationWrite;
    // A line of the reply being collected was dropped for its length: the reply is damaged.
    bool m_replyDamaged = false;
    // connectProtocol asked for a session that stays open.
    bool m_sessionRequested = false;

    int m_invalidHeaderCount = 0;
    bool m_blankBoardDetected = false;
    int m_infoFetchAttempts = 0;
    bool m_bootstrapActive = false;
    bool m_otaRestartPending = false;
    int m_staleHandshakeFailures = 0;
    bool m_handshakeSeen = false;
    bool m_available = false;

    Waiting m_waiting = Waiting::Nothing;

    int m_infoFetchDelay = 600;
    int m_handshakeTimeout = 3000;
    int m_downloadTimeout = 5000;
    int m_replyTimeout = 10000;
    int m_infoRetryStep = 2000;
};
