#include "clockprobe.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QHash>

#include <chrono>

Q_LOGGING_CATEGORY(lcClockProbe, "lumora.clock.probe", QtInfoMsg)

namespace ClockProbe {

namespace {

// Counts the event loop's passes: two paints with the same count reached the
// screen together.
quint64 frame()
{
    static quint64 passes = 0;
    static bool hooked = false;
    if (!hooked) {
        if (auto *dispatcher = QAbstractEventDispatcher::instance()) {
            QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [] { ++passes; });
            hooked = true;
        }
    }
    return passes;
}

qint64 wallMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

void checked(const char *clock)
{
    if (!lcClockProbe().isDebugEnabled())
        return;
    qCDebug(lcClockProbe, "check %s frame=%llu", clock, frame());
}

void painted(const QObject *clock, const char *name, int second)
{
    if (!lcClockProbe().isDebugEnabled())
        return;
    static QHash<const QObject *, int> shown;
    auto it = shown.find(clock);
    if (it != shown.end() && it.value() == second)
        return;
    shown.insert(clock, second);
    // Lateness against the start of the shown second, within the minute, so
    // a paint that comes after the next boundary still counts from its own.
    constexpr qint64 kMinuteUs = 60 * 1000 * 1000;
    const qint64 intoMinute = ((wallMicroseconds() % kMinuteUs) + kMinuteUs) % kMinuteUs;
    const qint64 late = ((intoMinute - qint64(second) * 1000 * 1000) % kMinuteUs + kMinuteUs) % kMinuteUs;
    qCDebug(lcClockProbe, "paint %s second=%d late_us=%lld frame=%llu", name, second,
            static_cast<long long>(late), frame());
}

} // namespace ClockProbe
