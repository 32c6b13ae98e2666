#include "devices/preferencecommands.h"

#include "devices/deviceconnection.h"
#include "devices/instrumentprotocol.h"
#include "devices/instrumentsession.h"

PreferenceWriteCommand::PreferenceWriteCommand(const QString &key, const QString &value)
    : m_key(key)
    , m_value(value)
{
}

void PreferenceWriteCommand::start(InstrumentSession &session)
{
    session.setState(InstrumentSession::Ready);
    session.sendLine(InstrumentProtocol::setPreferenceLine(m_key, m_value));
}

SessionOperation::Step PreferenceWriteCommand::take(InstrumentSession &session, const QString &line)
{
    if (line.startsWith(QLatin1String("ERR:"))) {
        session.reportRefusal(line);
        return Step::CloseSession;
    }
    if (!line.startsWith(QLatin1String("OK:SET_PREF")))
        return Step::Continue;
    // One preference write is outstanding at a time, so this confirms it whatever key the
    // reply names: trusting the reply's key would leave the write unfinished for ever.
    const QString named = InstrumentProtocol::preferenceReplyKey(line);
    if (!named.isEmpty() && named != m_key)
        session.debug() << "[PREF] reply names" << named << "— taken as the confirmation of" << m_key;
    m_saved = true;
    return Step::CloseSession;
}

void PreferenceWriteCommand::finished(SessionLink &link)
{
    if (m_saved) {
        link.preferenceSaved(m_key, m_value);
        link.setStatusMessage(QStringLiteral("Preference saved"));
    }
    emit link.connection().setPrefResult(m_saved, m_key);
}

void PreferenceWriteCommand::ended(SessionLink &link, SessionEnd cause)
{
    emit link.connection().setPrefResult(false, m_key);
    if (cause == SessionEnd::NoReply)
        reportEnd(link, cause);
}

// ---------------------------------------------------------------------------------------

RecordReadCommand::RecordReadCommand(Record record)
    : m_record(record)
    , m_reply(record == Record::Info ? QStringLiteral("GET_INFO") : QStringLiteral("GET_PREFS"))
{
}

QString RecordReadCommand::name() const
{
    return m_record == Record::Info ? QStringLiteral("getDeviceInfo") : QStringLiteral("getPrefs");
}

void RecordReadCommand::start(InstrumentSession &session)
{
    session.setState(m_record == Record::Info ? InstrumentSession::GettingInfo : InstrumentSession::GettingPrefs);
    session.sendLine(m_reply.command());
}

SessionOperation::Step RecordReadCommand::take(InstrumentSession &, const QString &line)
{
    switch (m_reply.take(line)) {
    case RecordReply::Step::Done:
        return Step::KeepSession;
    case RecordReply::Step::Failed:
        m_failed = true;
        return Step::KeepSession;
    case RecordReply::Step::More:
    case RecordReply::Step::Ignored:
        return Step::Continue;
    }
    return Step::Continue;
}

void RecordReadCommand::finished(SessionLink &link)
{
    if (m_failed) {
        emit link.connection().errorOccurred(m_reply.failure());
        return;
    }
    const QVariantMap record = m_reply.record();
    if (m_record == Record::Preferences) {
        emit link.connection().prefsReceived(record);
        return;
    }
    emit link.connection().deviceInfoReceived(record.value(QStringLiteral("name")).toString(),
                                              record.value(QStringLiteral("sn")).toString(),
                                              record.value(QStringLiteral("fw")).toString());
}

void RecordReadCommand::ended(SessionLink &link, SessionEnd cause)
{
    reportEnd(link, cause);
}
