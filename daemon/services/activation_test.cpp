// The leader's work end to end on a fake monitor at 1000x speed: activation,
// placement, node online/offline with fencing and reclaim, stale records, node
// and cluster stop, and the teardown on every way out of an activation.
#include "daemon/services/activation.hpp"

#include "daemon/services/assignment.hpp"
#include "daemon/services/fencing.hpp"
#include "daemon/services/owner_locks.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/requests.hpp"
#include "daemon/services/svc_leader_fixture.hpp"
#include "daemon/services/svc_test_util.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <set>
#include <thread>

namespace svc {
namespace {

using nlohmann::json;
using testing::log_capture;

using testing::default_services;
using testing::leader;
using testing::three_nodes;
using testing::wait_until;

TEST(SvcActivation, ColdStartPlacesByPreferenceThenLoad)
{
    log_capture log;
    leader l(three_nodes(default_services()));
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] {
        // c and d go by load, in the table's own order: never to 3, which has b.
        return l.runs_on("a", 2) && l.runs_on("b", 3) && (l.runs_on("c", 1) || l.runs_on("c", 2)) &&
               (l.runs_on("d", 1) || l.runs_on("d", 2));
    })) << log.text();
    EXPECT_TRUE(log.has("svc_app: Entire cluster rerun!"));
    EXPECT_EQ(l.mon.kv(session_marker_key), "S");
    // cluster-management is on the leader and counts in no load.
    EXPECT_TRUE(wait_until([&] { return l.holders("cluster-management") == std::set<uint32_t>{1}; }));
    for (const char* s : {"a", "b", "c", "d"})
        EXPECT_EQ(l.holders(s).size(), 1u) << s;
    EXPECT_EQ(l.record("a")->dump(),
              R"({"disabled_once":false,"enabled":true,"failed":false,"run_node":2,"session_id":"S","state":3})");
    // Every node was unfenced by both others.
    for (uint32_t target : {1u, 2u, 3u})
        for (uint32_t by : {1u, 2u, 3u})
            if (by != target) {
                EXPECT_EQ(l.count_calls(by, "fence-node", {{"cmd", "off"}, {"node", target}}), 1u) << by << target;
            }
    l.stop();
    EXPECT_EQ(l.double_starts, 0);
    EXPECT_FALSE(l.error);
    // The activation stopped cluster management on its way out.
    EXPECT_EQ(l.count_calls(1, "service", {{"cmd", "stop"}, {"serviceName", "$cluster-management"}}), 1u);
}

TEST(SvcActivation, OfflineNodeIsFencedAndItsServicesMove)
{
    log_capture log;
    leader l(three_nodes(default_services()));
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
    l.mon.set_alive(3, false);
    l.app.post_event(kind_node_offline, 3);
    // b prefers 3, then 2: reclaimed unclean, recovered and started on 2.
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 2); })) << log.text();
    EXPECT_EQ(l.count_calls(1, "fence-node", {{"cmd", "on"}, {"node", 3}}), 1u);
    EXPECT_EQ(l.count_calls(2, "fence-node", {{"cmd", "on"}, {"node", 3}}), 1u);
    EXPECT_EQ(l.count_calls(2, "service", {{"cmd", "recovery"}, {"serviceName", "b"}}), 1u);
    EXPECT_TRUE(log.has("svc_app: prepare stale") == false);
}

TEST(SvcActivation, FailedFencingSkipsReclamationAlsoWhenAFencerThrows)
{
    for (bool throws : {false, true}) {
        log_capture log;
        leader l(three_nodes(default_services()));
        l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
            if (node == 2 && cmd == "fence-node" && args["cmd"] == "on") {
                if (throws)
                    throw std::runtime_error("broken reply");
                return {{"error", "ERPC"}, {"errorMessage", "no"}};
            }
            return nullptr;
        };
        l.start();
        l.online({1, 2, 3});
        ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
        l.mon.set_alive(3, false);
        l.app.post_event(kind_node_offline, 3);
        ASSERT_TRUE(wait_until([&] { return log.has("svc_app: Failed fencing node 3. Skip reclamation."); }))
            << "throws " << throws;
        l.stop();
        EXPECT_EQ(l.record("b")->at("run_node"), 3) << "throws " << throws;
        EXPECT_TRUE(l.mon.calls("recovery").empty());
    }
}

