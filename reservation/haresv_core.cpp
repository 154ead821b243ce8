// The HA disk voter's step function: vote rule, state-change step, periodic step,
// obtaining step and the disk passes behind them. One thread steps it; a pass
// hands each disk's commands to the per-disk runner and combines their results
// (and logs) on the stepping thread, in disk order.
#include "reservation/haresv_core.hpp"

#include "daemon/core/raft_node.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>

namespace raft::transport {

using FreeBSD::reservation::disk_health;
using FreeBSD::reservation::guarded_resv;
using FreeBSD::reservation::resv;

haresv_core::haresv_core(uint32_t own_id, std::vector<std::string> disk_names,
                         std::vector<std::unique_ptr<resv>> devices, uint64_t flap_threshold,
                         uint64_t flap_window_sec, clock_fn clock, kelm::ha_fence_link* link, open_fn reopen,
                         per_disk_fn per_disk)
    : own_id_(own_id),
      own_key_(FreeBSD::reservation::resv_key(own_id, 0)),
      peer_id_(own_id == 1 ? 2 : 1),
      disk_names_(std::move(disk_names)),
      devices_(std::move(devices)),
      reopen_(std::move(reopen)),
      reopened_at_(devices_.size(), INT64_MIN),
      per_disk_(std::move(per_disk)),
      clock_(std::move(clock)),
      link_(link)
{
    // Window in ns; the start-up check keeps it within 64 bits, a test may not.
    const uint64_t window_ns =
        flap_window_sec > UINT64_MAX / 1000000000u ? UINT64_MAX : flap_window_sec * 1000000000u;
    const std::string name = name_;
    for (auto& d : devices_) {
        guards_.push_back(std::make_unique<guarded_resv>(
            d.get(), flap_threshold, window_ns, clock_, [name](resv& dev, const disk_health& h) {
                spdlog::error("{} Disk {} QUARANTINED: {} device errors, threshold {} per {} s. Excluded from the "
                              "reservation group until kelm restart; replace the disk.",
                              name, dev.name(), h.total, h.threshold, h.window / 1000000000);
            }));
    }
    const size_t n = guards_.size();
    spdlog::info("{} disks: {}, quorum: {}, flap detect: {} device errors per {} s", name_, n, n / 2 + 1,
                 flap_threshold, flap_window_sec);
}

void haresv_core::start()
{
    restart(timer_a_);
    restart(timer_b_);
    read_own_term();
    register_all();
    spdlog::info("{} started", name_);
}

// A restarted voter goes on from the term its key last carried, so a
// registration never lowers it; the term may be one read in the peer's key
// before this process pre-empted it, the only record of it left: the node does
// not lead at or below it either.
void haresv_core::read_own_term()
{
    std::vector<uint64_t> terms(guards_.size(), 0);
    each_disk([&](size_t i) {
        uint64_t key = 0;
        if (guards_[i]->usable() && guards_[i]->registered_key(own_id_, key))
            terms[i] = FreeBSD::reservation::key_term(key);
    });
    for (uint64_t t : terms)
        (void)raise_key_term(t);
    if (key_term_ > floor_term_)
        floor_term_ = key_term_;
    if (key_term_ > 0)
        spdlog::info("{} Own key carries term {}: this node leads only above it", name_, key_term_);
}

bool haresv_core::raise_key_term(uint64_t t)
{
    if (t <= key_term_)
        return false;
    key_term_ = t;
    own_key_ = FreeBSD::reservation::resv_key(own_id_, t);
    return true;
}

// The peer's key names the highest term its voter granted: this node never
// leads at or below it (its entries there may be committed on the peer's disk),
// and its own key carries the term on before the peer's is pre-empted.
void haresv_core::learn_peer_term(uint64_t t)
{
    if (t <= floor_term_)
        return;
    spdlog::info("{} Node {}'s key carries term {}: this node leads only above it", name_, peer_id_, t);
    floor_term_ = t;
}

void haresv_core::each_disk(const std::function<void(size_t)>& body)
{
    if (per_disk_) {
        per_disk_(guards_.size(), body);
        return;
    }
    for (size_t i = 0; i < guards_.size(); ++i)
        body(i);
}

size_t haresv_core::register_all(const std::vector<char>* known)
{
    const uint64_t n = guards_.size();
    // Per disk: 0 not usable, 1 registered, 2 failed.
    std::vector<char> result(guards_.size(), 0);
    each_disk([&](size_t i) {
        if (!guards_[i]->usable())
            return;
        const bool already = known != nullptr && i < known->size() && (*known)[i] != 0;
        result[i] = already || register_on(i) ? 1 : 2;
    });
    uint64_t usable = 0;
    uint64_t failures = 0;
    for (char r : result) {
        usable += r != 0;
        failures += r == 2;
    }
    registered_key_ = own_key_;
    if (usable - failures >= quorum() && key_term_ > carried_term_)
        carried_term_ = key_term_;
    if (n > 0 && usable == 0) {
        last_registration_failures_ = n;
        if (!all_quarantined_reported_) {
            spdlog::error("{} All {} disk(s) quarantined: HA fencing is not possible until kelm restart", name_, n);
            all_quarantined_reported_ = true;
        }
        return 0;
    }
    all_quarantined_reported_ = false;
    if (failures == last_registration_failures_)
        return usable - failures;
    last_registration_failures_ = failures;
    if (failures > 0)
        spdlog::warn("{} Registration failed on {} of {} disk(s)", name_, failures, n);
    else
        spdlog::info("{} Registration restored on {} disk(s)", name_, usable);
    return usable - failures;
}

bool haresv_core::register_on(size_t i)
{
    auto& g = *guards_[i];
    if (g.registrate(own_key_))
        return true;
    if (!reopen_ || g.error_kind() != FreeBSD::reservation::resv_not_delivered || !g.usable() ||
        (reopened_at_[i] != INT64_MIN && now() - reopened_at_[i] < reopen_retry_ns))
        return false;
    reopened_at_[i] = now();
    auto fresh = reopen_(disk_names_[i]);
    if (!fresh)
        return false;
    g.rewrap(fresh.get());
    devices_[i] = std::move(fresh);
    return g.registrate(own_key_);
}

void haresv_core::release_all()
{
    set_peer_fenced(false);
    std::vector<char> released(guards_.size(), 0);
    each_disk([&](size_t i) {
        auto& g = *guards_[i];
        if (g.usable() && g.holds(own_id_)) {
            (void)g.release(own_key_);
            released[i] = 1;
        }
    });
    if (std::find(released.begin(), released.end(), 1) != released.end())
        spdlog::info("{} Update reservation: release", name_);
}

void haresv_core::unregister_all()
{
    each_disk([&](size_t i) {
        if (guards_[i]->usable())
            (void)guards_[i]->unregistrate(own_key_);
    });
}

bool haresv_core::fence(uint64_t claim)
{
    // Whatever this pass takes, the peer needs a new sweep before it is let back.
    if (link_)
        link_->release_allowed.store(false);
    held_back_reported_ = false;
    const size_t n = guards_.size();
    size_t held = 0;
    size_t shut_out = 0;  // disks read as holding no key of the peer's, reserved by this node
    size_t quarantined = 0;
    bool preempted = false;
    bool acquired = false;
    (void)raise_key_term(claim);
    // A sitting leader whose key stayed on its disks knows that the peer has not
    // held them since it was elected: a term in the peer's key is then only that
    // of a trial the peer made while cut off, and stepping down for it would
    // depose a healthy leader.
    const bool take_floor = node_state_ != LEADER || reregistered_unconfirmed_;
    const uint64_t base_term = key_term_;
    std::string not_fenced;  // the disks the peer may still write, for the log
    auto name_unfenced = [&](size_t i) {
        if (!not_fenced.empty())
            not_fenced += ", ";
        not_fenced += disk_names_[i];
    };
    // What one disk's commands found; filled on that disk's thread.
    struct disk_fence {
        bool usable = false;
        const char* failure = nullptr;
        bool did_preempt = false;
        bool did_acquire = false;
        // Whether the last read of the peer's registration was answered: a read
        // that failed says nothing about the peer, so that disk shuts out nobody.
        bool peer_read = false;
        int64_t held_at = 0;  // when the last "held?" question that found it held was sent
        uint64_t peer_term = 0;  // the term the peer's key carried, when it was registered
        uint64_t key = 0;        // the own key this disk's commands used
        bool registered = false;  // that key was registered here by this pass
    };
    std::vector<disk_fence> r(n);
    each_disk([&](size_t i) {
        auto& g = *guards_[i];
        disk_fence& f = r[i];
        f.usable = g.usable();
        if (!f.usable)
            return;
        auto held = [&] {
            const int64_t asked = now();
            if (!g.holds(own_id_))
                return false;
            f.held_at = asked;
            return true;
        };
        uint64_t peer_key = 0;
        const bool peer_registered = g.registered_key(peer_id_, peer_key);
        const bool peer_answered = g.error_kind() == FreeBSD::reservation::resv_ok;
        f.peer_term = peer_registered ? FreeBSD::reservation::key_term(peer_key) : 0;
        const uint64_t term = take_floor && f.peer_term > base_term ? f.peer_term : base_term;
        f.key = FreeBSD::reservation::resv_key(own_id_, term);
        // The own key takes the peer's term (and the claimed one) on a disk
        // before the peer's key, which may be its last record, is removed there.
        if (f.key != registered_key_) {
            if (!g.registrate(f.key)) {
                f.failure = "own key not registered with the peer's term";
                return;
            }
            f.registered = true;
        }
        if (peer_registered) {
            if (!g.preempt(f.key, peer_key)) {
                f.failure = "preempt failed";
                return;
            }
            // The peer's key is gone from this disk whatever follows: the settle
            // time counts from this pass even when the disk is not held after it.
            f.did_preempt = true;
            if (!g.holds(own_id_)) {
                f.did_acquire = true;
                if (!g.acquire(f.key))
                    f.failure = "acquire failed";
            }
            if (f.failure == nullptr && g.is_registered(peer_id_))
                f.failure = "peer key still registered after preempt";
            else if (f.failure == nullptr)
                f.peer_read = g.error_kind() == FreeBSD::reservation::resv_ok;
            if (f.failure == nullptr && !held())
                f.failure = "reservation is not held after acquire";
        } else {
            f.peer_read = peer_answered;
            if (!held()) {
                f.did_acquire = true;
                if (!g.acquire(f.key))
                    f.failure = "acquire failed";
                else if (!held())
                    f.failure = "reservation is not held after acquire";
            }
        }
    });
    // What the peer's keys said, and the own key brought to one term on every
    // disk (a disk's own pass may have raised it there alone).
    bool diverged = false;
    for (const auto& f : r) {
        if (!f.usable)
            continue;
        if (take_floor)
            learn_peer_term(f.peer_term);
        diverged = diverged || (f.registered && f.key != own_key_);
    }
    const bool raised = take_floor && raise_key_term(floor_term_);
    bool any_registered = false;
    for (const auto& f : r)
        any_registered = any_registered || f.registered;
    if (raised || diverged)
        (void)register_all();
    else if (any_registered)
        registered_key_ = own_key_;
    for (size_t i = 0; i < n; ++i) {
        const disk_fence& f = r[i];
        preempted = preempted || f.did_preempt;
        if (!f.usable) {
            ++quarantined;
            name_unfenced(i);
            continue;
        }
        if (f.failure != nullptr || !f.peer_read)
            name_unfenced(i);
        if (f.failure != nullptr) {
            spdlog::error("{} Fencing of {} failed: {}", name_, disk_names_[i], f.failure);
            continue;
        }
        ++held;
        if (f.peer_read)
            ++shut_out;
        acquired = acquired || f.did_acquire;
    }
    if (preempted) {
        preempted_ = true;
        preempted_at_ = now();
        spdlog::info("{} Update reservation: preempt", name_);
    }
    if (acquired)
        spdlog::info("{} Update reservation: aquire", name_);
    // A quorum is enough to vote and lead; the peer's services are started here
    // only once it is shut out of every disk, since any disk it can still write
    // may carry one of its pools.
    const bool everywhere = n > 0 && shut_out == n;
    set_peer_fenced(everywhere);
    // A leader's pass that holds every usable disk, a quorum of all, confirms
    // them as a read does: the holder of a disk is registered there, and its
    // hold was found after the peer's key was read as gone or pre-empted. On
    // slow disks this keeps the echo going through the pass that follows.
    if (node_state_ == LEADER && !stepped_down_ && held >= n / 2 + 1 && held + quarantined == n) {
        int64_t anchor = INT64_MAX;
        for (const auto& f : r)
            if (f.usable)
                anchor = std::min(anchor, f.held_at);
        if (!disks_checked_ || anchor > disks_checked_at_) {
            disks_checked_ = true;
            disks_unconfirmed_ = false;
            disks_checked_at_ = anchor;
            publish_echo();
        }
    }
    if (everywhere)
        not_fenced_reported_.clear();
    else if (held >= n / 2 + 1 && not_fenced != not_fenced_reported_) {
        spdlog::warn("{} Node {} not fenced off {}: its services are not started here until it is; fencing is "
                     "retried every second (a quarantined disk is back after kelm restart)",
                     name_, peer_id_, not_fenced);
        not_fenced_reported_ = not_fenced;
    }
    if (held >= n / 2 + 1)
        return true;
    spdlog::error("{} Fencing quorum not reached: held {} of {}, required {}, quarantined {}", name_, held, n,
                  n / 2 + 1, quarantined);
    return false;
}

bool haresv_core::registered_majority()
{
    std::vector<char> yes(guards_.size(), 0);
    each_disk([&](size_t i) { yes[i] = guards_[i]->usable() && guards_[i]->is_registered(own_id_); });
    return static_cast<size_t>(std::count(yes.begin(), yes.end(), 1)) > guards_.size() / 2;
}

// Every usable disk is asked at once: on slow disks, asking them one after the
// other to stop early would cost more than it saves.
bool haresv_core::held_majority()
{
    std::vector<char> yes(guards_.size(), 0);
    each_disk([&](size_t i) { yes[i] = guards_[i]->usable() && guards_[i]->holds(own_id_); });
    return static_cast<size_t>(std::count(yes.begin(), yes.end(), 1)) > guards_.size() / 2;
}

// One read of every disk as leader. Lost: the peer has taken the disks (the own
// key read as gone from a quorum, or the peer read as holding a quorum). Ours:
// the own key read as registered on a quorum of all configured disks and the
// peer read as holding none of those that answered. Anything else, a disk that
// did not answer or is quarantined included, confirms nothing: a leader that
// cannot read its disks cannot know that the peer has not taken them.
haresv_core::disks_read haresv_core::read_disks(int64_t& anchor, std::vector<char>& registered_on)
{
    const size_t q = quorum();
    const size_t n = guards_.size();
    struct disk_look {
        bool asked = false;
        bool registered = false;
        bool exact = false;  // registered with the key the voter uses now
        bool gone = false;
        bool peer_holds = false;
        int64_t asked_at = 0;  // when the own key's registration was asked for
    };
    std::vector<disk_look> r(n);
    anchor = now();
    each_disk([&](size_t i) {
        auto& g = *guards_[i];
        if (!g.usable())
            return;
        disk_look& l = r[i];
        l.peer_holds = g.holds(peer_id_);
        l.asked_at = now();
        uint64_t key = 0;
        l.registered = g.registered_key(own_id_, key);
        l.exact = l.registered && key == own_key_;
        l.gone = !l.registered && g.error_kind() == FreeBSD::reservation::resv_ok;
        l.asked = true;
    });
    size_t gone = 0;
    size_t registered = 0;
    size_t peer_holds = 0;
    bool anchored = false;
    registered_on.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
        if (!r[i].asked)
            continue;
        if (!anchored || r[i].asked_at < anchor)
            anchor = r[i].asked_at;
        anchored = true;
        registered += r[i].registered;
        registered_on[i] = r[i].exact;
        gone += r[i].gone;
        peer_holds += r[i].peer_holds;
    }
    if (guards_.empty())
        return disks_read::unconfirmed;
    if (gone >= q || peer_holds >= q)
        return disks_read::lost;
    if (registered >= q && peer_holds == 0) {
        unconfirmed_reported_ = false;
        return disks_read::ours;
    }
    if (!unconfirmed_reported_)
        spdlog::warn("{} Leadership not confirmed on the disks: own key read on {} of {}, required {}, peer holds "
                     "{}: appends are not answered until it is",
                     name_, registered, guards_.size(), q, peer_holds);
    unconfirmed_reported_ = true;
    return disks_read::unconfirmed;
}

