// The cluster simulator: event queue, network, faults and the safety and
// liveness checkers. Single-threaded.
#include "daemon/core/raft_sim.hpp"

#include "daemon/core/memory_log.hpp"
#include "daemon/core/raft_node.hpp"
#include "daemon/core/raft_sim_disks.hpp"
#include "reservation/haresv_core.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <queue>
#include <set>
#include <string_view>

namespace raft::sim {

namespace {

// splitmix64: small, fast and the same everywhere, so a seed replays anywhere.
struct rng {
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }
    int64_t between(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(below(static_cast<uint64_t>(hi - lo + 1))); }
    bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }
};

class sim_clock : public raft_clock {
public:
    explicit sim_clock(const int64_t* now) : now_(now) {}
    int64_t now_ns() override { return *now_; }

private:
    const int64_t* now_;
};

class sim_random : public random_source {
public:
    explicit sim_random(uint64_t seed) : r_{seed} {}
    uint64_t draw(uint64_t range) override { return 1 + r_.below(range); }

private:
    rng r_;
};

enum class ev : uint8_t {
    deliver, tick, crash, restart, partition, isolate, heal, pause, resume, propose, ha_run, ha_tick, disk_fault
};

// The fault events; they stop at the heal.
bool is_fault(ev k)
{
    return k == ev::crash || k == ev::restart || k == ev::partition || k == ev::isolate || k == ev::heal ||
           k == ev::pause || k == ev::resume || k == ev::disk_fault;
}

constexpr int LEADER_NOW = -2;  // a fault's node: whichever node leads when it fires

// Partition shapes (the arg of ev::partition) and cut directions (ev::isolate).
constexpr uint32_t SPLIT = 0, ISOLATE_ONE = 1, ONE_WAY_LINKS = 2, ONE_WAY_NODE = 3;
constexpr uint32_t CUT_BOTH = 0, CUT_IN = 1, CUT_OUT = 2;
// Disk faults (the arg of ev::disk_fault).
constexpr uint32_t DISK_PATH_LOST = 0, DISK_REFUSES = 1, DISK_SLOW = 2;

struct event {
    int64_t time;
    uint64_t seq;
    ev kind;
    int node;      // index, -1 for none, or LEADER_NOW
    uint64_t gen;  // the process generation a tick, pause or resume belongs to
    uint32_t arg;  // deliver: message slot; crash: 1 when it loses what was not synced;
                   // partition: shape; isolate: direction
};

struct later {
    bool operator()(const event& a, const event& b) const
    {
        return a.time != b.time ? a.time > b.time : a.seq > b.seq;
    }
};

struct sim_node {
    uint32_t id = 0;
    memory_log_t log;
    sim_random rnd{0};
    std::unique_ptr<raft_node_t> raft;
    bool up = false;
    bool paused = false;
    bool leadership_disabled = false;
    std::vector<uint32_t> parked;  // message slots that arrived while paused, in order
    uint64_t gen = 0;
    uint64_t applied = 0;      // FSM_APPLY records seen (after restart: last_applied)
    uint64_t commit_seen = 0;  // commit index already recorded as committed
    // Pairs: commits up to skip_upto were recorded before a takeover in term
    // skip_term withdrew them; seen again they are not new.
    uint64_t skip_upto = 0;
    uint64_t skip_term = 0;
    uint64_t ghost_held = 0;   // the log holds the committed entries 1..ghost_held
    uint32_t last_state = FOLLOWER;
    int64_t leader_since = 0;  // when it last became leader
    // Pairs: the node's HA disk voter and its input queue (records from the
    // node's Raft thread, handled in order).
    std::unique_ptr<transport::haresv_core> ha;
    std::deque<raft_msg_t> ha_inbox;
    // The voter waits for a slow disk's answer until then: it takes no record
    // and its replies leave only then.
    int64_t ha_busy_until = 0;
};

// The voter's thread and the Raft thread meet through in-process queues: a
// record between them takes this long, always, so each queue stays in order.
constexpr int64_t LOCAL_DELAY_NS = 200'000;
// The voter's receive time-out.
constexpr int64_t HA_TICK_NS = 100 * MS;
// A process stopped while it led wakes believing what it believed; its voter
// re-reads the disks at its first step (the 1 s timer has long expired) and
// the refusal it posts reaches the Raft thread within milliseconds. Two nodes
// may both lead on the disks for that long, no longer.
constexpr int64_t DISK_LEADER_OVERLAP_NS = 1500 * MS;

// A committed entry as first seen committed, and the committer's term then.
struct ghost_entry {
    log_entry_t entry;
    uint64_t commit_term;
    uint64_t holders = 0;  // bit id - 1: nodes whose log has held it
    int64_t committed_at = 0;
};

// A UDP socket buffer holds this many records of a stopped process.
constexpr size_t PARKED_LIMIT = 256;
// Records in transit beyond every node's full socket buffer that make a storm.
constexpr size_t STORM_MARGIN = 1000;

bool same_entry(const log_entry_t& a, const log_entry_t& b)
{
    return a.index == b.index && a.term == b.term && std::memcmp(a.key, b.key, KEY_SIZE) == 0 &&
           std::memcmp(a.value, b.value, VALUE_SIZE) == 0;
}

std::string entry_text(const log_entry_t& e)
{
    return fmt::format("({},{}) {}={}", e.index, e.term, std::string_view(e.key, strnlen(e.key, KEY_SIZE)),
                       std::string_view(e.value, strnlen(e.value, VALUE_SIZE)));
}

std::string apply_text(const raft_msg_t& m)
{
    return fmt::format("{}={}", std::string_view(m.body.apply.key, strnlen(m.body.apply.key, KEY_SIZE)),
                       std::string_view(m.body.apply.value, strnlen(m.body.apply.value, VALUE_SIZE)));
}

std::string kv_text(const log_entry_t& e)
{
    return fmt::format("{}={}", std::string_view(e.key, strnlen(e.key, KEY_SIZE)),
                       std::string_view(e.value, strnlen(e.value, VALUE_SIZE)));
}

const char* type_name(uint32_t t)
{
    switch (t) {
    case PRE_VOTE_REQUEST: return "PRE_VOTE";
    case VOTE_REQUEST: return "VOTE";
    case VOTE_RESPONSE: return "VOTE_RESP";
    case APPEND_REQUEST: return "APPEND";
    case APPEND_RESPONSE: return "APPEND_RESP";
    case TICK: return "TICK";
    case STATE_CHANGED: return "STATE_CHANGED";
    case NODE_STATUS: return "NODE_STATUS";
    default: return "?";
    }
}

class simulation {
public:
    explicit simulation(const sim_options& o) : opt_(o), r_{o.seed * 0x2545f4914f6cdd1dULL + 1}, clock_(&now_)
    {
        const size_t n = static_cast<size_t>(o.nodes);
        nodes_.resize(n);
        cut_.assign(n * n, 0);
        for (size_t i = 0; i < n; ++i) {
            nodes_[i].id = static_cast<uint32_t>(i + 1);
            nodes_[i].rnd = sim_random(r_.next());
        }
        // Which nodes never campaign; at least one always may.
        for (int k = 0; k < std::min(o.leadership_disabled, o.nodes - 1); ++k) {
            size_t pick = r_.below(n);
            while (nodes_[pick].leadership_disabled)
                pick = (pick + 1) % n;
            nodes_[pick].leadership_disabled = true;
        }
        if (o.pair)
            disks_ = std::make_unique<disk_world>(static_cast<size_t>(std::max(o.disks, 0)), &now_, 10 * SEC);
        for (size_t i = 0; i < n; ++i)
            start_node(static_cast<int>(i));
        res_.seed = o.seed;
    }

