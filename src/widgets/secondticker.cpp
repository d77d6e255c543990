#include "secondticker.h"

#include "clockmath.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/timerfd.h>
#include <unistd.h>
#endif
#ifdef Q_OS_UNIX
#include <ctime>
#include <limits>
#endif

namespace {
Q_LOGGING_CATEGORY(lcClock, "lumora.clock", QtInfoMsg)

// The local time at msecs since the epoch. Qt asks the C library to read
// the time zone again first, and the C library then looks at
// /etc/localtime on disk each time; here that is left to tzset(), which
// the ticker calls once a minute. The rules already read still give
// summer time its exact second.
QDateTime localTime(qint64 msecs)
{
#ifdef Q_OS_UNIX
    // Floored, so a time before 1970 keeps its milliseconds positive.
    const int remainder = int(msecs % 1000);
    const qint64 seconds = msecs / 1000 - (remainder < 0 ? 1 : 0);
    const int milliseconds = remainder < 0 ? remainder + 1000 : remainder;
    const time_t t = time_t(seconds);
    tm local{};
    // The C library counts a year 0 and the calendar of QDate does not:
    // years before 1 are left to Qt.
    if (qint64(t) == seconds && ::localtime_r(&t, &local) && local.tm_year >= 1 - 1900
        && local.tm_year <= std::numeric_limits<int>::max() - 1900) {
        const QDate date(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
        // A leap second's :60 is held at :59.
        const QTime time(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59), milliseconds);
        if (date.isValid() && time.isValid())
            return QDateTime(date, time, Qt::OffsetFromUTC, int(local.tm_gmtoff));
    }
#endif
    return QDateTime::fromMSecsSinceEpoch(msecs);
}
}

SecondTicker::SecondTicker(QObject *parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
{
    // A coarse timer may be 5 % late, which is the whole error budget here;
    // a precise one keeps to the millisecond.
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &SecondTicker::fire);
#ifdef Q_OS_LINUX
    m_timerFd = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    const int createError = errno;
    if (m_timerFd >= 0) {
        m_notifier = new QSocketNotifier(m_timerFd, QSocketNotifier::Read, this);
        m_notifier->setEnabled(false);
        connect(m_notifier, &QSocketNotifier::activated, this, &SecondTicker::systemTimerReadable);
    } else {
        qCWarning(lcClock, "No timerfd (%s): the clocks check the time every %d ms",
                  std::strerror(createError), ClockMath::kCheckIntervalMs);
    }
#endif
    aim();
}

SecondTicker::~SecondTicker()
{
#ifdef Q_OS_LINUX
    // The notifier goes before the descriptor it watches.
    delete m_notifier;
    if (m_timerFd >= 0)
        ::close(m_timerFd);
#endif
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
    deliver();
}

void SecondTicker::deliver()
{
    m_delivering = true;
    m_tickTime = QDateTime();
    emit tick();
    m_delivering = false;
    m_tickTime = QDateTime();
}

QDateTime SecondTicker::now()
{
    if (m_delivering && m_tickTime.isValid())
        return m_tickTime;
    const qint64 msecs = m_wallClock ? m_wallClock() : QDateTime::currentMSecsSinceEpoch();
#ifdef Q_OS_UNIX
    // A new time zone on the system shows within a minute.
    const qint64 minute = msecs / 60000;
    if (minute != m_zoneMinute) {
        m_zoneMinute = minute;
        ::tzset();
    }
#endif
    const QDateTime time = localTime(msecs);
    if (m_delivering)
        m_tickTime = time;
    return time;
}

void SecondTicker::aim()
{
    if (!m_wallClock && m_timerFd >= 0 && armSystemTimer()) {
        m_timer->stop();
        return;
    }
#ifdef Q_OS_LINUX
    if (m_timerFd >= 0) {
        // A wall clock of its own: the system's second does not count.
        m_notifier->setEnabled(false);
        const itimerspec disarmed{};
        ::timerfd_settime(m_timerFd, 0, &disarmed, nullptr);
    }
#endif
    const qint64 now = m_wallClock ? m_wallClock() : QDateTime::currentMSecsSinceEpoch();
    m_nextDelay = ClockMath::nextCheckDelay(now);
    m_timer->start(m_nextDelay);
}

bool SecondTicker::armSystemTimer()
{
#ifdef Q_OS_LINUX
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 aimMs = ClockMath::nextBoundaryAim(now);
    itimerspec nextSecond{};
    nextSecond.it_value.tv_sec = time_t(aimMs / 1000);
    nextSecond.it_value.tv_nsec = long(aimMs % 1000) * 1000000L;
    // Absolute, so it follows the wall clock; cancelled when the time is set.
    const bool armed = aimMs > 0
        && ::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &nextSecond, nullptr) == 0;
    const int armError = errno;
    if (armed) {
        m_nextDelay = int(aimMs - now);
        m_notifier->setEnabled(true);
        return true;
    }
    qCWarning(lcClock, "Cannot arm the clocks' timerfd (%s): they check the time every %d ms",
              aimMs > 0 ? std::strerror(armError) : "time before 1970", ClockMath::kCheckIntervalMs);
    dropSystemTimer();
#endif
    return false;
}

void SecondTicker::systemTimerReadable()
{
#ifdef Q_OS_LINUX
    std::uint64_t expirations = 0;
    ssize_t got;
    do {
        got = ::read(m_timerFd, &expirations, sizeof expirations);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;  // nothing after all; the timer is still armed
    const int readError = got < 0 ? errno : 0;
    if (got < 0 && readError != ECANCELED) {
        // Never spin on a descriptor that keeps failing: the QTimer takes over.
        qCWarning(lcClock, "Reading the clocks' timerfd failed (%s): they check the time every %d ms",
                  std::strerror(readError), ClockMath::kCheckIntervalMs);
        dropSystemTimer();
    }
    // The second came, or the system time was set (ECANCELED): either way
    // the clocks read the time now, and the next tick is aimed from it.
    aim();
    deliver();
#endif
}

void SecondTicker::dropSystemTimer()
{
#ifdef Q_OS_LINUX
    if (m_timerFd < 0)
        return;
    // Possibly called from the notifier's own signal: delete it later, but
    // stop it watching before the descriptor closes.
    m_notifier->setEnabled(false);
    m_notifier->deleteLater();
    m_notifier = nullptr;
    ::close(m_timerFd);
    m_timerFd = -1;
#endif
}
