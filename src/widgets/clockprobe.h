#pragma once

#include <QLoggingCategory>

class QObject;

// Measures how closely the clocks follow the system's second. Off by default;
// QT_LOGGING_RULES="lumora.clock.probe.debug=true" logs one line per check
// and one per repaint that shows a new second, each with the event-loop pass
// ("frame") it happened in, for bench/clock-latency to summarise.
Q_DECLARE_LOGGING_CATEGORY(lcClockProbe)

namespace ClockProbe {

// A clock read the time (one line per check).
void checked(const char *clock);

// A clock painted; logged only for the first paint that shows `second`, with
// how many ms after that second's start of the wall clock it happened.
void painted(const QObject *clock, const char *name, int second);

} // namespace ClockProbe
