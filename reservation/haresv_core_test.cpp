// The HA disk voter's decisions over in-memory shared disks and a hand-driven
// clock: votes, obtaining, leader passes, release on follower, step-down, echo.
#include "reservation/haresv_core.hpp"

#include "daemon/core/raft_node.hpp"
#include "platform/emulated/disk_emul.hpp"
#include "reservation/resv_open.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

namespace {

using namespace raft;
using raft::transport::haresv_core;
using namespace FreeBSD::reservation;

constexpr int64_t s = 1000000000;

// One shared disk: registrations (by node, with the whole key each carries)
// and an EXCLUSIVE_ACCESS reservation.
struct disk {
    std::set<uint32_t> keys;            // registered nodes
    std::map<uint32_t, uint64_t> full;  // node -> registered key, term included
    uint32_t holder = 0;                // 0: not reserved
    bool broken = false;
    bool refuse_preempt = false;  // answers a pre-emption with a reservation conflict
    bool blind = false;           // registrations cannot be read
    int epoch = 0;                // bumped by a reinsertion: older handles are dead
};

// A node's slow path: every command first calls `before` (which may move the
// clock on and look at the voter meanwhile).
using command_hook = std::shared_ptr<std::function<void()>>;

// One node's path to a disk.
class fake_resv : public resv {
public:
    explicit fake_resv(std::shared_ptr<disk> d, command_hook before = nullptr)
        : resv("da0"), d_(std::move(d)), epoch_(d_->epoch), before_(std::move(before))
    {
    }
    bool ok()
    {
        if (before_ && *before_)
            (*before_)();
        const bool gone = d_->broken || d_->epoch != epoch_;
        error_kind_ = gone ? resv_not_delivered : resv_ok;
        return !gone;
    }
    bool registrate(uint64_t k) override
    {
        if (!ok())
            return false;
        d_->keys.insert(key_node(k));
        d_->full[key_node(k)] = k;
        return true;
    }
    bool unregistrate(uint64_t k) override
    {
        if (!ok())
            return false;
        d_->keys.erase(key_node(k));
        d_->full.erase(key_node(k));
        if (d_->holder == key_node(k))
            d_->holder = 0;
        return true;
    }
    bool release(uint64_t k) override
    {
        if (!ok())
            return false;
        if (d_->holder == key_node(k))
            d_->holder = 0;
        return true;
    }
    bool acquire(uint64_t k) override
    {
        const uint32_t n = key_node(k);
        if (!ok() || !d_->keys.count(n) || (d_->holder != 0 && d_->holder != n))
            return false;
        d_->holder = n;
        return true;
    }
    // A victim key that is not registered as given (another term) is a conflict.
    bool preempt(uint64_t own, uint64_t victim) override
    {
        const uint32_t v = key_node(victim);
        if (!ok() || !d_->keys.count(key_node(own)))
            return false;
        if (d_->refuse_preempt) {
            error_kind_ = resv_rejected;
            return false;
        }
        auto it = d_->full.find(v);
        if (d_->keys.count(v) && it != d_->full.end() && it->second != victim)
            return false;
        d_->keys.erase(v);
        d_->full.erase(v);
        if (d_->holder == 0 || d_->holder == v)
            d_->holder = key_node(own);
        return true;
    }
    bool is_registered(uint32_t n) override
    {
        if (d_->blind) {
            if (before_ && *before_)
                (*before_)();
            error_kind_ = resv_not_delivered;
            return false;
        }
        return ok() && d_->keys.count(n) != 0;
    }
    bool holds(uint32_t n) override { return ok() && d_->holder == n; }
    bool registered_key(uint32_t n, uint64_t& k) override
    {
        if (d_->blind) {
            error_kind_ = resv_not_delivered;
            return false;
        }
        if (!ok() || !d_->keys.count(n))
            return false;
        auto it = d_->full.find(n);
        k = it != d_->full.end() ? it->second : n;
        return true;
    }

private:
    std::shared_ptr<disk> d_;
    int epoch_;
    command_hook before_;
};

struct pair_rig {
    int64_t now = 0;
    std::vector<std::shared_ptr<disk>> disks;
    std::unique_ptr<haresv_core> node[3];  // [1] and [2]
    kelm::ha_fence_link link[3];            // each node's link to its service manager
    command_hook before[3] = {nullptr, std::make_shared<std::function<void()>>(),
                              std::make_shared<std::function<void()>>()};
    // Per node: the disks of a pass run side by side, as on the daemon's threads:
    // each starts at the pass's start, the pass ends with the slowest.
    haresv_core::per_disk_fn side_by_side = [this](size_t n, const std::function<void(size_t)>& body) {
        const int64_t start = now;
        int64_t end = start;
        for (size_t i = 0; i < n; ++i) {
            now = start;
            body(i);
            end = std::max(end, now);
        }
        now = end;
    };

