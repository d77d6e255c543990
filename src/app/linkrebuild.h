#pragma once

#include "commsettings.h"
#include "linkstate.h"

// Reopening the port or the socket glitches the meters on air, so a link is
// rebuilt for new settings only when they describe another link, or when its
// socket could not be set up: a port another program held may be free now,
// an address may have come. True when the link running as `running`, in
// `state`, is to be rebuilt for `next`.
bool linkNeedsRebuild(const CommSettings &running, const CommSettings &next, LinkState state);
