// The run-state and node-config records: their keys, texts and saves.
#include "daemon/services/records.hpp"

#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

namespace svc {

using nlohmann::json;

std::string runstate_key(const std::string& service_name) { return "svc-" + service_name + "-runstate"; }

std::string node_config_key(uint32_t node_id) { return "node-config-" + std::to_string(node_id); }

std::string runstate_text(const runstate& r)
{
    // nlohmann::json objects keep their members sorted by name: the stored order.
    json j = {{"disabled_once", r.disabled_once}, {"enabled", r.enabled}, {"failed", r.failed},
              {"run_node", r.run_node},           {"session_id", r.session_id}, {"state", r.state}};
    return j.dump();
}

std::string node_config_text(bool enabled) { return json{{"enabled", enabled}}.dump(); }

json set_value(svc_app& app, const std::string& key, const std::string& value, uint64_t term)
{
    json io = {{"key", key}, {"value", value}, {"term", term}};
    app.mon.call(node_all, "set-value", io);
    return io;
}

void save_run_state(svc_app& app, service_rec& service, uint32_t state)
{
    service.state.store(state);
    runstate r;
    r.state = state;
    r.run_node = service.run_node.load();
    r.session_id = service.session_id;
    r.enabled = service.enabled.load();
    r.failed = service.retries.load() >= failure_limit;
    r.disabled_once = service.disabled_once.load();
    const json reply = set_value(app, runstate_key(service.name), runstate_text(r), service.term);
    if (reply.is_object() && reply.contains("error")) {
        const json& code = reply["error"];
        spdlog::error("{}: cannot save service state: {} {}", app_name, service.name, code.dump());
        throw std::runtime_error("Error saving service state: " +
                                 (code.is_string() ? code.get<std::string>() : code.dump()));
    }
}

void save_node_config(svc_app& app, node& n) { save_node_setting(app, n, n.enabled.load()); }

bool save_node_setting(svc_app& app, const node& n, bool enabled)
{
    const json reply = set_value(app, node_config_key(n.id), node_config_text(enabled), n.term);
    if (!reply.is_object() || !reply.contains("error"))
        return true;
    spdlog::error("{}: cannot save node config: {} {}", app_name, n.id, reply["error"].dump());
    return false;
}

}  // namespace svc