    explicit pair_rig(int n = 3)
    {
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) {
            disks.push_back(std::make_shared<disk>());
            names.push_back("da" + std::to_string(i));
        }
        for (uint32_t id : {1u, 2u}) {
            std::vector<std::unique_ptr<resv>> devs;
            for (auto& d : disks)
                devs.push_back(std::make_unique<fake_resv>(d, before[id]));
            node[id] = std::make_unique<haresv_core>(
                id, names, std::move(devs), 3, 600, [this] { return now; }, &link[id],
                [this, id](const std::string& name) -> std::unique_ptr<resv> {
                    return std::make_unique<fake_resv>(disks[std::stoul(name.substr(2))], before[id]);
                },
                side_by_side);
            node[id]->start();
        }
    }
    std::vector<raft_msg_t> step(uint32_t id, const raft_msg_t* m)
    {
        std::vector<raft_msg_t> out;
        EXPECT_TRUE(node[id]->step(m, out));
        return out;
    }
    std::vector<raft_msg_t> tick(uint32_t id) { return step(id, nullptr); }
    std::vector<raft_msg_t> state(uint32_t id, uint32_t from, uint32_t to, uint64_t term = 1, uint32_t reason = 0)
    {
        raft_msg_t m = make_msg(STATE_CHANGED, id, id, term);
        m.body.state_changed.old_state = from;
        m.body.state_changed.new_state = to;
        m.body.state_changed.reason = reason;
        return step(id, &m);
    }
    std::vector<raft_msg_t> vote(uint32_t id, uint32_t type, uint64_t term)
    {
        raft_msg_t m = make_msg(type, NODE_HA, id, term);
        return step(id, &m);
    }
    std::vector<raft_msg_t> status(uint32_t id, uint32_t about, bool alive)
    {
        raft_msg_t m = make_msg(NODE_STATUS, id, about, 1);
        m.body.flag = alive ? 1 : 0;
        return step(id, &m);
    }
    // The node starts a trial and, 10 s later, takes the disks.
    void obtain(uint32_t id)
    {
        state(id, FOLLOWER, PRE_CANDIDATE);
        EXPECT_EQ(node[id]->ha_resv_state(), haresv_core::RESV_OBTAINING);
        now += 10 * s + 1;
        tick(id);
    }
    int held_by(uint32_t key) const
    {
        int n = 0;
        for (auto& d : disks)
            n += d->holder == key ? 1 : 0;
        return n;
    }
};

TEST(HaResvCore, PeerIdAndNoReplyBeforeTheReservationIsHeld)
{
    pair_rig r;
    EXPECT_EQ(r.node[1]->peer_id(), 2u);
    EXPECT_EQ(r.node[2]->peer_id(), 1u);
    EXPECT_TRUE(r.vote(1, PRE_VOTE_REQUEST, 8).empty());
    EXPECT_TRUE(r.vote(1, VOTE_REQUEST, 8).empty());
    // Before 10 s of challenge nothing is taken.
    r.state(1, FOLLOWER, PRE_CANDIDATE);
    r.now += 9 * s;
    r.tick(1);
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_OBTAINING);
    EXPECT_EQ(r.held_by(1), 0);
}

TEST(HaResvCore, ObtainingPreemptsThePeerAndGrantsVotes)
{
    pair_rig r;
    r.obtain(1);
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_HELD);
    EXPECT_EQ(r.held_by(1), 3);
    for (auto& d : r.disks)
        EXPECT_EQ(d->keys, std::set<uint32_t>{1});  // node 2 pre-empted
    // Node 2 may have confirmed its disks just before the pre-emption and echo
    // appends on that read for up to 1 s: the vote waits the settle time out.
    EXPECT_TRUE(r.vote(1, PRE_VOTE_REQUEST, 8).empty());
    r.now += haresv_core::takeover_settle_ns - 1;
    EXPECT_TRUE(r.tick(1).empty());
    r.now += 1;
    auto pre = r.tick(1);
    ASSERT_EQ(pre.size(), 1u);
    EXPECT_EQ(pre[0].type, VOTE_RESPONSE);
    EXPECT_EQ(pre[0].from, NODE_HA);
    EXPECT_EQ(pre[0].to, 1u);
    EXPECT_EQ(pre[0].term, 7u);
    EXPECT_EQ(pre[0].body.flag, 1);
    // A pre-vote binds nothing: a second one of the same term is granted again.
    EXPECT_EQ(r.vote(1, PRE_VOTE_REQUEST, 8).size(), 1u);
    auto v = r.vote(1, VOTE_REQUEST, 9);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].term, 9u);
    EXPECT_TRUE(r.vote(1, VOTE_REQUEST, 9).empty());  // already granted
    EXPECT_EQ(r.vote(1, VOTE_REQUEST, 11).size(), 1u);
}