// A failed fencing is tried again every 30 s: once it succeeds the services are
// reclaimed and started elsewhere; when the node returns first, the tries end
// and its services stay with it.
TEST(SvcActivation, FailedFencingIsTriedAgainUntilItSucceedsOrTheNodeReturns)
{
    for (bool returns : {false, true}) {
        log_capture log;
        leader l(three_nodes(default_services()));
        std::atomic<int> refusals{returns ? 1000 : 7};  // more than one round of 5 attempts
        l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
            if (node == 2 && cmd == "fence-node" && args["cmd"] == "on" && refusals.fetch_sub(1) > 0)
                return {{"error", "ETIMEDOUT"}, {"errorMessage", "Runner down"}};
            return nullptr;
        };
        l.start();
        l.online({1, 2, 3});
        ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
        l.mon.set_alive(3, false);
        l.app.post_event(kind_node_offline, 3);
        ASSERT_TRUE(wait_until([&] { return log.has("Failed fencing node 3. Skip reclamation."); }));
        if (!returns) {
            EXPECT_TRUE(wait_until([&] { return l.runs_on("b", 2); })) << log.text();
            EXPECT_GE(l.count_calls(2, "fence-node", {{"cmd", "on"}, {"node", 3}}), 8u);
            continue;
        }
        EXPECT_TRUE(wait_until([&] { return log.count("fencing of node 3 tried again in 30 s") >= 2; }));
        l.mon.set_alive(3, true);
        l.app.post_event(kind_node_online, 3);
        ASSERT_TRUE(wait_until([&] { return log.has("node 3 is back: no more fencing tries"); })) << log.text();
        const size_t tries = l.count_calls(2, "fence-node", {{"cmd", "on"}, {"node", 3}});
        l.clock.sleep_for(std::chrono::seconds(120));
        EXPECT_EQ(l.count_calls(2, "fence-node", {{"cmd", "on"}, {"node", 3}}), tries);
        EXPECT_TRUE(wait_until([&] { return l.runs_on("b", 3); })) << log.text();
        EXPECT_EQ(l.count_calls(2, "service", {{"cmd", "recovery"}, {"serviceName", "b"}}), 0u);
    }
}

// Node 3 is never fenced (fencing it is off in the configuration), and its
// Runner cannot give up the others' services when it returns: it is not called
// fenced, nor an unfence failed, and nothing is placed on it.
TEST(SvcActivation, NodeWithFencingOffKeepingOthersServicesIsNotCalledFenced)
{
    log_capture log;
    json config = three_nodes(default_services());
    config["nodes"][2]["enabled"] = false;
    leader l(config);
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 2); }));
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (node == 3 && cmd == "service" && args["cmd"] == "stop")
            return {{"error", "EPROGRAM"}, {"errorMessage", "FAILED phase=pool-export"}};
        return nullptr;
    };
    l.app.post_event(kind_node_offline, 3);
    l.clock.sleep_for(std::chrono::seconds(20));
    l.online({3});
    ASSERT_TRUE(wait_until([&] { return log.has("svc_app: Node 3 keeps services of others and is not fenced"); }))
        << log.text();
    ASSERT_TRUE(wait_until([&] { return log.count("svc_app: Enable run services on node 3") == 2; })) << log.text();
    l.stop();
    EXPECT_TRUE(l.fencers_of(3).empty());
    EXPECT_FALSE(log.has("left fenced"));
    EXPECT_FALSE(log.has("Failed unfencing"));
    for (const char* s : {"a", "b", "c", "d"})
        EXPECT_NE(l.record(s)->at("run_node"), 3) << s;
}

TEST(SvcActivation, ReturningNodeStopsOthersServicesBeforeItIsUnfenced)
{
    for (bool stop_fails : {false, true}) {
        log_capture log;
        leader l(three_nodes(default_services()));
        l.start();
        l.online({1, 2, 3});
        ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
        l.mon.set_alive(3, false);
        l.app.post_event(kind_node_offline, 3);
        ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 2); }));
        // Node 3's daemon died but its host kept b's pools: they must go before
        // node 3 gets its access back.
        l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
            if (stop_fails && node == 3 && cmd == "service" && args["cmd"] == "stop")
                return {{"error", "EPROGRAM"}, {"errorMessage", "FAILED phase=pool-export"}};
            return nullptr;
        };
        l.mon.clear_calls();
        l.mon.set_alive(3, true);
        l.online({3});
        ASSERT_TRUE(wait_until([&] {
            return stop_fails ? log.has("svc_app: Node 3 keeps services of others; left fenced")
                              : l.count_calls(1, "fence-node", {{"cmd", "off"}, {"node", 3}}) == 1;
        }));
        ASSERT_TRUE(wait_until([&] { return log.has("svc_app: Enable run services on node 3"); }));
        l.stop();
        // Kept fenced on purpose, and swept again: nothing to fix by hand.
        EXPECT_FALSE(log.has("Failed unfencing node 3"));
        const auto calls = l.mon.calls();
        size_t first_unfence = calls.size(), stops_on_3 = 0;
        for (size_t i = 0; i < calls.size(); ++i) {
            if (calls[i].cmd == "fence-node" && calls[i].args == json{{"cmd", "off"}, {"node", 3}})
                first_unfence = std::min(first_unfence, i);
            if (calls[i].node == 3 && calls[i].cmd == "service" && calls[i].args["cmd"] == "stop") {
                ++stops_on_3;
                EXPECT_LT(i, first_unfence);
            }
        }
        EXPECT_GE(stops_on_3, stop_fails ? 1u : 4u);  // b among them, each once
        if (stop_fails) {
            EXPECT_EQ(first_unfence, calls.size()) << "node 3 must stay fenced";
        }
    }
}

