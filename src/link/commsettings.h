#pragma once

#include <QString>

// The link's settings keys, as literals, so that a message can hold one in
// its text; the store's table of keys is made of these.
#define LUMORA_KEY_IS_SERVER "is_server"
#define LUMORA_KEY_USE_UDP "use_udp"
#define LUMORA_KEY_SERIALPORT "serialport"
#define LUMORA_KEY_SERVER_HOST "server_host"
#define LUMORA_KEY_SERVER_PORT "server_port"
#define LUMORA_KEY_CLIENT_HOST "client_host"
#define LUMORA_KEY_CLIENT_PORT "client_port"
#define LUMORA_KEY_SERVER_DESTINATION "server_destination"
#define LUMORA_KEY_SERVER_TTL "server_ttl"
#define LUMORA_KEY_CLIENT_GROUP "client_group"
#define LUMORA_KEY_TALLY_SOURCE "tally_source"

// How meter packets reach this display. Each field is named after the
// settings key it is stored under. Ports are kept as the text the operator
// typed and converted where they are used.
struct CommSettings
{
    bool is_server = false;   // with use_udp: act as UDP server
    bool use_udp = false;     // UDP in use (server or client)
    QString serialport;       // system name of the serial port
    QString server_host;      // local address the server socket binds to
    QString server_port;      // server port, also the destination port
    QString client_host;      // address or host name of the server a client accepts
    QString client_port;      // port a client listens on
    // Set by the installer, not by the dialog; empty means as before.
    QString server_destination;  // where the server sends: empty = broadcast
    QString server_ttl;          // multicast hops, 1 to 255; empty = 1
    QString client_group;        // multicast group a client joins
    // What lights the ON AIR lamp (TallySource); empty: no lamp.
    QString tally_source;

    friend bool operator==(const CommSettings &a, const CommSettings &b)
    {
        return a.is_server == b.is_server && a.use_udp == b.use_udp
            && a.serialport == b.serialport && a.server_host == b.server_host
            && a.server_port == b.server_port && a.client_host == b.client_host
            && a.client_port == b.client_port && a.server_destination == b.server_destination
            && a.server_ttl == b.server_ttl && a.client_group == b.client_group
            && a.tally_source == b.tally_source;
    }
    friend bool operator!=(const CommSettings &a, const CommSettings &b) { return !(a == b); }
};

// True when both describe the same running link: the same mode and the same
// values of the fields that mode uses. A client's serial port, say, or a
// serial-only link's UDP fields make no difference to the wire.
inline bool sameLink(const CommSettings &a, const CommSettings &b)
{
    const auto serialInUse = [](const CommSettings &s) { return !s.use_udp || s.is_server; };
    if (a.use_udp != b.use_udp || (a.use_udp && a.is_server != b.is_server))
        return false;
    if (serialInUse(a) && a.serialport != b.serialport)
        return false;
    if (!a.use_udp)
        return true;
    if (a.is_server)
        return a.server_host == b.server_host && a.server_port == b.server_port
            && a.server_destination == b.server_destination && a.server_ttl == b.server_ttl;
    return a.client_host == b.client_host && a.client_port == b.client_port
        && a.client_group == b.client_group;
}
