#include "bleinstrument.h"

#include "instrumentstate.h"
#include "simulatedblecentral.h"
#include "simulatedbleradio.h"

#include "devices/ble/bleuuids.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <algorithm>

namespace {

const QString NamePrefix = QStringLiteral("Nerra: ");

QByteArray compactJson(const QVariantMap &map)
{
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact);
}

} // namespace

BleInstrument::BleInstrument(InstrumentState *state, SimulatedBleRadio *radio)
    : QObject(radio)
    , m_state(state)
    , m_radio(radio)
    , m_address(state->hardwareId().toULongLong(nullptr, 16))
{
    if (m_address.isNull())
        rotateAddress();
}

BleInstrument::~BleInstrument()
{
    // The program's link objects may outlive the instrument; they must not reach back.
    dropLink();
}

QBluetoothAddress BleInstrument::rotateAddress()
{
    // A resolvable private address: the two top bits are 01.
    const quint64 random = QRandomGenerator::global()->generate64() & Q_UINT64_C(0x3FFFFFFFFFFF);
    m_address = QBluetoothAddress(random | Q_UINT64_C(0x400000000000));
    return m_address;
}

QString BleInstrument::advertisedName() const
{
    if (!m_advertisedName.isNull())
        return m_advertisedName;
    return NamePrefix + (m_state->name().isEmpty() ? m_state->serialNumber() : m_state->name());
}

void BleInstrument::setInRange(bool inRange)
{
    m_inRange = inRange;
    if (!inRange)
        dropLink();
}

bool BleInstrument::isAdvertising() const
{
    return m_inRange && (m_advertiseWhileConnected || !isLinked());
}

QBluetoothDeviceInfo BleInstrument::advertisement() const
{
    QBluetoothDeviceInfo info(m_address, advertisedName(), 0);
    info.setRssi(m_rssi);
    info.setCoreConfigurations(QBluetoothDeviceInfo::LowEnergyCoreConfiguration);
    info.setServiceUuids(QVector<QBluetoothUuid>{BleUuids::instrumentService()});
    return info;
}

void BleInstrument::setConnectBehaviour(ConnectBehaviour behaviour, QLowEnergyController::Error refusal)
{
    m_connectBehaviour = behaviour;
    m_refusal = refusal;
}

QList<QBluetoothUuid> BleInstrument::services() const
{
    // The generic services every peripheral has come first; the program must pass them by.
    QList<QBluetoothUuid> result{QBluetoothUuid(QBluetoothUuid::GenericAccess),
                                 QBluetoothUuid(QBluetoothUuid::GenericAttribute)};
    if (m_layout != Layout::WithoutInstrumentService)
        result.append(BleUuids::instrumentService());
    if (m_layout != Layout::WithoutInformationService)
        result.append(BleUuids::informationService());
    return result;
}

QList<QBluetoothUuid> BleInstrument::characteristics(const QBluetoothUuid &service) const
{
    if (!services().contains(service))
        return {};
    if (service == BleUuids::informationService())
        return {BleUuids::modelNumber(), BleUuids::serialNumber(), BleUuids::firmwareRevision(),
                BleUuids::manufacturerName()};
    if (service != BleUuids::instrumentService())
        return {};
    QList<QBluetoothUuid> result{BleUuids::dataCharacteristic(), BleUuids::colorCharacteristic()};
    if (m_layout != Layout::WithoutCommandCharacteristic)
        result.append(BleUuids::commandCharacteristic());
    result.append(BleUuids::ssidCharacteristic());
    if (m_layout != Layout::WithoutHardwareIdCharacteristic)
        result.append(BleUuids::hardwareIdCharacteristic());
    return result;
}

bool BleInstrument::offersCharacteristic(const QBluetoothUuid &service, const QBluetoothUuid &characteristic) const
{
    return characteristics(service).contains(characteristic);
}

QLowEnergyCharacteristic::PropertyTypes BleInstrument::properties(const QBluetoothUuid &characteristic) const
{
    if (characteristic == BleUuids::dataCharacteristic())
        return QLowEnergyCharacteristic::Write | QLowEnergyCharacteristic::WriteNoResponse
               | QLowEnergyCharacteristic::Notify;
    if (characteristic == BleUuids::commandCharacteristic())
        return QLowEnergyCharacteristic::Write | QLowEnergyCharacteristic::Notify;
    return QLowEnergyCharacteristic::Read;
}