json ha_pair(json services)
{
    return {{"cluster", {{"start_delay", 0}}},
            {"nodes", json::array({{{"id", 1}, {"nodename", "n1"}}, {{"id", 2}, {"nodename", "n2"}}})},
            {"ha", {{"disks", {"da1"}}}},
            {"services", std::move(services)}};
}

// A pair reclaims the peer's services only when the disk voter fenced the peer;
// the peer gets its disks back only after its Runner stopped the services that
// were started here.
TEST(SvcActivation, HaPairReclaimsOnlyAFencedPeerAndLetsItBackAfterItsSweep)
{
    for (bool fenced : {false, true}) {
        log_capture log;
        kelm::ha_fence_link link;
        leader l(ha_pair(json::array({{{"name", "b"}, {"pri0", 2}}})));
        l.app.ha_link = &link;
        l.start();
        l.online({1, 2});
        ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 2); }));
        EXPECT_TRUE(link.release_allowed.load()) << "node 2 was swept when it came online";
        link.release_allowed.store(false);  // the voter fences it on its death notice
        link.peer_fenced.store(fenced);
        l.mon.set_alive(2, false);
        l.app.post_event(kind_node_offline, 2);
        if (!fenced) {
            ASSERT_TRUE(wait_until([&] { return log.has("svc_app: Failed fencing node 2. Skip reclamation."); }));
            l.stop();
            EXPECT_EQ(l.record("b")->at("run_node"), 2);
            EXPECT_TRUE(l.mon.calls("recovery").empty());
            EXPECT_EQ(l.holders("b"), std::set<uint32_t>{2});
            continue;
        }
        ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 1); }));
        std::atomic<bool> allowed_before_stop{true};
        l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
            if (node == 2 && cmd == "service" && args["cmd"] == "stop")
                allowed_before_stop.store(link.release_allowed.load());
            return nullptr;
        };
        l.mon.clear_calls();
        l.mon.set_alive(2, true);
        l.online({2});
        ASSERT_TRUE(wait_until([&] { return link.release_allowed.load(); }));
        l.stop();
        EXPECT_FALSE(allowed_before_stop.load());
        EXPECT_EQ(l.count_calls(2, "service", {{"cmd", "stop"}, {"serviceName", "b"}}), 1u);
        EXPECT_TRUE(l.mon.calls("fence-node").empty());
    }
}

// A sweep that fails keeps the peer fenced, also when it comes back again
// before its offline event is handled.
TEST(SvcActivation, HaPeerThatKeepsServicesOfOthersStaysFenced)
{
    log_capture log;
    kelm::ha_fence_link link;
    leader l(ha_pair(json::array({{{"name", "b"}, {"pri0", 1}}})));
    l.app.ha_link = &link;
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (node == 2 && cmd == "service" && args["cmd"] == "stop")
            return {{"error", "EPROGRAM"}, {"errorMessage", "FAILED phase=pool-export"}};
        return nullptr;
    };
    l.start();
    l.online({1, 2});
    ASSERT_TRUE(wait_until([&] { return log.has("svc_app: Node 2 keeps services of others; left fenced"); }));
    ASSERT_TRUE(wait_until([&] { return log.has("svc_app: Enable run services on node 2"); }));
    l.online({2});  // a blip: its offline event was replaced by this one
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // 200 s on the leader's clock
    l.stop();
    EXPECT_FALSE(link.release_allowed.load());
}

