#pragma once

#include <QString>

#include "linkstate.h"

// How the link stands, as the mark beside the settings icon tells it: the
// state, what it is about (a port name, a port number text or a host) and
// more about a problem, in the system's words.
struct LinkReport
{
    LinkState state = LinkState::Live;
    QString where;
    QString reason;
};

// What the link's state is made of, gathered from its parts at one moment.
struct LinkInputs
{
    LinkReport setUpProblem;  // what setting the link up found; Live when none
    bool serialInUse = false;  // serial only, or a UDP server
    bool serialOpen = false;
    QString serialPort;        // the port's name as shown
    QString serialProblem;     // why it is not open
    bool readsDatagrams = false;  // a UDP client
    QString clientHost;        // client_host as typed
    QString hostProblem;       // why client_host did not resolve; empty when it did
    QString clientNotes;       // groups not joined, a wrong sender
    QString sendWhere;         // a server's destination and port, as shown
    QString sendProblem;       // why its sends fail; empty while they work
    bool loopbackServer = false;  // a server sending from a loopback address
    bool silent = true;        // no valid packet for the silence timeout
};

// The state those inputs add up to. A set-up problem comes first, then a
// closed port, a name that does not resolve and failing sends; only a link
// with none of those is Live, Silent or LoopbackOnly.
LinkReport composeLinkState(const LinkInputs &inputs);
