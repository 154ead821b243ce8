// The daemon's own validation of the configuration, run once at start-up after the
// own node is known. The other programs keep their leniency.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace kelm {

// The largest flap window whose nanoseconds fit a signed 64-bit number.
inline constexpr int64_t max_flap_window_sec = 9223372036;

// The refusal line ("[main] ...") for a configuration the daemon must not run
// with, or nothing. `self_matches` is how many `nodes` entries named this node.
std::optional<std::string> check_daemon_config(const nlohmann::json& doc, int self_matches);

// The refusal line for a flap guard setting of the `ha` object the daemon cannot
// use, or nothing: `flap_threshold` a JSON integer from 0 (the guard clamps 0 and
// values above 32), `flap_window_sec` a JSON integer from 0 to 9223372036, so the
// window in nanoseconds fits 64 bits. Absent settings take their defaults.
std::optional<std::string> check_ha_flap_settings(const nlohmann::json& doc);

}  // namespace kelm
