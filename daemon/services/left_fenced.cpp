// The left-fenced record of a node and its mirror; see left_fenced.hpp.
#include "daemon/services/left_fenced.hpp"

#include "daemon/services/records.hpp"
#include "daemon/services/svc_app.hpp"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

namespace svc {

using nlohmann::json;

std::string left_fenced_key(uint32_t node_id) { return "node-left-fenced-" + std::to_string(node_id); }

bool is_left_fenced(svc_app& app, uint32_t node_id)
{
    return node_id < max_nodes && app.left_fenced[node_id].load();
}

void load_left_fenced(svc_app& app, uint32_t node_id)
{
    if (node_id >= max_nodes)
        return;
    json io = {{"key", left_fenced_key(node_id)}};
    app.mon.call(node_self, "get-value", io);
    bool on = false;
    if (io.is_object() && !io.contains("error")) {
        try {
            on = json::parse(io.at("response").get<std::string>()).at("left_fenced").get<bool>();
        } catch (const std::exception& e) {
            spdlog::warn("{}: node {}: unreadable left-fenced record ({}); keeping it fenced", app_name, node_id,
                         e.what());
            on = true;
        }
    }
    app.left_fenced[node_id].store(on);
}

bool set_left_fenced(svc_app& app, uint32_t node_id, bool on, uint64_t term)
{
    if (node_id >= max_nodes)
        return false;
    if (on)
        app.left_fenced[node_id].store(true);
    const json reply = set_value(app, left_fenced_key(node_id), json{{"left_fenced", on}}.dump(), term);
    if (reply.is_object() && reply.contains("error")) {
        spdlog::error("{}: node {}: cannot save left-fenced {}: {}", app_name, node_id, on, reply["error"].dump());
        return false;
    }
    if (!on)
        app.left_fenced[node_id].store(false);
    return true;
}

std::string sweep_mark_key(uint32_t node_id) { return "node-swept-" + std::to_string(node_id); }

bool swept_in_session(svc_app& app, uint32_t node_id, const std::string& session_id)
{
    if (node_id >= max_nodes || is_left_fenced(app, node_id))
        return false;
    json io = {{"key", sweep_mark_key(node_id)}};
    app.mon.call(node_self, "get-value", io);
    if (!io.is_object() || io.contains("error"))
        return false;
    try {
        const json mark = json::parse(io.at("response").get<std::string>());
        return mark.at("swept").get<bool>() && mark.at("session").get<std::string>() == session_id;
    } catch (const std::exception&) {
        return false;
    }
}

bool set_sweep_mark(svc_app& app, uint32_t node_id, bool swept, const std::string& session_id, uint64_t term)
{
    if (node_id >= max_nodes)
        return false;
    const json reply =
        set_value(app, sweep_mark_key(node_id), json{{"session", session_id}, {"swept", swept}}.dump(), term);
    if (reply.is_object() && reply.contains("error")) {
        spdlog::error("{}: node {}: cannot save sweep mark {}: {}", app_name, node_id, swept, reply["error"].dump());
        return false;
    }
    return true;
}

}  // namespace svc
