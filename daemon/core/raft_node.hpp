// raft_node_t: one node of the Raft cluster as a pure step function. It owns no
// thread, socket or clock: records go in through raft_on_message, the records it
// produces come out in a vector, time comes from an injected raft_clock and chance
// from an injected random_source, and everything durable lives in the log_t.
//
// Threads: exactly one thread (the monitor's "mon-raft") calls the operations,
// and it must hold the log lock during each call, since the node reads and writes
// the log. Other threads may read id(), state(), term() and leader() at any time:
// those four are atomics written only by the stepping thread. Nothing else may be
// read from another thread.
//
// How the monitor drives the node:
//  - Construct it with its id, the log (already opened), a clock and a random
//    source; call raft_add_neighbour for every transport queue's tag in order (the
//    other configured nodes, then 67 when the HA endpoint is configured); set
//    leadership_disabled and self_fencing; call raft_reset_election_timer when the
//    stepping thread starts.
//  - Hand in every record read from "rx_queue" except STOP_NODE, STOP_CLUSTER,
//    STOP_THREAD and EXIT (the monitor's own), and a TICK (make_msg(TICK, 0, 0,
//    term())) whenever none arrived within the receive time-out (5 ms while
//    leader, 50 ms otherwise). Protocol records (130-134) from a sender that is
//    not a peer, or malformed, are ignored; unknown types act like a TICK.
//  - Clear the output vector before each call. A negative result means the node
//    is broken (a handler ran in a state not its own): end the daemon. Otherwise
//    act on every output record in order:
//      PRE_VOTE_REQUEST, VOTE_REQUEST, VOTE_RESPONSE, APPEND_REQUEST,
//      APPEND_RESPONSE (130-134): send to the transport queue tagged `to`.
//      STATE_CHANGED: state change notice (old, new, incarnation, reason); copy it
//        to the queue tagged 67 when one exists.
//      NODE_STATUS: peer `from` is up (flag 1) or down (0); copy to the queue 67.
//      NODE_SYNCED: peer `from` reached (1) or left (0) the leader's last index;
//        informational.
//      FSM_APPLY: the next committed entry, key at body.apply.key and value at
//        body.apply.value (both NUL-terminated); apply it to the key/value store.
//        Entries come in index order, at most one or two per step; the node has
//        already stored last_applied, so on restart the store is rebuilt from
//        entries 1..last_applied() of the log.
//      FSM_REWIND: only in a pair with the HA endpoint: applied entries after
//        body.rewind_to were withdrawn (see below); rebuild the key/value store
//        from entries 1..body.rewind_to of the log. The entries that follow come
//        as FSM_APPLY again.
//  - To propose an entry while leader, append it to the log directly (index
//    last_index() + 1, term term()); the node replicates and commits it.
//
// An APPEND_REQUEST is never checked for the election time-out: the step that
// carries one neither starts a trial election nor ends a campaign on time-out,
// whatever the timer says (a follower restarts the timer for it instead). A node
// whose time-out ran out acts on it at its next TICK or other record.
//
// An APPEND_REQUEST whose entry differs from one at or below the commit index (or
// last_applied after a restart) is refused without touching the log, and the
// first such refusal is logged at error: a leader of a later term holds every
// committed entry, so only a forged or corrupt record can ask for that.
// A pair with the HA endpoint (67) is the exception: there an entry the leader
// committed through the endpoint alone lives on its own disk only, and the peer
// that takes the disks over after that leader died leads without it. When the old
// leader comes back, the new leader's entry replaces it: the node truncates, moves
// its commit index and last_applied back below the replaced entry, stores
// last_applied and hands out FSM_REWIND, so it can follow again.
//
// APPEND_RESPONSE carries, besides the success byte at offset 24, a u64 echo
// index at offset 32 (append_response_index): on success the index of the entry
// the request carried, or for a heartbeat the previous index it checked; on
// failure the previous index that did not match. The leader trusts nothing else
// in a response, so duplicated, late or reordered responses cannot make it count
// an entry that a follower does not hold. The HA endpoint answers in the same way.
#pragma once

#include "daemon/core/log.hpp"
#include "daemon/core/raft_clock.hpp"
#include "daemon/core/raft_msg.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

