#pragma once

class QObject;

// Switches the read notifiers of a transport (a QSerialPort or a
// QUdpSocket: they own theirs as children) on or off. Off, the event loop no
// longer wakes for the transport's arrivals; its data waits in the kernel
// until the next read. Each read switches them back on.
void setReadNotifiers(QObject *transport, bool enabled);
