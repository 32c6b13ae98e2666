#include "formats/csvgenerator.h"

#include "model/commands.h"

#include <vector>

namespace {

QString rowOf(const Command *command)
{
    const QString letter = command->tipLetter();
    const QString speed = QString::number(command->speed());
    if (auto *transfer = qobject_cast<const TransferCommand *>(command)) {
        return transfer->type().toUpper() + QLatin1Char(',') + letter + QLatin1Char(',')
               + transfer->volume().toText() + QLatin1Char(',')
               + QString::number(transfer->extraVolume()) + QLatin1String(",,,,") + speed
               + QLatin1Char(',');
    }
    if (auto *mix = qobject_cast<const MixCommand *>(command)) {
        return QLatin1String("MIX,") + letter + QLatin1Char(',') + mix->volume().toText()
               + QLatin1String(",0,") + QString::number(mix->cycles()) + QLatin1String(",,,")
               + speed + QLatin1Char(',');
    }
    if (auto *repeat = qobject_cast<const RepeatCommand *>(command)) {
        return QLatin1String("REPEAT,") + letter + QLatin1Char(',') + repeat->volume().toText()
               + QLatin1String(",0,,") + QString::number(repeat->replicates()) + QLatin1Char(',')
               + VolumeParts::format(repeat->dispenseVolume()) + QLatin1Char(',') + speed
               + QLatin1Char(',');
    }
    if (qobject_cast<const PurgeCommand *>(command))
        return QLatin1String("PURGE,") + letter + QLatin1String(",,,,,,") + speed + QLatin1Char(',');
    if (qobject_cast<const TipSelectCommand *>(command))
        return QLatin1String("TIPSELECT,") + letter + QLatin1String(",,,,,,,,");
    return QString();
}

} // namespace

CsvGenerator::CsvGenerator(QObject *parent) : QObject(parent) {}

QString CsvGenerator::generate(const QString &, const QString &,
                               const QList<Command *> &commands) const
{
    // An explicit stack of open loops, so that nesting costs no call frames.
    struct Frame
    {
        QList<Command *> steps;
        int next;
    };
    QString text;
    std::vector<Frame> stack{{commands, 0}};
    while (!stack.empty()) {
        const std::size_t top = stack.size() - 1;
        if (stack[top].next >= stack[top].steps.size()) {
            stack.pop_back();
            if (!stack.empty())
                text += QLatin1String("LOOPEND,,,,,,,,\n");
            continue;
        }
        const Command *command = stack[top].steps.at(stack[top].next++);
        if (!command)
            continue;
        if (auto *loop = qobject_cast<const LoopCommand *>(command)) {
            text += QLatin1String("LOOPSTART,,,,,,,,") + QString::number(loop->iterations())
                    + QLatin1Char('\n');
            stack.push_back({loop->innerCommandList(), 0});
            continue;
        }
        const QString row = rowOf(command);
        if (!row.isEmpty())
            text += row + QLatin1Char('\n');
    }
    return text;
}
