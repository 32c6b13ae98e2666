#pragma once

#include "devices/sessionoperation.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QTimer;

// The instrument's QA certificate: its record (JSON text) and the workbook it was computed
// from (Base64 text). Each command is a session of its own and closes it; everything it
// holds lives and dies with it, so a session cut short by a pulled cable or a closed port
// leaves nothing behind for the next instrument's session to send.

// "CMD:PUT_CERT", the record line by line closed by "END:PUT_CERT", "OK:PUT_CERT:saved";
// then, with a workbook, "CMD:PUT_CERT_FILE", its Base64 in pieces, "END:PUT_CERT_FILE",
// "OK:PUT_CERT_FILE:saved". "ERR:" at any step ends the upload.
class CertificatePutCommand : public SessionOperation
{
public:
    static constexpr int PieceLength = 200;
    // The instrument stores each line before the next may come.
    static constexpr int LineIntervalMs = 10;

    CertificatePutCommand(const QString &record, const QString &workbookBase64, std::function<void(bool)> done);
    ~CertificatePutCommand() override;

    QString name() const override { return QStringLiteral("putCertificate"); }
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    void startBody(InstrumentSession &session, const QStringList &lines, const QString &endMarker);
    void pumpLine();
    void fail(SessionLink &link, const QString &message);

    QString m_record;
    QString m_workbook;
    std::function<void(bool)> m_done;
    InstrumentSession *m_session = nullptr;
    std::unique_ptr<QTimer> m_pump;
    QStringList m_pending;
    QString m_endMarker;
    bool m_bodyComplete = false;
    QString m_failure;
};

// "CMD:GET_CERT": the record as "DATA:GET_CERT:" lines closed by "END:GET_CERT". An
// instrument without a certificate answers "ERR:", which is an empty record.
class CertificateGetCommand : public SessionOperation
{
public:
    static constexpr int MaxBytes = 1024 * 1024;

    explicit CertificateGetCommand(std::function<void(const QString &)> done);

    QString name() const override { return QStringLiteral("getCertificate"); }
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    std::function<void(const QString &)> m_done;
    QString m_record;
    int m_lines = 0;
    QString m_failure;
};

// "CMD:GET_CERT_FILE": the workbook's Base64 as "DATA:GET_CERT_FILE:" pieces closed by
// "END:GET_CERT_FILE". The answer is the decoded workbook, empty for none or a failure.
class CertificateFileGetCommand : public SessionOperation
{
public:
    // Workbooks are refused beyond 16 MiB; their Base64 is a third longer.
    static constexpr int MaxBase64Bytes = 64 * 1024 * 1024;

    explicit CertificateFileGetCommand(std::function<void(const QByteArray &)> done);

    QString name() const override { return QStringLiteral("getCertificateFile"); }
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    std::function<void(const QByteArray &)> m_done;
    QByteArray m_base64;
    QByteArray m_file;
    QString m_failure;
};

// "CMD:DEL_CERT", answered "OK:DEL_CERT" or "ERR:"; either way the session ends with it.
class CertificateDeleteCommand : public SessionOperation
{
public:
    explicit CertificateDeleteCommand(std::function<void()> done);

    QString name() const override { return QStringLiteral("deleteCertificate"); }
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    std::function<void()> m_done;
    bool m_deleted = false;
};
