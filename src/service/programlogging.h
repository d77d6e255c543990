#pragma once

#include <QLoggingCategory>

// The program's own lines, as against those of one of its parts: the start,
// the instance lock, a stop signal. The display and the relay both quit
// through SignalQuit, so a stop reads the same in the logs of both.
Q_DECLARE_LOGGING_CATEGORY(lcApp)

// Lines written to a file or a pipe carry no time of their own: unless
// QT_MESSAGE_PATTERN says otherwise, each line starts with the date and time
// to the millisecond. For every program that logs (the display, the relay).
void setTimedMessagePattern();
