// The cluster simulator: event queue, network, faults and the safety and
// liveness checkers. Single-threaded.
#include "daemon/core/raft_sim.hpp"

#include "daemon/core/memory_log.hpp"
#include "daemon/core/raft_node.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
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

enum class ev : uint8_t { deliver, tick, crash, restart, partition, heal, propose };

struct event {
    int64_t time;
    uint64_t seq;
    ev kind;
    int node;      // index, or -1
    uint64_t gen;  // the process generation a tick belongs to
    uint32_t msg;  // index into the message store for deliver
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
    uint64_t gen = 0;
    uint64_t applied = 0;      // FSM_APPLY records seen (after restart: last_applied)
    uint64_t commit_seen = 0;  // commit index already recorded as committed
    uint32_t last_state = FOLLOWER;
};

struct committed_entry {
    uint64_t term;
    std::string text;  // key=value
    uint64_t commit_term;
};

std::string entry_text(const log_entry_t& e)
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
    default: return "?";
    }
}

class simulation {
public:
    explicit simulation(const sim_options& o) : opt_(o), r_{o.seed * 0x2545f4914f6cdd1dULL + 1}, clock_(&now_)
    {
        nodes_.resize(static_cast<size_t>(o.nodes));
        side_.assign(nodes_.size(), 0);
        for (size_t i = 0; i < nodes_.size(); ++i) {
            nodes_[i].id = static_cast<uint32_t>(i + 1);
            nodes_[i].rnd = sim_random(r_.next());
        }
        for (size_t i = 0; i < nodes_.size(); ++i)
            start_node(static_cast<int>(i));
        res_.seed = o.seed;
    }

    sim_result run();
    int64_t failover();

private:
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
    void push(int64_t at, ev kind, int node, uint64_t gen = 0, uint32_t msg = 0)
    {
        q_.push(event{at, seq_++, kind, node, gen, msg});
    }
    void start_node(int i);
    void crash(int i);
    void step(int i, const raft_msg_t& m);
    void send(const raft_msg_t& m);
    void propose(int i, const std::string& key, const std::string& value);
    void check_after_step(int i, const raft_msg_t& in, const std::vector<raft_msg_t>& out);
    void check_logs(int i);
    void check_leader_complete(int i);
    void record_commits(int i);
    int leader_index() const;
    bool process_one(int64_t until);

    sim_options opt_;
    rng r_;
    int64_t now_ = 0;
    sim_clock clock_;
    uint64_t seq_ = 0;
    std::priority_queue<event, std::vector<event>, later> q_;
    std::vector<raft_msg_t> store_;
    std::vector<uint32_t> free_;
    std::vector<sim_node> nodes_;
    std::vector<int> side_;
    std::map<uint64_t, uint32_t> leaders_;             // term -> leader id
    std::map<uint64_t, committed_entry> committed_;    // index -> entry
    std::map<uint64_t, std::string> applied_;          // index -> key=value
    uint64_t proposals_ = 0;
    bool healed_ = false;
    int64_t heal_time_ = 0;
    std::set<std::string> post_heal_;  // values proposed after the heal
    uint64_t catch_up_index_ = 0;      // every node must apply up to here
    sim_result res_;
    std::vector<raft_msg_t> out_;
    std::vector<std::pair<uint64_t, std::string>> applied_now_;
};

void simulation::start_node(int i)
{
    sim_node& n = nodes_[static_cast<size_t>(i)];
    n.raft = std::make_unique<raft_node_t>(n.id, &n.log, &clock_, &n.rnd);
    for (const auto& o : nodes_)
        if (o.id != n.id)
            n.raft->raft_add_neighbour(o.id);
    n.raft->raft_reset_election_timer();
    n.up = true;
    ++n.gen;
    n.applied = n.raft->last_applied();
    n.commit_seen = 0;
    n.last_state = FOLLOWER;
    // The monitor rebuilds its store from the applied prefix; it must still be
    // what was applied before the crash.
    for (uint64_t k = 1; k <= n.applied; ++k) {
        const log_entry_t e = n.log.get(k);
        auto it = applied_.find(k);
        if (e.index != k)
            violation(fmt::format("node {} restarts with last_applied {} but lacks entry {}", n.id, n.applied, k));
        else if (it != applied_.end() && it->second != entry_text(e))
            violation(fmt::format("node {} applied prefix changed at {} across a restart", n.id, k));
    }
    note(fmt::format("node {} starts t={} voted={} applied={} log={}", n.id, n.raft->term(), n.raft->voted_for(),
                     n.applied, n.log.last_index()));
    push(now_ + r_.between(1, 50'000'000), ev::tick, i, n.gen);
}

