// nodefence's node lookup and fencing, run after the configuration is loaded.
#pragma once

#include "nodeactions/action_main.hpp"

namespace nodeactions::nodefence {

inline constexpr const char* usage = "Usage: {} (fence-on|fence-off) [/path/to/config.json] node_id";
inline constexpr const char* wrong_action =
    "wrong action (should be one of 'fence-on' or 'fence-off'; start/stop/recovery are handled by poolrun)";

// Node lookup, then the fencing action; returns the exit status.
int run(const invocation& inv);

}  // namespace nodeactions::nodefence
