// A node's absence and return under awkward schedules, end to end on the fake
// monitor: a reclaim that arrives after the node is back, a leadership that ends
// during the returning node's sweep, and a left-fenced node against the other
// unfencing paths. Judged by who holds which service, who fences whom and what
// the records say.
#include "daemon/services/holds.hpp"
#include "daemon/services/left_fenced.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/requests.hpp"
#include "daemon/services/svc_leader_fixture.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

namespace svc {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::default_services;
using testing::leader;
using testing::log_capture;
using testing::three_nodes;
using testing::wait_until;

// Node 3's daemon pauses (its host keeps b's pools), one fencer is slow, and
// node 3 is back 100 ms after its offline event: its return is handled before
// the last fencer posts the reclaim. The reclaim of that absence must release
// nothing, or b gets a second holder.
TEST(SvcReturn, NodeBackBeforeItsReclaimKeepsItsServices)
{
    log_capture log;
    leader l(three_nodes(default_services()));
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (node == 2 && cmd == "fence-node" && args["cmd"] == "on")
            std::this_thread::sleep_for(500ms);
        return nullptr;
    };
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
    l.app.post_event(kind_node_offline, 3);
    std::this_thread::sleep_for(100ms);
    l.online({3});
    ASSERT_TRUE(wait_until([&] { return l.count_calls(2, "fence-node", {{"cmd", "off"}, {"node", 3}}) == 1; }));
    std::this_thread::sleep_for(300ms);  // 300 s of the leader's clock: passes and assignments run
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3) && l.record("b")->at("session_id") == "S"; }))
        << log.text();
    l.stop();
    EXPECT_EQ(l.holders("b"), std::set<uint32_t>{3});
    EXPECT_EQ(l.double_starts, 0);
    EXPECT_TRUE(l.mon.calls("recovery").empty());
    EXPECT_TRUE(log.has("svc_app: Node 3 came back online before its reclaim; its services stay on it"));
}

// The leadership ends while a returning node's sweep waits on a slow Runner:
// the sweep stops at once, and the activation ends within one Runner call.
TEST(SvcReturn, AbortEndsTheSweepOfAReturningNode)
{
    json services = json::array();
    for (int i = 0; i < 8; ++i)
        services.push_back({{"name", "s" + std::to_string(i)}, {"pri0", 2}});
    leader l(three_nodes(services));
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> stops;
    std::atomic<bool> slow{false};
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (slow.load() && node == 3 && cmd == "service" && args["cmd"] == "stop") {
            {
                std::lock_guard lk(mutex);
                stops.push_back(std::chrono::steady_clock::now());
            }
            std::this_thread::sleep_for(200ms);
        }
        return nullptr;
    };
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("s7", 2) && l.runs_on("s0", 2); }));
    l.app.post_event(kind_node_offline, 3);
    ASSERT_TRUE(wait_until([&] { return l.count_calls(2, "fence-node", {{"cmd", "on"}, {"node", 3}}) == 1; }));
    slow.store(true);
    l.online({3});
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard lk(mutex);
        return !stops.empty();
    }));
    const auto aborted = std::chrono::steady_clock::now();
    l.stop();
    const auto took = std::chrono::steady_clock::now() - aborted;
    std::lock_guard lk(mutex);
    for (auto t : stops)
        EXPECT_LT(t, aborted) << "a stop asked of node 3 after the leadership ended";
    EXPECT_LT(took, 450ms) << "teardown waited for more than the Runner call in flight";
    EXPECT_TRUE(l.fencers_of(3).size() == 2) << "node 3 stays fenced";
}

// The activation starts with b on node 3; node 3's daemon dies (its host keeps
// b), it is fenced and b moves to node 2.
bool b_moved_off_node_3(leader& l)
{
    l.start();
    l.online({1, 2, 3});
    if (!wait_until([&] { return l.runs_on("b", 3); }))
        return false;
    l.mon.set_alive(3, false);
    l.app.post_event(kind_node_offline, 3);
    return wait_until([&] { return l.runs_on("b", 2); });
}

