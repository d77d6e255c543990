#pragma once

#include <QString>

// How meter packets reach this display. Each field is named after the
// settings key it is stored under. Ports are kept as the text the operator
// typed and converted where they are used.
struct CommSettings
{
    bool is_server = false;   // with use_udp: act as UDP server
    bool use_udp = false;     // UDP in use (server or client)
    QString serialport;       // system name of the serial port
    QString server_host;      // local address the server socket binds to
    QString server_port;      // server port, also the broadcast port
    QString client_host;      // address of the server a client accepts
    QString client_port;      // port a client listens on

    friend bool operator==(const CommSettings &a, const CommSettings &b)
    {
        return a.is_server == b.is_server && a.use_udp == b.use_udp
            && a.serialport == b.serialport && a.server_host == b.server_host
            && a.server_port == b.server_port && a.client_host == b.client_host
            && a.client_port == b.client_port;
    }
    friend bool operator!=(const CommSettings &a, const CommSettings &b) { return !(a == b); }
};
