#pragma once

#include <QList>
#include <QObject>

class Command;

// Writes a method as the instrument's CSV: one row per step, loops as bracketing rows.
class CsvGenerator : public QObject
{
    Q_OBJECT

public:
    explicit CsvGenerator(QObject *parent = nullptr);

    // The name and description are not part of the device text; on the instrument a
    // method is known by its file name.
    QString generate(const QString &name, const QString &description,
                     const QList<Command *> &commands) const;
};
