#include "devices/calibrationcommands.h"

#include "devices/deviceconnection.h"
#include "devices/instrumentprotocol.h"
#include "devices/instrumentsession.h"

// ---------------------------------------------------------------------------------------
// Reading

CalibrationReadCommand::CalibrationReadCommand(bool withDate)
    : m_withDate(withDate)
{
}

QString CalibrationReadCommand::name() const
{
    return m_withDate ? QStringLiteral("fetchCalibration") : QStringLiteral("getCalibration");
}

QString CalibrationReadCommand::replyName() const
{
    return m_readingDate ? QStringLiteral("getPrefs") : name();
}

void CalibrationReadCommand::start(InstrumentSession &session)
{
    session.setState(InstrumentSession::GettingCal);
    session.sendLine(m_calibration.command());
}

SessionOperation::Step CalibrationReadCommand::take(InstrumentSession &session, const QString &line)
{
    if (m_readingDate) {
        m_outcome = m_prefs.take(line);
        return m_outcome == RecordReply::Step::Done || m_outcome == RecordReply::Step::Failed ? Step::CloseSession
                                                                                              : Step::Continue;
    }
    m_outcome = m_calibration.take(line);
    switch (m_outcome) {
    case RecordReply::Step::Done:
        if (!m_withDate)
            return Step::CloseSession;
        m_readingDate = true;
        session.setState(InstrumentSession::GettingPrefs);
        session.sendLine(m_prefs.command());
        // The calibration is whole: its caller need not wait for the date.
        session.link().setCalibrationData(m_calibration.record());
        emit session.link().connection().calibrationReceived(m_calibration.record());
        m_outcome = RecordReply::Step::More;
        return Step::Continue;
    case RecordReply::Step::Failed:
        return Step::CloseSession;
    case RecordReply::Step::More:
    case RecordReply::Step::Ignored:
        return Step::Continue;
    }
    return Step::Continue;
}

void CalibrationReadCommand::finished(SessionLink &link)
{
    if (m_readingDate) {
        // The calibration itself arrived; a missing date is not worth an error.
        if (m_outcome == RecordReply::Step::Done)
            link.setCalibrationDate(m_prefs.record().value(QStringLiteral("calDate")).toString());
        return;
    }
    if (m_outcome == RecordReply::Step::Failed) {
        emit link.connection().errorOccurred(m_calibration.failure());
        return;
    }
    link.setCalibrationData(m_calibration.record());
    emit link.connection().calibrationReceived(m_calibration.record());
}

void CalibrationReadCommand::ended(SessionLink &link, SessionEnd cause)
{
    // Once the coefficients are delivered, only the date is missing: nothing to report.
    if (m_readingDate)
        return;
    emit link.connection().calibrationReceived(QVariantMap());
    if (cause == SessionEnd::NoReply)
        reportEnd(link, cause);
}

// ---------------------------------------------------------------------------------------
// Writing

CalibrationWriteCommand::CalibrationWriteCommand(const QList<QPair<int, float>> &queue, const QString &date)
    : m_queue(queue)
    , m_date(date)
    , m_single(false)
{
}

CalibrationWriteCommand::CalibrationWriteCommand(int index, float value)
    : m_queue{qMakePair(index, value)}
    , m_single(true)
{
}

QString CalibrationWriteCommand::name() const
{
    return m_single ? QStringLiteral("setCalibration") : QStringLiteral("applyCalibration");
}

void CalibrationWriteCommand::sendNextCoefficient(InstrumentSession &session)
{
    const QPair<int, float> next = m_queue.takeFirst();
    session.sendLine(InstrumentProtocol::setCalibrationLine(next.first, next.second));
}

void CalibrationWriteCommand::start(InstrumentSession &session)
{
    session.setState(InstrumentSession::Ready);
    if (m_queue.isEmpty()) {
        // Only the date to write.
        m_writingDate = true;
        session.sendLine(InstrumentProtocol::setPreferenceLine(QStringLiteral("calDate"), m_date));
        return;
    }
    sendNextCoefficient(session);
}

SessionOperation::Step CalibrationWriteCommand::take(InstrumentSession &session, const QString &line)
{
    if (line.startsWith(QLatin1String("ERR:"))) {
        session.reportRefusal(line);
        return Step::CloseSession;
    }
    if (m_writingDate) {
        // While the date is being written only its own confirmation ends the write, whatever
        // key the reply names: one preference write is outstanding at a time.
        if (!line.startsWith(QLatin1String("OK:SET_PREF")))
            return Step::Continue;
        const QString named = InstrumentProtocol::preferenceReplyKey(line);
        if (!named.isEmpty() && named != QLatin1String("calDate"))
            session.debug() << "[PREF] reply names" << named << "— taken as the confirmation of calDate";
        m_saved = true;
        return Step::CloseSession;
    }
    if (!line.startsWith(QLatin1String("OK:SET_CAL")))
        return Step::Continue;
    session.link().calibrationWriteProgress(int(m_queue.size()));
    if (!m_queue.isEmpty()) {
        sendNextCoefficient(session);
        return Step::Continue;
    }
    if (m_date.isEmpty()) {
        m_saved = true;
        return Step::CloseSession;
    }
    m_writingDate = true;
    session.sendLine(InstrumentProtocol::setPreferenceLine(QStringLiteral("calDate"), m_date));
    return Step::Continue;
}

void CalibrationWriteCommand::finished(SessionLink &link)
{
    link.setTransferring(false);
    link.setTransferProgress(m_saved ? 100 : 0);
    if (m_saved) {
        link.setStatusMessage(QStringLiteral("Calibration saved"));
        if (m_writingDate)
            link.setCalibrationDate(m_date);
    }
    emit link.connection().calibrationApplied(m_saved);
}

void CalibrationWriteCommand::ended(SessionLink &link, SessionEnd cause)
{
    if (cause == SessionEnd::NoHandshake) {
        link.setTransferring(false);
        link.setTransferProgress(0);
    }
    emit link.connection().calibrationApplied(false);
    if (cause == SessionEnd::NoReply)
        reportEnd(link, cause);
}