void simulation::crash(int i)
{
    sim_node& n = nodes_[static_cast<size_t>(i)];
    note(fmt::format("node {} crashes", n.id));
    n.raft.reset();
    n.up = false;
    ++n.gen;
    ++res_.crashes;
}

void simulation::send(const raft_msg_t& m)
{
    ++res_.messages;
    if (m.to < 1 || m.to > nodes_.size()) {
        violation(fmt::format("record to unknown node {}", m.to));
        return;
    }
    const bool lossy = !healed_;
    if (lossy && r_.chance(opt_.loss)) {
        note(fmt::format("   lost {} {}->{}", type_name(m.type), m.from, m.to));
        return;
    }
    const int copies = (r_.chance(opt_.duplicate)) ? 2 : 1;
    for (int c = 0; c < copies; ++c) {
        uint32_t slot;
        if (!free_.empty()) {
            slot = free_.back();
            free_.pop_back();
            store_[slot] = m;
        } else {
            slot = static_cast<uint32_t>(store_.size());
            store_.push_back(m);
        }
        push(now_ + r_.between(opt_.min_delay_ns, opt_.max_delay_ns), ev::deliver, static_cast<int>(m.to - 1), 0, slot);
    }
}

void simulation::propose(int i, const std::string& key, const std::string& value)
{
    sim_node& n = nodes_[static_cast<size_t>(i)];
    const log_entry_t e = log_entry_init(n.log.last_index() + 1, n.raft->term(), key, value);
    n.log.append(e);
    note(fmt::format("node {} proposes ({},{}) {}={}", n.id, e.index, e.term, key, value));
    check_logs(i);
}

void simulation::step(int i, const raft_msg_t& m)
{
    sim_node& n = nodes_[static_cast<size_t>(i)];
    out_.clear();
    const int rc = n.raft->raft_on_message(m, out_);
    ++res_.steps;
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
    for (const auto& o : out_) {
        switch (o.type) {
        case STATE_CHANGED:
            note(fmt::format("node {} {} -> {} reason {} t{}", n.id, raft_state_name(o.body.state_changed.old_state),
                             raft_state_name(o.body.state_changed.new_state), o.body.state_changed.reason, o.term));
            // As the monitor does: a leader that never followed one opens a session.
            if (o.body.state_changed.new_state == LEADER && o.body.state_changed.incarnation == 0)
                propose(i, "cluster-session-id", fmt::format("s{}-{}", opt_.seed, proposals_++));
            break;
        case FSM_APPLY:
        case NODE_STATUS:
        case NODE_SYNCED:
            break;
        default:
            if (o.type >= PRE_VOTE_REQUEST && o.type <= APPEND_RESPONSE)
                send(o);
            else
                violation(fmt::format("node {} produced record type {}", n.id, o.type));
        }
    }
}

