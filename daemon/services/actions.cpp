// The service actions (start, stop, recovery through the Runner of the service's
// node) and their bookkeeping. No locks here: see actions.hpp.
#include "daemon/services/actions.hpp"

#include "daemon/services/holds.hpp"
#include "daemon/services/lease.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

#include <optional>

namespace svc {

using nlohmann::json;

thread_local int request_origin = 0;

const char* origin_label() { return request_origin == 1 ? "src=external" : "src=cluster"; }

request_origin_scope::request_origin_scope(int origin) : saved_(request_origin) { request_origin = origin; }
request_origin_scope::~request_origin_scope() { request_origin = saved_; }

namespace {

struct runner_failure {
    std::string code;
    std::string message;
};

// Asks the Runner of the service's node (read now) for `action`. A reply that is
// an object with "error" is a failure; anything else is a success. A failure whose
// "error" or "errorMessage" is not a text throws the JSON library's type error.
// Throws lease_lost, before any call, once this node may no longer lead the
// term the record belongs to (lease.hpp).
std::optional<runner_failure> call_runner(svc_app& app, service_rec& s, const char* action)
{
    const uint32_t on = s.run_node.load();
    require_lease(app, s.term, fmt::format("{} of service {} on node {}", action, s.name, on));
    json io = {{"cmd", action}, {"serviceName", s.name}};
    app.mon.call(on, "service", io);
    if (!io.is_object() || !io.contains("error"))
        return std::nullopt;
    runner_failure f;
    f.code = io["error"].get<std::string>();
    if (io.contains("errorMessage"))
        f.message = io["errorMessage"].get<std::string>();
    return f;
}

bool transient(const std::string& code) { return code == "EOFFLINE" || code == "ETIMEDOUT"; }

// Once per run of failures, when the count reaches the limit: the service pass
// stops acting on it from now on, so say so and what gets it going again.
void note_failure_limit(const service_rec& s, int32_t count)
{
    if (count == failure_limit)
        spdlog::warn("{}: service {} left alone after {} failures: stop it and start it again, or move it, "
                     "to try again {}",
                     app_name, s.name, count, origin_label());
}

}  // namespace

void start_service(svc_app& app, service_rec& s)
{
    // Nothing is saved or counted: the service waits where it is, and the end of
    // the hold runs the passes again.
    if (held_elsewhere(s, s.run_node.load(), "start"))
        return;
    spdlog::info("{}: start service {} node {} {}", app_name, s.name, s.run_node.load(), origin_label());
    save_run_state(app, s, rs_starting);
    if (auto f = call_runner(app, s, "start")) {
        spdlog::warn("{}: cannot start '{}': {} {}", app_name, s.name, f->code, origin_label());
        count_failure(app, s);
        // A failed start may have left some of its pools imported: the service
        // stays "starting", which gets a stop on this node before it is placed
        // anywhere else. The save carries the failure count; a transient failure
        // is simply retried.
        if (!transient(f->code))
            save_run_state(app, s, rs_starting);
        return;
    }
    s.retries.store(0);
    save_run_state(app, s, rs_running);
    spdlog::info("{}: service {} on node {} started {}", app_name, s.name, s.run_node.load(), origin_label());
}

void recover_service(svc_app& app, service_rec& s)
{
    if (held_elsewhere(s, s.run_node.load(), "recovery"))
        return;
    spdlog::info("{}: recovery service {} node {} {}", app_name, s.name, s.run_node.load(), origin_label());
    save_run_state(app, s, rs_recovering);
    if (auto f = call_runner(app, s, "recovery")) {
        spdlog::warn("{}: cannot recovery '{}': {} {}", app_name, s.name, f->code, origin_label());
        count_failure(app, s);
        if (!transient(f->code))
            save_run_state(app, s, rs_unclean);
        return;
    }
    s.retries.store(0);
    save_run_state(app, s, rs_stopped);
    if (s.is_stale()) {
        s.settle();
        s.run_node.exchange(run_node_none);
        app.post_event(kind_assign, node_all);
    }
    spdlog::info("{}: service {} recovered on node {} {}", app_name, s.name, s.run_node.load(), origin_label());
}

void stop_service(svc_app& app, service_rec& s)
{
    if (s.name == cluster_management)
        return;
    const uint32_t before = s.state.load();
    bool stale = s.is_stale();
    spdlog::info("{}: stop service '{}' node {} state {} stale {} {}", app_name, s.name, s.run_node.load(), before,
                 stale, origin_label());
    if (!stale)
        save_run_state(app, s, rs_stopping);
    if (auto f = call_runner(app, s, "stop")) {
        s.last_error = f->message;
        spdlog::warn("{}: cannot stop '{}': {} ({}) {}", app_name, s.name, f->code, f->message, origin_label());
        count_failure(app, s);
        if (!stale && !transient(f->code))
            save_run_state(app, s, before);
        return;
    }
    stale = s.is_stale();
    s.retries.store(0);
    s.last_error.clear();
    save_run_state(app, s, stale ? rs_unclean : rs_stopped);
    if (stale) {
        s.settle();
    } else {
        s.run_node.exchange(run_node_none);
        app.post_event(kind_assign, node_all);
    }
    spdlog::info("{}: service '{}' on node {} state {} stale {} {}", app_name, s.name, s.run_node.load(),
                 s.state.load(), s.is_stale(), origin_label());
}

void count_failure(svc_app& app, service_rec& s)
{
    const int32_t before = s.retries.fetch_add(1);
    if (before >= failure_limit - 1)
        spdlog::warn("{}: service {} failed {} times. Turn it off.", app_name, s.name, before + 1);
    note_failure_limit(s, before + 1);
    s.hold_off_until.store(app.clock.now() + hold_off);
    // Whoever failed (a request, a node stop or a pass), the service's node
    // takes it up again: its pass waits out the hold-off and acts while the
    // count stays below the limit. Without this, a failed request would leave
    // the service half done until some unrelated event ran a pass there.
    const uint32_t on = s.run_node.load();
    if (on < max_nodes)
        app.postpone_add(kind_service_pass, on, pass_rerun_delay);
}

void assign_service(svc_app& app, service_rec& s, uint32_t node_id)
{
    (void)app;
    spdlog::info("{}: assign service {} to node {} pri: {}:{} {}", app_name, s.name, node_id, s.pri0, s.pri1,
                 origin_label());
    s.hold_off_until.store(svc_clock::time_point{});
    s.retries.store(0);
    s.run_node.exchange(node_id);
}

bool release_service(svc_app& app, service_rec& s, uint32_t from)
{
    if (!s.run_node.compare_exchange_strong(from, run_node_none))
        return false;
    try {
        save_run_state(app, s, s.state.load());
    } catch (const std::exception& e) {
        spdlog::warn("{}: released service {} not saved: {}", app_name, s.name, e.what());
    }
    app.post_event(kind_assign, node_all);
    return true;
}

void warn_bad_state(svc_app& app, service_rec& s)
{
    (void)app;
    spdlog::warn("{}: WARN_ONCE: incorrect service state  {} : {}.", app_name, s.name, s.state.load());
    note_failure_limit(s, s.retries.fetch_add(1) + 1);
}

}  // namespace svc
