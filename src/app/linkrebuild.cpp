#include "linkrebuild.h"

bool linkNeedsRebuild(const CommSettings &running, const CommSettings &next, LinkState state)
{
    return !sameLink(running, next) || state == LinkState::BindFailed
        || state == LinkState::SendBindFailed || state == LinkState::AddressNotLocal;
}
