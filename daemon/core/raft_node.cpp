// The Raft node's step function: record filtering, terms, votes and elections.
// Replication and commit (the FOLLOWER and LEADER handlers) are in
// raft_replication.cpp. Single-threaded: see raft_node.hpp.
#include "daemon/core/raft_node.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace raft {

namespace {

// A term this high could not be advanced (a pre-vote carries term + 1), so a
// record that claims it is refused and the node never campaigns beyond it.
constexpr uint64_t TERM_LIMIT = std::numeric_limits<uint64_t>::max() - 1;

bool is_protocol(uint32_t type) { return type >= PRE_VOTE_REQUEST && type <= APPEND_RESPONSE; }

// Body fields are copied in and out with memcpy: the body need not be aligned.
template <class T> T body_field(const raft_msg_t& m, size_t offset)
{
    T v;
    std::memcpy(&v, m.body.raw + offset, sizeof v);
    return v;
}

template <class T> void set_body_field(raft_msg_t& m, size_t offset, T v)
{
    std::memcpy(m.body.raw + offset, &v, sizeof v);
}

}  // namespace

uint64_t append_response_index(const raft_msg_t& m) { return body_field<uint64_t>(m, 8); }
void set_append_response_index(raft_msg_t& m, uint64_t index) { set_body_field(m, 8, index); }
int64_t echo_valid_until(const raft_msg_t& m) { return body_field<int64_t>(m, 24); }
void set_echo_valid_until(raft_msg_t& m, int64_t until) { set_body_field(m, 24, until); }
uint32_t state_changed_heard(const raft_msg_t& m) { return body_field<uint32_t>(m, 24); }
void set_state_changed_heard(raft_msg_t& m, uint32_t heard) { set_body_field(m, 24, heard); }

raft_node_t::raft_node_t(uint32_t id, log_t* log, raft_clock* clock, random_source* rnd)
    : id_(id), log_(log), clock_(clock), rnd_(rnd)
{
    spare_.in_flight_timer.start = clock_->now_ns();
    spare_.liveness_timer.start = clock_->now_ns();
    heartbeat_timer_.restart(*clock_, *rnd_);
    election_timer_.restart(*clock_, *rnd_);
    leader_contact_timer_.restart(*clock_, *rnd_);
    uint64_t term = 0;
    log_->load_state(&term, &voted_for_, &last_applied_);
    set_term(term);
}

void raft_node_t::raft_add_neighbour(uint32_t peer_id)
{
    raft_peer_t p;
    p.id = peer_id;
    p.in_flight_timer.restart(*clock_, *rnd_);
    p.liveness_timer.restart(*clock_, *rnd_);
    peers_.push_back(p);
    majority_ = (peers_.size() + 1) / 2;
    pair_with_voter_ = peers_.size() == 2 && std::any_of(peers_.begin(), peers_.end(), [](const raft_peer_t& q) {
        return q.id == NODE_HA;
    });
    spdlog::trace("[raft] add neighbour [{}], new majority: {}", peer_id, majority_);
}

void raft_node_t::raft_reset_election_timer() { election_timer_.restart(*clock_, *rnd_); }

raft_peer_t* raft_node_t::find_peer(uint32_t id)
{
    for (auto& p : peers_)
        if (p.id == id)
            return &p;
    spare_ = raft_peer_t{};
    spare_.in_flight_timer.start = clock_->now_ns();
    spare_.liveness_timer.start = clock_->now_ns();
    return &spare_;
}

// Datagrams are untrusted: a protocol record must come from a configured peer,
// name a term that can still be advanced, and an append request that carries an
// entry must carry the one right after its previous entry, in a plausible term.
// Local records (TICK and the notices) come from 0 and are not checked here.
bool raft_node_t::accept(const raft_msg_t& m) const
{
    if (!is_protocol(m.type))
        return true;
    bool known = false;
    for (const auto& p : peers_)
        known = known || p.id == m.from;
    if (!known || m.term > TERM_LIMIT)
        return false;
    // A pre-vote carries the requester's term plus one, so never 0; granting one
    // would answer in the term before 0, which wraps to the largest term.
    if (m.type == PRE_VOTE_REQUEST && m.term == 0)
        return false;
    if (m.type == APPEND_REQUEST) {
        const auto& a = m.body.append;
        if (a.prev_term > m.term)
            return false;
        if (a.entry.index != 0 &&
            (a.entry.index != a.prev_index + 1 || a.entry.term > m.term || a.entry.term < a.prev_term))
            return false;
    }
    return true;
}

