// Step tests of the Raft node: filters, terms, vote rules, majority, elections,
// pacing and liveness, each driven by hand with a manual clock.
#include "daemon/core/raft_test_util.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <map>
#include <thread>

using namespace raft;
using namespace raft::testing;

namespace {

struct RaftNode : ::testing::Test {
    manual_clock clock;
};

TEST_F(RaftNode, StaleRecordsAreDroppedButAppendResponsesAreNot)
{
    node_under_test n(&clock, 1, {2, 3});
    n.log->save_state(5, 0, 0);
    node_under_test m(&clock, 1, {2, 3}, n.log);
    ASSERT_EQ(m->term(), 5u);
    // Stale vote requests are refused in our term, so the requester catches up.
    for (uint32_t type : {PRE_VOTE_REQUEST, VOTE_REQUEST}) {
        EXPECT_EQ(m.step(vote_request(type, 2, 1, 4, 9, 9, 1)), 1) << type;
        ASSERT_EQ(m.out.size(), 1u) << type;
        EXPECT_EQ(m.out[0].type, VOTE_RESPONSE);
        EXPECT_EQ(m.out[0].term, 5u);
        EXPECT_EQ(m.out[0].body.flag, 0);
        EXPECT_EQ(m->voted_for(), 0u);
    }
    EXPECT_EQ(m.step(vote_response(2, 1, 4, true)), 0);
    // A stale leader's request is refused in our term, so that it steps down.
    EXPECT_EQ(m.step(append_request(2, 1, 4, 0, 3, 4)), 1);
    ASSERT_EQ(m.sent(APPEND_RESPONSE).size(), 1u);
    EXPECT_EQ(m.out[0].term, 5u);
    EXPECT_EQ(m.out[0].body.flag, 0);
    EXPECT_EQ(append_response_index(m.out[0]), 3u);
    EXPECT_EQ(m->leader(), LEADER_NONE);
    // A response to an append is looked at by the follower handler, which ignores it.
    EXPECT_GE(m.step(append_response(2, 1, 4, true, 0)), 0);
    EXPECT_EQ(m->state(), FOLLOWER);
}

TEST_F(RaftNode, HigherTermStepsDownFromEveryStateWithReasonOne)
{
    for (uint32_t type : {VOTE_REQUEST, VOTE_RESPONSE, APPEND_REQUEST, APPEND_RESPONSE}) {
        for (int start = 0; start < 4; ++start) {
            node_under_test n(&clock, 1, {2, 3});
            if (start >= 1) {
                clock.advance(7 * SEC);
                n.tick();
            }
            if (start >= 2)
                n.step(vote_response(2, 1, n->term(), true));
            if (start >= 3)
                n.step(vote_response(2, 1, n->term(), true));
            ASSERT_EQ(n->state(), static_cast<uint32_t>(start));
            const uint64_t t = n->term() + 3;
            raft_msg_t m = type == VOTE_REQUEST      ? vote_request(type, 3, 1, t, 0, 0, 0)
                           : type == VOTE_RESPONSE   ? vote_response(3, 1, t, false)
                           : type == APPEND_REQUEST  ? append_request(3, 1, t, 0, 0, 0)
                                                     : append_response(3, 1, t, false, 0);
            n.step(m);
            auto sc = n.sent(STATE_CHANGED);
            ASSERT_FALSE(sc.empty()) << type << " " << start;
            EXPECT_EQ(sc[0].body.state_changed.old_state, static_cast<uint32_t>(start));
            EXPECT_EQ(sc[0].body.state_changed.new_state, FOLLOWER);
            EXPECT_EQ(sc[0].body.state_changed.reason, REASON_HIGHER_TERM);
            EXPECT_EQ(n->term(), t);
            EXPECT_EQ(n.log->saved_term(), t);
            EXPECT_EQ(n->state(), FOLLOWER);
            if (type != VOTE_REQUEST) {
                EXPECT_EQ(n->voted_for(), 0u);
            }
        }
    }
}

TEST_F(RaftNode, PreVoteRequestsNeverChangeTheTerm)
{
    node_under_test n(&clock, 1, {2, 3});
    clock.advance(6 * SEC);  // leader contact long gone
    n.step(vote_request(PRE_VOTE_REQUEST, 2, 1, 9, 0, 0, 0));
    EXPECT_EQ(n->term(), 0u);
    EXPECT_EQ(n.sent(VOTE_RESPONSE)[0].body.flag, 1);
}

struct grant_case {
    const char* what;
    uint32_t type;
    uint64_t term;  // header term
    uint64_t last_index, last_term, incarnation;
    bool leader_recent;  // an append arrived less than 5 s ago
    uint32_t voted_for;
    bool granted;
};

// The voter: term 3, log (1,1) (2,3), incarnation 1 unless the case says otherwise.
TEST_F(RaftNode, GrantRules)
{
    const grant_case cases[] = {
        {"vote, equal log", VOTE_REQUEST, 3, 2, 3, 1, false, 0, true},
        {"vote, longer log", VOTE_REQUEST, 3, 5, 3, 1, false, 0, true},
        {"vote, shorter log same term", VOTE_REQUEST, 3, 1, 3, 1, false, 0, false},
        {"vote, higher last term shorter log", VOTE_REQUEST, 4, 1, 4, 1, false, 0, true},
        {"vote, lower last term longer log", VOTE_REQUEST, 3, 9, 2, 1, false, 0, false},
        {"vote, already voted for another", VOTE_REQUEST, 3, 2, 3, 1, false, 7, false},
        {"vote, already voted for the same", VOTE_REQUEST, 3, 2, 3, 1, false, 2, true},
        {"vote, higher term clears the old vote", VOTE_REQUEST, 4, 2, 3, 1, false, 7, true},
        {"vote, fresh candidate over running voter", VOTE_REQUEST, 3, 2, 3, 0, false, 0, false},
        {"vote, lower non-zero incarnation", VOTE_REQUEST, 3, 2, 3, 1, false, 0, true},
        {"vote, recent leader does not matter", VOTE_REQUEST, 4, 2, 3, 1, true, 0, true},
        {"pre-vote, equal log", PRE_VOTE_REQUEST, 4, 2, 3, 1, false, 0, true},
        {"pre-vote, leader recent", PRE_VOTE_REQUEST, 4, 2, 3, 1, true, 0, false},
        {"pre-vote, ignores the vote given", PRE_VOTE_REQUEST, 4, 2, 3, 1, false, 7, true},
        {"pre-vote, requester one term behind", PRE_VOTE_REQUEST, 3, 2, 3, 1, false, 0, true},
        {"pre-vote, shorter log", PRE_VOTE_REQUEST, 4, 1, 3, 1, false, 0, false},
        {"pre-vote, fresh requester", PRE_VOTE_REQUEST, 4, 2, 3, 0, false, 0, false},
        {"pre-vote, fresh requester the voter lags", PRE_VOTE_REQUEST, 4, 3, 3, 0, false, 0, true},
        {"vote, fresh candidate of a later last term", VOTE_REQUEST, 4, 1, 4, 0, false, 0, true},
    };
    for (const auto& c : cases) {
        memory_log_t log;
        log.append(log_entry_init(1, 1, "k", "a"));
        log.append(log_entry_init(2, 3, "k", "b"));
        log.save_state(3, c.voted_for, 0);
        node_under_test n(&clock, 1, {2, 3, 7}, &log);
        // Incarnation 1: follow leader 3 once, in term 3.
        n.step(append_request(3, 1, 3, 0, 2, 3));
        ASSERT_EQ(n->incarnation(), 1u);
        if (!c.leader_recent)
            clock.advance(5 * SEC + 1);
        n.step(vote_request(c.type, 2, 1, c.term, c.last_index, c.last_term, c.incarnation));
        auto r = n.sent(VOTE_RESPONSE, 2);
        ASSERT_EQ(r.size(), 1u) << c.what;
        EXPECT_EQ(r[0].body.flag, c.granted ? 1 : 0) << c.what;
        if (c.type == VOTE_REQUEST && c.granted) {
            EXPECT_EQ(n->voted_for(), 2u) << c.what;
            EXPECT_EQ(log.saved_vote(), 2u) << c.what;
        }
        if (c.type == PRE_VOTE_REQUEST) {
            EXPECT_EQ(n->voted_for(), c.voted_for) << c.what;
        }
        // A granted pre-vote answers in the requester's term; anything else in ours.
        EXPECT_EQ(r[0].term, c.type == PRE_VOTE_REQUEST && c.granted ? c.term - 1 : n->term()) << c.what;
    }
}

TEST_F(RaftNode, MajorityForOneToFiveNodesWithAndWithoutTheHaEndpoint)
{
    struct {
        std::vector<uint32_t> peers;
        uint64_t majority;
    } cases[] = {
        {{}, 0}, {{2}, 1}, {{2, NODE_HA}, 1}, {{2, 3}, 1}, {{2, 3, 4}, 2}, {{2, 3, 4, 5}, 2}, {{2, 3, 4, 5, NODE_HA}, 3},
    };
    for (const auto& c : cases) {
        node_under_test n(&clock, 1, c.peers);
        EXPECT_EQ(n->majority(), c.majority) << c.peers.size();
    }
}

TEST_F(RaftNode, FourNodesNeedTwoGrants)
{
    node_under_test n(&clock, 1, {2, 3, 4});
    clock.advance(7 * SEC);
    n.tick();
    n.step(vote_response(2, 1, 0, true));
    EXPECT_EQ(n->state(), PRE_CANDIDATE);
    n.step(vote_response(2, 1, 0, true));  // the same peer twice is still one grant
    EXPECT_EQ(n->state(), PRE_CANDIDATE);
    n.step(vote_response(3, 1, 0, true));
    EXPECT_EQ(n->state(), CANDIDATE);
    EXPECT_EQ(n->term(), 1u);
    EXPECT_EQ(n.sent(VOTE_REQUEST).size(), 3u);
    n.step(vote_response(4, 1, 1, true));
    EXPECT_EQ(n->state(), CANDIDATE);
    n.step(vote_response(2, 1, 1, false));
    EXPECT_EQ(n->state(), CANDIDATE);
    n.step(vote_response(3, 1, 1, true));
    EXPECT_EQ(n->state(), LEADER);
    EXPECT_EQ(n->leader(), 1u);
}

TEST_F(RaftNode, ElectionSequenceAndItsRecords)
{
    node_under_test n(&clock, 1, {2, 3});
    clock.advance(5 * SEC);
    n.tick();
    clock.advance(1);
    n.tick();
    EXPECT_EQ(n->state(), FOLLOWER) << "the time-out is 5 s plus at least 1 ns, and must be exceeded";
    clock.advance(1);
    n.tick();
    ASSERT_EQ(n->state(), PRE_CANDIDATE);
    EXPECT_EQ(n->term(), 0u);
    auto pre = n.sent(PRE_VOTE_REQUEST);
    ASSERT_EQ(pre.size(), 2u);
    EXPECT_EQ(pre[0].to, 2u);
    EXPECT_EQ(pre[0].term, 1u);
    auto sc = n.sent(STATE_CHANGED);
    ASSERT_EQ(sc.size(), 1u);
    EXPECT_EQ(sc[0].body.state_changed.reason, REASON_ELECTION);
    n.step(vote_response(3, 1, 0, true));
    ASSERT_EQ(n->state(), CANDIDATE);
    EXPECT_EQ(n->term(), 1u);
    EXPECT_EQ(n->voted_for(), 1u);
    EXPECT_EQ(n.log->saved_term(), 1u);
    EXPECT_EQ(n.log->saved_vote(), 1u);
    n.step(vote_response(2, 1, 1, true));
    ASSERT_EQ(n->state(), LEADER);
    sc = n.sent(STATE_CHANGED);
    ASSERT_EQ(sc.size(), 1u);
    EXPECT_EQ(sc[0].body.state_changed.old_state, CANDIDATE);
    EXPECT_EQ(sc[0].body.state_changed.new_state, LEADER);
}

TEST_F(RaftNode, TimedOutCandidateReturnsToFollowerKeepingTermAndVote)
{
    node_under_test n(&clock, 1, {2, 3});
    clock.advance(7 * SEC);
    n.tick();
    n.step(vote_response(2, 1, 0, true));
    ASSERT_EQ(n->state(), CANDIDATE);
    clock.advance(7 * SEC);
    n.tick();
    EXPECT_EQ(n->state(), FOLLOWER);
    EXPECT_EQ(n->term(), 1u);
    EXPECT_EQ(n->voted_for(), 1u);
    auto sc = n.sent(STATE_CHANGED);
    ASSERT_EQ(sc.size(), 1u);
    EXPECT_EQ(sc[0].body.state_changed.reason, REASON_TIMEOUT);
    clock.advance(7 * SEC);
    n.tick();
    EXPECT_EQ(n->state(), PRE_CANDIDATE);
}

TEST_F(RaftNode, SingleNodeLeadsAtTheNextStepInTheSameTerm)
{
    node_under_test n(&clock, 1, {});
    clock.advance(6 * SEC + 1);
    n.tick();
    EXPECT_EQ(n->state(), PRE_CANDIDATE);
    EXPECT_EQ(n.sent(PRE_VOTE_REQUEST).size(), 0u);
    n.tick();
    EXPECT_EQ(n->state(), LEADER);
    EXPECT_EQ(n->term(), 0u);
    // Every entry of its term commits at once.
    n.append(0, "x");
    n.tick();
    EXPECT_EQ(n->commit(), 1u);
    ASSERT_EQ(n.sent(FSM_APPLY).size(), 1u);
    EXPECT_STREQ(n.sent(FSM_APPLY)[0].body.apply.value, "x");
    clock.advance(60 * SEC);
    n.tick();
    EXPECT_EQ(n->state(), LEADER);
}

TEST_F(RaftNode, LeadershipDisabledNeverCampaignsButVotesAndFollows)
{
    node_under_test n(&clock, 1, {2, 3});
    n->set_leadership_disabled(true);
    clock.advance(60 * SEC);
    n.tick();
    EXPECT_EQ(n->state(), FOLLOWER);
    EXPECT_TRUE(n.out.empty());
    n.step(vote_request(VOTE_REQUEST, 2, 1, 1, 0, 0, 0));
    EXPECT_EQ(n.sent(VOTE_RESPONSE)[0].body.flag, 1);
    n.step(append_request(2, 1, 1, 0, 0, 0));
    EXPECT_EQ(n->leader(), 2u);
    EXPECT_EQ(n.sent(APPEND_RESPONSE)[0].body.flag, 1);
}

TEST_F(RaftNode, LeaderContactRunsFromConstruction)
{
    node_under_test n(&clock, 1, {2, 3});
    clock.advance(4 * SEC);
    n.step(vote_request(PRE_VOTE_REQUEST, 2, 1, 1, 0, 0, 0));
    EXPECT_EQ(n.sent(VOTE_RESPONSE)[0].body.flag, 0);
    clock.advance(1 * SEC + 1);
    n.step(vote_request(PRE_VOTE_REQUEST, 2, 1, 1, 0, 0, 0));
    EXPECT_EQ(n.sent(VOTE_RESPONSE)[0].body.flag, 1);
}

TEST_F(RaftNode, TwoNodeLeaderStepsDownAfterFourSecondsOfSilence)
{
    node_under_test n(&clock, 1, {2});
    n.elect();
    ASSERT_EQ(n->state(), LEADER);
    n.tick();  // heartbeat
    n.step(append_response(2, 1, n->term(), true, 0));
    ASSERT_EQ(n.sent(NODE_STATUS).size(), 1u);
    clock.advance(4 * SEC);
    n.tick();
    EXPECT_EQ(n->state(), LEADER);
    clock.advance(1);
    n.tick();
    EXPECT_EQ(n->state(), FOLLOWER);
    EXPECT_EQ(n->leader(), LEADER_NONE);
    // Only the state change leaves that step: the peer's down notice is dropped.
    ASSERT_EQ(n.out.size(), 1u);
    EXPECT_EQ(n.out[0].type, STATE_CHANGED);
    EXPECT_EQ(n.out[0].body.state_changed.reason, REASON_LOST_MAJORITY);
}

// The lease runs from when the answered request went out, not from when its
// answer was read (it may have waited while the process was paused), and ends
// with the leadership.
TEST_F(RaftNode, MajorityContactIsTheAnsweredSendTime)
{
    node_under_test n(&clock, 1, {2, 3});
    n.elect();
    ASSERT_EQ(n->state(), LEADER);
    EXPECT_EQ(n->majority_contact_ns(), -1);
    n.tick();
    const int64_t sent = clock.now_ns();
    clock.advance(3 * SEC);
    n.step(append_response(2, 1, n->term(), true, 0));
    EXPECT_GE(n->majority_contact_ns(), 0);
    EXPECT_LE(n->majority_contact_ns(), sent);
    clock.advance(4 * SEC + 1);
    n.tick();
    EXPECT_EQ(n->state(), FOLLOWER);
    EXPECT_EQ(n->majority_contact_ns(), -1);
}

TEST_F(RaftNode, PairWithHaEndpointKeepsLeadingAndCommitsThroughIt)
{
    node_under_test n(&clock, 1, {2, NODE_HA});
    n.elect();
    ASSERT_EQ(n->state(), LEADER);
    n.append(n->term(), "x");
    for (int i = 0; i < 2000 && n->commit() == 0; ++i) {
        clock.advance(5 * MS);
        n.tick();
        for (const auto& m : n.sent(APPEND_REQUEST, NODE_HA)) {
            const raft_msg_t answer = ha_answer(m);
            n.step(answer);
        }
    }
    EXPECT_EQ(n->commit(), 1u);
    clock.advance(30 * SEC);
    n.tick();
    EXPECT_EQ(n->state(), LEADER) << "67 always counts as live";
}

// The endpoint's echo counts only until the disk confirmation it was given on
// ends: a leader stopped after the echo was sent and woken later commits nothing
// on it (the peer may have taken the disks meanwhile). 0 reads as not told.
TEST_F(RaftNode, HaEchoCountsOnlyUntilItsConfirmationEnds)
{
    struct {
        int64_t until;  // relative to when the echo is read; INT64_MIN: 0 on the wire
        uint64_t commit;
    } rows[] = {{-1, 0}, {0, 1}, {4 * SEC, 1}, {INT64_MIN, 1}};
    for (auto row : rows) {
        node_under_test n(&clock, 1, {2, NODE_HA});
        n.elect();
        n.append(n->term(), "x");
        n.tick();
        const auto sent = n.sent(APPEND_REQUEST, NODE_HA);
        ASSERT_EQ(sent.size(), 1u);
        raft_msg_t echo = ha_answer(sent[0]);
        clock.advance(6 * SEC);  // stopped with the echo in its socket
        set_echo_valid_until(echo, row.until == INT64_MIN ? 0 : clock.now_ns() + row.until);
        n.step(echo);
        EXPECT_EQ(n->commit(), row.commit) << row.until;
    }
}

TEST_F(RaftNode, HeartbeatPacingAndInFlightResend)
{
    node_under_test n(&clock, 1, {2, 3});
    n.elect();
    n.tick();
    EXPECT_EQ(n.sent(APPEND_REQUEST).size(), 2u) << "the first step of a leader is a heartbeat";
    // While requests are in flight nothing more goes out.
    clock.advance(5 * MS);
    n.tick();
    EXPECT_EQ(n.sent(APPEND_REQUEST).size(), 0u);
    // Peer 2 answers; the heartbeat timer has not expired: nothing new to send.
    n.step(append_response(2, 1, n->term(), true, 0));
    EXPECT_EQ(n.sent(APPEND_REQUEST).size(), 0u);
    // A new entry goes to the up peer at once, to the unknown one only on the heartbeat.
    n.append(n->term(), "x");
    n.tick();
    ASSERT_EQ(n.sent(APPEND_REQUEST).size(), 1u);
    EXPECT_EQ(n.sent(APPEND_REQUEST)[0].to, 2u);
    EXPECT_EQ(n.sent(APPEND_REQUEST)[0].body.append.entry.index, 1u);
    // Unanswered: resent once more than 10 ms have passed.
    clock.advance(10 * MS);
    n.tick();
    EXPECT_EQ(n.sent(APPEND_REQUEST).size(), 0u);
    clock.advance(1);
    n.tick();
    EXPECT_EQ(n.sent(APPEND_REQUEST, 2).size(), 1u);
    // The heartbeat comes every 200 ms.
    clock.advance(200 * MS);
    n.tick();
    EXPECT_EQ(n.sent(APPEND_REQUEST).size(), 2u);
    clock.advance(100 * MS);
    n.tick();
    EXPECT_EQ(n.sent(APPEND_REQUEST, 3).size(), 0u);
}

// A follower that holds nothing catches up on 40 entries from a real leader
// over a network that delivers every record twice, and from behind a disk that
// takes 15 ms to store each new entry (its answers come in order; the leader's
// in-flight time-out is 10 ms). Every answer to a request already answered, a
// copy or the answer to a resend, must not send one more request: the leader
// would keep them all circulating while the follower lags, copies of copies
// multiplying them.
TEST_F(RaftNode, CatchUpSendsNoRequestForAnAnswerAlreadyCounted)
{
    struct network {
        const char* what;
        int copies;
        int64_t store_ns;  // the follower's time to store an entry it did not hold
    };
    for (const network& net : {network{"duplicating network", 2, 0}, network{"slow follower disk", 1, 15 * MS}}) {
        node_under_test l(&clock, 1, {2, 3});
        node_under_test f(&clock, 2, {1, 3});
        for (int i = 0; i < 39; ++i)
            l.append(1, "old");
        l.elect();
        l.append(l->term(), "mine");
        const uint64_t last = l.log->last_index();
        std::multimap<int64_t, raft_msg_t> wire;  // delivery time -> record
        int64_t follower_free = 0;                // the follower answers in order
        uint64_t requests = 0;
        auto post = [&](const std::vector<raft_msg_t>& out) {
            for (const auto& m : out) {
                const bool request = m.type == APPEND_REQUEST && m.to == 2;
                if (!request && !(m.type == APPEND_RESPONSE && m.to == 1))
                    continue;
                requests += request ? 1 : 0;
                for (int c = 0; c < net.copies; ++c)
                    wire.emplace(clock.t + 100'000, m);
            }
        };
        const int64_t end = clock.t + 3 * SEC;
        while (clock.t < end && requests < 5000) {
            const int64_t next = wire.empty() ? clock.t + 5 * MS : std::min(wire.begin()->first, clock.t + 5 * MS);
            clock.t = std::max(clock.t, next);
            if (wire.empty() || wire.begin()->first > clock.t) {
                l.tick();  // the monitor's 5 ms receive time-out
                post(l.out);
                continue;
            }
            raft_msg_t m = wire.begin()->second;
            wire.erase(wire.begin());
            if (m.to == 1) {
                l.step(m);
                post(l.out);
                continue;
            }
            // The follower is busy until it has stored the entries before this one.
            if (follower_free > clock.t) {
                wire.emplace(follower_free, m);
                continue;
            }
            const uint64_t held = f.log->last_index();
            f.step(m);
            if (f.log->last_index() > held)
                follower_free = clock.t + net.store_ns;
            for (auto& r : f.out)
                if (r.type == APPEND_RESPONSE)
                    for (int c = 0; c < net.copies; ++c)
                        wire.emplace(std::max(clock.t, follower_free) + 100'000, r);
        }
        EXPECT_EQ(f.log->last_index(), last) << net.what;
        EXPECT_TRUE(f.log->exists(last, l->term())) << net.what;
        EXPECT_EQ(l->commit(), last) << net.what;
        // 40 refusals on the way down, 40 entries on the way up, resends of the
        // slow ones and the heartbeats of 3 s.
        EXPECT_LT(requests, 4 * last + 20) << net.what;
    }
}

TEST_F(RaftNode, LeaderReportsPeerStatusAndSync)
{
    node_under_test n(&clock, 1, {2, 3});
    n.elect();
    n.tick();
    EXPECT_EQ(n.sent(NODE_SYNCED).size(), 2u) << "both peers match the empty log";
    n.step(append_response(2, 1, n->term(), true, 0));
    auto st = n.sent(NODE_STATUS);
    ASSERT_EQ(st.size(), 1u);
    EXPECT_EQ(st[0].from, 2u);
    EXPECT_EQ(st[0].to, 1u);
    EXPECT_EQ(st[0].body.flag, 1);
    n.append(n->term(), "x");
    n.tick();
    EXPECT_EQ(n.sent(NODE_SYNCED).size(), 2u);
    EXPECT_EQ(n.sent(NODE_SYNCED)[0].body.flag, 0);
    clock.advance(3 * SEC);
    n.step(append_response(2, 1, n->term(), true, 1));
    clock.advance(1 * SEC + 1);
    n.tick();
    st = n.sent(NODE_STATUS);
    ASSERT_EQ(st.size(), 1u) << "peer 3 went down, peer 2 stayed up";
    EXPECT_EQ(st[0].from, 3u);
    EXPECT_EQ(st[0].body.flag, 0);
    EXPECT_EQ(n->state(), LEADER);
}

TEST_F(RaftNode, FollowerAppendsTruncatesAndAnswersWithTheEcho)
{
    node_under_test n(&clock, 1, {2, 3});
    n.append(1, "a");
    n.append(1, "b");
    n.append(1, "stale");
    // A conflicting entry at 3 replaces the old tail.
    n.step(append_request(2, 1, 2, 0, 2, 1, 3, 2, "k", "c"));
    auto r = n.sent(APPEND_RESPONSE, 2);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].body.flag, 1);
    EXPECT_EQ(append_response_index(r[0]), 3u);
    EXPECT_EQ(n.log->last_index(), 3u);
    EXPECT_EQ(n.log->get(3).term, 2u);
    // The same entry again appends nothing.
    n.step(append_request(2, 1, 2, 0, 2, 1, 3, 2, "k", "c"));
    EXPECT_EQ(n.log->last_index(), 3u);
    // A missing previous entry fails and echoes it; the commit index stays.
    n.step(append_request(2, 1, 2, 3, 7, 2, 8, 2, "k", "x"));
    r = n.sent(APPEND_RESPONSE, 2);
    EXPECT_EQ(r[0].body.flag, 0);
    EXPECT_EQ(append_response_index(r[0]), 7u);
    EXPECT_EQ(n->commit(), 0u);
    // A heartbeat echoes its previous index and carries the commit index over.
    n.step(append_request(2, 1, 2, 3, 3, 2));
    EXPECT_EQ(append_response_index(n.sent(APPEND_RESPONSE)[0]), 3u);
    EXPECT_EQ(n->commit(), 3u);
    EXPECT_EQ(n.sent(FSM_APPLY).size(), 1u);
    n.step(append_request(2, 1, 2, 3, 3, 2));
    EXPECT_EQ(n.sent(FSM_APPLY).size(), 2u) << "a backlog drains two entries per append request";
}

// The previous entry must match by index and term: a follower that checked the
// index alone would graft a new leader's entries onto an old term's tail.
TEST_F(RaftNode, FollowerRefusesAnAppendWhosePreviousEntryHasAnotherTerm)
{
    node_under_test n(&clock, 1, {2, 3});
    n.append(1, "a");
    n.append(1, "b");
    n.step(append_request(2, 1, 3, 3, 2, 2, 3, 3, "k", "c"));
    auto r = n.sent(APPEND_RESPONSE, 2);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].body.flag, 0);
    EXPECT_EQ(n.log->last_index(), 2u);
    EXPECT_EQ(n.log->get(2).term, 1u);
    EXPECT_EQ(n->commit(), 0u) << "a failed check never moves the commit index";
}

