// poolrun's lookup and actions, run after the configuration is loaded.
#pragma once

#include "nodeactions/action_main.hpp"

namespace nodeactions::poolrun {

inline constexpr const char* usage = "Usage: {} (start|stop|recovery) [/path/to/config.json] service_name";
inline constexpr const char* wrong_action = "wrong action (should be one of 'start', 'stop' or 'recovery')";

// Host node id, service lookup, then the action; returns the exit status.
int run(const invocation& inv);

}  // namespace nodeactions::poolrun
