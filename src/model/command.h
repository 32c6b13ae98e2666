#pragma once

#include "model/volumeparts.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

// One step of a method. Commands are plain observable values: they know nothing of
// validity or of their place in the method, only how to print themselves in the stored,
// SPL and device forms.
class Command : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString tip READ tip WRITE setTip NOTIFY tipChanged)
    Q_PROPERTY(int speed READ speed WRITE setSpeed NOTIFY speedChanged)
    Q_PROPERTY(QString type READ type CONSTANT)

public:
    explicit Command(QObject *parent = nullptr);

    QString tip() const { return m_tip; }
    void setTip(const QString &tip);
    int speed() const { return m_speed; }
    void setSpeed(int speed);

    // Exactly "small" is the small tip; anything else, the empty text included, is large.
    bool usesSmallTip() const;
    QString tipWord() const;   // "small" or "large", as the text forms write it
    QString tipLetter() const; // "S" or "L", as a device row writes it

    virtual QString type() const = 0;
    virtual QVariantMap toVariantMap() const;
    virtual QString toSpl(int indent) const = 0;
    virtual QString toCsvRow(const VolumeParts &cvol) const = 0;

    // A new command of one of the eight type words, or nullptr for any other word.
    static Command *create(const QString &type, QObject *parent = nullptr);
    // Rebuilds a command from its stored form; nullptr for a missing or unknown type.
    // Unlike CsvParser::parse, it refuses nothing: a loop nested deeper than
    // LoopCommand::MaxNestingDepth is dropped with its body, with a warning, and everything
    // around it is kept. Only the log tells that anything was dropped.
    static Command *fromVariantMap(const QVariantMap &map, QObject *parent = nullptr);

signals:
    void tipChanged();
    void speedChanged();

protected:
    static QString indentation(int indent);

private:
    static Command *fromVariantMap(const QVariantMap &map, QObject *parent, int depth);

    QString m_tip = QStringLiteral("small");
    int m_speed = 5;
};
