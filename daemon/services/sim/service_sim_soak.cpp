// service_sim_soak: runs service simulator seeds and prints one summary line;
// with --trace each failing seed's trace follows its violations on stderr, with
// --trace-dir it is kept in DIR/seed-N.txt.
#include "daemon/services/sim/service_sim.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    spdlog::set_level(std::getenv("KELM_SIM_LOG") ? spdlog::level::info : spdlog::level::off);
    uint64_t first = 1;
    uint64_t count = 1000;
    bool trace = false;
    std::string trace_dir;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--seed") == 0 && has_value)
            first = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--count") == 0 && has_value)
            count = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--trace") == 0)
            trace = true;
        else if (std::strcmp(argv[i], "--trace-dir") == 0 && has_value)
            trace_dir = argv[++i];
        else {
            std::cerr << "usage: service_sim_soak [--seed FIRST] [--count N] [--trace] [--trace-dir DIR]\n";
            return 12;
        }
    }
    std::map<std::string, uint64_t> kinds;
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t violations = svc::sim::run_seeds(first, count, trace, &kinds, trace_dir);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (const auto& [kind, seeds] : kinds)
        std::cerr << fmt::format("services: seeds {}..{}: {} seed(s) with {}\n", first, first + count - 1, seeds, kind);
    std::cerr << fmt::format("services: {} seeds in {:.1f} s ({:.1f} seeds/s)\n", count, secs, count / secs);
    std::cout << fmt::format("services: seeds={} violations={}\n", count, violations);
    return violations == 0 ? 0 : 1;
}
