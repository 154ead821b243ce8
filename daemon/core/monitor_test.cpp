// The node monitor in-process: election and activation, event order and who gets
// them, the leadership marker, self-fencing, stop signals and late registration.
#include "daemon/core/monitor_test_util.hpp"

#include <csignal>
#include <thread>

using namespace monitor;
using namespace monitor::test;
using raft::make_msg;

namespace {

raft::raft_msg_t vote(uint32_t from, uint32_t to, uint64_t term)
{
    raft::raft_msg_t m = make_msg(raft::VOTE_RESPONSE, to, from, term);
    m.body.flag = 1;
    return m;
}

raft::raft_msg_t ack(uint32_t from, uint32_t to, uint64_t term, uint64_t index)
{
    raft::raft_msg_t m = make_msg(raft::APPEND_RESPONSE, to, from, term);
    m.body.flag = 1;
    raft::set_append_response_index(m, index);
    return m;
}

// Drives node 1 of a 3-node rig to LEADER with votes from node 2.
void win_election(monitor_rig& r)
{
    r.clock.advance(7 * raft::SEC);
    r.tick();
    ASSERT_EQ(r.mon->state(), raft::PRE_CANDIDATE);
    r.mon->run_once(vote(2, 1, r.mon->term()));
    ASSERT_EQ(r.mon->state(), raft::CANDIDATE);
    r.mon->run_once(vote(2, 1, r.mon->term()));
    ASSERT_EQ(r.mon->state(), raft::LEADER);
}

}  // namespace

TEST(Monitor, SingleNodeActivatesOnlyOnceItsSessionEntryIsApplied)
{
    monitor_rig r(1, 1);
    recording_app app("svc_app");
    r.start();
    r.mon->register_app(&app.rec);
    r.clock.advance(7 * raft::SEC);
    r.tick();  // trial election
    r.tick();  // no peers: leader at once, the session entry is appended
    ASSERT_EQ(r.mon->state(), raft::LEADER);
    ASSERT_EQ(r.log.last_index(), 1u);
    EXPECT_EQ(std::string(r.log.get(1).key), SESSION_KEY);
    EXPECT_TRUE(app.take().empty()) << "ACTIVATE before the session entry was applied";
    r.tick();  // commit and apply
    const std::string uuid = r.log.get(1).value;
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(app.take(), (std::vector<std::string>{"ACTIVATE:" + uuid, "NODE-ONLINE:1", "NODE-INSTANCE:1:1"}));
    EXPECT_EQ(r.mon->kv_get(SESSION_KEY), uuid);
    for (int i = 0; i < 5; ++i)
        r.tick();
    EXPECT_TRUE(app.take().empty()) << "the session entry activates once";
    r.mon->unregister_app(&app.rec);
}

TEST(Monitor, StopBeforeActivationIsHeldAndDeliveredAfterTheReplay)
{
    monitor_rig r(2, 3);
    recording_app app("svc_app");
    r.start();
    r.mon->register_app(&app.rec);
    r.mon->event("NODE-STOP", "3");
    r.mon->event("NODE-STOP", "3");
    r.mon->event("NODE-STOP", "66");
    r.mon->event("NODE-STOP", "1");  // covered by the cluster stop
    EXPECT_TRUE(app.take().empty());
    r.mon->event("ACTIVATE", "");
    EXPECT_EQ(app.take(), (std::vector<std::string>{"ACTIVATE:", "NODE-ONLINE:2", "NODE-OFFLINE:1", "NODE-OFFLINE:3",
                                                    "NODE-INSTANCE:2:1", "NODE-STOP:3", "NODE-STOP:66"}));
    r.mon->event("ACTIVATE", "");
    EXPECT_EQ(app.take().size(), 5u) << "held stops are delivered once";
    r.mon->event("EXIT", "");
    r.mon->unregister_app(&app.rec);
}

