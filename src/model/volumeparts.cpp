#include "model/volumeparts.h"

#include <cmath>

double VolumeParts::value() const
{
    // A zero scale only comes from a hand-made value; read it as whole µL.
    if (scale == 0)
        return whole;
    return whole + double(fractional) / scale;
}

QString VolumeParts::toText() const
{
    return format(value());
}

QString VolumeParts::format(double microlitres)
{
    return QString::number(microlitres, 'f', 1);
}

bool VolumeParts::holdsWhole(double microlitres)
{
    return std::isfinite(microlitres) && std::fabs(microlitres) < 2147483648.0;
}