    sim_result run();
    int64_t failover(int64_t disk_delay_ns, bool until_commit);

private:
    sim_node& node(int i) { return nodes_[static_cast<size_t>(i)]; }
    void note(const std::string& s)
    {
        if (opt_.trace)
            res_.trace.push_back(fmt::format("{:>12.6f} {}", static_cast<double>(now_) / 1e9, s));
    }
    void violation(const std::string& s)
    {
        note("VIOLATION " + s);
        if (res_.violations.size() < 20)
            res_.violations.push_back(fmt::format("t={:.6f} {}", static_cast<double>(now_) / 1e9, s));
    }
    bool failed() const { return !res_.violations.empty(); }
    void push(int64_t at, ev kind, int node, uint64_t gen = 0, uint32_t arg = 0)
    {
        q_.push(event{at, seq_++, kind, node, gen, arg});
    }
    uint8_t& cut(uint32_t from, uint32_t to) { return cut_[(from - 1) * nodes_.size() + (to - 1)]; }
    void start_node(int i);
    void crash(int i, bool power_loss);
    void pause(int i);
    void resume(int i);
    void partition(uint32_t shape);
    void isolate(int i, uint32_t direction);
    void heal_links();
    void step(int i, const raft_msg_t& m);
    void step_checked(int i, const raft_msg_t& m);
    void send(const raft_msg_t& m);
    void release(uint32_t slot) { free_.push_back(slot); }
    // A record in flight lives in a slot of store_ until delivered or dropped.
    uint32_t keep(const raft_msg_t& m)
    {
        if (free_.empty()) {
            store_.push_back(m);
            note_in_transit();
            return static_cast<uint32_t>(store_.size() - 1);
        }
        const uint32_t slot = free_.back();
        free_.pop_back();
        store_[slot] = m;
        note_in_transit();
        return slot;
    }
    // Records on the network or on their way between a node and its voter (not
    // those parked in a stopped process's socket buffer). A run may hold every
    // node's full buffer answered at once, and the usual traffic beside it; far
    // more is a storm, which fails the seed long before the step budget would.
    void note_in_transit()
    {
        uint64_t parked = 0;
        for (const auto& n : nodes_)
            parked += n.parked.size();
        const uint64_t in_transit = store_.size() - free_.size() - parked;
        res_.max_in_transit = std::max(res_.max_in_transit, in_transit);
        const uint64_t limit = PARKED_LIMIT * nodes_.size() + STORM_MARGIN;
        if (in_transit > limit && !failed())
            violation(fmt::format("{} records in transit at once (more than {}): a message storm", in_transit, limit));
    }
    void propose(int i, const std::string& key, const std::string& value);
    void on_new_leader(int i);
    void check_after_step(int i, const raft_msg_t& in, const std::vector<raft_msg_t>& out);
    void check_logs(int i);
    void check_leader_complete(int i);
    void check_leader_matches(int i);
    void check_pair();
    bool trim_at_takeover(int i, uint64_t index);
    void post_ha(int i, const raft_msg_t& m);
    void ha_step(int i, const raft_msg_t* m, bool superseded = false);
    void disk_fault(int i, uint32_t kind);
    void finish_pair_result();
    void record_commits(int i);
    void extend_ghost_held(sim_node& n);
    int leader_index() const;
    bool process_one(int64_t until);
    void fire(const event& e);

    sim_options opt_;
    rng r_;
    int64_t now_ = 0;
    sim_clock clock_;
    uint64_t seq_ = 0;
    std::priority_queue<event, std::vector<event>, later> q_;
    std::vector<raft_msg_t> store_;
    std::vector<uint32_t> free_;
    std::vector<sim_node> nodes_;
    std::vector<uint8_t> cut_;                      // [from - 1][to - 1]: records from -> to are lost
    std::map<uint64_t, uint32_t> leaders_;          // term -> leader id
    std::vector<ghost_entry> ghost_;                // committed entry k at [k - 1]
    std::map<uint64_t, std::string> applied_;       // index -> key=value
    uint64_t proposals_ = 0;
    bool healed_ = false;
    int64_t heal_time_ = 0;
    std::set<std::string> post_heal_;  // values proposed after the heal
    uint64_t catch_up_index_ = 0;      // every node must apply up to here
    sim_result res_;
    std::vector<raft_msg_t> out_;
    std::vector<std::pair<uint64_t, std::string>> applied_now_;
    // Pairs.
    std::unique_ptr<disk_world> disks_;
    std::map<std::pair<uint32_t, uint64_t>, std::set<uint32_t>> votes_;  // (node, term) -> granted voters
    int64_t disk_leaders_since_ = -1;  // two nodes lead on the disks since
    // Entries a pair's takeover dropped from the committed ones (index, key=value):
    // a node that committed one before may still apply it, and then rewinds.
    std::set<std::pair<uint64_t, std::string>> withdrawn_;
    std::set<std::string> withdrawn_entries_;  // the same, as entry_text
};

void simulation::start_node(int i)
{
    sim_node& n = node(i);
    n.raft = std::make_unique<raft_node_t>(n.id, &n.log, &clock_, &n.rnd);
    for (const auto& o : nodes_)
        if (o.id != n.id)
            n.raft->raft_add_neighbour(o.id);
    if (opt_.pair)
        n.raft->raft_add_neighbour(NODE_HA);
    n.raft->set_leadership_disabled(n.leadership_disabled);
    n.raft->raft_reset_election_timer();
    n.up = true;
    n.paused = false;
    ++n.gen;
    // The monitor rebuilds its store from entries 1..last_applied: the ghost
    // check guarantees they are still the committed ones.
    n.applied = n.raft->last_applied();
    n.commit_seen = 0;
    n.last_state = FOLLOWER;
    note(fmt::format("node {} starts t={} voted={} applied={} log={}{}", n.id, n.raft->term(), n.raft->voted_for(),
                     n.applied, n.log.last_index(), n.leadership_disabled ? " (leadership disabled)" : ""));
    push(now_ + r_.between(1, 50'000'000), ev::tick, i, n.gen);
    if (opt_.pair) {
        std::vector<std::string> names;
        std::vector<std::unique_ptr<FreeBSD::reservation::resv>> paths;
        for (size_t d = 0; d < static_cast<size_t>(opt_.disks); ++d) {
            names.push_back("da" + std::to_string(d));
            paths.push_back(disks_->path(n.id, d));
        }
        // The voter's clock runs on while it waits for a slow disk.
        const uint32_t id = n.id;
        n.ha = std::make_unique<transport::haresv_core>(
            n.id, std::move(names), std::move(paths), 3, 600, [this, id] { return now_ + disks_->busy_ns(id); },
            nullptr, nullptr,
            [this, id](size_t count, const std::function<void(size_t)>& body) {
                disks_->in_parallel(id, count, body);
            });
        n.ha_inbox.clear();
        n.ha_busy_until = 0;
        n.ha->start();
        push(now_ + HA_TICK_NS, ev::ha_tick, i, n.gen);
    }
}

