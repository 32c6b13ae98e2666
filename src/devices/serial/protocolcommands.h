#pragma once

#include "devices/sessionoperation.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// "CMD:LIST_PROTOCOLS": one "DATA:LIST_PROTOCOLS:<name>" line per file, then
// "END:LIST_PROTOCOLS", or "ERR:<reason>". A name listed twice is one file, and a listing
// longer than any instrument's is a peer gone wrong. The session stays open after it.
class ProtocolListCommand : public SessionOperation
{
public:
    static constexpr int MaxLines = 1000;

    QString name() const override { return QStringLiteral("listProtocols"); }
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    QStringList m_names;
    int m_lines = 0;
    QString m_failure;
    bool m_failed = false;
};

// "CMD:GET_PROTOCOL:<name>": the file's lines as "DATA:GET_PROTOCOL:<line>", then
// "END:GET_PROTOCOL", or "ERR:<reason>". The body is the lines joined by line feeds,
// without one after the last; a file larger than any instrument's is a peer gone wrong.
class ProtocolGetCommand : public SessionOperation
{
public:
    static constexpr int MaxBytes = 1024 * 1024;

    explicit ProtocolGetCommand(const QString &fileName);

    QString name() const override { return QStringLiteral("getProtocol"); }
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    QString m_fileName;
    QByteArray m_body;
    int m_lines = 0;
    QString m_failure;
    bool m_failed = false;
};

// "CMD:PUT_PROTOCOL:<name>", the instrument's "OK:PUT_PROTOCOL", the body line by line
// closed by "END:PUT_PROTOCOL", then "OK:PUT_PROTOCOL:saved" — or "ERR:<reason>" at
// either step.
class ProtocolPutCommand : public SessionOperation
{
public:
    ProtocolPutCommand(const QString &fileName, const QByteArray &data);

    QString name() const override { return QStringLiteral("putProtocol"); }
    // The body as it goes on the wire, every line ended, then the end marker.
    QByteArray body(int *lineCount) const;

    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    QString m_fileName;
    QByteArray m_data;
    QString m_failure;
    bool m_failed = false;
    bool m_bodySent = false;
};

// "CMD:DEL_PROTOCOL:<name>", answered "OK:DEL_PROTOCOL" or "ERR:". It ends its own session
// even when its caller closes the session right after asking for it.
class ProtocolDeleteCommand : public SessionOperation
{
public:
    explicit ProtocolDeleteCommand(const QString &fileName);

    QString name() const override { return QStringLiteral("deleteProtocol"); }
    bool closesOwnSession() const override { return true; }
    QString fileName() const { return m_fileName; }
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    QString m_fileName;
    bool m_deleted = false;
};
