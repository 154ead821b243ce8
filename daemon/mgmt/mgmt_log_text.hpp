// The texts of the management log lines: who asked (peer_label), what was asked
// (request_summary) and how it ended (reply_summary), each made safe for one log
// line by log_sanitize. Pure functions.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace mgmt {

// The first `max` bytes with control bytes (below 32, and 127) shown as ".",
// followed by "..." when the text was longer.
std::string log_sanitize(std::string_view text, std::size_t max);

// The connection's peer address, or "id:" and the routing id in hex when the
// connection has none, or "unknown" when that is empty too.
std::string peer_label(std::string_view peer_address, std::string_view routing_id);

// Requests that change cluster state, logged before and after they run.
bool is_mutating_request(std::string_view call, std::string_view cmd);

// "serviceName=… nodeId=… id=… requestId=…" for the members present as text,
// number or boolean.
std::string request_summary(const nlohmann::json& request);

// "OK", or the error code and, when there is one, " (" errorMessage ")".
std::string reply_summary(const nlohmann::json& reply);

}  // namespace mgmt
