#include "commsources.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSerialPortInfo>

#include "hostlookup.h"

namespace {

// One look-up of the host name; abandoned when deleted.
class HostNameLookup : public HostLookup
{
public:
    explicit HostNameLookup(const AddressAnswer &answer)
    {
        connect(this, &HostLookup::finished, this, [answer](const QHostInfo &info) {
            QStringList texts;
            const auto addresses = info.addresses();
            for (const QHostAddress &address : addresses)
                texts.append(address.toString());
            answer(texts);
        });
        start(QHostInfo::localHostName());
    }
};

} // namespace

CommSources CommSources::fromSystem()
{
    CommSources sources;
    const auto infos = QSerialPortInfo::availablePorts();
    sources.ports.reserve(infos.size());
    for (const QSerialPortInfo &info : infos)
        sources.ports.append({info.portName(), info.description()});

    QStringList loopback;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &nic : interfaces) {
        const auto flags = nic.flags();
        const bool isLoopback = flags.testFlag(QNetworkInterface::IsLoopBack);
        if (!flags.testFlag(QNetworkInterface::IsUp)
            || (!isLoopback && !flags.testFlag(QNetworkInterface::CanBroadcast)))
            continue;
        for (const QNetworkAddressEntry &entry : nic.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                (isLoopback ? loopback : sources.interfaceAddresses).append(entry.ip().toString());
        }
    }
    sources.interfaceAddresses += loopback;
    return sources;
}

QObject *lookUpHostNameAddresses(const AddressAnswer &answer)
{
    return new HostNameLookup(answer);
}