void raft_node_t::save_state() { log_->save_state(term(), voted_for_, last_applied_); }

void raft_node_t::push_state_changed(uint32_t from, uint32_t to, uint32_t reason, std::vector<raft_msg_t>& out)
{
    raft_msg_t m = make_msg(STATE_CHANGED, id_, id_, term());
    m.body.state_changed.old_state = from;
    m.body.state_changed.new_state = to;
    m.body.state_changed.incarnation = incarnation_;
    m.body.state_changed.reason = reason;
    out.push_back(m);
}

void raft_node_t::reset_peers()
{
    const uint64_t next = log_->last_index() + 1;
    for (auto& p : peers_) {
        p.liveness_timer.restart(*clock_, *rnd_);
        p.next = next;
        p.match = 0;
        p.in_flight = false;
        p.vote_granted = false;
        p.synced = false;
        p.heard = false;
        p.unanswered_since_ns = -1;
        p.acked_send_ns = -1;
        p.status = PEER_UNKNOWN;
    }
}

uint64_t raft_node_t::count_granted() const
{
    uint64_t n = 0;
    for (const auto& p : peers_)
        n += p.vote_granted ? 1 : 0;
    return n;
}

uint64_t raft_node_t::live_peers() const
{
    uint64_t n = 0;
    for (const auto& p : peers_)
        n += (p.status != PEER_DOWN || p.id == NODE_HA) ? 1 : 0;
    return n;
}

uint32_t raft_node_t::heard_peers() const
{
    uint32_t n = 0;
    for (const auto& p : peers_)
        n += (p.heard || p.id == NODE_HA) ? 1 : 0;
    return n;
}

bool raft_node_t::leader_alive()
{
    if (state() == LEADER)
        return live_peers() >= majority_;
    return !leader_contact_timer_.expired(*clock_);
}

// Raft's up-to-date test: a later last term wins, an equal one needs a log at
// least as long. (Demanding both at least ours separately can leave two
// survivors refusing each other for ever.)
bool raft_node_t::log_up_to_date(const raft_msg_t& m)
{
    const uint64_t lt = log_->last_term();
    return m.body.vote.last_term > lt || (m.body.vote.last_term == lt && m.body.vote.last_index >= log_->last_index());
}

// The requester's log is strictly more up to date than ours.
bool raft_node_t::log_behind(const raft_msg_t& m)
{
    const uint64_t lt = log_->last_term();
    return m.body.vote.last_term > lt || (m.body.vote.last_term == lt && m.body.vote.last_index > log_->last_index());
}

void raft_node_t::on_vote_request(const raft_msg_t& m, std::vector<raft_msg_t>& out)
{
    election_timer_.restart(*clock_, *rnd_);
    const bool pre = m.type == PRE_VOTE_REQUEST;
    // A node restarted since it last followed a leader (incarnation 0) must not
    // open a new cluster session over nodes that follow a running one; beyond
    // that, incarnations do not order candidates. A voter whose log is behind
    // the fresh node's yields, though: it can never win against that log, and
    // when the nodes that could are leadership-disabled or fresh themselves (a
    // leader that never followed anyone is fresh too) nobody would ever lead.
    const bool fresh_over_running = m.body.vote.incarnation == 0 && incarnation_ != 0 && !log_behind(m);
    bool grant = m.term >= term() && log_up_to_date(m) && !fresh_over_running;
    if (pre)
        grant = grant && !leader_alive();
    else
        grant = grant && (voted_for_ == 0 || voted_for_ == m.from);
    if (grant) {
        if (!pre)
            voted_for_ = m.from;
        save_state();
    }
    // A granted pre-vote answers in the requester's own term (the request carries
    // it plus one), so it can never be counted as a vote of a later round.
    raft_msg_t r = make_msg(VOTE_RESPONSE, m.from, id_, grant && pre ? m.term - 1 : term());
    r.body.flag = grant ? 1 : 0;
    out.push_back(r);
    spdlog::trace("[raft] >>> vote response t: {} v: {}", term(), grant ? "true" : "false");
}

