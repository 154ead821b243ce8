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
// Terms on the disks: the own key carries in its high 32 bits the highest term
// this voter granted its node or learnt from the peer's key (resv_key). A vote
// for term t is granted only once the key carries t on a quorum, and a takeover
// reads the peer's key before pre-empting it, carries its term into the own key
// first and never leads at or below it (floor_term). So a node that took the
// disks from a leader paused in a higher term does not lead, and commit, beneath
// it. A sitting leader takes no floor from its peer's key (the peer registers its
// trial's term while it is cut off, and taking it would depose a healthy leader)
// unless it has put its key back on a disk after a read that did not confirm it:
// only then may the peer have held the disks, and led, meanwhile.
//
// Threads: one thread steps the core (the endpoint's disk thread, or a test).
// Within a disk pass the per-disk runner may run the disks' commands on one
// thread each; every such body touches only its own disk's device, guard and
// reopen time and writes its own slot of the pass's results, which the stepping
// thread combines after all have returned. echo_fresh() and forget_echo() may be
// called from any thread: they use only the atomic echo_until_ and the clock.
#pragma once

#include "daemon/core/ha_fence_link.hpp"
#include "daemon/core/raft_msg.hpp"
#include "reservation/guarded_resv.hpp"

#include <atomic>
#include <climits>
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
    // Runs body(i) for every disk i below n and returns once all have returned.
    // The daemon's runs them on one thread per disk, so that a pass costs the
    // slowest disk's commands rather than the sum of all disks'. Null: one disk
    // after the other.
    using per_disk_fn = std::function<void(size_t n, const std::function<void(size_t)>& body)>;

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
    // A read that confirmed the disks lets the leader's appends be echoed for
    // this long from its anchor: the moment the last of its disks was asked
    // whether the own key is still registered there (the earliest such moment
    // of all disks). That answer proves the peer had not pre-empted the disk
    // before the question was sent; it may do so right after. Each disk is asked
    // whether the peer holds it first and about the own key last, so on a slow
    // disk the anchor lies one command time after the read began, and the
    // confirmation is still good for about confirm_valid_ns less one command
    // time when the read returns. A leader's fence pass that holds every disk
    // confirms them too (fence). On disks that answer each command 1 s late a
    // leader's pass with its peer dead (read, fence) takes 4 s and the next
    // begins 1 s later, so confirmations come at most 3 s apart, each anchored
    // 1 s before it comes: 4.5 s keeps the echo going with 0.5 s to spare.
    static constexpr int64_t confirm_valid_ns = 4500000000;
    // After pre-empting the peer this voter grants no vote for this long from the
    // end of that pass. The old leader's key was registered on every disk its
    // last confirming read counted when that disk was asked, and the peer held
    // none of them just before; a voter takes a disk on which the other key is
    // registered only by pre-empting it. So this node's hold on the disk both
    // quorums share began with a pre-emption after the old leader's anchor, and
    // the end of that pass came later still: the old leader's echoes stop at
    // anchor + confirm_valid_ns, before this node can be granted the vote that
    // makes it lead. The 500 ms margin covers an
    // echo still on its way to the old leader's Raft node and the two steady
    // clocks' rate difference over a few seconds.
    static constexpr int64_t takeover_settle_ns = 5000000000;
    static_assert(takeover_settle_ns >= confirm_valid_ns + 500000000,
                  "a takeover outlasts the old leader's last confirmation");
    // The settle time and the terms in the keys order a takeover against the old
    // leader in two ways, and each needs the other. In time: the old leader's
    // echoes count until anchor + confirm_valid_ns, and the new leader is granted
    // its vote only after that, so everything the old leader committed through
    // its voter came before the new leadership began. That holds only if an echo
    // stops counting when its confirmation ends at the Raft node too: an echo
    // carries that moment (echo_valid_until) and is ignored when read later, or
    // a leader stopped just after its voter echoed would wake and commit on it
    // long after the takeover. In terms: the new leader leads above every term
    // the old leader's key carried (floor_term), so the old leadership is of an
    // earlier term: waking, the old leader meets the higher term and follows.
    // Without it a node still at a lower term could lead and commit beneath the
    // old leader's term, and the old leader, waking at its higher term, would
    // overwrite those entries. The window carried is the voter's own
    // (confirm_valid_ns from the anchor), not a shorter one of the echo's: on
    // disks that answer each command 1 s late a 1 s window would have ended
    // before the echo was read.

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
                open_fn reopen = nullptr, per_disk_fn per_disk = nullptr);

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

    // Whether an append may be echoed now on the last confirming read alone.
    // The endpoint's receiving thread asks it for every append, so a leader's
    // appends are answered while a slow disk pass keeps the stepping thread busy.
    bool echo_fresh() const { return now() <= echo_until_.load(std::memory_order_acquire); }
    // A state change of the own node is on its way to the stepping thread: no
    // echo on the old confirmation until that thread has read the disks anew.
    void forget_echo() { echo_until_.store(INT64_MIN, std::memory_order_release); }
    // The echo of an append: its term, success, and the index a node would echo.
    // `until`: the steady time after which the echo no longer counts.
    static raft_msg_t echo_reply(const raft_msg_t& append, int64_t until);
    // The end of the last confirmation (INT64_MIN: none), for echo_reply.
    int64_t echo_until() const { return echo_until_.load(std::memory_order_acquire); }

    const std::string& name() const { return name_; }
    // The own key as registered now: the node id and the term it carries.
    uint64_t own_key() const { return own_key_; }
    uint64_t key_term() const { return key_term_; }
    // The node leads only above this term: the highest read in the peer's key
    // (or in the own key at start, which carried it on).
    uint64_t floor_term() const { return floor_term_; }
    uint32_t peer_id() const { return peer_id_; }
    uint32_t node_state() const { return node_state_; }
    uint32_t ha_resv_state() const { return ha_resv_state_; }
    uint32_t peer() const { return peer_state_; }
    size_t quorum() const { return guards_.size() / 2 + 1; }

    // Disk passes, public for tests and the endpoint's shutdown. `known`: per
    // disk, the own key was just read as registered there (no command needed).
    // register_all answers the number of disks the own key is registered on.
    size_t register_all(const std::vector<char>* known = nullptr);
    void release_all();
    void unregister_all();
    // `claim`: a term the own key is to carry from this pass on.
    bool fence(uint64_t claim = 0);
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
    // The term a trial started now asks for: the next, or the one after it when
    // the next is the peer's to take.
    uint64_t next_trial_term() const { return own_term(known_term_ + 1) ? known_term_ + 1 : known_term_ + 2; }
    void read_own_term();
    bool raise_key_term(uint64_t t);
    void learn_peer_term(uint64_t t);
    bool key_carries(uint64_t t);
    uint64_t term_above_floor(uint64_t current) const;
    void step_above_floor(uint64_t asked, bool pre, std::vector<raft_msg_t>& out);
    void step_down_below_floor(uint64_t term, std::vector<raft_msg_t>& out);
    bool disks_still_ours(std::vector<raft_msg_t>& out);
    void skip_foreign_term(uint64_t term, std::vector<raft_msg_t>& out);
    void periodic(std::vector<raft_msg_t>& out);
    void obtaining();
    // What one read of every disk says of this leadership.
    enum class disks_read { ours, unconfirmed, lost };
    // `anchor`: when the confirmation starts to count (see confirm_valid_ns);
    // `registered`: per disk, the own key read as registered.
    disks_read read_disks(int64_t& anchor, std::vector<char>& registered);
    // Reads the disks and keeps what the read said; a lost one steps the leader down.
    void read_and_note(std::vector<raft_msg_t>& out);
    // Makes what the last read allows visible to echo_fresh().
    void publish_echo();
    void each_disk(const std::function<void(size_t)>& body);
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
    uint64_t own_key_;
    uint64_t key_term_ = 0;
    uint64_t registered_key_ = 0;  // the key register_all last registered
    uint64_t carried_term_ = 0;    // the term the own key was last registered with on a quorum
    uint64_t floor_term_ = 0;
    // A step above the peer's term was sent: its state change keeps the hold.
    bool step_up_pending_ = false;
    uint64_t step_up_term_ = 0;
    // This leadership put its key back on a disk after a read that did not
    // confirm it: the peer may have held the disks since, so the fence now
    // learns the term of the peer's key.
    bool reregistered_unconfirmed_ = false;
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
    per_disk_fn per_disk_;
    // Latest time an append may be echoed on the last read; INT64_MIN: none.
    std::atomic<int64_t> echo_until_{INT64_MIN};
    // This step has read the disks already (the leader's pass then uses that read).
    bool read_this_step_ = false;
    std::vector<char> read_registered_;  // the last read's `registered`
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
