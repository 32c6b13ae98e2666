#include "devices/serial/certificatecommands.h"

#include "devices/deviceconnection.h"
#include "devices/instrumentprotocol.h"
#include "devices/instrumentsession.h"

#include <QTimer>

namespace {

const QString RecordPrefix = QStringLiteral("DATA:GET_CERT:");
const QString FilePrefix = QStringLiteral("DATA:GET_CERT_FILE:");

bool isRefusal(const QString &line)
{
    return line.startsWith(QLatin1String("ERR:"));
}

// The session turns a reply that lost a line into a refusal under the operation's name:
// that is a damaged download, not an instrument without a certificate.
bool isDamagedReply(const QString &line, const QString &operation)
{
    return line.startsWith(QStringLiteral("ERR:%1: reply damaged").arg(operation));
}

} // namespace

// ---------------------------------------------------------------------------------------
// Upload

CertificatePutCommand::CertificatePutCommand(const QString &record, const QString &workbookBase64,
                                             std::function<void(bool)> done)
    : m_record(record)
    , m_workbook(workbookBase64)
    , m_done(std::move(done))
{
}

CertificatePutCommand::~CertificatePutCommand() = default;

void CertificatePutCommand::start(InstrumentSession &session)
{
    m_session = &session;
    session.setState(InstrumentSession::CertPutAwaitAck);
    session.sendLine(QStringLiteral("CMD:PUT_CERT"));
}

SessionOperation::Step CertificatePutCommand::take(InstrumentSession &session, const QString &line)
{
    if (isRefusal(line)) {
        // Ending the operation destroys the pump with it: no line of this upload follows.
        m_failure = InstrumentProtocol::errorReason(line);
        return Step::CloseSession;
    }
    switch (session.state()) {
    case InstrumentSession::CertPutAwaitAck:
        if (line == QLatin1String("OK:PUT_CERT")) {
            session.setState(InstrumentSession::CertPutAwaitSaved);
            session.link().setTransferProgress(33);
            startBody(session, m_record.split(QLatin1Char('\n')), QStringLiteral("END:PUT_CERT"));
        }
        return Step::Continue;
    case InstrumentSession::CertPutAwaitSaved:
        if (m_bodyComplete && line == QLatin1String("OK:PUT_CERT:saved")) {
            if (m_workbook.isEmpty())
                return Step::CloseSession;
            session.setState(InstrumentSession::CertFilePutAwaitAck);
            session.sendLine(QStringLiteral("CMD:PUT_CERT_FILE"));
        }
        return Step::Continue;
    case InstrumentSession::CertFilePutAwaitAck:
        if (line == QLatin1String("OK:PUT_CERT_FILE")) {
            session.setState(InstrumentSession::CertFilePutAwaitSaved);
            session.link().setTransferProgress(66);
            QStringList pieces;
            for (int at = 0; at < m_workbook.size(); at += PieceLength)
                pieces.append(m_workbook.mid(at, PieceLength));
            startBody(session, pieces, QStringLiteral("END:PUT_CERT_FILE"));
        }
        return Step::Continue;
    case InstrumentSession::CertFilePutAwaitSaved:
        if (m_bodyComplete && line == QLatin1String("OK:PUT_CERT_FILE:saved"))
            return Step::CloseSession;
        return Step::Continue;
    default:
        return Step::Continue;
    }
}

void CertificatePutCommand::startBody(InstrumentSession &session, const QStringList &lines, const QString &endMarker)
{
    m_pending = lines;
    m_endMarker = endMarker;
    m_bodyComplete = false;
    session.debug() << "[CERT] writing" << lines.size() << "line(s), then" << endMarker;
    if (!m_pump) {
        m_pump = std::make_unique<QTimer>();
        m_pump->setInterval(LineIntervalMs);
        QObject::connect(m_pump.get(), &QTimer::timeout, [this] { pumpLine(); });
    }
    pumpLine();
    m_pump->start();
}

void CertificatePutCommand::pumpLine()
{
    if (m_pending.isEmpty()) {
        m_pump->stop();
        m_bodyComplete = true;
        m_session->sendLine(m_endMarker);
        return;
    }
    m_session->sendLine(m_pending.takeFirst());
}

void CertificatePutCommand::finished(SessionLink &link)
{
    if (!m_failure.isEmpty()) {
        fail(link, m_failure);
        return;
    }
    link.setTransferring(false);
    link.setTransferProgress(100);
    link.setStatusMessage(QStringLiteral("Saved to device"));
    m_done(true);
}

void CertificatePutCommand::ended(SessionLink &link, SessionEnd cause)
{
    fail(link, cause == SessionEnd::NoHandshake ? QStringLiteral("timeout waiting for device") : name() + endSuffix(cause));
}

void CertificatePutCommand::fail(SessionLink &link, const QString &message)
{
    link.setTransferring(false);
    link.setStatusMessage(QStringLiteral("Save failed"));
    emit link.connection().errorOccurred(message);
    m_done(false);
}

// ---------------------------------------------------------------------------------------
// Record download

CertificateGetCommand::CertificateGetCommand(std::function<void(const QString &)> done)
    : m_done(std::move(done))
{
}

