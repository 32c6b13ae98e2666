#pragma once

#include "model/command.h"

#include <QList>
#include <QVariantList>

class TipSelectCommand : public Command
{
    Q_OBJECT

public:
    explicit TipSelectCommand(QObject *parent = nullptr);

    QString type() const override;
    QVariantMap toVariantMap() const override;
    QString toSpl(int indent) const override;
    QString toCsvRow(const VolumeParts &cvol) const override;
};

// The kinds that move a volume: Aspirate, Airgap and Dispense, Mix and Repeat.
class VolumeCommand : public Command
{
    Q_OBJECT
    Q_PROPERTY(int volumeWhole READ volumeWhole WRITE setVolumeWhole NOTIFY volumeChanged)
    Q_PROPERTY(int volumeFractional READ volumeFractional WRITE setVolumeFractional
                   NOTIFY volumeChanged)

public:
    explicit VolumeCommand(QObject *parent = nullptr);

    virtual VolumeParts volume() const;
    int volumeWhole() const { return volume().whole; }
    int volumeFractional() const { return volume().fractional; }
    int scale() const { return volume().scale; }
    virtual void setVolumeWhole(int whole);
    virtual void setVolumeFractional(int fractional);

    QVariantMap toVariantMap() const override;

signals:
    void volumeChanged();

private:
    VolumeParts m_volume{100, 0, 10};
};

// Aspirate, Airgap and Dispense: a volume plus an extra volume, identical but for the word.
class TransferCommand : public VolumeCommand
{
    Q_OBJECT
    Q_PROPERTY(int extraVolume READ extraVolume WRITE setExtraVolume NOTIFY extraVolumeChanged)

public:
    explicit TransferCommand(QObject *parent = nullptr);

    int extraVolume() const { return m_extraVolume; }
    void setExtraVolume(int extraVolume);

    QVariantMap toVariantMap() const override;
    QString toSpl(int indent) const override;
    QString toCsvRow(const VolumeParts &cvol) const override;

signals:
    void extraVolumeChanged();

private:
    int m_extraVolume = 0;
};

class AspirateCommand : public TransferCommand
{
    Q_OBJECT

public:
    explicit AspirateCommand(QObject *parent = nullptr);
    QString type() const override;
};

class AirgapCommand : public TransferCommand
{
    Q_OBJECT

public:
    explicit AirgapCommand(QObject *parent = nullptr);
    QString type() const override;
};

class DispenseCommand : public TransferCommand
{
    Q_OBJECT

public:
    explicit DispenseCommand(QObject *parent = nullptr);
    QString type() const override;
};

class MixCommand : public VolumeCommand
{
    Q_OBJECT
    Q_PROPERTY(int cycles READ cycles WRITE setCycles NOTIFY cyclesChanged)

public:
    explicit MixCommand(QObject *parent = nullptr);

    int cycles() const { return m_cycles; }
    void setCycles(int cycles);

    QString type() const override;
    QVariantMap toVariantMap() const override;
    QString toSpl(int indent) const override;
    QString toCsvRow(const VolumeParts &cvol) const override;

signals:
    void cyclesChanged();

private:
    int m_cycles = 2;
};

// Aspirates once and dispenses dispenseVolume replicates times. Its volume is derived
// from those two, so writing volumeWhole or volumeFractional does nothing.
class RepeatCommand : public VolumeCommand
{
    Q_OBJECT
    Q_PROPERTY(double dispenseVolume READ dispenseVolume WRITE setDispenseVolume
                   NOTIFY dispenseVolumeChanged)
    Q_PROPERTY(int replicates READ replicates WRITE setReplicates NOTIFY replicatesChanged)

public:
    explicit RepeatCommand(QObject *parent = nullptr);

    VolumeParts volume() const override;
    void setVolumeWhole(int whole) override;
    void setVolumeFractional(int fractional) override;

    double dispenseVolume() const { return m_dispenseVolume; }
    void setDispenseVolume(double dispenseVolume);
    int replicates() const { return m_replicates; }
    void setReplicates(int replicates);

    QString type() const override;
    QVariantMap toVariantMap() const override;
    QString toSpl(int indent) const override;
    QString toCsvRow(const VolumeParts &cvol) const override;

signals:
    void dispenseVolumeChanged();
    void replicatesChanged();

private:
    double m_dispenseVolume = 100.0;
    int m_replicates = 2;
};

class PurgeCommand : public Command
{
    Q_OBJECT

public:
    explicit PurgeCommand(QObject *parent = nullptr);

    QString type() const override;
    QString toSpl(int indent) const override;
    QString toCsvRow(const VolumeParts &cvol) const override;
};

// Runs its body iterations times. Every edit inside the body is announced through
// innerCommandsChanged, so whoever watches the loop sees it.
class LoopCommand : public Command
{
    Q_OBJECT
    Q_PROPERTY(int iterations READ iterations WRITE setIterations NOTIFY iterationsChanged)
    Q_PROPERTY(QVariantList innerCommands READ innerCommands NOTIFY innerCommandsChanged)

public:
    // Far above any real method; the readers refuse deeper text so that nothing walking
    // a method can run out of stack.
    static constexpr int MaxNestingDepth = 64;

    explicit LoopCommand(QObject *parent = nullptr);
    ~LoopCommand() override;

    int iterations() const { return m_iterations; }
    void setIterations(int iterations);

    QVariantList innerCommands() const;
    QList<Command *> innerCommandList() const { return m_body; }

    Q_INVOKABLE void addInnerCommand(const QString &type);
    Q_INVOKABLE void removeInnerCommand(int index);
    Q_INVOKABLE void moveInnerCommand(int from, int to);
    // For the readers: wires the command in without touching its tip and without a signal.
    void appendInnerCommand(Command *command);
    // Gives every body step the tip in force before it, starting from startTip.
    void propagateTips(const QString &startTip);

    QString type() const override;
    QVariantMap toVariantMap() const override;
    QString toSpl(int indent) const override;
    QString toCsvRow(const VolumeParts &cvol) const override;

signals:
    void iterationsChanged();
    void innerCommandsChanged();

private:
    void connectInnerCommand(Command *command);
    void innerTipSelectChanged();
    void forgetInnerCommand(Command *gone);

    int m_iterations = 2;
    QList<Command *> m_body;
};
