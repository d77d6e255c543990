#pragma once

#include <QString>

struct CommSettings;

// The link in a few words, for a program's start line: the mode and where
// the meter data is read, e.g. "UDP client on port 5000 from 10.10.1.10" or
// "serial port ttyUSB0, UDP server from 10.10.1.10 to 255.255.255.255 port 5000".
QString linkSummary(const CommSettings &settings);
