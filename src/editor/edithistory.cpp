#include "editor/edithistory.h"

#include <QStringList>

namespace {

// "aspirate tip:small vol:50.5" as its key:value tokens, the step's kind first.
QStringList tokens(const QString &line)
{
    return line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QString keyOf(const QString &token)
{
    const int colon = token.indexOf(QLatin1Char(':'));
    return colon < 0 ? token : token.left(colon);
}

} // namespace

void EditHistory::reset(const MethodState &current)
{
    m_undo.clear();
    m_redo.clear();
    m_current = current;
    m_lastField.clear();
}

bool EditHistory::record(const MethodState &state, qint64 atMs)
{
    if (state == m_current)
        return false;
    const QString field = fieldOf(m_current, state);
    const bool typingOn = !field.isEmpty() && field == m_lastField && atMs - m_lastAt <= m_typingWindow
        && !m_undo.isEmpty();
    if (!typingOn) {
        m_undo.append(m_current);
        if (m_undo.size() > Capacity)
            m_undo.removeFirst();
    }
    m_redo.clear();
    m_current = state;
    m_lastField = field;
    m_lastAt = atMs;
    return true;
}

MethodState EditHistory::undo()
{
    m_redo.append(m_current);
    m_current = m_undo.takeLast();
    m_lastField.clear();
    return m_current;
}

MethodState EditHistory::redo()
{
    m_undo.append(m_current);
    m_current = m_redo.takeLast();
    m_lastField.clear();
    return m_current;
}

void EditHistory::settle(const MethodState &state)
{
    m_current = state;
}

QString EditHistory::fieldOf(const MethodState &from, const MethodState &to)
{
    if (from.spl == to.spl)
        return QStringLiteral("description");
    if (from.description != to.description)
        return QString();
    const QStringList before = from.spl.split(QLatin1Char('\n'));
    const QStringList after = to.spl.split(QLatin1Char('\n'));
    if (before.size() != after.size())
        return QString();
    int changed = -1;
    for (int i = 0; i < before.size(); ++i) {
        if (before.at(i) == after.at(i))
            continue;
        if (changed >= 0)
            return QString();
        changed = i;
    }
    // The first line is the name, whatever it holds.
    if (changed == 0)
        return QStringLiteral("name");
    const QStringList was = tokens(before.at(changed));
    const QStringList now = tokens(after.at(changed));
    if (was.size() != now.size() || was.isEmpty() || was.constFirst() != now.constFirst())
        return QString();
    QStringList keys;
    for (int i = 1; i < was.size(); ++i) {
        if (keyOf(was.at(i)) != keyOf(now.at(i)))
            return QString();
        if (was.at(i) != now.at(i))
            keys.append(keyOf(was.at(i)));
    }
    return QStringLiteral("%1:%2").arg(changed).arg(keys.join(QLatin1Char(',')));
}
