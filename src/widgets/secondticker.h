#pragma once

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <functional>

class QSocketNotifier;

// One source of ticks for both studio clocks, aligned to the system clock's
// second, so both read the time in the same pass of the event loop just
// after the second flips and their repaints reach the screen in the same
// frame.
//
// On Linux a timerfd on the real-time clock is armed for the absolute time
// 1 ms past the next second: one wake a second, none between. The kernel
// cancels it when the system time is set, and the ticker then re-arms and
// ticks at once, so a step of the time shows at once.
//
// Without a timerfd, or with a wall clock of its own (the tests' fake time),
// a precise single-shot timer is aimed just past the next second boundary,
// with checks no more than 100 ms apart in between, and re-aimed from the
// wall clock on every tick; a step of the time then shows within 100 ms.
class SecondTicker : public QObject
{
    Q_OBJECT

public:
    // The wall clock in ms since the epoch; the system clock unless replaced.
    using WallClock = std::function<qint64()>;

    explicit SecondTicker(QObject *parent = nullptr);
    ~SecondTicker() override;

    // An empty clock restores the system clock. Re-aims the next tick.
    void setWallClock(WallClock clock);

    // The delay the next tick or check was aimed with, in ms.
    int nextDelay() const { return m_nextDelay; }

    // The local time of the tick being delivered, read once for every clock
    // that asks during it: one look at the time zone, one instant on both
    // faces. Outside a tick, the time now. From the wall clock if one is set.
    QDateTime now();

    // Hands a clock's checks to ticker: its own timer (ownMs apart) rests
    // while a ticker drives checkTime(), and runs again when the ticker is
    // taken away (null) or destroyed. `current` is the clock's own record.
    template <typename Clock>
    static void attach(Clock *clock, SecondTicker *&current, SecondTicker *ticker, QTimer *ownTimer, int ownMs)
    {
        if (ticker == current)
            return;
        if (current)
            QObject::disconnect(current, nullptr, clock, nullptr);
        current = ticker;
        if (!current) {
            ownTimer->start(ownMs);
            return;
        }
        ownTimer->stop();
        QObject::connect(current, &SecondTicker::tick, clock, &Clock::checkTime);
        QObject::connect(current, &QObject::destroyed, clock, [&current, ownTimer, ownMs] {
            current = nullptr;
            ownTimer->start(ownMs);
        });
    }

signals:
    void tick();

private:
    void fire();
    void deliver();
    void aim();
    bool armSystemTimer();
    void systemTimerReadable();
    void dropSystemTimer();

    WallClock m_wallClock;
    QTimer *m_timer = nullptr;
    int m_nextDelay = 0;
    bool m_delivering = false;
    QDateTime m_tickTime;  // read by the first clock that asked this tick
    qint64 m_zoneMinute = -1;  // the minute the time zone was last read in
    int m_timerFd = -1;  // the real-time timerfd; -1 where there is none
    QSocketNotifier *m_notifier = nullptr;
};
