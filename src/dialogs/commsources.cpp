#include "commsources.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSerialPortInfo>

CommSources CommSources::fromSystem()
{
    CommSources sources;
    const auto infos = QSerialPortInfo::availablePorts();
    sources.ports.reserve(infos.size());
    for (const QSerialPortInfo &info : infos)
        sources.ports.append({info.portName(), info.description()});

    const auto addresses = QHostInfo::fromName(QHostInfo::localHostName()).addresses();
    sources.addresses.reserve(addresses.size());
    for (const QHostAddress &address : addresses)
        sources.addresses.append(address.toString());
    return sources;
}