// Node 3 cannot give up b's pools after b moved: it is left fenced, and stays so
// when node 2 restarts and its own return unfences the nodes it sees online.
TEST(SvcReturn, LeftFencedNodeStaysFencedWhenAnotherNodeReturns)
{
    log_capture log;
    leader l(three_nodes(default_services()));
    ASSERT_TRUE(b_moved_off_node_3(l));
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (node == 3 && cmd == "service" && args["cmd"] == "stop")
            return {{"error", "EPROGRAM"}, {"errorMessage", "FAILED phase=pool-export exit=30 : pool suspended"}};
        return nullptr;
    };
    l.mon.set_alive(3, true);
    l.online({3});
    ASSERT_TRUE(wait_until([&] { return log.count("svc_app: Enable run services on node 3") == 2; }));
    EXPECT_EQ(l.mon.kv(left_fenced_key(3)), R"({"left_fenced":true})");
    EXPECT_TRUE(is_left_fenced(l.app, 3));

    // Node 2 restarts: fenced, its services move, it comes back.
    l.mon.set_alive(2, false);
    l.app.post_event(kind_node_offline, 2);
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 1) && l.runs_on("a", 1); })) << log.text();
    l.mon.set_alive(2, true);
    l.online({2});
    ASSERT_TRUE(wait_until([&] { return log.count("svc_app: Enable run services on node 2") == 2; }));
    std::this_thread::sleep_for(100ms);
    l.stop();
    EXPECT_EQ(l.fencers_of(3), (std::set<uint32_t>{1, 2})) << "node 3 was let back while it holds b";
    EXPECT_TRUE(l.fencers_of(2).empty());
    EXPECT_TRUE(log.has("svc_app: node 2: fence-off of node 3 skipped (node 3 left fenced)"));
    // Nothing was placed on the left-fenced node.
    for (const char* s : {"a", "b", "c", "d"})
        EXPECT_NE(l.record(s)->at("run_node"), 3) << s;
}

// A leader whose lease has lapsed (paused or cut off; a new leader may have
// fenced nodes meanwhile) lets no node back: not the returning node through the
// others' Runners, not the others through the returning node's Runner.
TEST(SvcReturn, NoUnfenceWithoutAFreshLease)
{
    log_capture log;
    leader l(three_nodes(default_services()));
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
    l.mon.set_alive(3, false);
    l.app.post_event(kind_node_offline, 3);
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 2); }));
    ASSERT_EQ(l.fencers_of(3), (std::set<uint32_t>{1, 2}));
    l.mon.set_lease_held(false);
    l.mon.clear_calls();
    l.mon.set_alive(3, true);
    l.online({3});
    ASSERT_TRUE(wait_until([&] { return log.count("svc_app: Enable run services on node 3") == 2; })) << log.text();
    std::this_thread::sleep_for(100ms);
    l.stop();
    for (const auto& c : l.mon.calls("fence-node"))
        EXPECT_NE(c.args["cmd"], "off") << c.args.dump();
    EXPECT_EQ(l.fencers_of(3), (std::set<uint32_t>{1, 2})) << "node 3 let back by a deposed leader";
    // Its sweep sent no stop either: node 3 still holds b, fenced off its disks.
    for (const auto& c : l.mon.calls("service"))
        EXPECT_EQ(c.args["serviceName"], "$cluster-management") << c.node << " " << c.args.dump();
    EXPECT_EQ(l.holders("b"), (std::set<uint32_t>{2, 3}));
    EXPECT_TRUE(log.has("no longer leads with a fresh lease"));
}

// Nor does it start or stop a service anywhere, from a request or a service
// pass, or fence a node: the new leader may have started the service there or
// placed it elsewhere, and may run services on that node. With
// the lease back, node 2 is fenced and a moves off it.
TEST(SvcReturn, NoStartOrStopWithoutAFreshLease)
{
    leader l(three_nodes(default_services()));
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("a", 2) && l.runs_on("b", 3); }));
    l.mon.set_lease_held(false);
    l.mon.clear_calls();
    const json stop_a = {{"call", "service"}, {"cmd", "stop"}, {"serviceName", "a"}};
    EXPECT_EQ(svcapp_call(l.app, stop_a).value("error", ""), "EAGAIN");
    // Node 3 switched off: its pass would stop b there. Node 2 declared
    // offline: it would be fenced and a moved elsewhere.
    EXPECT_EQ(svcapp_call(l.app, {{"call", "node"}, {"cmd", "disable"}, {"id", 3}}), nullptr);
    l.app.post_event(kind_node_offline, 2);
    std::this_thread::sleep_for(200ms);  // 200 s of the leader's clock: passes run
    for (const char* cmd : {"service", "fence-node"})
        for (const auto& c : l.mon.calls(cmd))
            ADD_FAILURE() << "node " << c.node << ": " << c.args.dump();
    EXPECT_TRUE(l.fencers_of(2).empty());
    EXPECT_EQ(l.holders("a"), std::set<uint32_t>{2});
    EXPECT_EQ(l.holders("b"), std::set<uint32_t>{3});
    l.mon.set_lease_held(true);
    EXPECT_TRUE(wait_until([&] { return !l.fencers_of(2).empty() && l.runs_on("a", 1); }));
    l.stop();
    EXPECT_TRUE(l.holders("a").contains(1));
}

