#pragma once

#include <QList>
#include <QPair>
#include <QString>

// The calibration write as both links run it: the coefficients one at a time, each after
// the instrument's "OK:SET_CAL" for the one before, then the calibration date as the
// preference "calDate". It holds the sequence only: the link sends the lines it is given
// and tells it about the replies.
class CalibrationWrite
{
public:
    enum class Next { Coefficient, Date, Finished };

    // applyCalibration: the queue (see InstrumentProtocol::coefficientQueue) and the date
    // to write after it (empty for none).
    void begin(const QList<QPair<int, float>> &queue, const QString &date);
    // setCalibration: one coefficient written by the caller, nothing queued, no date.
    void beginSingle();
    void end();

    bool active() const { return m_active; }
    bool single() const { return m_single; }
    bool hasQueued() const { return !m_queue.isEmpty(); }
    int queued() const { return int(m_queue.size()); }
    bool datePending() const { return !m_date.isEmpty(); }

    // The line of the next queued coefficient, taken off the queue.
    QString takeNextLine();
    // After an "OK:SET_CAL": what comes next, and its line in `line` (the next coefficient,
    // or the date's preference write, which takes the date off).
    Next afterCoefficientSaved(QString *line, QString *date);

private:
    QList<QPair<int, float>> m_queue;
    QString m_date;
    bool m_active = false;
    bool m_single = false;
};
