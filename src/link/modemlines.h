#pragma once

#include <functional>

// Reads the modem-status inputs of an open serial port: TallySource::Line
// bits in *lines, and 0; or the errno of the failed read (a pty and some
// adapters have no such lines: ENOTTY or EINVAL), *lines untouched.
int readModemLines(int fd, int *lines);

// The same signature, for a reader put in its place (the tests' lines).
using ModemLineRead = std::function<int(int fd, int *lines)>;