// Node 3's Runner: every stop fails while `broken`; then a stop of b removes
// b's address, also when b's pool is suspended there and the stop fails.
struct node_3_runner {
    std::atomic<bool> broken{true};
    std::atomic<bool> carries_b{true};
    bool suspended = false;
    json operator()(uint32_t node, const std::string& cmd, const json& args)
    {
        if (node != 3 || cmd != "service" || args["cmd"] != "stop")
            return nullptr;
        if (broken.load())
            return {{"error", "ERUNNER"}, {"errorMessage", "Runner failed"}};
        if (args["serviceName"] != "b")
            return nullptr;
        carries_b.store(false);
        if (suspended)
            return {{"error", "EPROGRAM"}, {"errorMessage", "FAILED phase=pool-export exit=30 : pool suspended"}};
        return nullptr;
    }
};

// Node 3's Runner fails every stop of its return's sweep, so it is left fenced
// still carrying b's address while b runs on node 2. Once its Runner recovers,
// the next sweep removes the address; the node is taken back when it holds
// nothing of b any more, and stays fenced while b's pool is still suspended there.
// Also after a blip: an online event that replaced its offline one (the node
// never left) ends the return the retries belong to, and must not end them.
TEST(SvcReturn, LeftFencedNodeIsSweptAgainWhileOnline)
{
    for (const auto& [suspended, blip] : {std::pair{false, false}, {true, false}, {false, true}}) {
        SCOPED_TRACE(blip ? "after a blip" : suspended ? "suspended" : "clean");
        log_capture log;
        leader l(three_nodes(default_services()));
        ASSERT_TRUE(b_moved_off_node_3(l));
        node_3_runner runner;
        runner.suspended = suspended;
        l.override_fn = std::ref(runner);
        l.mon.set_alive(3, true);
        l.online({3});
        ASSERT_TRUE(wait_until([&] { return log.count("svc_app: Enable run services on node 3") == 2; }));
        ASSERT_TRUE(is_left_fenced(l.app, 3));
        if (blip)
            l.online({3});
        runner.broken.store(false);
        ASSERT_TRUE(wait_until([&] { return !runner.carries_b.load(); })) << suspended << " address kept for good";
        if (suspended)
            std::this_thread::sleep_for(150ms);  // several more tries of the leader's clock
        else
            ASSERT_TRUE(wait_until([&] { return l.fencers_of(3).empty(); })) << log.text();
        l.stop();
        EXPECT_EQ(is_left_fenced(l.app, 3), suspended);
        EXPECT_EQ(l.mon.kv(left_fenced_key(3)), suspended ? R"({"left_fenced":true})" : R"({"left_fenced":false})");
        const std::set<uint32_t> fencers = suspended ? std::set<uint32_t>{1, 2} : std::set<uint32_t>{};
        EXPECT_EQ(l.fencers_of(3), fencers) << suspended;
        EXPECT_TRUE(l.runs_on("b", 2)) << suspended;
        const std::set<uint32_t> holders = suspended ? std::set<uint32_t>{2, 3} : std::set<uint32_t>{2};
        EXPECT_EQ(l.holders("b"), holders) << suspended;
    }
}

