// Reservation devices over the emulated disks: one command's latency (lock, JSON
// state, rename, journal) with p50/p99, a register-reserve-read-release pass over
// three disks as the disk voter makes it, and the flap guard's cost per call.
// The disks live under $KELM_BENCH_DIR (default /var/tmp).
#include "platform/emulated/disk_emul.hpp"
#include "reservation/guarded_resv.hpp"
#include "reservation/nvme.hpp"
#include "reservation/scsi.hpp"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

using namespace FreeBSD::reservation;

// A fresh emulated root with the named disks, removed at the end.
struct emulated_disks {
    std::filesystem::path root;
    explicit emulated_disks(std::initializer_list<std::pair<const char*, const char*>> disks)
    {
        const char* base = std::getenv("KELM_BENCH_DIR");
        root = std::filesystem::path(base ? base : "/var/tmp") / ("kelm_resv_bench." + std::to_string(::getpid()));
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
        ::setenv("KELM_EMUL_ROOT", root.c_str(), 1);
        ::setenv("KELM_EMUL_HOST", "node1", 1);
        std::string err;
        for (auto [name, proto] : disks)
            platform::disk_emul::create_disk(name, proto, &err);
    }
    ~emulated_disks() { std::filesystem::remove_all(root); }
};

void percentiles(benchmark::State& state, std::vector<double>& us)
{
    if (us.empty())
        return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

template <typename Device>
void BM_OneCommand(benchmark::State& state, const char* name, const char* proto)
{
    emulated_disks disks({{name, proto}});
    Device dev(name, true);
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        bool ok = dev.registrate(1);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        if (!ok)
            state.SkipWithError("registrate failed");
    }
    percentiles(state, us);
}
void BM_ScsiCommand(benchmark::State& state)
{
    BM_OneCommand<scsi>(state, "da1", "scsi");
}
BENCHMARK(BM_ScsiCommand);

void BM_NvmeCommand(benchmark::State& state)
{
    BM_OneCommand<nvme>(state, "nvme0ns1", "nvme");
}
BENCHMARK(BM_NvmeCommand);

void BM_PassOverThreeDisks(benchmark::State& state)
{
    emulated_disks disks({{"da1", "scsi"}, {"da2", "scsi"}, {"nvme0ns1", "nvme"}});
    std::vector<std::unique_ptr<resv>> devs;
    devs.push_back(std::make_unique<scsi>("da1", true));
    devs.push_back(std::make_unique<scsi>("da2", true));
    devs.push_back(std::make_unique<nvme>("nvme0ns1", true));
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (auto& d : devs) {
            bool ok = d->registrate(1) && d->acquire(1) && d->holds(1) && d->is_registered(1) && d->release(1);
            if (!ok)
                state.SkipWithError("pass failed");
        }
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    percentiles(state, us);
}
BENCHMARK(BM_PassOverThreeDisks);

// A device that answers at once, so only the guard's own work is measured.
class instant : public resv {
public:
    instant() : resv("mem0") {}
    bool registrate(uint64_t k) override { return k != 0; }
    bool unregistrate(uint64_t) override { return true; }
    bool release(uint64_t) override { return true; }
    bool acquire(uint64_t) override { return true; }
    bool preempt(uint64_t, uint64_t) override { return true; }
    bool is_registered(uint32_t) override { return true; }
    bool holds(uint32_t) override { return true; }
    bool registered_key(uint32_t n, uint64_t& k) override
    {
        k = n;
        return true;
    }
};

void BM_DirectCall(benchmark::State& state)
{
    instant dev;
    resv* r = &dev;
    benchmark::DoNotOptimize(r);
    for (auto _ : state)
        benchmark::DoNotOptimize(r->registrate(1));
}
BENCHMARK(BM_DirectCall);

void BM_GuardedCall(benchmark::State& state)
{
    instant dev;
    guarded_resv guard(&dev, 3, 600000000000ULL, guarded_resv::steady_now, nullptr);
    resv* r = &guard;
    benchmark::DoNotOptimize(r);
    for (auto _ : state)
        benchmark::DoNotOptimize(r->registrate(1));
}
BENCHMARK(BM_GuardedCall);

}  // namespace

BENCHMARK_MAIN();
