// Scripted scenarios, one per way the replication and vote rules could lose
// acknowledged writes, apply uncommitted entries, elect two leaders in a term or
// deadlock; each names the exact message sequence that would go wrong.
#include "daemon/core/raft_test_util.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

using namespace raft;
using namespace raft::testing;

namespace {

struct RaftFaults : ::testing::Test {
    manual_clock clock;
};

// A caught-up peer's heartbeat names the leader's last entry, so a peer that
// lacks it cannot answer success.
TEST_F(RaftFaults, HeartbeatNamesTheEntryBeforeThePeersNext)
{
    node_under_test l(&clock, 1, {2, 3});
    const uint64_t t = l.elect();
    l.append(t, "a");
    l.append(t, "b");
    l.tick();  // heartbeat; the peers' next is 1 since the election
    auto hb = l.sent(APPEND_REQUEST, 2);
    ASSERT_EQ(hb.size(), 1u);
    EXPECT_EQ(hb[0].body.append.entry.index, 1u);
    EXPECT_EQ(hb[0].body.append.prev_index, 0u);
    // Bring peer 2 up to date through the echoes; its heartbeat then names entry 2.
    l.step(append_response(2, 1, t, true, 2));
    clock.advance(201 * MS);
    l.tick();
    hb = l.sent(APPEND_REQUEST, 2);
    ASSERT_EQ(hb.size(), 1u);
    EXPECT_EQ(hb[0].body.append.prev_index, 2u);
    EXPECT_EQ(hb[0].body.append.prev_term, t);
    // A follower holding only entry 1 refuses that heartbeat.
    node_under_test f(&clock, 2, {1, 3});
    f.log->append(log_entry_init(1, t, "k", "a"));
    f.step(hb[0]);
    EXPECT_EQ(f.sent(APPEND_RESPONSE)[0].body.flag, 0);
}

// A follower commits only what the request proved equal to the leader's log:
// an older term's leftover tail is never applied, and commit never goes back.
TEST_F(RaftFaults, FollowerNeverCommitsAnUncheckedTail)
{
    node_under_test f(&clock, 2, {1, 3});
    f.log->append(log_entry_init(1, 1, "k", "a"));
    f.log->append(log_entry_init(2, 1, "k", "b"));
    f.log->append(log_entry_init(3, 2, "k", "stale"));
    f.log->save_state(2, 0, 0);
    node_under_test g(&clock, 2, {1, 3}, f.log);
    // Leader of term 3 has (3,3) committed; it is still bringing us entry 2.
    g.step(append_request(1, 2, 3, 3, 1, 1, 2, 1, "k", "b"));
    EXPECT_EQ(g->commit(), 2u);
    for (const auto& a : g.sent(FSM_APPLY))
        EXPECT_STRNE(a.body.apply.value, "stale");
    // A heartbeat naming entry 1 only (late, reordered) proves entry 1 only.
    g.step(append_request(1, 2, 3, 3, 1, 1));
    EXPECT_EQ(g->commit(), 2u) << "the commit index never moves back";
    g.step(append_request(1, 2, 3, 3, 2, 1, 3, 3, "k", "c"));
    EXPECT_EQ(g->commit(), 3u);
    g.tick();
    EXPECT_EQ(g->last_applied(), 3u);
    EXPECT_STREQ(g.log->get(3).value, "c");
}

// A late duplicate success must not become a match on an entry the follower
// never got; a refusal counts only for the probe being made; other terms'
// responses are ignored. Two nodes and 67 would commit through the follower
// alone, so the lost write would be acknowledged.
TEST_F(RaftFaults, LateOrDuplicateResponsesNeverMatchMissingEntries)
{
    node_under_test l(&clock, 1, {2, 3});
    const uint64_t t = l.elect();
    l.tick();
    l.step(append_response(2, 1, t, true, 0));  // peer 2 up, match 0
    l.append(t, "a");
    l.tick();
    ASSERT_EQ(l.sent(APPEND_REQUEST, 2).size(), 1u);
    const raft_msg_t ok1 = append_response(2, 1, t, true, 1);
    l.step(ok1);
    EXPECT_EQ(l->commit(), 1u);
    l.append(t, "b");
    l.tick();
    ASSERT_EQ(l.sent(APPEND_REQUEST, 2).size(), 1u) << "entry 2 goes out and is lost";
    // The in-flight resend produces duplicates; the old success arrives again.
    clock.advance(11 * MS);
    l.step(ok1);
    l.step(ok1);
    EXPECT_EQ(l->commit(), 1u) << "entry 2 is on no peer";
    EXPECT_EQ(l->peers()[0].match, 1u);
    // A response from an older term changes nothing.
    l.step(append_response(2, 1, t - 1, true, 2));
    EXPECT_EQ(l->commit(), 1u);
    // A refusal of an older probe does not move next back or match down.
    l.step(append_response(2, 1, t, false, 0));
    EXPECT_EQ(l->peers()[0].next, 2u);
    EXPECT_EQ(l->peers()[0].match, 1u);
    // A refusal of the current probe (prev 1) lowers next, but not below match + 1.
    l.step(append_response(2, 1, t, false, 1));
    EXPECT_EQ(l->peers()[0].next, 2u);
    // An echo beyond the leader's log is not believed.
    l.step(append_response(2, 1, t, true, 99));
    EXPECT_EQ(l->peers()[0].match, 1u);
    l.step(append_response(2, 1, t, true, 2));
    EXPECT_EQ(l->commit(), 2u);
}

// Two nodes plus the HA endpoint: the endpoint's echo names what it was sent,
// never more, so the leader's commit follows what was really offered.
TEST_F(RaftFaults, HaEndpointEchoCommitsOnlyWhatWasSent)
{
    node_under_test l(&clock, 1, {2, NODE_HA});
    const uint64_t t = l.elect();
    l.append(t, "a");
    l.append(t, "b");
    l.tick();
    for (int i = 0; i < 40; ++i) {
        clock.advance(11 * MS);
        l.tick();
        for (const auto& m : l.sent(APPEND_REQUEST, NODE_HA)) {
            l.step(ha_answer(m));
            EXPECT_LE(l->commit(), m.body.append.entry.index != 0 ? m.body.append.entry.index : m.body.append.prev_index);
        }
    }
    EXPECT_EQ(l->commit(), 2u);
}

// A candidate that steps down on an append request of its own term keeps the
// vote it gave itself: granting another candidate now would be a second vote.
TEST_F(RaftFaults, VoteSurvivesAppendDrivenStepDown)
{
    node_under_test n(&clock, 1, {2, 3, 4, 5, 6, 7});
    clock.advance(7 * SEC);
    n.tick();
    for (uint32_t p : {2, 3, 4})
        n.step(vote_response(p, 1, 0, true));
    ASSERT_EQ(n->state(), CANDIDATE);
    ASSERT_EQ(n->voted_for(), 1u);
    n.step(append_request(5, 1, 1, 0, 0, 0));
    EXPECT_EQ(n->state(), FOLLOWER);
    EXPECT_EQ(n->voted_for(), 1u);
    EXPECT_EQ(n.log->saved_vote(), 1u);
    n.step(vote_request(VOTE_REQUEST, 6, 1, 1, 0, 0, 1));
    EXPECT_EQ(n.sent(VOTE_RESPONSE)[0].body.flag, 0);
}

// A pre-vote answered late, after the voter has moved to the requester's next
// term and voted there for someone else, must not count as a vote.
TEST_F(RaftFaults, LatePreVoteGrantIsNeverAVote)
{
    node_under_test r(&clock, 1, {2, 3});
    node_under_test v(&clock, 2, {1, 3});
    clock.advance(7 * SEC);
    r.tick();
    ASSERT_EQ(r->state(), PRE_CANDIDATE);
    const raft_msg_t pre = r.sent(PRE_VOTE_REQUEST, 2)[0];
    r.step(vote_response(3, 1, 0, true));  // node 3 grants: r is candidate of term 1
    ASSERT_EQ(r->state(), CANDIDATE);
    // Node 3 also campaigns in term 1 and gets v's vote first.
    v.step(vote_request(VOTE_REQUEST, 3, 2, 1, 0, 0, 0));
    ASSERT_EQ(v.sent(VOTE_RESPONSE)[0].body.flag, 1);
    // Then r's pre-vote reaches v (reordered): granted, in term 0.
    v.step(pre);
    const auto answer = v.sent(VOTE_RESPONSE)[0];
    EXPECT_EQ(answer.body.flag, 1);
    EXPECT_EQ(answer.term, 0u);
    r.step(answer);
    EXPECT_EQ(r->state(), CANDIDATE) << "node 3 leads term 1 with v's vote; r must not as well";
}

// Raft's up-to-date test: a later last term wins even with a shorter log, so
// two survivors whose logs differ that way do not refuse each other for ever.
TEST_F(RaftFaults, UpToDateTestLetsOneOfTwoSurvivorsWin)
{
    node_under_test a(&clock, 1, {2, 3});
    a.log->append(log_entry_init(1, 1, "k", "a"));
    a.log->append(log_entry_init(2, 1, "k", "b"));
    a.log->append(log_entry_init(3, 1, "k", "c"));
    node_under_test b(&clock, 2, {1, 3});
    b.log->append(log_entry_init(1, 1, "k", "a"));
    b.log->append(log_entry_init(2, 2, "k", "x"));
    clock.advance(6 * SEC);
    a.step(vote_request(PRE_VOTE_REQUEST, 2, 1, 3, 2, 2, 0));
    EXPECT_EQ(a.sent(VOTE_RESPONSE)[0].body.flag, 1) << "b's log is more up to date";
    b.step(vote_request(PRE_VOTE_REQUEST, 1, 2, 3, 3, 1, 0));
    EXPECT_EQ(b.sent(VOTE_RESPONSE)[0].body.flag, 0);
}

// Datagrams are untrusted.
TEST_F(RaftFaults, UntrustedRecordsAreBoundedOrIgnored)
{
    node_under_test f(&clock, 2, {1, 3});
    // Key and value without their terminating zero are cut to their fields.
    raft_msg_t m = append_request(1, 2, 1, 0, 0, 0, 1, 1, "k", "v");
    std::memset(m.body.append.entry.key, 'K', KEY_SIZE);
    std::memset(m.body.append.entry.value, 'V', VALUE_SIZE);
    f.step(m);
    ASSERT_EQ(f.log->last_index(), 1u);
    EXPECT_EQ(strnlen(f.log->get(1).key, KEY_SIZE), KEY_SIZE - 1);
    EXPECT_EQ(strnlen(f.log->get(1).value, VALUE_SIZE), VALUE_SIZE - 1);
    // Records from a node that is not a peer are ignored; local ones from 0 pass.
    f.step(append_request(9, 2, 5, 0, 0, 0));
    EXPECT_TRUE(f.out.empty());
    EXPECT_EQ(f->term(), 1u);
    f.step(vote_request(VOTE_REQUEST, 9, 2, 5, 9, 9, 1));
    EXPECT_TRUE(f.out.empty());
    f.step(make_msg(TICK, 0, 0, 1));
    EXPECT_EQ(f->term(), 1u);
    // An entry that is not the one after its previous entry is ignored...
    f.step(append_request(1, 2, 1, 0, 1, 1, 5, 1, "k", "gap"));
    EXPECT_TRUE(f.out.empty());
    EXPECT_EQ(f.log->last_index(), 1u);
    // ... and so are entries or previous entries of a later term than the request.
    f.step(append_request(1, 2, 1, 0, 1, 1, 2, 4, "k", "future"));
    EXPECT_TRUE(f.out.empty());
    // Heartbeats pass.
    f.step(append_request(1, 2, 1, 0, 1, 1));
    EXPECT_EQ(f.sent(APPEND_RESPONSE).size(), 1u);
    // A term that could not be advanced is refused.
    f.step(vote_request(VOTE_REQUEST, 3, 2, std::numeric_limits<uint64_t>::max(), 9, 9, 1));
    EXPECT_TRUE(f.out.empty());
    EXPECT_EQ(f->term(), 1u);
    // A leader ignores responses from strangers.
    node_under_test l(&clock, 1, {2, 3});
    const uint64_t t = l.elect();
    l.tick();
    l.step(append_response(9, 1, t, true, 0));
    EXPECT_TRUE(l.sent(NODE_STATUS).empty());
}

// A pre-vote request always carries a term of at least 1; one that claims 0 would
// be granted in the term before 0.
TEST_F(RaftFaults, PreVoteOfTermZeroIsIgnored)
{
    node_under_test v(&clock, 2, {1, 3});
    clock.advance(6 * SEC);
    v.step(vote_request(PRE_VOTE_REQUEST, 1, 2, 0, 0, 0, 0));
    EXPECT_TRUE(v.out.empty());
    v.step(vote_request(PRE_VOTE_REQUEST, 1, 2, 1, 0, 0, 0));
    ASSERT_EQ(v.sent(VOTE_RESPONSE).size(), 1u);
    EXPECT_EQ(v.sent(VOTE_RESPONSE)[0].term, 0u);
}

// Incarnation refuses only a fresh candidate over a running voter. The example
// of three healthy connected nodes that would otherwise refuse each other: B
// has incarnation 3 and the shortest log, A incarnation 1 and the committed
// entry, L incarnation 0 and an extra uncommitted entry.
TEST_F(RaftFaults, IncarnationNeverDeadlocksHealthyNodes)
{
    auto follow = [&](node_under_test& n, int times) {
        for (int i = 0; i < times; ++i)
            n.step(append_request(i % 2 == 0 ? 5 : 4, n->id(), 1, 0, 0, 0));
    };
    node_under_test a(&clock, 1, {2, 3, 4, 5});
    node_under_test b(&clock, 2, {1, 3, 4, 5});
    node_under_test lnode(&clock, 3, {1, 2, 4, 5});
    follow(a, 1);
    follow(b, 3);
    a.log->append(log_entry_init(1, 1, "k", "committed"));
    lnode.log->append(log_entry_init(1, 1, "k", "committed"));
    lnode.log->append(log_entry_init(2, 1, "k", "extra"));
    ASSERT_EQ(a->incarnation(), 1u);
    ASSERT_EQ(b->incarnation(), 3u);
    ASSERT_EQ(lnode->incarnation(), 0u);
    clock.advance(6 * SEC);
    // A (incarnation 1, longest committed log) is granted by B (incarnation 3).
    b.step(vote_request(PRE_VOTE_REQUEST, 1, 2, 2, 1, 1, a->incarnation()));
    EXPECT_EQ(b.sent(VOTE_RESPONSE)[0].body.flag, 1);
    b.step(vote_request(VOTE_REQUEST, 1, 2, 2, 1, 1, a->incarnation()));
    EXPECT_EQ(b.sent(VOTE_RESPONSE)[0].body.flag, 1);
    // L, fresh, is refused by a running node whose log is as up to date as its own.
    a.step(vote_request(PRE_VOTE_REQUEST, 3, 1, 2, 1, 1, 0));
    EXPECT_EQ(a.sent(VOTE_RESPONSE)[0].body.flag, 0);
    // One that lags L yields: it can never win against L's log, and if the nodes
    // that could are leadership-disabled or fresh too, nobody would ever lead
    // (a paused leader that never followed anyone is fresh as well).
    a.step(vote_request(PRE_VOTE_REQUEST, 3, 1, 2, 2, 1, 0));
    EXPECT_EQ(a.sent(VOTE_RESPONSE)[0].body.flag, 1);
    // Among fresh nodes incarnation does not matter.
    lnode.step(vote_request(PRE_VOTE_REQUEST, 4, 3, 2, 2, 1, 0));
    EXPECT_EQ(lnode.sent(VOTE_RESPONSE)[0].body.flag, 1);
}

// A node that was candidate in a partition holds a higher term than the two
// others; they know nothing of it. B (term 3, fresh, short log) cannot win; A
// (term 1, fresh, longest log) is refused by C (running); C (term 1, running)
// is refused by A for its log, and by B for its old term. If B ignored C's
// stale requests C would never learn term 3 and nobody would ever lead.
TEST_F(RaftFaults, StaleVoteRequestsLearnTheHigherTerm)
{
    node_under_test b(&clock, 2, {1, 3});
    b.log->append(log_entry_init(1, 1, "k", "a"));
    b.log->save_state(3, 2, 0);
    node_under_test b3(&clock, 2, {1, 3}, b.log);
    node_under_test c(&clock, 3, {1, 2});
    c.log->append(log_entry_init(1, 1, "k", "a"));
    c.log->append(log_entry_init(2, 1, "k", "b"));
    c.log->save_state(1, 0, 0);
    node_under_test c1(&clock, 3, {1, 2}, c.log);
    c1.step(append_request(1, 3, 1, 0, 2, 1));  // C followed A once: incarnation 1
    clock.advance(7 * SEC);
    c1.tick();
    ASSERT_EQ(c1->state(), PRE_CANDIDATE);
    const raft_msg_t pre = c1.sent(PRE_VOTE_REQUEST, 2)[0];
    b3.step(pre);
    ASSERT_EQ(b3.sent(VOTE_RESPONSE).size(), 1u);
    const raft_msg_t refusal = b3.sent(VOTE_RESPONSE)[0];
    EXPECT_EQ(refusal.body.flag, 0);
    EXPECT_EQ(refusal.term, 3u);
    c1.step(refusal);
    EXPECT_EQ(c1->term(), 3u);
    EXPECT_EQ(c1->state(), FOLLOWER);
    // C's next trial is granted by B, which is enough in three nodes.
    clock.advance(7 * SEC);
    c1.tick();
    ASSERT_EQ(c1->state(), PRE_CANDIDATE);
    b3.step(c1.sent(PRE_VOTE_REQUEST, 2)[0]);
    c1.step(b3.sent(VOTE_RESPONSE)[0]);
    ASSERT_EQ(c1->state(), CANDIDATE);
    b3.step(c1.sent(VOTE_REQUEST, 2)[0]);
    c1.step(b3.sent(VOTE_RESPONSE)[0]);
    EXPECT_EQ(c1->state(), LEADER);
}

// A follower that went ahead in term (a failed candidacy whose requests were
// lost) while the leader kept its majority: the leader must learn the term from
// the refusal of its append request and step down, or the follower is cut off
// for ever, refusing every append and refused every pre-vote.
TEST_F(RaftFaults, LeaderBehindAFollowersTermStepsDown)
{
    node_under_test l(&clock, 1, {2, 3});
    const uint64_t t = l.elect();
    node_under_test f(&clock, 3, {1, 2});
    f.log->save_state(t + 1, 3, 0);
    node_under_test f2(&clock, 3, {1, 2}, f.log);
    l.tick();
    const raft_msg_t req = l.sent(APPEND_REQUEST, 3)[0];
    f2.step(req);
    ASSERT_EQ(f2.sent(APPEND_RESPONSE).size(), 1u);
    const raft_msg_t refusal = f2.sent(APPEND_RESPONSE)[0];
    EXPECT_EQ(refusal.term, t + 1);
    l.step(append_response(2, 1, t, true, 0));
    l.step(refusal);
    EXPECT_EQ(l->state(), FOLLOWER);
    EXPECT_EQ(l->term(), t + 1);
    EXPECT_EQ(l->leader(), LEADER_NONE);
    EXPECT_EQ(l.sent(STATE_CHANGED)[0].body.state_changed.reason, REASON_HIGHER_TERM);
}

// A forged append request of a later term whose entry differs from a committed
// one: the node steps down (the term is all it can judge), but it refuses the
// entry, so the log keeps every committed entry and commit and last_applied never
// point past its end. A leader, a follower and a node restarted (commit 0,
// last_applied 6) are each fed the record twice.
TEST_F(RaftFaults, ForgedAppendNeverTruncatesCommittedEntries)
{
    const uint64_t t = 3;
    auto six_entries = [&](node_under_test& n) {
        for (int i = 1; i <= 6; ++i)
            n.append(t, "v" + std::to_string(i));
    };
    std::vector<std::unique_ptr<node_under_test>> nodes;
    // The leader: commits 1-6 through peer 2's echo.
    nodes.push_back(std::make_unique<node_under_test>(&clock, 1, std::vector<uint32_t>{2, 3}));
    {
        node_under_test& l = *nodes.back();
        const uint64_t lt = l.elect();
        ASSERT_EQ(l->state(), LEADER);
        for (int i = 1; i <= 6; ++i)
            l.append(lt, "v" + std::to_string(i));
        l.step(append_response(2, 1, lt, true, 6));
        for (int i = 0; i < 6; ++i)
            l.tick();
        ASSERT_EQ(l->commit(), 6u);
        ASSERT_EQ(l->last_applied(), 6u);
    }
    // A follower told by its leader that 1-6 are committed.
    nodes.push_back(std::make_unique<node_under_test>(&clock, 2, std::vector<uint32_t>{1, 3}));
    {
        node_under_test& f = *nodes.back();
        six_entries(f);
        f.step(append_request(1, 2, t, 6, 6, t));
        f.step(append_request(1, 2, t, 6, 6, t));
        f.step(append_request(1, 2, t, 6, 6, t));
        ASSERT_EQ(f->commit(), 6u);
    }
    // A node restarted after applying 1-6: its commit index starts at 0.
    auto restarted_log = std::make_unique<memory_log_t>();
    {
        node_under_test seed(&clock, 3, {1, 2}, restarted_log.get());
        six_entries(seed);
        restarted_log->save_state(t, 0, 6);
    }
    nodes.push_back(std::make_unique<node_under_test>(&clock, 3, std::vector<uint32_t>{1, 2}, restarted_log.get()));
    ASSERT_EQ((*nodes.back())->commit(), 0u);
    ASSERT_EQ((*nodes.back())->last_applied(), 6u);

    for (auto& np : nodes) {
        node_under_test& n = *np;
        const uint32_t peer = n->id() == 2 ? 3 : 2;
        const uint64_t forged_term = n->term() + 5;
        const uint64_t kept_term = n.log->get(4).term;
        for (int round = 0; round < 2; ++round) {
            n.step(append_request(peer, n->id(), forged_term, 9, 3, kept_term, 4, forged_term, "k", "forged"));
            SCOPED_TRACE("node " + std::to_string(n->id()) + " round " + std::to_string(round));
            EXPECT_EQ(n->state(), FOLLOWER);
            EXPECT_EQ(n.log->last_index(), 6u);
            for (uint64_t i = 4; i <= 6; ++i)
                EXPECT_EQ(n.log->get(i).term, kept_term) << i;
            EXPECT_LE(n->commit(), n.log->last_index());
            EXPECT_LE(n->last_applied(), n.log->last_index());
            auto r = n.sent(APPEND_RESPONSE, peer);
            ASSERT_EQ(r.size(), 1u);
            EXPECT_EQ(r[0].body.flag, 0);
        }
    }
}

// In a pair with the HA endpoint an old leader comes back holding entries it
// committed through the endpoint alone, which the peer that took the disks over
// never had. The new leader's entries replace them: commit and applied state
// move back, FSM_REWIND says from where the store is rebuilt, and the leader's
// entries are applied from there. Both a node that kept running and one that
// restarted (commit index 0, last_applied stored) follow again.
TEST_F(RaftFaults, PairNodeDropsEntriesCommittedOnItsDiskOnlyAndFollowsAgain)
{
    for (bool restarted : {false, true}) {
        SCOPED_TRACE(restarted ? "restarted" : "running");
        memory_log_t log;
        auto old = std::make_unique<node_under_test>(&clock, 1, std::vector<uint32_t>{2, NODE_HA}, &log);
        for (int i = 1; i <= 4; ++i)
            old->append(1, "v" + std::to_string(i));
        // Entries 1-2 are on both nodes; 3-4 were committed through the endpoint.
        old->step(append_request(2, 1, 2, 4, 4, 1));
        old->step(append_request(2, 1, 2, 4, 4, 1));
        old->step(append_request(2, 1, 2, 4, 4, 1));
        ASSERT_EQ((*old)->last_applied(), 4u);
        if (restarted) {
            old.reset();
            old = std::make_unique<node_under_test>(&clock, 1, std::vector<uint32_t>{2, NODE_HA}, &log);
            ASSERT_EQ((*old)->commit(), 0u);
        }
        node_under_test& n = *old;
        // Leader 2 of term 3 replaces index 3 with its own entry and says 3 is committed.
        n.step(append_request(2, 1, 3, 3, 2, 1, 3, 3, "k", "new3"));
        EXPECT_EQ(n->state(), FOLLOWER);
        ASSERT_EQ(n.log->last_index(), 3u);
        EXPECT_EQ(n.log->get(3).term, 3u);
        auto rewinds = n.sent(FSM_REWIND);
        ASSERT_EQ(rewinds.size(), 1u);
        EXPECT_EQ(rewinds[0].body.rewind_to, 2u);
        auto r = n.sent(APPEND_RESPONSE, 2);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r.back().body.flag, 1);
        EXPECT_EQ(append_response_index(r.back()), 3u);
        // The rewind comes first, then the leader's entry is applied.
        auto applied = n.sent(FSM_APPLY);
        ASSERT_EQ(applied.size(), 1u);
        EXPECT_STREQ(applied.back().body.apply.value, "new3");
        auto at = [&](uint32_t type) {
            return std::find_if(n.out.begin(), n.out.end(), [&](const raft_msg_t& m) { return m.type == type; });
        };
        EXPECT_LT(at(FSM_REWIND), at(FSM_APPLY));
        EXPECT_EQ(log.saved_applied(), 3u);
        EXPECT_EQ(n->last_applied(), 3u);
    }
}

}  // namespace

