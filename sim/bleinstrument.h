#pragma once

#include <QBluetoothAddress>
#include <QBluetoothDeviceInfo>
#include <QBluetoothUuid>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QLowEnergyCharacteristic>
#include <QLowEnergyController>
#include <QLowEnergyService>
#include <QObject>
#include <QPointer>
#include <QString>

class InstrumentState;
class SimulatedBleCentral;
class SimulatedBleRadio;

// The simulated instrument's Bluetooth LE side, over the same state as its USB side: it
// advertises "Nerra: " + its name, offers the instrument service and the Device Information
// Service, takes files through the data characteristic's handshake and answers command
// lines on the command characteristic. Made by SimulatedBleRadio::addInstrument(). Every
// fault stays in force until clearFaults().
class BleInstrument : public QObject
{
    Q_OBJECT

public:
    // GATT layouts met in the field: older firmware lacks the command or the hardware id
    // characteristic, and a stale system cache can hide a whole service.
    enum class Layout {
        Full,
        WithoutCommandCharacteristic,
        WithoutHardwareIdCharacteristic,
        WithoutInformationService,
        WithoutInstrumentService
    };
    enum class ConnectBehaviour { Accept, Refuse, Ignore };
    enum class SaveReply { Saved, SaveFail, Silent };

    // One write the program made; descriptor is null for a characteristic write.
    struct Write
    {
        QBluetoothUuid characteristic;
        QBluetoothUuid descriptor;
        QByteArray value;
        QLowEnergyService::WriteMode mode = QLowEnergyService::WriteWithResponse;
    };

    static constexpr int PacketSize = 20; // one packet before any MTU negotiation

    BleInstrument(InstrumentState *state, SimulatedBleRadio *radio);
    ~BleInstrument() override;

    InstrumentState *state() const { return m_state; }

    // Advertising. The address starts as the hardware id read as an address; the name is
    // "Nerra: " + the state's name, or + its serial number when the name is blank, so a name
    // written over either link shows in the next advertisement.
    QBluetoothAddress address() const { return m_address; }
    void setAddress(const QBluetoothAddress &address) { m_address = address; }
    // A new random (resolvable private) address, as a phone-paired instrument rotates it.
    QBluetoothAddress rotateAddress();
    QString advertisedName() const;
    // Advertises exactly this name instead (a null text goes back to the state's).
    void setAdvertisedName(const QString &name) { m_advertisedName = name; }
    qint16 rssi() const { return m_rssi; }
    void setRssi(qint16 rssi) { m_rssi = rssi; }
    // Out of range: no advertisements, no connections, and open links drop.
    void setInRange(bool inRange);
    bool inRange() const { return m_inRange; }
    // Firmware stops advertising while a central is connected, unless told otherwise.
    void setAdvertiseWhileConnected(bool advertise) { m_advertiseWhileConnected = advertise; }
    bool isAdvertising() const;
    QBluetoothDeviceInfo advertisement() const;

    // Connections and the GATT layout.
    void setConnectBehaviour(ConnectBehaviour behaviour,
                             QLowEnergyController::Error refusal = QLowEnergyController::ConnectionError);
    void setLayout(Layout layout) { m_layout = layout; }
    Layout layout() const { return m_layout; }
    // Services in discovery order, and the characteristics of one of them.
    QList<QBluetoothUuid> services() const;
    QList<QBluetoothUuid> characteristics(const QBluetoothUuid &service) const;
    QLowEnergyCharacteristic::PropertyTypes properties(const QBluetoothUuid &characteristic) const;
    // A descriptor write that is taken but never confirmed (the link waits for ever).
    void setConfirmDescriptorWrites(bool confirm) { m_confirmDescriptorWrites = confirm; }
    // Reads of characteristic answer value instead of the state's (a hostile hardware id
    // such as "ABC\0junk", 40 characters, ...). clearFaults() removes them.
    void setReadValue(const QBluetoothUuid &characteristic, const QByteArray &value);
    QByteArray readValue(const QBluetoothUuid &characteristic) const;
    bool isLinked() const { return linkCount() > 0; }
    int linkCount() const;
    // The instrument ends every link now: disconnected, controller unconnected, services invalid.
    void dropLink();