void simulation::crash(int i, bool power_loss)
{
    sim_node& n = node(i);
    note(fmt::format("node {} crashes{}", n.id, power_loss ? ", losing what was not synced" : ""));
    n.raft.reset();
    // The voter dies with its process: no unregistration, the disks keep the key.
    n.ha.reset();
    n.ha_inbox.clear();
    if (disks_)
        disks_->forget(n.id);
    if (power_loss)
        n.log.lose_unsynced();
    for (uint32_t slot : n.parked)
        release(slot);
    n.parked.clear();
    n.up = false;
    n.paused = false;
    ++n.gen;
    ++res_.crashes;
}

// The process is stopped: no tick, no record handled; records sent to it wait
// in its socket buffer. Its clock runs on, so it wakes to expired timers.
void simulation::pause(int i)
{
    sim_node& n = node(i);
    n.paused = true;
    ++n.gen;
    ++res_.pauses;
    note(fmt::format("node {} pauses", n.id));
    push(now_ + r_.between(2 * SEC, 12 * SEC), ev::resume, i, n.gen);
}

void simulation::resume(int i)
{
    sim_node& n = node(i);
    n.paused = false;
    note(fmt::format("node {} resumes with {} waiting records", n.id, n.parked.size()));
    // Taken out of the socket buffer at once: they are no longer in transit.
    std::vector<raft_msg_t> waiting;
    for (uint32_t slot : n.parked) {
        waiting.push_back(store_[slot]);
        release(slot);
    }
    n.parked.clear();
    for (const raft_msg_t& m : waiting) {
        if (n.up && !failed())
            step_checked(i, m);
    }
    if (n.up) {
        push(now_ + 1, ev::tick, i, n.gen);
        if (n.ha) {
            push(now_ + 1, ev::ha_run, i, n.gen);
            push(now_ + HA_TICK_NS, ev::ha_tick, i, n.gen);
        }
    }
}

void simulation::partition(uint32_t shape)
{
    const size_t n = nodes_.size();
    std::fill(cut_.begin(), cut_.end(), 0);
    std::string s;
    if (shape == SPLIT) {
        std::vector<int> side(n);
        for (auto& x : side)
            x = static_cast<int>(r_.below(2));
        for (uint32_t a = 1; a <= n; ++a)
            for (uint32_t b = 1; b <= n; ++b)
                cut(a, b) = side[a - 1] != side[b - 1];
        for (size_t k = 0; k < n; ++k)
            s += fmt::format(" {}:{}", k + 1, side[k]);
    } else if (shape == ISOLATE_ONE || shape == ONE_WAY_NODE) {
        const uint32_t x = static_cast<uint32_t>(1 + r_.below(n));
        const uint32_t dir = shape == ISOLATE_ONE ? CUT_BOTH : static_cast<uint32_t>(1 + r_.below(2));
        for (uint32_t o = 1; o <= n; ++o) {
            if (o == x)
                continue;
            cut(o, x) = dir != CUT_OUT;
            cut(x, o) = dir != CUT_IN;
        }
        s = fmt::format(" node {} cut off{}", x, dir == CUT_BOTH ? "" : dir == CUT_IN ? " inbound" : " outbound");
    } else {
        for (uint32_t a = 1; a <= n; ++a)
            for (uint32_t b = 1; b <= n; ++b)
                if (a != b && r_.chance(0.35)) {
                    cut(a, b) = 1;
                    s += fmt::format(" {}->{}", a, b);
                }
    }
    ++res_.partitions;
    note("partition" + s);
    push(now_ + r_.between(500 * MS, 10 * SEC), ev::heal, -1);
}

// A leader just elected loses its links (all, or one direction).
void simulation::isolate(int i, uint32_t direction)
{
    const uint32_t x = node(i).id;
    for (uint32_t o = 1; o <= nodes_.size(); ++o) {
        if (o == x)
            continue;
        if (direction != CUT_OUT)
            cut(o, x) = 1;
        if (direction != CUT_IN)
            cut(x, o) = 1;
    }
    ++res_.partitions;
    note(fmt::format("node {} cut off{}", x, direction == CUT_BOTH ? "" : direction == CUT_IN ? " inbound" : " outbound"));
    push(now_ + r_.between(500 * MS, 10 * SEC), ev::heal, -1);
}

void simulation::heal_links()
{
    std::fill(cut_.begin(), cut_.end(), 0);
    note("partition healed");
}

void simulation::send(const raft_msg_t& m)
{
    ++res_.messages;
    if (m.to < 1 || m.to > nodes_.size()) {
        violation(fmt::format("record to unknown node {}", m.to));
        return;
    }
    const bool chaos = !healed_;
    if (chaos && r_.chance(opt_.loss)) {
        note(fmt::format("   lost {} {}->{}", type_name(m.type), m.from, m.to));
        return;
    }
    const int copies = (r_.chance(opt_.duplicate)) ? 2 : 1;
    for (int c = 0; c < copies; ++c) {
        const uint32_t slot = keep(m);
        int64_t delay = r_.between(opt_.min_delay_ns, opt_.max_delay_ns);
        if (chaos && r_.chance(opt_.late)) {
            delay = r_.between(1 * SEC, 12 * SEC);
            ++res_.late;
            note(fmt::format("   late {} {}->{} by {:.3f} s", type_name(m.type), m.from, m.to, static_cast<double>(delay) / 1e9));
        }
        push(now_ + delay, ev::deliver, static_cast<int>(m.to - 1), 0, slot);
    }
}

void simulation::propose(int i, const std::string& key, const std::string& value)
{
    sim_node& n = node(i);
    const log_entry_t e = log_entry_init(n.log.last_index() + 1, n.raft->term(), key, value);
    n.log.append(e);
    note(fmt::format("node {} proposes ({},{}) {}={}", n.id, e.index, e.term, key, value));
    check_logs(i);
}

// Stale leaders come from leaders that fall silent right after winning.
void simulation::on_new_leader(int i)
{
    if (healed_ || !r_.chance(opt_.new_leader_fault))
        return;
    const int64_t at = now_ + r_.between(0, 10 * MS);
    const uint64_t what = r_.below(4);
    if (what == 0 && opt_.crashes)
        push(at, ev::crash, i, 0, r_.chance(opt_.power_loss) ? 1 : 0);
    else if (what == 1 && opt_.pauses)
        push(at, ev::pause, i);
    else if (opt_.partitions)
        push(at, ev::isolate, i, 0, static_cast<uint32_t>(r_.below(3)));
}

