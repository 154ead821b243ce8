// The daemon's HA fencing link (ha_fence_link.hpp).
#include "daemon/core/ha_fence_link.hpp"

namespace kelm {

ha_fence_link& daemon_ha_link()
{
    // Never destroyed: detached service-manager threads may read it until _exit.
    static ha_fence_link* link = new ha_fence_link;
    return *link;
}

}  // namespace kelm