// A refused vote response in a term above the node's own makes it a follower of
// that term (the Raft node's higher-term rule); nothing else is needed from it.
void haresv_core::step_down(std::vector<raft_msg_t>& out, bool taken)
{
    stepped_down_ = true;
    publish_echo();
    set_peer_fenced(false);
    if (taken)
        spdlog::error("{} Reservation taken by node {}: leader steps down", name_, peer_id_);
    else
        spdlog::error("{} Disks not confirmed and node {} not heard: leader steps down; it leads again once "
                      "its disks read as its own or its peer follows it",
                      name_, peer_id_);
    raft_msg_t r = make_msg(VOTE_RESPONSE, own_id_, NODE_HA, known_term_ + 1);
    r.body.flag = 0;
    out.push_back(r);
}

// An echo lets the leader commit on its own disk alone, so it is given only to a
// node whose disks were read as its own (read_disks) less than confirm_valid_ns
// before; without it a leader cut off from its peer loses its majority and steps
// down. An older read is repeated first: a node that was stopped while it led, or
// that leads on a vote of the peer's, wakes before any pass of its own. So is one
// older than the leader's 1 s pass when that pass is due: the read then serves
// the pass too, and the echo goes out before the pass's other commands.
bool haresv_core::disks_still_ours(std::vector<raft_msg_t>& out)
{
    if (stepped_down_)
        return false;
    const bool pass_due = node_state_ == LEADER && expired(timer_a_) && !read_this_step_;
    if (disks_checked_ && echo_fresh() && !pass_due)
        return true;
    if (disks_unconfirmed_ && now() - disks_checked_at_ < unconfirmed_retry_ns)
        return false;
    read_and_note(out);
    return disks_checked_ && echo_fresh();
}

