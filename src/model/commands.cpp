#include "model/commands.h"

#include <cmath>
#include <climits>
#include <vector>

namespace {

QString number(int value)
{
    return QString::number(value);
}

} // namespace

// ---- Tip Select

TipSelectCommand::TipSelectCommand(QObject *parent) : Command(parent) {}

QString TipSelectCommand::type() const
{
    return QStringLiteral("tipselect");
}

QVariantMap TipSelectCommand::toVariantMap() const
{
    QVariantMap map = Command::toVariantMap();
    map.remove(QStringLiteral("speed"));
    return map;
}

QString TipSelectCommand::toSpl(int indent) const
{
    // The tip is written as stored, but as one token: a blank inside it would end the
    // value early on reading ("small x" would come back as the small tip), and a line
    // break would inject lines.
    QString tipText = tip();
    for (QChar &c : tipText) {
        if (c.isSpace())
            c = QLatin1Char('_');
    }
    return indentation(indent) + QLatin1String("tipselect tip:") + tipText + QLatin1Char('\n');
}

QString TipSelectCommand::toCsvRow(const VolumeParts &) const
{
    return QLatin1String("TIPSELECT,") + tipLetter() + QLatin1String(",,,,,,,,");
}

// ---- Volume kinds

VolumeCommand::VolumeCommand(QObject *parent) : Command(parent) {}

VolumeParts VolumeCommand::volume() const
{
    return m_volume;
}

void VolumeCommand::setVolumeWhole(int whole)
{
    if (m_volume.whole == whole)
        return;
    m_volume.whole = whole;
    m_volume.scale = 10;
    emit volumeChanged();
}

void VolumeCommand::setVolumeFractional(int fractional)
{
    if (m_volume.fractional == fractional)
        return;
    m_volume.fractional = fractional;
    emit volumeChanged();
}

QVariantMap VolumeCommand::toVariantMap() const
{
    QVariantMap map = Command::toVariantMap();
    const VolumeParts parts = volume();
    map.insert(QStringLiteral("volumeWhole"), parts.whole);
    map.insert(QStringLiteral("volumeFractional"), parts.fractional);
    return map;
}

TransferCommand::TransferCommand(QObject *parent) : VolumeCommand(parent) {}

void TransferCommand::setExtraVolume(int extraVolume)
{
    if (m_extraVolume == extraVolume)
        return;
    m_extraVolume = extraVolume;
    emit extraVolumeChanged();
}

QVariantMap TransferCommand::toVariantMap() const
{
    QVariantMap map = VolumeCommand::toVariantMap();
    map.insert(QStringLiteral("extraVolume"), m_extraVolume);
    return map;
}

QString TransferCommand::toSpl(int indent) const
{
    return indentation(indent) + type() + QLatin1String(" tip:") + tipWord()
           + QLatin1String(" vol:") + volume().toText() + QLatin1String(" xvol:")
           + number(m_extraVolume) + QLatin1String(" speed:") + number(speed())
           + QLatin1Char('\n');
}

QString TransferCommand::toCsvRow(const VolumeParts &cvol) const
{
    return type().toUpper() + QLatin1Char(',') + tipLetter() + QLatin1Char(',')
           + volume().toText() + QLatin1Char(',') + number(m_extraVolume)
           + QLatin1String(",*,*,*,") + number(speed()) + QLatin1String(",*,") + cvol.toText();
}

AspirateCommand::AspirateCommand(QObject *parent) : TransferCommand(parent) {}

QString AspirateCommand::type() const
{
    return QStringLiteral("aspirate");
}

AirgapCommand::AirgapCommand(QObject *parent) : TransferCommand(parent) {}

QString AirgapCommand::type() const
{
    return QStringLiteral("airgap");
}

DispenseCommand::DispenseCommand(QObject *parent) : TransferCommand(parent) {}

QString DispenseCommand::type() const
{
    return QStringLiteral("dispense");
}

MixCommand::MixCommand(QObject *parent) : VolumeCommand(parent) {}

