// The simulated pool world keeps the emulated platform's rules: who may import,
// when an export fails, when a host counts as fenced, and what a check reports.
#include "daemon/services/sim/pool_world.hpp"

#include <gtest/gtest.h>

namespace svc::sim {
namespace {

using nlohmann::json;

struct world_fixture {
    sim_clock clock;
    pool_world world{clock, 1, {1, 2, 3}, {{"a", {"pa"}, "10.0.0.1"}, {"b", {"pb"}, "10.0.0.2"}}};
    world_fixture() { clock.drain(); }  // Runner calls take no time
    json call(uint32_t h, const std::string& cmd, json args) { return world.runner_call(h, cmd, args); }
    json service(uint32_t h, const char* action, const char* name)
    {
        return call(h, "service", {{"cmd", action}, {"serviceName", name}});
    }
    void fence(uint32_t by, uint32_t target, bool on) { call(by, "fence-node", {{"cmd", on ? "on" : "off"}, {"node", target}}); }
    size_t violations(const std::string& kind)
    {
        size_t n = 0;
        for (const auto& [k, text] : world.violations())
            n += k == kind;
        return n;
    }
};

bool failed(const json& r) { return r.is_object() && r.contains("error"); }

TEST(PoolWorld, ImportsExportsAndFencingFollowThePlatform)
{
    world_fixture f;
    EXPECT_FALSE(failed(f.service(1, "start", "a")));
    EXPECT_TRUE(failed(f.service(2, "start", "a"))) << "an unfenced live holder refuses a second import";
    f.fence(2, 1, true);
    EXPECT_FALSE(f.world.fenced(1)) << "fenced only once every other host fenced it";
    EXPECT_TRUE(failed(f.service(2, "start", "a"))) << "host 1 still reaches host 3's disks";
    f.fence(3, 1, true);
    ASSERT_TRUE(f.world.fenced(1));
    EXPECT_TRUE(failed(f.service(1, "stop", "a"))) << "a suspended pool does not export";
    EXPECT_TRUE(failed(f.service(1, "start", "a"))) << "a suspended import does not start";
    EXPECT_FALSE(f.world.carries(1, "10.0.0.1")) << "the failed stop of a suspended pool removes the address";
    EXPECT_EQ(f.world.holders("pa"), (std::set<uint32_t>{1})) << "and keeps the stale import";
    EXPECT_FALSE(failed(f.service(2, "start", "a"))) << "a fenced holder lets the import through";
    f.world.check_step();
    EXPECT_EQ(f.violations("second-writer"), 0u) << "a fenced host's stale import is no second writer";
    f.fence(3, 1, false);
    f.world.check_step();
    f.world.check_step();
    EXPECT_EQ(f.violations("second-writer"), 1u) << "unfenced again next to host 2: reported once";
    EXPECT_EQ(f.world.holders("pa"), (std::set<uint32_t>{1, 2}));
}

TEST(PoolWorld, HostsRunnersAndHooks)
{
    world_fixture f;
    f.service(1, "start", "b");
    f.world.host_crash(1);
    EXPECT_TRUE(f.world.holders("pb").empty()) << "a host crash drops its imports";
    EXPECT_TRUE(f.world.carriers("10.0.0.2").empty());
    EXPECT_TRUE(failed(f.service(1, "start", "b"))) << "a down host answers nothing";
    f.world.host_boot(1);
    for (auto mode : {runner_mode::down, runner_mode::hang, runner_mode::fail}) {
        f.world.set_runner(2, mode);
        EXPECT_TRUE(failed(f.service(2, "start", "b")));
        EXPECT_TRUE(f.world.holders("pb").empty()) << "a failing Runner acts on nothing";
    }
    f.world.set_runner(2, runner_mode::up);
    f.world.set_fencing(2, 0, true);
    f.fence(2, 3, true);
    f.fence(1, 3, true);
    EXPECT_FALSE(f.world.fenced(3)) << "a failed fence-on changes nothing";
    EXPECT_FALSE(failed(f.service(3, "stop", "a")));
    EXPECT_EQ(f.violations("false-pool-event"), 0u) << "a host holding nothing of the service runs no stop hook";
    EXPECT_FALSE(failed(f.service(3, "start", "a")));
    EXPECT_FALSE(failed(f.service(3, "stop", "a")));
    EXPECT_EQ(f.violations("false-pool-event"), 0u) << "the holder's pool-down is true";
    EXPECT_FALSE(failed(f.service(1, "recovery", "a")));
    EXPECT_TRUE(failed(f.service(1, "start", "nosuch")));
}

}  // namespace
}  // namespace svc::sim
