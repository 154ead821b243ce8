// `pellix-cluster ha disk status` over 16 emulated disks (12 SCSI, 4 NVMe), both
// nodes of the pair registered and node 1 holding every reservation: the report
// in-process (reading the disks, summary, rendering), table and JSON, with
// p50/p99; and the whole command as a process, start-up included. The disks
// live under $KELM_BENCH_DIR (default /var/tmp).
#include "cli/ha_disk_report.hpp"
#include "cli/program_run.hpp"
#include "platform/emulated/disk_emul.hpp"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace de = platform::disk_emul;
using nlohmann::json;

struct sixteen_disks {
    std::filesystem::path root;
    json config;
    sixteen_disks()
    {
        const char* base = std::getenv("KELM_BENCH_DIR");
        root = std::filesystem::path(base ? base : "/var/tmp") / ("kelm_ha_report_bench." + std::to_string(::getpid()));
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
        ::setenv("KELM_EMUL_ROOT", root.c_str(), 1);
        ::setenv("KELM_EMUL_HOST", "alpha", 1);
        std::string err;
        json disks = json::array();
        for (int i = 0; i < 16; ++i) {
            const bool nvme = i % 4 == 3;
            const std::string name = nvme ? "nvme" + std::to_string(i) + "ns1" : "da" + std::to_string(i);
            de::create_disk(name, nvme ? "nvme" : "scsi", &err);
            de::setup_command(name, "beta", "register", 0, 2, 0, &err);
            de::setup_command(name, "alpha", "register", 0, 1, 0, &err);
            de::setup_command(name, "alpha", "reserve", 2, 1, 0, &err);
            disks.push_back(name);
        }
        config = {{"nodes", json::array({{{"id", 1}, {"nodename", "alpha"}}, {{"id", 2}, {"nodename", "beta"}}})},
                  {"ha", {{"disks", disks}}}};
        std::ofstream(root / "config.json") << config.dump();
    }
    ~sixteen_disks() { std::filesystem::remove_all(root); }
};

void percentiles(benchmark::State& state, std::vector<double>& us)
{
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

void BM_Report16Disks(benchmark::State& state)
{
    sixteen_disks world;
    const auto format = state.range(0) ? cli::output_format::json : cli::output_format::table;
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        auto o = cli::ha_disk_status_run(world.config, format, std::nullopt, "alpha", true);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        if (o.status != 0)
            state.SkipWithError("report failed");
    }
    percentiles(state, us);
}
BENCHMARK(BM_Report16Disks)->Arg(0)->Arg(1)->ArgName("json");

void BM_Command16Disks(benchmark::State& state)
{
    sixteen_disks world;
    std::vector<double> us;
    for (auto _ : state) {
        auto r = cli::testing::run_program(PELLIX_CLUSTER,
                                           {"ha", "disk", "status", "-c", (world.root / "config.json").string()});
        us.push_back(r.seconds * 1e6);
        if (r.status != 0)
            state.SkipWithError("command failed");
    }
    percentiles(state, us);
}
BENCHMARK(BM_Command16Disks)->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
