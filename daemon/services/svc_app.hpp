// The service manager's application state "svc_app": the mode word (in its
// app_record), this node's id, the activation's session id and term, the main
// queue and the postponed list, and the configuration facts the activation pass
// sets. One instance per daemon, built by svcapp_start_threads on the heap and
// never destroyed (detached threads wait on its mutex and condition variable
// until the process ends; every exit goes through platform::process_exit).
// Tests build their own instances on a fake monitor and a fast clock.
//
// Locking: main_mutex guards main_queue, postponed, stops_in_hand and the
// activation snapshot (session id and term); main_cond is notified (notify-all) on every insertion
// into either list and on every mode change. The mode word, this_nodeid,
// node_count, ha_mode and cfg_enabled are atomics read without a lock.
// doevent runs on the monitor's delivering thread with the monitor's apps mutex
// held: it takes only main_mutex and never calls the monitor.
#pragma once

#include "daemon/core/ha_fence_link.hpp"
#include "daemon/core/monitor.hpp"
#include "daemon/services/episodes.hpp"
#include "daemon/services/monitor_port.hpp"
#include "daemon/services/node_event.hpp"
#include "daemon/services/svc_clock.hpp"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>

namespace svc {

inline constexpr const char* app_name = "svc_app";

inline constexpr uint32_t mode_inactive = 1;
inline constexpr uint32_t mode_active = 2;
inline constexpr uint32_t mode_exit = 3;  // terminal

// A fault that must not be retried: the daemon aborts.
struct critical_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What an activation works under: taken once, as one snapshot, at its start.
// Threads of an activation keep using their snapshot after a later "ACTIVATE".
struct activation_snapshot {
    std::string session_id;
    uint64_t term = 0;  // the Raft term of the leadership; every save carries it
};

struct svc_app {
    // The abort path of the critical-error, bad-alloc and thread-failure cases.
    using abort_fn = std::function<void()>;

    svc_app(monitor_port& mon, svc_clock& clock, abort_fn abort_process = {});
    svc_app(const svc_app&) = delete;
    svc_app& operator=(const svc_app&) = delete;

    monitor_port& mon;
    svc_clock& clock;
    abort_fn abort_process;

    monitor::app_record record;  // handler doevent, name "svc_app", state word = the mode
    std::atomic<uint32_t> this_nodeid{node_none};

    std::mutex main_mutex;
    std::condition_variable main_cond;
    std::deque<node_event> main_queue;     // guarded by main_mutex
    std::list<postponed_event> postponed;  // newest first; guarded by main_mutex
    // Whether an activation's event loop takes events, so a management request
    // queued now will be handed to a node object; guarded by main_mutex. Set by
    // do_active when its loop starts, cleared by its teardown together with the
    // queue. A request finds it closed while the leader starts up, after a
    // failed activation and while inactive, and is answered at once.
    bool requests_open = false;

    // Node stops the event loop took from main_queue for a node object of the
    // activation and that node has not finished, per node id; guarded by
    // main_mutex, zeroed when an activation starts. With the stops still in
    // main_queue they are what the leader's own exit waits for.
    std::array<int, max_nodes> stops_in_hand{};

    std::atomic<uint32_t> node_count{0};
    std::atomic<bool> ha_mode{false};
    // In HA mode, what this daemon's disk voter and the service manager tell each
    // other about the peer's fencing (not owned; tests point it at their own).
    kelm::ha_fence_link* ha_link = &kelm::daemon_ha_link();
    std::array<std::atomic<bool>, max_nodes> cfg_enabled;
    // Bit n: node n is in the configuration of the current activation.
    std::atomic<uint64_t> configured_nodes{0};
    // Per node id: the mirror of the replicated left-fenced record (left_fenced.hpp).
    std::array<std::atomic<bool>, max_nodes> left_fenced{};
    // Per node id: its offline episodes and the lock that orders a reclaim
    // against the node's return (episodes.hpp).
    node_episodes episodes;

    // The mode word (1 inactive, 2 active, 3 exit).
    uint32_t mode() const { return record.state.load(); }
    // Session id and term of the last "ACTIVATE", read together under main_mutex.
    activation_snapshot snapshot();

    // The monitor's event entry. Never throws.
    void doevent(const std::string& event, const std::string& value) noexcept;

    // Queues (kind, node) with its payload; drops node >= 64 other than 66.
    void post_event(uint32_t kind, uint32_t node, uint64_t episode = 0);
    // main_mutex held by the caller: kind 1 to the front, others to the back; notify-all.
    void queue_push(node_event ev);
    // Adds a delayed event at the front of `postponed` under main_mutex, then
    // notify-all. A service pass, fence retry, resweep or node stop for a node
    // (and episode) that already has one waiting is not added again.
    void postpone_add(uint32_t kind, uint32_t node, int32_t countdown, uint64_t episode = 0);

    // Whether the front of main_queue is a kind-1 event (takes main_mutex).
    bool wake_pending();
    // Whether a stop of a node other than `self` is queued or being handled
    // (takes main_mutex).
    bool other_stops_pending(uint32_t self);
    // The node object of `node` finished a stop it was handed (takes main_mutex).
    void stop_done(uint32_t node);
    // Whether an online event of `node` waits to be handled, in the postponed
    // list (its newest entry there) or in main_queue (takes main_mutex).
    bool return_pending(uint32_t node);

private:
    // Guarded by main_mutex.
    std::string cluster_session_id_;
    uint64_t activation_term_ = 0;

    // Mode changes by compare-and-swap: mode 3 is never left.
    bool set_mode(uint32_t to);
};

// The thread bodies. Each catches what it can throw.
void do_execute(svc_app& app);
void s_postpone(svc_app& app);

// One tick of the postponed list, with main_mutex held: collapses online/offline
// entries per node (newest wins), counts every entry down, and returns the due
// entries removed from the list, newest first.
std::deque<postponed_event> postpone_tick(std::list<postponed_event>& postponed);

// Waits n seconds in 1 s steps of the app's clock; returns early when a kind-1
// event reaches the front of main_queue.
void wait_seconds(svc_app& app, int32_t n);
// Throws unless the reply is an object with "response" and without "error".
void check_reply(const nlohmann::json& reply);
// Asks the own Runner to stop "$cluster-management"; the reply is not examined.
void stop_cluster_management(svc_app& app);

// The daemon's instance; starts do_execute and s_postpone, detached. Called once,
// from a translation unit linked only into kelm, before main.
svc_app& svcapp_start_threads();

}  // namespace svc