// Fencing node 3 is disabled in the configuration: its return's sweep cannot
// stop b (its host still writes b's pool), so nothing cuts it off that pool.
// b is then started on no other node, not by this leader when node 2 gives it
// up, not by a new leader; once node 3's host gives b up, its next sweep ends
// the hold and b starts again.
TEST(SvcReturn, UnfencedNodeHoldingAServiceKeepsItFromStartingElsewhere)
{
    json config = three_nodes(default_services());
    config["nodes"][2]["enabled"] = false;  // no fencing of node 3
    log_capture log;
    leader l(config);
    l.mon.kv_put(node_config_key(3), node_config_text(true));  // it runs services all the same
    std::atomic<bool> holds_b{false};
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (node == 3 && cmd == "service" && args["cmd"] == "stop" && args["serviceName"] == "b" && holds_b.load())
            return {{"error", "EPROGRAM"}, {"errorMessage", "FAILED phase=pool-export exit=31 : pool is busy"}};
        return nullptr;
    };
    ASSERT_TRUE(b_moved_off_node_3(l)) << log.text();
    holds_b.store(true);
    l.mon.set_alive(3, true);
    l.online({3});
    ASSERT_TRUE(wait_until([&] { return l.mon.kv(held_key("b")) == R"({"node":3})"; })) << log.text();
    // Node 2 goes away: b is released there, and starts nowhere while node 3 may write its pool.
    l.mon.set_alive(2, false);
    l.app.post_event(kind_node_offline, 2);
    ASSERT_TRUE(wait_until([&] { return l.record("b")->at("run_node") != 2; }));
    std::this_thread::sleep_for(100ms);  // 100 s of the leader's clock: passes and assignments run
    EXPECT_EQ(l.count_calls(1, "service", {{"cmd", "start"}, {"serviceName", "b"}}), 0u) << log.text();
    EXPECT_EQ(svcapp_call(l.app, {{"call", "service"}, {"cmd", "start"}, {"serviceName", "b"}, {"nodeId", 1}})
                  .value("error", ""),
              "EA90002");
    EXPECT_FALSE(l.holders("b").contains(1));

    // A new leader, on what the store says now, holds it back too.
    const auto held = l.mon.kv(held_key("b"));
    const auto runstate = l.mon.kv(runstate_key("b"));
    const auto left = l.mon.kv(left_fenced_key(3));
    {
        leader next(config);
        next.mon.kv_put(node_config_key(3), node_config_text(true));
        for (const auto& [key, value] : {std::pair{held_key("b"), held}, std::pair{runstate_key("b"), runstate},
                                         std::pair{left_fenced_key(3), left}})
            if (value)
                next.mon.kv_put(key, *value);
        next.mon.set_alive(3, false);
        next.start("S2");
        next.online({1, 2});
        next.app.post_event(kind_node_offline, 3);
        ASSERT_TRUE(wait_until([&] { return next.runs_on("a", 2); }));
        std::this_thread::sleep_for(100ms);
        next.stop();
        EXPECT_TRUE(next.holders("b").empty());
    }

    // Node 3's host gives b's pool up: the next sweep ends the hold and b starts.
    holds_b.store(false);
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 1) || l.runs_on("b", 3); })) << log.text();
    l.stop();
    EXPECT_EQ(l.mon.kv(held_key("b")), "{}");
    EXPECT_EQ(l.holders("b").count(1) + l.holders("b").count(3), 1u);
}

// The same node 3, and the leadership ends while its sweep's stop of b is out
// (every save from then on fails): the hold is in the store all the same, for
// the next leader, which would otherwise start b elsewhere before its own sweep
// of node 3 finds it there.
TEST(SvcReturn, HoldIsStoredBeforeTheSweepStopGoesOut)
{
    json config = three_nodes(default_services());
    config["nodes"][2]["enabled"] = false;  // no fencing of node 3
    leader l(config);
    l.mon.kv_put(node_config_key(3), node_config_text(true));
    std::atomic<bool> armed{false};
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (armed.load() && node == 3 && cmd == "service" && args["cmd"] == "stop" && args["serviceName"] == "b") {
            l.mon.fail_set_values(1000);
            return {{"error", "EPROGRAM"}, {"errorMessage", "FAILED phase=pool-export exit=31 : pool is busy"}};
        }
        return nullptr;
    };
    ASSERT_TRUE(b_moved_off_node_3(l));
    const json stop_b = {{"cmd", "stop"}, {"serviceName", "b"}};
    const size_t before = l.count_calls(3, "service", stop_b);
    armed.store(true);
    l.mon.set_alive(3, true);
    l.online({3});
    ASSERT_TRUE(wait_until([&] { return l.count_calls(3, "service", stop_b) > before; }));
    l.stop();
    EXPECT_EQ(l.mon.kv(held_key("b")), R"({"node":3})");
}