// Both voters grant their own node only, so a term both could grant would have
// two leaders: node 1 takes odd terms on the disks, node 2 even ones. Pre-votes
// of any term are granted, and a trial that timed out before the peer's term is
// moved past it (not one ended by a higher term or a leader).
TEST(HaResvCore, EachVoterGrantsItsNodeOnlyItsOwnTerms)
{
    struct {
        uint32_t id;
        uint64_t term;
        bool granted;
    } votes[] = {{1, 7, true}, {1, 8, false}, {2, 8, true}, {2, 9, false}};
    for (auto c : votes) {
        pair_rig r;
        r.obtain(c.id);
        r.now += haresv_core::takeover_settle_ns;
        EXPECT_EQ(r.vote(c.id, PRE_VOTE_REQUEST, c.term).size(), 1u);
        EXPECT_EQ(r.vote(c.id, VOTE_REQUEST, c.term).size(), c.granted ? 1u : 0u) << c.id << " t" << c.term;
    }
    struct {
        uint32_t id;
        uint64_t term;  // the node's term as its trial ends
        uint32_t reason;
        bool moved_on;
    } trials[] = {{1, 1, 3, true}, {1, 2, 3, false}, {2, 1, 3, false}, {2, 2, 3, true}, {1, 1, 1, false},
                  {1, 1, 2, false}};
    for (auto c : trials) {
        pair_rig r;
        r.state(c.id, FOLLOWER, PRE_CANDIDATE, c.term);
        auto out = r.state(c.id, PRE_CANDIDATE, FOLLOWER, c.term, c.reason);
        ASSERT_EQ(out.size(), c.moved_on ? 1u : 0u) << c.id << " t" << c.term << " reason " << c.reason;
        if (c.moved_on) {
            EXPECT_EQ(out[0].type, VOTE_RESPONSE);
            EXPECT_EQ(out[0].term, c.term + 1);
            EXPECT_EQ(out[0].body.flag, 0);
        }
        // Only a trial that heard nobody leaves its challenge pending.
        EXPECT_EQ(r.node[c.id]->ha_resv_state(),
                  c.reason == REASON_TIMEOUT ? haresv_core::RESV_OBTAINING : haresv_core::RESV_NONE);
    }
}

// The echo lets a leader commit on its own disk alone: a leader that was stopped
// (or led on the peer's vote) while the peer took the disks gets none, and steps
// down at once, before its first 1 s pass.
TEST(HaResvCore, NoEchoForALeaderWhoseDisksThePeerTook)
{
    pair_rig r;
    r.state(1, FOLLOWER, PRE_CANDIDATE, 2);
    r.state(1, PRE_CANDIDATE, CANDIDATE, 3);
    r.state(1, CANDIDATE, LEADER, 3);
    raft_msg_t m = make_msg(APPEND_REQUEST, NODE_HA, 1, 3);
    ASSERT_EQ(r.step(1, &m).size(), 1u);  // its disks: echoed
    r.obtain(2);                          // node 1 stopped meanwhile
    auto out = r.step(1, &m);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, VOTE_RESPONSE);  // the step-down, no echo
    EXPECT_EQ(out[0].term, 4u);
    EXPECT_TRUE(r.step(1, &m).empty());
}

TEST(HaResvCore, ObtainingFailsWithoutAQuorumOfDisks)
{
    pair_rig r;
    r.disks[0]->broken = true;
    r.disks[1]->broken = true;
    r.obtain(1);
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_NONE);
    EXPECT_TRUE(r.vote(1, VOTE_REQUEST, 3).empty());
}

TEST(HaResvCore, ATrialThatEndsEarlyKeepsTheChallengeRunning)
{
    pair_rig r;
    r.state(1, FOLLOWER, PRE_CANDIDATE);
    r.now += 5 * s;
    r.state(1, PRE_CANDIDATE, FOLLOWER, 1, REASON_TIMEOUT);
    r.now += 6 * s;
    r.tick(1);
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_OBTAINING);
    r.state(1, FOLLOWER, PRE_CANDIDATE);  // the next trial takes the disks at once
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_HELD);
}

TEST(HaResvCore, AChallengeLeftPendingLongAgoStartsAgain)
{
    // A trial at start-up ends, a leader then leads for a minute; when this node
    // next tries, its old challenge must not hand it the disks at once.
    pair_rig r;
    r.state(1, FOLLOWER, PRE_CANDIDATE);
    r.now += 5 * s;
    r.state(1, PRE_CANDIDATE, FOLLOWER);
    r.now += 60 * s;
    r.state(1, FOLLOWER, PRE_CANDIDATE);
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_OBTAINING);
    EXPECT_EQ(r.held_by(1) + r.held_by(2), 0);
    r.now += 10 * s + 1;
    r.tick(1);
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_HELD);
}

// A challenge carries over only to the trial right after one that timed out (the
// survivor's way to the disks). A later trial, or a trial ended by a leader or a
// higher term, says a leader may be alive: the challenge begins again, so a live
// leader cut off from this node has the full 10 s to see it dead and fence it.
TEST(HaResvCore, AChallengeCarriesOverOnlyToTheNextTrialAfterATimeOut)
{
    struct trial_case {
        const char* what;
        uint32_t end_reason;
        int64_t gap_s;
        bool carried;
    };
    const trial_case cases[] = {
        {"back to back after a time-out", REASON_TIMEOUT, 6, true},
        {"a leader was heard in between", REASON_TIMEOUT, 8, false},
        {"the trial ended on a higher term", REASON_HIGHER_TERM, 5, false},
        {"the trial ended on a leader's append", REASON_APPEND, 5, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        pair_rig r;
        r.state(1, FOLLOWER, PRE_CANDIDATE);
        r.now += 6 * s;
        r.state(1, PRE_CANDIDATE, FOLLOWER, 1, c.end_reason);
        r.now += c.gap_s * s;
        r.state(1, FOLLOWER, PRE_CANDIDATE);
        r.tick(1);
        EXPECT_EQ(r.node[1]->ha_resv_state(), c.carried ? haresv_core::RESV_HELD : haresv_core::RESV_OBTAINING);
        EXPECT_EQ(r.held_by(1), c.carried ? 3 : 0);
        if (!c.carried) {
            r.now += 10 * s + 1;
            r.tick(1);
            EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_HELD);
        }
    }
}

