#pragma once

#include <QObject>

#include <array>
#include <deque>
#include <functional>
#include <vector>

#include "framegrid.h"
#include "meterpacket.h"
#include "meterrelease.h"

class QTimer;
class TeskPPMMeter;

// Moves the six meters towards their targets: up at once, down by at most
// one step per 10 ms tick. The ticks keep their 10 ms grid, but they are
// applied on the display's frame beat: each frame applies every tick that
// has come due since the last one, in order, with the targets each tick
// would have seen, so a frame shows exactly what a plain 10 ms tick would
// show at that moment, and the meters repaint at most once per refresh.
// The release rests while no meter can move and wakes when a target
// changes, so a steady screen costs no wake-ups.
//
// While it runs, the link is read on the frame beat (pullRequested) rather
// than on each arrival (pacedChanged tells the link which): the packets
// read there go to the ticks that came due since the last read, one packet
// per tick and the newest on the newest tick, as if read on each tick.
class ReleaseClock : public QObject
{
    Q_OBJECT

public:
    using Meters = std::array<TeskPPMMeter *, MeterPacket::kChannels>;
    // Monotonic time in nanoseconds; the tests inject their own.
    using Clock = std::function<qint64()>;

    static constexpr qint64 kTickNs = qint64(MeterRelease::kIntervalMs) * 1000000;

    // The meters in packet order. Nothing moves until start().
    explicit ReleaseClock(const Meters &meters, QObject *parent = nullptr);

    void start();
    void setClock(Clock clock);
    // The frame beat: one frame per refresh of the screen at this rate (see
    // FrameGrid::intervalNs). A new rate re-bases the grid on the last frame.
    void setRefreshRate(qreal refreshRate);
    void setFrameInterval(qint64 nanoseconds);
    qint64 frameInterval() const { return m_grid.interval(); }

    // New targets, as a read of the link brings them (the newest packet of
    // the read). Ignored during a pull, which hands over every packet
    // through pulledPacket() instead.
    void setTargets(const MeterPacket::Levels &levels);
    // One packet read during a pull, in stream order; ignored otherwise.
    void pulledPacket(const MeterPacket::Levels &levels);
    // All targets to the floor: a rebuilt link, or a link gone silent.
    void dropToFloor();

    // One frame: reads the link if it is paced, applies every tick due by
    // now and repaints what moved. The frame timer calls it; so can a test.
    void frame();

    // The newest targets, whether or not a tick has taken them yet.
    const MeterPacket::Levels &targets() const { return m_latest; }
    // True while the release runs (meters moving); false while it rests.
    bool isTicking() const { return m_running; }

signals:
    // True while the release runs: the link is then read on pullRequested
    // instead of on each arrival. False: read on arrival again.
    void pacedChanged(bool paced);
    // Read the link now; what it decodes comes back through setTargets().
    void pullRequested();

private:
    struct Change
    {
        qint64 at;
        MeterPacket::Levels levels;
    };

    void advanceTo(qint64 now);
    bool tickOnce();
    void requestFrame();
    void aimAt(qint64 at);
    void setPaced(bool paced);

    Meters m_meters;
    Clock m_clock;
    QTimer *m_frameTimer = nullptr;
    MeterPacket::Levels meterLevels;  // the targets the ticks work towards
    MeterPacket::Levels m_latest;     // the newest targets set
    std::deque<Change> m_changes;     // targets set, not yet taken by a tick
    std::vector<MeterPacket::Levels> m_pulled;  // read during this frame's pull
    double releaseStep = MeterRelease::kStepDb;
    FrameGrid m_grid{0, FrameGrid::intervalNs(0.0)};
    qint64 m_aim = 0;         // the grid point the frame timer is aimed at
    qint64 m_nextTick = 0;    // time of the next tick while running
    qint64 m_lastFrame = 0;   // time of the last frame
    bool m_framed = false;    // a frame has run
    bool m_running = false;
    bool m_started = false;
    bool m_pulling = false;
    bool m_paced = false;
};