TEST(Monitor, ActivateReplaysNodesInIdOrderAndOtherEventsReachOnlyActiveApps)
{
    monitor_rig r(2, 4, /*ha=*/true);
    recording_app first("svc_app"), late("mgmt_app");
    r.start();
    r.mon->register_app(&first.rec);
    r.mon->act_on(node_status(4, true));
    r.mon->act_on(node_status(raft::NODE_HA, true));
    EXPECT_TRUE(first.take().empty()) << "inactive applications get no node events";
    EXPECT_EQ(queued(r.queue(raft::NODE_HA)), 2u) << "notices are copied to the HA endpoint";
    EXPECT_EQ(queued(r.queue(3)), 0u);

    r.mon->event("ACTIVATE", "ignored");
    EXPECT_EQ(first.take(), (std::vector<std::string>{"ACTIVATE:", "NODE-ONLINE:2", "NODE-ONLINE:4", "NODE-OFFLINE:1",
                                                      "NODE-OFFLINE:3", "NODE-INSTANCE:2:1"}));
    r.mon->register_app(&late.rec);
    r.mon->act_on(node_status(3, true));
    r.mon->event("NODE-STOP", "66");
    EXPECT_EQ(first.take(), (std::vector<std::string>{"NODE-ONLINE:3", "NODE-STOP:66"}));
    EXPECT_TRUE(late.take().empty());

    // Stepping down from any state but FOLLOWER aborts, and only the active hear it.
    r.mon->act_on(state_changed(raft::CANDIDATE, raft::FOLLOWER, raft::REASON_HIGHER_TERM, 0));
    EXPECT_EQ(first.take(), (std::vector<std::string>{"ABORT:"}));
    EXPECT_TRUE(late.take().empty());
    r.mon->act_on(state_changed(raft::FOLLOWER, raft::FOLLOWER, raft::REASON_HIGHER_TERM, 0));
    r.mon->act_on(node_status(3, false));
    EXPECT_TRUE(first.take().empty());
    r.mon->event("EXIT", "");
    EXPECT_EQ(first.take(), (std::vector<std::string>{"EXIT:"}));
    EXPECT_EQ(late.take(), (std::vector<std::string>{"EXIT:"}));
    r.mon->unregister_app(&first.rec);
    r.mon->unregister_app(&late.rec);
}

TEST(Monitor, FollowerAppliesWithoutEventsAndNewLeaderActivatesAfterItsMarkerCommits)
{
    monitor_rig r(1, 3);
    recording_app app("svc_app");
    r.start();
    r.mon->register_app(&app.rec);
    // Follow node 2, which replicates its session id.
    raft::raft_msg_t req = make_msg(raft::APPEND_REQUEST, 1, 2, 1);
    req.body.append.commit = 1;
    req.body.append.entry = raft::log_entry_init(1, 1, SESSION_KEY, "old-session");
    r.mon->run_once(req);
    EXPECT_EQ(r.mon->kv_get(SESSION_KEY), "old-session");
    EXPECT_EQ(r.mon->leader(), 2u);
    ASSERT_EQ(queued(r.queue(2)), 1u);  // the append response
    EXPECT_TRUE(app.take().empty());

    win_election(r);
    // Incarnation 1: no new session, a leadership marker instead, and no ACTIVATE
    // until this leader has committed it (so it has applied all before it).
    ASSERT_EQ(r.log.last_index(), 2u);
    EXPECT_EQ(std::string(r.log.get(2).key), LEADERSHIP_KEY);
    EXPECT_EQ(std::string(r.log.get(2).value), "1:" + std::to_string(r.mon->term()));
    EXPECT_TRUE(app.take().empty());
    r.mon->act_on(apply(SESSION_KEY, "old-session"));  // an older session entry applied late
    EXPECT_TRUE(app.take().empty());
    r.mon->run_once(ack(2, 1, r.mon->term(), 2));
    auto evs = app.take();
    ASSERT_FALSE(evs.empty());
    EXPECT_EQ(evs[0], "ACTIVATE:old-session");
    EXPECT_EQ(r.mon->kv_get(LEADERSHIP_KEY), "1:" + std::to_string(r.mon->term()));
    r.mon->unregister_app(&app.rec);
}

