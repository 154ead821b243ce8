// The hold of a service by a node that fencing does not cut off; see holds.hpp.
#include "daemon/services/holds.hpp"

#include "daemon/services/records.hpp"
#include "daemon/services/svc_app.hpp"
#include "daemon/services/unconfigured.hpp"

#include <nlohmann/json.hpp>

#include <spdlog/spdlog.h>

namespace svc {

using nlohmann::json;

std::string held_key(const std::string& service_name) { return "svc-" + service_name + "-held"; }

void load_hold(svc_app& app, service_rec& s)
{
    json io = {{"key", held_key(s.name)}};
    app.mon.call(node_self, "get-value", io);
    uint32_t by = run_node_none;
    if (io.is_object() && !io.contains("error")) {
        const json rec = json::parse(io.at("response").get<std::string>());
        if (rec.contains("node"))
            by = rec.at("node").get<uint32_t>();
    }
    s.held_by.store(by);
    if (by != run_node_none && !is_configured_node(app, by))
        spdlog::warn("{}: service {} is held back by node {}, which is not configured: put the node back into the "
                     "configuration, or, once its host holds none of the service's pools, 'service stop' ends the hold",
                     app_name, s.name, by);
    else if (by != run_node_none)
        spdlog::warn("{}: service {} is held back: node {} may still hold its pools and is not fenced", app_name,
                     s.name, by);
}

bool hold_service(svc_app& app, service_rec& s, uint32_t node_id, uint64_t term)
{
    s.held_by.store(node_id);
    const json reply = set_value(app, held_key(s.name), json{{"node", node_id}}.dump(), term);
    if (reply.is_object() && reply.contains("error")) {
        spdlog::error("{}: service {}: cannot save its hold by node {}: {}", app_name, s.name, node_id,
                      reply["error"].dump());
        return false;
    }
    return true;
}

bool release_hold(svc_app& app, service_rec& s, uint64_t term, bool announce)
{
    const uint32_t by = s.held_by.load();
    if (by == run_node_none)
        return true;
    const json reply = set_value(app, held_key(s.name), "{}", term);
    if (reply.is_object() && reply.contains("error")) {
        spdlog::error("{}: service {}: cannot save the end of its hold by node {}: {}", app_name, s.name, by,
                      reply["error"].dump());
        return false;
    }
    s.held_by.store(run_node_none);
    if (announce)
        spdlog::info("{}: service {}: node {} holds none of it any more; it may start elsewhere", app_name, s.name,
                     by);
    return true;
}

bool held_elsewhere(const service_rec& s, uint32_t on, const char* what)
{
    const uint32_t by = s.held_by.load();
    if (by == run_node_none || by == on)
        return false;
    spdlog::warn("{}: {} of service {} on node {} held back: node {} may still hold its pools and is not fenced "
                 "(fencing it is disabled in config). Make node {} give them up (stop or reboot its host); its next "
                 "successful sweep releases the service",
                 app_name, what, s.name, on, by, by);
    return true;
}

}  // namespace svc