void MixCommand::setCycles(int cycles)
{
    if (m_cycles == cycles)
        return;
    m_cycles = cycles;
    emit cyclesChanged();
}

QString MixCommand::type() const
{
    return QStringLiteral("mix");
}

QVariantMap MixCommand::toVariantMap() const
{
    QVariantMap map = VolumeCommand::toVariantMap();
    map.insert(QStringLiteral("cycles"), m_cycles);
    return map;
}

QString MixCommand::toSpl(int indent) const
{
    return indentation(indent) + QLatin1String("mix tip:") + tipWord() + QLatin1String(" vol:")
           + volume().toText() + QLatin1String(" cycles:") + number(m_cycles)
           + QLatin1String(" speed:") + number(speed()) + QLatin1Char('\n');
}

QString MixCommand::toCsvRow(const VolumeParts &cvol) const
{
    return QLatin1String("MIX,") + tipLetter() + QLatin1Char(',') + volume().toText()
           + QLatin1String(",0,") + number(m_cycles) + QLatin1String(",*,*,") + number(speed())
           + QLatin1String(",*,") + cvol.toText();
}

RepeatCommand::RepeatCommand(QObject *parent) : VolumeCommand(parent) {}

VolumeParts RepeatCommand::volume() const
{
    const double total = m_replicates * m_dispenseVolume;
    VolumeParts parts;
    if (std::isnan(total))
        return parts;
    // Keeps the conversions defined and leaves room for the carry below.
    if (!(std::fabs(total) < 2147483647.0)) {
        parts.whole = total > 0 ? INT_MAX : INT_MIN;
        return parts;
    }
    parts.whole = int(total);
    parts.fractional = qRound((total - parts.whole) * 10.0);
    if (parts.fractional >= 10) {
        parts.whole += 1;
        parts.fractional -= 10;
    }
    return parts;
}

void RepeatCommand::setVolumeWhole(int) {}

void RepeatCommand::setVolumeFractional(int) {}

void RepeatCommand::setDispenseVolume(double dispenseVolume)
{
    // NaN never equals itself; without the second test every NaN write would announce a
    // change that did not happen.
    if (m_dispenseVolume == dispenseVolume
        || (std::isnan(m_dispenseVolume) && std::isnan(dispenseVolume)))
        return;
    m_dispenseVolume = dispenseVolume;
    emit dispenseVolumeChanged();
    emit volumeChanged();
}

void RepeatCommand::setReplicates(int replicates)
{
    if (m_replicates == replicates)
        return;
    m_replicates = replicates;
    emit replicatesChanged();
    emit volumeChanged();
}

QString RepeatCommand::type() const
{
    return QStringLiteral("repeat");
}

QVariantMap RepeatCommand::toVariantMap() const
{
    QVariantMap map = VolumeCommand::toVariantMap();
    map.insert(QStringLiteral("dispenseVolume"), m_dispenseVolume);
    map.insert(QStringLiteral("replicates"), m_replicates);
    return map;
}

QString RepeatCommand::toSpl(int indent) const
{
    return indentation(indent) + QLatin1String("repeat tip:") + tipWord()
           + QLatin1String(" vol:") + volume().toText() + QLatin1String(" dispense:")
           + VolumeParts::format(m_dispenseVolume) + QLatin1String(" replicates:")
           + number(m_replicates) + QLatin1String(" speed:") + number(speed())
           + QLatin1Char('\n');
}

QString RepeatCommand::toCsvRow(const VolumeParts &cvol) const
{
    return QLatin1String("REPEAT,") + tipLetter() + QLatin1Char(',') + volume().toText()
           + QLatin1String(",0,*,") + number(m_replicates) + QLatin1Char(',')
           + VolumeParts::format(m_dispenseVolume) + QLatin1Char(',') + number(speed())
           + QLatin1String(",*,") + cvol.toText();
}

// ---- Purge

PurgeCommand::PurgeCommand(QObject *parent) : Command(parent) {}

