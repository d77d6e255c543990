#include "linkcompose.h"

LinkReport composeLinkState(const LinkInputs &in)
{
    if (in.setUpProblem.state != LinkState::Live)
        return in.setUpProblem;
    if (in.serialInUse && !in.serialOpen)
        return {LinkState::PortClosed, in.serialPort, in.serialProblem};
    if (!in.hostProblem.isEmpty())
        return {LinkState::HostUnresolved, in.clientHost, in.hostProblem};
    // Kept through a silence: the next packet would fail the same way.
    if (!in.sendProblem.isEmpty())
        return {LinkState::SendFailed, in.sendWhere, in.sendProblem};
    // Live or silent, it is about where the packets come from.
    LinkReport report;
    report.where = in.readsDatagrams ? in.clientHost : in.serialPort;
    if (in.silent)
        report.state = LinkState::Silent;
    else if (in.loopbackServer)
        report.state = LinkState::LoopbackOnly;
    if (in.readsDatagrams)
        report.reason = in.clientNotes;
    return report;
}
