#include "model/validator.h"

#include "model/commands.h"

#include <QSet>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

namespace {

constexpr double SmallCapacity = 200.0;
constexpr double LargeCapacity = 1000.0;
// Running volumes are kept in tenths, so anything within this is an empty tip.
constexpr double Tolerance = 0.05;
// Volumes beyond the range of int are nonsense, but converting them must stay defined;
// the margin leaves room for the carry or borrow of the tenths arithmetic.
constexpr double Limit = 2147483646.0;
// Loops of more passes than this are computed from the effect of one pass, so that a
// loop of two billion iterations does not freeze the editor. Valid loops run at most 10.
constexpr int SimulatedPasses = 16;

enum class Kind { TipSelect, Aspirate, Airgap, Dispense, Mix, Repeat, Purge, Loop, Other };

Kind kindOf(const Command *command)
{
    if (qobject_cast<const AspirateCommand *>(command))
        return Kind::Aspirate;
    if (qobject_cast<const DispenseCommand *>(command))
        return Kind::Dispense;
    if (qobject_cast<const TipSelectCommand *>(command))
        return Kind::TipSelect;
    if (qobject_cast<const AirgapCommand *>(command))
        return Kind::Airgap;
    if (qobject_cast<const MixCommand *>(command))
        return Kind::Mix;
    if (qobject_cast<const RepeatCommand *>(command))
        return Kind::Repeat;
    if (qobject_cast<const PurgeCommand *>(command))
        return Kind::Purge;
    if (qobject_cast<const LoopCommand *>(command))
        return Kind::Loop;
    return Kind::Other;
}

double bounded(double x)
{
    if (std::isnan(x))
        return 0.0;
    return x > Limit ? Limit : (x < -Limit ? -Limit : x);
}

VolumeParts normalise(double x)
{
    x = bounded(x);
    VolumeParts parts;
    parts.whole = int(std::trunc(x));
    parts.fractional = int(std::round((x - parts.whole) * 10.0));
    if (parts.fractional >= 10) {
        parts.whole += parts.fractional / 10;
        parts.fractional -= 10 * (parts.fractional / 10);
    }
    return parts;
}

VolumeParts added(const VolumeParts &running, const VolumeParts &amount)
{
    return normalise(running.value() + amount.value());
}

// Borrows into the whole part so the tenths are never negative; a tenths count of 10 is
// left as it is (the value stays right).
VolumeParts subtracted(const VolumeParts &running, const VolumeParts &amount)
{
    const double x = bounded(running.value() - amount.value());
    VolumeParts parts;
    parts.whole = int(std::trunc(x));
    parts.fractional = int(std::round((x - parts.whole) * 10.0));
    if (parts.fractional < 0) {
        parts.whole -= 1;
        parts.fractional += 10;
    }
    return parts;
}

VolumeParts stepAmount(const TransferCommand *command)
{
    return normalise(command->volume().value() + command->extraVolume());
}

double capacityOf(bool small)
{
    return small ? SmallCapacity : LargeCapacity;
}

QString format(double microlitres)
{
    return VolumeParts::format(microlitres);
}

VolumeParts &tipOf(TipVolumes &tips, const Command *command)
{
    return command->usesSmallTip() ? tips.smallTip : tips.largeTip;
}

QString location(const QString &prefix, int index)
{
    if (prefix.isEmpty())
        return QStringLiteral("step %1").arg(index + 1);
    return QStringLiteral("%1.%2").arg(prefix).arg(index + 1);
}

// The checks of a step, so that a problem met again in a later pass of a loop is
// recognised as the same one whatever values its message carries.
enum class Check {
    Range, Extra, Capacity, Available, Cycles, Repeat, Speed, TipSwitch,
    Iterations, EmptyLoop, LoopTakesUp, LoopTip
};

// Beyond this many step visits, loop bodies are no longer repeated: deeply nested loops
// would otherwise multiply their passes without bound. Valid methods stay far below.
constexpr int MaxStepVisits = 200000;

bool sameTips(const TipVolumes &a, const TipVolumes &b)
{
    return a.smallTip == b.smallTip && a.largeTip == b.largeTip;
}

// Walks a method as the instrument runs it: every loop body as often as its loop says,
// with the running state shared across the whole method. Each problem is reported once,
// at its step, with the values of the pass where it first occurs.
class Walk
{
public:
    explicit Walk(QList<ValidationError> *errors) : m_errors(errors) {}