// The node holding b back is removed from the configuration: it is never swept
// again, so only the operator's stop of b ends the hold; b then starts where
// the operator asks.
TEST(SvcReturn, OperatorStopEndsAHoldByANodeNoLongerConfigured)
{
    json config = three_nodes(default_services());
    config["nodes"].erase(2);
    leader l(config);
    l.mon.kv_put(held_key("b"), R"({"node":3})");
    l.start();
    l.online({1, 2});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("a", 2); }));
    std::this_thread::sleep_for(100ms);  // 100 s of the leader's clock: passes and assignments run
    EXPECT_TRUE(l.holders("b").empty());
    const auto stop = svcapp_call(l.app, {{"call", "service"}, {"cmd", "stop"}, {"serviceName", "b"}});
    EXPECT_FALSE(stop.contains("error")) << stop.dump();
    EXPECT_EQ(l.mon.kv(held_key("b")), "{}");
    const auto start = svcapp_call(l.app, {{"call", "service"}, {"cmd", "start"}, {"serviceName", "b"}, {"nodeId", 1}});
    EXPECT_FALSE(start.contains("error")) << start.dump();
    EXPECT_TRUE(wait_until([&] { return l.runs_on("b", 1); }));
    l.stop();
    EXPECT_EQ(l.holders("b"), std::set<uint32_t>{1});
}

// A left-fenced node told to exit is swept once more first: its exit would
// leave on its host the address of a service that now runs elsewhere, with no
// daemon there to remove it. It stays fenced.
// So is a node asked to exit when its daemon is back but not yet seen online,
// its services reclaimed meanwhile: its return was never swept. And one still
// offline to the leader (its Runner cannot be asked; its daemon may be up and
// reach the exit) is told to exit only once it is back and swept.
TEST(SvcReturn, LeftFencedNodeIsSweptBeforeItExits)
{
    enum class way { left_fenced, not_seen_online, offline };
    for (const auto& [w, name] : {std::pair{way::left_fenced, "left fenced"},
                                  {way::not_seen_online, "not seen online"}, {way::offline, "offline"}}) {
        SCOPED_TRACE(name);
        log_capture log;
        leader l(three_nodes(default_services()), 100);  // the sweep's own retry is 300 ms away
        ASSERT_TRUE(b_moved_off_node_3(l));
        node_3_runner runner;
        l.override_fn = std::ref(runner);
        if (w != way::offline)
            l.mon.set_alive(3, true);
        if (w == way::left_fenced) {
            l.online({3});
            ASSERT_TRUE(wait_until([&] { return log.has("svc_app: node 3 is left fenced; swept again in 30 s"); }));
        }
        runner.broken.store(false);
        l.app.post_event(kind_node_stop, 3);
        if (w == way::offline) {
            std::this_thread::sleep_for(400ms);  // 40 s of the leader's clock: past the stop's next look
            EXPECT_TRUE(l.mon.calls("kelm-exit").empty()) << "exit sent to a node never swept";
            l.mon.set_alive(3, true);
            l.online({3});
        }
        ASSERT_TRUE(wait_until([&] { return !l.mon.calls("kelm-exit").empty(); })) << log.text();
        l.stop();
        EXPECT_FALSE(runner.carries_b.load()) << "node 3 exited carrying b's address";
        if (w != way::offline) {
            EXPECT_EQ(l.fencers_of(3), (std::set<uint32_t>{1, 2}));
        }
        EXPECT_TRUE(l.runs_on("b", 2));
    }
}

// a on node 2 and b on node 3; node 2's daemon goes, then node 3: node 3 is
// fenced through node 1's Runner alone and b moves to node 1; node 2 is back
// (node 3 still away) and let back in.
bool node_3_fenced_while_node_2_away(leader& l)
{
    l.start();
    l.online({1, 2, 3});
    if (!wait_until([&] { return l.runs_on("a", 2) && l.runs_on("b", 3); }))
        return false;
    l.mon.set_alive(2, false);
    l.app.post_event(kind_node_offline, 2);
    if (!wait_until([&] { return l.fencers_of(2) == std::set<uint32_t>{1, 3}; }))
        return false;
    l.mon.set_alive(3, false);
    l.app.post_event(kind_node_offline, 3);
    if (!wait_until([&] { return l.runs_on("b", 1); }) || l.fencers_of(3) != std::set<uint32_t>{1})
        return false;
    l.mon.set_alive(2, true);
    l.online({2});
    return wait_until([&] { return !l.fencers_of(2).contains(1); });
}

