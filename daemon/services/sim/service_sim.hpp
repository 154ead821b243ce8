// The service simulator: the real service manager (one svc_app per daemon
// instance, with do_execute, s_postpone and the management requests) over
// simulated monitors and the simulated pool world, driven by a seeded schedule
// of faults and operator requests on the virtual clock, with the safety checks
// after every step and the settling checks at the quiet point at its end.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace svc::sim {

struct sim_result {
    std::vector<std::pair<std::string, std::string>> violations;  // kind, text
    std::vector<std::string> trace;
    double virtual_seconds = 0;
};

sim_result run_seed(uint64_t seed);

// Runs `count` seeds from `first`; prints each failing seed's violations (and,
// with `traces`, its trace) on stderr, and keeps its trace in
// "<trace_dir>/seed-N.txt" when trace_dir is not empty (a rerun may pass).
// Returns the number of violations.
uint64_t run_seeds(uint64_t first, uint64_t count, bool traces, std::map<std::string, uint64_t>* by_kind = nullptr,
                   const std::string& trace_dir = "");

}  // namespace svc::sim