TEST(SvcActivation, StaleRecordsOfAnEarlierSessionAreStoppedRecoveredAndStarted)
{
    log_capture log;
    leader l(three_nodes(json::array({{{"name", "a"}, {"pri0", 2}}})));
    l.mon.kv_put(runstate_key("a"), R"({"disabled_once":true,"enabled":true,"failed":false,"run_node":2,"session_id":"OLD","state":3})");
    l.start();
    ASSERT_TRUE(wait_until([&] { return l.record("a") && l.record("a")->at("session_id") == "-"; }));
    EXPECT_TRUE(log.has("svc_app: prepare stale service state: name a state 3 id 2"));
    l.online({1, 2, 3});
    // The stale record itself says "running on 2": wait for the settled one.
    ASSERT_TRUE(wait_until([&] { return l.runs_on("a", 2) && l.record("a")->at("session_id") == "S"; }));
    EXPECT_EQ(l.record("a")->at("disabled_once"), false);
    EXPECT_EQ(l.count_calls(2, "service", {{"cmd", "stop"}, {"serviceName", "a"}}), 1u);
    EXPECT_EQ(l.count_calls(2, "service", {{"cmd", "recovery"}, {"serviceName", "a"}}), 1u);
}

// A node that left the configuration may still run and hold the pools: its
// service stays assigned to it until the operator's stop releases it; a start
// then recovers it and starts it on the node asked for.
TEST(SvcActivation, ServiceHeldByAnUnconfiguredNodeStaysUntilTheOperatorReleasesIt)
{
    log_capture log;
    leader l(three_nodes(json::array({{{"name", "e"}}, {{"name", "f"}}})));
    l.mon.kv_put(runstate_key("e"), R"({"disabled_once":false,"enabled":true,"failed":false,"run_node":9,"session_id":"OLD","state":3})");
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.holders("f").size() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // passes and assignments run
    EXPECT_EQ(l.record("e")->at("run_node"), 9);
    EXPECT_EQ(l.record("e")->at("state"), rs_running);
    EXPECT_TRUE(l.holders("e").empty());
    EXPECT_TRUE(l.mon.calls("recovery").empty());
    EXPECT_EQ(log.count("svc_app: service e is held by node 9, which is not configured; it stays there."), 1u);

    const json stop = {{"call", "service"}, {"cmd", "stop"}, {"serviceName", "e"}};
    EXPECT_FALSE(svcapp_call(l.app, stop).contains("error"));
    EXPECT_EQ(l.record("e")->dump(),
              R"({"disabled_once":true,"enabled":true,"failed":false,"run_node":1024,"session_id":"S","state":5})");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(l.record("e")->at("run_node"), run_node_none) << "switched off for the session: not placed";

    const json start = {{"call", "service"}, {"cmd", "start"}, {"serviceName", "e"}, {"nodeId", 2}};
    EXPECT_FALSE(svcapp_call(l.app, start).contains("error"));
    EXPECT_TRUE(l.runs_on("e", 2));
    EXPECT_EQ(l.count_calls(2, "service", {{"cmd", "recovery"}, {"serviceName", "e"}}), 1u);
    l.stop();
    EXPECT_EQ(l.holders("e"), std::set<uint32_t>{2});
}

TEST(SvcActivation, SubsequentRunTakesRecordsOverAsTheyAre)
{
    log_capture log;
    leader l(three_nodes(json::array({{{"name", "a"}, {"pri0", 2}}})));
    l.mon.kv_put(session_marker_key, "S");
    l.mon.kv_put(runstate_key("a"), R"({"disabled_once":false,"enabled":true,"failed":false,"run_node":3,"session_id":"S","state":3})");
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return log.has("svc_app: Enable run services on node 3"); }));
    l.stop();
    EXPECT_TRUE(log.has("svc_app: Subsequent run"));
    EXPECT_TRUE(l.runs_on("a", 3));
    // a stays where it runs: neither started again nor stopped on node 3.
    EXPECT_EQ(l.count_calls(3, "service", {{"cmd", "start"}, {"serviceName", "a"}}), 0u);
    EXPECT_EQ(l.count_calls(3, "service", {{"cmd", "stop"}, {"serviceName", "a"}}), 0u);
}

TEST(SvcActivation, EveryWayOutTearsDown)
{
    struct row {
        const char* what;
        const char* record;  // of service a
        const char* error;
    };
    const row rows[] = {
        {"record not JSON", "{", "parse"},
        {"bad state", R"({"disabled_once":false,"enabled":true,"failed":false,"run_node":2,"session_id":"S","state":7})",
         "service a has bad state 7"},
        {"owner missing", R"({"disabled_once":false,"enabled":true,"failed":false,"run_node":1024,"session_id":"S","state":3})",
         "wrong service owner: a 1024"},
    };
    for (const auto& r : rows) {
        leader l(three_nodes(json::array({{{"name", "a"}}})));
        l.mon.kv_put(runstate_key("a"), r.record);
        l.start();
        l.active.join();
        ASSERT_TRUE(l.error) << r.what;
        try {
            std::rethrow_exception(l.error);
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(r.error), std::string::npos) << r.what << ": " << e.what();
        }
        EXPECT_EQ(l.count_calls(1, "service", {{"cmd", "stop"}, {"serviceName", "$cluster-management"}}), 1u)
            << r.what;
    }
}

