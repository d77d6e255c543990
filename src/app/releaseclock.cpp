#include "releaseclock.h"

#include <QTimer>

#include "teskppmmeter.h"

ReleaseClock::ReleaseClock(const Meters &meters, QObject *parent)
    : QObject(parent)
    , m_meters(meters)
{
    meterLevels.fill(MeterRelease::kFloorDb);
}

void ReleaseClock::start()
{
    releaseTimer = new QTimer(this);
    // Precise: the tick sets the fall speed, so it must not drift; Qt would
    // treat a coarse 10 ms timer as precise anyway.
    releaseTimer->setTimerType(Qt::PreciseTimer);
    connect(releaseTimer, &QTimer::timeout, this, &ReleaseClock::tick);
    releaseTimer->start(releaseInterval);
    m_started = true;
}

void ReleaseClock::setTargets(const MeterPacket::Levels &levels)
{
    meterLevels = levels;
    wake();
}

void ReleaseClock::dropToFloor()
{
    meterLevels.fill(MeterRelease::kFloorDb);
    wake();
}

void ReleaseClock::tick()
{
    if (!m_started)
        return;
    bool moved = false;
    for (std::size_t i = 0; i < m_meters.size(); ++i) {
        const MeterRelease::ReleaseResult step =
            MeterRelease::releaseStep(m_meters[i]->dBPosition(), meterLevels[i], releaseStep);
        if (step.write)
            moved |= m_meters[i]->takeLevel(step.value);
    }
    if (moved) {
        if (!releaseTimer->isActive())
            releaseTimer->start(releaseInterval);
        return;
    }
    // Every meter stands on its target, so every further tick would change
    // nothing until a target changes: a packet, a rebuilt link or the
    // silence rule. Rest instead of waking the process a hundred times a
    // second; those three wake the tick again.
    releaseTimer->stop();
}

void ReleaseClock::wake()
{
    // While the tick runs it takes the new targets on its next beat. While
    // it rests it beats at once, so the meters answer without waiting, and
    // goes on from there if anything moved. Before start() nothing moves.
    if (m_started && !releaseTimer->isActive())
        tick();
}

bool ReleaseClock::isTicking() const
{
    return releaseTimer && releaseTimer->isActive();
}