void simulation::check_after_step(int i, const raft_msg_t& in, const std::vector<raft_msg_t>& out)
{
    sim_node& n = nodes_[static_cast<size_t>(i)];
    raft_node_t& r = *n.raft;
    // Whatever a reply depends on is durable before the reply leaves.
    if (n.log.saved_term() != r.term() || n.log.saved_vote() != r.voted_for() ||
        n.log.saved_applied() != r.last_applied())
        violation(fmt::format("node {} state not saved: t {}/{} vote {}/{} applied {}/{}", n.id, r.term(),
                              n.log.saved_term(), r.voted_for(), n.log.saved_vote(), r.last_applied(),
                              n.log.saved_applied()));
    for (const auto& o : out) {
        if (o.type == VOTE_RESPONSE && o.body.flag == 1 && in.type == VOTE_REQUEST &&
            (n.log.saved_vote() != o.to || n.log.saved_term() != o.term))
            violation(fmt::format("node {} granted a vote to {} in t{} without saving it", n.id, o.to, o.term));
        if (o.type == FSM_APPLY) {
            const uint64_t k = ++n.applied;
            const std::string text = fmt::format("{}={}", std::string_view(o.body.apply.key, strnlen(o.body.apply.key, KEY_SIZE)),
                                                 std::string_view(o.body.apply.value, strnlen(o.body.apply.value, VALUE_SIZE)));
            auto [it, fresh] = applied_.emplace(k, text);
            if (!fresh && it->second != text)
                violation(fmt::format("node {} applies {} at {} where another node applied {}", n.id, text, k, it->second));
            if (k > r.commit())
                violation(fmt::format("node {} applies {} beyond its commit {}", n.id, k, r.commit()));
            applied_now_.emplace_back(k, text);
        }
    }
    if (n.applied != r.last_applied())
        violation(fmt::format("node {} handed out {} entries but last_applied is {}", n.id, n.applied, r.last_applied()));
    if (r.commit() > n.log.last_index())
        violation(fmt::format("node {} commit {} beyond its log {}", n.id, r.commit(), n.log.last_index()));
    // At most one leader per term.
    if (r.state() == LEADER) {
        auto [it, fresh] = leaders_.emplace(r.term(), n.id);
        if (fresh)
            ++res_.leader_terms;
        else if (it->second != n.id)
            violation(fmt::format("two leaders in term {}: {} and {}", r.term(), it->second, n.id));
        if (n.last_state != LEADER)
            check_leader_complete(i);
    }
    n.last_state = r.state();
    record_commits(i);
    for (const auto& [k, text] : applied_now_) {
        auto c = committed_.find(k);
        if (c == committed_.end() || c->second.text != text)
            violation(fmt::format("node {} applies {} at {}, which is not the committed entry", n.id, text, k));
    }
    applied_now_.clear();
    check_logs(i);
}

// Every index up to a node's commit is committed: it must agree with what any
// node committed there, and every leader of that term or later must hold it.
void simulation::record_commits(int i)
{
    sim_node& n = nodes_[static_cast<size_t>(i)];
    const uint64_t c = n.raft->commit();
    for (uint64_t k = n.commit_seen + 1; k <= c; ++k) {
        const log_entry_t e = n.log.get(k);
        const std::string text = entry_text(e);
        auto it = committed_.find(k);
        if (it == committed_.end()) {
            committed_.emplace(k, committed_entry{e.term, text, n.raft->term()});
            if (healed_ && res_.heal_to_commit_ns < 0 && post_heal_.count(std::string(e.value, strnlen(e.value, VALUE_SIZE))) != 0)
                res_.heal_to_commit_ns = now_ - heal_time_;
            for (auto& o : nodes_) {
                if (!o.up || o.raft->state() != LEADER || o.raft->term() < n.raft->term())
                    continue;
                const log_entry_t le = o.log.get(k);
                if (le.term != e.term || entry_text(le) != text)
                    violation(fmt::format("leader {} of t{} lacks entry {} committed by node {}", o.id, o.raft->term(), k, n.id));
            }
        } else if (it->second.term != e.term || it->second.text != text) {
            violation(fmt::format("node {} commits ({},{}) {} at {} where ({}) {} was committed", n.id, k, e.term, text, k,
                                  it->second.term, it->second.text));
        }
    }
    n.commit_seen = std::max(n.commit_seen, c);
}

void simulation::check_leader_complete(int i)
{
    sim_node& n = nodes_[static_cast<size_t>(i)];
    for (const auto& [k, c] : committed_) {
        if (c.commit_term > n.raft->term())
            continue;
        const log_entry_t e = n.log.get(k);
        if (e.index != k || e.term != c.term || entry_text(e) != c.text)
            violation(fmt::format("new leader {} of t{} lacks committed entry {} ({})", n.id, n.raft->term(), k, c.text));
    }
}