// A read counts from its anchor, not from its answer: the peer may have
// pre-empted a disk just after it was asked, and on a slow disk the answer
// comes seconds later.
void haresv_core::read_and_note(std::vector<raft_msg_t>& out)
{
    int64_t anchor = 0;
    const disks_read r = read_disks(anchor, read_registered_);
    read_this_step_ = true;
    if (r == disks_read::lost)
        step_down(out);
    disks_checked_ = r == disks_read::ours;
    disks_unconfirmed_ = r == disks_read::unconfirmed;
    disks_checked_at_ = anchor;
    publish_echo();
}

// No echo either for a leadership at or below a term the peer's key carried.
void haresv_core::publish_echo()
{
    const bool ok = disks_checked_ && !stepped_down_ && known_term_ > floor_term_;
    echo_until_.store(ok ? disks_checked_at_ + confirm_valid_ns : INT64_MIN, std::memory_order_release);
}

raft_msg_t haresv_core::echo_reply(const raft_msg_t& m, int64_t until)
{
    raft_msg_t r = make_msg(APPEND_RESPONSE, m.from, NODE_HA, m.term);
    r.body.flag = 1;
    // The same echo a node gives: the entry carried, else the checked previous
    // index. The voter keeps no log, so "committed" through it means on the
    // leader's disk only.
    set_append_response_index(r, m.body.append.entry.index != 0 ? m.body.append.entry.index : m.body.append.prev_index);
    set_echo_valid_until(r, until);
    return r;
}

