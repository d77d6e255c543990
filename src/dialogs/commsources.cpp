#include "commsources.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
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

    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &nic : interfaces) {
        const auto flags = nic.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::CanBroadcast))
            continue;
        for (const QNetworkAddressEntry &entry : nic.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                sources.interfaceAddresses.append(entry.ip().toString());
        }
    }
    return sources;
}
