#pragma once

#include <QtGlobal>

#include <optional>

class QString;

// Port settings are kept as the text the operator typed.

// The port a text names, or nothing when the text is not a whole decimal
// number from 1 to 65535. The number is read as ever (surrounding blanks and
// a leading '+' are allowed, so stored settings that worked keep working);
// a number out of range or a text that is no number at all is refused
// instead of being cut to 16 bits or read as port 0. Port 0 itself is
// refused too: a client bound to it listens on a port the system picks at
// random, which no server sends to.
std::optional<quint16> parsePort(const QString &text);

constexpr quint16 kLowestPort = 1;
constexpr quint16 kHighestPort = 65535;

// The number a port text reads as, in full, for the window title and the
// debug line: an unsigned decimal number, and 0 for text that is none.
qulonglong portTextValue(const QString &text);
