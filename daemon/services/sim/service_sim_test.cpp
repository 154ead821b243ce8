// The service simulator's fixed seeds: a short run among the unit tests and the
// longer CI set (labels simulator and slow); KELM_SIM_SEEDS sets the count.
#include "daemon/services/sim/service_sim.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <iostream>

namespace {

TEST(ServiceSimulator, FixedSeedsHaveNoViolations)
{
    spdlog::set_level(spdlog::level::off);
    const char* v = std::getenv("KELM_SIM_SEEDS");
    const uint64_t count = v != nullptr ? std::strtoull(v, nullptr, 10) : 500;
    const uint64_t violations = svc::sim::run_seeds(1, count, true);
    std::cout << fmt::format("services: seeds={} violations={}\n", count, violations);
    EXPECT_EQ(violations, 0u);
}

}  // namespace
