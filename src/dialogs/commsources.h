#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One serial port as the communication dialog lists it.
struct SerialPortEntry
{
    QString portName;     // system name, e.g. "ttyUSB0" or "COM3"
    QString description;  // what the driver calls it; often empty
};

// What the operator can choose from when setting up the link: the serial
// ports and the machine's own network addresses (text form), in the order
// the system reports them. Tests hand the dialog their own lists.
struct CommSources
{
    QList<SerialPortEntry> ports;
    // The addresses the host name resolves to. On a stock Debian PC that is
    // only 127.0.1.1, from which a broadcast reaches no other room.
    QStringList addresses;
    // The IPv4 address of every interface that is up and can broadcast.
    QStringList interfaceAddresses;

    // A snapshot of this machine: its serial ports, the addresses its host
    // name resolves to and its broadcast-capable interfaces. The host look-up
    // is synchronous.
    static CommSources fromSystem();
};
