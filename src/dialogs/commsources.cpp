#include "commsources.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSerialPortInfo>

namespace {

// One look-up of the host name; abandoned when deleted.
class HostNameLookup : public QObject
{
public:
    explicit HostNameLookup(const AddressAnswer &answer)
    {
        m_id = QHostInfo::lookupHost(QHostInfo::localHostName(), this, [this, answer](const QHostInfo &info) {
            m_id = -1;
            QStringList texts;
            const auto addresses = info.addresses();
            for (const QHostAddress &address : addresses)
                texts.append(address.toString());
            answer(texts);
        });
    }
    ~HostNameLookup() override
    {
        if (m_id >= 0)
            QHostInfo::abortHostLookup(m_id);
    }

private:
    int m_id = -1;
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