// Log matching: wherever two logs hold the same index and term they hold the
// same entry and agree on the term just before it (so, by induction, on the
// whole prefix). Only the changed tail of node i needs checking.
void simulation::check_logs(int i)
{
    sim_node& n = nodes_[static_cast<size_t>(i)];
    const uint64_t from = n.log.take_changed_from();
    if (from == 0)
        return;
    const auto& a = n.log.entries();
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
        if (nodes_[i].up && nodes_[i].raft->state() == LEADER &&
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
    switch (e.kind) {
    case ev::deliver: {
        const raft_msg_t m = store_[e.msg];
        free_.push_back(e.msg);
        sim_node& n = nodes_[static_cast<size_t>(e.node)];
        if (!n.up)
            break;
        if (side_[m.from - 1] != side_[m.to - 1]) {
            note(fmt::format("   cut {} {}->{}", type_name(m.type), m.from, m.to));
            break;
        }
        step(e.node, m);
        break;
    }
    case ev::tick: {
        sim_node& n = nodes_[static_cast<size_t>(e.node)];
        if (!n.up || n.gen != e.gen)
            break;
        step(e.node, make_msg(TICK, 0, 0, n.raft->term()));
        if (n.up)
            push(now_ + (n.raft->state() == LEADER ? 5 : 50) * MS, ev::tick, e.node, n.gen);
        break;
    }
    case ev::crash:
        if (nodes_[static_cast<size_t>(e.node)].up) {
            crash(e.node);
            push(now_ + r_.between(200 * MS, 8 * SEC), ev::restart, e.node);
        }
        break;
    case ev::restart:
        if (!nodes_[static_cast<size_t>(e.node)].up)
            start_node(e.node);
        break;
    case ev::partition: {
        for (auto& s : side_)
            s = static_cast<int>(r_.below(2));
        ++res_.partitions;
        std::string s;
        for (size_t k = 0; k < side_.size(); ++k)
            s += fmt::format(" {}:{}", k + 1, side_[k]);
        note("partition" + s);
        push(now_ + r_.between(500 * MS, 10 * SEC), ev::heal, -1);
        break;
    }
    case ev::heal:
        std::fill(side_.begin(), side_.end(), 0);
        note("partition healed");
        break;
    case ev::propose: {
        // Proposals go to whichever node believes it leads, stale ones included.
        std::vector<int> leaders;
        for (size_t k = 0; k < nodes_.size(); ++k)
            if (nodes_[k].up && nodes_[k].raft->state() == LEADER)
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
    return true;
}

sim_result simulation::run()
{
    if (opt_.proposals)
        push(r_.between(0, 400 * MS), ev::propose, -1);
    // The faults of the chaos period, drawn up front so the schedule is visible.
    // The first two faults are a crash and a partition, so every seed has both.
    const bool partition_first = r_.chance(0.5);
    int nth = 0;
    for (int64_t t = r_.between(1 * SEC, 4 * SEC); t < opt_.chaos_ns; t += r_.between(1500 * MS, 8 * SEC), ++nth) {
        const uint64_t pick = nth == 0 ? (partition_first ? 5 : 0) : nth == 1 ? (partition_first ? 0 : 5) : r_.below(10);
        if (pick < 3 && opt_.crashes)
            push(t, ev::crash, static_cast<int>(r_.below(nodes_.size())));
        else if (pick < 7 && opt_.partitions)
            push(t, ev::partition, -1);
        else if (opt_.crashes) {
            // Crash whichever node leads at that moment: decided when it fires.
            push(t, ev::crash, -2);
        }
    }
    while (!q_.empty() && q_.top().time <= opt_.chaos_ns) {
        event e = q_.top();
        if (e.kind == ev::crash && e.node == -2) {
            q_.pop();
            const int l = leader_index();
            if (l >= 0)
                push(e.time, ev::crash, l);
            continue;
        }
        process_one(opt_.chaos_ns);
    }
    // Heal: every node up, no partition, no loss; delay, duplication and
    // reordering go on.
    now_ = opt_.chaos_ns;
    healed_ = true;
    heal_time_ = now_;
    std::fill(side_.begin(), side_.end(), 0);
    for (size_t k = 0; k < nodes_.size(); ++k)
        if (!nodes_[k].up)
            start_node(static_cast<int>(k));
    note("network healed, all nodes up");
    const int64_t deadline = opt_.chaos_ns + opt_.liveness_ns;
    while (process_one(deadline)) {
        // Drop the faults still queued from the chaos period.
        while (!q_.empty() && (q_.top().kind == ev::crash || q_.top().kind == ev::partition ||
                               q_.top().kind == ev::heal || q_.top().kind == ev::restart))
            q_.pop();
        if (!res_.violations.empty())
            break;
        // Done once a post-heal proposal committed and every node applied it.
        if (res_.heal_to_commit_ns >= 0 && catch_up_index_ == 0)
            catch_up_index_ = committed_.rbegin()->first;
        if (catch_up_index_ != 0 &&
            std::all_of(nodes_.begin(), nodes_.end(), [&](const sim_node& n) { return n.applied >= catch_up_index_; }))
            break;
    }
    if (opt_.proposals && res_.heal_to_commit_ns < 0)
        violation(fmt::format("liveness: no proposal committed within {} s of the heal",
                              static_cast<double>(opt_.liveness_ns) / 1e9));
    else if (opt_.proposals && res_.violations.empty())
        for (const auto& n : nodes_)
            if (n.applied < catch_up_index_)
                violation(fmt::format("liveness: node {} applied only {} of {} within {} s of the heal", n.id,
                                      n.applied, catch_up_index_, static_cast<double>(opt_.liveness_ns) / 1e9));
    res_.committed = committed_.size();
    return res_;
}

int64_t simulation::failover()
{
    healed_ = true;
    const int64_t settle_until = 20 * SEC;
    while (process_one(settle_until)) {
    }
    now_ = settle_until;
    const int l = leader_index();
    if (l < 0)
        return -1;
    crash(l);
    const int64_t crashed_at = now_;
    while (process_one(crashed_at + 60 * SEC)) {
        const int k = leader_index();
        if (k >= 0 && k != l)
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

int64_t measure_failover(uint64_t seed, int nodes)
{
    sim_options o;
    o.seed = seed;
    o.nodes = nodes;
    o.proposals = false;
    o.loss = 0;
    o.duplicate = 0;
    o.max_delay_ns = 2 * MS;
    simulation s(o);
    return s.failover();
}

sim_options seed_options(uint64_t seed, int nodes)
{
    static constexpr double losses[] = {0.01, 0.05, 0.15, 0.3};
    static constexpr double dups[] = {0.01, 0.05, 0.2};
    static constexpr int64_t delays[] = {5 * MS, 30 * MS, 150 * MS};
    rng r{seed ^ 0x5eedULL};
    sim_options o;
    o.seed = seed;
    o.nodes = nodes != 0 ? nodes : (seed % 2 == 0 ? 3 : 5);
    o.chaos_ns = 60 * SEC;
    o.loss = losses[r.below(std::size(losses))];
    o.duplicate = dups[r.below(std::size(dups))];
    o.max_delay_ns = delays[r.below(std::size(delays))];
    return o;
}

uint64_t run_seeds(uint64_t first, uint64_t count, bool verbose)
{
    uint64_t violations = 0;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        const sim_options o = seed_options(seed, 0);
        const sim_result r = run_simulation(o);
        if (r.violations.empty())
            continue;
        violations += r.violations.size();
        std::cerr << fmt::format("seed {} ({} nodes): {} violation(s)\n", seed, o.nodes, r.violations.size());
        for (const auto& v : r.violations)
            std::cerr << "  " << v << "\n";
        if (verbose) {
            sim_options traced = o;
            traced.trace = true;
            const sim_result t = run_simulation(traced);
            std::cerr << fmt::format("trace of seed {} (replay: raft_sim_soak --seed {} --count 1 --trace):\n", seed, seed);
            const size_t start = t.trace.size() > 400 ? t.trace.size() - 400 : 0;
            for (size_t k = start; k < t.trace.size(); ++k)
                std::cerr << t.trace[k] << "\n";
        }
    }
    return violations;
}

}  // namespace raft::sim