void CertificateGetCommand::start(InstrumentSession &session)
{
    session.setState(InstrumentSession::GettingCert);
    session.sendLine(QStringLiteral("CMD:GET_CERT"));
}

SessionOperation::Step CertificateGetCommand::take(InstrumentSession &, const QString &line)
{
    if (line.startsWith(RecordPrefix)) {
        if (m_lines++ > 0)
            m_record.append(QLatin1Char('\n'));
        m_record.append(line.mid(RecordPrefix.size()));
        if (m_record.size() > MaxBytes) {
            m_failure = QStringLiteral("getCertificate: the record is larger than %1 KiB").arg(MaxBytes / 1024);
            return Step::CloseSession;
        }
        return Step::Continue;
    }
    if (line == QLatin1String("END:GET_CERT"))
        return Step::CloseSession;
    if (isRefusal(line)) {
        if (isDamagedReply(line, name()))
            m_failure = InstrumentProtocol::errorReason(line);
        m_record.clear();
        return Step::CloseSession;
    }
    return Step::Continue;
}

void CertificateGetCommand::finished(SessionLink &link)
{
    if (!m_failure.isEmpty()) {
        emit link.connection().errorOccurred(m_failure);
        m_done(QString());
        return;
    }
    // "Loading certificate..." is over, whatever came.
    link.setStatusMessage(QString());
    m_done(m_record);
}

void CertificateGetCommand::ended(SessionLink &link, SessionEnd cause)
{
    emit link.connection().errorOccurred(cause == SessionEnd::NoHandshake ? QStringLiteral("getCertificate: timeout")
                                                                          : name() + endSuffix(cause));
}

// ---------------------------------------------------------------------------------------
// Workbook download

CertificateFileGetCommand::CertificateFileGetCommand(std::function<void(const QByteArray &)> done)
    : m_done(std::move(done))
{
}

void CertificateFileGetCommand::start(InstrumentSession &session)
{
    session.setState(InstrumentSession::GettingCertFile);
    session.sendLine(QStringLiteral("CMD:GET_CERT_FILE"));
}

SessionOperation::Step CertificateFileGetCommand::take(InstrumentSession &, const QString &line)
{
    if (line.startsWith(FilePrefix)) {
        m_base64.append(line.midRef(FilePrefix.size()).toLatin1());
        if (m_base64.size() > MaxBase64Bytes) {
            m_base64.clear();
            m_failure = QStringLiteral("getCertificateFile: the source data is larger than %1 MiB")
                            .arg(MaxBase64Bytes / 4 * 3 / (1024 * 1024));
            return Step::CloseSession;
        }
        return Step::Continue;
    }
    if (line == QLatin1String("END:GET_CERT_FILE")) {
        // A piece that lost or changed a character must not pass for the workbook.
        const auto decoded = QByteArray::fromBase64Encoding(m_base64, QByteArray::AbortOnBase64DecodingErrors);
        m_base64.clear();
        if (decoded)
            m_file = *decoded;
        else
            m_failure = QStringLiteral("getCertificateFile: the source data arrived damaged");
        return Step::CloseSession;
    }
    if (isRefusal(line)) {
        if (isDamagedReply(line, name()))
            m_failure = InstrumentProtocol::errorReason(line);
        m_base64.clear();
        return Step::CloseSession;
    }
    return Step::Continue;
}

void CertificateFileGetCommand::finished(SessionLink &link)
{
    if (!m_failure.isEmpty())
        emit link.connection().errorOccurred(m_failure);
    else if (!m_file.isEmpty())
        link.setStatusMessage(QStringLiteral("Source data downloaded"));
    m_done(m_file);
}

void CertificateFileGetCommand::ended(SessionLink &link, SessionEnd cause)
{
    emit link.connection().errorOccurred(cause == SessionEnd::NoHandshake ? QStringLiteral("getCertificateFile: timeout")
                                                                          : name() + endSuffix(cause));
    m_done(QByteArray());
}

// ---------------------------------------------------------------------------------------
// Delete

CertificateDeleteCommand::CertificateDeleteCommand(std::function<void()> done)
    : m_done(std::move(done))
{
}

void CertificateDeleteCommand::start(InstrumentSession &session)
{
    session.setState(InstrumentSession::Ready);
    session.sendLine(QStringLiteral("CMD:DEL_CERT"));
}

SessionOperation::Step CertificateDeleteCommand::take(InstrumentSession &session, const QString &line)
{
    if (isRefusal(line)) {
        // Refused, the session still ends: left open, it would refuse every later
        // operation as busy.
        session.reportRefusal(line);
        return Step::CloseSession;
    }
    if (!line.startsWith(QLatin1String("OK:DEL_CERT")))
        return Step::Continue;
    m_deleted = true;
    return Step::CloseSession;
}

void CertificateDeleteCommand::finished(SessionLink &link)
{
    if (!m_deleted)
        return;
    link.setStatusMessage(QStringLiteral("Certificate cleared"));
    m_done();
}

void CertificateDeleteCommand::ended(SessionLink &link, SessionEnd cause)
{
    emit link.connection().errorOccurred(cause == SessionEnd::NoHandshake ? QStringLiteral("deleteCertificate: timeout")
                                                                          : name() + endSuffix(cause));
}
