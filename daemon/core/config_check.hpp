// The daemon's own validation of the configuration, run once at start-up after the
// own node is known. The other programs keep their leniency.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace kelm {

// The refusal line ("[main] ...") for a configuration the daemon must not run
// with, or nothing. `self_matches` is how many `nodes` entries named this node.
std::optional<std::string> check_daemon_config(const nlohmann::json& doc, int self_matches);

}  // namespace kelm