QString PurgeCommand::type() const
{
    return QStringLiteral("purge");
}

QString PurgeCommand::toSpl(int indent) const
{
    return indentation(indent) + QLatin1String("purge tip:") + tipWord()
           + QLatin1String(" speed:") + number(speed()) + QLatin1Char('\n');
}

QString PurgeCommand::toCsvRow(const VolumeParts &) const
{
    return QLatin1String("PURGE,") + tipLetter() + QLatin1String(",*,*,*,*,*,") + number(speed())
           + QLatin1String(",*,0");
}

// ---- Loop

LoopCommand::LoopCommand(QObject *parent) : Command(parent) {}

LoopCommand::~LoopCommand()
{
    // Deferred, like every removal: someone may still be reading a body step while the
    // signal below is handled. The signal goes out for an empty body too, so whoever
    // watches the loop hears of its end the same way whatever it held.
    for (Command *command : qAsConst(m_body))
        command->deleteLater();
    m_body.clear();
    emit innerCommandsChanged();
}

void LoopCommand::setIterations(int iterations)
{
    if (m_iterations == iterations)
        return;
    m_iterations = iterations;
    emit iterationsChanged();
}

QVariantList LoopCommand::innerCommands() const
{
    QVariantList list;
    list.reserve(m_body.size());
    for (Command *command : m_body)
        list.append(QVariant::fromValue<QObject *>(command));
    return list;
}

void LoopCommand::addInnerCommand(const QString &type)
{
    if (type == QLatin1String("loop"))
        return;
    Command *command = Command::create(type, this);
    if (!command)
        return;
    if (!qobject_cast<TipSelectCommand *>(command)) {
        QString tipInForce = tip();
        for (Command *step : qAsConst(m_body)) {
            if (qobject_cast<TipSelectCommand *>(step))
                tipInForce = step->tip();
        }
        command->setTip(tipInForce);
    }
    connectInnerCommand(command);
    m_body.append(command);
    emit innerCommandsChanged();
}

void LoopCommand::removeInnerCommand(int index)
{
    if (index < 0 || index >= m_body.size())
        return;
    Command *command = m_body.takeAt(index);
    // Still alive until the event loop runs; its edits no longer concern this loop.
    disconnect(command, nullptr, this, nullptr);
    command->deleteLater();
    emit innerCommandsChanged();
}

void LoopCommand::moveInnerCommand(int from, int to)
{
    if (from < 0 || to < 0 || from == to || from >= m_body.size() || to >= m_body.size())
        return;
    m_body.move(from, to);
    emit innerCommandsChanged();
}

void LoopCommand::appendInnerCommand(Command *command)
{
    if (!command || command == this)
        return;
    connectInnerCommand(command);
    m_body.append(command);
}

void LoopCommand::propagateTips(const QString &startTip)
{
    // A nested loop takes the tip in force and hands it on to its own body, as the
    // editor does for a loop at top level. Walked with an explicit stack so that depth
    // costs no call frames.
    struct Frame
    {
        LoopCommand *loop;
        int next;
        QString current;
    };
    std::vector<Frame> stack{{this, 0, startTip}};
    while (!stack.empty()) {
        const std::size_t top = stack.size() - 1;
        LoopCommand *loop = stack[top].loop;
        if (stack[top].next >= loop->m_body.size()) {
            stack.pop_back();
            continue;
        }
        Command *command = loop->m_body.at(stack[top].next++);
        if (qobject_cast<TipSelectCommand *>(command)) {
            stack[top].current = command->tip();
            continue;
        }
        const QString current = stack[top].current;
        command->setTip(current);
        if (auto *inner = qobject_cast<LoopCommand *>(command))
            stack.push_back({inner, 0, current});
    }
}

QString LoopCommand::type() const
{
    return QStringLiteral("loop");
}

QVariantMap LoopCommand::toVariantMap() const
{
    QVariantMap map = Command::toVariantMap();
    map.insert(QStringLiteral("iterations"), m_iterations);
    QVariantList body;
    body.reserve(m_body.size());
    for (Command *command : m_body)
        body.append(command->toVariantMap());
    map.insert(QStringLiteral("innerCommands"), body);
    return map;
}