// A record from the network. A leader's view of a peer moves only on a
// response of its own term: one of an earlier term (a late one) answers what an
// earlier leadership sent, and the peer may have dropped those entries since.
void simulation::step_checked(int i, const raft_msg_t& m)
{
    sim_node& n = node(i);
    if (m.type != APPEND_RESPONSE || m.term >= n.raft->term() || n.raft->state() != LEADER) {
        step(i, m);
        return;
    }
    const uint64_t term = n.raft->term();
    auto view = [&] {
        for (const auto& p : n.raft->peers())
            if (p.id == m.from)
                return std::pair{p.match, p.next};
        return std::pair<uint64_t, uint64_t>{0, 0};
    };
    const auto before = view();
    step(i, m);
    if (n.up && n.raft->state() == LEADER && n.raft->term() == term && view() != before)
        violation(fmt::format("leader {} of t{} moved its view of node {} on a response of t{}", n.id, term, m.from, m.term));
}

void simulation::step(int i, const raft_msg_t& m)
{
    sim_node& n = node(i);
    out_.clear();
    if (++res_.steps > opt_.step_budget) {
        violation(fmt::format("step budget of {} exhausted ({} messages sent)", opt_.step_budget, res_.messages));
        return;
    }
    const uint64_t commit_before = n.raft->commit();
    // Who granted this node its vote round (a takeover is a round its own voter
    // alone carried).
    if (m.type == VOTE_RESPONSE && m.body.flag == 1 && n.raft->state() == CANDIDATE && m.term == n.raft->term())
        votes_[{n.id, m.term}].insert(m.from);
    int rc;
    try {
        rc = n.raft->raft_on_message(m, out_);
    } catch (const std::exception& ex) {
        violation(fmt::format("node {} threw on {} from {}: {}", n.id, type_name(m.type), m.from, ex.what()));
        return;
    }
    if (opt_.trace && (m.type != TICK || !out_.empty())) {
        std::string s = fmt::format("node {} [{} t{} c{}] <- {} from {} t{}", n.id, raft_state_name(n.raft->state()),
                                    n.raft->term(), n.raft->commit(), type_name(m.type), m.from, m.term);
        if (m.type == APPEND_REQUEST)
            s += fmt::format(" prev ({},{}) entry ({},{}) lc {}", m.body.append.prev_index, m.body.append.prev_term,
                             m.body.append.entry.index, m.body.append.entry.term, m.body.append.commit);
        if (m.type == APPEND_RESPONSE || m.type == VOTE_RESPONSE)
            s += fmt::format(" ok {} echo {}", m.body.flag, append_response_index(m));
        note(s);
    }
    if (rc < 0) {
        violation(fmt::format("node {} step returned {}", n.id, rc));
        return;
    }
    check_after_step(i, m, out_);
    // A leader commits by counting replicas only an entry of its own term; an
    // earlier term's entry on a majority can still be replaced (it commits
    // beneath one of the leader's own).
    if (n.raft->state() == LEADER && n.raft->commit() > commit_before &&
        n.log.get(n.raft->commit()).term != n.raft->term())
        violation(fmt::format("leader {} of t{} committed up to {} by counting replicas of an entry of t{}", n.id,
                              n.raft->term(), n.raft->commit(), n.log.get(n.raft->commit()).term));
    for (const auto& o : out_) {
        switch (o.type) {
        case STATE_CHANGED:
            note(fmt::format("node {} {} -> {} reason {} t{}", n.id, raft_state_name(o.body.state_changed.old_state),
                             raft_state_name(o.body.state_changed.new_state), o.body.state_changed.reason, o.term));
            if (o.body.state_changed.new_state == LEADER) {
                // As the monitor does: a leader that never followed one opens a session.
                if (o.body.state_changed.incarnation == 0)
                    propose(i, "cluster-session-id", fmt::format("s{}-{}", opt_.seed, proposals_++));
                on_new_leader(i);
            }
            // As the monitor does: state changes and peer status go to the voter too.
            if (n.ha)
                post_ha(i, o);
            break;
        case NODE_STATUS:
            if (n.ha)
                post_ha(i, o);
            break;
        case FSM_APPLY:
        case FSM_REWIND:
        case NODE_SYNCED:
            break;
        default:
            if (o.type >= PRE_VOTE_REQUEST && o.type <= APPEND_RESPONSE && o.to == NODE_HA && n.ha)
                post_ha(i, o);
            else if (o.type >= PRE_VOTE_REQUEST && o.type <= APPEND_RESPONSE)
                send(o);
            else
                violation(fmt::format("node {} produced record type {}", n.id, o.type));
        }
    }
}

void simulation::check_after_step(int i, const raft_msg_t& in, const std::vector<raft_msg_t>& out)
{
    sim_node& n = node(i);
    raft_node_t& r = *n.raft;
    // Whatever a reply depends on is written before the reply leaves (synced or
    // not is the log's business: see memory_log_t).
    if (n.log.saved_term() != r.term() || n.log.saved_vote() != r.voted_for() ||
        n.log.saved_applied() != r.last_applied())
        violation(fmt::format("node {} state not saved: t {}/{} vote {}/{} applied {}/{}", n.id, r.term(),
                              n.log.saved_term(), r.voted_for(), n.log.saved_vote(), r.last_applied(),
                              n.log.saved_applied()));
    for (const auto& o : out) {
        if (o.type == VOTE_RESPONSE && o.body.flag == 1 && in.type == VOTE_REQUEST) {
            if (n.log.saved_vote() != o.to || n.log.saved_term() != o.term)
                violation(fmt::format("node {} granted a vote to {} in t{} without saving it", n.id, o.to, o.term));
            // Election safety rests on this: a vote goes only to a log at least
            // as up to date as the voter's (the request's claim; a pre-vote in
            // between proves nothing about the log at vote time).
            const uint64_t li = n.log.last_index(), lt = n.log.last_term();
            const auto& v = in.body.vote;
            if (v.last_term < lt || (v.last_term == lt && v.last_index < li))
                violation(fmt::format("node {} granted a vote in t{} to {} whose log ends at ({},{}) before its own ({},{})",
                                      n.id, o.term, o.to, v.last_index, v.last_term, li, lt));
        }
        if (o.type == FSM_APPLY) {
            const uint64_t k = ++n.applied;
            std::string text = apply_text(o);
            if (k > r.commit())
                violation(fmt::format("node {} applies {} beyond its commit {}", n.id, k, r.commit()));
            applied_now_.emplace_back(k, std::move(text));
        }
        if (o.type == FSM_REWIND) {
            if (!opt_.pair || o.body.rewind_to >= n.applied)
                violation(fmt::format("node {} rewinds to {} having applied {}", n.id, o.body.rewind_to, n.applied));
            note(fmt::format("node {} drops applied entries after {} (applied {})", n.id, o.body.rewind_to, n.applied));
            n.applied = o.body.rewind_to;
            ++res_.rewinds;
        }
    }
    if (n.applied != r.last_applied())
        violation(fmt::format("node {} handed out {} entries but last_applied is {}", n.id, n.applied, r.last_applied()));
    if (r.commit() > n.log.last_index())
        violation(fmt::format("node {} commit {} beyond its log {}", n.id, r.commit(), n.log.last_index()));
    if (r.state() != FOLLOWER && n.leadership_disabled)
        violation(fmt::format("node {} has leadership disabled but is {}", n.id, raft_state_name(r.state())));
    // At most one leader per term.
    if (r.state() == LEADER) {
        auto [it, fresh] = leaders_.emplace(r.term(), n.id);
        if (fresh)
            ++res_.leader_terms;
        else if (it->second != n.id)
            violation(fmt::format("two leaders in term {}: {} and {}", r.term(), it->second, n.id));
        if (n.last_state != LEADER) {
            n.leader_since = now_;
            check_leader_complete(i);
        }
        check_leader_matches(i);
    }
    n.last_state = r.state();
    record_commits(i);
    if (disks_)
        check_pair();
    // After the commits are recorded: a pair's takeover may have just dropped
    // what an earlier leader applied.
    for (const auto& [k, text] : applied_now_) {
        // An entry committed on an old leader's disk only, which a takeover has
        // since dropped: this node applies it and rewinds when it meets the new
        // leader's entry.
        if ((k > ghost_.size() || kv_text(ghost_[k - 1].entry) != text) && withdrawn_.count({k, text}) != 0)
            continue;
        auto [it, fresh] = applied_.emplace(k, text);
        if (!fresh && it->second != text)
            violation(fmt::format("node {} applies {} at {} where another node applied {}", n.id, text, k, it->second));
        if (k > ghost_.size() || kv_text(ghost_[k - 1].entry) != text)
            violation(fmt::format("node {} applies {} at {}, which is not the committed entry", n.id, text, k));
    }
    applied_now_.clear();
    check_logs(i);
}

