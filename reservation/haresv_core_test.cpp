// The HA disk voter's decisions over in-memory shared disks and a hand-driven
// clock: votes, obtaining, leader passes, release on follower, step-down, echo.
#include "reservation/haresv_core.hpp"

#include "daemon/core/raft_node.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>

namespace {

using namespace raft;
using raft::transport::haresv_core;
using namespace FreeBSD::reservation;

constexpr int64_t s = 1000000000;

// One shared disk: registrations and an EXCLUSIVE_ACCESS reservation.
struct disk {
    std::set<uint32_t> keys;
    uint32_t holder = 0;  // 0: not reserved
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
    bool registrate(uint32_t k) override { return ok() && (d_->keys.insert(k), true); }
    bool unregistrate(uint32_t k) override
    {
        if (!ok())
            return false;
        d_->keys.erase(k);
        if (d_->holder == k)
            d_->holder = 0;
        return true;
    }
    bool release(uint32_t k) override
    {
        if (!ok())
            return false;
        if (d_->holder == k)
            d_->holder = 0;
        return true;
    }
    bool acquire(uint32_t k) override
    {
        if (!ok() || !d_->keys.count(k) || (d_->holder != 0 && d_->holder != k))
            return false;
        d_->holder = k;
        return true;
    }
    bool preempt(uint32_t own, uint32_t victim) override
    {
        if (!ok() || !d_->keys.count(own))
            return false;
        if (d_->refuse_preempt) {
            error_kind_ = resv_rejected;
            return false;
        }
        d_->keys.erase(victim);
        if (d_->holder == 0 || d_->holder == victim)
            d_->holder = own;
        return true;
    }
    bool is_registered(uint32_t k) override
    {
        if (d_->blind) {
            if (before_ && *before_)
                (*before_)();
            error_kind_ = resv_not_delivered;
            return false;
        }
        return ok() && d_->keys.count(k) != 0;
    }
    bool holds(uint32_t k) override { return ok() && d_->holder == k; }

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
