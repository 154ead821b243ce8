// The simulator's seed runs: the fixed CI set (label simulator) and a short
// run among the unit tests.
#include "daemon/core/raft_sim.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <iostream>

namespace {

uint64_t seeds_from_env(uint64_t fallback)
{
    const char* v = std::getenv("KELM_SIM_SEEDS");
    return v != nullptr ? std::strtoull(v, nullptr, 10) : fallback;
}

TEST(RaftSimulator, FixedSeedsHaveNoViolations)
{
    spdlog::set_level(spdlog::level::off);
    const uint64_t count = seeds_from_env(1000);
    const uint64_t violations = raft::sim::run_seeds(1, count, true);
    std::cout << fmt::format("simulator: seeds={} violations={}\n", count, violations);
    EXPECT_EQ(violations, 0u);
}

TEST(RaftSimulator, SameSeedReplaysTheSameRun)
{
    spdlog::set_level(spdlog::level::off);
    raft::sim::sim_options o = raft::sim::seed_options(42, 5);
    o.trace = true;
    const auto a = raft::sim::run_simulation(o);
    const auto b = raft::sim::run_simulation(o);
    EXPECT_EQ(a.trace, b.trace);
    EXPECT_GT(a.steps, 1000u);
    EXPECT_GT(a.committed, 0u);
    EXPECT_GT(a.crashes + a.partitions, 0u);
}

TEST(RaftSimulator, FailoverElectsANewLeader)
{
    spdlog::set_level(spdlog::level::off);
    for (uint64_t seed = 1; seed <= 5; ++seed) {
        const int64_t ns = raft::sim::measure_failover(seed, 3);
        EXPECT_GT(ns, 4'000'000'000) << "nobody campaigns while the leader was heard from";
        EXPECT_LT(ns, 30'000'000'000);
    }
}

}  // namespace
