// process_event: what one node object does with one event (node online and
// offline, node and cluster stop, reclaim, enable, the service pass, requests).
// Kind 16 is handled by the delivery, which sets the exit flag. Runs on the node
// thread (kinds 2, 3, 4, 5, 11, 12) or a detached request thread (14, 15).
#include "daemon/services/node.hpp"

#include "daemon/services/actions.hpp"
#include "daemon/services/episodes.hpp"
#include "daemon/services/fencing.hpp"
#include "daemon/services/holds.hpp"
#include "daemon/services/instances.hpp"
#include "daemon/services/lease.hpp"
#include "daemon/services/left_fenced.hpp"
#include "daemon/services/owner_locks.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/svc_app.hpp"
#include "daemon/services/sweep.hpp"

#include <spdlog/spdlog.h>

#include <array>
#include <functional>

namespace svc {

using nlohmann::json;

namespace {

using action_fn = void (*)(svc_app&, service_rec&);

// The action for each run state (index 1..6), by what is wanted of the service.
// A recovery cut short (state 6) is finished also where the service is wanted
// stopped: left so, it would stay "recovering" for good, and on a disabled or
// stopping node it would never be given up (only a stopped or unclean one is).
constexpr std::array<action_fn, 7> table_run = {nullptr, start_service, start_service, nullptr,
                                                start_service, recover_service, recover_service};
constexpr std::array<action_fn, 7> table_stop = {nullptr, nullptr, stop_service, stop_service,
                                                 stop_service, nullptr, recover_service};
constexpr std::array<action_fn, 7> table_stale = {nullptr, warn_bad_state, stop_service, stop_service,
                                                  stop_service, warn_bad_state, stop_service};

const std::array<action_fn, 7>& choose_table(const node& x, const service_rec& s)
{
    if (s.is_stale())
        return table_stale;
    if (!x.enabled.load() && s.name != cluster_management)
        return table_stop;
    if (s.enabled.load() && !s.disabled_once.load() && !x.stopping.load())
        return table_run;
    return table_stop;
}

bool in_set(uint64_t set, uint32_t id) { return id < max_nodes && (set >> id) & 1; }

// In a pair, the node whose disks this leader's voter fences.
bool is_ha_peer(svc_app& app, uint32_t id) { return app.ha_mode.load() && id != app.this_nodeid.load(); }

}  // namespace

void tallied(node_event::action_args& tally, int threshold, const std::function<bool()>& part,
             const std::function<void(bool failed)>& follow_up)
{
    bool ok = false;
    try {
        ok = part();
    } catch (...) {
        tally.failed.store(true);
        if (tally.done.fetch_add(1) + 1 >= threshold)
            follow_up(true);
        throw;
    }
    if (!ok)
        tally.failed.store(true);
    if (tally.done.fetch_add(1) + 1 >= threshold)
        follow_up(tally.failed.load());
}

namespace {

enum class sweep_result { clean, keeps, abandoned };

constexpr int sweep_stop_attempts = 3;

// Before node N gets its access to the other nodes' storage back: asks N's
// Runner to stop every service that is not placed on N. A node whose daemon died
// while its host kept running may still hold the pools of services that were
// reclaimed and started elsewhere; letting it back would give those pools two
// writers. Each service's lock is held across its stop, so nothing starts it on
// N meanwhile; a service that gets placed on N is left alone. The sweep ends at
// x's exit flag (between services and in the wait for a lock): its stops carry
// no save that the term check would refuse, and a deposed leader must not stop
// what a new leader has just started.
sweep_result stop_services_of_others(svc_app& app, node& x, uint32_t n_id)
{
    bool ok = true;
    bool released = false;
    for (auto& [name, s] : *x.services) {
        if (x.exit.load())
            return sweep_result::abandoned;
        service_lock lk = lock_while(app, s, [&] { return s.run_node.load() != n_id && !x.exit.load(); });
        if (!lk.owns_lock())
            continue;
        // Unfenced, N may write the service's pools until its stop there is
        // known to have succeeded: the hold is saved before the stop, so that a
        // leader deposed before it hears the answer leaves it to the next one.
        const bool held_before = s.held_by.load() == n_id;
        if (!held_before && !fencing_applies(app, n_id) && !hold_service(app, s, n_id, x.term))
            return sweep_result::abandoned;
        json io;
        for (int attempt = 1;; ++attempt) {
            if (!lease_allows(app, x.term, fmt::format("sweep stop of service {} on node {}", name, n_id)))
                return sweep_result::abandoned;
            io = {{"cmd", "stop"}, {"serviceName", name}};
            app.mon.call(n_id, "service", io);
            // A Runner that did not answer is asked again (a few times, the
            // fencing's pause apart); an answered failure is the node's.
            const bool unanswered = io.is_object() && (io.value("error", json()) == "ETIMEDOUT" ||
                                                       io.value("error", json()) == "ERPC");
            if (!unanswered || attempt == sweep_stop_attempts || x.exit.load())
                break;
            app.clock.sleep_for(fence_retry_pause);
        }
        if (io.is_object() && io.contains("error")) {
            spdlog::warn("{}: node {}: cannot stop '{}' of another node: {}", app_name, n_id, name,
                         io.dump(-1, ' ', false, json::error_handler_t::replace));
            ok = false;
            // Unfenced, N may go on writing the service's pools: it starts
            // nowhere else until a stop of it on N succeeds.
            if (!held_before && s.held_by.load() == n_id)
                spdlog::warn("{}: service {} is not started on another node while node {} may hold its pools", app_name,
                             name, n_id);
        } else if (s.held_by.load() == n_id) {
            if (release_hold(app, s, x.term, held_before))
                released = released || held_before;
            else
                ok = false;
        }
    }
    if (released) {
        app.post_event(kind_assign, node_all);
        app.post_event(kind_service_pass, node_all);
    }
    if (x.exit.load())
        return sweep_result::abandoned;
    return ok ? sweep_result::clean : sweep_result::keeps;
}

bool holds_any(const node& x, uint32_t n_id)
{
    for (auto& [name, s] : *x.services)
        if (s.held_by.load() == n_id)
            return true;
    return false;
}

}  // namespace

// Done once per online event (and per retry while left fenced); a clean node
// loses its left-fenced state before it is let back.
bool sweep_returning_node(svc_app& app, node& x, uint32_t n_id)
{
    const std::string session = app.snapshot().session_id;
    if (swept_in_session(app, n_id, session) && !holds_any(x, n_id)) {
        // Nothing of it was reclaimed since its last clean sweep: nothing of the
        // others can be on it that was not there then.
        spdlog::info("{}: node {}: swept since it was last declared offline; sweep skipped", app_name, n_id);
    } else {
        const uint64_t reclaims_before = reclaim_count(app, n_id);
        switch (stop_services_of_others(app, x, n_id)) {
        case sweep_result::abandoned: return false;
        case sweep_result::keeps:
            if (fencing_applies(app, n_id))
                spdlog::warn("{}: Node {} keeps services of others; left fenced", app_name, n_id);
            else
                spdlog::warn("{}: Node {} keeps services of others and is not fenced (fencing it is disabled in "
                             "config): nothing is placed on it, and those services start nowhere else, until it "
                             "gives them up",
                             app_name, n_id);
            set_left_fenced(app, n_id, true, x.term);
            return false;
        case sweep_result::clean: break;
        }
        if (is_left_fenced(app, n_id) && !set_left_fenced(app, n_id, false, x.term)) {
            spdlog::warn("{}: Node {} stays fenced: its left-fenced record could not be cleared", app_name, n_id);
            return false;
        }
        // Not when a reclaim went ahead meanwhile (the node went offline again):
        // what it released may be on the node now.
        if (auto lk = lock_episode(app, x, n_id); lk.owns_lock() && reclaim_count(app, n_id) == reclaims_before)
            set_sweep_mark(app, n_id, true, session, x.term);
    }
    if (is_ha_peer(app, n_id))
        app.ha_link->release_allowed.store(true);  // the disk voter may let it back
    return true;
}

namespace {

void on_node_online(svc_app& app, node& x, const node_event& ev)
{
    const uint32_t n_id = ev.node;
    if (in_set(x.online, n_id)) {
        // Back before its offline event was handled (the newer event replaced
        // it): nothing of it was reclaimed since its last sweep, so when that
        // sweep succeeded the disk voter, which fenced it on the liveness notice,
        // may let it back.
        if (n_id != x.id && is_ha_peer(app, n_id) && in_set(x.swept, n_id))
            app.ha_link->release_allowed.store(true);
        // This event still began a new return, which ends the sweep retries of
        // the one before: a left-fenced node gets them again for this one, or
        // it stays fenced, keeping what it holds of the others, for good.
        if (auto* tally = ev.tally(); tally && n_id != x.id)
            tallied(
                *tally, static_cast<int>(app.node_count.load()) - 1, [] { return true; },
                [&](bool) { resweep_later(app, x, n_id); });
        return;
    }
    if (n_id == x.id) {
        if (x.state.load() == ns_offline)
            for (uint32_t u = 0; u < max_nodes && !x.exit.load(); ++u) {
                if (u == x.id || !in_set(x.online, u))
                    continue;
                if (is_left_fenced(app, u))
                    spdlog::info("{}: node {}: fence-off of node {} skipped (node {} left fenced)", app_name, x.id,
                                 u, u);
                else
                    fence_node(app, x, u, false);
            }
        // Nodes fenced while this one was away were not fenced through its
        // Runner ("offline" counts as done), and its host may have kept serving
        // them its disks all along: those still away are fenced from here now.
        // One that fails is fenced again like any failed fencing, every 30 s
        // until it succeeds or the node is back: its services may already run
        // elsewhere, so its fencing is never given up. Only within the absence
        // the fence-on was missed in: a node back since (its online event
        // handed out, perhaps not yet seen by this node object) is not fenced.
        for (uint32_t u = 0; u < max_nodes && x.fence_missed != 0 && !x.exit.load(); ++u) {
            if (!in_set(x.fence_missed, u))
                continue;
            x.fence_missed &= ~(uint64_t{1} << u);
            const uint64_t episode = x.fence_missed_episode[u];
            const auto still_away = [&] { return !in_set(x.online, u) && current_episode(app, u) == episode; };
            if (u == x.id || !still_away() || fence_node(app, x, u, true) || x.exit.load() || !still_away())
                continue;
            spdlog::warn("{}: node {}: node {} is not fenced through this node's Runner; tried again in {} s",
                         app_name, x.id, u, fence_retry_delay);
            app.postpone_add(kind_fence_retry, u, fence_retry_delay, episode);
        }
        x.state.store(ns_online);
        if (app.node_count.load() == 1)
            app.post_event(kind_enable_services, x.id);
    } else if (auto* tally = ev.tally()) {
        tallied(
            *tally, static_cast<int>(app.node_count.load()) - 1,
            [&] {
                // A reclaim of N still running finishes first: what it releases
                // is then swept off N below.
                if (!await_reclaim(app, x, n_id))
                    return false;
                std::call_once(tally->sweep_once,
                               [&] { tally->sweep_ok.store(sweep_returning_node(app, x, n_id)); });
                if (n_id < max_nodes)
                    x.swept = tally->sweep_ok.load() ? x.swept | uint64_t{1} << n_id : x.swept & ~(uint64_t{1} << n_id);
                if (!tally->sweep_ok.load())
                    return false;
                return fence_node(app, x, n_id, false);
            },
            [&](bool failed) {
                // A node whose sweep failed was not to be unfenced: it is swept
                // again, and its sweep said why.
                if (failed && tally->sweep_ok.load())
                    spdlog::warn("{}: Failed unfencing node {}. Fix it up manually.", app_name, n_id);
                app.post_event(kind_enable_services, n_id);
                resweep_later(app, x, n_id);
            });
    }
    if (n_id < max_nodes) {
        x.online |= uint64_t{1} << n_id;
        x.fence_missed &= ~(uint64_t{1} << n_id);
    }
}

// X's part in fencing node N off, for N's offline event and every retry, all of
// the offline episode `episode`. When every other node object fenced N, its
// services are reclaimed; when one failed, they stay assigned to N (they may
// still run there) and the fencing is tried again in 30 s, until it succeeds or
// N returns (its episode ended), whose return is then handled as usual.
void fence_then_reclaim(svc_app& app, node& x, node_event::action_args& tally, uint32_t n_id, uint64_t episode)
{
    const auto back = [&] { return current_episode(app, n_id) != episode; };
    tallied(
        tally, static_cast<int>(app.node_count.load()) - 1,
        [&] {
            if (back())
                return false;
            const bool done = fence_node(app, x, n_id, true);
            if (in_set(x.fence_missed, n_id))
                x.fence_missed_episode[n_id] = episode;
            return done;
        },
        [&](bool failed) {
            if (!failed) {
                app.post_event(kind_reclaim, n_id, episode);
            } else if (back()) {
                spdlog::info("{}: node {} is back: no more fencing tries", app_name, n_id);
            } else {
                spdlog::error("{}: Failed fencing node {}. Skip reclamation.", app_name, n_id);
                spdlog::warn("{}: fencing of node {} tried again in {} s", app_name, n_id, fence_retry_delay);
                app.postpone_add(kind_fence_retry, n_id, fence_retry_delay, episode);
            }
        });
}

void on_node_offline(svc_app& app, node& x, const node_event& ev)
{
    const uint32_t n_id = ev.node;
    if (n_id == x.id) {
        // Offline first: a service pass still running on this node ends at its
        // next service instead of acting while the records are marked.
        const uint32_t old = x.state.exchange(ns_offline);
        x.stopping.store(false);
        const std::string session = app.snapshot().session_id;
        if (swept_in_session(app, x.id, session))
            set_sweep_mark(app, x.id, false, session, x.term);
        for (auto& [name, s] : *x.services) {
            if (s.run_node.load() != x.id)
                continue;
            service_lock lk = lock_if_owned(app, x, s);
            if (!lk.owns_lock())
                continue;
            const uint32_t st = s.state.load();
            if (st == rs_stopped || st == rs_unclean || s.is_stale())
                continue;
            s.mark_stale();
            try {
                save_run_state(app, s, st);
            } catch (const std::exception& e) {
                spdlog::error("{}: Exception: node {}: {}. Drop event.", app_name, x.id, e.what());
            }
        }
        if (old != ns_serving && old != ns_offline)
            app.post_event(kind_assign, node_all);
    } else if (auto* tally = ev.tally()) {
        fence_then_reclaim(app, x, *tally, n_id, ev.episode);
    }
    if (n_id < max_nodes)
        x.online &= ~(uint64_t{1} << n_id);
}

// Another try at fencing node N, which went offline and whose fencing failed.
// N's own object takes no part.
void on_fence_retry(svc_app& app, node& x, const node_event& ev)
{
    if (auto* tally = ev.tally(); tally && ev.node != x.id)
        fence_then_reclaim(app, x, *tally, ev.node, ev.episode);
}

bool holds_services(const node& x)
{
    for (auto& [name, s] : *x.services)
        if (name != cluster_management && s.run_node.load() == x.id)
            return true;
    return false;
}

void stop_node_services(svc_app& app, node& x, bool cluster)
{
    if (cluster)
        for (auto& [name, s] : *x.services) {
            if (name == cluster_management || s.run_node.load() != x.id)
                continue;
            if (service_lock lk = lock_if_owned(app, x, s); lk.owns_lock()) {
                s.disabled_once.store(true);
                save_run_state(app, s, s.state.load());
            }
        }
    for (auto& [name, s] : *x.services) {
        if (x.exit.load())
            break;
        if (name == cluster_management || s.run_node.load() != x.id)
            continue;
        service_lock lk = lock_if_owned(app, x, s);
        if (!lk.owns_lock())
            continue;
        s.retries.store(0);
        const auto settled = [&] { return s.state == rs_stopped || s.state == rs_unclean; };
        if (!settled()) {
            stop_service(app, s);
            if (!settled()) {
                for (int i = 0; i < 20 && !x.exit.load(); ++i)
                    app.clock.sleep_for(std::chrono::seconds(1));
                if (x.exit.load())
                    break;
                stop_service(app, s);
            }
        }
        if (settled())
            release_service(app, s, x.id);
    }
}

// Whether X's queue still holds an event of X's own node that changes what a
// stop of it must do: its offline, online, reclaim, instance or enabling.
bool own_news_queued(node& x)
{
    std::lock_guard lk(x.mutex);
    for (const auto& ev : x.queue)
        if (ev.node == x.id && (ev.kind == kind_node_online || ev.kind == kind_node_offline ||
                                ev.kind == kind_node_instance || ev.kind == kind_reclaim ||
                                ev.kind == kind_enable_services))
            return true;
    return false;
}

// How often a stop that could not finish (a service that failed to stop, an
// offline node that must be swept first) is tried again.
constexpr int32_t stop_retry_delay = resweep_delay;

// The leader's own node exits last. Its exit ends the activation's node threads,
// and with them any other member's stop still queued or under way; that member,
// left without a majority, could then only exit at once with its pools imported.
void wait_for_other_stops(svc_app& app, node& x)
{
    bool said = false;
    while (!x.exit.load() && app.other_stops_pending(x.id)) {
        if (!said)
            spdlog::info("{}: node {} exits once the other nodes' stops are done", app_name, x.id);
        said = true;
        app.clock.sleep_for(std::chrono::milliseconds(100));
    }
}

void on_node_stop(svc_app& app, node& x, const node_event& ev)
{
    const bool cluster = ev.node == node_all;
    if (!cluster && ev.node != x.id)
        return;
    // A stop tried again (episode 1) ended at the node's offline event, which
    // clears `stopping`, or with the activation whose node objects it was for.
    if (!cluster && ev.episode != 0 && !x.stopping.load())
        return;
    x.stopping.store(true);
    if (!cluster) {
        struct done_mark {
            svc_app& app;
            uint32_t id;
            ~done_mark() { app.stop_done(id); }
        } done{app, x.id};
        const auto return_in_hand = [&] {
            return (x.state.load() == ns_online || app.return_pending(x.id) || own_news_queued(x)) &&
                   !x.exit.load();
        };
        const auto to_the_back = [&] {
            app.clock.sleep_for(std::chrono::milliseconds(500));
            if (!x.exit.load())
                app.post_event(kind_node_stop, x.id);
        };
        // Episode 1 marks the stop as one tried again.
        const auto try_again_later = [&] {
            if (!x.exit.load())
                app.postpone_add(kind_node_stop, x.id, stop_retry_delay, 1);
        };
        if (return_in_hand()) {
            // Back online, its return not handled yet (its online event waits
            // out its delay) or still in the other node objects' hands: their
            // sweep asks this node's daemon to stop what its host may hold of
            // services placed elsewhere (their pools, their addresses), and an
            // exit now would cut that short and leave them on the host. The stop
            // goes to the back of the queue until the return is done (the node
            // serves, or is left fenced, or is offline again). So it does while
            // this object has news of its own node still to handle (a thread
            // held up by a hanging Runner): the stop judges on what it knows,
            // and a return handled after the exit would place services on a
            // node whose daemon is gone.
            to_the_back();
            return;
        }
        stop_node_services(app, x, false);
        if (holds_services(x)) {
            spdlog::info("{}: Do not STOP node {} due to still running services", app_name, ev.node);
            // The stop stands: the node takes no new services while stopping, so
            // a service whose stop failed (a Runner down, a node not reached)
            // would otherwise be left unplaced for good once stopped, with the
            // node neither gone nor serving. It is tried again until it is done.
            try_again_later();
            return;
        }
        // Left fenced, or not swept since its services were last reclaimed (a
        // daemon back before this leader has seen it online), it may still
        // carry what it holds of services that now run elsewhere (their
        // addresses above all, which fencing does not cut), and once its
        // daemon is gone no one can remove them: it is swept first. It stays
        // fenced whatever the sweep finds.
        if (!swept_in_session(app, x.id, app.snapshot().session_id) &&
            stop_services_of_others(app, x, x.id) == sweep_result::keeps) {
            // Its exit waits until a sweep of it succeeds: the postponed list
            // looks again, and the leader's own exit does not wait for a node
            // that may never be swept. Offline to this leader, its Runner
            // cannot be asked, yet its daemon may be up and reach the exit (cut
            // off from the leader only, or back and not seen online yet). The
            // episode of a stop marks one already waiting (said once).
            if (ev.episode == 0) {
                if (x.id != app.this_nodeid.load() && x.state.load() == ns_offline)
                    spdlog::info("{}: Node {} is offline and was not swept since its services were last "
                                 "reclaimed: it is told to exit once it is back online and swept",
                                 app_name, x.id);
                else
                    spdlog::warn("{}: Node {} keeps services of others: it is told to exit once they are "
                                 "stopped there; its stop is tried again every {} s",
                                 app_name, x.id, stop_retry_delay);
            }
            try_again_later();
            return;
        }
        if (x.id == app.this_nodeid.load()) {
            wait_for_other_stops(app, x);
            if (x.exit.load())
                return;  // leadership ends: the monitor sends the stop to the next leader
        } else if (return_in_hand()) {
            // The node went offline and came back while its services were
            // being stopped (a stop waits up to 20 s for a node not reached):
            // its return is handled first, or it would be served, and given
            // services, after its daemon had gone.
            to_the_back();
            return;
        }
        send_exit(app, x.id, x.term);
        return;
    }
    auto* tally = ev.tally();
    if (!tally)
        return;
    tallied(
        *tally, static_cast<int>(app.node_count.load()),
        [&] {
            stop_node_services(app, x, true);
            return !holds_services(x);
        },
        [&](bool failed) {
            if (failed)
                spdlog::info("{}: Do not stop CLUSTER due to still running services", app_name);
            else
                send_exit(app, node_all, x.term);
        });
}

// Releases the services of fenced node X for placement elsewhere, for the
// offline episode whose fencing completed. A node that has come online since
// that episode began keeps them: its return may already have been swept past
// them, and its own service pass settles them where they are.
void on_reclaim(svc_app& app, node& x, const node_event& ev)
{
    if (ev.node != x.id)
        return;
    const auto episode = hold_episode(app, x, ev.episode);
    if (!episode.owns_lock()) {
        if (!x.exit.load())
            spdlog::info("{}: Node {} came back online before its reclaim; its services stay on it", app_name, x.id);
        return;
    }
    // Whoever lets the node back must sweep it: committed before anything of it
    // can start elsewhere.
    if (!set_sweep_mark(app, x.id, false, app.snapshot().session_id, x.term)) {
        spdlog::error("{}: Node {}: cannot record that it must be swept; its services stay on it", app_name, x.id);
        return;
    }
    for (auto& [name, s] : *x.services) {
        if (s.run_node.load() != x.id)
            continue;
        service_lock lk = lock_if_owned(app, x, s);
        if (!lk.owns_lock())
            continue;
        if (s.is_stale())
            s.settle();
        s.run_node.store(run_node_none);
        // Saved now, not at the next action: a service that is not placed again
        // (switched off, or no node to take it) has no next action, and its record
        // would name the fenced node for good, for status and for the next leader.
        try {
            save_run_state(app, s, s.state.load() == rs_stopped ? rs_stopped : rs_unclean);
        } catch (const std::exception& e) {
            // Released all the same: a save fails when this leadership has
            // ended, and the next leader takes over what the store says.
            spdlog::warn("{}: node {}: released service {} not saved: {}", app_name, x.id, name, e.what());
        }
        app.post_event(kind_assign, node_all);
    }
}

void on_enable_services(svc_app& app, node& x, const node_event& ev)
{
    if (ev.node != x.id || x.state.load() != ns_online)
        return;
    spdlog::info("{}: Enable run services on node {}", app_name, ev.node);
    x.state.store(ns_serving);
    if (holds_services(x) || ev.node == app.this_nodeid.load())
        app.post_event(kind_service_pass, ev.node);
    app.post_event(kind_assign, node_all);
}

bool held_off(svc_app& app, const service_rec& s) { return app.clock.now() < s.hold_off_until.load(); }

void service_pass(svc_app& app, node& x, const node_event& ev)
{
    if ((ev.node != node_all && ev.node != x.id) || x.state.load() != ns_serving || x.services->empty())
        return;
    int pending = 0;
    for (auto& [name, s] : *x.services) {
        if (x.exit.load() || x.state.load() != ns_serving)
            return;
        if (s.run_node.load() != x.id || s.retries.load() >= failure_limit)
            continue;
        if (held_off(app, s)) {
            ++pending;
            continue;
        }
        service_lock lk = lock_if_owned(app, x, s);
        if (!lk.owns_lock())
            continue;
        // Another pass may have acted while we waited for the lock: look again.
        if (s.retries.load() >= failure_limit)
            continue;
        if (held_off(app, s)) {
            ++pending;
            continue;
        }
        const uint32_t before = s.state.load();
        const auto& table = choose_table(x, s);
        if (before < table.size() && table[before]) {
            try {
                table[before](app, s);
            } catch (const std::exception& e) {
                spdlog::warn("{}: process: exception node {} service {}: {}", app_name, x.id, name, e.what());
                count_failure(app, s);
            }
        }
        // A stopping or disabled node gives up what it has stopped, as a node
        // stop does: a stop there that ends unclean (a stale record's), or one
        // that failed and succeeds on a later pass, would otherwise leave the
        // service on a node that takes no start, for good.
        const uint32_t now = s.state.load();
        if ((x.stopping.load() || !x.enabled.load()) && name != cluster_management && !s.is_stale() &&
            (now == rs_stopped || now == rs_unclean))
            release_service(app, s, x.id);
        pending += s.retries.load() + (s.state.load() != before ? 1 : 0);
    }
    if (pending != 0)
        app.postpone_add(kind_service_pass, x.id, pass_rerun_delay);
}

void run_request(node& x, const node_event& ev)
{
    if (ev.node != x.id)
        return;
    if (auto* req = ev.request()) {
        if (req->body)
            req->body(x, req->reply);
        req->promise.set_value();
    }
}

}  // namespace

void process_event(svc_app& app, node& n, const node_event& ev)
{
    try {
        switch (ev.kind) {
        case kind_node_online: on_node_online(app, n, ev); break;
        case kind_node_offline: on_node_offline(app, n, ev); break;
        case kind_node_stop: on_node_stop(app, n, ev); break;
        case kind_node_instance: on_node_instance(app, n, ev); break;
        case kind_reclaim: on_reclaim(app, n, ev); break;
        case kind_enable_services: on_enable_services(app, n, ev); break;
        case kind_service_pass: service_pass(app, n, ev); break;
        case kind_fence_retry: on_fence_retry(app, n, ev); break;
        case kind_resweep: on_resweep(app, n, ev); break;
        case kind_request: run_request(n, ev); break;
        default: break;
        }
    } catch (const std::exception& e) {
        spdlog::error("{}: Exception: node {}: {}. Drop event.", app_name, n.id, e.what());
    }
}

}  // namespace svc
