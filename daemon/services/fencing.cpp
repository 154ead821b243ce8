// fence_node and send_exit; see fencing.hpp.
#include "daemon/services/fencing.hpp"

#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

namespace svc {

using nlohmann::json;

bool fence_node(svc_app& app, node& x, uint32_t target, bool on)
{
    const char* op = on ? "on" : "off";
    if (app.ha_mode.load()) {
        spdlog::info("{}: node {}: fence-{} skipped (HA: disk PR reservations)", app_name, target, op);
        return true;
    }
    const bool target_enabled = target < max_nodes && app.cfg_enabled[target].load();
    if (!x.cfg_enabled || !target_enabled) {
        spdlog::info("{}: node {}: fence-{} of node {} skipped (node {} disabled in config)", app_name, x.id, op,
                     target, x.cfg_enabled ? target : x.id);
        return true;
    }
    if (x.exit.load())
        return false;
    for (int attempt = 1; attempt <= fence_attempts; ++attempt) {
        json io = {{"cmd", op}, {"node", target}};
        app.mon.call(x.id, "fence-node", io);
        const bool failed = io.is_object() && io.contains("error") && io["error"] != "EOFFLINE";
        if (!failed)
            return true;
        spdlog::warn("{}: node {}: cannot fence-{} node {}: '{}'", app_name, x.id, op, target,
                     io["error"].dump(-1, ' ', false, json::error_handler_t::replace));
        if (attempt == fence_attempts)
            break;
        app.clock.sleep_for(fence_retry_pause);
        if (x.exit.load())
            return false;
    }
    return false;
}

void send_exit(svc_app& app, uint32_t node_id)
{
    json io = nullptr;
    app.mon.call(node_id, "kelm-exit", io);
    if (io.is_object() && io.contains("error")) {
        const auto text = [&](const char* key) {
            return io.contains(key) ? io[key].dump(-1, ' ', false, json::error_handler_t::replace) : "null";
        };
        spdlog::warn("{}: error during kelm exit: {} {}", app_name, text("error"), text("errorMessage"));
        return;
    }
    spdlog::info("{}: successfully sent 'exit' to {} node", app_name, node_id);
}

}  // namespace svc