void raft_node_t::start_trial_election(std::vector<raft_msg_t>& out)
{
    election_timer_.restart(*clock_, *rnd_);
    if (term() >= TERM_LIMIT - 1)
        return;
    push_state_changed(FOLLOWER, PRE_CANDIDATE, REASON_ELECTION, out);
    set_leader(LEADER_NONE);
    set_state(PRE_CANDIDATE);
    reset_peers();
    spdlog::trace("[raft] start new trial election for [{}] t: {}", id_, term());
    save_state();
    for (const auto& p : peers_) {
        raft_msg_t r = make_msg(PRE_VOTE_REQUEST, p.id, id_, term() + 1);
        r.body.vote.last_index = log_->last_index();
        r.body.vote.last_term = log_->last_term();
        r.body.vote.incarnation = incarnation_;
        out.push_back(r);
        spdlog::trace("[raft] >>> vote request to {}", p.id);
    }
}

void raft_node_t::start_election(std::vector<raft_msg_t>& out)
{
    spdlog::trace("[raft] receive all vote's from majority, become a candidate");
    push_state_changed(PRE_CANDIDATE, CANDIDATE, REASON_ELECTION, out);
    set_state(CANDIDATE);
    reset_peers();
    set_leader(LEADER_NONE);
    voted_for_ = id_;
    set_term(term() + 1);
    spdlog::trace("[raft] start new election for [{}] t: {}", id_, term());
    save_state();
    for (const auto& p : peers_) {
        raft_msg_t r = make_msg(VOTE_REQUEST, p.id, id_, term());
        r.body.vote.last_index = log_->last_index();
        r.body.vote.last_term = log_->last_term();
        r.body.vote.incarnation = incarnation_;
        out.push_back(r);
        spdlog::trace("[raft] >>> vote request to {}", p.id);
    }
}

void raft_node_t::become_leader(std::vector<raft_msg_t>& out)
{
    spdlog::trace("[raft] receive all vote's from majority, become a leader");
    push_state_changed(state(), LEADER, REASON_ELECTION, out);
    set_leader(id_);
    set_state(LEADER);
    reset_peers();
}

void raft_node_t::become_follower(uint32_t reason, std::vector<raft_msg_t>& out)
{
    const uint32_t old = state();
    push_state_changed(old, FOLLOWER, reason, out);
    // Before the state: a reader that still sees LEADER then finds no contact.
    majority_contact_ns_.store(-1, std::memory_order_release);
    set_state(FOLLOWER);
    // A former leader must not keep naming itself: the monitor would send stop
    // requests to a queue that does not exist.
    if (old == LEADER)
        set_leader(LEADER_NONE);
}

void raft_node_t::raft_resign(std::vector<raft_msg_t>& out)
{
    leadership_disabled_ = true;
    if (state() == FOLLOWER)
        return;
    become_follower(REASON_RESIGN, out);
    election_timer_.restart(*clock_, *rnd_);
}

int raft_node_t::pre_candidate_handler(const raft_msg_t& m, std::vector<raft_msg_t>& out)
{
    if (state() != PRE_CANDIDATE)
        return -1;
    if (m.type == VOTE_RESPONSE && m.body.flag == 1) {
        find_peer(m.from)->vote_granted = true;
        if (count_granted() >= majority_)
            start_election(out);
    } else if (majority_ == 0 && peers_.empty()) {
        become_leader(out);
    }
    return static_cast<int>(out.size());
}

int raft_node_t::candidate_handler(const raft_msg_t& m, std::vector<raft_msg_t>& out)
{
    if (state() != CANDIDATE)
        return -1;
    if (m.type == VOTE_RESPONSE && m.body.flag == 1) {
        find_peer(m.from)->vote_granted = true;
        if (count_granted() >= majority_)
            become_leader(out);
    } else if (majority_ == 0 && peers_.empty()) {
        become_leader(out);
    }
    return static_cast<int>(out.size());
}