namespace raft {

// STATE_CHANGED reasons.
enum raft_reason : uint32_t {
    REASON_ELECTION = 0,
    REASON_HIGHER_TERM = 1,
    REASON_APPEND = 2,
    REASON_TIMEOUT = 3,
    REASON_LOST_MAJORITY = 4,
    REASON_RESIGN = 5,  // raft_resign: the daemon is exiting
};

enum peer_status : uint32_t { PEER_UNKNOWN = 0, PEER_DOWN = 1, PEER_UP = 2 };

// The echo index of an APPEND_RESPONSE (offset 32).
uint64_t append_response_index(const raft_msg_t& m);
void set_append_response_index(raft_msg_t& m, uint64_t index);
// The HA endpoint's echo (an APPEND_RESPONSE from NODE_HA) also carries, at
// offset 48, the time on the node's steady clock after which it no longer
// counts: the end of the disk confirmation it was given on. A leader that reads
// it later (it was stopped in between, or the record waited) takes nothing from
// it, since the peer may have taken the disks meanwhile. 0: not told.
int64_t echo_valid_until(const raft_msg_t& m);
void set_echo_valid_until(raft_msg_t& m, int64_t until);

struct raft_peer_t {
    uint32_t id = 0;
    uint64_t next = 0;
    uint64_t match = 0;
    raft_timer_t in_flight_timer = raft_timer_t::fixed(IN_FLIGHT_NS);
    raft_timer_t liveness_timer = raft_timer_t::fixed(LIVENESS_NS);
    bool in_flight = false;
    // The echoes that answer the request in flight: on acceptance its entry's
    // index (its previous index for a heartbeat), on refusal its previous index.
    // Only such an answer ends the flight before the in-flight timer: a copy of
    // an answer, or the answer to a resend, must not send a request of its own,
    // or each of them keeps one more request circulating while the peer lags.
    uint64_t accepted_echo = 0;
    uint64_t refused_echo = 0;
    bool vote_granted = false;
    bool synced = false;
    bool heard = false;  // sent us any record during the current trial election
    // Leader lease: when the oldest append request that no response has followed
    // yet went out (-1: none), and the latest such send time a response of our
    // term has followed (-1: none in this leadership). A response answers a
    // request sent no earlier than the oldest one unanswered, up to reordering
    // in the network; a response that waited in the socket while this process
    // was paused is credited with the send time before the pause, not with the
    // time it was read.
    int64_t unanswered_since_ns = -1;
    int64_t acked_send_ns = -1;
    uint32_t status = PEER_UNKNOWN;
};

// A STATE_CHANGED from PRE_CANDIDATE to FOLLOWER on time-out carries, at body
// offset 24 (record offset 48, after the reason), how many peers were heard during
// the trial (the HA endpoint always counts): the monitor self-fences only a node
// that heard from fewer than a majority, i.e. an isolated one.
uint32_t state_changed_heard(const raft_msg_t& m);
void set_state_changed_heard(raft_msg_t& m, uint32_t heard);

class raft_node_t {
public:
    // Loads term, vote and last_applied from the log; starts the heartbeat and
    // election timers. The log, clock and random source must outlive the node.
    raft_node_t(uint32_t id, log_t* log, raft_clock* clock, random_source* rnd);
    raft_node_t(const raft_node_t&) = delete;
    raft_node_t& operator=(const raft_node_t&) = delete;

    void raft_add_neighbour(uint32_t peer_id);
    void raft_reset_election_timer();

    // One step: appends the records it produces to out (which the caller clears).
    // Returns -1 when a per-state handler met a state not its own, else the
    // number of records in out.
    int raft_on_message(const raft_msg_t& in, std::vector<raft_msg_t>& out);

    void set_leadership_disabled(bool v) { leadership_disabled_ = v; }
    // From now on the node neither keeps nor seeks leadership (its daemon is
    // exiting): a leader or candidate becomes a follower at once (STATE_CHANGED
    // with REASON_RESIGN), and the node never campaigns again. It still votes
    // and follows, so the others can elect a leader while it finishes.
    void raft_resign(std::vector<raft_msg_t>& out);
    void set_self_fencing(bool v) { self_fencing_ = v; }

    // Readable from any thread.
    uint32_t id() const { return id_; }
    uint32_t state() const { return state_.load(std::memory_order_relaxed); }
    uint64_t term() const { return term_.load(std::memory_order_relaxed); }
    uint32_t leader() const { return leader_.load(std::memory_order_relaxed); }
    // While leader: the send time of the newest append request after which a
    // majority of the peers has answered, on the node's clock (with no peers,
    // the time of the last step); -1 when not leader or no majority answered yet
    // in this leadership. No other node can be elected before the shortest
    // election time-out after it (the followers' leader-contact timers), so a
    // leader whose contact is younger than that still leads.
    int64_t majority_contact_ns() const { return majority_contact_ns_.load(std::memory_order_acquire); }

