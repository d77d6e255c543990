#include "framegrid.h"

#include <algorithm>
#include <cmath>

#include "meterrelease.h"

namespace {

// Refresh rates a real screen reports; anything else (0 when unknown, or a
// driver's nonsense) is taken as the common 60 Hz.
constexpr qreal kLowestRefresh = 20.0;
constexpr qreal kHighestRefresh = 500.0;
constexpr qreal kDefaultRefresh = 60.0;
constexpr qint64 kTickNs = qint64(MeterRelease::kIntervalMs) * 1000000;

} // namespace

qint64 FrameGrid::intervalNs(qreal refreshRate)
{
    const qreal rate = refreshRate >= kLowestRefresh && refreshRate <= kHighestRefresh ? refreshRate
                                                                                        : kDefaultRefresh;
    return std::max(qint64(std::llround(1e9 / rate)), kTickNs);
}

FrameGrid::FrameGrid(qint64 originNs, qint64 intervalNs)
    : m_origin(originNs)
    , m_interval(std::max<qint64>(intervalNs, 1))
{
}

qint64 FrameGrid::nextFrame(qint64 nowNs) const
{
    const qint64 since = nowNs - m_origin;
    // Rounded towards minus infinity, so a time before the origin finds its
    // grid point too.
    qint64 steps = since / m_interval;
    if (since % m_interval < 0)
        --steps;
    return m_origin + (steps + 1) * m_interval;
}