    void steps(const QList<Command *> &commands, const QString &prefix);
    const TipVolumes &running() const { return m_running; }

private:
    void report(const QString &prefix, int index, Check check, const QString &message,
                double fix = -1.0)
    {
        const QString where = location(prefix, index);
        const QString key = where + QLatin1Char('#') + QString::number(int(check));
        if (m_reported.contains(key))
            return;
        m_reported.insert(key);
        m_errors->append({where, message, fix});
    }
    void transfer(const TransferCommand *command, Kind kind, const QString &prefix, int index);
    void dispense(const DispenseCommand *command, const QString &prefix, int index);
    void mix(const MixCommand *command, const QString &prefix, int index);
    void repeat(const RepeatCommand *command, const QString &prefix, int index);
    void tipSelect(const Command *command, const QString &prefix, int index);
    void loop(const LoopCommand *command, const QString &prefix, int index);
    bool rangeOk(const VolumeCommand *command, const char *word, const QString &prefix,
                 int index);
    void speed(const Command *command, const QString &prefix, int index);

    QList<ValidationError> *m_errors;
    TipVolumes m_running;
    QSet<QString> m_reported;
    int m_visits = 0;
};

void Walk::steps(const QList<Command *> &commands, const QString &prefix)
{
    for (int i = 0; i < commands.size(); ++i) {
        const Command *command = commands.at(i);
        if (!command)
            continue;
        ++m_visits;
        switch (const Kind kind = kindOf(command)) {
        case Kind::Aspirate:
        case Kind::Airgap:
            transfer(static_cast<const TransferCommand *>(command), kind, prefix, i);
            break;
        case Kind::Dispense:
            dispense(static_cast<const DispenseCommand *>(command), prefix, i);
            break;
        case Kind::Mix:
            mix(static_cast<const MixCommand *>(command), prefix, i);
            break;
        case Kind::Repeat:
            repeat(static_cast<const RepeatCommand *>(command), prefix, i);
            break;
        case Kind::Purge:
            tipOf(m_running, command) = VolumeParts();
            speed(command, prefix, i);
            break;
        case Kind::TipSelect:
            tipSelect(command, prefix, i);
            break;
        case Kind::Loop:
            loop(static_cast<const LoopCommand *>(command), prefix, i);
            break;
        case Kind::Other:
            break;
        }
    }
}

bool Walk::rangeOk(const VolumeCommand *command, const char *word, const QString &prefix,
                   int index)
{
    const double volume = command->volume().value();
    if (command->usesSmallTip()) {
        if (volume < 1.0 || volume > SmallCapacity) {
            report(prefix, index, Check::Range,
                   QStringLiteral("%1 volume for small tip must be between 1 and 200 µL")
                       .arg(QLatin1String(word)));
            return false;
        }
    } else if (volume < 100.0 || volume > LargeCapacity) {
        report(prefix, index, Check::Range,
               QStringLiteral("%1 volume for large tip must be between 100 and 1000 µL")
                   .arg(QLatin1String(word)));
        return false;
    }
    return true;
}

void Walk::speed(const Command *command, const QString &prefix, int index)
{
    if (command->speed() < 1 || command->speed() > 7)
        report(prefix, index, Check::Speed, QStringLiteral("Speed must be between 1 and 7"));
}

void Walk::transfer(const TransferCommand *command, Kind kind, const QString &prefix, int index)
{
    const bool aspirate = kind == Kind::Aspirate;
    rangeOk(command, aspirate ? "Aspirate" : "Airgap", prefix, index);
    if (command->extraVolume() < 0 || command->extraVolume() > 100)
        report(prefix, index, Check::Extra, QStringLiteral("Extra volume must be between 0 and 100 µL"));

    VolumeParts &running = tipOf(m_running, command);
    const double capacity = capacityOf(command->usesSmallTip());
    const VolumeParts next = added(running, stepAmount(command));
    if (next.value() > capacity) {
        const double remaining = normalise(capacity - running.value()).value();
        const QString text = aspirate
            ? QStringLiteral("Aspirate exceeds capacity — only %1 µL remaining for %2 tip")
            : QStringLiteral("Airgap exceeds capacity — only %1 µL remaining for %2 tip");
        report(prefix, index, Check::Capacity, text.arg(format(remaining), command->tip()), remaining);
    }
    // The step still happens on the instrument, so the next steps see its volume.
    running = next;
    speed(command, prefix, index);
}

void Walk::dispense(const DispenseCommand *command, const QString &prefix, int index)
{
    rangeOk(command, "Dispense", prefix, index);
    VolumeParts &running = tipOf(m_running, command);
    const VolumeParts next = subtracted(running, stepAmount(command));
    if (next.whole < 0) {
        const double available = running.value();
        report(prefix, index, Check::Available,
               QStringLiteral("Dispense exceeds available volume (%1 µL) for %2 tip")
                   .arg(format(available), command->tip()),
               available);
    }
    running = next;
    speed(command, prefix, index);
}

void Walk::mix(const MixCommand *command, const QString &prefix, int index)
{
    rangeOk(command, "Mix", prefix, index);
    if (command->cycles() < 1 || command->cycles() > 100)
        report(prefix, index, Check::Cycles, QStringLiteral("Mix cycles must be between 1 and 100"));
    speed(command, prefix, index);
}

void Walk::repeat(const RepeatCommand *command, const QString &prefix, int index)
{
    const VolumeParts total = command->volume();
    const VolumeParts &running = tipOf(m_running, command);
    const double capacity = capacityOf(command->usesSmallTip());
    if (added(running, total).value() > capacity) {
        const double remaining = normalise(capacity - running.value()).value();
        report(prefix, index, Check::Repeat,
               QStringLiteral("Repeat needs %1 µL in the tip (%2 µL × %3 replicates) — only "
                              "%4 µL remaining for the %5 tip")
                   .arg(total.toText(), format(command->dispenseVolume()),
                        QString::number(command->replicates()), format(remaining),
                        command->tip()),
               remaining);
    }
    speed(command, prefix, index);
}

void Walk::tipSelect(const Command *command, const QString &prefix, int index)
{
    const bool otherIsLarge = command->usesSmallTip();
    VolumeParts &other = otherIsLarge ? m_running.largeTip : m_running.smallTip;
    if (std::fabs(other.value()) > Tolerance) {
        report(prefix, index, Check::TipSwitch,
               QStringLiteral("Tip Select switches away from the %1 tip while it still holds "
                              "%2 µL — dispense it before changing tips")
                   .arg(otherIsLarge ? QStringLiteral("large") : QStringLiteral("small"),
                        other.toText()));
    }
    other = VolumeParts();
}

void Walk::loop(const LoopCommand *command, const QString &prefix, int index)
{
    if (command->iterations() < 1 || command->iterations() > 10)
        report(prefix, index, Check::Iterations, QStringLiteral("Loop iterations must be between 1 and 10"));

    const QList<Command *> body = command->innerCommandList();
    if (body.isEmpty()) {
        report(prefix, index, Check::EmptyLoop, QStringLiteral("Loop must contain at least one step"));
    } else {
        bool takesUp = false;
        for (const Command *step : body) {
            const Kind kind = step ? kindOf(step) : Kind::Other;
            takesUp = takesUp || kind == Kind::Aspirate || kind == Kind::Airgap;
        }
        if (!takesUp)
            report(prefix, index, Check::LoopTakesUp,
                   QStringLiteral("Loop must contain at least one aspirate or airgap step"));
    }

    // Compared as tips, not as text: "large" and "Large" are the same tip, and the
    // message could only name them both "Large".
    const bool startsSmall = command->usesSmallTip();
    bool endsSmall = startsSmall;
    for (const Command *step : body) {
        if (step && kindOf(step) == Kind::TipSelect)
            endsSmall = step->usesSmallTip();
    }
    if (endsSmall != startsSmall) {
        const QString from = startsSmall ? QStringLiteral("Small") : QStringLiteral("Large");
        const QString to = endsSmall ? QStringLiteral("Small") : QStringLiteral("Large");
        report(prefix, index, Check::LoopTip,
               QStringLiteral("Loop changes tip from %1 to %2 but does not restore it — add a "
                              "Tip Select back to %1 at the end of the loop body")
                   .arg(from, to));
    }

    // Run as the instrument runs it. A pass that leaves the tips as it found them is
    // repeated exactly by every later one, so the walk stops there; an invalid count
    // still has its body checked once.
    const QString here = location(prefix, index);
    const int passes = std::max(1, command->iterations());
    for (int pass = 0; pass < passes; ++pass) {
        const TipVolumes before = m_running;
        steps(body, here);
        if (sameTips(before, m_running) || m_visits > MaxStepVisits)
            break;
    }
}

bool containsTransfer(const QList<Command *> &commands)
{
    for (const Command *command : commands) {
        if (!command)
            continue;
        switch (kindOf(command)) {
        case Kind::Aspirate:
        case Kind::Dispense:
        case Kind::Repeat:
            return true;
        case Kind::Loop:
            if (containsTransfer(static_cast<const LoopCommand *>(command)->innerCommandList()))
                return true;
            break;
        default:
            break;
        }
    }
    return false;
}

// ---- cumulativeVolumes

void applyBodyStep(TipVolumes &tips, const Command *command)
{
    switch (kindOf(command)) {
    case Kind::Aspirate:
    case Kind::Airgap:
        tipOf(tips, command) = added(tipOf(tips, command),
                                     stepAmount(static_cast<const TransferCommand *>(command)));
        break;
    case Kind::Dispense:
        tipOf(tips, command) = subtracted(tipOf(tips, command),
                                          stepAmount(static_cast<const TransferCommand *>(command)));
        break;
    case Kind::Purge:
        tipOf(tips, command) = VolumeParts();
        break;
    default:
        // Mix, Repeat, Tip Select and nested loops leave the tips as they are here.
        break;
    }
}

void runPass(TipVolumes &tips, const QList<Command *> &body)
{
    for (const Command *command : body) {
        if (command)
            applyBodyStep(tips, command);
    }
}

qint64 tenthsOf(const VolumeParts &parts)
{
    return std::llround(parts.value() * 10.0);
}

VolumeParts fromTenths(qint64 tenths)
{
    return normalise(double(tenths) / 10.0);
}

// One tip after `passes` passes of a body that, per pass, either adds a fixed amount to
// it (exact in tenths) or, when the body purges it, leaves what follows the last purge.
VolumeParts afterPasses(const VolumeParts &start, const VolumeParts &afterOne, bool touched,
                        bool purged, qint64 passes)
{
    if (!touched)
        return start;
    if (purged)
        return afterOne;
    const qint64 step = tenthsOf(afterOne) - tenthsOf(start);
    const double total = double(tenthsOf(start)) + double(step) * double(passes);
    const double bound = Limit * 10.0;
    return fromTenths(qint64(total > bound ? bound : (total < -bound ? -bound : total)));
}

void runLoop(TipVolumes &tips, const LoopCommand *loop)
{
    const int iterations = loop->iterations();
    const QList<Command *> body = loop->innerCommandList();
    if (iterations <= SimulatedPasses) {
        for (int pass = 0; pass < iterations; ++pass)
            runPass(tips, body);
        return;
    }
    bool touched[2] = {false, false};
    bool purged[2] = {false, false};
    for (const Command *command : body) {
        if (!command)
            continue;
        const Kind kind = kindOf(command);
        if (kind != Kind::Aspirate && kind != Kind::Airgap && kind != Kind::Dispense
            && kind != Kind::Purge)
            continue;
        const int tip = command->usesSmallTip() ? 0 : 1;
        touched[tip] = true;
        purged[tip] = purged[tip] || kind == Kind::Purge;
    }
    const TipVolumes start = tips;
    TipVolumes afterOne = tips;
    runPass(afterOne, body);
    // All passes but the last from the effect of one; the last is run step by step so the
    // parts come out exactly as the step-by-step simulation leaves them.
    const qint64 passes = qint64(iterations) - 1;
    tips.smallTip = afterPasses(start.smallTip, afterOne.smallTip, touched[0], purged[0], passes);
    tips.largeTip = afterPasses(start.largeTip, afterOne.largeTip, touched[1], purged[1], passes);
    runPass(tips, body);
}

} // namespace