    // Stepping thread only.
    uint64_t commit() const { return commit_; }
    uint64_t last_applied() const { return last_applied_; }
    uint64_t incarnation() const { return incarnation_; }
    uint32_t voted_for() const { return voted_for_; }
    uint64_t majority() const { return majority_; }
    const std::vector<raft_peer_t>& peers() const { return peers_; }

private:
    // elections (raft_node.cpp)
    bool accept(const raft_msg_t& m) const;
    void on_vote_request(const raft_msg_t& m, std::vector<raft_msg_t>& out);
    bool log_up_to_date(const raft_msg_t& m);
    bool log_behind(const raft_msg_t& m);
    bool leader_alive();
    void start_trial_election(std::vector<raft_msg_t>& out);
    void start_election(std::vector<raft_msg_t>& out);
    void become_leader(std::vector<raft_msg_t>& out);
    void become_follower(uint32_t reason, std::vector<raft_msg_t>& out);
    int pre_candidate_handler(const raft_msg_t& m, std::vector<raft_msg_t>& out);
    int candidate_handler(const raft_msg_t& m, std::vector<raft_msg_t>& out);
    uint64_t count_granted() const;
    void push_state_changed(uint32_t from, uint32_t to, uint32_t reason, std::vector<raft_msg_t>& out);
    raft_peer_t* find_peer(uint32_t id);
    void reset_peers();
    void save_state();
    void set_state(uint32_t s) { state_.store(s, std::memory_order_relaxed); }
    void set_term(uint64_t t) { term_.store(t, std::memory_order_relaxed); }
    void set_leader(uint32_t l) { leader_.store(l, std::memory_order_relaxed); }

    // replication (raft_replication.cpp)
    int follower_handler(const raft_msg_t& m, std::vector<raft_msg_t>& out);
    int leader_handler(const raft_msg_t& m, std::vector<raft_msg_t>& out);
    void on_append_response(const raft_msg_t& m, std::vector<raft_msg_t>& out);
    void advance_commit();
    void apply_one(std::vector<raft_msg_t>& out);
    void push_append_request(raft_peer_t& p, std::vector<raft_msg_t>& out);
    void push_node_status(const raft_peer_t& p, std::vector<raft_msg_t>& out);
    void push_node_synced(const raft_peer_t& p, std::vector<raft_msg_t>& out);
    uint64_t live_peers() const;
    uint32_t heard_peers() const;
    void publish_majority_contact();
    // The highest index known committed: the commit index, or after a restart
    // (which starts it at 0) the last applied one.
    uint64_t committed() const { return std::max(commit_, last_applied_); }
    void withdraw_from(uint64_t index, const raft_msg_t& m, std::vector<raft_msg_t>& out);

    const uint32_t id_;
    log_t* log_;
    raft_clock* clock_;
    random_source* rnd_;

    uint64_t majority_ = 0;
    uint64_t commit_ = 0;
    uint64_t last_applied_ = 0;
    uint64_t incarnation_ = 0;
    std::atomic<uint32_t> state_{FOLLOWER};
    bool leadership_disabled_ = false;
    bool self_fencing_ = false;
    bool refused_truncation_logged_ = false;  // the refusal is logged once per node
    bool pair_with_voter_ = false;            // a peer 67 was added
    std::atomic<uint64_t> term_{0};
    uint32_t voted_for_ = 0;
    std::atomic<uint32_t> leader_{LEADER_NONE};
    std::atomic<int64_t> majority_contact_ns_{-1};
    std::vector<raft_peer_t> peers_;
    raft_peer_t spare_;  // what a lookup of an unknown id yields
    raft_timer_t election_timer_ = raft_timer_t::randomised(ELECTION_BASE_NS, ELECTION_RANGE_NS);
    raft_timer_t heartbeat_timer_ = raft_timer_t::fixed(HEARTBEAT_NS);
    raft_timer_t leader_contact_timer_ = raft_timer_t::fixed(LEADER_CONTACT_NS);
};

// The largest index that majority peers (by their match) hold, capped at
// last_index: the leader's commit candidate. With majority 0 it is last_index.
uint64_t raft_quorum_index(const std::vector<raft_peer_t>& peers, uint64_t majority, uint64_t last_index);

}  // namespace raft
