#pragma once

#include "devices/recordreply.h"
#include "devices/sessionoperation.h"

#include <QString>

// "CMD:SET_PREF:<key>:<value>", confirmed by "OK:SET_PREF[:<key>]" or refused by "ERR:".
class PreferenceWriteCommand : public SessionOperation
{
public:
    PreferenceWriteCommand(const QString &key, const QString &value);

    QString name() const override { return QStringLiteral("setPref"); }
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    QString m_key;
    QString m_value;
    bool m_saved = false;
};

// A read of one JSON record in an open session: "CMD:GET_INFO" (the identity) or
// "CMD:GET_PREFS" (the preferences). The session stays open after it, answered or refused.
class RecordReadCommand : public SessionOperation
{
public:
    enum class Record { Info, Preferences };
    explicit RecordReadCommand(Record record);

    QString name() const override;
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    Record m_record;
    RecordReply m_reply;
    bool m_failed = false;
};
