// do_active, the activation pass, and its helpers. Runs on do_execute's thread;
// node threads and detached request threads run beside its event loop and share
// the service table and node objects, which live until the teardown has joined
// or waited for every one of them.
#include "daemon/services/activation.hpp"

#include "daemon/services/actions.hpp"
#include "daemon/services/assignment.hpp"
#include "daemon/services/holds.hpp"
#include "daemon/services/left_fenced.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/svc_app.hpp"

#include "config/cluster_config.hpp"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <atomic>
#include <system_error>
#include <thread>

namespace svc {

using nlohmann::json;

namespace {

std::atomic<bool> handshake_warned{false};

json call(svc_app& app, uint32_t node_id, const std::string& cmd, json io = nullptr)
{
    app.mon.call(node_id, cmd, io);
    return io;
}

bool has_error(const json& reply) { return reply.is_object() && reply.contains("error"); }

bool empty_value(const json& v) { return v.is_null() || ((v.is_array() || v.is_object()) && v.empty()); }

json handshake(svc_app& app)
{
    try {
        json ping = call(app, node_self, "ping");
        check_reply(ping);
        if (ping["response"] != "pong") {
            spdlog::error("{}: response != expect. '{}' != '{}'", app_name,
                          ping["response"].dump(-1, ' ', false, json::error_handler_t::replace), "pong");
            throw std::runtime_error("wrong response. walkout!");
        }
        json cfg = call(app, node_self, "get-cluster-config");
        check_reply(cfg);
        return cfg["response"];
    } catch (...) {
        if (!handshake_warned.exchange(true))
            spdlog::warn("{}: Error during handshake. Please check that Runner is running.", app_name);
        throw;
    }
}

uint32_t member_or(const json& entry, const char* key, uint32_t dflt)
{
    return entry.is_object() && entry.contains(key) ? entry[key].get<uint32_t>() : dflt;
}

void load_services(const json& doc, service_table& services, const activation_snapshot& snap)
{
    for (const auto& e : config::entries(doc, "services")) {
        const std::string name = e.at("name").get<std::string>();
        auto [it, inserted] = services.try_emplace(name, name, snap.session_id, snap.term);
        if (inserted) {
            it->second.pri0 = member_or(e, "pri0", node_none);
            it->second.pri1 = member_or(e, "pri1", node_none);
        }
        if (e.is_object() && e.contains("enabled") && e["enabled"] == false)
            it->second.base_disabled = true;
    }
}

void load_nodes(svc_app& app, const json& doc, service_table& services, std::deque<node>& nodes, uint64_t term)
{
    for (auto& f : app.cfg_enabled)
        f.store(true);
    uint64_t configured = 0;
    for (const auto& e : config::entries(doc, "nodes")) {
        const auto id = e.at("id").get<uint64_t>();
        if (id >= max_nodes)
            throw std::runtime_error("Bad nodeid value " + std::to_string(id));
        const bool enabled = e.is_object() && e.contains("enabled") ? e["enabled"].get<bool>() : true;
        app.cfg_enabled[id].store(enabled);
        node& n = nodes.emplace_back(static_cast<uint32_t>(id), e.at("nodename").get<std::string>(), enabled,
                                     &services, term);
        const json rec = call(app, node_self, "get-value", {{"key", node_config_key(n.id)}});
        if (has_error(rec)) {
            n.enabled.store(enabled);
            save_node_config(app, n);
        } else {
            n.enabled.store(json::parse(rec.at("response").get<std::string>()).at("enabled").get<bool>());
        }
        load_left_fenced(app, n.id);
        configured |= uint64_t{1} << n.id;
    }
    app.configured_nodes.store(configured);
    app.node_count.store(static_cast<uint32_t>(nodes.size()));
    if (nodes.empty())
        throw std::runtime_error("No parsed nodes. Nothing to do.");
}

// The session check: returns the delay before the run states are taken over.
int32_t session_delay(svc_app& app, const json& doc, const activation_snapshot& snap)
{
    const json marker = call(app, node_self, "get-value", {{"key", session_marker_key}});
    if (!has_error(marker) && marker.contains("response") && marker["response"] == snap.session_id) {
        spdlog::info("{}: Subsequent run", app_name);
        return 10;
    }
    const json reply = set_value(app, session_marker_key, snap.session_id, snap.term);
    if (has_error(reply))
        spdlog::warn("{}: cannot set session-id: '{}'", app_name,
                     reply["error"].dump(-1, ' ', false, json::error_handler_t::replace));
    spdlog::info("{}: Entire cluster rerun!", app_name);
    if (doc.contains("cluster") && doc["cluster"].is_object() && doc["cluster"].contains("start_delay"))
        return doc["cluster"]["start_delay"].get<int32_t>();
    return 10;
}

bool configured(const std::deque<node>& nodes, uint32_t id)
{
    for (const auto& n : nodes)
        if (n.id == id)
            return true;
    return false;
}

// Takes over one service's stored run state (or makes its first record).
void take_over(svc_app& app, service_rec& s, const std::deque<node>& nodes)
{
    const json rec = call(app, node_self, "get-value", {{"key", runstate_key(s.name)}});
    uint32_t state = rs_stopped;
    if (has_error(rec)) {
        if (s.base_disabled)
            s.enabled.store(false);
    } else {
        const json r = json::parse(rec.at("response").get<std::string>());
        const auto st = r.at("state").get<uint32_t>();
        const auto rn = r.at("run_node").get<uint32_t>();
        if (st > rs_recovering)
            throw critical_error("service " + s.name + " has bad state " + std::to_string(st));
        if (rn >= max_nodes && st != rs_stopped && st != rs_unclean)
            throw critical_error("wrong service owner: " + s.name + " " + std::to_string(rn));
        if (r.at("session_id").get<std::string>() == s.session_id) {
            if (r.at("disabled_once").get<bool>()) {
                s.disabled_once.store(true);
                // An operator's stop saves state 1 with the node it left.
                if (st == rs_stopped && rn < max_nodes)
                    s.stopped_on.store(rn);
            }
        } else if (st != rs_stopped && st != rs_unclean) {
            spdlog::info("{}: prepare stale service state: name {} state {} id {}", app_name, s.name, st, rn);
            s.mark_stale();
        }
        if (!r.at("enabled").get<bool>())
            s.enabled.store(false);
        state = st;
        if (st != rs_stopped && rn < max_nodes) {
            // A node that left the configuration may still run and hold the
            // pools: the service stays assigned to it, and nothing acts on it
            // until the node is configured again or the operator releases it.
            assign_service(app, s, rn);
            if (!configured(nodes, rn))
                spdlog::warn("{}: service {} is held by node {}, which is not configured; it stays there. Put node "
                             "{} back into the configuration, or, once that host holds none of its pools, run "
                             "'service stop' of {} to release it and 'service start' to start it elsewhere",
                             app_name, s.name, rn, rn, s.name);
        }
    }
    load_hold(app, s);
    save_run_state(app, s, state);
}

void start_node_threads(svc_app& app, std::deque<node>& nodes)
{
    for (auto& n : nodes) {
        try {
            n.thread = std::thread([&app, &n] { node_thread(app, n); });
        } catch (const std::system_error& e) {
            throw std::system_error(e.code(), "thread constructor failed");
        }
    }
}

// Runs the activation's teardown on every way out once armed: node threads told
// to exit, the queue cleared, cluster management stopped, node objects destroyed.
class teardown_guard {
public:
    teardown_guard(svc_app& app, std::deque<node>& nodes) : app_(app), nodes_(nodes) {}
    teardown_guard(const teardown_guard&) = delete;
    teardown_guard& operator=(const teardown_guard&) = delete;
    ~teardown_guard()
    {
        const node_event bye = make_event(kind_thread_exit, node_all);
        for (auto& n : nodes_)
            node_deliver(app_, n, bye);
        try {
            clear_main_queue(app_);
            stop_cluster_management(app_);
        } catch (const std::exception& e) {
            spdlog::error("{}: {}: teardown: {}", app_name, "do_work", e.what());
        }
        spdlog::info("{}: {}: done mode {}", app_name, "do_work", app_.mode());
        destroy_nodes(nodes_);
    }

private:
    svc_app& app_;
    std::deque<node>& nodes_;
};

void event_loop(svc_app& app, service_table& services, std::deque<node>& nodes)
{
    for (;;) {
        node_event ev;
        {
            std::unique_lock lk(app.main_mutex);
            app.main_cond.wait(lk, [&] { return !app.main_queue.empty(); });
            if (app.main_queue.front().kind == kind_wake)
                return;
            ev = std::move(app.main_queue.front());
            app.main_queue.pop_front();
            // Counted before main_mutex is let go: a stop is always either
            // queued or in hand, never unseen by the leader's own exit.
            if (ev.kind == kind_node_stop && configured(nodes, ev.node))
                ++app.stops_in_hand[ev.node];
        }
        // In the order the events are handed out: an online event ends the
        // node's offline episode, an offline event belongs to the current one.
        if (ev.kind == kind_node_online)
            begin_return(app, ev.node);
        else if (ev.kind == kind_node_offline)
            ev.episode = current_episode(app, ev.node);
        try {
            spdlog::debug("{}: proceed event {} node {}", app_name, ev.kind, ev.node);
            if (ev.kind == kind_assign)
                assignment_pass(app, services, nodes);
            else
                for (auto& n : nodes)
                    node_deliver(app, n, ev);
        } catch (const critical_error&) {
            throw;
        } catch (const std::exception& e) {
            throw critical_error(e.what());
        }
    }
}

}  // namespace

void clear_main_queue(svc_app& app)
{
    std::lock_guard lk(app.main_mutex);
    app.requests_open = false;
    std::erase_if(app.main_queue, [](const node_event& ev) { return ev.kind >= 10; });
}

void tidy_main_queue(std::deque<node_event>& queue, const std::deque<node>& nodes)
{
    enum class seen { unknown, online, offline };
    std::array<seen, max_nodes> status{};
    for (const auto& ev : queue)
        if ((ev.kind == kind_node_online || ev.kind == kind_node_offline) && ev.node < max_nodes)
            status[ev.node] = ev.kind == kind_node_online ? seen::online : seen::offline;
    std::erase_if(queue, [](const node_event& ev) {
        return ev.kind == kind_node_online || ev.kind == kind_node_offline;
    });
    // Mode changes stay in front of everything.
    size_t wakes = 0;
    while (wakes < queue.size() && queue[wakes].kind == kind_wake)
        ++wakes;
    for (const auto& n : nodes) {
        if (status[n.id] == seen::online)
            queue.insert(queue.begin() + static_cast<std::ptrdiff_t>(wakes), make_event(kind_node_online, n.id));
        else if (status[n.id] == seen::offline)
            queue.push_back(make_event(kind_node_offline, n.id));
    }
}

void node_deliver(svc_app& app, node& n, const node_event& ev)
{
    std::lock_guard lk(n.mutex);
    if (ev.kind == kind_service_pass || ev.kind == kind_request) {
        if (ev.node != node_all && ev.node != n.id)
            return;
        try {
            std::thread([&app, &n, ev] { request_thread(app, n, ev); }).detach();
        } catch (const std::system_error& e) {
            throw std::system_error(e.code(), "thread constructor failed");
        }
        ++n.workers;
        return;
    }
    n.queue.push_back(ev);
    if (ev.kind == kind_thread_exit)
        n.exit.store(true);
    n.cond.notify_one();
}

void destroy_nodes(std::deque<node>& nodes)
{
    for (auto& n : nodes) {
        n.exit.store(true);
        if (n.thread.joinable())
            n.thread.join();
        std::unique_lock lk(n.mutex);
        n.cond.wait(lk, [&] { return n.workers == 0; });
    }
    nodes.clear();
}

void do_active(svc_app& app)
{
    const activation_snapshot snap = app.snapshot();
    const uint32_t self = app.this_nodeid.load();
    spdlog::info("{}: ACTIVATED on node {} cluster-id {}", app_name, self, snap.session_id);

    const json doc = handshake(app);
    if (!doc.is_object() || !doc.contains("services") || empty_value(doc["services"]))
        throw std::runtime_error("No services. Nothing to do.");
    if (!doc.contains("nodes") || empty_value(doc["nodes"]))
        throw std::runtime_error("No nodes. Nothing to do.");
    app.ha_mode.store(doc.contains("ha"));
    if (app.ha_mode.load())
        spdlog::warn("{}: HA mode: iSCSI node fencing is skipped (isolation via disk persistent reservations)",
                     app_name);
    clear_main_queue(app);
    {
        std::lock_guard lk(app.main_mutex);
        app.stops_in_hand.fill(0);  // the last activation's node objects are gone
    }
    call(app, self, "service", {{"cmd", "start"}, {"serviceName", "$cluster-management"}});

    service_table services;
    std::deque<node> nodes;
    teardown_guard teardown(app, nodes);

    load_services(doc, services, snap);
    load_nodes(app, doc, services, nodes, snap.term);

    wait_seconds(app, session_delay(app, doc, snap));
    for (auto& [name, s] : services) {
        // A deposed leader must not go on writing records.
        if (app.wake_pending())
            return;
        if (name == cluster_management)
            assign_service(app, s, self);
        else
            take_over(app, s, nodes);
    }
    if (app.wake_pending())
        return;

    start_node_threads(app, nodes);
    {
        std::lock_guard lk(app.main_mutex);
        tidy_main_queue(app.main_queue, nodes);
        app.requests_open = true;
    }
    event_loop(app, services, nodes);
}

}  // namespace svc
