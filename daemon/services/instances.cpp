// The check of a node's daemon instance against its services' records (see
// instances.hpp).
#include "daemon/services/instances.hpp"

#include "daemon/services/owner_locks.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/svc_app.hpp"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

namespace svc {

using nlohmann::json;

std::string node_instance_key(uint32_t node_id) { return "node-instance-" + std::to_string(node_id); }

void on_node_instance(svc_app& app, node& x, const node_event& ev)
{
    if (ev.node != x.id || ev.instance == 0)
        return;
    const std::string key = node_instance_key(x.id);
    const std::string told = std::to_string(ev.instance);
    json rec = {{"key", key}};
    app.mon.call(node_self, "get-value", rec);
    const json before = rec.is_object() ? rec.value("response", json()) : json();
    if (before == told)
        return;  // the records already account for this instance
    spdlog::info("{}: node {}: daemon instance {}, records written for {}: its running services are started again",
                 app_name, x.id, told, before.is_string() ? before.get<std::string>() : "none");
    bool saved = true;
    bool restarted = false;
    for (auto& [name, s] : *x.services) {
        if (x.exit.load())
            return;
        if (name == cluster_management || s.run_node.load() != x.id)
            continue;
        service_lock lk = lock_if_owned(app, x, s);
        if (!lk.owns_lock() || s.is_stale() || s.state.load() != rs_running)
            continue;
        spdlog::info("{}: service {} on node {}: the node's daemon restarted; start it again", app_name, name, x.id);
        restarted = true;
        try {
            save_run_state(app, s, rs_starting);
        } catch (const std::exception& e) {
            // The pass starts it all the same (the state in memory is set); the
            // instance stays unrecorded, so a later leader looks again.
            spdlog::warn("{}: service {} on node {}: {}", app_name, name, x.id, e.what());
            saved = false;
        }
    }
    if (restarted)
        app.post_event(kind_service_pass, x.id);
    if (!saved)
        return;
    const json reply = set_value(app, key, told, x.term);
    if (reply.is_object() && reply.contains("error"))
        spdlog::warn("{}: node {}: cannot record daemon instance {}: {}", app_name, x.id, told,
                     reply["error"].dump(-1, ' ', false, json::error_handler_t::replace));
}

}  // namespace svc
