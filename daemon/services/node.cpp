// The node thread and the detached request threads of the node objects. Locking
// rules are in node.hpp.
#include "daemon/services/node.hpp"

#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

namespace svc {

void node_thread(svc_app& app, node& n)
{
    try {
        while (!n.exit.load()) {
            node_event ev;
            {
                std::unique_lock lk(n.mutex);
                n.cond.wait(lk, [&] { return !n.queue.empty(); });
                ev = std::move(n.queue.front());
                n.queue.pop_front();
            }
            process_event(app, n, ev);
        }
    } catch (const std::exception& e) {
        spdlog::error("{}: thread node {} failed: {}", app_name, n.id, e.what());
    } catch (...) {
        spdlog::error("{}: thread node {} failed", app_name, n.id);
    }
    spdlog::info("{}: thread node {} exited", app_name, n.id);
}

void request_thread(svc_app& app, node& n, node_event ev)
{
    try {
        process_event(app, n, ev);
    } catch (const std::exception& e) {
        spdlog::error("{}: Exception: node {}: {}. Drop event.", app_name, n.id, e.what());
    } catch (...) {
        spdlog::error("{}: Exception: node {}: {}. Drop event.", app_name, n.id, "unknown");
    }
    // The event goes before the count: a requester that sees the workers at 0 or
    // its event's last reference must find the event dropped.
    ev = node_event{};
    std::lock_guard lk(n.mutex);
    if (--n.workers == 0)
        n.cond.notify_one();
}

}  // namespace svc
