#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QObject;

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
    // Addresses known before the dialog opens, listed first. The system's
    // list leaves it empty: the host name is looked up while the dialog is
    // open (see AddressLookup).
    QStringList addresses;
    // The IPv4 address of every interface that is up and can broadcast,
    // then those of the loopback interface, which reach no other room.
    QStringList interfaceAddresses;

    // A snapshot of this machine: its serial ports and its interfaces'
    // addresses. Asks no name server, so it never waits.
    static CommSources fromSystem();
};

// Finds more of this PC's addresses without blocking: calls answer once,
// later, on the calling thread, with the address texts. Returns the look-up
// itself: deleting it abandons the look-up, and answer is not called after
// that. May return null when nothing was started.
using AddressAnswer = std::function<void(const QStringList &addresses)>;
using AddressLookup = std::function<QObject *(const AddressAnswer &answer)>;

// The addresses this PC's host name resolves to (a name server that does
// not answer may take many seconds; the dialog shows meanwhile).
QObject *lookUpHostNameAddresses(const AddressAnswer &answer);
