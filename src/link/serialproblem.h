#pragma once

#include <QSerialPort>
#include <QString>

// Why a serial port could not be opened, in words the operator can act on,
// with the system's own error text. The toolkit reports a port that another
// program holds and a port the user may not open as the same error, so the
// device file itself is asked which one it is. Empty for an empty name: no
// port has been chosen yet, which the link mark says in its own words.
QString describeSerialFailure(const QString &portName, QSerialPort::SerialPortError error,
                              const QString &systemText);

// The device file a port name stands for: "ttyUSB0" is /dev/ttyUSB0, a
// path is itself.
QString serialDevicePath(const QString &portName);

// A port name as log lines and tooltips show it: at most kShownPortNameLength
// characters and a mark where it was cut, control characters (and the
// writing-direction controls and line separators) as \xHH. A stored or
// typed name can be of any length, and each retry would write all of it
// again.
constexpr int kShownPortNameLength = 200;
QString shownPortName(const QString &portName);
