// Raft benchmarks: simulator speed, the leader's commit rule on a long log,
// election time after a leader crash and messages per committed entry (both in
// simulated time, over many seeds).
#include "daemon/core/memory_log.hpp"
#include "daemon/core/raft_node.hpp"
#include "daemon/core/raft_sim.hpp"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <vector>

namespace {

void BM_SimulatorRun(benchmark::State& state)
{
    spdlog::set_level(spdlog::level::off);
    uint64_t seed = 1;
    uint64_t steps = 0;
    for (auto _ : state) {
        const auto r = raft::sim::run_simulation(raft::sim::seed_options(seed++, static_cast<int>(state.range(0))));
        steps += r.steps;
        benchmark::DoNotOptimize(r.committed);
    }
    state.counters["steps/s"] = benchmark::Counter(static_cast<double>(steps), benchmark::Counter::kIsRate);
    state.counters["seeds/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SimulatorRun)->Arg(3)->Arg(5)->Unit(benchmark::kMillisecond);

// A fresh leader of term 2 over a log whose entries are all of term 1, with
// every peer matched: nothing can commit until an entry of term 2 arrives.
struct old_term_log {
    raft::memory_log_t log;
    std::vector<raft::raft_peer_t> peers{4};
    explicit old_term_log(uint64_t n)
    {
        for (uint64_t i = 1; i <= n; ++i)
            log.append(raft::log_entry_init(i, 1, "k", "v"));
        for (auto& p : peers)
            p.match = n;
    }
};

// Scanning every index from the newest down to the commit index, each step.
void BM_CommitRuleFullRescan(benchmark::State& state)
{
    old_term_log f(static_cast<uint64_t>(state.range(0)));
    const uint64_t term = 2, commit = 0, majority = 2;
    for (auto _ : state) {
        uint64_t c = commit;
        for (uint64_t n = f.log.last_index(); n > commit; --n) {
            if (f.log.get(n).term != term)
                continue;
            uint64_t count = 0;
            for (const auto& p : f.peers)
                count += p.match >= n ? 1 : 0;
            if (count >= majority) {
                c = n;
                break;
            }
        }
        benchmark::DoNotOptimize(c);
    }
}
BENCHMARK(BM_CommitRuleFullRescan)->Arg(1000)->Arg(10000)->Arg(100000);

// The node's rule: the index majority peers hold, then one read of its term.
void BM_CommitRuleQuorumIndex(benchmark::State& state)
{
    old_term_log f(static_cast<uint64_t>(state.range(0)));
    const uint64_t term = 2, commit = 0, majority = 2;
    for (auto _ : state) {
        uint64_t c = commit;
        const uint64_t n = raft::raft_quorum_index(f.peers, majority, f.log.last_index());
        if (n > c && f.log.get(n).term == term)
            c = n;
        benchmark::DoNotOptimize(c);
    }
}
BENCHMARK(BM_CommitRuleQuorumIndex)->Arg(1000)->Arg(10000)->Arg(100000);

// Simulated seconds from crashing a settled leader to the next leader; 2 nodes
// are an HA pair, whose survivor takes the disks over first.
void BM_ElectionTimeAfterLeaderCrash(benchmark::State& state)
{
    spdlog::set_level(spdlog::level::off);
    std::vector<double> secs;
    for (auto _ : state) {
        secs.clear();
        for (uint64_t seed = 1; seed <= 300; ++seed) {
            const int nodes = static_cast<int>(state.range(0));
            const int64_t ns = raft::sim::measure_failover(seed, nodes, nodes == 2);
            if (ns >= 0)
                secs.push_back(static_cast<double>(ns) / 1e9);
        }
    }
    std::sort(secs.begin(), secs.end());
    auto at = [&](double q) { return secs.empty() ? -1.0 : secs[static_cast<size_t>(q * static_cast<double>(secs.size() - 1))]; };
    state.counters["min_s"] = at(0);
    state.counters["p50_s"] = at(0.5);
    state.counters["p90_s"] = at(0.9);
    state.counters["p99_s"] = at(0.99);
    state.counters["max_s"] = at(1);
    state.counters["elected"] = static_cast<double>(secs.size());
}
BENCHMARK(BM_ElectionTimeAfterLeaderCrash)->Arg(2)->Arg(3)->Arg(5)->Iterations(1)->Unit(benchmark::kMillisecond);

// Protocol records per committed entry: on a clean network, and with faults.
void BM_MessagesPerCommittedEntry(benchmark::State& state)
{
    spdlog::set_level(spdlog::level::off);
    const bool faults = state.range(1) != 0;
    uint64_t messages = 0, committed = 0;
    for (auto _ : state) {
        for (uint64_t seed = 1; seed <= 50; ++seed) {
            raft::sim::sim_options o = raft::sim::seed_options(seed, static_cast<int>(state.range(0)));
            if (!faults) {
                o.loss = 0;
                o.duplicate = 0;
                o.max_delay_ns = 2'000'000;
                o.crashes = false;
                o.partitions = false;
            }
            const auto r = raft::sim::run_simulation(o);
            messages += r.messages;
            committed += r.committed;
        }
    }
    state.counters["msgs/entry"] = committed == 0 ? 0 : static_cast<double>(messages) / static_cast<double>(committed);
}
BENCHMARK(BM_MessagesPerCommittedEntry)->Args({3, 0})->Args({5, 0})->Args({3, 1})->Args({5, 1})->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