TEST(HaResvCore, LeaderReleasesWhilePeerAliveAndFencesWhenItDies)
{
    pair_rig r;
    r.obtain(1);
    r.state(1, PRE_CANDIDATE, CANDIDATE);
    r.state(1, CANDIDATE, LEADER);
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_NONE);
    EXPECT_EQ(r.node[1]->peer(), haresv_core::PEER_UNKNOWN);
    r.now += 2 * s;
    r.tick(1);
    EXPECT_EQ(r.held_by(1), 3);  // peer state unknown: nothing done
    r.status(1, 3, true);        // not the peer
    EXPECT_EQ(r.node[1]->peer(), haresv_core::PEER_UNKNOWN);
    r.now += 2 * s;
    r.link[1].release_allowed.store(true);  // its services were swept
    r.status(1, 2, true);
    EXPECT_EQ(r.held_by(1), 0);  // released while the peer lives
    r.status(2, 1, true);        // the peer's own voter registers again
    r.node[2]->register_all();
    r.status(1, 2, false);
    r.now += 2 * s;
    r.tick(1);
    EXPECT_EQ(r.held_by(1), 3);
    for (auto& d : r.disks)
        EXPECT_EQ(d->keys.count(2), 0u);
}

// A leader whose disks answer each command late goes on reading and fencing its
// dead peer's disks; its receiving side must be able to echo appends all along
// (a gap is a leader whose service manager cannot save a record). Looked at
// before every disk command, from the first confirmation on.
TEST(HaResvCore, SlowDisksLeaveNoGapInTheLeadersEcho)
{
    for (int64_t delay : {int64_t{0}, s / 10, 3 * s / 10, s}) {
        pair_rig r;
        r.obtain(1);
        r.state(1, PRE_CANDIDATE, CANDIDATE);
        r.state(1, CANDIDATE, LEADER);
        r.status(1, 2, false);
        raft_msg_t append = make_msg(APPEND_REQUEST, NODE_HA, 1, 1);
        ASSERT_EQ(r.step(1, &append).size(), 1u) << delay;
        int gaps = 0;
        *r.before[1] = [&] {
            r.now += delay;
            gaps += r.node[1]->echo_fresh() ? 0 : 1;
        };
        const int64_t end = r.now + 60 * s;
        while (r.now < end) {
            r.now += s / 10;
            r.tick(1);
            gaps += r.node[1]->echo_fresh() ? 0 : 1;
        }
        EXPECT_EQ(gaps, 0) << "disks " << delay / 1000000 << " ms late";
        EXPECT_EQ(r.held_by(1), 3);
    }
}

// The old leader's confirmation never outlives the takeover: the peer pre-empts
// it right after its last read, and by the time the peer's voter grants a vote
// (so that the peer can lead and commit) the old leader's echo has stopped.
TEST(HaResvCore, AConfirmationEndsBeforeThePeerCanLead)
{
    for (int64_t delay : {int64_t{0}, 3 * s / 10, s}) {
        pair_rig r;
        r.obtain(1);
        r.state(1, PRE_CANDIDATE, CANDIDATE, 3);
        r.state(1, CANDIDATE, LEADER, 3);
        r.status(1, 2, true);
        // The peer, cut off, challenges; its 10 s are up just as the leader's
        // pass (on slow disks) has read them.
        r.state(2, FOLLOWER, PRE_CANDIDATE, 3);
        r.now += 10 * s;
        *r.before[1] = [&] { r.now += delay; };
        r.tick(1);
        *r.before[1] = nullptr;
        ASSERT_TRUE(r.node[1]->echo_fresh()) << delay;
        r.now += 1;
        r.tick(2);
        ASSERT_EQ(r.held_by(2), 3) << delay;
        bool granted = false;
        for (int i = 0; i < 200 && !granted; ++i) {
            r.now += s / 20;
            const auto out = r.vote(2, PRE_VOTE_REQUEST, 5);
            granted = !out.empty() && out[0].body.flag == 1;
            if (granted) {
                EXPECT_FALSE(r.node[1]->echo_fresh()) << "disks " << delay / 1000000 << " ms late";
            }
        }
        EXPECT_TRUE(granted) << delay;
    }
}

