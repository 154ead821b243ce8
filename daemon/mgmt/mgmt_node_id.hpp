// Node ids in management requests ("nodeId", "id") and in configuration entries.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>

namespace mgmt {

// The node id a JSON value names: an integer as it is, a floating-point number
// truncated toward zero, true as 1 and false as 0. A number that is not finite or
// lies outside 0..4294967295 names no node (nullopt): it is never wrapped onto
// another node's id. Text, null, arrays and objects raise the JSON library's
// type error.
std::optional<uint32_t> node_id_value(const nlohmann::json& v);

// The first entry of the configuration's `nodes` whose "id" has the value `id`.
std::optional<nlohmann::json> find_configured_node(const nlohmann::json& config, uint32_t id);

}  // namespace mgmt
