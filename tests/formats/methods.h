#pragma once

// Methods shared by the format tests, built as the editor would build them.

#include "model/commands.h"

#include <QCoreApplication>

namespace TestMethods {

template <typename T>
T *add(QList<Command *> *list, QObject *owner)
{
    auto *command = new T(owner);
    list->append(command);
    return command;
}

// Every kind once, a loop inside a loop, and volumes off the usual grid.
inline QList<Command *> everyKind(QObject *owner)
{
    QList<Command *> method;
    add<TipSelectCommand>(&method, owner)->setTip(QStringLiteral("large"));
    auto *aspirate = add<AspirateCommand>(&method, owner);
    aspirate->setTip(QStringLiteral("large"));
    aspirate->setVolumeWhole(512);
    aspirate->setVolumeFractional(3);
    aspirate->setExtraVolume(25);
    aspirate->setSpeed(3);
    auto *airgap = add<AirgapCommand>(&method, owner);
    airgap->setTip(QStringLiteral("large"));
    airgap->setVolumeFractional(15); // 101.5 written
    auto *outer = add<LoopCommand>(&method, owner);
    outer->setIterations(3);
    outer->setTip(QStringLiteral("large"));
    outer->addInnerCommand(QStringLiteral("dispense"));
    outer->addInnerCommand(QStringLiteral("tipselect"));
    outer->addInnerCommand(QStringLiteral("mix"));
    auto *inner = new LoopCommand(outer);
    inner->setIterations(10);
    inner->setTip(QStringLiteral("small"));
    inner->addInnerCommand(QStringLiteral("repeat"));
    inner->addInnerCommand(QStringLiteral("purge"));
    auto *innermost = new LoopCommand(inner);
    innermost->setIterations(1);
    innermost->setTip(QStringLiteral("small"));
    innermost->addInnerCommand(QStringLiteral("airgap"));
    inner->appendInnerCommand(innermost);
    outer->appendInnerCommand(inner);
    outer->addInnerCommand(QStringLiteral("tipselect"));
    outer->innerCommandList().at(4)->setTip(QStringLiteral("large"));
    auto *repeat = qobject_cast<RepeatCommand *>(inner->innerCommandList().at(0));
    repeat->setDispenseVolume(24.9);
    repeat->setReplicates(4);
    auto *mix = qobject_cast<MixCommand *>(outer->innerCommandList().at(2));
    mix->setVolumeWhole(0);
    mix->setVolumeFractional(-5); // -0.5
    mix->setCycles(100);
    auto *dispense = add<DispenseCommand>(&method, owner);
    dispense->setTip(QStringLiteral("large"));
    dispense->setVolumeWhole(-1);
    dispense->setVolumeFractional(-5); // -1.5
    dispense->setSpeed(7);
    // Not exactly "small", so the large tip: both text forms write it as large.
    auto *oddTip = add<MixCommand>(&method, owner);
    oddTip->setTip(QStringLiteral("Small"));
    oddTip->setVolumeWhole(12);
    oddTip->setVolumeFractional(10); // 13.0
    add<PurgeCommand>(&method, owner)->setSpeed(1);
    return method;
}

inline QVariantList storedForms(const QList<Command *> &commands)
{
    QVariantList list;
    for (const Command *command : commands)
        list.append(command->toVariantMap());
    return list;
}

// The stored forms as far as a text form keeps them: volumes as the value they print, tips
// as the word they print (a Tip Select's text aside), and no tip or speed for a loop
// (neither text writes them).
inline QVariantMap comparable(QVariantMap map)
{
    if (map.value(QStringLiteral("type")) != QLatin1String("tipselect")) {
        const bool small = map.value(QStringLiteral("tip")) == QLatin1String("small");
        map.insert(QStringLiteral("tip"), small ? QStringLiteral("small") : QStringLiteral("large"));
    }
    if (map.contains(QStringLiteral("volumeWhole"))) {
        const VolumeParts parts{map.take(QStringLiteral("volumeWhole")).toInt(),
                                map.take(QStringLiteral("volumeFractional")).toInt(), 10};
        map.insert(QStringLiteral("volume"), parts.toText());
    }
    if (map.value(QStringLiteral("type")) == QLatin1String("loop")) {
        map.remove(QStringLiteral("tip"));
        map.remove(QStringLiteral("speed"));
        QVariantList body;
        for (const QVariant &entry : map.value(QStringLiteral("innerCommands")).toList())
            body.append(comparable(entry.toMap()));
        map.insert(QStringLiteral("innerCommands"), body);
    }
    return map;
}

inline QVariantList comparableForms(const QList<Command *> &commands)
{
    QVariantList list;
    for (const Command *command : commands)
        list.append(comparable(command->toVariantMap()));
    return list;
}

inline void runDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace TestMethods