// A late copy of an earlier request (same index and term) must not cut off the
// entries that arrived after it: they may be acknowledged and committed.
TEST_F(RaftNode, FollowerKeepsItsTailWhenARequestRepeatsAMatchingEntry)
{
    node_under_test n(&clock, 1, {2, 3});
    n.append(1, "a");
    n.append(1, "b");
    n.append(1, "c");
    n.step(append_request(2, 1, 1, 0, 1, 1, 2, 1, "k", "b"));
    auto r = n.sent(APPEND_RESPONSE, 2);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].body.flag, 1);
    EXPECT_EQ(n.log->last_index(), 3u);
    EXPECT_EQ(n.log->get(3).term, 1u);
    EXPECT_EQ(std::string(n.log->get(3).value), "c");
}

TEST_F(RaftNode, IncarnationCountsLeaderChangesOnce)
{
    node_under_test n(&clock, 1, {2, 3});
    n.step(append_request(2, 1, 1, 0, 0, 0));
    n.step(append_request(2, 1, 1, 0, 0, 0));
    EXPECT_EQ(n->incarnation(), 1u);
    n.step(append_request(3, 1, 2, 0, 0, 0));
    EXPECT_EQ(n->incarnation(), 2u);
}

TEST_F(RaftNode, PerStateHandlerStatesAreConsistent)
{
    // Unknown record types act like a tick.
    node_under_test n(&clock, 1, {2, 3});
    raft_msg_t odd = make_msg(77, 0, 0, 0);
    EXPECT_GE(n.step(odd), 0);
    clock.advance(7 * SEC);
    n.step(odd);
    EXPECT_EQ(n->state(), PRE_CANDIDATE);
}