TEST(SvcActivation, DeposedDuringTheSessionWaitWritesNoRecord)
{
    json cfg = three_nodes(json::array({{{"name", "a"}}}));
    cfg["cluster"]["start_delay"] = 100000;  // 100 s at this speed
    leader l(cfg);
    l.start();
    ASSERT_TRUE(wait_until([&] { return l.mon.kv(session_marker_key).has_value(); }));
    l.stop();
    EXPECT_FALSE(l.record("a"));
    EXPECT_FALSE(l.error);
}

// A leader that lost its lease in the middle of node 3's stop (paused, deposed)
// does not send node 3 its exit: node 3 may run the next leader's services by
// then. Its own exit still goes out: alone, it has no lease to wait for.
TEST(SvcActivation, NoExitOfAnotherNodeWithoutAFreshLease)
{
    leader l(three_nodes(json::array({{{"name", "a"}, {"pri0", 2}}, {{"name", "cluster-management"}}})));
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("a", 2); }));
    l.mon.set_lease_held(false);
    l.app.post_event(kind_node_stop, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // 100 s of the leader's clock
    EXPECT_TRUE(l.mon.calls("kelm-exit").empty());
    l.app.post_event(kind_node_stop, 1);
    EXPECT_TRUE(wait_until([&] { return !l.mon.calls("kelm-exit").empty(); }));
    l.stop();
    ASSERT_EQ(l.mon.calls("kelm-exit").size(), 1u);
    EXPECT_EQ(l.mon.calls("kelm-exit")[0].node, 1u);
}

TEST(SvcActivation, NodeStopMovesItsServicesThenTheNodeExits)
{
    log_capture log;
    leader l(three_nodes(default_services()));
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("a", 2) && l.runs_on("b", 3); }));
    l.app.post_event(kind_node_stop, 3);
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 2) && !l.mon.calls("kelm-exit").empty(); }));
    EXPECT_EQ(l.mon.calls("kelm-exit")[0].node, 3u);
    EXPECT_TRUE(log.has("svc_app: successfully sent 'exit' to 3 node"));
    EXPECT_TRUE(l.holders("b") == std::set<uint32_t>{2});

    l.app.post_event(kind_node_stop, node_all);
    ASSERT_TRUE(wait_until([&] { return l.mon.calls("kelm-exit").size() == 2; }));
    EXPECT_EQ(l.mon.calls("kelm-exit")[1].node, node_all);
    for (const char* s : {"a", "b", "c", "d"})
        EXPECT_TRUE(l.holders(s).empty()) << s;
    EXPECT_EQ(l.record("a")->at("disabled_once"), true);
}

// Node 3's Runner fails the stop of b: node 3 stays, stopping, and takes
// nothing new. The stop is tried again until b stops; then b moves and node 3
// exits, rather than b waiting, unplaced, for a node that will never serve.
TEST(SvcActivation, NodeStopThatFailsIsTriedAgainUntilTheNodeExits)
{
    leader l(three_nodes(default_services()));
    std::atomic<bool> broken{false};
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (broken.load() && node == 3 && cmd == "service" && args["cmd"] == "stop")
            return {{"error", "ERUNNER"}, {"errorMessage", "Runner failed"}};
        return nullptr;
    };
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
    const json stop_b = {{"cmd", "stop"}, {"serviceName", "b"}};
    const size_t before = l.count_calls(3, "service", stop_b);
    broken.store(true);
    l.app.post_event(kind_node_stop, 3);
    ASSERT_TRUE(wait_until([&] { return l.count_calls(3, "service", stop_b) >= before + 3; }));  // tried again
    EXPECT_TRUE(l.mon.calls("kelm-exit").empty());
    broken.store(false);
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 2) && !l.mon.calls("kelm-exit").empty(); }));
    l.stop();
    EXPECT_EQ(l.mon.calls("kelm-exit")[0].node, 3u);
    EXPECT_EQ(l.holders("b"), std::set<uint32_t>{2});
}