// Every append response carries the sender's daemon instance; a leader tells its
// applications each peer's instance the first time it hears it in its leadership
// (the replay after "ACTIVATE" holds its own and those heard so far) and again
// only when it changes. Zero (a daemon that does not send it) and responses of
// another term tell nothing.
TEST(Monitor, LeaderTellsEachDaemonInstanceOnceAndAgainWhenItChanges)
{
    monitor_rig r(1, 3);
    recording_app app("svc_app");
    r.start();
    EXPECT_EQ(r.mon->instance(), 1u);  // fixed_random draws 1
    r.mon->register_app(&app.rec);
    raft::raft_msg_t req = make_msg(raft::APPEND_REQUEST, 1, 2, 1);
    r.mon->run_once(req);
    raft::raft_msg_t resp;
    ASSERT_EQ(raft::mq_pop(r.queue(2), &resp, 0), 0);
    EXPECT_EQ(resp.type, raft::APPEND_RESPONSE);
    EXPECT_EQ(raft::sender_instance(resp), 1u);

    win_election(r);
    const auto with = [&](uint64_t term, uint64_t instance) {
        raft::raft_msg_t m = ack(2, 1, term, r.log.last_index());
        raft::set_sender_instance(m, instance);
        return m;
    };
    const auto instances = [&] {
        std::vector<std::string> out;
        for (const auto& e : app.take())
            if (e.rfind("NODE-INSTANCE:", 0) == 0)
                out.push_back(e);
            else if (e.rfind("ACTIVATE:", 0) == 0)
                out.push_back("ACTIVATE");
        return out;
    };
    r.mon->run_once(with(r.mon->term(), 0));  // commits the marker: ACTIVATE
    EXPECT_EQ(instances(), (std::vector<std::string>{"ACTIVATE", "NODE-INSTANCE:1:1"}));
    r.mon->run_once(with(r.mon->term(), 500));
    r.mon->run_once(with(r.mon->term(), 500));
    r.mon->run_once(with(r.mon->term() - 1, 700));
    r.mon->run_once(with(r.mon->term(), 600));
    EXPECT_EQ(instances(), (std::vector<std::string>{"NODE-INSTANCE:2:500", "NODE-INSTANCE:2:600"}));
    r.mon->unregister_app(&app.rec);
}

// A pair node that applied entries a later leader never had (they were committed
// through the disk voter alone) drops them: its store is rebuilt without them and
// then takes the leader's entries, with no event raised.
TEST(Monitor, PairFollowerRebuildsItsStoreWhenAppliedEntriesAreWithdrawn)
{
    monitor_rig r(1, 2, /*ha=*/true);
    recording_app app("svc_app");
    r.start();
    r.mon->register_app(&app.rec);
    auto append = [&](uint64_t term, uint64_t commit, uint64_t index, const char* key, const char* value) {
        raft::raft_msg_t req = make_msg(raft::APPEND_REQUEST, 1, 2, term);
        req.body.append.commit = commit;
        req.body.append.prev_index = index - 1;
        req.body.append.prev_term = index == 1 ? 0 : r.log.get(index - 1).term;
        req.body.append.entry = raft::log_entry_init(index, term, key, value);
        r.mon->run_once(req);
    };
    append(1, 1, 1, "svc/a", "on 1");
    append(1, 2, 2, "svc/b", "on 1");
    append(1, 3, 3, "svc/c", "on 1");
    r.mon->run_once(make_msg(raft::APPEND_REQUEST, 1, 2, 1));
    ASSERT_EQ(r.mon->kv_get("svc/c"), "on 1");
    // Node 2 leads term 3 without entries 2 and 3.
    append(3, 2, 2, "svc/b", "on 2");
    EXPECT_EQ(r.mon->kv_get("svc/a"), "on 1");
    EXPECT_EQ(r.mon->kv_get("svc/b"), "on 2");
    EXPECT_EQ(r.mon->kv_get("svc/c"), std::nullopt);
    EXPECT_EQ(r.log.saved_applied(), 2u);
    EXPECT_TRUE(app.take().empty());
    r.mon->unregister_app(&app.rec);
}

