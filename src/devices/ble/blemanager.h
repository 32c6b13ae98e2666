#pragma once

#include "devices/ble/bleradiobackend.h"
#include "devices/ble/bletimings.h"
#include "devices/deviceconnection.h"
#include "devices/sessionoperation.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>

class DeviceInfo;
class DeviceManager;
class InstrumentSession;
class QTimer;

// The Bluetooth LE link to one instrument: it scans for instruments advertising "Nerra:",
// keeps the device registry's availability in step with what it hears, connects to one
// entry (falling back to a scan when the instrument's address has rotated), sets up the
// GATT link and reads the instrument's identity into the registry entry.
//
// Over a ready link it sends method files through the data characteristic (READY, START,
// 20-byte chunks, DONE and the name, the save reply) and runs calibration and preference
// commands on the command characteristic through the same session operations as the USB
// link, one at a time in a session held open for as long as the link lasts.
//
// Everything runs on the event loop and ends by itself: every wait has a timer, and no call
// blocks. Objects of a link that was closed are detached before they go, so nothing they
// still say reaches the link that replaced them.
class BleManager : public DeviceConnection, private SessionLink
{
    Q_OBJECT
    Q_PROPERTY(bool isScanning READ isScanning NOTIFY isScanningChanged)
    Q_PROPERTY(bool isReadyForTransfer READ isConnected NOTIFY isReadyForTransferChanged)
    Q_PROPERTY(QStringList logMessages READ logMessages NOTIFY logMessagesChanged)
    Q_PROPERTY(QString connectedDeviceId READ connectedDeviceId NOTIFY connectedDeviceIdChanged)
    Q_PROPERTY(QString connectedDeviceSSID READ connectedDeviceSSID NOTIFY connectedDeviceSSIDChanged)
    Q_PROPERTY(QString connectedDeviceHwId READ connectedDeviceHwId NOTIFY connectedDeviceHwIdChanged)
    Q_PROPERTY(QString connectedDeviceFwVersion READ connectedDeviceFwVersion NOTIFY connectedDeviceFwVersionChanged)
    Q_PROPERTY(bool isConnecting READ isConnecting NOTIFY isConnectingChanged)
    Q_PROPERTY(QString connectionStage READ connectionStage NOTIFY connectionStageChanged)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(bool isTransferring READ isTransferring NOTIFY isTransferringChanged)
    Q_PROPERTY(int transferProgress READ transferProgress NOTIFY transferProgressChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(QString calibrationDate READ calibrationDate NOTIFY calibrationDateChanged)
    Q_PROPERTY(bool hostBluetoothPoweredOff READ hostBluetoothPoweredOff NOTIFY hostBluetoothPoweredOffChanged)

public:
    // The in-app log keeps this many of its latest lines.
    static constexpr int MaxLogLines = 1000;
    static constexpr int ChunkSize = 20;
    // Reply text without a line end is held up to this size; a peer that never ends its
    // line must not grow the program.
    static constexpr int MaxCommandBuffer = 64 * 1024;

    // radio is not owned; without one the manager makes and owns the Qt backend.
    explicit BleManager(DeviceManager *devices, QObject *parent = nullptr, BleRadioBackend *radio = nullptr);
    ~BleManager() override;

    void setTimings(const BleTimings &timings);
    const BleTimings &timings() const { return m_timings; }

    bool isScanning() const { return m_isScanning; }
    QStringList logMessages() const { return m_logMessages; }
    QString connectedDeviceId() const { return m_connectedDeviceId; }
    QString connectedDeviceSSID() const { return m_connectedDeviceSSID; }
    QString connectedDeviceHwId() const { return m_connectedDeviceHwId; }
    QString connectedDeviceFwVersion() const { return m_connectedDeviceFwVersion; }
    bool isConnecting() const { return m_isConnecting; }
    QString connectionStage() const { return m_connectionStage; }
    bool isConnected() const override { return m_isConnected; }
    bool isTransferring() const override { return m_isTransferring; }
    int transferProgress() const override { return m_transferProgress; }
    QString statusMessage() const override { return m_statusMessage; }
    QString calibrationDate() const { return m_calibrationDate; }
    bool hostBluetoothPoweredOff() const { return m_hostBluetoothPoweredOff; }

    // Discovery and the host adapter.
    Q_INVOKABLE void startScan();
    Q_INVOKABLE void stopScan();
    Q_INVOKABLE void turnOnHostBluetooth();
    Q_INVOKABLE void openHostBluetoothSettings();
    Q_INVOKABLE void dismissHostBluetoothDialog();
    Q_INVOKABLE void clearLogs();

    // The link.
    Q_INVOKABLE void connectToDevice(int deviceIndex);
    Q_INVOKABLE void disconnect();
    Q_INVOKABLE void refreshDeviceInfo();

    // A method file to the instrument.
    Q_INVOKABLE void sendFile(const QString &filePath);
    Q_INVOKABLE void sendData(const QByteArray &data, const QString &filename);

    Q_INVOKABLE void putProtocol(const QString &filename, const QByteArray &data) override;
    Q_INVOKABLE void getProtocol(const QString &filename) override;
    Q_INVOKABLE void listProtocols() override;
    Q_INVOKABLE void deleteProtocol(const QString &filename) override;
    Q_INVOKABLE void getDeviceInfo() override;
    Q_INVOKABLE void getCalibration() override;
    Q_INVOKABLE void setCalibration(int index, float value) override;
    Q_INVOKABLE bool fetchCalibration() override;
    Q_INVOKABLE void applyCalibration(const QVariantList &coefPairs, const QString &calDate) override;
    Q_INVOKABLE void getPrefs() override;
    Q_INVOKABLE void setPref(const QString &key, const QString &value) override;
    Q_INVOKABLE void cancelTransfer() override;
    Q_INVOKABLE void reboot() override;

    // The hardware id as the instrument's characteristic gives it, made safe to name
    // folders and merge entries with: 12 hexadecimal digits, else empty.
    static QString cleanHardwareId(const QByteArray &value);

signals:
    void isScanningChanged();
    void isReadyForTransferChanged();
    void logMessagesChanged();
    void connectedDeviceIdChanged();
    void connectedDeviceSSIDChanged();
    void connectedDeviceHwIdChanged();
    void connectedDeviceFwVersionChanged();
    void isConnectingChanged();
    void connectionStageChanged();
    void calibrationDateChanged();
    void hostBluetoothPoweredOffChanged();

private slots:
    void onDeviceDiscovered(const QBluetoothDeviceInfo &info);
    void onScanError(QBluetoothDeviceDiscoveryAgent::Error error);
    void onScanFinished();
    void checkDeviceStaleness();
    void onHostBluetoothModeChanged(QBluetoothLocalDevice::HostMode state);
    void onDeviceForgotten(const QString &uniqueId, const QString &address);

    void onControllerConnected();
    void onControllerDisconnected();
    void onControllerError(QLowEnergyController::Error error);
    void onServiceDiscovered(const QBluetoothUuid &serviceUuid);
    void onDiscoveryFinished();
    void onServiceStateChanged(QLowEnergyService::ServiceState state);
    void onServiceError(QLowEnergyService::ServiceError error);
    void onDescriptorWritten(const QBluetoothUuid &characteristic, const QBluetoothUuid &descriptor, const QByteArray &value);
    void onDISServiceStateChanged(QLowEnergyService::ServiceState state);
    void onDISCharacteristicRead(const QBluetoothUuid &characteristic, const QByteArray &value);
    void onColorCharacteristicRead(const QBluetoothUuid &characteristic, const QByteArray &value);
    void onConnectionTimeout();
    void onSetupTimeout();
    void checkConnectionHealth();
    void onCharacteristicChanged(const QBluetoothUuid &characteristic, const QByteArray &value);
    void sendNextChunk();
    void onHandshakeTimeout();
    void onSaveTimeout();
    void finishTransfer(bool success, const QString &error);

private:
    enum class Transfer { None, AwaitingStart, SendingChunks, AwaitingSave };

    // SessionLink: the command channel as the shared session operations see it.
    void writeLine(const QString &line) override;
    void writeBytes(const QByteArray &bytes) override;
    DeviceConnection &connection() override { return *this; }
    void setStatusMessage(const QString &message) override { setStatus(message); }
    void setCalibrationData(const QVariantMap &) override {}
    void setCalibrationDate(const QString &date) override;
    void preferenceSaved(const QString &key, const QString &value) override;
    void readyLineSeen(const QJsonObject *) override {}
    void readyWithoutOperation() override {}
    void handshakeTimedOut() override {}
    void firmwareLine(const QString &) override {}
    void calibrationWriteProgress(int remaining) override;
    void operationEnded() override;

    // The transfer and the command channel.
    void handleDataNotification(const QString &text);
    void handleCommandNotification(const QByteArray &value);
    void takeCommandLine(const QString &line);
    bool isCompleteReply(const QString &text) const;
    void writeData(const QByteArray &bytes);
    QLowEnergyService::WriteMode dataWriteMode(bool *writable) const;
    void enqueue(std::unique_ptr<SessionOperation> operation);
    void runNextOperation();
    void endTransferWithLink();
    void endCommandsWithLink(SessionEnd cause);

    // Shared by every part of the link.
    void addLog(const QString &message);
    void setStatus(const QString &text);
    void setConnectionStage(const QString &text);
    void setScanning(bool scanning);
    void setConnecting(bool connecting);
    void setConnected(bool connected);
    void setTransferring(bool transferring) override;
    void setTransferProgress(int progress) override;
    void setHostPoweredOff(bool off);
    void setConnectedDeviceId(const QString &id);
    DeviceInfo *connectedEntry() const;
    int indexOf(const DeviceInfo *device) const;
    bool isLinkedEntry(const DeviceInfo *device) const;

    // Discovery.
    void startScanFor(bool fallback);
    void endFallback(bool notFound);
    void reconnectLater(DeviceInfo *device, const QString &reason);
    bool matchByName(const QBluetoothDeviceInfo &info);

    // The link.
    void connectTo(DeviceInfo *device, bool reconnect);
    bool startFallback(const QString &logLine);
    void failAttempt(const QString &status, const QString &error);
    void closeLink();
    void resetConnection();
    void dropInformationService();
    bool commandChannelUsable() const;
    void notSupported(const char *operation);

    DeviceManager *m_devices;
    std::unique_ptr<BleRadioBackend> m_ownRadio;
    BleRadioBackend *m_radio;
    BleTimings m_timings;

    BleDiscovery *m_discovery = nullptr;
    BleAdapter *m_adapter = nullptr;
    QTimer *m_stalenessTimer = nullptr;
    // One timer each for the restart gap and the rescan gap, so that repeated scans never
    // pile up and stopScan can call both off.
    QTimer *m_restartTimer = nullptr;
    QTimer *m_retryTimer = nullptr;
    QTimer *m_reconnectTimer = nullptr;

    bool m_isScanning = false;
    QStringList m_logMessages;
    bool m_logChangePending = false;
    qint64 m_logStampSecond = -1;
    QString m_logStamp;
    QString m_connectedDeviceId;
    QString m_connectedDeviceSSID;
    QString m_connectedDeviceHwId;
    QString m_connectedDeviceFwVersion;
    bool m_isConnecting = false;
    QString m_connectionStage;
    bool m_isConnected = false;
    bool m_isTransferring = false;
    int m_transferProgress = 0;
    QString m_statusMessage;
    QString m_calibrationDate;
    bool m_hostBluetoothPoweredOff = false;

    bool m_autoRetryArmed = false;
    // The entry a connect fallback scan looks for, held by itself: the scan's own rebuild
    // and the staleness check shift indices.
    QPointer<DeviceInfo> m_pendingConnect;
    bool m_scanIsConnectFallback = false;
    bool m_retryingWithUpdatedMac = false;
    QPointer<DeviceInfo> m_reconnectTarget;
    // The running attempt is the reconnect after a fallback: its failure is reported, not
    // followed by another fallback.
    bool m_attemptIsReconnect = false;
    bool m_retryScanWhenPoweredOn = false;

    BleCentral *m_central = nullptr;
    BleGattService *m_service = nullptr;
    BleGattService *m_infoService = nullptr;
    bool m_instrumentServiceFound = false;
    int m_pendingDisReads = 0;
    QTimer *m_connectionTimer = nullptr;
    QTimer *m_setupTimer = nullptr;
    QTimer *m_healthTimer = nullptr;
    bool m_transferCompleted = false;
    // Why the link is ending: the user's own close gives a running transfer no result.
    SessionEnd m_endCause = SessionEnd::DeviceLost;

    Transfer m_transfer = Transfer::None;
    QByteArray m_fileData;
    QString m_fileName;
    int m_chunkIndex = 0;
    int m_chunkCount = 0;
    // Chunks go out on a schedule from the first one, so that pacing does not drift.
    QElapsedTimer m_chunkClock;
    QTimer *m_chunkTimer = nullptr;
    QTimer *m_handshakeTimer = nullptr;
    QTimer *m_saveTimer = nullptr;
    QTimer *m_readyResetTimer = nullptr;

    InstrumentSession *m_session = nullptr;
    std::deque<std::unique_ptr<SessionOperation>> m_commandQueue;
    bool m_applyingCalibration = false;
    QStringList m_prefKeysInFlight;
    QString m_commandBuffer;
    QTimer *m_residueTimer = nullptr;
};