// What the voter tells its service manager: the peer is fenced only after a
// fence pass took a quorum; a returning peer gets its disks back only once the
// service manager allowed it; a new fence pass or the end of the leadership
// takes that back.
TEST(HaResvCore, PeerFencedFlagAndReleaseOnlyAfterTheSweep)
{
    pair_rig r;
    auto& link = r.link[1];
    link.release_allowed.store(true);  // left from an earlier leadership
    r.obtain(1);
    EXPECT_TRUE(link.peer_fenced.load());
    EXPECT_FALSE(link.release_allowed.load()) << "a takeover needs a new sweep";
    r.state(1, PRE_CANDIDATE, CANDIDATE);
    r.state(1, CANDIDATE, LEADER);
    r.status(1, 2, true);
    for (int i = 0; i < 3; ++i) {
        r.now += 2 * s;
        r.tick(1);
    }
    EXPECT_EQ(r.held_by(1), 3) << "the peer may still hold pools of services started here";
    EXPECT_TRUE(link.peer_fenced.load());
    link.release_allowed.store(true);
    r.now += 2 * s;
    r.tick(1);
    EXPECT_EQ(r.held_by(1), 0);
    EXPECT_FALSE(link.peer_fenced.load());

    r.node[2]->register_all();
    r.status(1, 2, false);
    r.now += 2 * s;
    r.tick(1);
    EXPECT_EQ(r.held_by(1), 3);
    EXPECT_TRUE(link.peer_fenced.load());
    EXPECT_FALSE(link.release_allowed.load());
    r.status(1, 2, true);
    r.now += 2 * s;
    r.tick(1);
    EXPECT_EQ(r.held_by(1), 3);

    // A fence pass without a quorum says so.
    r.status(1, 2, false);
    r.disks[0]->broken = r.disks[1]->broken = true;
    r.now += 2 * s;
    r.tick(1);
    EXPECT_FALSE(link.peer_fenced.load());
    // The end of the leadership ends both facts.
    link.peer_fenced.store(true);
    link.release_allowed.store(true);
    r.state(1, LEADER, CANDIDATE);
    EXPECT_FALSE(link.peer_fenced.load());
    EXPECT_FALSE(link.release_allowed.load());
}

// A quorum of disks lets the node lead; the peer's services may start here only
// once the peer is shut out of every disk. A refused pre-emption, a disk whose
// registrations cannot be read and a quarantined disk each hold that back; once
// the refusing disk accepts, the next pass completes the fence.
TEST(HaResvCore, PeerCountsAsFencedOnlyWhenShutOutOfEveryDisk)
{
    pair_rig r;
    auto& link = r.link[1];
    r.disks[2]->refuse_preempt = true;
    r.obtain(1);
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_HELD) << "a quorum is enough to lead";
    EXPECT_FALSE(link.peer_fenced.load());
    r.state(1, PRE_CANDIDATE, CANDIDATE);
    r.state(1, CANDIDATE, LEADER);
    r.status(1, 2, false);
    for (int i = 0; i < 3; ++i) {
        r.now += 2 * s;
        r.tick(1);
        EXPECT_FALSE(link.peer_fenced.load()) << "the peer can still write disk 2";
    }
    EXPECT_EQ(r.disks[2]->keys.count(2), 1u);
    r.disks[2]->refuse_preempt = false;
    r.now += 2 * s;
    r.tick(1);
    EXPECT_TRUE(link.peer_fenced.load());
    EXPECT_EQ(r.held_by(1), 3);

    r.disks[1]->blind = true;  // held by this node, but the peer's key cannot be read
    r.now += 2 * s;
    r.tick(1);
    EXPECT_FALSE(link.peer_fenced.load());
    r.disks[1]->blind = false;
    r.now += 2 * s;
    r.tick(1);
    EXPECT_TRUE(link.peer_fenced.load());

    for (int i = 0; i < 3; ++i) {  // three outages quarantine disk 0
        r.disks[0]->broken = true;
        r.node[1]->register_all();
        r.disks[0]->broken = false;
        r.node[1]->register_all();
    }
    EXPECT_TRUE(r.node[1]->fence()) << "two of three still make the quorum";
    EXPECT_FALSE(link.peer_fenced.load()) << "a quarantined disk is not known to be fenced";
}

// A disk removed and inserted again comes back empty, and the handle opened
// before it answers nothing: the leader opens it anew and registers and fences
// there again.
TEST(HaResvCore, AReinsertedDiskIsOpenedAnewAndTakenAgain)
{
    pair_rig r;
    r.obtain(1);
    r.state(1, PRE_CANDIDATE, CANDIDATE);
    r.state(1, CANDIDATE, LEADER);
    r.status(1, 2, false);
    r.now += 2 * s;
    r.tick(1);
    ASSERT_EQ(r.held_by(1), 3);
    auto& d = *r.disks[0];
    ++d.epoch;
    d.keys.clear();
    d.full.clear();
    d.holder = 0;
    r.now += 2 * s;
    r.tick(1);
    EXPECT_EQ(d.keys, std::set<uint32_t>{1});
    EXPECT_EQ(d.holder, 1u);
    EXPECT_TRUE(r.link[1].peer_fenced.load());
    EXPECT_EQ(r.node[1]->node_state(), LEADER);
}

TEST(HaResvCore, BecomingFollowerReleasesAndForgetsTheReservation)
{
    pair_rig r;
    r.obtain(1);
    r.state(1, PRE_CANDIDATE, CANDIDATE);
    r.state(1, CANDIDATE, FOLLOWER);  // lost the election
    EXPECT_EQ(r.held_by(1), 0);
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_NONE);
    // A reservation lost under a held state is forgotten at the next vote too.
    r.obtain(1);
    r.disks[0]->holder = r.disks[1]->holder = 0;
    EXPECT_TRUE(r.vote(1, VOTE_REQUEST, 5).empty());
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_NONE);
}

