// raft_sim_soak: runs any number of simulator seeds and prints one summary line;
// with --trace it prints the full trace of each seed (for replaying a failure).
#include "daemon/core/raft_sim.hpp"

#include <fmt/format.h>

#include <spdlog/spdlog.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

int main(int argc, char** argv)
{
    spdlog::set_level(std::getenv("KELM_SIM_LOG") ? spdlog::level::info : spdlog::level::off);
    uint64_t first = 1;
    uint64_t count = 100000;
    bool trace = false;
    int nodes = 0;
    bool stats = false;
    bool pairs = false;
    double liveness_s = 0;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--seed") == 0 && has_value)
            first = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--count") == 0 && has_value)
            count = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--nodes") == 0 && has_value)
            nodes = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--liveness") == 0 && has_value)
            liveness_s = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--trace") == 0)
            trace = true;
        else if (std::strcmp(argv[i], "--stats") == 0)
            stats = true;
        else if (std::strcmp(argv[i], "--pairs") == 0)
            pairs = true;
        else {
            std::cerr << "usage: raft_sim_soak [--seed FIRST] [--count N] [--nodes 3|4|5] [--liveness SECONDS] [--trace] [--stats] [--pairs]\n";
            return 12;
        }
    }
    uint64_t violations = 0;
    if (trace || stats || nodes != 0 || liveness_s > 0) {
        for (uint64_t seed = first; seed < first + count; ++seed) {
            raft::sim::sim_options o = pairs ? raft::sim::pair_seed_options(seed) : raft::sim::seed_options(seed, nodes);
            o.trace = trace;
            if (liveness_s > 0)
                o.liveness_ns = static_cast<int64_t>(liveness_s * 1e9);
            const auto r = raft::sim::run_simulation(o);
            for (const auto& line : r.trace)
                std::cout << line << "\n";
            if (stats)
                std::cout << fmt::format("seed {} nodes {}: steps {} messages {} in-transit {} committed {} leader terms {} "
                                         "crashes {} partitions {} pauses {} late {} heal-to-commit {:.3f} s{}\n",
                                         seed, o.nodes, r.steps, r.messages, r.max_in_transit, r.committed,
                                         r.leader_terms, r.crashes,
                                         r.partitions, r.pauses, r.late, static_cast<double>(r.heal_to_commit_ns) / 1e9,
                                         pairs ? fmt::format(" takeovers {} lost-at-takeover {} preemptions {} dueling {} rewinds {}",
                                                             r.takeovers, r.lost_at_takeover, r.preemptions, r.dueling, r.rewinds)
                                               : "");
            for (const auto& v : r.violations)
                std::cerr << fmt::format("seed {}: {}\n", seed, v);
            violations += r.violations.size();
        }
    } else {
        violations = raft::sim::run_seeds(first, count, true, pairs);
    }
    std::cout << fmt::format("simulator: seeds={} violations={}\n", count, violations);
    return violations == 0 ? 0 : 1;
}
