#pragma once

#include <QSignalSpy>
#include <QStringList>

// The first argument of every signal a spy caught, as text: the messages a test compares.
inline QStringList spyTexts(const QSignalSpy &spy)
{
    QStringList texts;
    for (const QList<QVariant> &arguments : spy)
        texts << arguments.constFirst().toString();
    return texts;
}