// The echo needs a positive read: the own key read on a quorum of all the disks
// and the peer holding none that answered. Disks that fail or are quarantined
// count against; so does a peer reservation on one disk.
TEST(HaResvCore, NoEchoWithoutAPositiveReadOfTheDisks)
{
    pair_rig r;
    r.state(1, FOLLOWER, PRE_CANDIDATE, 2);
    r.state(1, PRE_CANDIDATE, CANDIDATE, 3);
    r.state(1, CANDIDATE, LEADER, 3);
    r.status(1, 2, true);  // its peer follows
    raft_msg_t m = make_msg(APPEND_REQUEST, NODE_HA, 1, 3);
    auto echoed = [&] {
        r.now += 2 * s;  // past the re-read cache
        auto out = r.step(1, &m);
        return out.size() == 1 && out[0].type == APPEND_RESPONSE;
    };
    EXPECT_TRUE(echoed());
    r.disks[0]->broken = r.disks[1]->broken = true;
    EXPECT_FALSE(echoed()) << "one of three read";
    r.disks[1]->broken = false;
    EXPECT_TRUE(echoed());
    r.disks[2]->holder = 2;
    EXPECT_FALSE(echoed()) << "the peer holds a disk that answered";
    r.disks[2]->holder = 0;
    EXPECT_TRUE(echoed());
    // Every disk quarantined: nothing can be read, nothing is confirmed.
    for (int outage = 0; outage < 3; ++outage) {
        for (auto& d : r.disks)
            d->broken = true;
        r.node[1]->register_all();
        for (auto& d : r.disks)
            d->broken = false;
        if (outage < 2)
            r.node[1]->register_all();
    }
    EXPECT_FALSE(echoed());
    EXPECT_FALSE(echoed());
    // Its peer follows it: it may lead on, without the voter's echo.
    r.now += 2 * s;
    EXPECT_TRUE(r.tick(1).empty());
    // Its peer is gone too: the voter, which always counts as live, steps it down.
    r.status(1, 2, false);
    r.now += 2 * s;
    auto out = r.tick(1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, VOTE_RESPONSE);
    EXPECT_EQ(out[0].body.flag, 0);
    EXPECT_EQ(out[0].term, 4u);
}

TEST(HaResvCore, LeaderThatLostTheDisksStepsDownOnce)
{
    pair_rig r;
    r.obtain(1);
    r.state(1, PRE_CANDIDATE, CANDIDATE, 4);
    r.state(1, CANDIDATE, LEADER, 4);
    r.status(1, 2, false);
    // The peer, cut off from node 1 but not from the disks, takes them.
    r.obtain(2);
    EXPECT_EQ(r.held_by(2), 3);
    r.now += 2 * s;
    auto out = r.tick(1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, VOTE_RESPONSE);
    EXPECT_EQ(out[0].from, NODE_HA);
    EXPECT_EQ(out[0].term, 5u);
    EXPECT_EQ(out[0].body.flag, 0);
    EXPECT_EQ(r.held_by(2), 3);  // no pre-emption back
    r.now += 2 * s;
    EXPECT_TRUE(r.tick(1).empty());
    for (auto& d : r.disks)
        EXPECT_EQ(d->keys.count(1), 0u);  // nor re-registration
}

TEST(HaResvCore, AppendResponseEchoesTheIndexLikeANode)
{
    pair_rig r;
    struct {
        uint64_t prev, entry, echo;
    } cases[] = {{4, 0, 4}, {4, 5, 5}, {0, 1, 1}, {0, 0, 0}};
    for (auto c : cases) {
        raft_msg_t m = make_msg(APPEND_REQUEST, NODE_HA, 1, 6);
        m.body.append.prev_index = c.prev;
        m.body.append.entry.index = c.entry;
        auto out = r.step(1, &m);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].type, APPEND_RESPONSE);
        EXPECT_EQ(out[0].term, 6u);
        EXPECT_EQ(out[0].body.flag, 1);
        uint64_t echo = 0;
        std::memcpy(&echo, reinterpret_cast<const uint8_t*>(&out[0]) + 32, sizeof echo);
        EXPECT_EQ(echo, c.echo);
    }
}

TEST(HaResvCore, FencingNeedsAQuorumOfUsableDisks)
{
    pair_rig r;
    for (int i = 0; i < 3; ++i) {  // three outages quarantine both
        r.disks[1]->broken = r.disks[2]->broken = false;
        r.node[1]->register_all();
        r.disks[1]->broken = r.disks[2]->broken = true;
        r.node[1]->register_all();
    }
    EXPECT_FALSE(r.node[1]->fence());
    EXPECT_EQ(r.held_by(1), 1);
    pair_rig none(0);
    EXPECT_FALSE(none.node[1]->fence());
    EXPECT_FALSE(none.node[1]->held_majority());
}

TEST(HaResvCore, StopThreadUnregisters)
{
    pair_rig r;
    raft_msg_t stop = make_msg(STOP_THREAD, 0, 0, 0);
    std::vector<raft_msg_t> out;
    EXPECT_FALSE(r.node[1]->step(&stop, out));
    for (auto& d : r.disks)
        EXPECT_EQ(d->keys, std::set<uint32_t>{2});
}

}  // namespace

