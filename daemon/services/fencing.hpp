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

// Through X's Runner, fences (on) or unfences (off) `target`. True when done or
// skipped (HA mode, a node disabled in the configuration, X's node offline).
bool fence_node(svc_app& app, node& x, uint32_t target, bool on);
// "kelm-exit" to a node, or 66 for every node; an error reply is only logged.
void send_exit(svc_app& app, uint32_t node_id);

}  // namespace svc
