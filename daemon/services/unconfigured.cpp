// Services held by an unconfigured node; see unconfigured.hpp.
#include "daemon/services/unconfigured.hpp"

#include "daemon/services/holds.hpp"
#include "daemon/services/owner_locks.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/requests.hpp"
#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

namespace svc {

using nlohmann::json;

bool is_configured_node(svc_app& app, uint32_t node_id)
{
    return node_id < max_nodes && (app.configured_nodes.load() >> node_id & 1) != 0;
}

json release_from_unconfigured(svc_app& app, const std::string& name, uint32_t owner)
{
    json reply;
    const bool done = run_on_node(app, app.this_nodeid.load(), [&app, name, owner](node& x, json& r) {
        auto it = x.services->find(name);
        if (it == x.services->end()) {
            r = {{"error", "ENOENT"}, {"errorMessage", "cannot find service: " + name}};
            return;
        }
        service_rec& s = it->second;
        service_lock lk = lock_while(app, s, [&] { return s.run_node.load() == owner && !x.exit.load(); });
        if (!lk.owns_lock()) {
            r = {{"error", "EAGAIN"}, {"errorMessage", "try to stop again later svc: " + name}};
            return;
        }
        if (s.is_stale())
            s.settle();
        s.disabled_once.store(true);
        s.run_node.store(run_node_none);
        save_run_state(app, s, s.state.load() == rs_stopped ? rs_stopped : rs_unclean);
        spdlog::warn("{}: service {} released from node {}, which is not configured, by the operator's stop; "
                     "'service start' recovers it and starts it",
                     app_name, name, owner);
    }, reply);
    if (!done)
        reply_try_again(reply);
    return reply;
}

json release_hold_of_unconfigured(svc_app& app, const std::string& name, uint32_t by)
{
    json reply;
    const bool done = run_on_node(app, app.this_nodeid.load(), [&app, name, by](node& x, json& r) {
        auto it = x.services->find(name);
        if (it == x.services->end()) {
            r = {{"error", "ENOENT"}, {"errorMessage", "cannot find service: " + name}};
            return;
        }
        service_rec& s = it->second;
        service_lock lk = lock_while(app, s, [&] { return s.held_by.load() == by && !x.exit.load(); });
        if (!lk.owns_lock() || !release_hold(app, s, x.term)) {
            r = {{"error", "EAGAIN"}, {"errorMessage", "try to stop again later svc: " + name}};
            return;
        }
        // Stopped, as the operator asked: switched off for the session, not
        // placed by the next assignment.
        s.disabled_once.store(true);
        save_run_state(app, s, s.state.load());
        spdlog::warn("{}: service {}: its hold-back by node {}, which is not configured, ended by the operator's "
                     "stop; 'service start' starts it",
                     app_name, name, by);
    }, reply);
    if (!done)
        reply_try_again(reply);
    return reply;
}

}  // namespace svc