// A switched-off service whose stale record names node 3, and node 3 disabled
// or stopped: its stop there ends unclean and the service leaves the node. No
// assignment places it again, so the record must say so itself, or it names a
// node that takes no service (for status and for the next leader).
TEST(SvcActivation, ServiceGivenUpByADisabledOrStoppingNodeIsSavedUnassigned)
{
    for (const bool stop_node : {false, true}) {
        SCOPED_TRACE(stop_node ? "node stop" : "node disabled");
        leader l(three_nodes(json::array({{{"name", "b"}}, {{"name", "cluster-management"}}})));
        l.mon.kv_put(runstate_key("b"),
                     R"({"disabled_once":false,"enabled":false,"failed":false,"run_node":3,"session_id":"OLD","state":3})");
        if (!stop_node)
            l.mon.kv_put(node_config_key(3), node_config_text(false));
        l.start();
        l.online({1, 2, 3});
        if (stop_node)
            l.app.post_event(kind_node_stop, 3);
        ASSERT_TRUE(wait_until([&] { return l.count_calls(3, "service", {{"cmd", "stop"}, {"serviceName", "b"}}) >= 1; }));
        ASSERT_TRUE(wait_until([&] { return l.record("b")->at("run_node") == run_node_none; })) << l.record("b")->dump();
        l.stop();
        EXPECT_EQ(l.record("b")->at("state"), rs_unclean);
        EXPECT_EQ(l.record("b")->at("session_id"), "S");
        EXPECT_TRUE(l.holders("b").empty());
    }
}

// A recovery cut short on node 3 (its record says "recovering"), and node 3
// disabled or the service switched off: the recovery is finished there, and a
// service wanted running then starts on another node, not left "recovering" on
// a node that takes no start.
TEST(SvcActivation, RecoveryCutShortIsFinishedWhereTheServiceIsWantedStopped)
{
    for (const bool node_disabled : {true, false}) {
        SCOPED_TRACE(node_disabled ? "node disabled" : "service switched off");
        leader l(three_nodes(json::array({{{"name", "b"}}, {{"name", "cluster-management"}}})));
        l.mon.kv_put(runstate_key("b"), fmt::format(R"({{"disabled_once":false,"enabled":{},"failed":false,)"
                                                    R"("run_node":3,"session_id":"S","state":6}})",
                                                    node_disabled));
        if (node_disabled)
            l.mon.kv_put(node_config_key(3), node_config_text(false));
        l.start();
        l.online({1, 2, 3});
        ASSERT_TRUE(wait_until([&] { return l.record("b")->at("state") != rs_recovering; })) << l.record("b")->dump();
        if (node_disabled) {
            EXPECT_TRUE(wait_until([&] { return l.runs_on("b", 1) || l.runs_on("b", 2); })) << l.record("b")->dump();
        }
        l.stop();
        EXPECT_EQ(l.count_calls(3, "service", {{"cmd", "recovery"}, {"serviceName", "b"}}), 1u);
        if (!node_disabled) {
            EXPECT_EQ(l.record("b")->at("state"), rs_stopped);
        }
    }
}

// The leader's exit ends every node thread: asked to stop itself while another
// member's stop is under way, it must leave last, or that member, alone without a
// majority, exits at once with its services still running.
TEST(SvcActivation, TheLeaderAskedToStopLeavesAfterTheMembersItIsStopping)
{
    std::atomic<bool> armed{false};  // after the sweeps of the nodes' returns
    std::atomic<bool> stopping_b{false};
    std::atomic<bool> release{false};
    leader l(three_nodes(default_services()));
    const struct releaser {
        std::atomic<bool>& flag;
        ~releaser() { flag.store(true); }  // before the leader's teardown joins node 3
    } let_go{release};
    l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
        if (armed.load() && cmd == "service" && node == 3 && args["cmd"] == "stop" && args["serviceName"] == "b") {
            stopping_b.store(true);
            while (!release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return nullptr;
    };
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("a", 2) && l.runs_on("b", 3); }));
    armed.store(true);
    l.app.post_event(kind_node_stop, 3);
    ASSERT_TRUE(wait_until([&] { return stopping_b.load(); }));
    l.app.post_event(kind_node_stop, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // 100 s of the leader's clock
    EXPECT_TRUE(l.mon.calls("kelm-exit").empty());
    release.store(true);
    ASSERT_TRUE(wait_until([&] { return l.mon.calls("kelm-exit").size() == 2; }));
    EXPECT_EQ(l.mon.calls("kelm-exit")[0].node, 3u);
    EXPECT_EQ(l.mon.calls("kelm-exit")[1].node, 1u);
    // Nothing left on either stopped node; the services go on at node 2.
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 2) && l.runs_on("c", 2); }));
    for (const char* s : {"a", "b", "c", "d"})
        EXPECT_TRUE(l.holders(s) == std::set<uint32_t>{2}) << s;
}

// ---- pieces on their own ----

