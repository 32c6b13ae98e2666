#pragma once

#include <QJsonObject>
#include <QString>

// Who the instrument says it is: its ready record ("NERRA:READY:{...}") over USB, its
// identity characteristic over Bluetooth LE, and the preferences it confirmed since.
struct InstrumentIdentity
{
    QString id;
    QString name;
    QString serialNumber;
    QString firmware;
    QString ssid;
    int color = -1; // none given
    bool hasCertificate = false;
    int otaVersion = 0;

    static InstrumentIdentity fromRecord(const QJsonObject &record);
    // A preference the instrument stored; true when what it shows changed. An empty serial
    // number or network name never replaces a known one, and a colour must be a number.
    bool applyPreference(const QString &key, const QString &value);
};
