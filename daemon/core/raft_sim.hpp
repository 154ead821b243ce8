// A deterministic, seeded cluster simulator over raft_node_t: several nodes on
// durable in-memory logs, a simulated network (loss, duplication, delay and
// reordering, partitions and heals), crashes and restarts, and a simulated
// clock. It checks the Raft safety properties after every step and liveness once
// the network heals. Single-threaded; one seed always replays the same run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace raft::sim {

struct sim_options {
    uint64_t seed = 1;
    int nodes = 3;
    int64_t chaos_ns = 30'000'000'000;     // faults are injected during this time
    // Then the network heals and a post-heal proposal must commit within this.
    // Every refused pre-vote or vote request restarts the refuser's election
    // timer, so nodes that cannot win can hold back the one that could for a
    // while: over 100,000 seeds the slowest recovery took about 70 s.
    int64_t liveness_ns = 120'000'000'000;
    double loss = 0.05;
    double duplicate = 0.05;
    int64_t min_delay_ns = 100'000;
    int64_t max_delay_ns = 30'000'000;
    bool partitions = true;
    bool crashes = true;
    bool proposals = true;
    bool trace = false;  // keep a readable trace of every event
};

struct sim_result {
    uint64_t seed = 0;
    uint64_t steps = 0;
    uint64_t messages = 0;       // protocol records put on the network
    uint64_t committed = 0;      // entries known committed at the end
    uint64_t leader_terms = 0;   // terms that had a leader
    uint64_t crashes = 0;
    uint64_t partitions = 0;
    int64_t heal_to_commit_ns = -1;  // time from heal to the first post-heal commit
    std::vector<std::string> violations;
    std::vector<std::string> trace;  // filled when options.trace is set
};

sim_result run_simulation(const sim_options& options);

// Time (simulated ns) from crashing a settled leader to a new leader, on a
// fault-free network; -1 when none came within 60 s.
int64_t measure_failover(uint64_t seed, int nodes);

// The options a seed stands for: node count (3 for even seeds, 5 for odd ones,
// unless nodes is given), loss, duplication and delay drawn from the seed.
sim_options seed_options(uint64_t seed, int nodes);

// Runs seeds [first, first + count), alternating 3 and 5 nodes, and prints each
// failing seed's violations and its trace to stderr. Returns the violation count.
uint64_t run_seeds(uint64_t first, uint64_t count, bool verbose);

}  // namespace raft::sim