// Node 3 goes away while node 2's daemon is down too: node 3 is fenced through
// node 1's Runner alone ("offline" counts as done). When node 2 is back and node
// 3 still away, node 2's Runner fences it as well, or node 3 keeps reaching
// node 2's disks while its services run elsewhere.
TEST(SvcReturn, ReturningNodeFencesTheNodesFencedWhileItWasAway)
{
    leader l(three_nodes(default_services()));
    ASSERT_TRUE(node_3_fenced_while_node_2_away(l));
    EXPECT_TRUE(wait_until([&] { return l.fencers_of(3) == std::set<uint32_t>{1, 2}; }));
    l.stop();
    EXPECT_EQ(l.fencers_of(3), (std::set<uint32_t>{1, 2}));
    EXPECT_EQ(l.holders("b"), (std::set<uint32_t>{1, 3})) << "node 3's stale import stays, fenced";
}

// The same, but node 2's Runner fails that fence-on at its return: it is tried
// again every 30 s until it is done, with node 3 still away and b running on
// node 1 all along; or, when node 3 comes back first, no more, and node 3 ends
// unfenced.
TEST(SvcReturn, MissedFenceThatFailsAtTheReturnIsTriedAgainWhileTheNodeIsAway)
{
    for (const bool node_3_back : {false, true}) {
        SCOPED_TRACE(node_3_back ? "node 3 back" : "Runner mended");
        leader l(three_nodes(default_services()));
        std::atomic<bool> broken{true};
        l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
            if (node == 2 && cmd == "fence-node" && args["node"] == 3 && args["cmd"] == "on" && broken.load())
                return {{"error", "EIO"}, {"errorMessage", "Runner failed"}};
            return nullptr;
        };
        ASSERT_TRUE(node_3_fenced_while_node_2_away(l));
        std::this_thread::sleep_for(100ms);  // 100 s of the leader's clock: three tries fail
        EXPECT_EQ(l.fencers_of(3), std::set<uint32_t>{1});
        if (node_3_back) {
            l.mon.set_alive(3, true);
            l.online({3});
            ASSERT_TRUE(wait_until([&] { return l.fencers_of(3).empty(); }));
        }
        broken.store(false);
        if (node_3_back)
            std::this_thread::sleep_for(100ms);  // the tries that were due are dropped
        else
            EXPECT_TRUE(wait_until([&] { return l.fencers_of(3) == std::set<uint32_t>{1, 2}; }));
        l.stop();
        EXPECT_TRUE(l.runs_on("b", 1));
        const std::set<uint32_t> fencers = node_3_back ? std::set<uint32_t>{} : std::set<uint32_t>{1, 2};
        EXPECT_EQ(l.fencers_of(3), fencers);
    }
}

// A new leader reads the state back; a clean sweep clears it before the node is
// let back.
TEST(SvcReturn, NewLeaderSeesLeftFencedAndACleanSweepClearsIt)
{
    for (const char* stored : {R"({"left_fenced":true})", "{"}) {
        log_capture log;
        leader l(three_nodes(default_services()));
        l.mon.kv_put(left_fenced_key(3), stored);
        l.start();
        ASSERT_TRUE(wait_until([&] { return is_left_fenced(l.app, 3); })) << stored;
        l.online({1, 2, 3});
        ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); })) << stored;
        l.stop();
        EXPECT_EQ(l.mon.kv(left_fenced_key(3)), R"({"left_fenced":false})") << stored;
        EXPECT_FALSE(is_left_fenced(l.app, 3));
    }
}

// A sweep stop whose Runner did not answer is asked again; a Runner that answers
// at the second try leaves the node clean and unfenced.
TEST(SvcReturn, SweepAsksAgainWhenTheRunnerDidNotAnswer)
{
    log_capture log;
    leader l(three_nodes(default_services()));
    std::atomic<int> timeouts{0};
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (node == 3 && cmd == "service" && args["cmd"] == "stop" && args["serviceName"] == "a" &&
            timeouts.fetch_add(1) == 0)
            return {{"error", "ETIMEDOUT"}, {"errorMessage", "Runner call timed out"}};
        return nullptr;
    };
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("a", 2) && l.runs_on("b", 3); }));
    l.stop();
    EXPECT_EQ(l.count_calls(3, "service", {{"cmd", "stop"}, {"serviceName", "a"}}), 2u);
    EXPECT_FALSE(is_left_fenced(l.app, 3));
    EXPECT_TRUE(l.fencers_of(3).empty());
    EXPECT_FALSE(log.has("svc_app: Node 3 keeps services of others; left fenced"));
}

