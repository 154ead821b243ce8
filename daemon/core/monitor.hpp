// The node monitor: owns the Raft node and its thread "mon-raft", the replicated
// key/value store, the node map, the application registry and its events, and the
// calls the applications make (monitor_call).
//
// Locking: the log lock covers every use of the command log (each Raft step of
// "mon-raft", the session and leadership-marker appends, set-value's
// index-then-append) and nothing else: it is released before the step's output
// is acted on. The apps mutex is held for a whole event delivery (handlers run
// with it held, so a handler must not register, unregister or raise events). The
// kv mutex guards kv_store; every apply signals kv_cond under it. The node map is
// built before "mon-raft" starts and never changes shape afterwards; its alive
// flags are atomics. Lock order: set-value mutex, then log lock, then kv mutex;
// the apps mutex is never held together with the log lock.
//
// Entries of the monitor's own in the command log:
//  - "cluster-session-id" = a new uuid: appended by a leader with incarnation 0
//    (the first leader of a cluster session); "ACTIVATE" follows when it is applied.
//  - "kelm-leadership" = "<node id>:<term>": appended by a leader with incarnation
//    not 0 before it activates anything, so that "ACTIVATE" comes only once this
//    leader has applied everything its predecessors committed. No application
//    reads the key.
//
// Daemon instances: each daemon draws a random instance when it starts and sends
// it with every append response. A leader tells its applications "NODE-INSTANCE"
// ("<node id>:<instance>", decimal) the first time it hears a peer's instance in
// its leadership and whenever it changes (the peer's daemon restarted, perhaps
// with its host, and perhaps faster than the liveness time-out could notice);
// the node replay after "ACTIVATE" ends with one for this node and for every peer
// heard so far. A restart is thus seen even when no liveness notice ever marks
// the node down.
#pragma once

#include "daemon/core/log.hpp"
#include "daemon/core/mq.hpp"
#include "daemon/core/raft_clock.hpp"
#include "daemon/core/raft_node.hpp"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace monitor {

// An application's registration. Owned by the application (static storage); the
// monitor keeps only a pointer. The state word is the application's own.
struct app_record {
    std::function<void(const std::string& event, const std::string& value)> handler;
    const char* name = "";
    std::atomic<uint32_t> state{1};
    // Whether the application writes the replicated store while it finishes after
    // "EXIT" (the service manager recording its last actions): an exiting leader
    // keeps its leadership until every such application has unregistered.
    bool needs_leadership = true;
};

struct monitor_node {
    std::string address;  // Runner address; empty for an entry that is not a node
    uint16_t port = 0;
    bool configured = false;  // registered with a Runner endpoint
    std::atomic<bool> alive{false};
    // The daemon instance (raft_msg.hpp) heard from this node during this node's
    // current leadership, 0 while none was heard; for this node itself, its own.
    // Written by "mon-raft" only.
    std::atomic<uint64_t> instance{0};
};

inline constexpr const char* SESSION_KEY = "cluster-session-id";
inline constexpr const char* LEADERSHIP_KEY = "kelm-leadership";

class node_monitor {
public:
    // What a test may replace; the daemon uses the defaults.
    struct hooks {
        raft::raft_clock* clock = nullptr;         // default: the steady clock
        raft::random_source* random = nullptr;     // default: /dev/urandom
        std::function<void(int)> exit;             // default: platform::process_exit
        std::function<bool(const std::string&, int32_t)> sysctl;  // default: platform::sysctl_set_int
        std::chrono::milliseconds stop_grace{2000};        // monitor_stop's pause
        std::chrono::milliseconds register_poll{200};      // register_app's wait for start
        std::chrono::milliseconds runner_call_timeout{300000};
        // Three election rounds (5-6 s each): a pending stop waits this long for a
        // new leader before the daemon exits without one.
        std::chrono::milliseconds stop_leaderless_grace{18000};
        bool run_thread = true;  // false: the test steps the monitor itself with run_once()
    };

