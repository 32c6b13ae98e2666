#include "devices/instrumentprotocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>

namespace InstrumentProtocol {

namespace {

bool isControl(QChar ch)
{
    return ch.unicode() < 0x20 || ch.unicode() == 0x7F;
}

} // namespace

bool hasControlCharacters(const QString &text)
{
    for (QChar ch : text) {
        if (isControl(ch))
            return true;
    }
    return false;
}

QString withoutControlCharacters(const QString &text)
{
    QString cleaned;
    cleaned.reserve(text.size());
    for (QChar ch : text) {
        if (!isControl(ch))
            cleaned.append(ch);
    }
    return cleaned;
}

bool isSendableName(const QString &name)
{
    return !name.isEmpty() && !hasControlCharacters(name) && !name.contains(QLatin1Char('/'))
           && !name.contains(QLatin1Char('\\')) && name != QLatin1String(".")
           && name != QLatin1String("..");
}

bool isSendableKey(const QString &key)
{
    return !key.isEmpty() && !hasControlCharacters(key) && !key.contains(QLatin1Char(':'));
}

bool isSendableBody(const QByteArray &data)
{
    if (data.contains('\x1b'))
        return false;
    return !data.startsWith("END:") && !data.contains("\nEND:");
}

bool coefficientQueue(const QVariantList &pairs, QList<QPair<int, float>> *queue, QVariant *badEntry)
{
    queue->clear();
    for (const QVariant &entry : pairs) {
        const QVariantMap pair = entry.toMap();
        bool indexOk = false;
        bool valueOk = false;
        const int index = pair.value(QStringLiteral("index")).toInt(&indexOk);
        const float value = pair.value(QStringLiteral("value")).toFloat(&valueOk);
        if (!indexOk || !valueOk || index < 0 || index > MaxCoefficientIndex || !std::isfinite(value)) {
            queue->clear();
            if (badEntry)
                *badEntry = entry;
            return false;
        }
        queue->append(qMakePair(index, value));
    }
    return true;
}

QString setCalibrationLine(int index, float value)
{
    return QStringLiteral("CMD:SET_CAL:%1:%2").arg(index).arg(double(value), 0, 'f', 6);
}

QString setPreferenceLine(const QString &key, const QString &value)
{
    return QStringLiteral("CMD:SET_PREF:") + key + QLatin1Char(':') + value;
}

QString preferenceReplyKey(const QString &line)
{
    const int firstColon = line.indexOf(QLatin1Char(':'));
    const int secondColon = line.indexOf(QLatin1Char(':'), firstColon + 1);
    return secondColon < 0 ? QString() : line.mid(secondColon + 1);
}

QString errorReason(const QString &line)
{
    return line.mid(4);
}

QVariantMap parseObject(const QString &text)
{
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    return document.isObject() ? document.object().toVariantMap() : QVariantMap();
}

QString maskedForLog(const QString &line)
{
    static const QString passwordWrite = QStringLiteral("CMD:SET_PREF:password:");
    if (line.startsWith(passwordWrite))
        return passwordWrite + QStringLiteral("***");
    if (!line.contains(QLatin1String("\"password\"")))
        return line;
    static const QRegularExpression passwordValue(QStringLiteral(R"("password"\s*:\s*"(?:[^"\\]|\\.)*")"));
    QString masked = line;
    masked.replace(passwordValue, QStringLiteral("\"password\":\"***\""));
    return masked;
}

} // namespace InstrumentProtocol
