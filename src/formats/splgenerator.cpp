#include "formats/splgenerator.h"

#include "model/command.h"

#include <QRegularExpression>

SplGenerator::SplGenerator(QObject *parent) : QObject(parent) {}

QString SplGenerator::generate(const QString &name, const QList<Command *> &commands) const
{
    static const QRegularExpression lineBreak(
        QStringLiteral("\\r\\n|[\\n\\r\\x{0B}\\x{0C}\\x{85}\\x{2028}\\x{2029}]"));
    QString headerName = name;
    headerName.replace(lineBreak, QStringLiteral(" "));

    QString text = QLatin1String("protocol name: ") + headerName + QLatin1String("\n\n");
    for (const Command *command : commands) {
        if (command)
            text += command->toSpl(0);
    }
    return text;
}