    node_monitor();
    explicit node_monitor(hooks h);
    node_monitor(const node_monitor&) = delete;
    node_monitor& operator=(const node_monitor&) = delete;
    ~node_monitor();

    // How long a Runner call may take (the daemon keeps 300 s). Before start only.
    void set_runner_call_timeout(std::chrono::milliseconds t) { hooks_.runner_call_timeout = t; }

    void register_runner(uint32_t id, const std::string& addr, int port);
    void start(uint32_t own_id, raft::log_t* log, raft::mq_t* rx_queue,
               std::vector<raft::mq_t*>* transport_queues, const nlohmann::json* config);
    void register_app(app_record* app);
    void unregister_app(app_record* app);
    void signal(int signo);
    // A stop signal stays pending until the daemon exits: when the way to the
    // leader changes (this node leads now, or another node leads) it is handed on
    // again as if it had just arrived, and when no leader has been known for
    // `stop_leaderless_grace` the daemon exits as for a signal without a leader.
    // A leader that went away before it carried out this node's stop must not
    // leave the node running; the grace lets an election that follows bring a
    // leader that stops the node's services first. Called by the main loop.
    void recheck_stop();
    bool exit_requested() const { return exit_requested_.load(); }
    void stop();
    void event(const std::string& name, const std::string& value);
    void send(uint32_t type, uint32_t to);

    void call(uint32_t node_id, const std::string& cmd, nlohmann::json& io);
    // Appends key=value and waits until it is applied. With `term`, only while
    // this node leads in exactly that term.
    bool set_value(const std::string& key, const std::string& value, std::optional<uint64_t> term = std::nullopt);
    void remote_call(uint32_t node_id, const std::string& cmd, nlohmann::json& io);

    // One pass of "mon-raft" for a received record (a TICK on time-out). False when
    // the thread is to end. Only the stepping thread (or a test without it) calls it.
    bool run_once(const raft::raft_msg_t& in);
    // The receive time-out of the current state.
    uint32_t receive_timeout_ms() const;
    // What "mon-raft" does with one output record of the Raft node (public so tests
    // can hand it notices directly).
    void act_on(const raft::raft_msg_t& out);

    // Readable from any thread.
    // From start to stop; calls outside that answer "EMONITOR". The Raft node and
    // everything else a call reads stay until the monitor is destroyed (the
    // daemon's never is), so a call that races stop reads nothing freed.
    bool started() const { return started_.load(); }
    uint32_t own_id() const { return own_id_; }
    uint32_t state() const { return node_ ? node_->state() : raft::FOLLOWER; }
    uint64_t term() const { return node_ ? node_->term() : 0; }
    uint32_t leader() const { return node_ ? node_->leader() : raft::LEADER_NONE; }
    // This daemon's instance (drawn by start; 0 before).
    uint64_t instance() const { return instance_; }
    // This node leads in `term` and a majority of the cluster answered an append
    // request it sent less than the shortest election time-out ago: no other
    // node can lead yet. A paused or cut-off leader loses it before anyone else
    // can be elected.
    bool leader_lease_held(uint64_t term) const;
    std::optional<std::string> kv_get(const std::string& key);
    // Node map entry, or null; the map does not change shape once started.
    const monitor_node* node(uint32_t id) const;

private:
    void thread_main();
    static void* thread_entry(void* self);
    void on_state_changed(const raft::raft_msg_t& m);
    void on_node_status(const raft::raft_msg_t& m);
    void on_rewind(const raft::raft_msg_t& m);
    void on_apply(const raft::raft_msg_t& m);
    void note_peer_instance(const raft::raft_msg_t& in);
    void append_own_entry(const std::string& key, const std::string& value);
    void copy_to_ha(const raft::raft_msg_t& m);
    void post_to(uint32_t tag, const raft::raft_msg_t& m);
    void notify_app(app_record* app, const std::string& ev, const std::string& val);
    void request_exit(int status);
    void reply_error(nlohmann::json& io, const char* code, const std::string& text);