void BleInstrument::setReadValue(const QBluetoothUuid &characteristic, const QByteArray &value)
{
    m_readValues.insert(characteristic, value);
}

QByteArray BleInstrument::readValue(const QBluetoothUuid &characteristic) const
{
    if (m_readValues.contains(characteristic))
        return m_readValues.value(characteristic);
    if (characteristic == BleUuids::colorCharacteristic())
        return QByteArray::number(m_state->color());
    if (characteristic == BleUuids::ssidCharacteristic())
        return m_state->ssid().toUtf8();
    if (characteristic == BleUuids::hardwareIdCharacteristic())
        return m_state->hardwareId().toUtf8();
    if (characteristic == BleUuids::modelNumber())
        return "Nerra P1";
    if (characteristic == BleUuids::serialNumber())
        return m_state->serialNumber().toUtf8();
    if (characteristic == BleUuids::firmwareRevision())
        return m_state->firmwareVersion().toUtf8();
    if (characteristic == BleUuids::manufacturerName())
        return "Vellora";
    return QByteArray();
}

int BleInstrument::linkCount() const
{
    return int(std::count_if(m_links.cbegin(), m_links.cend(),
                             [](const QPointer<SimulatedBleCentral> &central) { return !central.isNull(); }));
}

void BleInstrument::attach(SimulatedBleCentral *central)
{
    m_links.append(central);
    m_transfer = Transfer();
    emit linkOpened();
}

void BleInstrument::detach(SimulatedBleCentral *central)
{
    if (!m_links.removeAll(central))
        return;
    m_transfer = Transfer();
    emit linkClosed();
}

void BleInstrument::dropLink()
{
    const QList<QPointer<SimulatedBleCentral>> links = m_links;
    for (const QPointer<SimulatedBleCentral> &central : links) {
        if (central)
            central->drop();
    }
}

void BleInstrument::setSaveReply(SaveReply reply, const QString &failReason)
{
    m_saveReply = reply;
    m_saveFailReason = failReason;
}

void BleInstrument::sendExit()
{
    m_importMode = false;
    m_transfer = Transfer();
    notifyData("EXIT");
}

void BleInstrument::setCommandReply(const QString &prefix, const QStringList &reply, int times)
{
    m_commandReplies.insert(prefix, {reply, times});
}

void BleInstrument::pushChanged(const QString &key, const QString &value)
{
    m_state->setPreference(key, value);
    reply({QStringLiteral("CHANGED:%1:%2").arg(key, value)});
}

void BleInstrument::notify(const QBluetoothUuid &characteristic, const QByteArray &value)
{
    for (const QPointer<SimulatedBleCentral> &central : qAsConst(m_links)) {
        if (central)
            central->deliver(characteristic, value);
    }
}

void BleInstrument::clearFaults()
{
    m_connectBehaviour = ConnectBehaviour::Accept;
    m_layout = Layout::Full;
    m_confirmDescriptorWrites = true;
    m_readValues.clear();
    m_saveReply = SaveReply::Saved;
    m_dropAfterChunk = 0;
    m_dataSilent = false;
    m_commandReplies.clear();
    m_commandsSilent = false;
    m_splitPoints.clear();
    m_omitLastLineFeed = false;
}

QList<QByteArray> BleInstrument::writtenValues(const QBluetoothUuid &characteristic) const
{
    QList<QByteArray> values;
    for (const Write &write : m_writes) {
        if (write.characteristic == characteristic && write.descriptor.isNull())
            values.append(write.value);
    }
    return values;
}

void BleInstrument::receiveWrite(const Write &write)
{
    m_writes.append(write);
    if (!write.descriptor.isNull())
        return;
    emit written(write.characteristic, write.value);
    if (write.characteristic == BleUuids::dataCharacteristic())
        receiveData(write.value);
    else if (write.characteristic == BleUuids::commandCharacteristic())
        receiveCommand(QString::fromUtf8(write.value).trimmed());
}

