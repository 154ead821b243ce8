// The Raft node's FOLLOWER and LEADER handlers: log replication, pacing, peer
// liveness, commit and the hand-over of committed entries. Single-threaded: see
// raft_node.hpp.
#include "daemon/core/raft_node.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

namespace raft {

namespace {

std::string_view bounded(const char* text, size_t size) { return {text, strnlen(text, size - 1)}; }

}  // namespace

uint64_t raft_quorum_index(const std::vector<raft_peer_t>& peers, uint64_t majority, uint64_t last_index)
{
    if (majority == 0)
        return last_index;
    if (majority > peers.size())
        return 0;
    uint64_t matches[64];
    size_t n = 0;
    for (const auto& p : peers)
        if (n < std::size(matches))
            matches[n++] = p.match;
    std::nth_element(matches, matches + (majority - 1), matches + n, std::greater<uint64_t>());
    return std::min(matches[majority - 1], last_index);
}

void raft_node_t::apply_one(std::vector<raft_msg_t>& out)
{
    if (commit_ <= last_applied_)
        return;
    ++last_applied_;
    const log_entry_t e = log_->get(last_applied_);
    const auto key = bounded(e.key, KEY_SIZE);
    const auto value = bounded(e.value, VALUE_SIZE);
    spdlog::trace("[raft] Apply entry to FSM, k: {}, v: {}", key, value);
    raft_msg_t m = make_msg(FSM_APPLY, id_, id_, term());
    std::memcpy(m.body.apply.key, key.data(), key.size());
    std::memcpy(m.body.apply.value, value.data(), value.size());
    out.push_back(m);
    save_state();
}

// The entries from index on were committed here through the HA endpoint alone and
// the leader of a later term, who took the disks over, never had them: drop them,
// commit and applied state included, and let the store be rebuilt without them.
void raft_node_t::withdraw_from(uint64_t index, const raft_msg_t& m, std::vector<raft_msg_t>& out)
{
    spdlog::warn("[raft] leader {} of t{} replaces entries {}..{} committed on this node's disk only "
                 "(commit {} applied {}): they are dropped",
                 m.from, m.term, index, log_->last_index(), commit_, last_applied_);
    log_->truncate(index);
    commit_ = std::min(commit_, index - 1);
    if (last_applied_ >= index) {
        last_applied_ = index - 1;
        save_state();
        raft_msg_t r = make_msg(FSM_REWIND, id_, id_, term());
        r.body.rewind_to = last_applied_;
        out.push_back(r);
    }
}

int raft_node_t::follower_handler(const raft_msg_t& m, std::vector<raft_msg_t>& out)
{
    if (state() != FOLLOWER)
        return -1;
    apply_one(out);
    if (m.type != APPEND_REQUEST)
        return static_cast<int>(out.size());
    election_timer_.restart(*clock_, *rnd_);

    const auto& a = m.body.append;
    bool success = log_->exists(a.prev_index, a.prev_term);
    // The index up to which this request proved our log equal to the leader's.
    uint64_t checked = a.prev_index;
    if (!success) {
        spdlog::trace("[raft] previous log entry ({},{}) does not exist", a.prev_index, a.prev_term);
    } else if (a.entry.index != 0) {
        const log_entry_t local = log_->get(a.entry.index);
        if (local.index != 0 && local.term != a.entry.term && a.entry.index <= committed() && pair_with_voter_) {
            withdraw_from(a.entry.index, m, out);
        } else if (local.index != 0 && local.term != a.entry.term && a.entry.index <= committed()) {
            // A leader of a later term holds every committed entry, so this request
            // is forged or corrupt: truncating would drop entries that are applied
            // and acknowledged. Refuse it and keep the log.
            if (!refused_truncation_logged_) {
                refused_truncation_logged_ = true;
                spdlog::error("[raft] refused append from {} t: {}: it would replace committed entry {} "
                              "(term {} by {}); commit {} applied {}",
                              m.from, m.term, a.entry.index, local.term, a.entry.term, commit_, last_applied_);
            }
            raft_msg_t r = make_msg(APPEND_RESPONSE, m.from, id_, term());
            set_append_response_index(r, a.prev_index);
            out.push_back(r);
            return static_cast<int>(out.size());
        }
        if (local.index != 0 && local.term != a.entry.term) {
            spdlog::trace("[raft] delete entries from {}", a.entry.index);
            log_->truncate(a.entry.index);
        }
        if (!log_->exists(a.entry.index, a.entry.term)) {
            const auto key = bounded(a.entry.key, KEY_SIZE);
            const auto value = bounded(a.entry.value, VALUE_SIZE);
            log_->append(log_entry_init(a.entry.index, a.entry.term, key, value));
            spdlog::trace("[raft] append entry ({},{}) k: {}, v: {} to log", a.entry.index, a.entry.term, key, value);
            spdlog::trace("[raft] lc: {} cc: {} la: {} le: {}", a.commit, commit_, last_applied_, log_->last_index());
        }
        checked = a.entry.index;
    }
    // Entries past the checked index may be an older term's leftovers: never
    // commit over them, and never move the commit index back.
    if (success) {
        const uint64_t bound = std::min(a.commit, checked);
        if (bound > commit_) {
            commit_ = bound;
            spdlog::trace("[raft] new coomit_idx: {} lc {}", commit_, a.commit);
        }
    }
    spdlog::trace("[raft] >>> append response t: {} s: {}", term(), success ? "true" : "false");
    if (leader() != m.from) {
        ++incarnation_;
        set_leader(m.from);
    }
    raft_msg_t r = make_msg(APPEND_RESPONSE, m.from, id_, term());
    r.body.flag = success ? 1 : 0;
    set_append_response_index(r, checked);
    out.push_back(r);
    apply_one(out);
    return static_cast<int>(out.size());
}

void raft_node_t::push_node_status(const raft_peer_t& p, std::vector<raft_msg_t>& out)
{
    raft_msg_t m = make_msg(NODE_STATUS, id_, p.id, term());
    m.body.flag = p.status == PEER_UP ? 1 : 0;
    out.push_back(m);
}

void raft_node_t::push_node_synced(const raft_peer_t& p, std::vector<raft_msg_t>& out)
{
    raft_msg_t m = make_msg(NODE_SYNCED, id_, p.id, term());
    m.body.flag = p.synced ? 1 : 0;
    out.push_back(m);
}

// The request names the entry just before the peer's next one, so a caught-up
// peer is asked about the leader's last entry and a lagging one about exactly
// the entry it is to extend.
void raft_node_t::push_append_request(raft_peer_t& p, std::vector<raft_msg_t>& out)
{
    if (p.unanswered_since_ns < 0)
        p.unanswered_since_ns = clock_->now_ns();
    raft_msg_t m = make_msg(APPEND_REQUEST, p.id, id_, term());
    auto& a = m.body.append;
    a.commit = commit_;
    const uint64_t last = log_->last_index();
    if (p.next > last + 1)
        p.next = last + 1;
    if (p.next != 0) {
        a.prev_index = p.next - 1;
        a.prev_term = a.prev_index == 0 ? 0 : log_->get(a.prev_index).term;
        if (p.next <= last) {
            a.entry = log_->get(p.next);
            spdlog::trace("[raft] append k: {} , v: {}", bounded(a.entry.key, KEY_SIZE),
                          bounded(a.entry.value, VALUE_SIZE));
        }
    }
    p.refused_echo = a.prev_index;
    p.accepted_echo = a.entry.index != 0 ? a.entry.index : a.prev_index;
    out.push_back(m);
}

// Only the echoed index moves match and next: a response says nothing about
// which request it answers otherwise, and the in-flight resend makes duplicates.
// Every response of our term shows the peer alive; only one that echoes what
// the request in flight asks ends the flight.
void raft_node_t::on_append_response(const raft_msg_t& m, std::vector<raft_msg_t>& out)
{
    if (m.term != term())
        return;
    // An echo of the HA endpoint read after its disk confirmation ended.
    if (m.from == NODE_HA && echo_valid_until(m) != 0 && clock_->now_ns() > echo_valid_until(m))
        return;
    raft_peer_t& p = *find_peer(m.from);
    const uint64_t echo = append_response_index(m);
    if (echo > log_->last_index())
        return;
    if (echo == (m.body.flag == 1 ? p.accepted_echo : p.refused_echo))
        p.in_flight = false;
    p.liveness_timer.restart(*clock_, *rnd_);
    if (p.unanswered_since_ns >= 0) {
        p.acked_send_ns = std::max(p.acked_send_ns, p.unanswered_since_ns);
        p.unanswered_since_ns = -1;
    }
    if (m.body.flag == 1) {
        p.match = std::max(p.match, echo);
        p.next = std::max(p.next, echo + 1);
        spdlog::trace("[raft] follower [{}] status = {} n:m to ({}:{})", m.from, "success, update", p.next, p.match);
    } else if (echo + 1 == p.next && p.next > 1 && p.next - 1 > p.match) {
        // A refusal counts only when it answers the probe we are making now.
        --p.next;
        spdlog::trace("[raft] follower [{}] status = {} n:m to ({}:{})", m.from, "failed, decrement", p.next, p.match);
    }
    if (p.status != PEER_UP) {
        p.status = PEER_UP;
        push_node_status(p, out);
        spdlog::trace("[raft] node: {} up", p.id);
    }
}

// The majority_-th newest answered send time among the peers (a refusal counts
// too: the follower took our term and restarted its leader-contact timer).
// Runs after the liveness check of the step, so a leader whose peers all went
// silent (or that was paused past their liveness) has stepped down first.
void raft_node_t::publish_majority_contact()
{
    int64_t contact = clock_->now_ns();
    if (majority_ > 0) {
        std::vector<int64_t> acked;
        acked.reserve(peers_.size());
        for (const auto& p : peers_)
            acked.push_back(p.acked_send_ns);
        if (acked.size() < majority_)
            return;
        std::nth_element(acked.begin(), acked.begin() + static_cast<std::ptrdiff_t>(majority_ - 1), acked.end(),
                         std::greater<>());
        contact = acked[majority_ - 1];
    }
    majority_contact_ns_.store(contact, std::memory_order_release);
}

// The newest entry that majority peers hold commits once it is of our own term;
// older terms' entries commit only beneath it. One read, whatever the log size.
void raft_node_t::advance_commit()
{
    const uint64_t n = raft_quorum_index(peers_, majority_, log_->last_index());
    if (n <= commit_)
        return;
    if (log_->get(n).term != term())
        return;
    commit_ = n;
    spdlog::trace("[raft] new coomit_idx: {}", commit_);
}

int raft_node_t::leader_handler(const raft_msg_t& m, std::vector<raft_msg_t>& out)
{
    if (state() != LEADER)
        return -1;
    const size_t mark = out.size();
    const uint64_t last = log_->last_index();
    for (auto& p : peers_) {
        if (p.in_flight && p.in_flight_timer.expired(*clock_))
            p.in_flight = false;
        if (p.status != PEER_DOWN && p.liveness_timer.expired(*clock_)) {
            p.status = PEER_DOWN;
            push_node_status(p, out);
            spdlog::trace("[raft] node: {} down", p.id);
        } else if (!p.synced && p.match == last) {
            p.synced = true;
            push_node_synced(p, out);
            spdlog::trace("[raft] node: {} synced", p.id);
        } else if (p.synced && p.match != last) {
            p.synced = false;
            push_node_synced(p, out);
        }
    }
    if (live_peers() < majority_) {
        spdlog::warn("[raft] leader lost majority, go to follower state");
        out.resize(mark);
        become_follower(REASON_LOST_MAJORITY, out);
        reset_peers();
        return static_cast<int>(out.size());
    }
    if (m.type == APPEND_RESPONSE)
        on_append_response(m, out);
    publish_majority_contact();
    advance_commit();
    apply_one(out);

    if (heartbeat_timer_.expired(*clock_)) {
        spdlog::trace("[raft] heartbeat timeout");
        for (auto& p : peers_) {
            if (p.in_flight)
                continue;
            p.in_flight = true;
            p.in_flight_timer.restart(*clock_, *rnd_);
            push_append_request(p, out);
            spdlog::trace("[raft] >>> Append request to [{}]", p.id);
        }
        heartbeat_timer_.restart(*clock_, *rnd_);
    } else {
        for (auto& p : peers_) {
            if (p.status != PEER_UP || p.next > log_->last_index() || p.in_flight)
                continue;
            spdlog::trace("[raft] >>> Append request to [{}]", p.id);
            p.in_flight = true;
            p.in_flight_timer.restart(*clock_, *rnd_);
            push_append_request(p, out);
        }
    }
    return static_cast<int>(out.size());
}

}  // namespace raft
