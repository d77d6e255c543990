#pragma once

#include <QtGlobal>
#include <optional>

class QDate;
class QLocale;
class QString;
class QTime;
class QTransform;

// The studio clocks' arithmetic, free of any widget so it can be table-tested.
// Angles are in degrees clockwise from 12 o'clock; arc angles and spans are in
// sixteenths of a degree, positive counter-clockwise, as QPainter takes them.
namespace ClockMath {

constexpr int kSecondsPerHour = 3600;
constexpr int kSecondsPerDay = 86400;
constexpr int kArcWindow = 15;            // seconds of count-down arc before the end time
constexpr int kSixteenthsPerSecond = 96;  // 6 degrees per second on the dial
constexpr int kTwelveOClock = 1440;       // 90 degrees: arcs start at 12 o'clock

// Maps dial units (origin at the centre, rim at radius 100) to the pixels of
// a widget of the given size: the origin at the truncated centre, one unit
// min(width, height) / 200 pixels.
QTransform dialTransform(int width, int height);

double hourPointerAngle(int hour, int minute);
double minutePointerAngle(int minute, int second);

// Whether second dot i shows at the given second: the dots fill up to and
// including the second, or in count-down mode empty from 0 towards 59.
bool secondDotShown(int dot, int second, bool countDown);

// Seconds still to go until the end time (R). An end hour of 0..23 is a daily
// end time, 24 or more an hourly one (only minute and second count). A value
// just past midnight, or past the full hour, wraps into the 15-second window.
// Computed in 64 bits: the clock takes any int its owner writes.
qint64 endTimeRemaining(int endHour, int endMinute, int endSecond,
                        int hour, int minute, int second);

// A daily marker disappears once its end time has passed; an hourly one
// stays. The arc span is R x 6 degrees for 1 <= R <= 15, 0 for no arc.
bool endTimeMarkerShown(int endHour, qint64 remaining);
int endTimeArcSpan(qint64 remaining);

// Span of the count-down ring, 6 degrees per unit, truncated toward zero.
// No ring for 0 or for a value that is not finite; huge values saturate.
std::optional<int> countDownSpan(float countDownTime);

// The clocks' shared tick lands kBoundaryAimMs after every second boundary,
// so the second flips on the second. nextBoundaryAim gives the next such
// moment strictly after the given wall-clock time, in ms since the epoch.
// Where the system cannot report a step of its time, the ticker also checks
// at most kCheckIntervalMs apart, so a jump shows within that: nextCheckDelay
// is the wait until the next check, ten checks a second from just past a
// boundary.
constexpr int kCheckIntervalMs = 100;
constexpr int kBoundaryAimMs = 1;
qint64 nextBoundaryAim(qint64 msSinceEpoch);
int nextCheckDelay(qint64 msSinceEpoch);

// The digital clock's two lines: "hh:mm:ss" and "ddd d MMM yyyy", the names
// taken from the given locale.
QString timeText(const QTime &time);
QString dateText(const QDate &date, const QLocale &locale);

} // namespace ClockMath
