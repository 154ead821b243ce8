// Node fencing and node exit: the leader asks another node's Runner to cut a node
// off the shared storage (fence-on) or to let it back (fence-off), and tells
// daemons to exit. Both block the calling node object's thread.
#pragma once

#include "daemon/services/node.hpp"

#include <cstdint>

namespace svc {

struct svc_app;

inline constexpr int fence_attempts = 5;
inline constexpr auto fence_retry_pause = std::chrono::seconds(2);
// HA mode: how long a fence-on waits for the disk voter to have fenced the peer
// (its fence pass runs every second once the peer is reported dead), and how
// often it looks.
inline constexpr auto ha_fence_wait = std::chrono::seconds(10);
inline constexpr auto ha_fence_poll = std::chrono::milliseconds(100);

// Through X's Runner, fences (on) or unfences (off) `target`. True when done or
// skipped (a node disabled in the configuration, X's node offline). In HA mode
// the disks fence: "off" is skipped, "on" is done only when the disk voter has
// fenced the peer on a quorum of disks within `ha_fence_wait`. A fence or
// unfence is sent only while this node leads X's term with a fresh lease
// (false, with a warning, once it does not).
bool fence_node(svc_app& app, node& x, uint32_t target, bool on);
// Whether `target` is in fact cut off when it is fenced: in a pair by the disk
// voter; otherwise when fencing is not switched off in the configuration for
// it and some other configured node may fence it.
bool fencing_applies(svc_app& app, uint32_t target);
// "kelm-exit" to a node, or 66 for every node; an error reply is only logged.
// Another single node's is sent only while this node leads `term` with a fresh
// lease.
void send_exit(svc_app& app, uint32_t node_id, uint64_t term);

}  // namespace svc
