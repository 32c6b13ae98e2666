#pragma once

#include "model/validator.h"

#include <QList>
#include <QString>
#include <QVariantMap>

class Command;

// How the editor treats tips: a Tip Select sets the tip of every step after it up to the
// next one, a tip may only be changed once the tip in force is empty, and a new step
// starts with values that fit where it is inserted. Works on the editor's top-level steps
// and the running volumes the validator computed for them.
class TipRules
{
public:
    static bool isTipSelect(const Command *command);
    // The tip of the last Tip Select before `position` ("small" when there is none).
    static QString tipInForceBefore(const QList<Command *> &commands, int position);
    // Gives the tip of the Tip Select at `index` to the steps after it (loop bodies too).
    static void propagateFrom(const QList<Command *> &commands, int index);
    // Loops read from SPL text, which does not carry a loop's tip, take the tip in force
    // where they stand, as loops made in the editor have it. Steps keep theirs.
    static void restoreLoopTips(const QList<Command *> &commands, const QString &startTip = QString());
    static bool canInsertTipSelectAt(const QList<Command *> &commands, const QList<TipVolumes> &volumes,
                                     int afterIndex);
    // A new step (not a Tip Select) about to go in at `position`: the tip in force and
    // its starting values.
    static void prepareNewStep(Command *command, const QList<Command *> &commands,
                               const QList<TipVolumes> &volumes, int position);
    // The running volumes after step `index` as the interface reads them.
    static QVariantMap volumesAt(const QList<TipVolumes> &volumes, int index);
};
