#include "clockmath.h"

#include "meterscale.h"

#include <QDate>
#include <QLocale>
#include <QString>
#include <QTime>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <limits>

namespace ClockMath {

namespace {
constexpr double kDialUnits = 200.0;  // the rim's diameter in dial units
}

QTransform dialTransform(int width, int height)
{
    QTransform t;
    t.translate(width / 2, height / 2);
    const double unit = std::min(width, height) / kDialUnits;
    t.scale(unit, unit);
    return t;
}

double hourPointerAngle(int hour, int minute)
{
    return (hour + minute / 60.0) * 30.0;
}

double minutePointerAngle(int minute, int second)
{
    return (minute + second / 60.0) * 6.0;
}

bool secondDotShown(int dot, int second, bool countDown)
{
    return countDown ? dot >= second : dot <= second;
}

qint64 endTimeRemaining(int endHour, int endMinute, int endSecond,
                        int hour, int minute, int second)
{
    const qint64 end = qint64(endMinute) * 60 + endSecond;
    const qint64 now = qint64(minute) * 60 + second;
    if (endHour >= 24) {
        qint64 r = end - now;
        if (r <= kArcWindow - kSecondsPerHour)
            r += kSecondsPerHour;
        return r;
    }
    qint64 r = (qint64(endHour) * kSecondsPerHour + end) - (qint64(hour) * kSecondsPerHour + now);
    if (r <= kArcWindow - kSecondsPerDay)
        r += kSecondsPerDay;
    return r;
}

bool endTimeMarkerShown(int endHour, qint64 remaining)
{
    return endHour >= 24 || remaining >= 0;
}

int endTimeArcSpan(qint64 remaining)
{
    if (remaining < 1 || remaining > kArcWindow)
        return 0;
    return int(remaining) * kSixteenthsPerSecond;
}

std::optional<int> countDownSpan(float countDownTime)
{
    // A NaN is "not 0" but has no length to draw; converting it (or an
    // infinity, or a span beyond int) to int would be undefined.
    if (countDownTime == 0.0f || !std::isfinite(countDownTime))
        return std::nullopt;
    return MeterScale::truncToInt(double(countDownTime) * 360.0 * 16.0 / 60.0);
}

namespace {
// Milliseconds from msSinceEpoch to the next aim, 1 to 1000.
int msToAim(qint64 msSinceEpoch)
{
    // Floor modulo: times before the epoch fall into a second as well.
    const int intoSecond = int(((msSinceEpoch % 1000) + 1000) % 1000);
    const int toAim = (kBoundaryAimMs - intoSecond + 1000) % 1000;
    return toAim == 0 ? 1000 : toAim;  // standing on the aim: the next one is a second away
}
} // namespace

qint64 nextBoundaryAim(qint64 msSinceEpoch)
{
    const int toAim = msToAim(msSinceEpoch);
    // A clock at the end of time stays there rather than wrapping round.
    return msSinceEpoch > std::numeric_limits<qint64>::max() - toAim ? std::numeric_limits<qint64>::max()
                                                                      : msSinceEpoch + toAim;
}

int nextCheckDelay(qint64 msSinceEpoch)
{
    return std::min(msToAim(msSinceEpoch), kCheckIntervalMs);
}

QString timeText(const QTime &time)
{
    return time.toString(QStringLiteral("hh:mm:ss"));
}

QString dateText(const QDate &date, const QLocale &locale)
{
    return locale.toString(date, QStringLiteral("ddd d MMM yyyy"));
}

} // namespace ClockMath
