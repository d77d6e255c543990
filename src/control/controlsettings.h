#pragma once

#include <QString>

// The control channel's settings keys, as literals, so that a message can
// hold one in its text; the store's table of keys is made of these.
#define LUMORA_KEY_CONTROL_PORT "control_port"
#define LUMORA_KEY_CONTROL_BIND "control_bind"
#define LUMORA_KEY_CONTROL_ALLOW "control_allow"
#define LUMORA_KEY_CONTROL_TOKEN "control_token"

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

    friend bool operator==(const ControlSettings &a, const ControlSettings &b)
    {
        return a.port == b.port && a.bind == b.bind && a.allow == b.allow && a.token == b.token;
    }
    friend bool operator!=(const ControlSettings &a, const ControlSettings &b) { return !(a == b); }
};
