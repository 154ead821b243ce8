// svc_app state and its event entry: doevent, the mode word, the main queue and
// the postponed list. Locking rules are in svc_app.hpp.
#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

#include <charconv>
#include <cstdlib>
#include <optional>

namespace svc {

node_event make_event(uint32_t kind, uint32_t node)
{
    node_event ev;
    ev.kind = kind;
    ev.node = node;
    if (kind == kind_node_online || kind == kind_node_offline || kind == kind_node_stop || kind == kind_fence_retry ||
        kind == kind_resweep)
        ev.args = std::make_shared<node_event::payload>(std::in_place_type<node_event::action_args>);
    else if (kind == kind_request)
        ev.args = std::make_shared<node_event::payload>(std::in_place_type<node_event::req_args>);
    return ev;
}

svc_app::svc_app(monitor_port& mon_, svc_clock& clock_, abort_fn abort_process_)
    : mon(mon_), clock(clock_), abort_process(std::move(abort_process_))
{
    if (!abort_process)
        abort_process = [] { std::abort(); };
    for (auto& f : cfg_enabled)
        f.store(true);
    record.name = app_name;
    record.handler = [this](const std::string& event, const std::string& value) { doevent(event, value); };
}

activation_snapshot svc_app::snapshot()
{
    std::lock_guard lk(main_mutex);
    return {cluster_session_id_, activation_term_};
}

bool svc_app::set_mode(uint32_t to)
{
    uint32_t cur = record.state.load();
    do {
        if (cur == mode_exit && to != mode_exit)
            return false;
    } while (!record.state.compare_exchange_weak(cur, to));
    return true;
}

namespace {

// A node id as the monitor sends it: decimal digits only, within u32.
std::optional<uint32_t> parse_node_id(const std::string& value)
{
    uint32_t id = 0;
    const char* end = value.data() + value.size();
    auto [p, ec] = std::from_chars(value.data(), end, id);
    if (value.empty() || ec != std::errc() || p != end)
        return std::nullopt;
    return id;
}

// "NODE-INSTANCE": "<node id>:<instance>", both decimal, the instance not 0.
std::optional<std::pair<uint32_t, uint64_t>> parse_node_instance(const std::string& value)
{
    const auto colon = value.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    const auto id = parse_node_id(value.substr(0, colon));
    uint64_t inst = 0;
    const char* begin = value.data() + colon + 1;
    const char* end = value.data() + value.size();
    auto [p, ec] = std::from_chars(begin, end, inst);
    if (!id || begin == end || ec != std::errc() || p != end || inst == 0)
        return std::nullopt;
    return std::make_pair(*id, inst);
}

}  // namespace

void svc_app::doevent(const std::string& event, const std::string& value) noexcept
{
    try {
        spdlog::info("{}: get event '{}' value '{}'", app_name, event, value);
        if (event == "ACTIVATE") {
            // The monitor raises "ACTIVATE" on "mon-raft", where the term cannot
            // move: this is the term of the leadership being activated.
            const uint64_t term = mon.term();
            std::lock_guard lk(main_mutex);
            if (!set_mode(mode_active)) {
                spdlog::info("{}: exiting, '{}' ignored", app_name, event);
                return;
            }
            cluster_session_id_ = value;
            activation_term_ = term;
            // The replay that follows tells every instance afresh; one queued from
            // an earlier leadership may be out of date.
            std::erase_if(main_queue, [](const node_event& ev) { return ev.kind == kind_node_instance; });
            queue_push(make_event(kind_wake, node_all));
        } else if (event == "ABORT" || event == "EXIT") {
            std::lock_guard lk(main_mutex);
            if (!set_mode(event == "ABORT" ? mode_inactive : mode_exit)) {
                spdlog::info("{}: exiting, '{}' ignored", app_name, event);
                return;
            }
            queue_push(make_event(kind_wake, node_all));
        } else if (event == "NODE-INSTANCE") {
            const auto told = parse_node_instance(value);
            if (!told) {
                spdlog::warn("{}: event '{}' with bad value '{}' ignored", app_name, event, value);
                return;
            }
            if (told->first >= max_nodes)
                return;
            node_event ev = make_event(kind_node_instance, told->first);
            ev.instance = told->second;
            std::lock_guard lk(main_mutex);
            queue_push(std::move(ev));
        } else if (event == "NODE-ONLINE" || event == "NODE-OFFLINE" || event == "NODE-STOP") {
            const auto id = parse_node_id(value);
            if (!id) {
                spdlog::warn("{}: event '{}' with bad node id '{}' ignored", app_name, event, value);
                return;
            }
            if (event == "NODE-STOP")
                post_event(kind_node_stop, *id);
            else if (*id < max_nodes)
                postpone_add(event == "NODE-ONLINE" ? kind_node_online : kind_node_offline, *id,
                             event == "NODE-ONLINE" ? online_delay : offline_delay);
        }
    } catch (const std::exception& e) {
        spdlog::error("{}: event '{}' value '{}' failed: {}", app_name, event, value, e.what());
    } catch (...) {
        spdlog::error("{}: event '{}' value '{}' failed", app_name, event, value);
    }
}

void svc_app::post_event(uint32_t kind, uint32_t node, uint64_t episode)
{
    if (node >= max_nodes && node != node_all)
        return;
    node_event ev = make_event(kind, node);
    ev.episode = episode;
    std::lock_guard lk(main_mutex);
    queue_push(std::move(ev));
}

void svc_app::queue_push(node_event ev)
{
    if (ev.kind == kind_wake)
        main_queue.push_front(std::move(ev));
    else
        main_queue.push_back(std::move(ev));
    main_cond.notify_all();
}

void svc_app::postpone_add(uint32_t kind, uint32_t node, int32_t countdown, uint64_t episode)
{
    std::lock_guard lk(main_mutex);
    if (kind == kind_service_pass || kind == kind_fence_retry || kind == kind_resweep || kind == kind_node_stop) {
        // Every pass with work left asks for a rerun (every failed fencing of an
        // offline episode, every sweep that left a node fenced, every node stop
        // that could not finish, for another try) and nothing else collapses
        // them: one waiting per node (and episode) is enough.
        for (const auto& p : postponed)
            if (p.kind == kind && p.node == node && p.episode == episode)
                return;
    }
    postponed.push_front({kind, node, countdown, episode});
    main_cond.notify_all();
}

bool svc_app::wake_pending()
{
    std::lock_guard lk(main_mutex);
    return !main_queue.empty() && main_queue.front().kind == kind_wake;
}

bool svc_app::other_stops_pending(uint32_t self)
{
    std::lock_guard lk(main_mutex);
    for (uint32_t id = 0; id < max_nodes; ++id)
        if (id != self && stops_in_hand[id] > 0)
            return true;
    for (const auto& ev : main_queue)
        if (ev.kind == kind_node_stop && ev.node != self && ev.node < max_nodes)
            return true;
    return false;
}

bool svc_app::return_pending(uint32_t node)
{
    std::lock_guard lk(main_mutex);
    for (const auto& ev : postponed)  // newest first: the first of the node decides
        if (ev.node == node && (ev.kind == kind_node_online || ev.kind == kind_node_offline))
            return ev.kind == kind_node_online;
    for (const auto& ev : main_queue)
        if (ev.node == node && ev.kind == kind_node_online)
            return true;
    return false;
}

void svc_app::stop_done(uint32_t node)
{
    std::lock_guard lk(main_mutex);
    if (node < max_nodes && stops_in_hand[node] > 0)
        --stops_in_hand[node];
}

}  // namespace svc
