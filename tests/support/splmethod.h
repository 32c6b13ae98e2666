#pragma once

// The one way tests build a method: SPL text, as a user would write it.
//     methodFromSpl("tipselect tip:small\naspirate tip:small vol:50 xvol:0 speed:5\n")
// The text may leave out the "protocol name:" line. A text that does not read stops the
// test program at once with the reader's message: a broken fixture is not a test result.

#include "formats/splparser.h"
#include "model/commands.h"

#include <QList>

inline QList<Command *> methodFromSpl(const QString &spl, QObject *owner = nullptr)
{
    const QString text = spl.startsWith(QLatin1String("protocol name:")) ? spl : QStringLiteral("protocol name: Test\n") + spl;
    QString name;
    QString error;
    QList<Command *> commands;
    if (!SplParser().parse(text, &name, &commands, &error))
        qFatal("methodFromSpl: %s", qPrintable(error));
    for (Command *command : qAsConst(commands))
        command->setParent(owner);
    return commands;
}