void BleInstrument::receiveData(const QByteArray &value)
{
    // Control words come whole in one write; everything between "START" and "DONE" is file data.
    if (value == "READY") {
        m_transfer = Transfer();
        if (!m_importMode) {
            notifyData("NOTREADY");
            return;
        }
        m_transfer.stage = Stage::Receiving;
        notifyData("START");
        return;
    }
    switch (m_transfer.stage) {
    case Stage::Idle:
        return;
    case Stage::Receiving:
        if (value == "DONE") {
            m_transfer.stage = Stage::AwaitingName;
            return;
        }
        m_transfer.data.append(value);
        if (++m_transfer.chunks == m_dropAfterChunk)
            dropLink();
        return;
    case Stage::AwaitingName: {
        const QString name = QString::fromUtf8(value);
        const QByteArray data = m_transfer.data;
        m_transfer = Transfer();
        QString error;
        if (m_saveReply == SaveReply::SaveFail) {
            notifyData("SAVEFAIL:" + m_saveFailReason.toUtf8());
        } else if (!m_state->putFile(name, data, &error)) {
            notifyData("SAVEFAIL:" + error.toUtf8());
        } else {
            emit fileSaved(name);
            if (m_saveReply == SaveReply::Saved)
                notifyData("SAVED:" + name.toUtf8());
        }
        return;
    }
    }
}

void BleInstrument::notifyData(const QByteArray &text)
{
    if (!m_dataSilent)
        notify(BleUuids::dataCharacteristic(), text);
}

void BleInstrument::receiveCommand(const QString &command)
{
    emit commandReceived(command);
    if (command == QLatin1String("CMD:DISCONNECT")) {
        // The confirmation of the write goes out first; then the instrument hangs up.
        m_radio->post(this, [this] { dropLink(); });
        return;
    }
    if (m_commandsSilent || overrideReply(command))
        return;
    if (!command.startsWith(QLatin1String("CMD:"))) {
        reply({QStringLiteral("ERR:unknown command")});
        return;
    }
    const QString rest = command.mid(4);
    const int colon = rest.indexOf(QLatin1Char(':'));
    answerCommand(colon < 0 ? rest : rest.left(colon), colon < 0 ? QString() : rest.mid(colon + 1));
}

bool BleInstrument::overrideReply(const QString &command)
{
    for (auto it = m_commandReplies.begin(); it != m_commandReplies.end(); ++it) {
        if (!command.startsWith(it.key()) || it->remaining == 0)
            continue;
        if (it->remaining > 0)
            --it->remaining;
        if (!it->lines.isEmpty())
            reply(it->lines);
        return true;
    }
    return false;
}

void BleInstrument::answerCommand(const QString &name, const QString &argument)
{
    if (name == QLatin1String("GET_CAL")) {
        reply({QStringLiteral("OK:GET_CAL"),
               QStringLiteral("DATA:GET_CAL:") + QString::fromUtf8(compactJson(m_state->calibrationRecord())),
               QStringLiteral("END:GET_CAL")});
    } else if (name == QLatin1String("GET_PREFS")) {
        reply({QStringLiteral("OK:GET_PREFS"),
               QStringLiteral("DATA:GET_PREFS:") + QString::fromUtf8(compactJson(m_state->preferences())),
               QStringLiteral("END:GET_PREFS")});
    } else if (name == QLatin1String("SET_CAL")) {
        const QStringList parts = argument.split(QLatin1Char(':'));
        bool indexOk = false;
        bool valueOk = false;
        const int index = parts.value(0).toInt(&indexOk);
        const double value = parts.value(1).toDouble(&valueOk);
        if (parts.size() == 2 && indexOk && valueOk && m_state->setCoefficient(index, value))
            reply({QStringLiteral("OK:SET_CAL")});
        else
            reply({QStringLiteral("ERR:SET_CAL:invalid coefficient")});
    } else if (name == QLatin1String("SET_PREF")) {
        const int colon = argument.indexOf(QLatin1Char(':'));
        const QString key = argument.left(qMax(colon, 0));
        QString error = QStringLiteral("invalid preference");
        if (colon > 0 && m_state->setPreference(key, argument.mid(colon + 1), &error))
            reply({QStringLiteral("OK:SET_PREF:") + key});
        else
            reply({QStringLiteral("ERR:SET_PREF:%1:%2").arg(key, error)});
    } else {
        reply({QStringLiteral("ERR:unknown command ") + name});
    }
}

void BleInstrument::reply(const QStringList &lines)
{
    QByteArray text = lines.join(QLatin1Char('\n')).toUtf8();
    if (!m_omitLastLineFeed)
        text.append('\n');
    QList<int> cuts = m_splitPoints;
    std::sort(cuts.begin(), cuts.end());
    int start = 0;
    while (start < text.size()) {
        int end = qMin(start + PacketSize, int(text.size()));
        for (int cut : qAsConst(cuts)) {
            if (cut > start && cut < end) {
                end = cut;
                break;
            }
        }
        notify(BleUuids::commandCharacteristic(), text.mid(start, end - start));
        start = end;
    }
}