QString LoopCommand::toSpl(int indent) const
{
    struct Frame
    {
        const LoopCommand *loop;
        int next;
        int indent;
    };
    QString text = indentation(indent) + QLatin1String("loop ") + number(m_iterations)
                   + QLatin1Char('\n');
    std::vector<Frame> stack{{this, 0, indent}};
    while (!stack.empty()) {
        const std::size_t top = stack.size() - 1;
        const LoopCommand *loop = stack[top].loop;
        const int bodyIndent = stack[top].indent + 2;
        if (stack[top].next >= loop->m_body.size()) {
            text += indentation(stack[top].indent) + QLatin1String("endloop\n");
            stack.pop_back();
            continue;
        }
        const Command *command = loop->m_body.at(stack[top].next++);
        if (auto *inner = qobject_cast<const LoopCommand *>(command)) {
            text += indentation(bodyIndent) + QLatin1String("loop ") + number(inner->m_iterations)
                    + QLatin1Char('\n');
            stack.push_back({inner, 0, bodyIndent});
        } else {
            text += command->toSpl(bodyIndent);
        }
    }
    return text;
}

QString LoopCommand::toCsvRow(const VolumeParts &) const
{
    return QLatin1String("LOOPSTART,*,*,*,*,*,*,*,") + number(m_iterations)
           + QLatin1String(",*\nLOOPEND,*,*,*,*,*,*,*,*,*");
}

void LoopCommand::connectInnerCommand(Command *command)
{
    // A body step owned by someone else may be deleted before the loop; the loop must
    // not keep (and later schedule) a dangling step.
    // The pointer is taken now, while the command is whole: by the time destroyed is
    // emitted its Command part is gone, and converting between the two types is no longer
    // defined.
    connect(command, &QObject::destroyed, this, [this, command] { forgetInnerCommand(command); });
    if (qobject_cast<TipSelectCommand *>(command))
        connect(command, &Command::tipChanged, this, &LoopCommand::innerTipSelectChanged);
    connect(command, &Command::tipChanged, this, &LoopCommand::innerCommandsChanged);
    connect(command, &Command::speedChanged, this, &LoopCommand::innerCommandsChanged);
    if (auto *volume = qobject_cast<VolumeCommand *>(command))
        connect(volume, &VolumeCommand::volumeChanged, this, &LoopCommand::innerCommandsChanged);
    if (auto *transfer = qobject_cast<TransferCommand *>(command)) {
        connect(transfer, &TransferCommand::extraVolumeChanged, this,
                &LoopCommand::innerCommandsChanged);
    } else if (auto *mix = qobject_cast<MixCommand *>(command)) {
        connect(mix, &MixCommand::cyclesChanged, this, &LoopCommand::innerCommandsChanged);
    } else if (auto *repeat = qobject_cast<RepeatCommand *>(command)) {
        connect(repeat, &RepeatCommand::dispenseVolumeChanged, this,
                &LoopCommand::innerCommandsChanged);
        connect(repeat, &RepeatCommand::replicatesChanged, this,
                &LoopCommand::innerCommandsChanged);
    } else if (auto *inner = qobject_cast<LoopCommand *>(command)) {
        // A nested loop (only read from files) reports its edits upwards too.
        connect(inner, &LoopCommand::iterationsChanged, this, &LoopCommand::innerCommandsChanged);
        connect(inner, &LoopCommand::innerCommandsChanged, this,
                &LoopCommand::innerCommandsChanged);
    }
}

void LoopCommand::forgetInnerCommand(Command *gone)
{
    // Compares pointer values only; the object behind gone is half destroyed.
    if (m_body.removeAll(gone) > 0)
        emit innerCommandsChanged();
}

void LoopCommand::innerTipSelectChanged()
{
    propagateTips(tip());
    emit innerCommandsChanged();
}
