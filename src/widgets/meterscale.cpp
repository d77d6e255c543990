#include "meterscale.h"

#include <climits>
#include <cmath>

namespace MeterScale {

Range makeRange(double minDb, double maxDb)
{
    Range r;
    r.minDb = minDb;
    r.maxDb = maxDb;
    r.dinFloor = std::pow(10.0, minDb / 80.0);
    r.dinSpan = std::pow(10.0, maxDb / 80.0) - r.dinFloor;
    r.dbSpan = maxDb - minDb;
    return r;
}

bool isUsable(const Range &r)
{
    return std::isfinite(r.dbSpan) && r.dbSpan > 0.0
        && std::isfinite(r.dinFloor) && std::isfinite(r.dinSpan) && r.dinSpan > 0.0;
}

double clampLevel(double level, const Range &r)
{
    if (std::isnan(level))
        return r.minDb;
    if (r.minDb > level)
        level = r.minDb;
    if (level > r.maxDb)
        level = r.maxDb;
    return level;
}

int truncToInt(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}

Heights dinHeights(double level, int height, const Range &r)
{
    if (!isUsable(r))
        return {};
    const double h = height;
    Heights out;
    out.bar = truncToInt(h * (std::pow(10.0, level / 80.0) - r.dinFloor) / r.dinSpan);
    out.zero = truncToInt(h * (1.0 - r.dinFloor) / r.dinSpan);
    return out;
}

Heights linearHeights(double level, int height, const Range &r)
{
    if (!isUsable(r))
        return {};
    const double h = height;
    Heights out;
    // The inner truncation is done in double so that a wide range cannot
    // overflow an int before the division brings it back to pixels.
    out.bar = truncToInt(std::trunc(h * (level - r.minDb)) / r.dbSpan);
    out.zero = truncToInt(std::trunc(-r.minDb * h) / r.dbSpan);
    return out;
}

} // namespace MeterScale
