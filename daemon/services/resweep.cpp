// The sweep of a left-fenced node that stays online, tried again every
// resweep_delay seconds; see sweep.hpp. A node whose Runner failed the sweep at
// its return is kept fenced, but it may still carry the addresses of services
// that now run elsewhere, and a later sweep (its Runner mended, its suspended
// pools given up) may find it holds nothing of the others any more. Each try
// stops the others' services on it again, which removes their addresses, and
// takes it back only when the whole sweep succeeds.
//
// Runs on the node threads, like the online event whose part it repeats: every
// node object but the swept node's own takes part through the event's tally, and
// the first to get there sweeps once for all of them.
#include "daemon/services/sweep.hpp"

#include "daemon/services/episodes.hpp"
#include "daemon/services/fencing.hpp"
#include "daemon/services/left_fenced.hpp"
#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

namespace svc {

namespace {

uint64_t bit(uint32_t id) { return uint64_t{1} << id; }

// The retry belongs to one return of the node (its episode): once the node went
// offline, or came back again (that return sweeps it itself), it is dropped.
bool still_to_sweep(svc_app& app, const node& x, uint32_t n_id, uint64_t episode)
{
    return !x.exit.load() && (x.online & bit(n_id)) != 0 && current_episode(app, n_id) == episode &&
           is_left_fenced(app, n_id);
}

}  // namespace

void resweep_later(svc_app& app, node& x, uint32_t n_id)
{
    if (n_id >= max_nodes || x.exit.load() || !is_left_fenced(app, n_id))
        return;
    if (fencing_applies(app, n_id))
        spdlog::warn("{}: node {} is left fenced; swept again in {} s", app_name, n_id, resweep_delay);
    else
        spdlog::warn("{}: node {} keeps services of others; swept again in {} s", app_name, n_id, resweep_delay);
    app.postpone_add(kind_resweep, n_id, resweep_delay, current_episode(app, n_id));
}

void on_resweep(svc_app& app, node& x, const node_event& ev)
{
    const uint32_t n_id = ev.node;
    auto* tally = ev.tally();
    if (!tally || n_id == x.id || n_id >= max_nodes)
        return;
    tallied(
        *tally, static_cast<int>(app.node_count.load()) - 1,
        [&] {
            std::call_once(tally->sweep_once, [&] {
                if (!still_to_sweep(app, x, n_id, ev.episode))
                    return;
                spdlog::info("{}: node {} is online and {}: sweeping it again", app_name, n_id,
                             fencing_applies(app, n_id) ? "left fenced" : "keeps services of others");
                tally->sweep_ok.store(sweep_returning_node(app, x, n_id));
            });
            if (!tally->sweep_ok.load())
                return false;
            x.swept |= bit(n_id);
            return fence_node(app, x, n_id, false);
        },
        [&](bool failed) {
            if (!tally->sweep_ok.load()) {
                if (still_to_sweep(app, x, n_id, ev.episode))
                    resweep_later(app, x, n_id);
                return;
            }
            // Taken back as at a return whose sweep succeeded.
            if (failed)
                spdlog::warn("{}: Failed unfencing node {}. Fix it up manually.", app_name, n_id);
            else
                spdlog::info("{}: node {} holds no services of others any more; taken back", app_name, n_id);
            app.post_event(kind_enable_services, n_id);
            // It may be serving already (enabled at its return while left
            // fenced): the assignment pass may now place services on it.
            app.post_event(kind_assign, node_all);
        });
}

}  // namespace svc
