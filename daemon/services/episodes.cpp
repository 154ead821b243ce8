// Offline episodes; see episodes.hpp.
#include "daemon/services/episodes.hpp"

#include "daemon/services/node.hpp"
#include "daemon/services/svc_app.hpp"

namespace svc {

static_assert(node_episodes::size == max_nodes);

namespace {

// Waits for the node's episode lock in one-second slices of the app's clock,
// giving up when x's exit flag is set.
std::unique_lock<std::timed_mutex> take(svc_app& app, node& x, uint32_t n_id)
{
    std::unique_lock lk(app.episodes.mutex[n_id], std::try_to_lock);
    while (!lk.owns_lock() && !x.exit.load())
        lk = std::unique_lock(app.episodes.mutex[n_id], app.clock.real(std::chrono::seconds(1)));
    if (lk.owns_lock() && x.exit.load())
        lk.unlock();
    return lk;
}

}  // namespace

uint64_t reclaim_count(svc_app& app, uint32_t n_id)
{
    return n_id < node_episodes::size ? app.episodes.reclaims[n_id].load() : 0;
}

std::unique_lock<std::timed_mutex> lock_episode(svc_app& app, node& x, uint32_t n_id)
{
    if (n_id >= node_episodes::size)
        return {};
    return take(app, x, n_id);
}

uint64_t current_episode(svc_app& app, uint32_t n_id)
{
    return n_id < node_episodes::size ? app.episodes.count[n_id].load() : 0;
}

void begin_return(svc_app& app, uint32_t n_id)
{
    if (n_id < node_episodes::size)
        app.episodes.count[n_id].fetch_add(1);
}

bool await_reclaim(svc_app& app, node& x, uint32_t n_id)
{
    return n_id >= node_episodes::size || take(app, x, n_id).owns_lock();
}

std::unique_lock<std::timed_mutex> hold_episode(svc_app& app, node& x, uint64_t stamp)
{
    if (x.id >= node_episodes::size)
        return {};
    auto lk = take(app, x, x.id);
    if (lk.owns_lock() && app.episodes.count[x.id].load() != stamp)
        lk.unlock();
    if (lk.owns_lock())
        app.episodes.reclaims[x.id].fetch_add(1);
    return lk;
}

}  // namespace svc
