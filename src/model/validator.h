#pragma once

#include "model/volumeparts.h"

#include <QList>
#include <QObject>
#include <QString>

class Command;

// One problem of a method, tied to the step it concerns.
struct ValidationError
{
    // "step 3", "step 3.2.1" inside loops, or "protocol" for the method as a whole.
    QString commandPath;
    QString message;
    // The volume (µL) the step could use instead, or -1 when there is no suggestion.
    double fixVolume = -1.0;
};

// The volume held in each tip after a step. The members are not called small/large:
// <windows.h> defines "small" as a macro, which would break every file including both.
struct TipVolumes
{
    VolumeParts smallTip;
    VolumeParts largeTip;
};

// Decides whether the instrument can run a method and explains every problem per step.
// Both operations are pure functions of the command list; nothing is changed or kept.
class Validator : public QObject
{
    Q_OBJECT

public:
    explicit Validator(QObject *parent = nullptr);

    QList<ValidationError> validate(const QList<Command *> &commands) const;
    // The tips' running volumes after each top-level step, loops run as often as they
    // say. Unlike validate(), a Tip Select does not empty the other tip.
    QList<TipVolumes> cumulativeVolumes(const QList<Command *> &commands) const;
};

Q_DECLARE_METATYPE(ValidationError)
Q_DECLARE_METATYPE(TipVolumes)
