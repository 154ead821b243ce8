// do_execute, the service manager's main thread: registers with the monitor,
// learns this node's id, then follows the mode word, running an activation while
// the application is active. Also the small helpers it shares with the
// activation pass. Locking rules are in svc_app.hpp.
#include "daemon/services/activation.hpp"
#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

#include <new>

namespace svc {

using nlohmann::json;

void check_reply(const json& reply)
{
    if (reply.is_object() && reply.contains("error"))
        throw std::runtime_error("error in response. walkout! " + reply.dump(-1, ' ', false, json::error_handler_t::replace));
    if (!reply.is_object() || !reply.contains("response"))
        throw std::runtime_error("reply without 'response'. walkout! " +
                                 reply.dump(-1, ' ', false, json::error_handler_t::replace));
}

void wait_seconds(svc_app& app, int32_t n)
{
    spdlog::info("{}: wait for {} seconds", app_name, n);
    for (int32_t i = 0; i < n; ++i) {
        app.clock.sleep_for(std::chrono::seconds(1));
        if (app.wake_pending())
            return;
    }
}

void stop_cluster_management(svc_app& app)
{
    json io = {{"cmd", "stop"}, {"serviceName", "$cluster-management"}};
    app.mon.call(app.this_nodeid.load(), "service", io);
}

namespace {

// Requests still queued when the leader leaves the active mode would wait for the
// next activation; dropping them answers their requesters at once.
void drop_queued_requests(svc_app& app)
{
    std::lock_guard lk(app.main_mutex);
    std::erase_if(app.main_queue, [](const node_event& ev) { return ev.kind == kind_request; });
}

// Step 5: waits for kind-1 events at the front and takes them all out.
void take_wake_events(svc_app& app)
{
    std::unique_lock lk(app.main_mutex);
    app.main_cond.wait(lk, [&] { return !app.main_queue.empty() && app.main_queue.front().kind == kind_wake; });
    while (!app.main_queue.empty() && app.main_queue.front().kind == kind_wake)
        app.main_queue.pop_front();
}

// Runs activations while the mode stays 2 and no kind-1 event waits. False when
// the process was to abort (a test's abort hook returns here).
bool run_active(svc_app& app)
{
    while (app.mode() == mode_active && !app.wake_pending()) {
        try {
            do_active(app);
        } catch (const critical_error& e) {
            spdlog::warn("{}: {}: Critical error:  {}\nAbort.", app_name, "do_active", e.what());
            app.abort_process();
            return false;
        } catch (const std::bad_alloc& e) {
            spdlog::warn("{}: {}: Bad alloc:  {}\nAbort.", app_name, "do_active", e.what());
            app.abort_process();
            return false;
        } catch (const std::exception& e) {
            spdlog::warn("{}: {}: Exception:  {}", app_name, "do_active", e.what());
            wait_seconds(app, 100);
        }
    }
    return true;
}

}  // namespace

void do_execute(svc_app& app)
{
    try {
        app.mon.register_app(&app.record);
        json io;
        app.mon.call(node_self, "get-this-nodeid", io);
        check_reply(io);
        const auto id = io["response"].get<uint32_t>();
        if (id >= max_nodes)
            throw std::runtime_error("this_nodeid is bad: " + std::to_string(id));
        app.this_nodeid.store(id);
        spdlog::info("{}: Started on node {}", app_name, id);
        stop_cluster_management(app);
        for (;;) {
            take_wake_events(app);
            const uint32_t mode = app.mode();
            if (mode == mode_exit) {
                spdlog::info("{}: {}: cleanup and exit", app_name, "do_execute");
                app.mon.unregister_app(&app.record);
                return;
            }
            if (mode == mode_active && !run_active(app))
                return;
            drop_queued_requests(app);
        }
    } catch (const std::exception& e) {
        spdlog::error("{}: Catch exception: {}. Abort.", app_name, e.what());
        app.abort_process();
    } catch (...) {
        spdlog::error("{}: Catch exception: {}. Abort.", app_name, "unknown");
        app.abort_process();
    }
}

}  // namespace svc