    hooks hooks_;
    std::unique_ptr<raft::raft_clock> own_clock_;
    std::unique_ptr<raft::random_source> own_random_;

    raft::mq_t* rx_queue_ = nullptr;
    std::vector<raft::mq_t*>* tx_queues_ = nullptr;
    raft::log_t* log_ = nullptr;
    std::unique_ptr<raft::raft_node_t> node_;
    pthread_t thread_{};
    bool thread_running_ = false;
    uint32_t own_id_ = raft::NODE_NONE;
    uint64_t instance_ = 0;
    nlohmann::json config_;
    bool self_fencing_ = false;

    std::atomic<bool> started_{false};
    std::atomic<bool> exit_requested_{false};

    std::mutex log_mutex_;
    std::mutex set_value_mutex_;

    std::mutex apps_mutex_;
    std::list<std::pair<bool, app_record*>> apps_;
    // The last stop signal and where it went (own id when leading, the leader's
    // id, or LEADER_NONE); written and read by the main thread only.
    int pending_stop_ = 0;
    uint32_t stop_route_ = raft::LEADER_NONE;
    int64_t leaderless_since_ns_ = -1;  // while a stop is pending and no leader is known
    // When "mon-raft" last took an append request from the leader it names
    // (-1: never); written by "mon-raft", read by the main thread.
    std::atomic<int64_t> leader_heard_ns_{-1};
    // The leader this node's stop goes to: itself when leading; the leader its
    // Raft node names, unless that leader has been silent for the leader-contact
    // time-out: LEADER_NONE then. A follower that may not stand for election
    // keeps naming a leader that went away until another one appends.
    uint32_t known_leader() const;
    uint32_t stop_route() const;
    // The stop of a node that knows no leader: "EXIT" at once.
    void exit_without_leader();

    bool exit_raised_ = false;  // "EXIT" was delivered: late registrations get it too
    // From "EXIT" on the node stands for no election, and gives up its leadership
    // once no registered application needs it (`leadership_unneeded_`), so that
    // another node leads while this daemon finishes what it holds: "mon-raft"
    // makes the Raft node resign (`resigned_` is its own). Both flags are set
    // under the apps mutex.
    std::atomic<bool> exiting_{false};
    std::atomic<bool> leadership_unneeded_{false};
    bool resigned_ = false;
    void resign_if_exiting();
    void note_leadership_need();  // apps mutex held
    // Between "ACTIVATE" and "ABORT". A stop request that comes before it (a new
    // leader still committing its marker) is held, one per value, and delivered
    // after the activation's node replay: a stop must not be lost in a failover.
    bool activated_ = false;
    std::vector<std::string> held_stops_;

    std::mutex kv_mutex_;
    std::condition_variable kv_cond_;
    std::map<std::string, std::string> kv_store_;

    std::map<uint32_t, monitor_node> nodes_;

    // The entry of this leadership whose apply raises "ACTIVATE" ("mon-raft" only).
    std::optional<std::pair<std::string, std::string>> activate_on_;
    std::vector<raft::raft_msg_t> out_;
};

// The daemon's one monitor; the free functions below delegate to it.
node_monitor& instance();

void monitor_register_runner(uint32_t id, const std::string& addr, int port);
void monitor_start(uint32_t own_id, raft::log_t* log, raft::mq_t* rx_queue,
                   std::vector<raft::mq_t*>* transport_queues, const nlohmann::json* config);
void monitor_register_app(app_record* app);
void monitor_unregister_app(app_record* app);
void monitor_signal(int signo);
void monitor_recheck_stop();
bool monitor_exit_requested();
void monitor_stop();
void monitor_event(const std::string& name, const std::string& value);
void monitor_send(uint32_t type, uint32_t to);
void monitor_call(uint32_t node_id, const std::string& cmd, nlohmann::json& io);
bool monitor_set_value(const std::string& key, const std::string& value);
void monitor_remote_call(uint32_t node_id, const std::string& cmd, nlohmann::json& io);

}  // namespace monitor