// The monitor's other threads read id, state, term and leader while "mon-raft"
// steps the node; under ThreadSanitizer this shows those reads are race-free.
TEST_F(RaftNode, StateTermAndLeaderAreReadableFromOtherThreads)
{
    node_under_test n(&clock, 1, {2, 3});
    std::atomic<bool> done{false};
    uint64_t seen_leader = 0;
    std::thread reader([&] {
        while (!done.load()) {
            if (n.node->state() == LEADER && n.node->leader() == n.node->id() && n.node->term() > 0)
                ++seen_leader;
        }
    });
    for (int round = 0; round < 50; ++round) {
        n.elect();
        n.step(append_request(2, 1, n->term() + 1, 0, 0, 0));
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(n->state(), FOLLOWER);
    EXPECT_EQ(n->leader(), 2u);
}

TEST_F(RaftNode, QuorumIndexIsTheMajorityThLargestMatch)
{
    std::vector<raft_peer_t> peers(4);
    const uint64_t matches[] = {7, 3, 9, 5};
    for (size_t i = 0; i < 4; ++i)
        peers[i].match = matches[i];
    EXPECT_EQ(raft_quorum_index(peers, 2, 100), 7u);
    EXPECT_EQ(raft_quorum_index(peers, 1, 100), 9u);
    EXPECT_EQ(raft_quorum_index(peers, 1, 8), 8u);
    EXPECT_EQ(raft_quorum_index(peers, 0, 4), 4u);
}

}  // namespace
