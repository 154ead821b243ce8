// The replicated records of the service manager: the run-state record of a
// service ("svc-<name>-runstate") and the settings record of a node
// ("node-config-<id>"), their texts, and the saves through "set-value". Every save
// carries the leadership epoch (Raft term) it was computed under; the monitor
// refuses it once the term has moved on.
#pragma once

#include "daemon/services/node.hpp"
#include "daemon/services/service_rec.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace svc {

struct svc_app;

// The longest service name and session id whose records fit "set-value"'s limits
// (keys below 128 bytes, values below 256).
inline constexpr size_t max_service_name = 114;
inline constexpr size_t max_session_id = 159;

inline constexpr const char* session_marker_key = "cluster-session-id-11e9";

std::string runstate_key(const std::string& service_name);
std::string node_config_key(uint32_t node_id);

struct runstate {
    bool disabled_once = false;
    bool enabled = true;
    bool failed = false;
    uint32_t run_node = run_node_none;
    std::string session_id;
    uint32_t state = rs_stopped;
};
// Compact JSON, members in byte order of their names.
std::string runstate_text(const runstate& r);
std::string node_config_text(bool enabled);

// "set-value" of key and value under the given term; returns the monitor's reply.
nlohmann::json set_value(svc_app& app, const std::string& key, const std::string& value, uint64_t term);

// state := `state` in memory first, then the record is written. An error reply is
// logged and thrown as std::runtime_error("Error saving service state: <code>").
// The caller holds the service's lock.
void save_run_state(svc_app& app, service_rec& service, uint32_t state);
// Writes the node's `enabled`; an error reply is logged, nothing is thrown.
void save_node_config(svc_app& app, node& n);
// Writes `enabled` as the node's setting, whatever the node object holds now;
// false (after the log line) when the record was not saved.
bool save_node_setting(svc_app& app, const node& n, bool enabled);

}  // namespace svc