struct parts {
    scaled_clock clock{1000};
    fake_monitor mon{1, {1, 2, 3}, &clock};
    svc_app app{mon, clock, [] {}};
    service_table services;
    std::deque<node> nodes;
    parts()
    {
        app.this_nodeid.store(1);
        mon.set_term(7);  // the term of the node objects below
        for (uint32_t id : {1u, 2u, 3u})
            nodes.emplace_back(id, "n" + std::to_string(id), true, &services, 7);
        app.node_count.store(3);
    }
    service_rec& add(const std::string& name, uint32_t pri0 = node_none, uint32_t pri1 = node_none,
                     uint32_t run_node = run_node_none)
    {
        auto& s = services.try_emplace(name, name, "S", 7).first->second;
        s.pri0 = pri0;
        s.pri1 = pri1;
        s.run_node.store(run_node);
        return s;
    }
    void states(std::initializer_list<uint32_t> st)
    {
        auto it = st.begin();
        for (auto& n : nodes)
            n.state.store(*it++);
    }
    size_t queued(uint32_t kind)
    {
        std::lock_guard lk(app.main_mutex);
        return std::count_if(app.main_queue.begin(), app.main_queue.end(),
                             [&](const node_event& e) { return e.kind == kind; });
    }
};

TEST(SvcAssignment, GateCandidatesAndChoice)
{
    {  // a node still coming up: nothing placed, nothing posted
        parts p;
        p.states({ns_serving, ns_online, ns_serving});
        auto& s = p.add("x");
        assignment_pass(p.app, p.services, p.nodes);
        EXPECT_EQ(s.run_node.load(), run_node_none);
        EXPECT_EQ(p.queued(kind_service_pass), 0u);
    }
    {  // all offline: no candidate
        parts p;
        p.states({ns_offline, ns_offline, ns_offline});
        p.add("x");
        assignment_pass(p.app, p.services, p.nodes);
        EXPECT_EQ(p.queued(kind_service_pass), 0u);
    }
    {  // pri0 disabled, pri1 taken whatever its load
        parts p;
        p.states({ns_serving, ns_serving, ns_serving});
        p.nodes[1].enabled.store(false);
        p.add("busy1", node_none, node_none, 3);
        p.add("busy2", node_none, node_none, 3);
        auto& s = p.add("x", 2, 3);
        assignment_pass(p.app, p.services, p.nodes);
        EXPECT_EQ(s.run_node.load(), 3u);
        EXPECT_EQ(p.queued(kind_service_pass), 1u);
    }
    {  // least loaded, earliest on ties; cluster-management and offline loads
        parts p;
        p.states({ns_serving, ns_serving, ns_serving});
        p.add("cluster-management", node_none, node_none, 1);
        p.add("on1", node_none, node_none, 1);
        p.add("on1b", node_none, node_none, 1);
        p.add("on2", node_none, node_none, 2);
        p.add("on3", node_none, node_none, 3);
        auto& x = p.add("x");
        assignment_pass(p.app, p.services, p.nodes);
        EXPECT_EQ(x.run_node.load(), 2u);
    }
    {  // switched off for the session: never placed
        parts p;
        p.states({ns_serving, ns_serving, ns_serving});
        auto& s = p.add("x");
        s.disabled_once.store(true);
        assignment_pass(p.app, p.services, p.nodes);
        EXPECT_EQ(s.run_node.load(), run_node_none);
        EXPECT_EQ(p.queued(kind_service_pass), 0u);
    }
}

TEST(SvcAssignment, ClaimIsCompareAndSwap)
{
    parts p;
    auto& s = p.add("x");
    EXPECT_TRUE(claim_service(p.app, s, 2));
    EXPECT_FALSE(claim_service(p.app, s, 3));
    EXPECT_EQ(s.run_node.load(), 2u);
}

TEST(SvcActivation, TidyKeepsModeChangesFirstAndNewestNodeEvents)
{
    parts p;
    p.nodes.pop_back();  // nodes 1 and 2
    std::deque<node_event> q = {make_event(kind_wake, node_all),   make_event(kind_node_online, 1),
                                make_event(kind_node_offline, 1), make_event(kind_node_stop, node_all),
                                make_event(kind_node_online, 2),  make_event(kind_node_online, 9)};
    tidy_main_queue(q, p.nodes);
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (const auto& e : q)
        got.emplace_back(e.kind, e.node);
    const std::vector<std::pair<uint32_t, uint32_t>> want = {
        {kind_wake, node_all}, {kind_node_online, 2}, {kind_node_stop, node_all}, {kind_node_offline, 1}};
    EXPECT_EQ(got, want);
    EXPECT_NE(q[1].tally(), nullptr);
}

