#pragma once

#include <QString>
#include <QVariantList>
#include <QVariantMap>

// The sequence of saves that the library saver runs and the crash test checks: save
// number k writes method k mod count with description k and the steps of k, so that any
// whole library the store can hold is recognised by its descriptions alone.
namespace SaveSequence {

inline QString methodName(int index)
{
    return QStringLiteral("Method %1").arg(index, 3, 10, QLatin1Char('0'));
}

inline int methodIndex(qint64 save, int count)
{
    return int(((save % count) + count) % count);
}

// Twenty steps whose volumes depend on the save number.
inline QVariantList stepsFor(qint64 save)
{
    QVariantList steps{QVariantMap{{"type", "tipselect"}, {"tip", "small"}}};
    const int base = int(((save % 150) + 150) % 150) + 1;
    for (int i = 0; i < 19; ++i)
        steps << QVariantMap{{"type", i % 2 ? "dispense" : "aspirate"}, {"tip", "small"}, {"speed", 5},
                             {"volumeWhole", base}, {"volumeFractional", i / 2}, {"extraVolume", 0}};
    return steps;
}

} // namespace SaveSequence