namespace {

// Five logs at the moment of the classic counting-replicas fault: node 1 led
// term 2 and left (2,2) on itself and node 2; node 5 led term 3 and left (2,3)
// on itself only; nodes 3 and 4 hold entry 1.
struct five_logs {
    memory_log_t log[6];
    five_logs()
    {
        const std::vector<std::pair<uint64_t, const char*>> entries[6] = {
            {}, {{1, "a"}, {2, "b"}}, {{1, "a"}, {2, "b"}}, {{1, "a"}}, {{1, "a"}}, {{1, "a"}, {3, "c"}}};
        const uint64_t terms[6] = {0, 3, 2, 3, 3, 3};
        for (int id = 1; id <= 5; ++id) {
            for (const auto& [term, value] : entries[id])
                log[id].append(log_entry_init(log[id].last_index() + 1, term, "k", value));
            log[id].save_state(terms[id], 0, 0);
        }
    }
};

std::vector<uint32_t> others(uint32_t id)
{
    std::vector<uint32_t> r;
    for (uint32_t p = 1; p <= 5; ++p)
        if (p != id)
            r.push_back(p);
    return r;
}

}  // namespace

// Node 1, leader again in term 4, brings (2,2) to node 3: a majority holds it,
// yet it must not commit by counting replicas, since node 5 (last term 3) can
// still win term 5 with the votes of 2, 3 and 4 and replace it. Only an entry of
// term 4 above it, once on a majority, commits both; then node 5 cannot win.
TEST_F(RaftFaults, OldTermEntryOnAMajorityIsNotCommittedByCount)
{
    five_logs w;
    node_under_test l(&clock, 1, others(1), &w.log[1]);
    node_under_test f2(&clock, 2, others(2), &w.log[2]);
    node_under_test f3(&clock, 3, others(3), &w.log[3]);
    ASSERT_EQ(l.elect(), 4u);
    // Nodes 4 and 5 are unreachable; 1, 2 and 3 exchange everything else.
    auto pump = [&] {
        for (int round = 0; round < 20; ++round) {
            clock.advance(201 * MS);
            l.tick();
            std::vector<raft_msg_t> queue = l.out;
            while (!queue.empty()) {
                const raft_msg_t m = queue.front();
                queue.erase(queue.begin());
                node_under_test* to = m.to == 1 ? &l : m.to == 2 ? &f2 : m.to == 3 ? &f3 : nullptr;
                if (to == nullptr || m.type < PRE_VOTE_REQUEST || m.type > APPEND_RESPONSE)
                    continue;
                to->step(m);
                queue.insert(queue.end(), to->out.begin(), to->out.end());
            }
        }
    };
    // Would node 5 win term 5 against the logs as they are now?
    auto node5_could_win = [&] {
        int grants = 0;
        for (uint32_t id = 2; id <= 4; ++id) {
            memory_log_t copy = w.log[id];
            node_under_test voter(&clock, id, others(id), &copy);
            voter.step(vote_request(VOTE_REQUEST, 5, id, 5, 2, 3, 1));
            grants += voter.sent(VOTE_RESPONSE)[0].body.flag;
        }
        return grants >= 2;
    };
    pump();
    ASSERT_TRUE(w.log[3].exists(2, 2)) << "node 3 got (2,2): nodes 1, 2 and 3 hold it";
    EXPECT_EQ(l->commit(), 0u) << "an earlier term's entry never commits by counting replicas";
    EXPECT_EQ(f2->commit(), 0u);
    EXPECT_EQ(f3->commit(), 0u);
    EXPECT_TRUE(node5_could_win()) << "so (2,2) could still be replaced";
    l.append(4, "d");
    pump();
    EXPECT_EQ(l->commit(), 3u) << "a term-4 entry on a majority commits everything beneath it";
    EXPECT_EQ(f2->last_applied(), 3u);
    EXPECT_FALSE(node5_could_win());
}
