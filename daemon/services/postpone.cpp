// The postponed list: its once-a-second tick (a pure function over the list) and
// the thread s_postpone that runs it. Locking rules are in svc_app.hpp.
#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

#include <cstdint>

namespace svc {

std::deque<postponed_event> postpone_tick(std::list<postponed_event>& postponed)
{
    // Of all online and offline entries of one node only the newest stays.
    uint64_t seen = 0;
    for (auto it = postponed.begin(); it != postponed.end();) {
        if ((it->kind == kind_node_online || it->kind == kind_node_offline) && it->node < max_nodes) {
            const uint64_t bit = uint64_t{1} << it->node;
            if (seen & bit) {
                it = postponed.erase(it);
                continue;
            }
            seen |= bit;
        }
        ++it;
    }
    std::deque<postponed_event> due;
    for (auto it = postponed.begin(); it != postponed.end();) {
        const int32_t before = it->countdown;
        it->countdown = before - 1;
        if (before <= 1) {
            due.push_back(*it);
            it = postponed.erase(it);
        } else {
            ++it;
        }
    }
    return due;
}

void s_postpone(svc_app& app)
{
    try {
        if (app.mode() == mode_exit)
            return;
        std::unique_lock lk(app.main_mutex);
        for (;;) {
            app.main_cond.wait(lk, [&] { return !app.postponed.empty() || app.mode() == mode_exit; });
            if (app.mode() == mode_exit)
                return;
            while (!app.postponed.empty()) {
                lk.unlock();
                app.clock.sleep_for(std::chrono::seconds(1));
                lk.lock();
                for (const auto& p : postpone_tick(app.postponed)) {
                    spdlog::debug("{}: pass delayed event {} node {}", app_name, p.kind, p.node);
                    node_event ev = make_event(p.kind, p.node);
                    ev.episode = p.episode;
                    app.queue_push(std::move(ev));
                }
                if (app.mode() == mode_exit)
                    return;
            }
        }
    } catch (const std::exception& e) {
        spdlog::error("{}: Catch exception: {} {}. Abort.", app_name, "s_postpone", e.what());
        app.abort_process();
    } catch (...) {
        spdlog::error("{}: Catch exception: {} {}. Abort.", app_name, "s_postpone", "unknown");
        app.abort_process();
    }
}

}  // namespace svc
