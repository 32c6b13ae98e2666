#pragma once

#include <QList>
#include <QObject>

class Command;

// Writes a method as SPL text: the header with the name, then one line per step.
class SplGenerator : public QObject
{
    Q_OBJECT

public:
    explicit SplGenerator(QObject *parent = nullptr);

    // Line breaks in the name become spaces: the format has no escaping, and a break
    // would turn the rest of the name into command lines.
    QString generate(const QString &name, const QList<Command *> &commands) const;
};
