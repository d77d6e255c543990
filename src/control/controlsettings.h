#pragma once

#include <QString>

// The control channel's settings keys, as literals, so that a message can
// hold one in its text; the store's table of keys is made of these.
#define LUMORA_KEY_CONTROL_PORT "control_port"
#define LUMORA_KEY_CONTROL_BIND "control_bind"
#define LUMORA_KEY_CONTROL_ALLOW "control_allow"
#define LUMORA_KEY_CONTROL_TOKEN "control_token"
#define LUMORA_KEY_MQTT_BROKER "mqtt_broker"
#define LUMORA_KEY_MQTT_USER "mqtt_user"
#define LUMORA_KEY_MQTT_PASSWORD "mqtt_password"
#define LUMORA_KEY_MQTT_CA "mqtt_ca"
#define LUMORA_KEY_MQTT_TOPIC "mqtt_topic"
#define LUMORA_KEY_MQTT_ID "mqtt_id"
#define LUMORA_KEY_MQTT_GROUPS "mqtt_groups"

// Where the studio's control channel listens and who may change things.
// The keys are written only when set, so a file without them keeps the
// defaults of the build that reads it.
struct ControlSettings
{
    static constexpr int kDefaultPort = 7373;

    int port = kDefaultPort;                          // control_port; 0 turns the channel off
    QString bind = QStringLiteral("127.0.0.1");       // control_bind
    QString allow = QStringLiteral("127.0.0.0/8");    // control_allow: IPv4 addresses and CIDR ranges
    QString token;                                    // control_token: empty means none

    // The building's MQTT broker; an empty broker turns MQTT off.
    QString mqttBroker;                               // mqtt_broker: mqtt://host:port or mqtts://host:port
    QString mqttUser;                                 // mqtt_user
    QString mqttPassword;                             // mqtt_password: never logged nor shown
    QString mqttCa;                                   // mqtt_ca: the CA file for mqtts
    QString mqttTopic = QStringLiteral("lumora");     // mqtt_topic: the topics' prefix
    QString mqttId;                                   // mqtt_id: this display in topics; empty: from the host name
    QString mqttGroups;                               // mqtt_groups: comma-separated group names

    bool sameMqtt(const ControlSettings &o) const
    {
        return mqttBroker == o.mqttBroker && mqttUser == o.mqttUser && mqttPassword == o.mqttPassword
            && mqttCa == o.mqttCa && mqttTopic == o.mqttTopic && mqttId == o.mqttId && mqttGroups == o.mqttGroups;
    }

    friend bool operator==(const ControlSettings &a, const ControlSettings &b)
    {
        return a.port == b.port && a.bind == b.bind && a.allow == b.allow && a.token == b.token && a.sameMqtt(b);
    }
    friend bool operator!=(const ControlSettings &a, const ControlSettings &b) { return !(a == b); }
};