void haresv_core::on_vote_request(const raft_msg_t& m, std::vector<raft_msg_t>& out)
{
    const bool pre = m.type == PRE_VOTE_REQUEST;
    const uint64_t t = pre ? m.term - 1 : m.term;
    note_term(t);
    // A pre-vote binds nothing: only a vote given in a term forbids another.
    const bool already = !pre && vote_granted_ && t <= last_vote_term_;
    const bool fenced = ha_resv_state_ == RESV_HELD;
    const char* disks = "not re-read";
    bool granted = false;
    // The term the node would lead in: a pre-vote's as proposed, a vote's own.
    if (!already && fenced && m.term <= floor_term_) {
        step_above_floor(m.term, pre, out);
        return;
    }
    if (!already && fenced && (pre || own_term(t)) && settling()) {
        spdlog::info("{} vote request t: {} ({}) held back until the peer's last disk confirmation has expired",
                     name_, m.term, pre ? "pre" : "vote");
        held_vote_ = m;
        vote_held_ = true;
        return;
    }
    if (!already && fenced && (pre || own_term(t))) {
        granted = (pre || key_carries(t)) && held_majority();
        disks = granted ? "held" : "NOT held";
        // The reservation was lost: take it again at the next election.
        if (!granted) {
            ha_resv_state_ = RESV_NONE;
            set_peer_fenced(false);
        }
    }
    spdlog::info("{} vote request t: {} ({}), granted: {} (fenced: {}, term: {}, disks: {})", name_, m.term,
                 pre ? "pre" : "vote", granted, fenced, already ? "already granted" : "fresh", disks);
    if (!granted)
        return;
    if (pre) {
        pre_vote_granted_ = true;
        last_pre_vote_term_ = t;
    } else {
        vote_granted_ = true;
        last_vote_term_ = t;
    }
    raft_msg_t r = make_msg(VOTE_RESPONSE, m.from, NODE_HA, t);
    r.body.flag = 1;
    out.push_back(r);
}

