#pragma once

#include <QList>
#include <QObject>
#include <QStringList>

class Command;

// Reads SPL text back into a name and new commands, stopping at the first error with a
// message that names the line as an editor numbers it.
class SplParser : public QObject
{
    Q_OBJECT

public:
    explicit SplParser(QObject *parent = nullptr);

    // A method name read from a file, as it may be kept: a name is shown on one line and
    // becomes a file name, so control characters (a tab, a stray escape, a carriage
    // return) turn into spaces; then trimmed.
    static QString printableName(const QString &text);

    // Top-level commands are appended to commands without parent and belong to the
    // caller, also those appended before a failure.
    bool parse(const QString &text, QString *name, QList<Command *> *commands,
               QString *error) const;
    // Reads from *index (an index into the text's lines, so line number = index + 1) to
    // the end or, inLoop, to the matching "endloop".
    bool parseBlock(const QStringList &lines, int *index, QList<Command *> *out, QString *error,
                    bool inLoop) const;
    Command *parseCommandLine(const QString &line, QString *error) const;
    // The value of "key:" where key starts the line or follows a blank, so "vol" is not
    // found inside "xvol:"; empty when absent.
    static QString valueOf(const QString &line, const QString &key);

private:
    bool readBlock(const QStringList &lines, int *index, QList<Command *> *out, QString *error,
                   int depth) const;
};
