#pragma once

#include <QtGlobal>

// The times at which the meters are painted: a fixed grid of one screen
// refresh, from an origin. Each frame aims at the next point of the grid,
// whatever the last frame's work took, so the beat keeps step with the
// screen instead of drifting by the work and the rounding of each wait.
class FrameGrid
{
public:
    // One refresh at the given rate, in nanoseconds, not rounded to whole
    // milliseconds (60 Hz where the rate is unknown or not plausible), and
    // never shorter than the release's tick: a frame between two ticks
    // would show nothing new.
    static qint64 intervalNs(qreal refreshRate);

    FrameGrid() = default;
    FrameGrid(qint64 originNs, qint64 intervalNs);

    // The first grid point strictly after now: a late frame aims at the
    // next point still ahead, one that is late by several refreshes skips
    // the points it missed.
    qint64 nextFrame(qint64 nowNs) const;
    // The same grid at a new interval, with its origin moved to at (the
    // last frame): the next frame comes one new interval after it.
    FrameGrid rebased(qint64 atNs, qint64 intervalNs) const { return FrameGrid(atNs, intervalNs); }

    qint64 origin() const { return m_origin; }
    qint64 interval() const { return m_interval; }

private:
    qint64 m_origin = 0;
    qint64 m_interval = 16666667;
};
