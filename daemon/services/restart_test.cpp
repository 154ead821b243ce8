// A node whose daemon restarted, told by the monitor's "NODE-INSTANCE", end to end
// on the fake monitor: for a follower (told while the leader runs) and for the
// leader's own node (told in the replay of an activation over the old leader's
// records), after a host reboot (the Runner holds nothing any more) and after a
// restart of the daemon alone (the services still run). Judged by who holds the
// service, what its record says, and that nothing was fenced, stopped or moved.
#include "daemon/services/instances.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/svc_leader_fixture.hpp"

#include <gtest/gtest.h>

namespace svc {
namespace {

using nlohmann::json;
using testing::leader;
using testing::log_capture;
using testing::three_nodes;
using testing::wait_until;

json services()
{
    return json::array({{{"name", "a"}, {"pri0", 2}}, {{"name", "l"}, {"pri0", 1}}, {{"name", "cluster-management"}}});
}

std::string running_on(uint32_t node)
{
    runstate r;
    r.run_node = node;
    r.session_id = "S";
    r.state = rs_running;
    return runstate_text(r);
}

struct restart_case {
    const char* what;
    uint32_t node;      // whose daemon restarted: 2 a follower, 1 the leader itself
    const char* service;  // the service placed on it
    bool host_reboot;   // its host rebooted too: the pools are gone
};

TEST(SvcRestart, RestartedDaemonsServicesRunOnItsNodeAgainWithNothingFencedOrMoved)
{
    const restart_case cases[] = {
        {"follower, host reboot", 2, "a", true},
        {"follower, daemon only", 2, "a", false},
        {"leader, host reboot", 1, "l", true},
        {"leader, daemon only", 1, "l", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log_capture log;
        leader l(three_nodes(services()));
        const std::string other = c.node == 1 ? "a" : "l";
        const uint32_t other_node = c.node == 1 ? 2 : 1;
        if (c.node == 1) {
            // The old leader's records: both services running, the instances
            // they were written for. The leader's daemon is a new one (12).
            l.mon.kv_put(session_marker_key, "S");
            l.mon.kv_put(runstate_key("l"), running_on(1));
            l.mon.kv_put(runstate_key("a"), running_on(2));
            l.mon.kv_put(node_instance_key(1), "11");
            l.mon.kv_put(node_instance_key(2), "21");
            std::lock_guard lk(l.mutex);
            l.running["a"] = {2};
            if (!c.host_reboot)
                l.running["l"] = {1};
        }
        l.start();
        l.mon.event("NODE-INSTANCE", c.node == 1 ? "1:12" : "1:11");
        l.mon.event("NODE-INSTANCE", "2:21");
        l.online({1, 2, 3});
        if (c.node == 2) {
            ASSERT_TRUE(wait_until([&] { return l.runs_on("a", 2) && l.runs_on("l", 1); })) << log.text();
            l.mon.clear_calls();  // the first sweeps of the cold start are behind
            if (c.host_reboot) {
                std::lock_guard lk(l.mutex);
                l.running["a"].clear();
            }
            l.mon.event("NODE-INSTANCE", "2:22");
        }
        const json start = {{"cmd", "start"}, {"serviceName", c.service}};
        EXPECT_TRUE(wait_until([&] {
            return l.holders(c.service) == std::set<uint32_t>{c.node} && l.runs_on(c.service, c.node) &&
                   l.runs_on(other, other_node);
        }, 5));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // 200 s of passes
        l.stop();
        EXPECT_EQ(l.mon.kv(node_instance_key(c.node)), c.node == 1 ? "12" : "22");
        EXPECT_EQ(l.holders(c.service), std::set<uint32_t>{c.node});
        EXPECT_EQ(l.holders(other), std::set<uint32_t>{other_node});
        EXPECT_TRUE(l.runs_on(c.service, c.node));
        EXPECT_EQ(l.double_starts, 0);
        EXPECT_TRUE(l.fencers_of(c.node).empty());
        for (const auto& call : l.mon.calls("fence-node")) {
            EXPECT_NE(call.args.value("cmd", ""), "on") << call.args.dump();
        }
        // (A returning node's sweep asks it to stop what is placed elsewhere; the
        // holders above show that it held nothing of the others.)
        EXPECT_EQ(l.count_calls(c.node, "service", {{"cmd", "stop"}, {"serviceName", c.service}}), 0u);
        EXPECT_EQ(l.count_calls(other_node, "service", {{"cmd", "stop"}, {"serviceName", other}}), 0u);
        // The other node's instance is the one its records were written for: its
        // service is not started again.
        if (c.node == 1) {
            EXPECT_EQ(l.count_calls(2, "service", {{"cmd", "start"}, {"serviceName", "a"}}), 0u);
        }
    }
}

}  // namespace
}  // namespace svc
