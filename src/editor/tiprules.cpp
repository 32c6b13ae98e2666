#include "editor/tiprules.h"

#include "model/commands.h"

#include <algorithm>

namespace {

constexpr int SmallTipCapacity = 200;
constexpr int LargeTipCapacity = 1000;

bool isSmall(const QString &tip)
{
    return tip == QLatin1String("small");
}

} // namespace

bool TipRules::isTipSelect(const Command *command)
{
    return qobject_cast<const TipSelectCommand *>(command) != nullptr;
}

QString TipRules::tipInForceBefore(const QList<Command *> &commands, int position)
{
    for (int i = std::min(position, int(commands.size())) - 1; i >= 0; --i) {
        if (isTipSelect(commands.at(i)))
            return commands.at(i)->tip();
    }
    return QStringLiteral("small");
}

void TipRules::propagateFrom(const QList<Command *> &commands, int index)
{
    if (index < 0 || index >= commands.size())
        return;
    const QString tip = commands.at(index)->tip();
    for (int i = index + 1; i < commands.size(); ++i) {
        Command *command = commands.at(i);
        if (isTipSelect(command))
            break;
        command->setTip(tip);
        if (auto *loop = qobject_cast<LoopCommand *>(command))
            loop->propagateTips(tip);
    }
}

void TipRules::restoreLoopTips(const QList<Command *> &commands, const QString &startTip)
{
    QString tip = startTip.isEmpty() ? QStringLiteral("small") : startTip;
    for (Command *command : commands) {
        if (isTipSelect(command)) {
            tip = command->tip();
        } else if (auto *loop = qobject_cast<LoopCommand *>(command)) {
            loop->setTip(tip);
            restoreLoopTips(loop->innerCommandList(), tip);
        }
    }
}

bool TipRules::canInsertTipSelectAt(const QList<Command *> &commands, const QList<TipVolumes> &volumes,
                                    int afterIndex)
{
    const int count = commands.size();
    const int position = (afterIndex < 0 || afterIndex >= count) ? count : afterIndex + 1;
    const int i = position - 1;
    // Without a leading Tip Select the method cannot be valid; one always goes in, at the top.
    if (commands.isEmpty() || !isTipSelect(commands.constFirst()) || i < 0 || i >= volumes.size())
        return true;
    // A tip may only be changed once the one in force is empty.
    const TipVolumes &after = volumes.at(i);
    return (isSmall(tipInForceBefore(commands, i + 1)) ? after.smallTip : after.largeTip).value() == 0.0;
}

void TipRules::prepareNewStep(Command *command, const QList<Command *> &commands,
                              const QList<TipVolumes> &volumes, int position)
{
    const QString tip = tipInForceBefore(commands, position);
    command->setTip(tip);
    if (auto *repeat = qobject_cast<RepeatCommand *>(command)) {
        repeat->setDispenseVolume(100.0);
        repeat->setReplicates(2);
    } else if (auto *dispense = qobject_cast<DispenseCommand *>(command)) {
        // Offer to dispense what the tip holds at this point, never more than it can hold.
        int volume = 100;
        if (position > 0 && position - 1 < volumes.size()) {
            const TipVolumes &before = volumes.at(position - 1);
            const double held = isSmall(tip) ? before.smallTip.value() : before.largeTip.value();
            if (held > 0) {
                const int capacity = isSmall(tip) ? SmallTipCapacity : LargeTipCapacity;
                volume = int(std::min<double>(held + 0.5, capacity));
            }
        }
        dispense->setVolumeWhole(volume);
    } else if (auto *volume = qobject_cast<VolumeCommand *>(command)) {
        volume->setVolumeWhole(100);
    }
}

QVariantMap TipRules::volumesAt(const QList<TipVolumes> &volumes, int index)
{
    TipVolumes at;
    at.smallTip = {0, 0, 10};
    at.largeTip = {0, 0, 10};
    if (index >= 0 && index < volumes.size())
        at = volumes.at(index);
    return {{QStringLiteral("smallWhole"), at.smallTip.whole},
            {QStringLiteral("smallFractional"), at.smallTip.fractional},
            {QStringLiteral("largeWhole"), at.largeTip.whole},
            {QStringLiteral("largeFractional"), at.largeTip.fractional}};
}