int raft_node_t::raft_on_message(const raft_msg_t& m, std::vector<raft_msg_t>& out)
{
    if (!accept(m))
        return static_cast<int>(out.size());
    const uint32_t type = m.type;
    // Whatever a peer sends during a trial shows it can reach us, refusals and
    // stale records included: only a node that hears from too few is isolated.
    if (is_protocol(type) && state() == PRE_CANDIDATE)
        find_peer(m.from)->heard = true;
    // 1. Stale records (a response to an append is judged by the leader itself).
    // A stale vote request is refused in our term rather than ignored: a node
    // that never learns the higher term can never be granted by us, and three
    // connected nodes could then refuse each other for ever.
    // A stale append request is refused in our term too: otherwise a leader of
    // an older term keeps a majority without us and we stay cut off for ever.
    if (type >= PRE_VOTE_REQUEST && type <= APPEND_REQUEST && m.term < term()) {
        if (type == PRE_VOTE_REQUEST || type == VOTE_REQUEST) {
            raft_msg_t r = make_msg(VOTE_RESPONSE, m.from, id_, term());
            out.push_back(r);
            spdlog::trace("[raft] >>> vote response t: {} v: {}", term(), "false");
        } else if (type == APPEND_REQUEST) {
            raft_msg_t r = make_msg(APPEND_RESPONSE, m.from, id_, term());
            set_append_response_index(r, m.body.append.prev_index);
            out.push_back(r);
            spdlog::trace("[raft] >>> append response t: {} s: {}", term(), "false");
        }
        return static_cast<int>(out.size());
    }
    // 2. A higher term makes us a follower of that term; a pre-vote request never
    // does (its term is only proposed).
    if (type >= VOTE_REQUEST && type <= APPEND_RESPONSE && m.term > term()) {
        spdlog::trace("[raft] RPC {} term {} > current_term {}, become a follower", type, m.term, term());
        set_term(m.term);
        become_follower(REASON_HIGHER_TERM, out);
        voted_for_ = 0;
        election_timer_.restart(*clock_, *rnd_);
        save_state();
    }
    // 3. An append request of our term: its sender leads. The vote given in this
    // term stays: forgetting it would let us vote twice in one term.
    if (type == APPEND_REQUEST) {
        leader_contact_timer_.restart(*clock_, *rnd_);
        if (state() != FOLLOWER) {
            become_follower(REASON_APPEND, out);
            election_timer_.restart(*clock_, *rnd_);
            save_state();
        }
    }
    // 4.
    if (type == VOTE_RESPONSE && self_fencing_)
        election_timer_.restart(*clock_, *rnd_);
    // 5.
    if (type == PRE_VOTE_REQUEST || type == VOTE_REQUEST) {
        on_vote_request(m, out);
        return static_cast<int>(out.size());
    }
    // 6. Election time-out. An append request is never the moment to campaign:
    // the follower handler restarts the timer for it.
    if (type != APPEND_REQUEST && election_timer_.expired(*clock_)) {
        if (state() == FOLLOWER && !leadership_disabled_) {
            start_trial_election(out);
            return static_cast<int>(out.size());
        }
        if (state() == PRE_CANDIDATE || state() == CANDIDATE) {
            election_timer_.restart(*clock_, *rnd_);
            push_state_changed(state(), FOLLOWER, REASON_TIMEOUT, out);
            if (state() == PRE_CANDIDATE)
                set_state_changed_heard(out.back(), heard_peers());
            set_state(FOLLOWER);
            return static_cast<int>(out.size());
        }
    }
    // 7.
    switch (state()) {
    case FOLLOWER: return follower_handler(m, out);
    case PRE_CANDIDATE: return pre_candidate_handler(m, out);
    case CANDIDATE: return candidate_handler(m, out);
    case LEADER: return leader_handler(m, out);
    default: return -1;
    }
}

}  // namespace raft
