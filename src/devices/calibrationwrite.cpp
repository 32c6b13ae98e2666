#include "devices/calibrationwrite.h"

#include "devices/instrumentprotocol.h"

void CalibrationWrite::begin(const QList<QPair<int, float>> &queue, const QString &date)
{
    m_queue = queue;
    m_date = date;
    m_active = true;
    m_single = false;
}

void CalibrationWrite::beginSingle()
{
    m_queue.clear();
    m_date.clear();
    m_active = true;
    m_single = true;
}

void CalibrationWrite::end()
{
    m_queue.clear();
    m_date.clear();
    m_active = false;
    m_single = false;
}

QString CalibrationWrite::takeNextLine()
{
    const QPair<int, float> next = m_queue.takeFirst();
    return InstrumentProtocol::setCalibrationLine(next.first, next.second);
}

CalibrationWrite::Next CalibrationWrite::afterCoefficientSaved(QString *line, QString *date)
{
    if (!m_queue.isEmpty()) {
        *line = takeNextLine();
        return Next::Coefficient;
    }
    if (m_date.isEmpty())
        return Next::Finished;
    *date = m_date;
    m_date.clear();
    *line = InstrumentProtocol::setPreferenceLine(QStringLiteral("calDate"), *date);
    return Next::Date;
}
