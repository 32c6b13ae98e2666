#pragma once

#include <QMetaType>
#include <QString>

// A volume as whole µL plus a count of 1/scale µL. Commands keep tenths (scale 10); the
// parts are not normalised, so a fractional of 10 or a negative one still gives the right
// value.
struct VolumeParts
{
    int whole = 0;
    int fractional = 0;
    int scale = 10;

    double value() const;
    // The value with exactly one decimal, the way every text form prints a volume.
    QString toText() const;

    static QString format(double microlitres);
    // Whether a number can become the whole part of a volume: finite and inside the
    // range of int, so converting it is defined behaviour.
    static bool holdsWhole(double microlitres);

    bool operator==(const VolumeParts &other) const
    {
        return whole == other.whole && fractional == other.fractional && scale == other.scale;
    }
    bool operator!=(const VolumeParts &other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(VolumeParts)