TEST(Monitor, SetValueAppendsOnlyOnTheLeader)
{
    monitor_rig r(1, 3);
    r.start();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(r.mon->set_value("k", "v"));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200)) << "a follower fails at once";
    EXPECT_EQ(r.log.last_index(), 0u) << "a follower's log is the leader's business";
}

TEST(Monitor, SetValueCommitsOnASingleNodeLeaderWithTheThread)
{
    monitor_rig r(1, 1, false, /*thread=*/true);
    recording_app app("svc_app");
    r.start();
    r.mon->register_app(&app.rec);
    ASSERT_TRUE(r.await_single_node_leader());
    EXPECT_TRUE(r.mon->set_value("svc/a", "running"));
    EXPECT_TRUE(r.mon->set_value("svc/a", "running"));
    EXPECT_TRUE(r.mon->set_value("svc/a", "stopped"));
    EXPECT_EQ(r.mon->kv_get("svc/a"), "stopped");
    r.mon->unregister_app(&app.rec);
    r.mon->stop();
}

TEST(Monitor, SelfFencingOnlyForADeposedLeaderOrAnIsolatedTrial)
{
    {
        monitor_rig r(1, 3, false, false, /*self_fencing=*/true);
        r.start();
        auto trial = state_changed(raft::PRE_CANDIDATE, raft::FOLLOWER, raft::REASON_TIMEOUT, 1);
        raft::set_state_changed_heard(trial, 2);  // refused, but not cut off
        r.mon->act_on(trial);
        EXPECT_TRUE(r.exit_calls().empty());
        r.mon->act_on(state_changed(raft::PRE_CANDIDATE, raft::FOLLOWER, raft::REASON_TIMEOUT, 0));
        EXPECT_TRUE(r.exit_calls().empty()) << "incarnation 0 never fences";
        raft::set_state_changed_heard(trial, 0);
        r.mon->act_on(trial);
        EXPECT_EQ(r.exit_calls(), std::vector<int>{0});
        EXPECT_EQ(r.sysctls, std::vector<std::string>{"debug.kdb.panic=1"});
        r.mon->act_on(state_changed(raft::LEADER, raft::FOLLOWER, raft::REASON_LOST_MAJORITY, 3));
        EXPECT_EQ(r.exit_calls(), (std::vector<int>{0, 0}));
    }
    {
        monitor_rig r(1, 3);
        r.start();
        r.mon->act_on(state_changed(raft::LEADER, raft::FOLLOWER, raft::REASON_LOST_MAJORITY, 3));
        EXPECT_TRUE(r.exit_calls().empty());
    }
}

TEST(Monitor, RaftNodeCountsPeersHeardDuringATrial)
{
    monitor_rig r(1, 3, /*ha=*/true);
    r.start();
    r.clock.advance(7 * raft::SEC);
    r.tick();
    ASSERT_EQ(r.mon->state(), raft::PRE_CANDIDATE);
    raft::raft_msg_t refusal = make_msg(raft::VOTE_RESPONSE, 1, 3, r.mon->term());
    r.mon->run_once(refusal);
    raft::raft_msg_t stale = make_msg(raft::APPEND_RESPONSE, 1, 2, 0);
    r.mon->run_once(stale);
    // Catch the STATE_CHANGED on its way to the HA endpoint.
    raft::mq_t* ha = r.queue(raft::NODE_HA);
    raft::raft_msg_t m;
    while (raft::mq_pop(ha, &m, 1) == 0) {
    }
    r.clock.advance(7 * raft::SEC);
    r.tick();
    ASSERT_EQ(raft::mq_pop(ha, &m, 1), 0);
    ASSERT_EQ(m.type, raft::STATE_CHANGED);
    EXPECT_EQ(m.body.state_changed.reason, raft::REASON_TIMEOUT);
    EXPECT_EQ(raft::state_changed_heard(m), 3u) << "a refusal, a stale record and the HA endpoint all count";
}