// The term travels in a key's high 32 bits; keys without one read as term 0.
TEST(HaResvKeys, EncodingKeepsTheNodeLowAndTheTermHigh)
{
    EXPECT_EQ(resv_key(2, 0), 2u);  // the form written before terms
    EXPECT_EQ(resv_key(1, 7), 0x0000000700000001u);
    EXPECT_EQ(key_node(0x0000000700000001u), 1u);
    EXPECT_EQ(key_term(0x0000000700000001u), 7u);
    EXPECT_EQ(key_term(2), 0u);
    EXPECT_EQ(key_term(resv_key(1, uint64_t{1} << 40)), 0xffffffffu);  // kept at the largest
}

// A peer key in either form is found, pre-empted as registered and its term
// learnt; the own key carries that term before the peer's is gone.
TEST(HaResvCore, FencePreemptsThePeerKeyInEitherForm)
{
    for (uint64_t peer_term : {0u, 6u}) {
        pair_rig r;
        for (auto& d : r.disks)
            d->full[2] = resv_key(2, peer_term);
        r.obtain(1);
        EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_HELD) << peer_term;
        EXPECT_EQ(r.held_by(1), 3);
        EXPECT_EQ(r.node[1]->floor_term(), peer_term);
        for (auto& d : r.disks) {
            EXPECT_EQ(d->keys, std::set<uint32_t>{1});
            EXPECT_GE(key_term(d->full[1]), peer_term);
        }
    }
}

// A node whose peer's key carried a higher term is moved above it before it
// may lead: no vote at or below it, no echo of an append at or below it, and
// the reservation is kept across the step.
TEST(HaResvCore, NeverLeadsAtOrBelowThePeersTerm)
{
    pair_rig r;
    for (auto& d : r.disks)
        d->full[2] = resv_key(2, 6);
    r.obtain(1);  // node 1 at term 1
    r.now += haresv_core::takeover_settle_ns;
    auto pre = r.vote(1, PRE_VOTE_REQUEST, 2);
    ASSERT_EQ(pre.size(), 1u);
    EXPECT_EQ(pre[0].body.flag, 0);
    EXPECT_EQ(pre[0].term, 6u);  // its next trial asks for 7, an odd one
    EXPECT_TRUE(r.vote(1, VOTE_REQUEST, 5).size() == 1u && r.vote(1, VOTE_REQUEST, 5)[0].body.flag == 0);
    r.state(1, PRE_CANDIDATE, FOLLOWER, 6, REASON_HIGHER_TERM);
    EXPECT_EQ(r.node[1]->ha_resv_state(), haresv_core::RESV_HELD);
    r.state(1, FOLLOWER, PRE_CANDIDATE, 6);
    auto pre7 = r.vote(1, PRE_VOTE_REQUEST, 7);
    ASSERT_EQ(pre7.size(), 1u);
    EXPECT_EQ(pre7[0].body.flag, 1);
    auto v7 = r.vote(1, VOTE_REQUEST, 7);
    ASSERT_EQ(v7.size(), 1u);
    EXPECT_EQ(v7[0].body.flag, 1);
    for (auto& d : r.disks)
        EXPECT_EQ(key_term(d->full[1]), 7u);  // on the disks before the grant

    // A leader of a term at or below the floor gets no echo and steps down to a
    // term above its own (a refusal of its own term would change nothing).
    for (uint64_t term : {5u, 6u}) {
        pair_rig l;
        for (auto& d : l.disks)
            d->full[2] = resv_key(2, 6);
        l.obtain(1);
        l.state(1, CANDIDATE, LEADER, term);
        raft_msg_t a = make_msg(APPEND_REQUEST, NODE_HA, 1, term);
        auto out = l.step(1, &a);
        ASSERT_FALSE(out.empty());
        for (auto& m : out)
            EXPECT_FALSE(m.type == APPEND_RESPONSE) << "echo below the peer's term";
        EXPECT_EQ(out[0].type, VOTE_RESPONSE);
        EXPECT_GT(out[0].term, term);
        EXPECT_GE(out[0].term, 6u);
    }
}

// A restarted voter goes on from the term its key carries on the disks (maybe
// one learnt from the peer's key, then pre-empted): it never registers lower.
TEST(HaResvCore, RestartKeepsTheTermOfItsKey)
{
    pair_rig r;
    for (auto& d : r.disks) {
        d->keys.insert(1);
        d->full[1] = resv_key(1, 9);
    }
    std::vector<std::string> names{"da0", "da1", "da2"};
    std::vector<std::unique_ptr<resv>> devs;
    for (auto& d : r.disks)
        devs.push_back(std::make_unique<fake_resv>(d));
    haresv_core again(1, names, std::move(devs), 3, 600, [&r] { return r.now; });
    again.start();
    EXPECT_EQ(again.key_term(), 9u);
    EXPECT_EQ(again.floor_term(), 9u);
    for (auto& d : r.disks)
        EXPECT_EQ(d->full[1], resv_key(1, 9));
}