TEST(SvcFencing, AttemptsSkipsAndExit)
{
    struct row {
        const char* what;
        bool ha;
        bool x_cfg, target_cfg;
        json reply;
        size_t calls;
        bool result;
        const char* line;
    };
    const json erpc = {{"error", "ERPC"}, {"errorMessage", "x"}};
    const row rows[] = {
        {"ha, peer not fenced", true, true, true, erpc, 0, false,
         "svc_app: node 1: cannot fence-on node 2: 'not fenced off the HA disks'"},
        {"target disabled", false, true, false, erpc, 0, true,
         "svc_app: node 1: fence-on of node 2 skipped (node 2 disabled in config)"},
        {"offline fencer", false, true, true, {{"error", "EOFFLINE"}}, 1, true, ""},
        {"always failing", false, true, true, erpc, 5, false, "svc_app: node 1: cannot fence-on node 2: '\"ERPC\"'"},
    };
    for (const auto& r : rows) {
        log_capture log;
        parts p;
        kelm::ha_fence_link link;
        p.app.ha_link = &link;
        p.app.ha_mode.store(r.ha);
        p.app.cfg_enabled[2].store(r.target_cfg);
        p.mon.set_runner([&](uint32_t, const std::string&, const json&) { return r.reply; });
        EXPECT_EQ(fence_node(p.app, p.nodes[0], 2, true), r.result) << r.what;
        EXPECT_EQ(p.mon.calls("fence-node").size(), r.calls) << r.what;
        EXPECT_TRUE(log.has(r.line)) << r.what;
    }
    parts p;  // an ending activation makes no attempt
    p.nodes[0].exit.store(true);
    EXPECT_FALSE(fence_node(p.app, p.nodes[0], 2, true));
    EXPECT_TRUE(p.mon.calls("fence-node").empty());
}

// In a pair the disks fence: a fence-on is done only when the disk voter has
// fenced the peer on a quorum, waited for up to 10 s; a fence-off is skipped.
TEST(SvcFencing, HaFenceOnWaitsForTheDiskVoter)
{
    log_capture log;
    parts p;
    kelm::ha_fence_link link;
    p.app.ha_link = &link;
    p.app.ha_mode.store(true);
    const auto start = p.clock.now();
    EXPECT_FALSE(fence_node(p.app, p.nodes[0], 2, true));
    EXPECT_GE(p.clock.now() - start, ha_fence_wait);
    auto late = std::async(std::launch::async, [&] { return fence_node(p.app, p.nodes[0], 2, true); });
    p.clock.sleep_for(std::chrono::seconds(3));
    link.peer_fenced.store(true);
    EXPECT_TRUE(late.get());
    EXPECT_TRUE(log.has("svc_app: node 2: fence-on done (HA: disk PR reservations)"));
    link.peer_fenced.store(false);
    EXPECT_TRUE(fence_node(p.app, p.nodes[0], 2, false));
    EXPECT_TRUE(log.has("svc_app: node 2: fence-off skipped (HA: disk PR reservations)"));
    EXPECT_FALSE(link.release_allowed.load()) << "a fence-off alone sweeps nothing";
    EXPECT_TRUE(p.mon.calls("fence-node").empty());
    p.nodes[0].exit.store(true);  // an ending activation stops waiting
    EXPECT_FALSE(fence_node(p.app, p.nodes[0], 2, true));
}

TEST(SvcOwnerLocks, GiveUpWhenPlacementMovesOrTheActivationEnds)
{
    parts p;
    auto& s = p.add("x", node_none, node_none, 2);
    std::unique_lock held(s.lock);
    auto waiter = std::async(std::launch::async, [&] { return lock_if_owned(p.app, p.nodes[1], s).owns_lock(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    p.nodes[1].exit.store(true);  // a 300 s Runner call holds the lock: nobody waits for it
    EXPECT_FALSE(waiter.get());
    p.nodes[1].exit.store(false);
    auto mover = std::async(std::launch::async, [&] { return lock_if_owned(p.app, p.nodes[1], s).owns_lock(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    s.run_node.store(3);
    EXPECT_FALSE(mover.get());
    held.unlock();
    EXPECT_TRUE(lock_if_unowned(p.app, s).owns_lock() == false);
}

TEST(SvcServicePass, LooksAgainAfterTheLock)
{
    // Two passes overlap: the first one fails the start and holds the service
    // off; the second, which waited for the lock, must not start it again.
    parts p;
    p.states({ns_serving, ns_serving, ns_serving});
    auto& s = p.add("x", node_none, node_none, 2);
    std::unique_lock held(s.lock);
    auto pass = std::async(std::launch::async, [&] {
        process_event(p.app, p.nodes[1], make_event(kind_service_pass, 2));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Held off far beyond the test's run: the clock runs 1000 times fast, and
    // a loaded machine may take longer than the 100 ms of a real hold-off.
    s.hold_off_until.store(p.clock.now() + 1000 * hold_off);
    s.retries.store(1);
    held.unlock();
    pass.get();
    EXPECT_TRUE(p.mon.calls("service").empty());
}

}  // namespace
}  // namespace svc
