// nodefence's node lookup, fencing and session wait, run after the configuration
// is loaded. Single-threaded program.
#pragma once

#include "nodeactions/action_main.hpp"
#include "nodeactions/iscsi_sessions.hpp"
#include "nodeactions/pool_ops.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace nodeactions::nodefence {

inline constexpr const char* usage = "Usage: {} (fence-on|fence-off) [/path/to/config.json] node_id";
inline constexpr const char* wrong_action =
    "wrong action (should be one of 'fence-on' or 'fence-off'; start/stop/recovery are handled by poolrun)";

// The node being fenced, as its configuration entry gives it (texts that are not
// JSON strings read as empty).
struct fenced_node {
    int32_t id = 0;
    std::string nodename;
    std::string assigned_target;
    std::string internal_addr;
    size_t device_count = 0;
    bool enabled = true;
};

// The first entry of "nodes" whose integer "id" is a 32-bit value whose decimal
// text is exactly `arg` (so "07" never finds 7, and an id beyond 32 bits finds
// nothing rather than the value it would wrap to).
std::optional<fenced_node> find_node(const nlohmann::json& doc, const std::string& arg);

// The initiator nickname of a node: "node_" and its id.
std::string nickname(const fenced_node& node);

struct wait_result {
    std::optional<iscsi_session> session;  // found at the last look, or none
};

// Up to five looks at this host's initiator sessions for the node's portal,
// sleeping between them; none when the list could not be read or parsed.
std::optional<wait_result> session_wait(const fenced_node& node, const std::string& context, const sleeper& sleep);

// The fencing action (fence-on when `on`); returns the exit status.
int do_fence(const fenced_node& node, bool on, const sleeper& sleep = real_sleep);

// Where the runs for node `id` take their turn: one lock file per fenced node.
std::string fence_lock_path(int32_t id);

// Node lookup, then the fencing action under the node's lock; returns the exit
// status.
int run(const invocation& inv);

}  // namespace nodeactions::nodefence
