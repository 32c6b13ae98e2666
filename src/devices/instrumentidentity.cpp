#include "devices/instrumentidentity.h"

InstrumentIdentity InstrumentIdentity::fromRecord(const QJsonObject &record)
{
    InstrumentIdentity identity;
    identity.id = record.value(QLatin1String("id")).toString();
    identity.name = record.value(QLatin1String("name")).toString();
    identity.serialNumber = record.value(QLatin1String("sn")).toString();
    identity.firmware = record.value(QLatin1String("fw")).toString();
    identity.ssid = record.value(QLatin1String("ssid")).toString();
    identity.color = record.contains(QLatin1String("color")) ? record.value(QLatin1String("color")).toInt(0) : -1;
    identity.hasCertificate = record.value(QLatin1String("hasCert")).toBool(false);
    identity.otaVersion = record.value(QLatin1String("otaUsb")).toInt(0);
    return identity;
}

bool InstrumentIdentity::applyPreference(const QString &key, const QString &value)
{
    QString *field = nullptr;
    if (key == QLatin1String("sn") && !value.isEmpty())
        field = &serialNumber;
    else if (key == QLatin1String("ssid") && !value.isEmpty())
        field = &ssid;
    else if (key == QLatin1String("name"))
        field = &name;
    if (field) {
        if (*field == value)
            return false;
        *field = value;
        return true;
    }
    if (key != QLatin1String("color"))
        return false;
    bool isNumber = false;
    const int number = value.toInt(&isNumber, 10);
    if (!isNumber || number == color)
        return false;
    color = number;
    return true;
}