// Every index up to a node's commit is committed: the first node to commit an
// index puts its entry in the ghost; every later commit there must agree, and
// every leader of that term or later must hold it.
void simulation::record_commits(int i)
{
    sim_node& n = node(i);
    const uint64_t c = n.raft->commit();
    const size_t before = ghost_.size();
    bool trimmed = false;
    // A pair's node that dropped withdrawn entries moved its commit index back;
    // what it commits again from there is recorded again.
    if (opt_.pair && c < n.commit_seen)
        n.commit_seen = c;
    uint64_t first_skipped = 0;  // looked at again at the next step
    for (uint64_t k = n.commit_seen + 1; k <= c; ++k) {
        const log_entry_t e = n.log.get(k);
        if (opt_.pair && withdrawn_entries_.count(entry_text(e)) != 0) {
            // A commit this node made before a takeover withdrew it, seen again:
            // nothing new, unless the node now leads a term as late as the
            // takeover's and commits it anew.
            const bool leads_anew = n.raft->state() == LEADER && n.raft->term() >= n.skip_term;
            if (k <= n.skip_upto && !leads_anew) {
                first_skipped = first_skipped == 0 ? k : first_skipped;
                continue;
            }
            // A later leader whose log kept the entry commits it again.
            if (k == ghost_.size() + 1)
                withdrawn_entries_.erase(entry_text(e));
        }
        if (k > ghost_.size() + 1) {
            violation(fmt::format("node {} of t{} commits {} above entries {}..{} that a takeover withdrew", n.id,
                                  n.raft->term(), entry_text(e), ghost_.size() + 1, k - 1));
            break;
        }
        if (k > ghost_.size()) {
            ghost_.push_back(ghost_entry{e, n.raft->term(), 0, now_});
            if (healed_ && res_.heal_to_commit_ns < 0 && post_heal_.count(std::string(e.value, strnlen(e.value, VALUE_SIZE))) != 0)
                res_.heal_to_commit_ns = now_ - heal_time_;
            for (auto& o : nodes_) {
                if (!o.up || o.raft->state() != LEADER || o.raft->term() < n.raft->term())
                    continue;
                if (!same_entry(o.log.get(k), e))
                    violation(fmt::format("leader {} of t{} lacks entry {} committed by node {}", o.id, o.raft->term(),
                                          entry_text(e), n.id));
            }
        } else if (!same_entry(ghost_[k - 1].entry, e) && trim_at_takeover(i, k)) {
            trimmed = true;
            ghost_.push_back(ghost_entry{e, n.raft->term(), 0, now_});
        } else if (!same_entry(ghost_[k - 1].entry, e)) {
            violation(fmt::format("node {} commits {} where {} was committed", n.id, entry_text(e),
                                  entry_text(ghost_[k - 1].entry)));
        }
    }
    n.commit_seen = first_skipped != 0 ? first_skipped - 1 : std::max(n.commit_seen, c);
    if (ghost_.size() != before || trimmed)
        for (auto& o : nodes_)
            extend_ghost_held(o);
}

void simulation::extend_ghost_held(sim_node& n)
{
    const auto& log = n.log.entries();
    const uint64_t top = std::min<uint64_t>(log.size(), ghost_.size());
    while (n.ghost_held < top && same_entry(log[n.ghost_held], ghost_[n.ghost_held].entry)) {
        ghost_[n.ghost_held].holders |= uint64_t{1} << (n.id - 1);
        ++n.ghost_held;
    }
}

// What a leader counts for commit must be true: a peer it believes holds its
// entries up to match does hold them (the entry at match suffices, log
// matching covers the rest). A peer that moved to a later term may have
// dropped them since, under another leader; in the leader's own term it
// cannot have.
void simulation::check_leader_matches(int i)
{
    sim_node& n = node(i);
    const auto& mine = n.log.entries();
    for (const auto& p : n.raft->peers()) {
        if (p.match == 0 || p.id < 1 || p.id > nodes_.size())
            continue;
        sim_node& o = node(static_cast<int>(p.id) - 1);
        if (o.log.saved_term() != n.raft->term())
            continue;
        const auto& theirs = o.log.entries();
        if (p.match > mine.size() || p.match > theirs.size() || theirs[p.match - 1].term != mine[p.match - 1].term)
            violation(fmt::format("leader {} of t{} counts node {} as holding its entries up to {}, which it does not hold",
                                  n.id, n.raft->term(), p.id, p.match));
    }
}

void simulation::check_leader_complete(int i)
{
    sim_node& n = node(i);
    for (const auto& g : ghost_) {
        if (g.commit_term > n.raft->term())
            continue;
        if (same_entry(n.log.get(g.entry.index), g.entry))
            continue;
        if (trim_at_takeover(i, g.entry.index))
            return;
        violation(fmt::format("new leader {} of t{} lacks committed entry {}", n.id, n.raft->term(), entry_text(g.entry)));
    }
}

// In a pair an entry the leader committed through its voter alone is on its
// disk only: a new leader whose log never held it may lead without it (after a
// takeover of the disks, or on the vote of a node whose log is older), when it
// was committed before that leadership began. Forget such entries as committed;
// a node that applied one of them drops it when the new leader's entry replaces
// it (FSM_REWIND) and follows again, which the liveness check after the heal sees.
bool simulation::trim_at_takeover(int i, uint64_t index)
{
    sim_node& n = node(i);
    if (!opt_.pair)
        return false;
    const uint64_t mine = uint64_t{1} << (n.id - 1);
    if (n.raft->state() != LEADER)
        return false;
    for (uint64_t k = index; k <= ghost_.size(); ++k)
        if ((ghost_[k - 1].holders & mine) != 0 || ghost_[k - 1].committed_at > n.leader_since)
            return false;
    auto it = votes_.find({n.id, n.raft->term()});
    if (it != votes_.end() && it->second == std::set<uint32_t>{NODE_HA})
        ++res_.takeovers;
    res_.lost_at_takeover += ghost_.size() - (index - 1);
    note(fmt::format("node {} took the disks in t{} without committed entries {}..{}", n.id, n.raft->term(), index,
                     ghost_.size()));
    for (uint64_t k = index; k <= ghost_.size(); ++k) {
        withdrawn_.emplace(k, kv_text(ghost_[k - 1].entry));
        withdrawn_entries_.insert(entry_text(ghost_[k - 1].entry));
    }
    ghost_.resize(index - 1);
    // Commits any node made from index on are withdrawn with them: a node's
    // commits there are recorded again, against the entries committed from now on.
    for (auto& o : nodes_) {
        o.ghost_held = std::min<uint64_t>(o.ghost_held, index - 1);
        if (o.commit_seen >= index) {
            o.skip_upto = std::max(o.skip_upto, o.commit_seen);
            o.skip_term = n.raft->term();
            o.commit_seen = index - 1;
        }
    }
    applied_.erase(applied_.lower_bound(index), applied_.end());
    return true;
}

