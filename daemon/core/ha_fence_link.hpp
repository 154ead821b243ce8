// What the HA disk voter and the service manager of one daemon tell each other
// about the peer's access to the HA disks. In a pair the disks, not the iSCSI
// fencing, keep the peer off the storage; the service manager must not reclaim
// the peer's services before the voter has really fenced it, and the voter must
// not let the peer back before the peer has stopped what it no longer owns.
//
//   peer_fenced      written by the voter: set after a fence pass that shut the
//                    peer out of every HA disk (a quorum lets the node lead, not
//                    reclaim), cleared when it releases them, when a fence pass
//                    leaves any disk unfenced, when the reservation is lost and
//                    when its node stops leading. Read by the service manager's
//                    fence-on.
//   release_allowed  written by the service manager: set once the peer's Runner
//                    has stopped every service not assigned to the peer (its
//                    fence-off). Cleared by the voter whenever it fences the peer
//                    and when its node stops leading, so each fencing needs a new
//                    sweep before the peer gets its disks back.
//
// Both are lone atomics: each writer states a fact, nothing is read-modify-write
// across the two. One link per daemon (`daemon_ha_link`); tests make their own.
#pragma once

#include <atomic>

namespace kelm {

struct ha_fence_link {
    std::atomic<bool> peer_fenced{false};
    std::atomic<bool> release_allowed{false};
};

// The daemon's one link, shared by its disk voter and its service manager.
ha_fence_link& daemon_ha_link();

}  // namespace kelm