// A vote makes the node a leader of its term only once the own key carries the
// term on a quorum of the disks: whoever takes the disks later pre-empts at
// least one of them and learns not to lead at or below it.
bool haresv_core::key_carries(uint64_t t)
{
    if (t <= carried_term_)
        return true;
    (void)raise_key_term(t);
    const size_t registered = register_all();
    if (registered >= quorum())
        return true;
    spdlog::warn("{} Own key carries term {} on {} of {} disk(s), required {}: vote not granted", name_, t,
                 registered, guards_.size(), quorum());
    return false;
}

// A term above the node's `current` one (a refusal of any other changes
// nothing), not below the floor, whose next term is this node's to take.
uint64_t haresv_core::term_above_floor(uint64_t current) const
{
    const uint64_t start = floor_term_ > current + 1 ? floor_term_ : current + 1;
    return own_term(start + 1) ? start : start + 1;
}

// A node asking to lead at or below a term the peer's key carried is moved
// above it instead: a refused vote response of a term whose next one is its own
// to take makes it a follower there, and its next trial asks for a term above
// the peer's. It keeps the reservation it took for this trial.
void haresv_core::step_above_floor(uint64_t asked, bool pre, std::vector<raft_msg_t>& out)
{
    const uint64_t to = term_above_floor(pre ? asked - 1 : asked);
    spdlog::info("{} Term {} is not above term {} of node {}'s key: the node moves to term {}, its next trial asks "
                 "for term {}",
                 name_, asked, floor_term_, peer_id_, to, to + 1);
    step_up_pending_ = true;
    step_up_term_ = to;
    raft_msg_t r = make_msg(VOTE_RESPONSE, own_id_, NODE_HA, to);
    r.body.flag = 0;
    out.push_back(r);
}