// Never two nodes that both lead and believe they hold the reservation on a
// quorum of disks, beyond the moment a stopped process needs to learn better.
void simulation::check_pair()
{
    std::vector<uint32_t> on_disks;
    for (const auto& n : nodes_)
        if (n.up && !n.paused && n.raft->state() == LEADER && disks_->believes_quorum(n.id))
            on_disks.push_back(n.id);
    if (on_disks.size() < 2) {
        disk_leaders_since_ = -1;
        return;
    }
    if (disk_leaders_since_ < 0)
        disk_leaders_since_ = now_;
    else if (now_ - disk_leaders_since_ > DISK_LEADER_OVERLAP_NS)
        violation(fmt::format("nodes {} and {} both lead believing they hold the disks for {:.3f} s", on_disks[0],
                              on_disks[1], static_cast<double>(now_ - disk_leaders_since_) / 1e9));
}

void simulation::post_ha(int i, const raft_msg_t& m)
{
    sim_node& n = node(i);
    // The endpoint's receiving thread answers an append at once while the last
    // read confirms the disks, even as a disk pass keeps the core busy.
    if (m.type == APPEND_REQUEST && n.ha && n.ha->echo_fresh()) {
        const raft_msg_t r = transport::haresv_core::echo_reply(m, n.ha->echo_until());
        if (opt_.trace)
            note(fmt::format("voter {} -> {} t{} ok {} (on its last read)", n.id, type_name(r.type), r.term,
                             r.body.flag));
        push(now_ + 2 * LOCAL_DELAY_NS, ev::deliver, i, 0, keep(r));
        return;
    }
    if (m.type == STATE_CHANGED && n.ha)
        n.ha->forget_echo();
    n.ha_inbox.push_back(m);
    push(now_ + LOCAL_DELAY_NS, ev::ha_run, i, n.gen);
}

// One step of a node's voter; its replies go to its own Raft thread.
void simulation::ha_step(int i, const raft_msg_t* m, bool superseded)
{
    sim_node& n = node(i);
    std::vector<raft_msg_t> out;
    const uint64_t preempted_before = disks_->preemptions;
    disks_->clear_busy(n.id);
    try {
        n.ha->step(m, out, superseded);
    } catch (const std::exception& ex) {
        violation(fmt::format("voter of node {} threw: {}", n.id, ex.what()));
        return;
    }
    const int64_t waited = disks_->busy_ns(n.id);
    disks_->clear_busy(n.id);
    n.ha_busy_until = now_ + waited;
    if (opt_.trace && waited > 0)
        note(fmt::format("voter {} waited {:.3f} s for its disks", n.id, static_cast<double>(waited) / 1e9));
    if (opt_.trace && m != nullptr)
        note(fmt::format("voter {} [resv {} peer {}] <- {} t{}", n.id, n.ha->ha_resv_state(), n.ha->peer(),
                         type_name(m->type), m->term));
    if (opt_.trace && disks_->preemptions != preempted_before)
        note(fmt::format("voter {} pre-empted the peer on {} disk(s) as {}, holds {} (dueling so far {})", n.id,
                         disks_->preemptions - preempted_before, raft_state_name(n.raft->state()),
                         disks_->held_by(n.id), disks_->dueling));
    for (const auto& o : out) {
        if (o.to != n.id || o.from != NODE_HA) {
            violation(fmt::format("voter of node {} sent type {} to {}", n.id, o.type, o.to));
            continue;
        }
        if (opt_.trace)
            note(fmt::format("voter {} -> {} t{} ok {}", n.id, type_name(o.type), o.term, o.body.flag));
        const uint32_t slot = keep(o);
        push(n.ha_busy_until + LOCAL_DELAY_NS, ev::deliver, i, 0, slot);
    }
    check_pair();
}

void simulation::disk_fault(int i, uint32_t kind)
{
    const uint32_t id = node(i).id;
    const size_t disk = r_.chance(0.5) ? disk_world::all_disks : r_.below(static_cast<uint64_t>(opt_.disks));
    const std::string which = disk == disk_world::all_disks ? "every disk" : fmt::format("da{}", disk);
    ++res_.disk_faults;
    if (kind == DISK_PATH_LOST) {
        const int64_t span = r_.between(300 * MS, 20 * SEC);
        disks_->cut_path(id, disk, now_ + span);
        note(fmt::format("node {} loses its path to {} for {:.3f} s", id, which, static_cast<double>(span) / 1e9));
    } else if (kind == DISK_REFUSES) {
        const size_t d = disk == disk_world::all_disks ? r_.below(static_cast<uint64_t>(opt_.disks)) : disk;
        disks_->refuse_next(id, d);
        note(fmt::format("da{} refuses node {}'s next command", d, id));
    } else {
        const int64_t delay = r_.between(300 * MS, 3 * SEC);
        const int64_t span = r_.between(2 * SEC, 20 * SEC);
        disks_->slow_down(id, now_ + span, delay);
        note(fmt::format("node {}'s disks answer {:.3f} s late for {:.3f} s", id, static_cast<double>(delay) / 1e9,
                         static_cast<double>(span) / 1e9));
    }
}

void simulation::finish_pair_result()
{
    if (!disks_)
        return;
    res_.preemptions = disks_->preemptions;
    res_.dueling = disks_->dueling;
}

// After every change to a log: a node that held committed entries still holds
// them (the ghost), and log matching holds: wherever two logs hold the same
// index and term they hold the same entry and agree on the term just before it
// (so, by induction, on the whole prefix). Only the changed tail needs checking.
void simulation::check_logs(int i)
{
    sim_node& n = node(i);
    const uint64_t from = n.log.take_changed_from();
    if (from == 0)
        return;
    const auto& a = n.log.entries();
    if (from <= n.ghost_held) {
        for (uint64_t k = from; k <= n.ghost_held; ++k) {
            const log_entry_t& g = ghost_[k - 1].entry;
            if (k > a.size()) {
                violation(fmt::format("node {} dropped committed entry {}", n.id, entry_text(g)));
                break;
            }
            if (!same_entry(a[k - 1], g)) {
                violation(fmt::format("node {} holds {} where it held committed {}", n.id, entry_text(a[k - 1]),
                                      entry_text(g)));
                break;
            }
        }
        n.ghost_held = from - 1;
    }
    extend_ghost_held(n);
    for (auto& o : nodes_) {
        if (o.id == n.id)
            continue;
        const auto& b = o.log.entries();
        const uint64_t top = std::min(a.size(), b.size());
        for (uint64_t k = from; k <= top; ++k) {
            const log_entry_t& x = a[k - 1];
            const log_entry_t& y = b[k - 1];
            if (x.term != y.term)
                continue;
            if (std::memcmp(x.key, y.key, KEY_SIZE) != 0 || std::memcmp(x.value, y.value, VALUE_SIZE) != 0)
                violation(fmt::format("nodes {} and {} hold different entries at ({},{})", n.id, o.id, k, x.term));
            else if (k > 1 && a[k - 2].term != b[k - 2].term)
                violation(fmt::format("nodes {} and {} agree at ({},{}) but not before it", n.id, o.id, k, x.term));
        }
    }
}

