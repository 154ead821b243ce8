// The HA disk voter's decisions, without threads or real time: one step per record
// taken from the endpoint's queue (or per receive time-out), over an injectable
// steady clock and the guarded reservation devices of the pair's shared disks.
// The step answers its own node's votes and heartbeats through `out`, and keeps
// or takes the reservation as its node's Raft state and the peer's liveness say.
//
// In a pair the endpoint is the third voter: a vote it grants stands for "this
// node holds the reservation on more than half of the disks". It stores no log,
// so an entry the leader counts as committed through it is on the leader's disk
// only.
//
// Not safe for concurrent use: the endpoint's thread is its only user.
#pragma once

#include "daemon/core/ha_fence_link.hpp"
#include "daemon/core/raft_msg.hpp"
#include "reservation/guarded_resv.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace raft::transport {

class haresv_core {
public:
    using clock_fn = std::function<int64_t()>;  // steady nanoseconds
    // Opens a disk's device anew; null: devices are never reopened.
    using open_fn = std::function<std::unique_ptr<FreeBSD::reservation::resv>(const std::string& name)>;

    static constexpr int64_t timer_a_ns = 1000000000;   // leader's disk pass
    static constexpr int64_t timer_b_ns = 10000000000;  // challenge before taking the disks
    // A challenge left pending by a trial that timed out carries over only to a
    // trial that comes as soon as a node hearing nobody starts one (its election
    // time-out, 5 to 6 s, plus this margin). A later trial means the node heard a
    // leader or a candidate in between, and the old challenge says nothing about
    // whether the leader is alive now: the next trial begins a new one.
    static constexpr int64_t challenge_carry_ns = 7000000000;
    // A leader whose last read did not confirm its disks reads them again for an
    // append no sooner than this (its appends come every few milliseconds).
    static constexpr int64_t unconfirmed_retry_ns = 250000000;
    // A leader echoes appends for up to timer_a_ns from the start of a read that
    // confirmed its disks. After pre-empting the peer this voter grants no vote
    // for this long, so a leader that read its disks just before the pre-emption
    // has stopped committing on them before this node can lead.
    static constexpr int64_t takeover_settle_ns = 1500000000;
    static_assert(takeover_settle_ns > timer_a_ns, "a takeover outlasts the old leader's last confirmation");
    // A disk whose registration was not delivered is opened anew at most this
    // often: a disk that was removed and inserted again is a new device, and the
    // handle opened before answers nothing any more.
    static constexpr int64_t reopen_retry_ns = 10000000000;

    enum resv_state : uint32_t { RESV_NONE = 0, RESV_OBTAINING = 1, RESV_HELD = 2 };
    enum peer_state : uint32_t { PEER_UNKNOWN = 0, PEER_ALIVE = 1, PEER_DIED = 2 };

    // `devices` in the order of `disk_names`; the core owns them and their guards.
    // `link` (not owned, may be null) is where the core tells its service manager
    // that the peer is fenced, and learns that the peer may have its disks back;
    // without one the peer is released as soon as it is reported alive.
    haresv_core(uint32_t own_id, std::vector<std::string> disk_names,
                std::vector<std::unique_ptr<FreeBSD::reservation::resv>> devices, uint64_t flap_threshold,
                uint64_t flap_window_sec, clock_fn clock, kelm::ha_fence_link* link = nullptr,
                open_fn reopen = nullptr);

    // Loop start: starts both timers and registers the own key everywhere.
    void start();
    // One record (`msg` null: the receive timed out). Replies for the own node go
    // to `out`. Returns false once a STOP_THREAD was taken (the own key is then
    // unregistered from every usable disk). `superseded`: records queued behind
    // this one make it stale (superseded_by); its bookkeeping is done, its disk
    // commands and replies are not, so a voter whose disks answer slowly acts on
    // its node's newest state instead of working through a backlog.
    bool step(const raft_msg_t* msg, std::vector<raft_msg_t>& out, bool superseded = false);
    // Whether `later` (the records queued behind `m`) makes `m` stale: a later
    // state change for anything but a stop; for an append or a vote request, a
    // later one of its type too; for a peer's status, a later status of that node.
    static bool superseded_by(const raft_msg_t& m, const std::deque<raft_msg_t>& later);

    const std::string& name() const { return name_; }
    uint32_t own_key() const { return own_key_; }
    uint32_t peer_id() const { return peer_id_; }
    uint32_t node_state() const { return node_state_; }
    uint32_t ha_resv_state() const { return ha_resv_state_; }
    uint32_t peer() const { return peer_state_; }
    size_t quorum() const { return guards_.size() / 2 + 1; }