    // The data characteristic's handshake. Out of import mode "READY" gets "NOTREADY".
    void setImportMode(bool on) { m_importMode = on; }
    bool importMode() const { return m_importMode; }
    void setSaveReply(SaveReply reply, const QString &failReason = QStringLiteral("storage full"));
    // The link drops right after the nth chunk (from 1) of a file has arrived; 0: never.
    void setDropAfterChunk(int chunk) { m_dropAfterChunk = chunk; }
    // The user leaves import mode on the instrument: "EXIT", and "READY" is refused after.
    void sendExit();
    // No notification at all on the data characteristic (no "START", no save reply).
    void setDataSilent(bool silent) { m_dataSilent = silent; }
    int chunksReceived() const { return m_transfer.chunks; }

    // The command channel. A command starting with prefix gets reply (lines without line
    // feeds; each is ended by one) instead of its own, times times (< 0: always); an empty
    // reply list is silence for that command.
    void setCommandReply(const QString &prefix, const QStringList &reply, int times = -1);
    // No reply to any command ("CMD:DISCONNECT" still ends the link).
    void setCommandsSilent(bool silent) { m_commandsSilent = silent; }
    // Replies are cut at these byte offsets (of each reply's whole text) as well as every
    // PacketSize bytes, so a line or a JSON object arrives in pieces.
    void setReplySplitPoints(const QList<int> &offsets) { m_splitPoints = offsets; }
    // Firmware may leave out the reply's last line feed.
    void setOmitLastLineFeed(bool omit) { m_omitLastLineFeed = omit; }
    // A preference changed on the instrument's own screen: stored, then "CHANGED:key:value".
    void pushChanged(const QString &key, const QString &value);
    // Any notification, for hostile input.
    void notify(const QBluetoothUuid &characteristic, const QByteArray &value);
    void clearFaults();

    // Every write the program made over any link, oldest first.
    QList<Write> writes() const { return m_writes; }
    QList<QByteArray> writtenValues(const QBluetoothUuid &characteristic) const;
    void clearWrites() { m_writes.clear(); }

signals:
    void linkOpened();
    void linkClosed();
    void written(const QBluetoothUuid &characteristic, const QByteArray &value);
    void fileSaved(const QString &name);
    void commandReceived(const QString &command);

private:
    friend class SimulatedBleCentral;
    friend class SimulatedBleService;

    enum class Stage { Idle, Receiving, AwaitingName };
    struct Transfer
    {
        Stage stage = Stage::Idle;
        QByteArray data;
        int chunks = 0;
    };
    struct CommandReply
    {
        QStringList lines;
        int remaining = -1;
    };

    // For the link objects.
    bool offersCharacteristic(const QBluetoothUuid &service, const QBluetoothUuid &characteristic) const;
    void attach(SimulatedBleCentral *central);
    void detach(SimulatedBleCentral *central);
    ConnectBehaviour connectBehaviour() const { return m_connectBehaviour; }
    QLowEnergyController::Error refusal() const { return m_refusal; }
    bool confirmsDescriptorWrites() const { return m_confirmDescriptorWrites; }
    void receiveWrite(const Write &write);

    void receiveData(const QByteArray &value);
    void receiveCommand(const QString &command);
    void answerCommand(const QString &name, const QString &argument);
    bool overrideReply(const QString &command);
    void reply(const QStringList &lines);
    void notifyData(const QByteArray &text);

    InstrumentState *m_state;
    SimulatedBleRadio *m_radio;
    QList<QPointer<SimulatedBleCentral>> m_links;
    QBluetoothAddress m_address;
    QString m_advertisedName;
    qint16 m_rssi = -58;
    bool m_inRange = true;
    bool m_advertiseWhileConnected = false;
    ConnectBehaviour m_connectBehaviour = ConnectBehaviour::Accept;
    QLowEnergyController::Error m_refusal = QLowEnergyController::ConnectionError;
    Layout m_layout = Layout::Full;
    bool m_confirmDescriptorWrites = true;
    QHash<QBluetoothUuid, QByteArray> m_readValues;
    bool m_importMode = true;
    SaveReply m_saveReply = SaveReply::Saved;
    QString m_saveFailReason;
    int m_dropAfterChunk = 0;
    bool m_dataSilent = false;
    Transfer m_transfer;
    QHash<QString, CommandReply> m_commandReplies;
    bool m_commandsSilent = false;
    QList<int> m_splitPoints;
    bool m_omitLastLineFeed = false;
    QList<Write> m_writes;
};