// A leader at or below a term the peer's key carried may lack entries the peer
// committed there: it gets no echo and moves above its own term.
void haresv_core::step_down_below_floor(uint64_t term, std::vector<raft_msg_t>& out)
{
    stepped_down_ = true;
    publish_echo();
    set_peer_fenced(false);
    const uint64_t to = term_above_floor(term);
    spdlog::error("{} Leader of term {} is not above term {} of node {}'s key: leader steps down to term {}", name_,
                  term, floor_term_, peer_id_, to);
    raft_msg_t r = make_msg(VOTE_RESPONSE, own_id_, NODE_HA, to);
    r.body.flag = 0;
    out.push_back(r);
}

// Each node's voter grants only its own node, so a term that two voters could
// both grant would have two leaders writing different entries under the same
// (index, term) after a takeover. Node 1 wins by its voter only odd terms, node 2
// only even ones; a vote from the other node is the Raft node's own affair.
bool haresv_core::own_term(uint64_t t) const { return t % 2 == own_id_ % 2; }

// A trial that timed out, whose next election term this voter could not grant,
// moves the node on by one term (a refused vote response of that term makes it a
// follower there and restarts its election timer). Its next trial, 5 to 6 s
// later, then asks for a term of its own just as the 10 s challenge is up. Only
// on a time-out: a trial ended by a higher term or a leader has nothing to skip.
void haresv_core::skip_foreign_term(uint64_t term, std::vector<raft_msg_t>& out)
{
    if (own_term(term + 1))
        return;
    spdlog::info("{} Term {} is node {}'s to take on the disks: skip it, the next trial asks for term {}", name_,
                 term + 1, peer_id_, term + 2);
    raft_msg_t r = make_msg(VOTE_RESPONSE, own_id_, NODE_HA, term + 1);
    r.body.flag = 0;
    out.push_back(r);
}

