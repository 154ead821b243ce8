// The service and node status items of "service"/"node" "info" and "status".
#include "daemon/mgmt/mgmt_node_id.hpp"
#include "daemon/mgmt/mgmt_tables.hpp"

#include <array>
#include <stdexcept>

namespace mgmt {

using nlohmann::json;

namespace {

constexpr uint32_t NODE_SELF = 65;
constexpr uint32_t NODE_ALL = 66;

constexpr std::array<const char*, 7> service_state_names{"-",        "STOPPED",   "STARTING",  "STARTED",
                                                         "STOPPING", "RECOVERY", "RECOVERING"};

// The "response" text of a get-value reply; anything else fails the request.
const std::string& response_text(const json& reply, const std::string& key)
{
    if (!reply.is_object() || !reply.contains("response") || !reply.at("response").is_string())
        throw std::runtime_error("get-value '" + key + "': reply without text 'response'");
    return reply.at("response").get_ref<const std::string&>();
}

json member_or_null(const json& obj, const char* name)
{
    auto it = obj.find(name);
    return it == obj.end() ? json(nullptr) : *it;
}

std::string state_text(const json& record, const mgmt_app& app)
{
    const json& state_value = record.at("state");
    if (!state_value.is_number() && !state_value.is_boolean())
        throw std::runtime_error("run-state 'state' is not a number");
    // A state no 32-bit value can hold is beyond every known one: "INVALID".
    const uint32_t state = node_id_value(state_value).value_or(UINT32_MAX);
    auto session = record.find("session_id");
    const bool current = session != record.end() && *session == json(*app.session_id());
    // The leader left it alone after its failures (stale records are this
    // leader's too): nothing will act on it until the operator does.
    auto failed = record.find("failed");
    if (failed != record.end() && *failed == true && (current || (session != record.end() && *session == "-")))
        return "FAILED";
    if (current)
        return state < service_state_names.size() ? service_state_names[state] : "INVALID";
    if (state == 1)
        return "STOPPED";
    if (state == 5)
        return "RECOVERY";
    return "STALE";
}

// Whether the leader keeps the node fenced although it is online (its record
// "node-left-fenced-<id>"): it takes no service, so the utility's move check
// must not read it as ONLINE. A record that cannot be read says fenced.
bool left_fenced(uint32_t id, const mgmt_app& app)
{
    json io = {{"key", "node-left-fenced-" + std::to_string(id)}};
    app.monitor().call(NODE_SELF, "get-value", io);
    if (!io.is_object() || io.contains("error"))
        return false;  // no record: never left fenced
    try {
        return json::parse(io.at("response").get<std::string>()).at("left_fenced").get<bool>();
    } catch (const std::exception&) {
        return true;
    }
}

}  // namespace

json make_service_status(const std::string& name, const mgmt_app& app)
{
    const std::string key = "svc-" + name + "-runstate";
    json io = {{"key", key}};
    app.monitor().call(NODE_SELF, "get-value", io);
    if (io.is_object() && io.contains("error"))
        return {{"name", name}, {"error", io.at("error")}, {"errorMessage", member_or_null(io, "errorMessage")}};
    const json record = json::parse(response_text(io, key));
    return {{"name", name},
            {"state", state_text(record, app)},
            {"run_node", member_or_null(record, "run_node")},
            {"enabled", member_or_null(record, "enabled")},
            {"failed", member_or_null(record, "failed")}};
}

json make_node_status(uint32_t id, const std::string& nodename, const mgmt_app& app)
{
    const std::string key = "node-config-" + std::to_string(id);
    json io = {{"key", key}};
    app.monitor().call(NODE_ALL, "get-value", io);
    bool enabled = true;  // a node whose setting cannot be read counts as enabled
    if (!(io.is_object() && io.contains("error"))) {
        const json record = json::parse(response_text(io, key));
        const json& e = record.at("enabled");
        if (!e.is_boolean())
            throw std::runtime_error("node-config 'enabled' is not a boolean");
        enabled = e.get<bool>();
    }
    const bool online = id < 64 && app.node_online(id);
    return {{"id", id},
            {"state", !online ? "OFFLINE" : left_fenced(id, app) ? "FENCED" : "ONLINE"},
            {"nodename", nodename},
            {"enabled", enabled}};
}

}  // namespace mgmt
