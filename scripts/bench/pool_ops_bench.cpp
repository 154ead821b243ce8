// Pool-layer costs: one emulated pool call (flock, read, rewrite, rename) and the
// /proc holder scan with 500 extra processes. p50/p99 reported as counters.
#include "nodeactions/pool_ops.hpp"
#include "platform/emulated/zfs_emul.hpp"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

namespace emul = platform::zfs_emul;

struct emulated_world {
    std::string root;
    emulated_world()
    {
        char tmpl[] = "/tmp/kelm-bench-XXXXXX";
        root = ::mkdtemp(tmpl);
        ::setenv("KELM_EMUL_ROOT", root.c_str(), 1);
        ::setenv("KELM_EMUL_HOST", "node1", 1);
        std::string err;
        // A cluster-sized world: ten pools, half of them imported here.
        for (int i = 0; i < 10; ++i) {
            emul::json spec{{"name", "pool" + std::to_string(i)}, {"zvols", {"vol0", "vol1"}}};
            if (i % 2 == 0)
                spec["imported_by"] = {{"node1", emul::json::object()}};
            emul::create_pool(spec, &err);
        }
    }
    ~emulated_world()
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
};

void percentiles(benchmark::State& state, std::vector<double>& us)
{
    if (us.empty())
        return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// One read-modify-write of the shared state, as every mutating pool call does.
void BM_emulated_state_write(benchmark::State& state)
{
    emulated_world world;
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        std::string err;
        bool ok = emul::with_state(
            [](emul::json& s, std::vector<emul::json>& ops) {
                s["pools"]["1"]["status"] = 0;
                ops.push_back({{"op", "bench"}});
                return true;
            },
            &err);
        benchmark::DoNotOptimize(ok);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    percentiles(state, us);
}
BENCHMARK(BM_emulated_state_write)->Unit(benchmark::kMicrosecond);

// pool_is_imported: library start plus one open, each a locked state read.
void BM_pool_is_imported(benchmark::State& state)
{
    emulated_world world;
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        auto p = nodeactions::pool_is_imported("pool4");
        benchmark::DoNotOptimize(p);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    percentiles(state, us);
}
BENCHMARK(BM_pool_is_imported)->Unit(benchmark::kMicrosecond);

// find_pool_holders with 500 more processes on the machine.
void BM_holder_scan_500_processes(benchmark::State& state)
{
    emulated_world world;
    std::vector<pid_t> children;
    for (int i = 0; i < 500; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::pause();
            ::_exit(0);
        }
        if (pid > 0)
            children.push_back(pid);
    }
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        std::string err;
        auto holders = nodeactions::find_pool_holders("pool0", &err);
        benchmark::DoNotOptimize(holders);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    for (pid_t pid : children)
        ::kill(pid, SIGKILL);
    for (pid_t pid : children)
        ::waitpid(pid, nullptr, 0);
    percentiles(state, us);
    state.counters["processes_added"] = static_cast<double>(children.size());
}
BENCHMARK(BM_holder_scan_500_processes)->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