void haresv_core::on_state_changed(uint32_t old_state, uint32_t new_state, uint64_t term, uint32_t reason,
                                   std::vector<raft_msg_t>& out, bool superseded)
{
    spdlog::info("{} State changed {} -> {}", name_, old_state, new_state);
    // A leadership's fencing facts end with it: the next leader fences and
    // sweeps anew.
    if (node_state_ == LEADER && new_state != LEADER && link_) {
        link_->peer_fenced.store(false);
        link_->release_allowed.store(false);
    }
    // The state change the step above the peer's term caused: the reservation
    // taken for the trial carries over to the next one, like a timed-out one's.
    const bool stepped_up = step_up_pending_ && reason == REASON_HIGHER_TERM && term == step_up_term_;
    step_up_pending_ = false;
    if (stepped_up)
        trial_timed_out_at_ = now();
    node_state_ = new_state;
    restart(timer_a_);
    disks_checked_ = false;
    disks_unconfirmed_ = false;
    reregistered_unconfirmed_ = false;
    publish_echo();
    if (new_state != LEADER)
        stepped_down_ = false;
    if (old_state == PRE_CANDIDATE && new_state == FOLLOWER && reason == REASON_TIMEOUT) {
        trial_timed_out_at_ = now();
        skip_foreign_term(term, out);
    } else if (old_state == PRE_CANDIDATE && new_state == FOLLOWER && ha_resv_state_ == RESV_OBTAINING) {
        // A trial ended by a leader or a higher term: someone is there.
        ha_resv_state_ = RESV_NONE;
    }
    if (new_state == PRE_CANDIDATE && ha_resv_state_ == RESV_OBTAINING &&
        now() - trial_timed_out_at_ > challenge_carry_ns)
        ha_resv_state_ = RESV_NONE;
    // A state the node has already left: the timers and states above follow it,
    // the disks wait for the newest one (whose record is queued).
    if (superseded) {
        if (new_state == PRE_CANDIDATE && ha_resv_state_ == RESV_NONE) {
            restart(timer_b_);
            ha_resv_state_ = RESV_OBTAINING;
        } else if (new_state == LEADER) {
            peer_state_ = PEER_UNKNOWN;
            ha_resv_state_ = RESV_NONE;
        } else if (new_state == FOLLOWER && ha_resv_state_ == RESV_HELD && !stepped_up &&
                   !((old_state == PRE_CANDIDATE || old_state == CANDIDATE) && reason == REASON_TIMEOUT)) {
            ha_resv_state_ = RESV_NONE;
        }
        if (new_state == FOLLOWER)
            set_peer_fenced(false);
        return;
    }
    if (new_state == PRE_CANDIDATE && ha_resv_state_ == RESV_NONE) {
        restart(timer_b_);
        // The term this trial asks for goes into the own key with the
        // registration it makes anyway, so that neither the fence nor the vote
        // needs a pass of its own for it.
        (void)raise_key_term(next_trial_term());
        register_all();
        spdlog::info("{} Try to obtain reservation", name_);
        obtaining();
        return;
    }
    if (new_state == LEADER) {
        register_all();
        peer_state_ = PEER_UNKNOWN;
        ha_resv_state_ = RESV_NONE;
        periodic(out);
        return;
    }
    // A follower holds nothing: a node that lost the election must not keep the
    // leader off the disks. An obtaining pass stays pending for the next trial;
    // so does a reservation taken for a trial or an election that then timed out
    // (nobody answered it): on slow disks the pass outlasts the trial, and releasing it
    // would begin the next trial from nothing, for ever. The next vote re-reads it.
    const bool trial_timed_out =
        stepped_up || ((old_state == PRE_CANDIDATE || old_state == CANDIDATE) && reason == REASON_TIMEOUT);
    if (new_state == FOLLOWER && !trial_timed_out) {
        release_all();
        if (ha_resv_state_ == RESV_HELD)
            ha_resv_state_ = RESV_NONE;
    }
    if (ha_resv_state_ == RESV_OBTAINING)
        obtaining();
}

void haresv_core::periodic(std::vector<raft_msg_t>& out)
{
    if (expired(timer_a_) && node_state_ == LEADER && !stepped_down_) {
        if (!read_this_step_)
            read_and_note(out);
        // The voter always counts as live for its node, so a leader that can
        // neither read its disks nor hear its peer would keep leading alone.
        if (!stepped_down_ && disks_unconfirmed_ && peer_state_ != PEER_ALIVE)
            step_down(out, false);
        if (!stepped_down_) {
            if (disks_unconfirmed_)
                for (size_t i = 0; i < guards_.size(); ++i)
                    if (guards_[i]->usable() && (i >= read_registered_.size() || read_registered_[i] == 0))
                        reregistered_unconfirmed_ = true;
            register_all(&read_registered_);
            if (peer_state_ == PEER_ALIVE) {
                let_peer_back();
            } else if (peer_state_ == PEER_DIED) {
                if (!fence(known_term_))
                    spdlog::error("{} Fencing failed: peer may still have access", name_);
            }
        }
        restart(timer_a_);
    }
    if (ha_resv_state_ == RESV_OBTAINING)
        obtaining();
}