// A service switched off while its node is away is released by the reclaim and
// placed nowhere: its record says so at once (unclean, held by no node), rather
// than naming the fenced node until some later action saves it.
TEST(SvcReturn, ReclaimSavesWhatItReleases)
{
    leader l(three_nodes(default_services()));
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (node == 2 && cmd == "fence-node" && args["cmd"] == "on")
            std::this_thread::sleep_for(300ms);  // the switch-off comes first
        return nullptr;
    };
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
    l.mon.set_alive(3, false);
    l.app.post_event(kind_node_offline, 3);
    ASSERT_TRUE(wait_until([&] { return l.record("b")->at("session_id") == "-"; }));
    const json disable = {{"call", "service"}, {"cmd", "disable"}, {"serviceName", "b"}};
    ASSERT_EQ(svcapp_call(l.app, disable), nullptr);
    ASSERT_TRUE(wait_until([&] { return l.fencers_of(3) == std::set<uint32_t>{1, 2}; }));
    ASSERT_TRUE(wait_until([&] { return l.record("b")->at("run_node") == run_node_none; })) << l.record("b")->dump();
    std::this_thread::sleep_for(100ms);  // passes and assignments run
    l.stop();
    const json b = *l.record("b");
    EXPECT_EQ(b.at("state"), rs_unclean);
    EXPECT_EQ(b.at("session_id"), "S");
    EXPECT_EQ(b.at("enabled"), false);
    EXPECT_EQ(l.holders("b"), std::set<uint32_t>{3}) << "started elsewhere although switched off";
}

size_t sweep_stops(leader& l)
{
    size_t n = 0;
    for (const auto& c : l.mon.calls("service"))
        if (c.args["cmd"] == "stop" && c.args["serviceName"] != "$cluster-management")
            ++n;
    return n;
}

// A node swept in this cluster session and not declared offline since is not
// swept again by a new leader; one declared offline and reclaimed is.
TEST(SvcReturn, NewLeaderSkipsTheSweepOfNodesSweptInTheSession)
{
    leader first(three_nodes(default_services()));
    first.start();
    first.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return first.runs_on("a", 2) && first.runs_on("b", 3); }));
    first.stop();
    EXPECT_GE(sweep_stops(first), 6u) << "a cold start sweeps every node";

    log_capture log;
    leader next(three_nodes(default_services()));
    for (const char* s : {"a", "b", "c", "d"})
        next.mon.kv_put(runstate_key(s), *first.mon.kv(runstate_key(s)));
    for (uint32_t id : {1u, 2u, 3u}) {
        next.mon.kv_put(node_config_key(id), *first.mon.kv(node_config_key(id)));
        next.mon.kv_put(sweep_mark_key(id), *first.mon.kv(sweep_mark_key(id)));
    }
    next.mon.kv_put(session_marker_key, "S");
    next.start("S");
    next.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return log.count("svc_app: Enable run services on node") == 3; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sweep_stops(next), 0u);
    EXPECT_TRUE(next.runs_on("a", 2) && next.runs_on("b", 3));

    // Declared offline and reclaimed: its return is swept again.
    next.mon.set_alive(3, false);
    next.app.post_event(kind_node_offline, 3);
    ASSERT_TRUE(wait_until([&] { return next.runs_on("b", 2); }));
    EXPECT_EQ(next.mon.kv(sweep_mark_key(3)), R"({"session":"S","swept":false})");
    next.mon.set_alive(3, true);
    next.online({3});
    ASSERT_TRUE(wait_until([&] { return next.count_calls(3, "service", {{"cmd", "stop"}, {"serviceName", "b"}}) == 1; }));
    ASSERT_TRUE(wait_until([&] { return next.mon.kv(sweep_mark_key(3)) == R"({"session":"S","swept":true})"; }));
    next.stop();
}

}  // namespace
}  // namespace svc
