#include "meterrelease.h"

#include <cfloat>
#include <cmath>
#include <limits>

namespace MeterRelease {

namespace {

// double to float without the undefined behaviour of converting a value
// beyond float's range: such a value becomes an infinity, as the hardware
// conversion would make it.
float toFloat(double value)
{
    if (value > double(FLT_MAX))
        return std::numeric_limits<float>::infinity();
    if (value < -double(FLT_MAX))
        return -std::numeric_limits<float>::infinity();
    return float(value);  // NaN stays NaN
}

} // namespace

ReleaseResult releaseStep(double current, double target, double step)
{
    if (!(current > kFloorDb) && !(target > kFloorDb))
        return {};

    float d = toFloat(target - current);
    if (d < -step)
        d = -toFloat(step);
    if (d == 0.0f)
        return {};
    return {true, current + d};
}

} // namespace MeterRelease