// In a pair the survivor's first trial after its leader died always ends before
// its disk voter has finished the 10 s challenge, unanswered by both peers; the
// voter still counts as heard, so the trial is not taken for isolation.
TEST(Monitor, HaSurvivorsFailedTrialDoesNotSelfFence)
{
    monitor_rig r(1, 2, /*ha=*/true, false, /*self_fencing=*/true);
    r.start();
    r.mon->run_once(make_msg(raft::APPEND_REQUEST, 1, 2, 1));  // node 2 leads
    raft::mq_t* ha = r.queue(raft::NODE_HA);
    raft::raft_msg_t m;
    r.clock.advance(7 * raft::SEC);  // node 2 is gone
    r.tick();
    ASSERT_EQ(r.mon->state(), raft::PRE_CANDIDATE);
    while (raft::mq_pop(ha, &m, 1) == 0) {
    }
    r.clock.advance(7 * raft::SEC);
    r.tick();
    ASSERT_EQ(raft::mq_pop(ha, &m, 1), 0);
    ASSERT_EQ(m.type, raft::STATE_CHANGED);
    EXPECT_EQ(m.body.state_changed.old_state, raft::PRE_CANDIDATE);
    EXPECT_EQ(m.body.state_changed.new_state, raft::FOLLOWER);
    EXPECT_NE(m.body.state_changed.incarnation, 0u) << "a node that has known a leader";
    EXPECT_TRUE(r.exit_calls().empty());
    EXPECT_TRUE(r.sysctls.empty());
}

TEST(Monitor, StopSignals)
{
    {  // no leader known: exit at once
        monitor_rig r(1, 3);
        recording_app app("svc_app");
        r.start();
        r.mon->register_app(&app.rec);
        r.mon->signal(SIGTERM);
        EXPECT_TRUE(r.mon->exit_requested());
        EXPECT_EQ(app.take(), std::vector<std::string>{"EXIT:"});
        // An application that registers now still learns of the exit, so stop ends.
        recording_app late("mgmt_app");
        r.mon->register_app(&late.rec);
        EXPECT_EQ(late.take(), std::vector<std::string>{"EXIT:"});
        r.mon->unregister_app(&app.rec);
        r.mon->unregister_app(&late.rec);
        r.mon->stop();
    }
    {  // a follower asks its leader
        monitor_rig r(1, 3);
        r.start();
        raft::raft_msg_t req = make_msg(raft::APPEND_REQUEST, 1, 2, 1);
        r.mon->run_once(req);
        raft::raft_msg_t m;
        while (raft::mq_pop(r.queue(2), &m, 1) == 0) {
        }
        r.mon->signal(SIGQUIT);
        EXPECT_FALSE(r.mon->exit_requested());
        ASSERT_EQ(raft::mq_pop(r.queue(2), &m, 1), 0);
        EXPECT_EQ(m.type, raft::STOP_CLUSTER);
        EXPECT_EQ(m.to, 2u);
        EXPECT_EQ(m.from, 1u);
        r.mon->signal(SIGINT);
        ASSERT_EQ(raft::mq_pop(r.queue(2), &m, 1), 0);
        EXPECT_EQ(m.type, raft::STOP_NODE);
        r.mon->signal(SIGHUP);
        EXPECT_EQ(r.exit_calls(), std::vector<int>{1});
    }
    {  // the leader's applications get NODE-STOP, also when a follower's request arrives
        monitor_rig r(1, 3);
        recording_app app("svc_app");
        r.start();
        r.mon->register_app(&app.rec);
        win_election(r);
        r.mon->event("ACTIVATE", "");
        app.take();
        r.mon->signal(SIGTERM);
        r.mon->run_once(make_msg(raft::STOP_NODE, 1, 3, 1));
        r.mon->run_once(make_msg(raft::STOP_CLUSTER, 1, 2, 1));
        EXPECT_EQ(app.take(), (std::vector<std::string>{"NODE-STOP:1", "NODE-STOP:3", "NODE-STOP:66"}));
        r.mon->run_once(make_msg(raft::EXIT, 1, 2, 1));
        EXPECT_TRUE(r.mon->exit_requested());
        EXPECT_EQ(app.take(), std::vector<std::string>{"EXIT:"});
        r.mon->unregister_app(&app.rec);
    }
}

