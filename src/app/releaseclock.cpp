#include "releaseclock.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <memory>

#include "teskppmmeter.h"

ReleaseClock::ReleaseClock(const Meters &meters, QObject *parent)
    : QObject(parent)
    , m_meters(meters)
    , m_frameTimer(new QTimer(this))
{
    meterLevels.fill(MeterRelease::kFloorDb);
    m_latest = meterLevels;
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    m_clock = [elapsed] { return elapsed->nsecsElapsed(); };
    m_frameTimer->setSingleShot(true);
    // Precise: a coarse timer may come up to 5% early, which would crowd two
    // paints into one refresh.
    m_frameTimer->setTimerType(Qt::PreciseTimer);
    connect(m_frameTimer, &QTimer::timeout, this, &ReleaseClock::frame);
}

void ReleaseClock::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

void ReleaseClock::setRefreshRate(qreal refreshRate)
{
    setFrameInterval(FrameGrid::intervalNs(refreshRate));
}

void ReleaseClock::setFrameInterval(qint64 nanoseconds)
{
    const qint64 interval = std::max(nanoseconds, kTickNs);
    if (interval == m_grid.interval())
        return;
    m_grid = m_grid.rebased(m_framed ? m_lastFrame : m_clock(), interval);
    // A frame aimed at the old grid goes to the new one: one new interval
    // after the last frame.
    if (m_frameTimer->isActive() && m_running)
        aimAt(m_grid.nextFrame(m_lastFrame));
}

void ReleaseClock::start()
{
    if (m_started)
        return;
    m_started = true;
    // The first tick decides whether anything has to move at all.
    m_changes.push_back({m_clock(), meterLevels});
    requestFrame();
}

void ReleaseClock::setTargets(const MeterPacket::Levels &levels)
{
    if (m_pulling)
        return;
    m_latest = levels;
    if (!m_started) {
        meterLevels = levels;
        return;
    }
    // Resting, every meter stands on its target: the same targets again
    // would move nothing, so they cost no frame (and no wake-up).
    if (!m_running && m_changes.empty() && levels == meterLevels)
        return;
    const qint64 now = m_clock();
    const auto at = std::upper_bound(m_changes.begin(), m_changes.end(), now,
                                     [](qint64 t, const Change &c) { return t < c.at; });
    m_changes.insert(at, {now, levels});
    if (!m_running)
        requestFrame();
    // While running, the next frame takes it.
}

void ReleaseClock::pulledPacket(const MeterPacket::Levels &levels)
{
    if (!m_pulling)
        return;
    m_latest = levels;
    m_pulled.push_back(levels);
}

void ReleaseClock::dropToFloor()
{
    MeterPacket::Levels floor;
    floor.fill(MeterRelease::kFloorDb);
    setTargets(floor);
}

void ReleaseClock::requestFrame()
{
    if (m_frameTimer->isActive())
        return;
    // At once after a rest, on a grid that starts there; but never two
    // frames within one refresh.
    const qint64 now = m_clock();
    if (!m_framed || now - m_lastFrame >= m_grid.interval()) {
        m_grid = m_grid.rebased(now, m_grid.interval());
        aimAt(now);
    } else {
        aimAt(m_grid.nextFrame(now));
    }
}

void ReleaseClock::aimAt(qint64 at)
{
    m_aim = at;
    // The timer counts whole milliseconds: rounded up, so it never wakes
    // before the grid point (a wake before it would paint twice in one
    // refresh, or spin). Up to a millisecond late, but the next aim is still
    // on the grid, so the beat does not drift.
    const qint64 wait = at - m_clock();
    m_frameTimer->start(wait > 0 ? int((wait + 999999) / 1000000) : 0);
}

void ReleaseClock::frame()
{
    if (!m_started)
        return;
    const qint64 now = m_clock();
    if (m_paced) {
        m_pulled.clear();
        m_pulling = true;
        emit pullRequested();
        m_pulling = false;
        // The ticks due since the last frame, oldest first: the packets read
        // now take them newest to newest, as if the link had been read on
        // each tick. More packets than ticks: the older ones are overtaken,
        // as two packets between two ticks always were. No tick due yet:
        // they wait for the next one.
        const qint64 due = m_running && now >= m_nextTick ? (now - m_nextTick) / kTickNs + 1 : 0;
        const qint64 count = qint64(m_pulled.size());
        for (qint64 i = 0; i < count; ++i) {
            const qint64 slot = std::max<qint64>(0, due - count + i);
            const qint64 at = due > 0 ? m_nextTick + slot * kTickNs : now;
            const auto pos = std::upper_bound(m_changes.begin(), m_changes.end(), at,
                                              [](qint64 t, const Change &c) { return t < c.at; });
            m_changes.insert(pos, {at, m_pulled[std::size_t(i)]});
        }
        m_pulled.clear();
    }
    // The ticks due place the bars; each meter then repaints once, from the
    // height this frame found on screen to where the last tick left it.
    std::array<int, MeterPacket::kChannels> shown;
    for (std::size_t i = 0; i < m_meters.size(); ++i)
        shown[i] = m_meters[i]->barHeight();
    advanceTo(now);
    for (std::size_t i = 0; i < m_meters.size(); ++i)
        m_meters[i]->repaintBarSince(shown[i]);
    m_lastFrame = now;
    m_framed = true;
    if (m_running) {
        setPaced(true);
        // The next grid point still ahead, whatever this frame's work took:
        // a late frame is not followed by an early one, and a frame late by
        // more than a refresh skips the points it missed.
        aimAt(m_grid.nextFrame(std::max(m_clock(), m_aim)));
    } else {
        setPaced(false);
        if (!m_changes.empty())
            requestFrame();
    }
}

void ReleaseClock::advanceTo(qint64 now)
{
    for (;;) {
        if (m_running) {
            if (m_nextTick > now)
                return;
            const qint64 tick = m_nextTick;
            while (!m_changes.empty() && m_changes.front().at <= tick) {
                meterLevels = m_changes.front().levels;
                m_changes.pop_front();
            }
            if (tickOnce()) {
                m_nextTick = tick + kTickNs;
            } else {
                // Every meter stands on its target, so every further tick
                // would change nothing until a target changes: rest.
                m_running = false;
            }
        } else {
            if (m_changes.empty() || m_changes.front().at > now)
                return;
            // A changed target wakes the release with a tick at once; the
            // ticks go on every 10 ms from there while anything moves.
            const qint64 wake = m_changes.front().at;
            while (!m_changes.empty() && m_changes.front().at <= wake) {
                meterLevels = m_changes.front().levels;
                m_changes.pop_front();
            }
            if (tickOnce()) {
                m_running = true;
                m_nextTick = wake + kTickNs;
            }
        }
    }
}

bool ReleaseClock::tickOnce()
{
    bool moved = false;
    for (std::size_t i = 0; i < m_meters.size(); ++i) {
        const MeterRelease::ReleaseResult step =
            MeterRelease::releaseStep(m_meters[i]->dBPosition(), meterLevels[i], releaseStep);
        if (step.write)
            moved |= m_meters[i]->placeLevel(step.value);
    }
    return moved;
}

void ReleaseClock::setPaced(bool paced)
{
    if (paced == m_paced)
        return;
    m_paced = paced;
    emit pacedChanged(paced);
}
