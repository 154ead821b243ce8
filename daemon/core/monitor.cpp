// Node monitor: start-up, the thread "mon-raft" and what it does with the Raft
// node's output, the application registry and its events, stop signals and stop.
// Locking rules are in monitor.hpp.
#include "daemon/core/monitor.hpp"

#include "config/cluster_config.hpp"
#include "platform/process.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <thread>

namespace monitor {

using namespace raft;

node_monitor::node_monitor() : node_monitor(hooks{}) {}

bool node_monitor::leader_lease_held(uint64_t term) const
{
    if (!node_ || node_->state() != LEADER || node_->term() != term)
        return false;
    const int64_t contact = node_->majority_contact_ns();
    return contact >= 0 && hooks_.clock->now_ns() - contact < static_cast<int64_t>(ELECTION_BASE_NS);
}

node_monitor::node_monitor(hooks h) : hooks_(std::move(h))
{
    if (hooks_.clock == nullptr) {
        own_clock_ = std::make_unique<steady_raft_clock>();
        hooks_.clock = own_clock_.get();
    }
    if (hooks_.random == nullptr) {
        own_random_ = std::make_unique<urandom_source>();
        hooks_.random = own_random_.get();
    }
    if (!hooks_.exit)
        hooks_.exit = [](int status) { platform::process_exit(status); };
    if (!hooks_.sysctl)
        hooks_.sysctl = [](const std::string& name, int32_t v) { return platform::sysctl_set_int(name, v); };
}

node_monitor::~node_monitor()
{
    if (thread_running_) {
        raft_msg_t stop = make_msg(STOP_THREAD, 0, 0, 0);
        mq_push(rx_queue_, &stop);
        pthread_join(thread_, nullptr);
    }
}

void node_monitor::register_runner(uint32_t id, const std::string& addr, int port)
{
    spdlog::debug("[monitor] register runner id: {}, addr: {}, port: {}", id, addr, port);
    auto& n = nodes_[id];
    n.address = addr;
    n.port = static_cast<uint16_t>(port);
    n.configured = true;
    n.alive.store(false);
}

void node_monitor::start(uint32_t own_id, log_t* log, mq_t* rx_queue, std::vector<mq_t*>* transport_queues,
                         const nlohmann::json* config)
{
    spdlog::info("[monitor] started");
    config_ = config ? *config : nlohmann::json();
    rx_queue_ = rx_queue;
    tx_queues_ = transport_queues;
    log_ = log;
    own_id_ = own_id;
    {
        std::lock_guard lk(log_mutex_);
        node_ = std::make_unique<raft_node_t>(own_id, log, hooks_.clock, hooks_.random);
    }
    // Start-up has refused a configuration with mistyped values, so the strict
    // readers do not throw here; nodes are walked the one way the configuration
    // module offers, whether they are written as an array or an object.
    self_fencing_ = config::read_cluster(config_).self_fencing;
    if (self_fencing_)
        node_->set_self_fencing(true);
    bool leadership_disabled = false;
    for (const auto& n : config::entries(config_, "nodes")) {
        if (config::int_or(n, "id", -1) == static_cast<int64_t>(own_id)) {
            leadership_disabled = config::value_or<bool>(n, "leadership_disabled", false);
            break;
        }
    }
    node_->set_leadership_disabled(leadership_disabled);
    spdlog::info("[monitor] node_id: {} self-fencing: {} leadership: {}", own_id, self_fencing_ ? "on" : "off",
                 leadership_disabled ? "disabled" : "enabled");
    nodes_[own_id].alive.store(true);
    // Never 0, which reads as "not told".
    instance_ = hooks_.random->draw(UINT64_MAX);
    nodes_[own_id].instance.store(instance_);
    spdlog::info("[monitor] daemon instance {}", instance_);
    // Every transport peer gets its entry now (the HA endpoint's included), so the
    // map never changes shape while other threads read it.
    for (mq_t* q : *tx_queues_) {
        nodes_[q->tag];
        node_->raft_add_neighbour(q->tag);
    }
    {
        std::lock_guard lk(log_mutex_);
        std::lock_guard kv(kv_mutex_);
        for (uint64_t i = 1; i <= node_->last_applied(); ++i) {
            log_entry_t e = log->get(i);
            kv_store_[e.key] = e.value;
        }
    }
    started_.store(true);
    if (hooks_.run_thread) {
        thread_ = platform::thread_start(&node_monitor::thread_entry, this, "mon-raft");
        thread_running_ = true;
    } else {
        std::lock_guard lk(log_mutex_);
        node_->raft_reset_election_timer();
    }
}

void* node_monitor::thread_entry(void* self)
{
    static_cast<node_monitor*>(self)->thread_main();
    return nullptr;
}

uint32_t node_monitor::receive_timeout_ms() const { return state() == LEADER ? 5 : 50; }

void node_monitor::thread_main()
{
    try {
        spdlog::info("[monitor] raft thread started");
        {
            std::lock_guard lk(log_mutex_);
            node_->raft_reset_election_timer();
        }
        for (;;) {
            raft_msg_t in;
            if (mq_pop(rx_queue_, &in, receive_timeout_ms()) != 0)
                in = make_msg(TICK, 0, 0, node_->term());
            if (!run_once(in))
                return;
        }
    } catch (const std::exception& e) {
        spdlog::critical("[monitor] raft thread failed: {}", e.what());
        request_exit(1);
    } catch (...) {
        spdlog::critical("[monitor] raft thread failed");
        request_exit(1);
    }
}

// An exiting daemon takes no leadership, and keeps it only while an application
// still needs it to record what it finishes (the service manager's last stops):
// a leader whose endpoint alone still answers requests (a Runner call may take
// minutes) would otherwise hold the cluster without a service manager behind
// it. A candidate gives up at once. It still votes and follows.
void node_monitor::resign_if_exiting()
{
    if (resigned_ || !exiting_.load() || (state() == LEADER && !leadership_unneeded_.load()))
        return;
    resigned_ = true;
    spdlog::info("[monitor] exiting: this node gives up leadership and no longer stands for it");
    out_.clear();
    {
        std::lock_guard lk(log_mutex_);
        node_->raft_resign(out_);
    }
    for (const auto& m : out_)
        act_on(m);
}

bool node_monitor::run_once(const raft_msg_t& in)
{
    resign_if_exiting();
    switch (in.type) {
    case STOP_NODE: event("NODE-STOP", std::to_string(in.from)); return true;
    case STOP_CLUSTER: event("NODE-STOP", "66"); return true;
    case STOP_THREAD: spdlog::info("[monitor] raft thread stopped"); return false;
    case EXIT:
        spdlog::info("[monitor] RPC EXIT received");
        event("EXIT", "");
        exit_requested_.store(true);
        return true;
    default: break;
    }
    if (in.type == APPEND_RESPONSE)
        note_peer_instance(in);
    out_.clear();
    int rc;
    {
        std::lock_guard lk(log_mutex_);
        rc = node_->raft_on_message(in, out_);
    }
    if (in.type == APPEND_REQUEST && in.from != own_id_ && node_->leader() == in.from)
        leader_heard_ns_.store(hooks_.clock->now_ns());
    if (rc < 0) {
        spdlog::error("[monitor] RAFT FSM error");
        request_exit(1);
        return false;
    }
    for (const auto& m : out_)
        act_on(m);
    return true;
}

void node_monitor::request_exit(int status) { hooks_.exit(status); }

void node_monitor::post_to(uint32_t tag, const raft_msg_t& m)
{
    for (mq_t* q : *tx_queues_)
        if (q->tag == tag)
            mq_push(q, &m);
}

void node_monitor::copy_to_ha(const raft_msg_t& m) { post_to(NODE_HA, m); }

void node_monitor::act_on(const raft_msg_t& m)
{
    switch (m.type) {
    case 0:
    case NODE_SYNCED: return;
    case STATE_CHANGED: on_state_changed(m); return;
    case NODE_STATUS: on_node_status(m); return;
    case FSM_APPLY: on_apply(m); return;
    case FSM_REWIND: on_rewind(m); return;
    case PRE_VOTE_REQUEST:
    case VOTE_REQUEST:
    case VOTE_RESPONSE:
    case APPEND_REQUEST: post_to(m.to, m); return;
    case APPEND_RESPONSE: {
        raft_msg_t stamped = m;
        set_sender_instance(stamped, instance_);
        post_to(m.to, stamped);
        return;
    }
    default:
        spdlog::error("[monitor] Unknown RPC type: {}\n", m.type);
        request_exit(1);
    }
}

// Appended by "mon-raft" itself under the log lock, never through set_value, which
// waits for "mon-raft" to apply it.
void node_monitor::append_own_entry(const std::string& key, const std::string& value)
{
    std::lock_guard lk(log_mutex_);
    log_entry_t e = log_entry_init(log_->last_index() + 1, node_->term(), key, value);
    log_->append(e);
    activate_on_ = std::make_pair(key, value);
}

void node_monitor::on_state_changed(const raft_msg_t& m)
{
    const auto& sc = m.body.state_changed;
    spdlog::info("[monitor] state changed {} -> {}", raft_state_name(sc.old_state), raft_state_name(sc.new_state));
    if (sc.new_state != LEADER)
        activate_on_.reset();
    if (sc.new_state == LEADER) {
        // What was heard in an earlier leadership may be out of date: a peer's
        // instance counts once heard in this one.
        for (auto& [id, n] : nodes_)
            if (id != own_id_)
                n.instance.store(0);
        if (sc.incarnation == 0)
            append_own_entry(SESSION_KEY, platform::make_uuid());
        else
            append_own_entry(LEADERSHIP_KEY, std::to_string(own_id_) + ":" + std::to_string(m.term));
    }
    if (sc.new_state == FOLLOWER && sc.old_state != FOLLOWER)
        event("ABORT", "");
    if (self_fencing_ && sc.new_state == FOLLOWER) {
        // A leader that resigns because its daemon exits is not deposed: its
        // node's services were stopped or moved before the exit was asked for.
        const bool deposed = sc.old_state == LEADER && sc.reason != REASON_RESIGN;
        // A failed trial fences only an isolated node: one that heard from fewer
        // than a majority of its peers. A node whose pre-vote was merely refused
        // (its log is behind) is not cut off, and fencing it would take a healthy
        // cluster below majority.
        const bool isolated_trial = sc.old_state == PRE_CANDIDATE && sc.reason == REASON_TIMEOUT &&
                                    sc.incarnation != 0 && state_changed_heard(m) < node_->majority();
        if (deposed || isolated_trial) {
            spdlog::warn("[monitor] SELF-FENCING: {} -> {} reason: {} incarnation: {}", raft_state_name(sc.old_state),
                         raft_state_name(sc.new_state), sc.reason, sc.incarnation);
            hooks_.sysctl("debug.kdb.panic", 1);
            request_exit(0);
            return;
        }
    }
    copy_to_ha(m);
}

void node_monitor::on_node_status(const raft_msg_t& m)
{
    const bool alive = m.body.flag != 0;
    spdlog::info("[monitor] node {} {}", m.from, alive ? "alive" : "died");
    auto it = nodes_.find(m.from);
    if (it != nodes_.end())
        it->second.alive.store(alive);
    if (m.from != NODE_HA)
        event(alive ? "NODE-ONLINE" : "NODE-OFFLINE", std::to_string(m.from));
    copy_to_ha(m);
}

// Before the Raft node steps: a response of the current term to this leader,
// from a configured node, carrying an instance not heard from it in this
// leadership.
void node_monitor::note_peer_instance(const raft_msg_t& in)
{
    const uint64_t inst = sender_instance(in);
    if (inst == 0 || state() != LEADER || in.term != term() || in.from == own_id_ || in.from == NODE_HA)
        return;
    auto it = nodes_.find(in.from);
    if (it == nodes_.end() || !it->second.configured || it->second.instance.exchange(inst) == inst)
        return;
    spdlog::info("[monitor] node {} daemon instance {}", in.from, inst);
    event("NODE-INSTANCE", std::to_string(in.from) + ":" + std::to_string(inst));
}

void node_monitor::on_apply(const raft_msg_t& m)
{
    // Both texts are NUL-terminated within their fields; never read past them.
    std::string key(m.body.apply.key, strnlen(m.body.apply.key, KEY_SIZE));
    std::string value(m.body.apply.value, strnlen(m.body.apply.value, VALUE_SIZE));
    {
        std::lock_guard lk(kv_mutex_);
        kv_store_[key] = value;
    }
    kv_cond_.notify_all();
    if (activate_on_ && state() == LEADER && activate_on_->first == key && activate_on_->second == value) {
        activate_on_.reset();
        event("ACTIVATE", "");
    }
}

// Entries this follower applied were withdrawn (a pair's disk-only commits that
// the leader of a later term never had): the store is rebuilt from what is left,
// as at start-up; the leader's entries follow as FSM_APPLY.
void node_monitor::on_rewind(const raft_msg_t& m)
{
    const uint64_t upto = m.body.rewind_to;
    {
        std::lock_guard lk(log_mutex_);
        std::lock_guard kv(kv_mutex_);
        kv_store_.clear();
        for (uint64_t i = 1; i <= upto; ++i) {
            log_entry_t e = log_->get(i);
            kv_store_[std::string(e.key, strnlen(e.key, KEY_SIZE))] = std::string(e.value, strnlen(e.value, VALUE_SIZE));
        }
    }
    spdlog::warn("[monitor] applied entries after {} were withdrawn: state rebuilt from entries 1..{}", upto, upto);
    kv_cond_.notify_all();
}

std::optional<std::string> node_monitor::kv_get(const std::string& key)
{
    std::lock_guard lk(kv_mutex_);
    auto it = kv_store_.find(key);
    if (it == kv_store_.end())
        return std::nullopt;
    return it->second;
}

const monitor_node* node_monitor::node(uint32_t id) const
{
    auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : &it->second;
}

void node_monitor::notify_app(app_record* app, const std::string& ev, const std::string& val)
{
    spdlog::debug("[monitor] notify app: '{}' ev: '{}' val: '{}'", app->name, ev, val);
    try {
        if (app->handler)
            app->handler(ev, val);
    } catch (const std::exception& e) {
        spdlog::error("[monitor] app '{}' failed on '{}': {}", app->name, ev, e.what());
    }
}

void node_monitor::event(const std::string& name, const std::string& value)
{
    std::lock_guard lk(apps_mutex_);
    if (name == "EXIT") {
        exit_raised_ = true;
        exiting_.store(true);
    }
    if (name == "NODE-STOP" && !activated_) {
        const bool covered = std::find(held_stops_.begin(), held_stops_.end(), value) != held_stops_.end() ||
                             std::find(held_stops_.begin(), held_stops_.end(), "66") != held_stops_.end();
        if (!covered) {
            held_stops_.push_back(value);
            spdlog::info("[monitor] NODE-STOP {} held until activation", value);
        }
        return;
    }
    if (name == "ACTIVATE")
        activated_ = true;
    else if (name == "ABORT")
        activated_ = false;
    for (auto& [active, app] : apps_) {
        if (name == "ABORT") {
            if (active)
                notify_app(app, name, value);
            active = false;
        } else if (name == "ACTIVATE") {
            active = true;
            notify_app(app, name, kv_get(SESSION_KEY).value_or(""));
            for (const auto& [id, n] : nodes_)
                if (id != NODE_HA && n.alive.load())
                    notify_app(app, "NODE-ONLINE", std::to_string(id));
            for (const auto& [id, n] : nodes_)
                if (id != NODE_HA && !n.alive.load())
                    notify_app(app, "NODE-OFFLINE", std::to_string(id));
            for (const auto& [id, n] : nodes_)
                if (id != NODE_HA && n.instance.load() != 0)
                    notify_app(app, "NODE-INSTANCE", std::to_string(id) + ":" + std::to_string(n.instance.load()));
        } else if (name == "EXIT") {
            notify_app(app, name, value);
        } else if (active) {
            notify_app(app, name, value);
        }
    }
    if (name == "EXIT")
        note_leadership_need();
    if (name == "ACTIVATE") {
        for (const auto& held : held_stops_)
            for (auto& [active, app] : apps_)
                if (active)
                    notify_app(app, "NODE-STOP", held);
        held_stops_.clear();
    }
}

void node_monitor::register_app(app_record* app)
{
    while (!started_.load())
        std::this_thread::sleep_for(hooks_.register_poll);
    std::lock_guard lk(apps_mutex_);
    apps_.emplace_back(false, app);
    spdlog::debug("[monitor] app '{}' registered", app->name);
    // The daemon is already on its way out: without "EXIT" this application would
    // never unregister and monitor_stop would wait for ever.
    if (exit_raised_)
        notify_app(app, "EXIT", "");
}

void node_monitor::unregister_app(app_record* app)
{
    std::lock_guard lk(apps_mutex_);
    apps_.remove_if([app](const auto& e) { return e.second == app; });
    spdlog::debug("[monitor] app '{}' unregistered", app->name);
    note_leadership_need();
}

void node_monitor::note_leadership_need()
{
    if (!exit_raised_ || leadership_unneeded_.load())
        return;
    for (const auto& [active, app] : apps_)
        if (app->needs_leadership)
            return;
    leadership_unneeded_.store(true);
    if (rx_queue_ != nullptr) {
        raft_msg_t wake = make_msg(TICK, 0, 0, 0);  // "mon-raft" resigns at its next step
        mq_push(rx_queue_, &wake);
    }
}

void node_monitor::send(uint32_t type, uint32_t to)
{
    raft_msg_t m = make_msg(type, to, own_id_, term());
    if (to == NODE_ALL) {
        for (mq_t* q : *tx_queues_) {
            m.to = q->tag;
            mq_push(q, &m);
        }
        return;
    }
    for (mq_t* q : *tx_queues_) {
        if (q->tag == to) {
            mq_push(q, &m);
            return;
        }
    }
}

void node_monitor::signal(int signo)
{
    uint32_t target;
    uint32_t type;
    if (signo == SIGINT || signo == SIGTERM) {
        target = own_id_;
        type = STOP_NODE;
    } else if (signo == SIGQUIT) {
        target = NODE_ALL;
        type = STOP_CLUSTER;
    } else {
        request_exit(1);
        return;
    }
    pending_stop_ = signo;
    stop_route_ = state() == LEADER ? own_id_ : leader();  // where the stop goes
    if (state() == LEADER) {
        event("NODE-STOP", std::to_string(target));
        return;
    }
    // A leader this node still names but has not heard from lately gets the
    // stop all the same (it may only be slow); if it went away, recheck_stop
    // sees no leader and gives an election its grace.
    const uint32_t leader_id = leader();
    if (leader_id != LEADER_NONE) {
        raft_msg_t m = make_msg(type, leader_id, own_id_, term());
        post_to(leader_id, m);
        spdlog::warn("[monitor] Send stop to {}", leader_id);
        return;
    }
    exit_without_leader();
}

void node_monitor::exit_without_leader()
{
    spdlog::warn("[monitor] Leader not found, exit immediately");
    event("EXIT", "");
    exit_requested_.store(true);
}

uint32_t node_monitor::known_leader() const
{
    const uint32_t l = leader();
    if (l == LEADER_NONE || l == own_id_)
        return l;
    const int64_t heard = leader_heard_ns_.load();
    if (heard < 0 || hooks_.clock->now_ns() - heard >= LEADER_CONTACT_NS)
        return LEADER_NONE;
    return l;
}

uint32_t node_monitor::stop_route() const { return state() == LEADER ? own_id_ : known_leader(); }

void node_monitor::recheck_stop()
{
    const uint32_t route = stop_route();
    if (pending_stop_ == 0 || exit_requested())
        return;
    if (route == stop_route_) {
        leaderless_since_ns_ = -1;  // the leader it went to is heard again
        return;
    }
    if (route == LEADER_NONE) {
        const int64_t now = hooks_.clock->now_ns();
        if (leaderless_since_ns_ < 0)
            leaderless_since_ns_ = now;
        const auto grace = std::chrono::duration_cast<std::chrono::nanoseconds>(hooks_.stop_leaderless_grace);
        if (now - leaderless_since_ns_ < grace.count())
            return;
    }
    leaderless_since_ns_ = -1;
    if (route == LEADER_NONE) {
        exit_without_leader();
        return;
    }
    spdlog::warn("[monitor] Leader changed while a stop was pending: stop again");
    signal(pending_stop_);
}

void node_monitor::stop()
{
    for (;;) {
        {
            std::lock_guard lk(apps_mutex_);
            if (apps_.empty())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(hooks_.stop_grace);
    if (thread_running_) {
        raft_msg_t stop = make_msg(STOP_THREAD, 0, 0, 0);
        mq_push(rx_queue_, &stop);
        pthread_join(thread_, nullptr);
        thread_running_ = false;
    }
    // The Raft node, the queues and the node map stay until the process ends: an
    // application thread may still be inside a call that reads them. Calls that
    // begin from now on are refused.
    started_.store(false);
    spdlog::info("[monitor] stopped");
}

node_monitor& instance()
{
    static node_monitor* m = new node_monitor();  // never destroyed: threads may outlive main
    return *m;
}

void monitor_register_runner(uint32_t id, const std::string& addr, int port)
{
    instance().register_runner(id, addr, port);
}
void monitor_start(uint32_t own_id, log_t* log, mq_t* rx_queue, std::vector<mq_t*>* transport_queues,
                   const nlohmann::json* config)
{
    instance().start(own_id, log, rx_queue, transport_queues, config);
}
void monitor_register_app(app_record* app) { instance().register_app(app); }
void monitor_unregister_app(app_record* app) { instance().unregister_app(app); }
void monitor_signal(int signo) { instance().signal(signo); }
void monitor_recheck_stop() { instance().recheck_stop(); }
bool monitor_exit_requested() { return instance().exit_requested(); }
void monitor_stop() { instance().stop(); }
void monitor_event(const std::string& name, const std::string& value) { instance().event(name, value); }
void monitor_send(uint32_t type, uint32_t to) { instance().send(type, to); }
void monitor_call(uint32_t node_id, const std::string& cmd, nlohmann::json& io) { instance().call(node_id, cmd, io); }
bool monitor_set_value(const std::string& key, const std::string& value) { return instance().set_value(key, value); }
void monitor_remote_call(uint32_t node_id, const std::string& cmd, nlohmann::json& io)
{
    instance().remote_call(node_id, cmd, io);
}

}  // namespace monitor
