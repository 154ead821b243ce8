// svcapp_call, the request bodies and the request wait; see requests.hpp for the
// threads involved. Bodies capture only values (names, ids, shared cells) and the
// app, which outlives every activation: a body may run after its requester gave up.
#include "daemon/services/requests.hpp"

#include "daemon/services/actions.hpp"
#include "daemon/services/assignment.hpp"
#include "daemon/services/holds.hpp"
#include "daemon/services/left_fenced.hpp"
#include "daemon/services/owner_locks.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/svc_app.hpp"
#include "daemon/services/unconfigured.hpp"

#include <spdlog/spdlog.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <optional>

namespace svc {

using nlohmann::json;

namespace {

constexpr uint32_t owner_none = 4294967295u;

json error_reply(const std::string& code, const std::string& message)
{
    return {{"error", code}, {"errorMessage", message}};
}

// A node id from a JSON number: true and false count as 1 and 0, a fraction is
// cut off. A value that is not finite or lies outside u32 names no node (nullopt)
// rather than wrapping onto another node's id. Other types throw the JSON
// library's type error.
std::optional<uint32_t> node_id_of(const json& v)
{
    if (v.is_boolean())
        return v.get<bool>() ? 1u : 0u;
    if (v.is_number_unsigned())
        return v.get<uint64_t>() <= owner_none ? std::optional<uint32_t>(static_cast<uint32_t>(v.get<uint64_t>()))
                                               : std::nullopt;
    if (v.is_number_integer())
        return v.get<int64_t>() >= 0 && v.get<int64_t>() <= owner_none
                   ? std::optional<uint32_t>(static_cast<uint32_t>(v.get<int64_t>()))
                   : std::nullopt;
    const double d = std::trunc(v.get<double>());
    if (!std::isfinite(d) || d < 0 || d > owner_none)
        return std::nullopt;
    return static_cast<uint32_t>(d);
}

service_rec* find_service(node& x, const std::string& name)
{
    auto it = x.services->find(name);
    return it == x.services->end() ? nullptr : &it->second;
}

json no_such_service(const std::string& name) { return error_reply("ENOENT", "cannot find service: " + name); }

// A service's switches as an enable or disable found them.
struct service_flags {
    bool enabled = true;
    bool disabled_once = false;
};

// Saves the record with the request's switches; when the save fails they go back
// to what they were, so a request answered "try again" leaves nothing behind for
// a later pass to act on. The service's lock is held.
void save_or_restore(svc_app& app, service_rec& s, const service_flags& prior)
{
    try {
        save_run_state(app, s, s.state.load());
    } catch (...) {
        s.enabled.store(prior.enabled);
        s.disabled_once.store(prior.disabled_once);
        throw;
    }
}

// Why node X cannot take a service now, or null when it can.
const char* not_serving_reason(svc_app& app, const node& x)
{
    if (is_left_fenced(app, x.id))
        return "the node is left fenced: it may still hold pools of services placed elsewhere";
    switch (x.state.load()) {
    case ns_serving: return x.stopping.load() ? "the node is stopping" : nullptr;
    case ns_offline: return "the node is offline";
    default: return "the node is not serving yet: back online, not yet enabled";
    }
}

// The requester's wait slice: one second of the app's clock.
auto wait_slice(svc_app& app) { return app.clock.real(std::chrono::seconds(1)); }

void drop_if_closed(svc_app& app, const node_event& ev)
{
    std::lock_guard lk(app.main_mutex);
    if (app.mode() == mode_active && app.requests_open)
        return;
    std::erase_if(app.main_queue, [&](const node_event& q) { return q.args == ev.args; });
}

// Left off by an operator's stop, with nothing placing it again: stopped or
// unclean (a stale record's stop) and unassigned, or unclean on the node it
// stopped on.
bool left_off(const service_rec& s)
{
    if (!s.disabled_once.load() || !s.enabled.load())
        return false;
    const uint32_t st = s.state.load();
    const uint32_t on = s.run_node.load();
    return ((st == rs_stopped || st == rs_unclean) && on == run_node_none) ||
           (st == rs_unclean && on == s.stopped_on.load());
}

// The second half of a move's start refused because its node cannot run
// services, run on the node the move's stop took the service off (or on this
// node when none is known). Left off by that stop, the service would stay off
// for the whole session: it starts again on that node when the node serves,
// else the stop's switch is undone and the assignment places it; an unclean one
// stays on its node, whose pass recovers and starts it. Anything that claimed or
// changed the service since (another start, a disable, an assignment) is left as
// it is. A plain start that is refused changes nothing.
void put_back_refused(svc_app& app, node& x, const std::string& name, uint32_t target)
{
    request_origin_scope origin(1);
    service_rec* s = find_service(x, name);
    if (s == nullptr)
        return;
    service_lock lk = s->run_node.load() == run_node_none ? lock_if_unowned(app, *s) : lock_if_owned(app, x, *s);
    if (!lk.owns_lock() || !left_off(*s))
        return;
    const uint32_t st = s->state.load();
    const bool assigned = s->run_node.load() != run_node_none;
    const bool back = assigned || (s->stopped_on.load() == x.id && x.enabled.load() &&
                                   not_serving_reason(app, x) == nullptr && claim_service(app, *s, x.id));
    s->disabled_once.store(false);
    try {
        save_run_state(app, *s, st);
    } catch (...) {
        // Not placed and not saved: the request is dropped and the operator
        // asked to try again, with the service as the stop left it.
        if (back && !assigned)
            s->run_node.store(run_node_none);
        s->disabled_once.store(true);
        throw;
    }
    if (back) {
        spdlog::warn("{}: service {}: its start on node {} was refused; it starts again on node {} {}", app_name, name,
                     target, x.id, origin_label());
        app.post_event(kind_service_pass, x.id);
    } else {
        spdlog::warn("{}: service {}: its start on node {} was refused; it is placed by the assignment {}", app_name,
                     name, target, origin_label());
        app.post_event(kind_assign, node_all);
    }
}

}  // namespace

void reply_try_again(json& reply)
{
    if (!reply.is_object())
        reply = json::object();
    reply["error"] = "EAGAIN";
    reply["errorMessage"] = "Request cannot be done. Try again.";
}

bool run_on_node(svc_app& app, uint32_t node_id, request_body body, json& reply)
{
    // Ids of no node object (66 included: a request addressed to every node would
    // run once per node) are dropped here.
    if (node_id >= max_nodes)
        return false;
    node_event ev = make_event(kind_request, node_id);
    node_event::req_args* req = ev.request();
    req->body = std::move(body);
    std::future<void> done = req->promise.get_future();
    {
        // ABORT and EXIT change the mode, and the teardown closes requests,
        // under main_mutex: a request checked here is either refused or queued
        // before the teardown clears the queue.
        std::lock_guard lk(app.main_mutex);
        if (app.mode() != mode_active || !app.requests_open)
            return false;
        app.queue_push(ev);
    }
    for (;;) {
        if (done.wait_for(wait_slice(app)) == std::future_status::ready)
            break;
        if (ev.args.use_count() == 1) {
            // Nobody else holds the event: it was dropped, unless the body ended
            // just before its thread let go.
            if (done.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
                break;
            return false;
        }
        // A request still queued when the leader stopped being active would wait
        // for the next activation: take it back. One whose body runs is waited
        // for; the teardown ends it.
        drop_if_closed(app, ev);
    }
    reply = req->reply;
    return true;
}

json dump_services(svc_app& app)
{
    json reply;
    const bool done = run_on_node(app, app.this_nodeid.load(), [](node& x, json& r) {
        r = json::array();
        spdlog::info("{}: Dumping services info:", app_name);
        // No locks: a diagnostic snapshot of the atomics.
        for (auto& [name, s] : *x.services) {
            const uint32_t run_node = s.run_node.load();
            const uint32_t state = s.state.load();
            const int32_t retries = s.retries.load();
            const bool failed = retries >= failure_limit;
            const bool stale = s.is_stale();
            spdlog::info("{}: name '{}' owner_node = {} run_state {} retries {} failed {} stale {}", app_name, name,
                         run_node, state, retries, failed, stale);
            r.push_back({{"name", name},
                         {"owner_node", run_node},
                         {"run_state", state},
                         {"failed", failed},
                         {"stale", stale},
                         {"disabled_once", s.disabled_once.load()},
                         {"enabled", s.enabled.load()},
                         {"base_disabled", s.base_disabled}});
        }
    }, reply);
    if (!done)
        reply_try_again(reply);
    return reply;
}

json do_service_onoff(svc_app& app, const std::string& name, bool enable)
{
    auto owner = std::make_shared<std::atomic<uint32_t>>(run_node_none);
    auto prior = std::make_shared<service_flags>();
    json reply;
    const bool phase_one = run_on_node(app, app.this_nodeid.load(), [&app, name, enable, owner, prior](node& x, json& r) {
        request_origin_scope origin(1);
        service_rec* s = find_service(x, name);
        if (s == nullptr) {
            r = no_such_service(name);
            return;
        }
        prior->enabled = s->enabled.load();
        prior->disabled_once = s->disabled_once.load();
        if (enable) {
            s->enabled.store(true);
            s->disabled_once.store(false);
        } else {
            s->enabled.store(false);
        }
        if (s->run_node.load() == run_node_none) {
            service_lock lk = lock_if_unowned(app, *s);
            if (lk.owns_lock())
                save_or_restore(app, *s, *prior);
        }
        owner->store(s->run_node.load());
        if (enable)
            app.post_event(kind_assign, node_all);
    }, reply);
    if (!phase_one) {
        reply_try_again(reply);
        return reply;
    }
    const uint32_t on = owner->load();
    if (on < max_nodes) {
        const bool phase_two = run_on_node(app, on, [&app, name, enable, on, prior](node& x, json& r) {
            request_origin_scope origin(1);
            service_rec* s = find_service(x, name);
            if (s == nullptr)
                throw std::runtime_error("service vanished: " + name);
            if (s->run_node.load() != on)
                return;
            service_lock lk = lock_if_owned(app, x, *s);
            if (!lk.owns_lock()) {
                // The activation ends while the lock is busy: nothing was
                // saved, and the next leader takes the record as it stands.
                if (x.exit.load())
                    reply_try_again(r);
                return;
            }
            save_or_restore(app, *s, *prior);
            if (!enable) {
                // The stop a disable asks for is a fresh action, as an
                // assignment's start is: a service left alone after its
                // failures is stopped too, and without waiting out a hold-off.
                s->retries.store(0);
                s->hold_off_until.store(svc_clock::time_point{});
            }
            lk.unlock();
            // A disable lets the owner's pass stop the service after a grace
            // period; an enable takes effect at once (a service that was stopped
            // while disabled starts again on its node).
            if (enable)
                app.post_event(kind_service_pass, on);
            else
                app.postpone_add(kind_service_pass, on, pass_rerun_delay);
        }, reply);
        if (!phase_two)
            reply_try_again(reply);
    }
    return reply;
}

json do_service_start(svc_app& app, const std::string& name, const json& request)
{
    const auto node_id = node_id_of(request.at("nodeId"));
    if (!node_id || *node_id >= max_nodes)
        return error_reply("EINVAL", "wrong nodeId value");
    // The utility's move marks its start: the service was stopped for it.
    const auto move_it = request.find("move");
    if (move_it != request.end() && !move_it->is_boolean())
        return error_reply("EINVAL", "wrong move value");
    const bool move = move_it != request.end() && move_it->get<bool>();
    json reply;
    // Refused because the node cannot run services: the node that the service
    // goes back to (run_node_none: none known). owner_none: not refused so.
    auto put_back_on = std::make_shared<std::atomic<uint32_t>>(owner_none);
    const bool done = run_on_node(app, *node_id, [&app, name, put_back_on](node& x, json& r) {
        request_origin_scope origin(1);
        service_rec* s = find_service(x, name);
        if (!x.enabled.load()) {
            r = error_reply("EINVAL", "cannot run service on disabled node");
            if (s != nullptr && left_off(*s))
                put_back_on->store(s->stopped_on.load());
            return;
        }
        if (s == nullptr) {
            r = no_such_service(name);
            return;
        }
        // Refused at once, before the service is claimed: a start there would
        // fail, or succeed on a node that may still hold others' pools.
        if (const char* why = not_serving_reason(app, x)) {
            spdlog::warn("{}: cannot start service {} on node {}: {} {}", app_name, name, x.id, why, origin_label());
            r = error_reply("EA90002", "cannot start service: " + name);
            if (left_off(*s))
                put_back_on->store(s->stopped_on.load());
            return;
        }
        if (held_elsewhere(*s, x.id, "start")) {
            r = error_reply("EA90002", "cannot start service: " + name);
            if (left_off(*s))
                put_back_on->store(s->stopped_on.load());
            return;
        }
        service_lock lk = lock_if_unowned(app, *s);
        // The claim is a compare-and-swap from "no node": an assignment pass that
        // placed the service meanwhile (it takes no service lock) wins, and the
        // service is never started on two nodes.
        if (!lk.owns_lock() || !claim_service(app, *s, x.id)) {
            r = error_reply("EBUSY", "service is already running on node " + std::to_string(s->run_node.load()));
            // A stale record's stop leaves the service unclean on its node.
            if (left_off(*s))
                put_back_on->store(s->stopped_on.load());
            return;
        }
        s->enabled.store(true);
        s->disabled_once.store(false);
        if (s->state.load() == rs_unclean)
            recover_service(app, *s);
        start_service(app, *s);
        if (s->state.load() != rs_running)
            r = error_reply("EA90002", "cannot start service: " + name);
    }, reply);
    if (!done) {
        reply_try_again(reply);
        return reply;
    }
    const uint32_t back = put_back_on->load();
    if (!move || back == owner_none)
        return reply;
    const uint32_t on = back < max_nodes && is_configured_node(app, back) ? back : app.this_nodeid.load();
    json ignored;
    const uint32_t target = *node_id;
    if (!run_on_node(app, on, [&app, name, target](node& x, json&) { put_back_refused(app, x, name, target); },
                     ignored))
        reply_try_again(reply);
    return reply;
}

json do_service_stop(svc_app& app, const std::string& name)
{
    auto owner = std::make_shared<std::atomic<uint32_t>>(owner_none);
    auto held = std::make_shared<std::atomic<uint32_t>>(run_node_none);
    json reply;
    const bool phase_one = run_on_node(app, app.this_nodeid.load(), [name, owner, held](node& x, json&) {
        service_rec* s = find_service(x, name);
        if (s != nullptr && s->run_node.load() != run_node_none)
            owner->store(s->run_node.load());
        if (s != nullptr)
            held->store(s->held_by.load());
    }, reply);
    // A dropped look-up says nothing about the service: it may well be running.
    if (!phase_one) {
        reply_try_again(reply);
        return reply;
    }
    const uint32_t on = owner->load();
    if (on >= max_nodes && held->load() < max_nodes && !is_configured_node(app, held->load()))
        return release_hold_of_unconfigured(app, name, held->load());
    if (on >= max_nodes)
        return error_reply("ENOENT", "cannot find running service: " + name);
    if (!is_configured_node(app, on))
        return release_from_unconfigured(app, name, on);
    const bool phase_two = run_on_node(app, on, [&app, name](node& x, json& r) {
        request_origin_scope origin(1);
        service_rec* s = find_service(x, name);
        if (s == nullptr) {
            r = no_such_service(name);
            return;
        }
        service_lock lk = lock_if_owned(app, x, *s);
        if (!lk.owns_lock()) {
            r = error_reply("EAGAIN", "try to stop again later svc: " + name);
            return;
        }
        const bool was_disabled_once = s->disabled_once.exchange(true);
        const bool was_stale = s->is_stale();
        s->last_error.clear();
        // Not stopped, the request changes nothing of what the service should be:
        // its node's pass keeps it where it is and a later failover moves it as
        // usual, where a flag left set would keep it from ever being placed
        // again. A save that fails (here or in the stop) drops the request.
        try {
            stop_service(app, *s);
        } catch (...) {
            s->disabled_once.store(was_disabled_once);
            throw;
        }
        // A stop that succeeded releases the service (or, stale, leaves it
        // unclean). One that failed on a service already stopped here leaves it
        // stopped and still placed here: switched off too, no pass would start
        // it and no start could claim it.
        const uint32_t st = s->state.load();
        if ((st == rs_stopped && s->run_node.load() != x.id) || st == rs_unclean) {
            s->stopped_on.store(x.id);
            // A stale service's stop saved its record still marked stale, and
            // settled it only in memory: the next leader would not take the
            // record's switch-off as this session's, and would start the
            // service again. The settled record says it.
            if (was_stale && !s->is_stale())
                save_run_state(app, *s, st);
            // Left unclean here by a stale record's stop: a stopping or disabled
            // node gives it up, as its pass does, or it stays on a node that
            // takes no start (no pass may come to release it).
            if ((x.stopping.load() || !x.enabled.load()) && !s->is_stale())
                release_service(app, *s, x.id);
            return;
        }
        s->disabled_once.store(was_disabled_once);
        save_run_state(app, *s, st);
        r = error_reply("EA90001", "cannot stop service: " + name + (s->last_error.empty() ? "" : ": " + s->last_error));
    }, reply);
    if (!phase_two)
        reply_try_again(reply);
    return reply;
}

json do_node_setting(svc_app& app, uint32_t id, bool enable)
{
    json reply;
    const bool done = run_on_node(app, id, [&app, enable](node& x, json& r) {
        request_origin_scope origin(1);
        // Saved first: a setting the store does not hold would be lost to the
        // next leader, so it is not taken up here either, and the requester
        // hears that nothing was done.
        if (!save_node_setting(app, x, enable)) {
            reply_try_again(r);
            return;
        }
        x.enabled.store(enable);
        // The node's service pass acts on the new setting now (a disabled node
        // stops its services), not at some later unrelated event.
        app.post_event(kind_service_pass, x.id);
        if (enable)
            app.post_event(kind_assign, node_all);
    }, reply);
    if (!done)
        reply_try_again(reply);
    return reply;
}

json svcapp_call(svc_app& app, const json& request)
{
    json reply;
    // Refused at once while no activation takes requests (not leading, or an
    // activation that failed and waits to retry): nothing would run it, and a
    // dropped phase one must not read as "no such service".
    bool open;
    {
        std::lock_guard lk(app.main_mutex);
        open = app.mode() == mode_active && app.requests_open;
    }
    if (!open) {
        reply_try_again(reply);
        return reply;
    }
    const json& cmd = request.at("cmd");
    if (cmd == "debug-dump-services")
        return dump_services(app);
    const json& call = request.at("call");
    if (call == "service") {
        const auto name = request.at("serviceName").get<std::string>();
        const auto c = cmd.get<std::string>();
        if (name == cluster_management)
            return error_reply("EPERM", "cannot " + c + " " + cluster_management +
                                            ": managed by kelm, manual control is not allowed");
        if (c == "enable" || c == "disable")
            return do_service_onoff(app, name, c == "enable");
        if (c == "start")
            return do_service_start(app, name, request);
        if (c == "stop")
            return do_service_stop(app, name);
        return nullptr;
    }
    if (call == "node") {
        const uint32_t id = node_id_of(request.at("id")).value_or(owner_none);
        if (cmd == "exit") {
            app.post_event(kind_node_stop, id);
            return nullptr;
        }
        return do_node_setting(app, id, cmd == "enable");
    }
    return nullptr;
}

}  // namespace svc