// A sitting leader fencing its dead peer takes no floor from the peer's key:
// the peer registers its trial's term while cut off without ever holding the
// disks, and stepping down for it would depose a healthy leader. It does once
// it has put its key back on a disk after a read that did not confirm it (the
// peer held one): the peer may have led in that term meanwhile.
TEST(HaResvCore, ALeaderTakesThePeersTermOnlyAfterAnUnconfirmedRead)
{
    for (bool unconfirmed : {false, true}) {
        pair_rig r;
        r.obtain(1);
        r.state(1, PRE_CANDIDATE, CANDIDATE, 3);
        r.state(1, CANDIDATE, LEADER, 3);
        r.state(2, FOLLOWER, PRE_CANDIDATE, 7);  // registers its key with term 8
        for (auto& d : r.disks)
            ASSERT_EQ(key_term(d->full[2]), 8u);
        r.link[1].release_allowed.store(false);
        if (unconfirmed) {
            r.disks[0]->keys.erase(1);
            r.disks[0]->full.erase(1);
            r.disks[0]->holder = 2;
            r.status(1, 2, true);
            r.now += 2 * s;
            r.tick(1);  // not confirmed: the key goes back on da0
            EXPECT_EQ(r.disks[0]->keys.count(1), 1u);
            r.disks[0]->holder = 0;  // the peer let it go
        }
        r.status(1, 2, false);
        r.now += 2 * s;
        r.tick(1);
        EXPECT_EQ(r.held_by(1), 3) << unconfirmed;
        EXPECT_EQ(r.node[1]->floor_term(), unconfirmed ? 8u : 0u);
        raft_msg_t a = make_msg(APPEND_REQUEST, NODE_HA, 1, 3);
        auto out = r.step(1, &a);
        ASSERT_EQ(out.size(), 1u);
        if (unconfirmed) {
            EXPECT_EQ(out[0].type, VOTE_RESPONSE);
            EXPECT_EQ(out[0].term, 8u);  // its next trial asks for 9, its own
        } else {
            EXPECT_EQ(out[0].type, APPEND_RESPONSE);
        }
    }
}

// A voter's echo carries the end of the confirmation it was given on.
TEST(HaResvCore, TheEchoCarriesTheEndOfItsConfirmation)
{
    pair_rig r;
    r.obtain(1);
    r.state(1, PRE_CANDIDATE, CANDIDATE, 3);
    r.state(1, CANDIDATE, LEADER, 3);
    const int64_t read_at = r.now;
    raft_msg_t a = make_msg(APPEND_REQUEST, NODE_HA, 1, 3);
    auto out = r.step(1, &a);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(echo_valid_until(out[0]), read_at + haresv_core::confirm_valid_ns);
    EXPECT_EQ(r.node[1]->echo_until(), read_at + haresv_core::confirm_valid_ns);
}

// On the emulated SCSI and NVMe disks, through the device classes: a node takes
// over from a peer whose key carries a term and from one whose key has none (a
// peer not upgraded yet), and its own key then carries the peer's term.
TEST(HaResvCore, TakesOverAPeerKeyWithOrWithoutATermOnEmulatedDisks)
{
    namespace de = platform::disk_emul;
    const auto root = std::filesystem::temp_directory_path() / ("haresv_term_keys." + std::to_string(::getpid()));
    for (uint64_t peer_term : {0u, 6u}) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
        ::setenv("KELM_EMUL_ROOT", root.c_str(), 1);
        const std::vector<std::string> names{"da1", "da2", "nvme0ns1"};
        std::vector<std::unique_ptr<resv>> peer, own;
        for (const auto& n : names) {
            std::string err;
            ASSERT_TRUE(de::create_disk(n, n.find("nvme") != std::string::npos ? "nvme" : "scsi", &err)) << err;
            ::setenv("KELM_EMUL_HOST", "node2", 1);
            peer.push_back(open_resv_device(n, true));
            ASSERT_TRUE(peer.back()->registrate(resv_key(2, peer_term)) && peer.back()->acquire(resv_key(2, peer_term)));
            ::setenv("KELM_EMUL_HOST", "node1", 1);
            own.push_back(open_resv_device(n, true));
        }
        int64_t now = 0;
        haresv_core v(1, names, std::move(own), 3, 600, [&now] { return now; });
        v.start();
        std::vector<raft_msg_t> out;
        raft_msg_t m = make_msg(STATE_CHANGED, 1, 1, 2);
        m.body.state_changed.old_state = FOLLOWER;
        m.body.state_changed.new_state = PRE_CANDIDATE;
        v.step(&m, out);
        now += 10 * s + 1;
        v.step(nullptr, out);
        EXPECT_EQ(v.ha_resv_state(), haresv_core::RESV_HELD) << peer_term;
        EXPECT_EQ(v.floor_term(), peer_term);
        for (auto& d : peer) {
            uint64_t key = 0;
            EXPECT_TRUE(d->holds(1)) << d->name() << " t" << peer_term;
            EXPECT_FALSE(d->is_registered(2)) << d->name();
            ASSERT_TRUE(d->registered_key(1, key)) << d->name();
            EXPECT_GE(key_term(key), std::max<uint64_t>(peer_term, 3)) << d->name();
        }
    }
    std::filesystem::remove_all(root);
    ::unsetenv("KELM_EMUL_ROOT");
    ::unsetenv("KELM_EMUL_HOST");
}
