#include "resourceinit.h"

#include <QtGlobal>

void lumoraInitResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(done);
}