Validator::Validator(QObject *parent) : QObject(parent) {}

QList<ValidationError> Validator::validate(const QList<Command *> &commands) const
{
    QList<ValidationError> errors;
    if (!commands.isEmpty()) {
        const Command *first = commands.constFirst();
        if (!first || first->type() != QLatin1String("tipselect"))
            errors.append({QStringLiteral("step 1"),
                           QStringLiteral("First step must be 'Tip Select'"), -1.0});
    }

    Walk walk(&errors);
    walk.steps(commands, QString());

    if (!containsTransfer(commands))
        errors.append({QStringLiteral("protocol"),
                       QStringLiteral("Protocol must contain at least one aspirate, dispense, or "
                                      "repeat step"),
                       -1.0});

    const TipVolumes &left = walk.running();
    const VolumeParts *undispensed = nullptr;
    QString tipWord;
    if (std::fabs(left.smallTip.value()) > Tolerance) {
        undispensed = &left.smallTip;
        tipWord = QStringLiteral("small");
    } else if (std::fabs(left.largeTip.value()) > Tolerance) {
        undispensed = &left.largeTip;
        tipWord = QStringLiteral("large");
    }
    if (undispensed)
        errors.append({QStringLiteral("protocol"),
                       QStringLiteral("Protocol ends with %1 µL undispensed in the %2 tip — every "
                                      "aspirated volume must be fully dispensed")
                           .arg(undispensed->toText(), tipWord),
                       -1.0});
    return errors;
}

QList<TipVolumes> Validator::cumulativeVolumes(const QList<Command *> &commands) const
{
    QList<TipVolumes> result;
    result.reserve(commands.size());
    TipVolumes tips;
    for (const Command *command : commands) {
        if (command) {
            switch (kindOf(command)) {
            case Kind::Repeat: {
                // Takes up and gives out the same volume: only the parts are re-normalised.
                VolumeParts &tip = tipOf(tips, command);
                const VolumeParts total = static_cast<const RepeatCommand *>(command)->volume();
                tip = subtracted(added(tip, total), total);
                break;
            }
            case Kind::Loop:
                runLoop(tips, static_cast<const LoopCommand *>(command));
                break;
            default:
                applyBodyStep(tips, command);
                break;
            }
        }
        result.append(tips);
    }
    return result;
}
