// fence_node and send_exit; see fencing.hpp.
#include "daemon/services/fencing.hpp"

#include "daemon/services/lease.hpp"
#include "daemon/services/svc_app.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace svc {

using nlohmann::json;

namespace {

// The disk voter fences the peer on its own once the peer is reported dead; a
// fence-on succeeds only when it did, since a reclaim on a "skipped" fence would
// start the peer's pools here while the peer may still write to them.
bool ha_fence_on(svc_app& app, node& x, uint32_t target)
{
    const auto deadline = app.clock.now() + ha_fence_wait;
    for (;;) {
        if (app.ha_link->peer_fenced.load()) {
            spdlog::info("{}: node {}: fence-on done (HA: disk PR reservations)", app_name, target);
            return true;
        }
        if (x.exit.load())
            return false;
        if (app.clock.now() >= deadline)
            break;
        app.clock.sleep_for(ha_fence_poll);
    }
    spdlog::warn("{}: node {}: cannot fence-on node {}: '{}'", app_name, x.id, target,
                 "not fenced off the HA disks");
    return false;
}

// Letting a node back onto the shared storage is the one Runner call whose
// effect no later save can refuse: a leader deposed while it was paused or cut
// off would unfence a node that the new leader has fenced meanwhile, and that
// node may hold pools now written elsewhere. A fence-on from such a leader may
// cut off a node the new leader runs services on. So either goes out only
// while this node still leads in its activation's term with a fresh lease (a
// majority answered its appends within less than the shortest election
// time-out), asked right before each attempt.
//
// What remains is a pause between this check and the Runner's execution of the
// call. A fencer that acts late (its port or session tools hang) holds the
// fenced node's lock in nodefence meanwhile: the new leader's call for the same
// node through that Runner waits for it and is carried out after it, and the
// new leader hears that answer before it reclaims anything or lets the node
// run services, so the late call cannot undo it. Still open: a call that
// reaches nodefence only after the new leader's call for that node finished
// (the Runner process stopped, or the request held in the network, with the
// call in hand). For a fence-off that is bounded as before: the new leader must
// first be elected (the followers wait out their leader contact time-out), see
// the node go offline (its liveness time-out) and fence it through every other
// Runner before it reclaims anything, so the pause must outlast all of those. A
// fence-on that late is not bounded: that node stays cut off from its disks
// until it is fenced off again (its next return).
bool may_fence(svc_app& app, const node& x, uint32_t target, const char* op)
{
    if (!app.mon.leader_lease_held(x.term)) {
        spdlog::warn("{}: node {}: fence-{} of node {} skipped: this node no longer leads with a fresh lease "
                     "(term {}); the current leader fences it when it may",
                     app_name, x.id, op, target, x.term);
        return false;
    }
    return true;
}

}  // namespace

bool fence_node(svc_app& app, node& x, uint32_t target, bool on)
{
    const char* op = on ? "on" : "off";
    if (app.ha_mode.load()) {
        if (on)
            return ha_fence_on(app, x, target);
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
        if (!may_fence(app, x, target, op))
            return false;
        json io = {{"cmd", op}, {"node", target}};
        app.mon.call(x.id, "fence-node", io);
        const bool offline = io.is_object() && io.contains("error") && io["error"] == "EOFFLINE";
        const bool failed = io.is_object() && io.contains("error") && !offline;
        // X's own node is not alive: done, but X's Runner has not fenced the
        // target; X's return does it if the target is still away then.
        if (offline && on && target < max_nodes)
            x.fence_missed |= uint64_t{1} << target;
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

bool fencing_applies(svc_app& app, uint32_t target)
{
    if (app.ha_mode.load())
        return true;
    if (target >= max_nodes || !app.cfg_enabled[target].load())
        return false;
    const uint64_t configured = app.configured_nodes.load();
    for (uint32_t id = 0; id < max_nodes; ++id)
        if (id != target && (configured >> id & 1) != 0 && app.cfg_enabled[id].load())
            return true;
    return false;
}

void send_exit(svc_app& app, uint32_t node_id, uint64_t term)
{
    // Another node's exit goes out only while this node still leads: a leader
    // paused in the middle of that node's stop wakes to send it, and the node
    // may run services of the next leader by then, which its exit would leave
    // on its host with no daemon to stop them. The request is dropped with the
    // leadership (the operator asks the current leader again). Its own exit,
    // and the cluster's (every service switched off first, in the store), go
    // out in any case: a leader left alone by its members' exits has lost its
    // majority, and must still leave.
    if (node_id != app.this_nodeid.load() && node_id != node_all &&
        !lease_allows(app, term, fmt::format("exit of node {}", node_id)))
        return;
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
