#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// What the MQTT settings name: the broker's address, this display's id and
// groups, and the topics made of them. Pure: no socket, no clock.
namespace MqttTopics {

struct Broker
{
    bool ok = false;
    bool tls = false;   // mqtts://
    QString host;       // a name or an address, without brackets
    int port = 0;       // 1883, or 8883 for mqtts, when none is given
    QString error;      // what is wrong, when !ok
};
// "mqtt://host:port" or "mqtts://host:port"; an IPv6 address in brackets.
Broker parseBroker(const QString &url);

// This display's name in topics: `setting` when set, else the host name
// (with "-INSTANCE" for a named instance), lower case, anything but a-z,
// 0-9 and '-' turned into '-'. Never empty.
QString displayId(const QString &setting, const QString &hostName, const QString &instance);

// The group names of mqtt_groups; a name that cannot stand in a topic
// (empty, or with '/', '+', '#') goes to `refused`.
QStringList groups(const QString &setting, QStringList *refused = nullptr);

struct Topics
{
    QByteArray availability, state, cmd, reply, all;
    QList<QByteArray> groups;  // P/group/G/cmd
};
Topics topics(const QString &prefix, const QString &id, const QStringList &groups);

} // namespace MqttTopics
