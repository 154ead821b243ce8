// Rules of the service manager that keep a service on one node, each judged by
// where the services and records end up: enabling only an online node, a node's
// own offline event marking its unsettled services stale, the failure limit and
// hold-off of the service pass, the second stop at a node stop, the returning
// node unfencing the others, disabled_once across leaders of one session, the
// recovery before a manual start, and the owner lock at the exit flag.
#include "daemon/services/node.hpp"
#include "daemon/services/owner_locks.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/requests.hpp"
#include "daemon/services/left_fenced.hpp"
#include "daemon/services/svc_leader_fixture.hpp"
#include "daemon/services/svc_test_util.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <set>
#include <utility>

namespace svc {
namespace {

using nlohmann::json;
using testing::default_services;
using testing::leader;
using testing::three_nodes;
using testing::wait_until;

// Nodes 1-3 (own node 1) on a fake monitor and a manual clock; events are
// handed to a node object directly, on the test's thread.
struct rig {
    testing::manual_clock clock;
    fake_monitor mon{1, {1, 2, 3}, &clock};
    svc_app app{mon, clock, [] {}};
    service_table services;
    std::deque<node> nodes;
    rig()
    {
        mon.set_term(7);
        app.this_nodeid.store(1);
        for (uint32_t id : {1u, 2u, 3u})
            nodes.emplace_back(id, "n" + std::to_string(id), true, &services, 7);
        app.node_count.store(3);
    }
    node& n(uint32_t id) { return nodes[id - 1]; }
    service_rec& add(const std::string& name, uint32_t run_node, uint32_t state)
    {
        auto& s = services.try_emplace(name, name, "S", 7).first->second;
        s.run_node.store(run_node);
        s.state.store(state);
        return s;
    }
    void handle(uint32_t on, uint32_t kind, uint32_t about) { process_event(app, n(on), make_event(kind, about)); }
    size_t queued(uint32_t kind, uint32_t about)
    {
        std::lock_guard lk(app.main_mutex);
        return std::count_if(app.main_queue.begin(), app.main_queue.end(),
                             [&](const node_event& e) { return e.kind == kind && e.node == about; });
    }
    std::optional<json> record(const std::string& name)
    {
        auto v = mon.kv(runstate_key(name));
        return v ? std::optional<json>(json::parse(*v)) : std::nullopt;
    }
    size_t service_calls(const std::string& action)
    {
        size_t k = 0;
        for (const auto& c : mon.calls("service"))
            k += c.args.value("cmd", "") == action;
        return k;
    }
};

TEST(SvcRules, OnlyAnOnlineNodeIsEnabled)
{
    const struct {
        uint32_t state;
        uint32_t about;
        bool enabled;
    } rows[] = {
        {ns_online, 2, true},   {ns_new, 2, false},     {ns_offline, 2, false},
        {ns_serving, 2, false}, {ns_online, 3, false},
    };
    for (const auto& r : rows) {
        rig g;
        g.add("x", 2, rs_running);
        g.n(2).state.store(r.state);
        g.handle(2, kind_enable_services, r.about);
        const std::string what = "state " + std::to_string(r.state) + ", event for node " + std::to_string(r.about);
        EXPECT_EQ(g.n(2).state.load(), r.enabled ? ns_serving : r.state) << what;
        EXPECT_EQ(g.queued(kind_service_pass, 2), r.enabled ? 1u : 0u) << what;
        EXPECT_EQ(g.queued(kind_assign, node_all), r.enabled ? 1u : 0u) << what;
    }
}

// A node that went offline may still run what it ran: until that is settled, its
// services are recorded stale (so no new leader takes the record as the truth).
TEST(SvcRules, OwnOfflineEventMarksUnsettledServicesStaleAndSavesThem)
{
    rig g;
    g.n(2).state.store(ns_serving);
    g.add("running", 2, rs_running);
    g.add("starting", 2, rs_starting);
    g.add("recovering", 2, rs_recovering);
    g.add("stopped", 2, rs_stopped);
    g.add("unclean", 2, rs_unclean);
    g.add("elsewhere", 3, rs_running);
    g.handle(2, kind_node_offline, 2);
    EXPECT_EQ(g.n(2).state.load(), ns_offline);
    for (const char* name : {"running", "starting", "recovering"}) {
        const auto& s = g.services.at(name);
        EXPECT_TRUE(s.is_stale()) << name;
        auto rec = g.record(name);
        ASSERT_TRUE(rec) << name;
        EXPECT_EQ(rec->at("session_id"), "-") << name;
        EXPECT_EQ(rec->at("state"), s.state.load()) << name;
        EXPECT_EQ(rec->at("run_node"), 2) << name;
    }
    for (const char* name : {"stopped", "unclean", "elsewhere"}) {
        EXPECT_FALSE(g.services.at(name).is_stale()) << name;
        EXPECT_FALSE(g.record(name)) << name;
    }
}

// A start that keeps failing is tried again only after 100 s each time, and not
// at all from the fifth failure on.
TEST(SvcRules, ServicePassKeepsTheHoldOffAndTheFailureLimit)
{
    rig g;
    g.mon.set_runner([](uint32_t, const std::string& cmd, const json&) {
        return cmd == "service" ? json{{"error", "EIO"}, {"errorMessage", "no pool"}} : json{{"response", 0}};
    });
    g.n(2).state.store(ns_serving);
    auto& s = g.add("x", 2, rs_stopped);
    const auto pass = [&] { g.handle(2, kind_service_pass, 2); };
    size_t tries = 0;
    for (int failure = 1; failure <= failure_limit; ++failure) {
        pass();
        ASSERT_EQ(g.service_calls("start"), ++tries) << "failure " << failure;
        EXPECT_EQ(s.retries.load(), failure);
        EXPECT_EQ(s.hold_off_until.load(), g.clock.now() + hold_off);
        g.clock.advance(hold_off - std::chrono::seconds(1));
        pass();
        EXPECT_EQ(g.service_calls("start"), tries) << "held off, failure " << failure;
        g.clock.advance(std::chrono::seconds(1));
    }
    g.clock.advance(10 * hold_off);
    pass();
    EXPECT_EQ(g.service_calls("start"), tries) << "left alone at the failure limit";
    EXPECT_EQ(g.record("x")->at("failed"), true);
    EXPECT_EQ(s.run_node.load(), 2u);
}

// A node stop gives a stop that failed one more try 20 s later; only a node whose
// services all stopped is told to exit.
TEST(SvcRules, NodeStopTriesAFailedStopAgainAfterTwentySeconds)
{
    for (bool second_ok : {true, false}) {
        rig g;
        std::vector<svc_clock::time_point> stops;
        g.mon.set_runner([&](uint32_t node, const std::string& cmd, const json& args) {
            if (cmd == "service" && args["cmd"] == "stop" && node == 2) {
                stops.push_back(g.clock.now());
                if (stops.size() == 1 || !second_ok)
                    return json{{"error", "EIO"}, {"errorMessage", "pool busy"}};
            }
            return json{{"response", 0}};
        });
        g.n(2).state.store(ns_serving);
        // Swept at its return, as a node in service is: no sweep before its exit.
        ASSERT_TRUE(set_sweep_mark(g.app, 2, true, g.app.snapshot().session_id, 7));
        auto& s = g.add("x", 2, rs_running);
        g.handle(2, kind_node_stop, 2);
        ASSERT_EQ(stops.size(), 2u) << second_ok;
        EXPECT_GE(stops[1] - stops[0], std::chrono::seconds(20));
        EXPECT_EQ(s.state.load(), second_ok ? rs_stopped : rs_running);
        EXPECT_EQ(s.run_node.load(), second_ok ? run_node_none : 2u);
        EXPECT_EQ(g.record("x")->at("state"), s.state.load());
        EXPECT_EQ(g.mon.calls("kelm-exit").size(), second_ok ? 1u : 0u);
    }
}

// The owner lock behind a long Runner call gives up when the activation ends.
TEST(SvcRules, OwnerLockGivesUpAtTheExitFlag)
{
    rig g;
    auto& s = g.add("x", 2, rs_running);
    std::unique_lock held(s.lock);
    auto waiter = std::async(std::launch::async, [&] { return lock_if_owned(g.app, g.n(2), s).owns_lock(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    g.n(2).exit.store(true);
    const bool gave_up = waiter.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    held.unlock();  // never leave the waiter hanging
    EXPECT_TRUE(gave_up) << "still waiting for the lock after the exit flag";
    EXPECT_FALSE(waiter.get());
}

// A leader with a..d placed, and a fence matrix on its Runners: (by, target)
// while `by`'s Runner has cut `target` off.
struct fenced_leader : leader {
    std::set<std::pair<uint32_t, uint32_t>> cut;
    fenced_leader() : leader(three_nodes(default_services()))
    {
        override_fn = [this](uint32_t node, const std::string& cmd, const json& args) -> json {
            if (cmd == "fence-node") {
                std::lock_guard lk(mutex);
                const std::pair<uint32_t, uint32_t> link{node, args["node"].get<uint32_t>()};
                if (args["cmd"] == "on")
                    cut.insert(link);
                else
                    cut.erase(link);
            }
            return nullptr;
        };
    }
    size_t cuts()
    {
        std::lock_guard lk(mutex);
        return cut.size();
    }
};

// Node 3, back after it was on its own, lets the others back through its own
// Runner, and they let it back through theirs: nobody stays cut off.
TEST(SvcRules, ReturningNodeUnfencesTheOthersThroughItsOwnRunner)
{
    fenced_leader l;
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
    l.mon.set_alive(3, false);
    l.app.post_event(kind_node_offline, 3);
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 2) && l.cuts() == 2; }));
    {
        // While it was cut off, node 3's Runner cut the others off its side.
        std::lock_guard lk(l.mutex);
        l.cut.insert({3, 1});
        l.cut.insert({3, 2});
    }
    l.mon.set_alive(3, true);
    l.online({3});
    EXPECT_TRUE(wait_until([&] { return l.cuts() == 0; }, 5));
    l.stop();
    std::lock_guard lk(l.mutex);
    for (const auto& [by, target] : l.cut)
        ADD_FAILURE() << "node " << target << " still cut off by node " << by;
}

json svc_req(const char* cmd, const char* name, uint32_t node = node_none)
{
    json r = {{"call", "service"}, {"cmd", cmd}, {"serviceName", name}};
    if (node != node_none)
        r["nodeId"] = node;
    return r;
}

// A service stopped by hand stays stopped under the next leader of the same
// cluster session; a new session starts it again.
TEST(SvcRules, ManualStopSurvivesANewLeaderOfTheSameSession)
{
    for (const char* session : {"S", "T"}) {
        std::map<std::string, std::string> kept;
        {
            leader l(three_nodes(default_services()));
            l.start("S");
            l.online({1, 2, 3});
            ASSERT_TRUE(wait_until([&] { return l.runs_on("a", 2) && l.holders("c").size() == 1; }));
            ASSERT_EQ(svcapp_call(l.app, svc_req("stop", "c")), nullptr);
            l.stop();
            for (std::string key : {runstate_key("a"), runstate_key("b"), runstate_key("c"), runstate_key("d"),
                                    std::string(session_marker_key), node_config_key(1), node_config_key(2),
                                    node_config_key(3)})
                if (auto v = l.mon.kv(key))
                    kept[key] = *v;
        }
        ASSERT_EQ(json::parse(kept.at(runstate_key("c"))).at("disabled_once"), true);
        leader next(three_nodes(default_services()));
        for (const auto& [k, v] : kept)
            next.mon.kv_put(k, v);
        next.start(session);
        next.online({1, 2, 3});
        const bool same = std::string(session) == "S";
        ASSERT_TRUE(wait_until([&] {
            // The Runners of this leader start empty: a service taken over as running
            // shows in the records only, one started now in both.
            return next.runs_on("a", 2) && next.runs_on("b", 3) && (same || next.holders("c").size() == 1);
        }));
        // Passes of 10 s run every 10 ms here: give them time to (wrongly) start c.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        next.stop();
        EXPECT_EQ(next.holders("c").size(), same ? 0u : 1u) << session;
        EXPECT_EQ(next.record("c")->at("disabled_once"), same) << session;
        EXPECT_EQ(next.double_starts, 0);
    }
}

// An unclean service (its pools may hold an interrupted import) is recovered
// before a manual start: the Runner here refuses to start it otherwise.
TEST(SvcRules, ManualStartOfAnUncleanServiceRecoversItFirst)
{
    leader l(three_nodes(default_services()));
    l.mon.kv_put(runstate_key("c"), R"({"disabled_once":false,"enabled":false,"failed":false,"run_node":1024,)"
                                    R"("session_id":"S","state":5})");
    bool unclean = true;
    l.override_fn = [&](uint32_t, const std::string& cmd, const json& args) -> json {
        if (cmd != "service" || args["serviceName"] != "c")
            return nullptr;
        std::lock_guard lk(l.mutex);
        if (args["cmd"] == "recovery")
            unclean = false;
        if (args["cmd"] == "start" && unclean)
            return {{"error", "EIO"}, {"errorMessage", "pool needs recovery"}};
        return nullptr;
    };
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("a", 2) && l.runs_on("b", 3); }));
    ASSERT_TRUE(l.holders("c").empty());
    EXPECT_EQ(svcapp_call(l.app, svc_req("start", "c", 2)), nullptr);
    EXPECT_TRUE(l.runs_on("c", 2));
    l.stop();
    EXPECT_EQ(l.holders("c"), std::set<uint32_t>{2});
}

}  // namespace
}  // namespace svc