// A stop handed to a leader that goes away before it carries it out is handed
// to the next leader, and ends the daemon once no leader is known, also on a
// node that may not lead (its Raft node keeps naming the leader that went away).
TEST(Monitor, PendingStopFollowsTheLeader)
{
    for (const bool may_lead : {true, false}) {
        SCOPED_TRACE(may_lead ? "may lead" : "leadership disabled");
        monitor_rig r(1, 3);
        r.config["nodes"][0]["leadership_disabled"] = !may_lead;
        recording_app app("svc_app");
        r.start();
        r.mon->register_app(&app.rec);
        raft::raft_msg_t m;
        auto drain = [&](uint32_t peer) {
            std::vector<uint32_t> types;
            while (raft::mq_pop(r.queue(peer), &m, 1) == 0)
                types.push_back(m.type);
            return types;
        };
        r.mon->recheck_stop();  // nothing pending: nothing sent
        r.mon->run_once(make_msg(raft::APPEND_REQUEST, 1, 2, 1));
        drain(2);
        r.mon->signal(SIGTERM);
        EXPECT_EQ(drain(2), std::vector<uint32_t>{raft::STOP_NODE});
        r.mon->recheck_stop();  // same leader: not sent twice
        EXPECT_TRUE(drain(2).empty());

        r.mon->run_once(make_msg(raft::APPEND_REQUEST, 1, 3, 2));
        drain(3);
        r.mon->recheck_stop();
        const auto to3 = drain(3);
        EXPECT_EQ(std::count(to3.begin(), to3.end(), raft::STOP_NODE), 1) << "the new leader gets the stop";
        EXPECT_FALSE(r.mon->exit_requested());

        r.clock.advance(7 * raft::SEC);  // leader silent: no leader known
        r.tick();
        if (may_lead) {
            EXPECT_EQ(r.mon->leader(), raft::LEADER_NONE);
        }
        r.mon->recheck_stop();  // an election may still bring one
        r.clock.advance(17 * raft::SEC);
        r.mon->recheck_stop();
        EXPECT_FALSE(r.mon->exit_requested());
        r.clock.advance(1 * raft::SEC);
        r.mon->recheck_stop();
        EXPECT_TRUE(r.mon->exit_requested());
        EXPECT_EQ(app.take(), std::vector<std::string>{"EXIT:"});
        const auto later = drain(3);
        EXPECT_EQ(std::count(later.begin(), later.end(), raft::STOP_NODE), 0) << "nothing more for the silent leader";
        r.mon->unregister_app(&app.rec);
    }
}

