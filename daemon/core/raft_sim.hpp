// A deterministic, seeded cluster simulator over raft_node_t: several nodes on
// durable in-memory logs, a simulated network (loss, duplication, delay and
// reordering, a small share of messages seconds late, partitions that may be
// one-way), crashes (some losing what the command log had not synced) and
// restarts, process pauses, faults aimed at a leader just elected, and a
// simulated clock. It checks the Raft safety properties after every step (a
// ghost of every committed entry is held against every node's log; one leader
// per term; log matching; leader completeness) and the rules they rest on where
// a broken one rarely shows as lost data (a vote goes only to an up-to-date
// log; a leader counts only true matches, only responses of its term, and
// commits by count only an entry of its own term), then liveness once the
// network heals. Single-threaded; one seed always replays the same run.
//
// A pair (two nodes) runs as an HA pair does: each node has its HA disk voter
// (peer 67, the real endpoint step function) over shared in-memory disks with
// SCSI-like reservations, which fail as disks do (lost paths, a refused
// command, late answers). There the checks add: never two nodes that both
// believe they hold the reservation on a quorum and lead at once (beyond the
// moment a stopped process needs to re-read the disks), and committed entries
// are lost only where the pair's design allows it: an entry committed through
// the voter alone lives on the leader's disk only, and a node whose log never
// held it may later lead without it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace raft::sim {

struct sim_options {
    uint64_t seed = 1;
    int nodes = 3;
    int leadership_disabled = 0;           // how many nodes never campaign
    int64_t chaos_ns = 30'000'000'000;     // faults are injected during this time
    // Then the network heals: a post-heal proposal must commit, and every node
    // apply it, within this. Every pre-vote or vote request restarts the
    // receiver's election timer, refused or not, so nodes that cannot win can
    // hold back the one that could for a while: over 100,000 seeds the slowest
    // recovery took about 70 s (the median is 1.6 s).
    int64_t liveness_ns = 120'000'000'000;
    double loss = 0.05;
    double duplicate = 0.05;
    int64_t min_delay_ns = 100'000;
    int64_t max_delay_ns = 30'000'000;
    double late = 0.0;               // share of messages delayed 1-12 s
    double new_leader_fault = 0.0;   // chance a new leader is crashed or cut off within ms
    double power_loss = 0.5;         // share of crashes that lose what was not synced
    bool partitions = true;          // splits, isolated nodes and one-way links
    bool crashes = true;
    bool pauses = true;              // a node stopped 2-12 s, timers included
    bool proposals = true;
    // Steps (records handed to nodes) after which the seed fails: a storm of
    // messages must not run for ever. A storm fails the seed sooner when the
    // records in transit at once outnumber every node's full socket buffer by
    // a thousand.
    uint64_t step_budget = 2'000'000;
    bool trace = false;  // keep a readable trace of every event
    bool pair = false;   // two nodes, each with its HA disk voter (nodes must be 2)
    int disks = 3;       // the pair's shared disks
    // Pairs: disk faults in the chaos period: a node's path to one disk or all
    // lost for 0.3-20 s, one command refused, commands answered 0.3-3 s late.
    bool disk_faults = false;
};

struct sim_result {
    uint64_t seed = 0;
    uint64_t steps = 0;
    uint64_t messages = 0;       // protocol records put on the network
    uint64_t max_in_transit = 0;  // records in transit at once, at most (a storm fails the seed)
    uint64_t committed = 0;      // entries known committed at the end
    uint64_t leader_terms = 0;   // terms that had a leader
    uint64_t crashes = 0;
    uint64_t partitions = 0;
    uint64_t pauses = 0;
    uint64_t late = 0;           // messages delayed by seconds
    uint64_t disk_faults = 0;    // pairs: lost paths, refused commands, slow spells
    int64_t heal_to_commit_ns = -1;  // time from heal to the first post-heal commit
    // Pairs only.
    uint64_t takeovers = 0;          // leaders elected by their own voter alone
    uint64_t lost_at_takeover = 0;   // leader-only entries such a takeover dropped
    uint64_t preemptions = 0;
    uint64_t dueling = 0;            // pre-emptions answering the other node's within 10 s
    // Nodes that had applied entries committed on an old leader's disk only, which
    // a new leader lacked, dropped them and followed again (FSM_REWIND).
    uint64_t rewinds = 0;
    // The first safety violation ends the run; a liveness line is added only
    // to a run that broke no safety rule.
    std::vector<std::string> violations;
    std::vector<std::string> trace;  // filled when options.trace is set
};

sim_result run_simulation(const sim_options& options);

// Time (simulated ns) from crashing a settled leader to a new leader, on a
// fault-free network; -1 when none came within 60 s. `pair`: two nodes with
// their disk voters (the survivor must take the disks first), whose every disk
// command the survivor's disks answer `disk_delay_ns` late. `until_commit`: until
// the new leader has committed an entry of its own term (what its services wait for).
int64_t measure_failover(uint64_t seed, int nodes, bool pair = false, int64_t disk_delay_ns = 0,
                         bool until_commit = false);

// The options a seed stands for: node count (3, 4 or 5 by seed, unless nodes is
// given), loss, duplication, delay, the share of late messages, the new-leader
// fault and leadership-disabled nodes drawn from the seed.
sim_options seed_options(uint64_t seed, int nodes);
// The same for an HA pair: two nodes with their disk voters, three disks; one
// seed in two has disk faults.
sim_options pair_seed_options(uint64_t seed);

// Runs seeds [first, first + count) (pairs when `pairs`) and prints each failing
// seed's violations and its trace to stderr. Returns the violation count.
uint64_t run_seeds(uint64_t first, uint64_t count, bool verbose, bool pairs = false);

}  // namespace raft::sim
