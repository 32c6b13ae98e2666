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
    QVariantList steps{QVariantMap{{QStringLiteral("type"), QStringLiteral("tipselect")},
                                   {QStringLiteral("tip"), QStringLiteral("small")}}};
    const int base = int(((save % 150) + 150) % 150) + 1;
    for (int i = 0; i < 19; ++i) {
        steps << QVariantMap{{QStringLiteral("type"), i % 2 ? QStringLiteral("dispense")
                                                            : QStringLiteral("aspirate")},
                             {QStringLiteral("tip"), QStringLiteral("small")},
                             {QStringLiteral("speed"), 5},
                             {QStringLiteral("volumeWhole"), base},
                             {QStringLiteral("volumeFractional"), i / 2},
                             {QStringLiteral("extraVolume"), 0}};
    }
    return steps;
}

} // namespace SaveSequence