    // Disk passes, public for tests and the endpoint's shutdown.
    void register_all();
    void release_all();
    void unregister_all();
    bool fence();
    bool registered_majority();
    bool held_majority();

private:
    struct timer {
        int64_t start = 0;
        int64_t period = 0;
    };
    bool expired(const timer& t) const { return now() - t.start > t.period; }
    void restart(timer& t) { t.start = now(); }
    int64_t now() const { return clock_(); }

    void on_vote_request(const raft_msg_t& m, std::vector<raft_msg_t>& out);
    void on_state_changed(uint32_t old_state, uint32_t new_state, uint64_t term, uint32_t reason,
                          std::vector<raft_msg_t>& out, bool superseded);
    bool own_term(uint64_t t) const;
    bool disks_still_ours(std::vector<raft_msg_t>& out);
    void skip_foreign_term(uint64_t term, std::vector<raft_msg_t>& out);
    void periodic(std::vector<raft_msg_t>& out);
    void obtaining();
    // What one read of every disk says of this leadership.
    enum class disks_read { ours, unconfirmed, lost };
    disks_read read_disks();
    // Keeps what a read said; a lost one steps the leader down.
    void note_read(disks_read r, int64_t read_started, std::vector<raft_msg_t>& out);
    // Answers a vote request held back by the settle time once it is over.
    void answer_held_vote(std::vector<raft_msg_t>& out);
    bool settling() const { return preempted_ && now() - preempted_at_ < takeover_settle_ns; }
    // `taken`: the peer has the disks; else they could not be confirmed.
    void step_down(std::vector<raft_msg_t>& out, bool taken = true);
    void set_peer_fenced(bool fenced)
    {
        if (link_)
            link_->peer_fenced.store(fenced);
    }
    // The peer reported alive while this node leads: it gets its disks back only
    // once the service manager has seen it stop what it no longer owns.
    void let_peer_back();
    void note_term(uint64_t t)
    {
        if (t > known_term_)
            known_term_ = t;
    }

    uint32_t own_id_;
    uint32_t own_key_;
    uint32_t peer_id_;
    std::string name_ = "[HA reservation client]";
    std::vector<std::string> disk_names_;
    std::vector<std::unique_ptr<FreeBSD::reservation::resv>> devices_;
    std::vector<std::unique_ptr<FreeBSD::reservation::guarded_resv>> guards_;
    // Registers on disk i; a registration not delivered opens the device anew
    // (at most every reopen_retry_ns) and tries once more on the new handle.
    bool register_on(size_t i);
    open_fn reopen_;
    std::vector<int64_t> reopened_at_;  // per disk; INT64_MIN: never
    uint64_t last_registration_failures_ = 0;
    bool all_quarantined_reported_ = false;
    clock_fn clock_;

    uint32_t node_state_ = FOLLOWER;
    uint32_t ha_resv_state_ = RESV_NONE;
    uint32_t peer_state_ = PEER_UNKNOWN;
    bool pre_vote_granted_ = false;
    uint64_t last_pre_vote_term_ = 0;
    bool vote_granted_ = false;
    uint64_t last_vote_term_ = 0;
    timer timer_a_{0, timer_a_ns};
    timer timer_b_{0, timer_b_ns};
    // The highest term seen from the own node: a step-down names the next one.
    uint64_t known_term_ = 0;
    // Set once this leadership was lost on the disks: no more re-registering or
    // pre-empting until the node leaves LEADER.
    bool stepped_down_ = false;
    // The last read of the disks as leader confirmed them as this node's.
    bool disks_checked_ = false;
    // "cannot confirm" was logged since the disks were last confirmed.
    bool unconfirmed_reported_ = false;
    // The last read of this leadership did not confirm the disks.
    bool disks_unconfirmed_ = false;
    bool preempted_ = false;            // a pass of this process pre-empted the peer
    int64_t preempted_at_ = 0;          // end of the last such pass
    bool vote_held_ = false;           // held_vote_ waits for the settle time
    raft_msg_t held_vote_{};
    int64_t disks_checked_at_ = 0;
    int64_t trial_timed_out_at_ = 0;  // when the last trial ended on its time-out
    kelm::ha_fence_link* link_;
    // "kept fenced" was logged since the last fence pass.
    bool held_back_reported_ = false;
    // The disks the last "not fenced off" line named (empty: none logged since
    // the peer was last shut out of every disk).
    std::string not_fenced_reported_;
};

}  // namespace raft::transport