int simulation::leader_index() const
{
    int best = -1;
    for (size_t i = 0; i < nodes_.size(); ++i)
        if (nodes_[i].up && !nodes_[i].paused && nodes_[i].raft->state() == LEADER &&
            (best < 0 || nodes_[i].raft->term() > nodes_[static_cast<size_t>(best)].raft->term()))
            best = static_cast<int>(i);
    return best;
}

bool simulation::process_one(int64_t until)
{
    if (q_.empty() || q_.top().time > until)
        return false;
    const event e = q_.top();
    q_.pop();
    now_ = e.time;
    if (healed_ && is_fault(e.kind))
        return true;
    fire(e);
    return true;
}

void simulation::fire(const event& e)
{
    int i = e.node;
    if (i == LEADER_NOW) {
        i = leader_index();
        if (i < 0)
            return;
    }
    switch (e.kind) {
    case ev::deliver: {
        const raft_msg_t& m = store_[e.arg];
        sim_node& n = node(i);
        if (!n.up) {
            release(e.arg);
        } else if (m.from != NODE_HA && cut(m.from, m.to) != 0) {
            note(fmt::format("   cut {} {}->{}", type_name(m.type), m.from, m.to));
            release(e.arg);
        } else if (n.paused) {
            if (n.parked.size() < PARKED_LIMIT)
                n.parked.push_back(e.arg);
            else
                release(e.arg);
        } else {
            const raft_msg_t copy = m;
            release(e.arg);
            step_checked(i, copy);
        }
        break;
    }
    case ev::tick: {
        sim_node& n = node(i);
        if (!n.up || n.paused || n.gen != e.gen)
            break;
        step(i, make_msg(TICK, 0, 0, n.raft->term()));
        if (n.up)
            push(now_ + (n.raft->state() == LEADER ? 5 : 50) * MS, ev::tick, i, n.gen);
        break;
    }
    case ev::crash:
        if (node(i).up) {
            crash(i, e.arg != 0);
            push(now_ + r_.between(200 * MS, 8 * SEC), ev::restart, i);
        }
        break;
    case ev::restart:
        if (!node(i).up)
            start_node(i);
        break;
    case ev::pause:
        if (node(i).up && !node(i).paused)
            pause(i);
        break;
    case ev::resume:
        if (node(i).paused && node(i).gen == e.gen)
            resume(i);
        break;
    case ev::partition:
        partition(e.arg);
        break;
    case ev::isolate:
        if (node(i).up)
            isolate(i, e.arg);
        break;
    case ev::heal:
        heal_links();
        break;
    case ev::ha_run: {
        sim_node& n = node(i);
        if (!n.up || n.paused || n.gen != e.gen || !n.ha)
            break;
        while (!n.ha_inbox.empty() && n.up && !failed()) {
            // Still waiting for a disk: the records queue up meanwhile.
            if (now_ < n.ha_busy_until) {
                push(n.ha_busy_until, ev::ha_run, i, n.gen);
                break;
            }
            const raft_msg_t m = n.ha_inbox.front();
            n.ha_inbox.pop_front();
            ha_step(i, &m, transport::haresv_core::superseded_by(m, n.ha_inbox));
        }
        break;
    }
    case ev::ha_tick: {
        sim_node& n = node(i);
        if (!n.up || n.paused || n.gen != e.gen || !n.ha)
            break;
        if (now_ < n.ha_busy_until) {
            push(n.ha_busy_until, ev::ha_tick, i, n.gen);
            break;
        }
        // The receive times out only when nothing is queued.
        if (n.ha_inbox.empty())
            ha_step(i, nullptr);
        push(std::max(now_, n.ha_busy_until) + HA_TICK_NS, ev::ha_tick, i, n.gen);
        break;
    }
    case ev::disk_fault:
        if (node(i).up && disks_)
            disk_fault(i, e.arg);
        break;
    case ev::propose: {
        // Proposals go to whichever running node believes it leads, stale ones included.
        std::vector<int> leaders;
        for (size_t k = 0; k < nodes_.size(); ++k)
            if (nodes_[k].up && !nodes_[k].paused && nodes_[k].raft->state() == LEADER)
                leaders.push_back(static_cast<int>(k));
        if (!leaders.empty()) {
            const int target = leaders[r_.below(leaders.size())];
            const std::string value = fmt::format("v{}-{}", opt_.seed, proposals_++);
            if (healed_)
                post_heal_.insert(value);
            propose(target, fmt::format("k{}", r_.below(5)), value);
        }
        push(now_ + r_.between(20 * MS, 400 * MS), ev::propose, -1);
        break;
    }
    }
}

