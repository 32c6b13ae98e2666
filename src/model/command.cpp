#include "model/command.h"

#include "model/commands.h"

#include <QDebug>

#include <cmath>

namespace {

// Stored methods come back from JSON, where every number is a double. Converting a
// double outside the range of int is undefined, so such a value reads as 0 like any
// other number that does not fit.
int intOf(const QVariant &value)
{
    const int type = value.userType();
    if (type == QMetaType::Double || type == QMetaType::Float) {
        const double number = value.toDouble();
        return std::isfinite(number) && std::fabs(number) <= 2147483647.0 ? qRound(number) : 0;
    }
    return value.toInt();
}

} // namespace

Command::Command(QObject *parent) : QObject(parent) {}

void Command::setTip(const QString &tip)
{
    if (m_tip == tip)
        return;
    m_tip = tip;
    emit tipChanged();
}

void Command::setSpeed(int speed)
{
    if (m_speed == speed)
        return;
    m_speed = speed;
    emit speedChanged();
}

bool Command::usesSmallTip() const
{
    return m_tip == QLatin1String("small");
}

QString Command::tipWord() const
{
    return usesSmallTip() ? QStringLiteral("small") : QStringLiteral("large");
}

QString Command::tipLetter() const
{
    return usesSmallTip() ? QStringLiteral("S") : QStringLiteral("L");
}

QVariantMap Command::toVariantMap() const
{
    QVariantMap map;
    map.insert(QStringLiteral("type"), type());
    map.insert(QStringLiteral("tip"), m_tip);
    map.insert(QStringLiteral("speed"), m_speed);
    return map;
}

QString Command::indentation(int indent)
{
    return QString(qMax(indent, 0), QLatin1Char(' '));
}

Command *Command::create(const QString &type, QObject *parent)
{
    if (type == QLatin1String("tipselect"))
        return new TipSelectCommand(parent);
    if (type == QLatin1String("aspirate"))
        return new AspirateCommand(parent);
    if (type == QLatin1String("airgap"))
        return new AirgapCommand(parent);
    if (type == QLatin1String("dispense"))
        return new DispenseCommand(parent);
    if (type == QLatin1String("mix"))
        return new MixCommand(parent);
    if (type == QLatin1String("repeat"))
        return new RepeatCommand(parent);
    if (type == QLatin1String("purge"))
        return new PurgeCommand(parent);
    if (type == QLatin1String("loop"))
        return new LoopCommand(parent);
    return nullptr;
}

Command *Command::fromVariantMap(const QVariantMap &map, QObject *parent)
{
    return fromVariantMap(map, parent, 0);
}

Command *Command::fromVariantMap(const QVariantMap &map, QObject *parent, int depth)
{
    const QString type = map.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("loop") && depth >= LoopCommand::MaxNestingDepth) {
        qWarning().noquote() << QStringLiteral("Command: loops nested deeper than %1 levels; "
                                               "the deeper ones are dropped")
                                    .arg(LoopCommand::MaxNestingDepth);
        return nullptr;
    }
    Command *command = create(type, parent);
    if (!command)
        return nullptr;

    if (auto *repeat = qobject_cast<RepeatCommand *>(command)) {
        // The stored volume of a Repeat is its derived total; the two fields rebuild it.
        repeat->setDispenseVolume(map.value(QStringLiteral("dispenseVolume")).toDouble());
        repeat->setReplicates(intOf(map.value(QStringLiteral("replicates"))));
    } else if (auto *volume = qobject_cast<VolumeCommand *>(command)) {
        volume->setVolumeWhole(intOf(map.value(QStringLiteral("volumeWhole"))));
        volume->setVolumeFractional(intOf(map.value(QStringLiteral("volumeFractional"))));
        if (auto *transfer = qobject_cast<TransferCommand *>(command))
            transfer->setExtraVolume(intOf(map.value(QStringLiteral("extraVolume"))));
        else if (auto *mix = qobject_cast<MixCommand *>(command))
            mix->setCycles(intOf(map.value(QStringLiteral("cycles"))));
    } else if (auto *loop = qobject_cast<LoopCommand *>(command)) {
        loop->setIterations(intOf(map.value(QStringLiteral("iterations"))));
        const QVariantList body = map.value(QStringLiteral("innerCommands")).toList();
        for (const QVariant &entry : body) {
            if (Command *inner = fromVariantMap(entry.toMap(), loop, depth + 1))
                loop->appendInnerCommand(inner);
        }
    }
    command->setTip(map.value(QStringLiteral("tip")).toString());
    command->setSpeed(intOf(map.value(QStringLiteral("speed"))));
    return command;
}