void haresv_core::let_peer_back()
{
    if (link_ == nullptr || link_->release_allowed.load()) {
        release_all();
        return;
    }
    // After a takeover the returning peer may still hold the pools of services
    // that were started here: its disks stay fenced until its Runner has stopped
    // them (the service manager's sweep on its node-online event).
    if (!held_back_reported_)
        spdlog::info("{} node {} alive: kept fenced until it has stopped the services of others", name_, peer_id_);
    held_back_reported_ = true;
}

void haresv_core::obtaining()
{
    ha_resv_state_ = RESV_OBTAINING;
    if (!expired(timer_b_) || node_state_ != PRE_CANDIDATE)
        return;
    restart(timer_b_);
    if (registered_majority() && fence(next_trial_term())) {
        ha_resv_state_ = RESV_HELD;
        spdlog::info("Obtain reservation done.");
    } else {
        ha_resv_state_ = RESV_NONE;
        spdlog::info("Obtain reservation failed.");
    }
}

bool haresv_core::superseded_by(const raft_msg_t& m, const std::deque<raft_msg_t>& later)
{
    if (m.type == STOP_THREAD)
        return false;
    for (const auto& l : later) {
        if (l.type == STATE_CHANGED || l.type == STOP_THREAD)
            return true;
        if (l.type == m.type && (m.type == APPEND_REQUEST || m.type == PRE_VOTE_REQUEST || m.type == VOTE_REQUEST))
            return true;
        if (l.type == NODE_STATUS && m.type == NODE_STATUS && l.from == m.from)
            return true;
    }
    return false;
}

void haresv_core::answer_held_vote(std::vector<raft_msg_t>& out)
{
    if (!vote_held_ || settling())
        return;
    vote_held_ = false;
    const raft_msg_t m = held_vote_;
    on_vote_request(m, out);
}

bool haresv_core::step(const raft_msg_t* msg, std::vector<raft_msg_t>& out, bool superseded)
{
    read_this_step_ = false;
    // A held vote is answered only while its node's state is still the one it
    // asked in: any later record about the state or votes makes it stale.
    if (msg != nullptr && (msg->type == STATE_CHANGED || msg->type == PRE_VOTE_REQUEST ||
                           msg->type == VOTE_REQUEST || msg->type == STOP_THREAD))
        vote_held_ = false;
    else
        answer_held_vote(out);
    if (msg == nullptr) {
        periodic(out);
        return true;
    }
    const raft_msg_t& m = *msg;
    switch (m.type) {
    case STOP_THREAD:
        unregister_all();
        return false;
    case NODE_STATUS: {
        const bool alive = m.body.flag != 0;
        const bool peer = m.from == peer_id_;
        spdlog::info("{} node {} {}{}", name_, m.from, alive ? "alive" : "died", peer ? "" : " (not peer, ignored)");
        if (peer)
            peer_state_ = alive ? PEER_ALIVE : PEER_DIED;
        if (!superseded)
            periodic(out);
        return true;
    }
    case APPEND_REQUEST: {
        note_term(m.term);
        if (superseded)
            return true;
        // A leader at or below a term the peer's key carried may lack entries
        // committed there: no echo helps it commit.
        if (m.term <= floor_term_) {
            if (!stepped_down_)
                step_down_below_floor(m.term, out);
            periodic(out);
            return true;
        }
        if (!disks_still_ours(out)) {
            periodic(out);
            return true;
        }
        out.push_back(echo_reply(m, echo_until()));
        periodic(out);
        return true;
    }
    case PRE_VOTE_REQUEST:
    case VOTE_REQUEST:
        if (superseded) {
            note_term(m.type == PRE_VOTE_REQUEST ? m.term - 1 : m.term);
            return true;
        }
        on_vote_request(m, out);
        periodic(out);
        return true;
    case STATE_CHANGED:
        note_term(m.term);
        on_state_changed(m.body.state_changed.old_state, m.body.state_changed.new_state, m.term,
                         m.body.state_changed.reason, out, superseded);
        return true;
    default:
        if (!superseded)
            periodic(out);
        return true;
    }
}

}  // namespace raft::transport
