#include "usbinstrument.h"

#include "pseudoterminal.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>

namespace {

const QString Handshake = QStringLiteral("\x1bNERRA:CONNECT");
const QString ReadyMarker = QStringLiteral("NERRA:READY:");
// The certificate's workbook travels in lines of this many Base64 characters.
constexpr int CertificateFilePiece = 200;
// The firmware's line buffer; a longer line is thrown away, as the firmware does.
constexpr int MaxLineLength = 8192;

QStringList bootLoaderText()
{
    return {QStringLiteral("ESP-ROM:esp32s3-20210327"),
            QStringLiteral("Build:Mar 27 2021"),
            QStringLiteral("rst:0x7 (TG0WDT_SYS_RST),boot:0x8 (SPI_FAST_FLASH_BOOT)"),
            QStringLiteral("Saved PC:0x40043ac8"),
            QStringLiteral("invalid header: 0xffffffff"),
            QStringLiteral("invalid header: 0xffffffff"),
            QStringLiteral("invalid header: 0xffffffff")};
}

} // namespace

UsbInstrument::UsbInstrument(InstrumentState *state, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_outgoingTimer(new QTimer(this))
    , m_bootTextTimer(new QTimer(this))
    , m_restartTimer(new QTimer(this))
{
    m_clock.start();
    m_outgoingTimer->setSingleShot(true);
    m_outgoingTimer->setTimerType(Qt::PreciseTimer);
    connect(m_outgoingTimer, &QTimer::timeout, this, &UsbInstrument::pumpOutgoing);
    m_bootTextTimer->setInterval(300);
    connect(m_bootTextTimer, &QTimer::timeout, this, &UsbInstrument::printBootText);
    m_restartTimer->setSingleShot(true);
    connect(m_restartTimer, &QTimer::timeout, this, [this] {
        if (!m_reserved)
            return;
        attachTerminal(m_reserved);
        m_reserved = nullptr;
        emit portNameChanged(portName());
    });
}

UsbInstrument::~UsbInstrument()
{
    dropTerminal();
    delete m_reserved;
}

bool UsbInstrument::isPresent() const
{
    return m_terminal && m_terminal->isOpen();
}

QString UsbInstrument::portName() const
{
    return isPresent() ? m_terminal->path() : QString();
}

bool UsbInstrument::plugIn()
{
    if (isPresent()) {
        m_pluggedIn = true;
        return true;
    }
    m_restartTimer->stop();
    PseudoTerminal *terminal = m_reserved ? m_reserved.data() : new PseudoTerminal(this);
    m_reserved = nullptr;
    if (!terminal->isOpen() && !terminal->open()) {
        m_error = terminal->errorString();
        delete terminal;
        return false;
    }
    m_greetingPending = true;
    m_silencedNow = false;
    m_pluggedIn = true;
    attachTerminal(terminal);
    emit portNameChanged(portName());
    return true;
}

void UsbInstrument::unplug()
{
    m_pluggedIn = false;
    m_ghostPort.clear();
    ++m_powerCycle;
    m_restartTimer->stop();
    delete m_reserved;
    m_reserved = nullptr;
    if (!m_terminal)
        return;
    dropTerminal();
    emit portNameChanged(QString());
}

void UsbInstrument::attachTerminal(PseudoTerminal *terminal)
{
    m_terminal = terminal;
    terminal->setParent(this);
    terminal->setAttachPollInterval(m_attachPollInterval);
    connect(terminal, &PseudoTerminal::attached, this, &UsbInstrument::onAttached);
    connect(terminal, &PseudoTerminal::detached, this, [this] {
        // The program closed the port: whatever session it had ends with it.
        m_bootTextTimer->stop();
        resetSession();
        emit attachedChanged(false);
    });
    connect(terminal, &PseudoTerminal::received, this, &UsbInstrument::onReceived);
}

void UsbInstrument::dropTerminal()
{
    m_outgoing.clear();
    m_outgoingTimer->stop();
    m_bootTextTimer->stop();
    resetSession();
    m_ota = OtaTransfer();
    m_rxBuffer.clear();
    if (!m_terminal)
        return;
    PseudoTerminal *terminal = m_terminal;
    m_terminal = nullptr;
    terminal->disconnect(this);
    const bool wasAttached = terminal->isAttached();
    terminal->close();
    terminal->deleteLater();
    if (wasAttached)
        emit attachedChanged(false);
}

void UsbInstrument::restart()
{
    if (!m_pluggedIn)
        return;
    m_silencedNow = false;
    // Reserving the next terminal before closing this one guarantees a different path,
    // as a re-enumerated USB device gets.
    if (!m_reserved) {
        m_reserved = new PseudoTerminal(this);
        if (!m_reserved->open()) {
            m_error = m_reserved->errorString();
            delete m_reserved;
            m_reserved = nullptr;
        }
    }
    const bool wasPresent = isPresent();
    if (m_ghostAfterRestart && wasPresent)
        m_ghostPort = portName();
    dropTerminal();
    if (wasPresent)
        emit portNameChanged(QString());
    if (m_state->boot() == InstrumentState::BootOutcome::NewImage && m_newImageCrashes)
        m_state->boot(); // the crash, and the boot loader's roll-back of the unconfirmed image
    if (m_deafAfterRestart)
        m_silent = true;
    m_greetingPending = true;
    emit restarted();
    if (m_reserved)
        m_restartTimer->start(m_restartDelay);
}

void UsbInstrument::restartSoon()
{
    whenRead([this] { restart(); });
}

void UsbInstrument::whenRead(std::function<void()> action)
{
    QElapsedTimer waited;
    waited.start();
    auto *poll = new QTimer(this);
    poll->setInterval(5);
    const quint64 cycle = m_powerCycle;
    auto check = [this, poll, waited, cycle, action = std::move(action)] {
        // Unknown (the program locked the port for itself): give it the whole grace.
        const int unread = m_terminal ? m_terminal->unreadByProgram() : 0;
        const bool unplugged = m_powerCycle != cycle;
        if (!unplugged && unread != 0 && waited.elapsed() < m_shutdownGrace)
            return;
        poll->stop();
        poll->deleteLater();
        // Pulling the cable cut the power: a restart or a vanishing port it was waiting
        // for must not bring the port back.
        if (!unplugged)
            action();
    };
    connect(poll, &QTimer::timeout, this, check);
    poll->start();
}

void UsbInstrument::setBootTextInterval(int ms)
{
    m_bootTextTimer->setInterval(ms);
}

void UsbInstrument::setAttachPollInterval(int ms)
{
    m_attachPollInterval = ms;
    if (m_terminal)
        m_terminal->setAttachPollInterval(ms);
}

void UsbInstrument::setBlankBoard(bool blank)
{
    m_blankBoard = blank;
    if (!blank)
        m_bootTextTimer->stop();
    else if (m_terminal && m_terminal->isAttached())
        onAttached();
}

void UsbInstrument::setSilentAfter(const QString &prefix, int occurrence)
{
    m_silentAfterPrefix = prefix;
    m_silentAfterRemaining = qMax(1, occurrence);
}

void UsbInstrument::setErrorReply(const QString &prefix, const QString &reason, int times)
{
    m_errorReplies.insert(prefix, ErrorReply{reason, times});
}

void UsbInstrument::setVanishMidBody(const QString &command, int afterLines)
{
    m_vanishCommand = command;
    m_vanishAfterLines = afterLines;
}

void UsbInstrument::setDamagedBodyLine(const QString &command, int line)
{
    m_damagedCommand = command;
    m_damagedLine = line;
}

void UsbInstrument::clearFaults()
{
    setBlankBoard(false);
    m_silent = false;
    m_silencedNow = false;
    m_silentAfterPrefix.clear();
    m_errorReplies.clear();
    m_mergedReadyPrefix.clear();
    m_readyRecordText = QString();
    m_vanishCommand.clear();
    m_vanishAfterLines = -1;
    m_damagedCommand.clear();
    m_damagedLine = -1;
    m_logsInBodies = false;
    m_corruptChunk = 0;
    m_rejectChunk = 0;
    m_replyDelay = 0;
    m_replies.clear();
    m_newImageCrashes = false;
    m_deafAfterRestart = false;
    m_ghostAfterRestart = false;
    m_ghostPort.clear();
}

void UsbInstrument::setReply(const QString &prefix, const QString &reply, int times)
{
    m_replies.insert(prefix, ErrorReply{reply, times});
}

void UsbInstrument::onAttached()
{
    emit attachedChanged(true);
    if (m_blankBoard) {
        printBootText();
        m_bootTextTimer->start();
        return;
    }
    if (!m_greetingPending)
        return;
    m_greetingPending = false;
    sendConsole(QStringLiteral("%1 — firmware %2").arg(m_state->name(), m_state->firmwareVersion()));
    sendConsole(QStringLiteral("hardware id %1, %2 protocol(s) stored")
                    .arg(m_state->hardwareId())
                    .arg(m_state->fileNames().size()));
    sendConsole(QStringLiteral("ready"));
}

void UsbInstrument::printBootText()
{
    if (!m_blankBoard || !m_terminal)
        return;
    for (const QString &line : bootLoaderText())
        m_terminal->write(line.toUtf8() + "\r\n");
}

void UsbInstrument::printConsole(const QString &text)
{
    if (!m_inSession && !m_blankBoard)
        sendConsole(text);
}

void UsbInstrument::sendLog(const QString &text)
{
    if (m_inSession)
        send(QStringLiteral("LOG:") + text);
}

void UsbInstrument::sendConsole(const QString &text)
{
    // Console text leaves at once, whatever the reply delay.
    if (m_terminal)
        m_terminal->write(text.toUtf8() + "\r\n");
}

void UsbInstrument::send(const QString &line)
{
    enqueue(Outgoing{line.toUtf8() + '\n', {}, 0});
}

void UsbInstrument::then(std::function<void()> action)
{
    enqueue(Outgoing{{}, std::move(action), 0});
}

void UsbInstrument::enqueue(Outgoing item)
{
    item.due = m_clock.nsecsElapsed() + qint64(m_replyDelay) * 1000000;
    if (!m_outgoing.isEmpty())
        item.due = qMax(item.due, m_outgoing.constLast().due);
    m_outgoing.append(std::move(item));
    pumpOutgoing();
}

void UsbInstrument::pumpOutgoing()
{
    while (!m_outgoing.isEmpty() && m_outgoing.constFirst().due <= m_clock.nsecsElapsed()) {
        Outgoing item = m_outgoing.takeFirst();
        if (!item.bytes.isEmpty() && m_terminal)
            m_terminal->write(item.bytes);
        if (item.action)
            item.action();
    }
    if (!m_outgoing.isEmpty()) {
        const qint64 waitNs = qMax<qint64>(0, m_outgoing.constFirst().due - m_clock.nsecsElapsed());
        m_outgoingTimer->start(int((waitNs + 999999) / 1000000));
    }
}

void UsbInstrument::setInSession(bool inSession)
{
    if (m_inSession == inSession)
        return;
    m_inSession = inSession;
    emit sessionChanged(inSession);
}

void UsbInstrument::resetSession()
{
    m_body = Body::None;
    m_bodyName.clear();
    m_bodyLines.clear();
    setInSession(false);
}

void UsbInstrument::onReceived(const QByteArray &bytes)
{
    m_received.append(bytes);
    if (m_received.size() > MaxReceivedRecord)
        m_received.remove(0, m_received.size() - MaxReceivedRecord);
    m_rxBuffer.append(bytes);
    int end;
    while ((end = m_rxBuffer.indexOf('\n')) >= 0) {
        QByteArray line = m_rxBuffer.left(end);
        m_rxBuffer.remove(0, end + 1);
        line.replace('\r', QByteArray());
        // With its length: Qt 5 would otherwise cut the line at a NUL byte, and a name with
        // a NUL in it must be seen whole to be refused.
        handleLine(QString::fromUtf8(line.constData(), line.size()));
        if (!m_terminal)
            return; // the port went away while handling the line
    }
    if (m_rxBuffer.size() > MaxLineLength) {
        m_rxBuffer.clear();
        sendLog(QStringLiteral("line too long — dropped"));
    }
}

void UsbInstrument::handleLine(const QString &rawLine)
{
    // Body lines are taken as they come (an empty one is part of the file); everything
    // else is trimmed and blank lines are dropped.
    const bool inBody = m_inSession && m_body != Body::None;
    const QString line = inBody ? rawLine : rawLine.trimmed();
    emit lineReceived(line);
    if (m_blankBoard && line == QLatin1String("SIM:FLASHED")) {
        // The stand-in flashing tool wrote a boot image: the board resets and comes back
        // as an instrument nobody has named yet.
        m_state->setPreference(QStringLiteral("name"), QString());
        setBlankBoard(false);
        m_greetingPending = true;
        QTimer::singleShot(0, this, &UsbInstrument::restart);
        return;
    }
    if (m_blankBoard || m_silent || m_silencedNow)
        return;
    if (line.contains(Handshake)) {
        resetSession();
        setInSession(true);
        sendReady();
        return;
    }
    if (!m_inSession) {
        if (!line.isEmpty())
            handleConsoleInput(line);
        return;
    }
    if (inBody && !line.startsWith(QLatin1String("END:")))
        handleBodyLine(line);
    else if (!line.isEmpty())
        handleSessionLine(line);
}

void UsbInstrument::handleConsoleInput(const QString &line)
{
    const QString command = line.toLower();
    if (command == QLatin1String("help")) {
        sendConsole(QStringLiteral("commands: help, info, version"));
    } else if (command == QLatin1String("info")) {
        sendConsole(QStringLiteral("name %1, sn %2, id %3")
                        .arg(m_state->name(), m_state->serialNumber(), m_state->hardwareId()));
    } else if (command == QLatin1String("version")) {
        sendConsole(QStringLiteral("firmware %1").arg(m_state->firmwareVersion()));
    } else {
        sendConsole(QStringLiteral("unknown command '%1' (type help)").arg(line));
    }
}

bool UsbInstrument::injectFault(const QString &line)
{
    if (!m_silentAfterPrefix.isEmpty() && line.startsWith(m_silentAfterPrefix) && --m_silentAfterRemaining <= 0) {
        m_silentAfterPrefix.clear();
        m_silencedNow = true;
        return true;
    }
    for (auto it = m_errorReplies.begin(); it != m_errorReplies.end(); ++it) {
        if (!line.startsWith(it.key()) || it->remaining == 0)
            continue;
        if (it->remaining > 0)
            --it->remaining;
        // A refused body is not taken.
        m_body = Body::None;
        m_bodyLines.clear();
        send(QStringLiteral("ERR:") + it->reason);
        return true;
    }
    for (auto it = m_replies.begin(); it != m_replies.end(); ++it) {
        if (!line.startsWith(it.key()) || it->remaining == 0)
            continue;
        if (it->remaining > 0)
            --it->remaining;
        send(it->reason);
        return true;
    }
    return false;
}

void UsbInstrument::handleSessionLine(const QString &line)
{
    if (line == QLatin1String("NERRA:DISCONNECT")) {
        resetSession();
        if (m_sayBye)
            send(QStringLiteral("NERRA:BYE"));
        return;
    }
    if (injectFault(line))
        return;
    if (m_body != Body::None) {
        finishBody();
        return;
    }
    if (!line.startsWith(QLatin1String("CMD:"))) {
        sendLog(QStringLiteral("ignored: ") + line);
        return;
    }
    const QString rest = line.mid(4);
    const int colon = rest.indexOf(QLatin1Char(':'));
    handleCommand(colon < 0 ? rest : rest.left(colon), colon < 0 ? QString() : rest.mid(colon + 1));
}

void UsbInstrument::handleCommand(const QString &command, const QString &argument)
{
    if (command == QLatin1String("LIST_PROTOCOLS")) {
        commandList();
    } else if (command == QLatin1String("GET_PROTOCOL")) {
        commandGetProtocol(argument);
    } else if (command == QLatin1String("PUT_PROTOCOL")) {
        commandPutProtocol(argument);
    } else if (command == QLatin1String("DEL_PROTOCOL")) {
        commandDeleteProtocol(argument);
    } else if (command == QLatin1String("GET_INFO")) {
        sendBody(command, {QString::fromUtf8(m_state->infoRecord())});
    } else if (command == QLatin1String("GET_CAL")) {
        sendBody(command, {QString::fromUtf8(
                              QJsonDocument(QJsonObject::fromVariantMap(m_state->calibrationRecord()))
                                  .toJson(QJsonDocument::Compact))});
    } else if (command == QLatin1String("SET_CAL")) {
        commandSetCalibration(argument);
    } else if (command == QLatin1String("GET_PREFS")) {
        sendBody(command, {QString::fromUtf8(
                              QJsonDocument(QJsonObject::fromVariantMap(m_state->preferences()))
                                  .toJson(QJsonDocument::Compact))});
    } else if (command == QLatin1String("SET_PREF")) {
        commandSetPreference(argument);
    } else if (command == QLatin1String("REBOOT")) {
        send(QStringLiteral("OK:REBOOT"));
        then([this] { restartSoon(); });
    } else if (command == QLatin1String("PUT_CERT")) {
        m_body = Body::Certificate;
        m_bodyLines.clear();
        send(QStringLiteral("OK:PUT_CERT"));
    } else if (command == QLatin1String("PUT_CERT_FILE")) {
        m_body = Body::CertificateFile;
        m_bodyLines.clear();
        send(QStringLiteral("OK:PUT_CERT_FILE"));
    } else if (command == QLatin1String("GET_CERT")) {
        commandGetCertificate();
    } else if (command == QLatin1String("GET_CERT_FILE")) {
        commandGetCertificateFile();
    } else if (command == QLatin1String("DEL_CERT")) {
        m_state->clearCertificate();
        send(QStringLiteral("OK:DEL_CERT"));
    } else if (command.startsWith(QLatin1String("OTA_")) && m_state->otaUsbVersion() < 1) {
        // Firmware from before USB updates does not know these commands.
        send(QStringLiteral("ERR:unknown command ") + command);
    } else if (command == QLatin1String("OTA_BEGIN")) {
        commandOtaBegin(argument);
    } else if (command == QLatin1String("OTA_CHUNK")) {
        commandOtaChunk(argument);
    } else if (command == QLatin1String("OTA_STATUS")) {
        if (m_ota.active)
            send(QStringLiteral("OK:OTA_STATUS:%1").arg(m_ota.image.size()));
        else
            send(QStringLiteral("ERR:no update in progress"));
    } else if (command == QLatin1String("OTA_END")) {
        commandOtaEnd();
    } else if (command == QLatin1String("OTA_APPLY")) {
        commandOtaApply();
    } else if (command == QLatin1String("OTA_CONFIRM")) {
        m_state->confirmImage();
        sendLog(QStringLiteral("firmware %1 confirmed").arg(m_state->firmwareVersion()));
        send(QStringLiteral("OK:OTA:confirmed"));
    } else if (command == QLatin1String("OTA_ABORT")) {
        m_ota = OtaTransfer();
        sendLog(QStringLiteral("update aborted"));
    } else {
        send(QStringLiteral("ERR:unknown command ") + command);
    }
}

void UsbInstrument::sendReady()
{
    const QString record = m_readyRecordText.isNull() ? QString::fromUtf8(m_state->readyRecord()) : m_readyRecordText;
    send(m_mergedReadyPrefix + ReadyMarker + record);
}

void UsbInstrument::sendBody(const QString &command, const QStringList &payloads)
{
    const QString prefix = QStringLiteral("DATA:%1:").arg(command);
    for (int i = 0; i < payloads.size(); ++i) {
        if (command == m_vanishCommand && i == m_vanishAfterLines) {
            then([this] { whenRead([this] { unplug(); }); });
            return;
        }
        QString payload = payloads.at(i);
        if (command == m_damagedCommand && i == m_damagedLine && !payload.isEmpty())
            payload[payload.size() / 2] = QLatin1Char(payload.at(payload.size() / 2) == QLatin1Char('#') ? '%' : '#');
        send(prefix + payload);
        if (m_logsInBodies)
            sendLog(QStringLiteral("sent %1 line %2").arg(command).arg(i + 1));
    }
    send(QStringLiteral("END:") + command);
}

void UsbInstrument::commandList()
{
    sendBody(QStringLiteral("LIST_PROTOCOLS"), m_state->fileNames());
}

void UsbInstrument::commandGetProtocol(const QString &name)
{
    if (!m_state->hasFile(name)) {
        send(QStringLiteral("ERR:file not found: ") + name);
        return;
    }
    QStringList lines = QString::fromUtf8(m_state->file(name)).split(QLatin1Char('\n'));
    // The file's last line end does not make an empty line of its own.
    if (lines.size() > 1 && lines.constLast().isEmpty())
        lines.removeLast();
    for (QString &line : lines)
        line.remove(QLatin1Char('\r'));
    sendBody(QStringLiteral("GET_PROTOCOL"), lines);
}

void UsbInstrument::commandPutProtocol(const QString &name)
{
    if (!InstrumentState::isValidFileName(name)) {
        send(QStringLiteral("ERR:invalid file name"));
        return;
    }
    m_body = Body::Protocol;
    m_bodyName = name;
    m_bodyLines.clear();
    send(QStringLiteral("OK:PUT_PROTOCOL"));
}

void UsbInstrument::commandDeleteProtocol(const QString &name)
{
    if (!m_state->removeFile(name)) {
        send(QStringLiteral("ERR:file not found: ") + name);
        return;
    }
    sendLog(QStringLiteral("deleted ") + name);
    send(QStringLiteral("OK:DEL_PROTOCOL"));
}

void UsbInstrument::commandSetCalibration(const QString &argument)
{
    const QStringList parts = argument.split(QLatin1Char(':'));
    bool indexOk = false;
    bool valueOk = false;
    const int index = parts.value(0).toInt(&indexOk);
    const double value = parts.value(1).toDouble(&valueOk);
    if (parts.size() != 2 || !indexOk || !valueOk || !m_state->setCoefficient(index, value)) {
        send(QStringLiteral("ERR:invalid coefficient"));
        return;
    }
    send(QStringLiteral("OK:SET_CAL:%1").arg(index));
}

void UsbInstrument::commandSetPreference(const QString &argument)
{
    const int colon = argument.indexOf(QLatin1Char(':'));
    if (colon <= 0) {
        send(QStringLiteral("ERR:invalid preference"));
        return;
    }
    const QString key = argument.left(colon);
    QString error;
    if (!m_state->setPreference(key, argument.mid(colon + 1), &error)) {
        send(QStringLiteral("ERR:") + error);
        return;
    }
    sendLog(QStringLiteral("preference %1 saved").arg(key));
    send(QStringLiteral("OK:SET_PREF:") + key);
}

void UsbInstrument::commandGetCertificate()
{
    if (!m_state->hasCertificate()) {
        send(QStringLiteral("ERR:no certificate"));
        return;
    }
    sendBody(QStringLiteral("GET_CERT"), m_state->certificateRecord().split(QLatin1Char('\n')));
}

void UsbInstrument::commandGetCertificateFile()
{
    const QString file = m_state->certificateFile();
    if (file.isEmpty()) {
        send(QStringLiteral("ERR:no source data"));
        return;
    }
    QStringList pieces;
    for (int at = 0; at < file.size(); at += CertificateFilePiece)
        pieces.append(file.mid(at, CertificateFilePiece));
    sendBody(QStringLiteral("GET_CERT_FILE"), pieces);
}

void UsbInstrument::handleBodyLine(const QString &line)
{
    m_bodyLines.append(line);
    const QString command = m_body == Body::Protocol      ? QStringLiteral("PUT_PROTOCOL")
                            : m_body == Body::Certificate ? QStringLiteral("PUT_CERT")
                                                          : QStringLiteral("PUT_CERT_FILE");
    if (command == m_vanishCommand && m_bodyLines.size() == m_vanishAfterLines) {
        // Whatever else arrives is lost with the port.
        m_silencedNow = true;
        whenRead([this] { unplug(); });
    }
}

void UsbInstrument::finishBody()
{
    const Body body = m_body;
    m_body = Body::None;
    const QStringList lines = m_bodyLines;
    m_bodyLines.clear();
    switch (body) {
    case Body::Protocol: {
        QString error;
        const QByteArray contents = lines.join(QLatin1Char('\n')).toUtf8();
        if (!m_state->putFile(m_bodyName, contents, &error)) {
            send(QStringLiteral("ERR:") + error);
            return;
        }
        sendLog(QStringLiteral("stored %1 (%2 bytes)").arg(m_bodyName).arg(contents.size()));
        send(QStringLiteral("OK:PUT_PROTOCOL:saved"));
        return;
    }
    case Body::Certificate:
        // A new certificate replaces the old one and its workbook.
        m_state->setCertificateFile(QString());
        m_state->setCertificateRecord(lines.join(QLatin1Char('\n')));
        send(QStringLiteral("OK:PUT_CERT:saved"));
        return;
    case Body::CertificateFile: {
        const QString base64 = lines.join(QString());
        const auto decoded = QByteArray::fromBase64Encoding(base64.toLatin1(),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded) {
            send(QStringLiteral("ERR:source data is not Base64"));
            return;
        }
        m_state->setCertificateFile(base64);
        send(QStringLiteral("OK:PUT_CERT_FILE:saved"));
        return;
    }
    case Body::None:
        return;
    }
}

void UsbInstrument::commandOtaBegin(const QString &argument)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,9}):([0-9a-fA-F]{64})$"));
    if (!m_state->imageConfirmed()) {
        send(QStringLiteral("ERR:PENDING_CONFIRM"));
        return;
    }
    const QRegularExpressionMatch match = pattern.match(argument);
    const int size = match.hasMatch() ? match.captured(1).toInt() : 0;
    if (size < 1 || size > InstrumentState::MaxImageSize) {
        send(QStringLiteral("ERR:bad image size or hash"));
        return;
    }
    m_ota = OtaTransfer();
    m_ota.active = true;
    m_ota.size = size;
    m_ota.expectedHash = match.captured(2).toLower().toLatin1();
    m_ota.image.reserve(size);
    sendLog(QStringLiteral("update of %1 bytes begins").arg(size));
    send(QStringLiteral("OK:OTA_BEGIN:%1").arg(m_chunkSize));
}

