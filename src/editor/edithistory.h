#pragma once

#include <QString>
#include <QVector>

// The method as undo and redo see it: its SPL text (name and steps, exactly as they would be
// saved) and its description, which SPL does not carry.
struct MethodState
{
    QString spl;
    QString description;

    bool operator==(const MethodState &other) const { return spl == other.spl && description == other.description; }
    bool operator!=(const MethodState &other) const { return !(*this == other); }
};

// The editor's undo and redo history. Every state the method passes through is a step,
// except that typing on in the same field of the same step (or the name, or the
// description) within the typing window extends the step it began.
class EditHistory
{
public:
    static constexpr int Capacity = 200;
    static constexpr int DefaultTypingWindow = 1000;

    // A method loaded or created: no way back from it, nothing to redo.
    void reset(const MethodState &current);
    // The method now reads `state`, `atMs` on a steady clock. False when nothing changed.
    bool record(const MethodState &state, qint64 atMs);
    void setTypingWindow(int ms) { m_typingWindow = ms; }

    bool canUndo() const { return !m_undo.isEmpty(); }
    bool canRedo() const { return !m_redo.isEmpty(); }
    // The state to go back (or forward) to; the current one moves to the other side.
    MethodState undo();
    MethodState redo();
    // The state as the editor reads it once an undo or redo has been applied.
    void settle(const MethodState &state);

private:
    // What one change touched, when it touched one field only: "name", "description", or
    // the line and keys of one step; empty for anything larger.
    static QString fieldOf(const MethodState &from, const MethodState &to);

    QVector<MethodState> m_undo;
    QVector<MethodState> m_redo;
    MethodState m_current;
    QString m_lastField;
    qint64 m_lastAt = 0;
    int m_typingWindow = DefaultTypingWindow;
};