sim_result simulation::run()
{
    if (opt_.proposals)
        push(r_.between(0, 400 * MS), ev::propose, -1);
    // The faults of the chaos period, drawn up front so the schedule is visible.
    // The first two faults are a crash and a partition, so every seed has both.
    // Of twelve: crash any node (3), split (2), isolate a node (1), one-way
    // links (1), crash the leader (2), pause any node (2), pause the leader (1).
    const bool partition_first = r_.chance(0.5);
    int nth = 0;
    for (int64_t t = r_.between(1 * SEC, 4 * SEC); t < opt_.chaos_ns; t += r_.between(1500 * MS, 8 * SEC), ++nth) {
        const uint64_t pick = nth == 0 ? (partition_first ? 3 : 0) : nth == 1 ? (partition_first ? 0 : 3) : r_.below(12);
        const uint32_t power_loss = r_.chance(opt_.power_loss) ? 1 : 0;
        const int any = static_cast<int>(r_.below(nodes_.size()));
        if (pick < 3 && opt_.crashes)
            push(t, ev::crash, any, 0, power_loss);
        else if ((pick == 7 || pick == 8) && opt_.crashes)
            push(t, ev::crash, LEADER_NOW, 0, power_loss);
        else if ((pick == 3 || pick == 4) && opt_.partitions)
            push(t, ev::partition, -1, 0, SPLIT);
        else if (pick == 5 && opt_.partitions)
            push(t, ev::partition, -1, 0, ISOLATE_ONE);
        else if (pick == 6 && opt_.partitions)
            push(t, ev::partition, -1, 0, r_.chance(0.5) ? ONE_WAY_LINKS : ONE_WAY_NODE);
        else if ((pick == 9 || pick == 10) && opt_.pauses)
            push(t, ev::pause, any);
        else if (pick == 11 && opt_.pauses)
            push(t, ev::pause, LEADER_NOW);
    }
    // Disk faults of a pair, on their own schedule; a third of them hit the leader.
    if (opt_.pair && opt_.disk_faults) {
        for (int64_t t = r_.between(2 * SEC, 8 * SEC); t < opt_.chaos_ns; t += r_.between(3 * SEC, 15 * SEC)) {
            const int who = r_.chance(1.0 / 3) ? LEADER_NOW : static_cast<int>(r_.below(nodes_.size()));
            push(t, ev::disk_fault, who, 0, static_cast<uint32_t>(r_.below(3)));
        }
    }
    while (!failed() && process_one(opt_.chaos_ns)) {
    }
    if (failed()) {
        finish_pair_result();
        return res_;
    }
    // Heal: every node up and running, no cut link, no loss, nothing late;
    // delay, duplication and reordering go on.
    now_ = opt_.chaos_ns;
    healed_ = true;
    heal_time_ = now_;
    heal_links();
    if (disks_)
        disks_->repair();
    for (size_t k = 0; k < nodes_.size() && !failed(); ++k) {
        if (!nodes_[k].up)
            start_node(static_cast<int>(k));
        else if (nodes_[k].paused)
            resume(static_cast<int>(k));
    }
    note("network healed, all nodes up");
    const int64_t deadline = opt_.chaos_ns + opt_.liveness_ns;
    while (!failed() && process_one(deadline)) {
        // Done once a post-heal proposal committed and every node applied it.
        if (res_.heal_to_commit_ns >= 0 && catch_up_index_ == 0)
            catch_up_index_ = ghost_.size();
        if (catch_up_index_ != 0 &&
            std::all_of(nodes_.begin(), nodes_.end(), [&](const sim_node& n) { return n.applied >= catch_up_index_; }))
            break;
    }
    res_.committed = ghost_.size();
    finish_pair_result();
    if (failed() || !opt_.proposals)
        return res_;
    if (res_.heal_to_commit_ns < 0)
        violation(fmt::format("liveness: no proposal committed within {} s of the heal",
                              static_cast<double>(opt_.liveness_ns) / 1e9));
    else
        for (const auto& n : nodes_)
            if (n.applied < catch_up_index_)
                violation(fmt::format("liveness: node {} applied only {} of {} within {} s of the heal", n.id,
                                      n.applied, catch_up_index_, static_cast<double>(opt_.liveness_ns) / 1e9));
    return res_;
}

int64_t simulation::failover(int64_t disk_delay_ns, bool until_commit)
{
    healed_ = true;
    const int64_t settle_until = 20 * SEC;
    while (process_one(settle_until)) {
    }
    now_ = settle_until;
    const int l = leader_index();
    if (l < 0)
        return -1;
    crash(l, false);
    const int64_t crashed_at = now_;
    if (disks_ && disk_delay_ns > 0)
        for (const auto& n : nodes_)
            disks_->slow_down(n.id, INT64_MAX, disk_delay_ns);
    // The new leader proposes one entry, as its service manager would, and the
    // run ends once it is committed.
    int proposer = -1;
    uint64_t probe = 0;
    while (process_one(crashed_at + 60 * SEC)) {
        const int k = leader_index();
        if (k < 0 || k == l)
            continue;
        if (!until_commit)
            return now_ - crashed_at;
        if (proposer != k) {
            proposer = k;
            propose(k, "failover-probe", fmt::format("v{}", opt_.seed));
            probe = node(k).log.last_index();
        }
        if (node(k).raft->commit() >= probe)
            return now_ - crashed_at;
    }
    return -1;
}

}  // namespace

sim_result run_simulation(const sim_options& options)
{
    simulation s(options);
    return s.run();
}

int64_t measure_failover(uint64_t seed, int nodes, bool pair, int64_t disk_delay_ns, bool until_commit)
{
    sim_options o;
    o.seed = seed;
    o.nodes = pair ? 2 : nodes;
    o.pair = pair;
    o.proposals = false;
    o.loss = 0;
    o.duplicate = 0;
    o.max_delay_ns = 2 * MS;
    simulation s(o);
    return s.failover(disk_delay_ns, until_commit);
}

sim_options seed_options(uint64_t seed, int nodes)
{
    static constexpr double losses[] = {0.01, 0.05, 0.15, 0.3};
    static constexpr double dups[] = {0.01, 0.05, 0.2};
    static constexpr int64_t delays[] = {5 * MS, 30 * MS, 150 * MS};
    static constexpr double lates[] = {0.002, 0.01, 0.03};
    static constexpr double new_leader_faults[] = {0.05, 0.2, 0.5};
    rng r{seed ^ 0x5eedULL};
    sim_options o;
    o.seed = seed;
    o.nodes = nodes != 0 ? nodes : 3 + static_cast<int>(seed % 3);
    o.chaos_ns = 60 * SEC;
    o.loss = losses[r.below(std::size(losses))];
    o.duplicate = dups[r.below(std::size(dups))];
    o.max_delay_ns = delays[r.below(std::size(delays))];
    o.late = lates[r.below(std::size(lates))];
    o.new_leader_fault = new_leader_faults[r.below(std::size(new_leader_faults))];
    // One seed in four has a node that never campaigns (two of five nodes, at times).
    if (r.below(4) == 0)
        o.leadership_disabled = o.nodes == 5 && r.chance(0.5) ? 2 : 1;
    return o;
}

sim_options pair_seed_options(uint64_t seed)
{
    sim_options o = seed_options(seed, 2);
    o.pair = true;
    o.disks = 3;
    rng r{seed ^ 0xd15cULL};
    o.disk_faults = r.chance(0.5);
    return o;
}

uint64_t run_seeds(uint64_t first, uint64_t count, bool verbose, bool pairs)
{
    uint64_t violations = 0;
    uint64_t rewinds = 0;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        const sim_options o = pairs ? pair_seed_options(seed) : seed_options(seed, 0);
        const sim_result r = run_simulation(o);
        rewinds += r.rewinds != 0 ? 1 : 0;
        if (r.violations.empty())
            continue;
        violations += r.violations.size();
        std::cerr << fmt::format("seed {} ({} nodes, {} leadership disabled): {} violation(s)\n", seed, o.nodes,
                                 o.leadership_disabled, r.violations.size());
        for (const auto& v : r.violations)
            std::cerr << "  " << v << "\n";
        if (verbose) {
            sim_options traced = o;
            traced.trace = true;
            const sim_result t = run_simulation(traced);
            std::cerr << fmt::format("trace of seed {} (replay: raft_sim_soak --seed {} --count 1 --trace{}):\n", seed,
                                     seed, pairs ? " --pairs" : "");
            const size_t start = t.trace.size() > 400 ? t.trace.size() - 400 : 0;
            for (size_t k = start; k < t.trace.size(); ++k)
                std::cerr << t.trace[k] << "\n";
        }
    }
    if (pairs)
        std::cout << fmt::format("pairs: seeds={} with a node that dropped withdrawn entries and followed again: {}\n",
                                 count, rewinds);
    return violations;
}

}  // namespace raft::sim