void UsbInstrument::commandOtaChunk(const QString &argument)
{
    if (!m_ota.active) {
        send(QStringLiteral("ERR:no update in progress"));
        return;
    }
    const int number = ++m_ota.chunks;
    const auto decoded = QByteArray::fromBase64Encoding(argument.toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || (*decoded).isEmpty() || number == m_rejectChunk) {
        send(QStringLiteral("ERR:BADCHUNK"));
        return;
    }
    QByteArray bytes = *decoded;
    if (bytes.size() > m_chunkSize || m_ota.image.size() + bytes.size() > m_ota.size) {
        send(QStringLiteral("ERR:CHUNK_TOO_BIG"));
        return;
    }
    if (number == m_corruptChunk)
        bytes[0] = char(bytes.at(0) ^ 0x5A);
    m_ota.image.append(bytes);
    m_ota.verified = false;
    send(QStringLiteral("OK:OTA_CHUNK:%1").arg(m_ota.image.size()));
}

void UsbInstrument::commandOtaEnd()
{
    if (!m_ota.active) {
        send(QStringLiteral("ERR:no update in progress"));
        return;
    }
    if (m_ota.image.size() != m_ota.size) {
        send(QStringLiteral("ERR:incomplete image: %1 of %2 bytes").arg(m_ota.image.size()).arg(m_ota.size));
        return;
    }
    const QByteArray hash = QCryptographicHash::hash(m_ota.image, QCryptographicHash::Sha256).toHex();
    if (hash != m_ota.expectedHash) {
        sendLog(QStringLiteral("sha256 %1").arg(QString::fromLatin1(hash)));
        send(QStringLiteral("ERR:CHECKSUM mismatch"));
        return;
    }
    m_ota.verified = true;
    sendLog(QStringLiteral("image verified"));
    send(QStringLiteral("OK:OTA:verified"));
}

void UsbInstrument::commandOtaApply()
{
    if (!m_ota.active || !m_ota.verified) {
        send(QStringLiteral("ERR:image not verified"));
        return;
    }
    m_state->stageImage(m_ota.image);
    m_ota = OtaTransfer();
    send(QStringLiteral("OK:OTA:rebooting"));
    then([this] { restartSoon(); });
}
