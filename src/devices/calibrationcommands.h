#pragma once

#include "devices/recordreply.h"
#include "devices/sessionoperation.h"

#include <QList>
#include <QPair>
#include <QString>

// "CMD:GET_CAL": the coefficients as one JSON record. fetchCalibration chains
// "CMD:GET_PREFS" after it in the same session for the calibration date ("calDate"),
// which the instrument keeps among its preferences.
class CalibrationReadCommand : public SessionOperation
{
public:
    explicit CalibrationReadCommand(bool withDate);

    QString name() const override;
    QString replyName() const override;
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    bool m_withDate;
    bool m_readingDate = false;
    RecordReply m_calibration{QStringLiteral("GET_CAL")};
    RecordReply m_prefs{QStringLiteral("GET_PREFS")};
    RecordReply::Step m_outcome = RecordReply::Step::More;
};

// The coefficients written one at a time, each after the instrument's "OK:SET_CAL" for the
// one before, then the calibration date as the preference "calDate" ("OK:SET_PREF"). Any
// "ERR:" ends the whole write: the coefficients still queued must not be written later.
class CalibrationWriteCommand : public SessionOperation
{
public:
    // applyCalibration: the queue (see InstrumentProtocol::coefficientQueue) and the date
    // to write after it (empty for none). An empty queue writes only the date, which must
    // then be given.
    CalibrationWriteCommand(const QList<QPair<int, float>> &queue, const QString &date);
    // setCalibration: one coefficient, no date.
    CalibrationWriteCommand(int index, float value);

    QString name() const override;
    void start(InstrumentSession &session) override;
    Step take(InstrumentSession &session, const QString &line) override;
    void finished(SessionLink &link) override;
    void ended(SessionLink &link, SessionEnd cause) override;

private:
    void sendNextCoefficient(InstrumentSession &session);

    QList<QPair<int, float>> m_queue;
    QString m_date;
    bool m_single;
    bool m_writingDate = false;
    bool m_saved = false;
};
