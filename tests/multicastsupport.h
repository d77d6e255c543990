#pragma once

// A multicast group's members and the relay program, for the tests of the
// group, unicast and fan-out links.

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QProcess>
#include <QSet>
#include <QUdpSocket>
#include <QtTest>

#include "commsettings.h"

namespace MulticastTest {

const QString kGroup = QStringLiteral("239.192.0.7");

// A listener of the group on loopback that keeps every datagram, as a
// display would see it on the wire.
class GroupMember
{
public:
    GroupMember(quint16 port, const QString &group = kGroup)
    {
        m_ok = m_socket.bind(QHostAddress(QHostAddress::AnyIPv4), port,
                             QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)
            && m_socket.joinMulticastGroup(QHostAddress(group), QNetworkInterface::interfaceFromName(QStringLiteral("lo")));
        m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
        QObject::connect(&m_socket, &QUdpSocket::readyRead, [this] {
            while (m_socket.hasPendingDatagrams()) {
                const QNetworkDatagram d = m_socket.receiveDatagram();
                m_received << d.data();
                m_destinations.insert(d.destinationAddress().toString());
            }
        });
    }
    bool isListening() const { return m_ok; }
    const QList<QByteArray> &received() const { return m_received; }
    // The addresses the datagrams were sent to: the group, not a broadcast.
    QStringList destinations() const { return QStringList(m_destinations.begin(), m_destinations.end()); }

private:
    QUdpSocket m_socket;
    QList<QByteArray> m_received;
    QSet<QString> m_destinations;
    bool m_ok = false;
};

inline CommSettings groupClient(quint16 port, const QString &group = kGroup)
{
    CommSettings s;
    s.use_udp = true;
    s.client_host = QStringLiteral("127.0.0.1");
    s.client_port = QString::number(port);
    s.client_group = group;
    return s;
}

// The relay program, started with the given options (through a launcher
// such as nohup, if given); ready once its serial port is open and it waits
// for the console. Each log line starts with its level.
class Relay
{
public:
    explicit Relay(const QStringList &arguments, const QStringList &launcher = {})
    {
        const QStringList command = launcher + QStringList{QStringLiteral(LUMORA_RELAY)} + arguments;
        m_process.setProgram(command.first());
        m_process.setArguments(command.mid(1));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("lumora.*.debug=false"));
        env.insert(QStringLiteral("QT_MESSAGE_PATTERN"),
                   QStringLiteral("%{type} %{if-category}%{category}: %{endif}%{message}"));
        m_process.setProcessEnvironment(env);
        m_process.start();
    }
    ~Relay()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    QProcess &process() { return m_process; }
    QString log()
    {
        m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_log;
    }
    bool waitUntilReady()
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000 && m_process.state() != QProcess::NotRunning) {
            if (log().contains(QLatin1String("No meter data from")))
                return true;
            m_process.waitForReadyRead(100);
        }
        return false;
    }

private:
    QProcess m_process;
    QString m_log;
};

} // namespace MulticastTest