// From "EXIT" on the node stands for no election: a candidate gives up at once,
// a leader once no application that records its last actions is registered
// (an endpoint that only answers what it holds does not count). Never with
// self-fencing; it still votes, so the others can elect a leader.
TEST(Monitor, ExitResignsLeadershipAndNeverCampaigns)
{
    for (bool leading : {true, false}) {
        SCOPED_TRACE(leading ? "leader" : "pre-candidate");
        monitor_rig r(1, 3, false, false, /*self_fencing=*/true);
        recording_app svc("svc_app"), mgmt("mgmt_app");
        mgmt.rec.needs_leadership = false;
        r.start();
        r.mon->register_app(&svc.rec);
        r.mon->register_app(&mgmt.rec);
        if (leading) {
            win_election(r);
        } else {
            r.clock.advance(7 * raft::SEC);
            r.tick();
            ASSERT_EQ(r.mon->state(), raft::PRE_CANDIDATE);
        }
        r.mon->event("EXIT", "");
        r.tick();
        if (leading) {
            EXPECT_EQ(r.mon->state(), raft::LEADER) << "while the service manager finishes";
            r.mon->unregister_app(&svc.rec);
            r.tick();
        }
        EXPECT_EQ(r.mon->state(), raft::FOLLOWER);
        EXPECT_EQ(r.mon->leader(), raft::LEADER_NONE);
        for (int i = 0; i < 10; ++i) {
            r.clock.advance(7 * raft::SEC);
            r.tick();
            ASSERT_EQ(r.mon->state(), raft::FOLLOWER) << "campaigned after EXIT";
        }
        EXPECT_TRUE(r.exit_calls().empty());
        EXPECT_TRUE(r.sysctls.empty());

        raft::raft_msg_t answer;
        while (raft::mq_pop(r.queue(2), &answer, 1) == 0) {
        }
        raft::raft_msg_t req = make_msg(raft::VOTE_REQUEST, 1, 2, r.mon->term() + 1);
        req.body.vote.last_index = r.log.last_index();
        req.body.vote.last_term = r.log.last_term();
        req.body.vote.incarnation = 1;
        r.mon->run_once(req);
        ASSERT_EQ(raft::mq_pop(r.queue(2), &answer, 1), 0);
        EXPECT_EQ(answer.type, raft::VOTE_RESPONSE);
        EXPECT_EQ(answer.body.flag, 1u) << "an exiting node still votes";
        r.mon->unregister_app(&svc.rec);
        r.mon->unregister_app(&mgmt.rec);
    }
}

TEST(Monitor, UnknownOutputRecordEndsTheDaemon)
{
    monitor_rig r(1, 3);
    r.start();
    r.mon->act_on(make_msg(raft::TICK, 0, 0, 0));
    EXPECT_EQ(r.exit_calls(), std::vector<int>{1});
}

// A node configured never to lead stays a follower through any number of
// time-outs, whether "nodes" is written as an array or as an object.
TEST(Monitor, LeadershipDisabledHoldsWhateverFormNodesTake)
{
    for (bool as_object : {false, true}) {
        monitor_rig r(1, 1);  // alone, it would lead at its first time-out
        r.config["nodes"][0]["leadership_disabled"] = true;
        if (as_object)
            r.config["nodes"] = nlohmann::json{{"only", r.config["nodes"][0]}};
        r.start();
        for (int i = 0; i < 5; ++i) {
            r.clock.advance(7 * raft::SEC);
            r.tick();
            r.tick();
        }
        EXPECT_EQ(r.mon->state(), raft::FOLLOWER) << (as_object ? "object" : "array");
    }
}

// Application threads may be inside a call while the monitor stops: nothing they
// can reach is freed, and every call that begins after stop is refused.
TEST(Monitor, CallsRacingStopReadNothingFreedAndLaterCallsAreRefused)
{
    monitor_rig r(1, 3, false, /*thread=*/true);
    r.start();
    std::atomic<bool> done{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i)
        callers.emplace_back([&] {
            while (!done.load()) {
                nlohmann::json io;
                r.mon->call(9, "kelm-exit", io);  // walks the transport queues, reads the term
                nlohmann::json get = {{"key", "k"}};
                r.mon->call(65, "get-value", get);
                (void)r.mon->state();
                (void)r.mon->term();
                (void)r.mon->leader();
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    r.mon->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    done.store(true);
    for (auto& t : callers)
        t.join();
    const nlohmann::json refused = {{"error", "EMONITOR"}, {"errorMessage", "Monitor not started"}};
    for (const auto& [cmd, data] : std::vector<std::pair<std::string, nlohmann::json>>{
             {"get-value", {{"key", "k"}}},
             {"set-value", {{"key", "k"}, {"value", "v"}}},
             {"kelm-exit", nullptr},
             {"get-this-nodeid", nullptr},
             {"ping", nullptr}}) {
        nlohmann::json io = data;
        r.mon->call(65, cmd, io);
        EXPECT_EQ(io, refused) << cmd;
    }
    EXPECT_FALSE(r.mon->exit_requested()) << "a kelm-exit after stop does nothing";
}
