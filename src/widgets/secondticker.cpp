#include "secondticker.h"

#include "clockmath.h"

#include <QDateTime>
#include <QTimer>

SecondTicker::SecondTicker(QObject *parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
{
    // A coarse timer may be 5 % late, which is the whole error budget here;
    // a precise one keeps to the millisecond.
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &SecondTicker::fire);
    aim();
}

void SecondTicker::setWallClock(WallClock clock)
{
    m_wallClock = std::move(clock);
    aim();
}

void SecondTicker::fire()
{
    // Aim first, from the time at which this tick really came, so the
    // clocks' work is not added to the next delay.
    aim();
    emit tick();
}

void SecondTicker::aim()
{
    const qint64 now = m_wallClock ? m_wallClock() : QDateTime::currentMSecsSinceEpoch();
    m_nextDelay = ClockMath::nextCheckDelay(now);
    m_timer->start(m_nextDelay);
}
