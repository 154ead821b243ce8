// do_active, the activation pass. Until the pass lands this holds the leadership
// idle: it waits until a mode change reaches the front of main_queue.
#include "daemon/services/activation.hpp"

#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

namespace svc {

void do_active(svc_app& app)
{
    const activation_snapshot snap = app.snapshot();
    spdlog::info("{}: ACTIVATED on node {} cluster-id {}", app_name, app.this_nodeid.load(), snap.session_id);
    std::unique_lock lk(app.main_mutex);
    app.main_cond.wait(lk, [&] { return !app.main_queue.empty() && app.main_queue.front().kind == kind_wake; });
    spdlog::info("{}: {}: done mode {}", app_name, "do_work", app.mode());
}

}  // namespace svc
