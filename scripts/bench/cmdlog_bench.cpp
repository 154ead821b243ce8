// Command log: append with its fsync, open of a 100k-entry log (with and without the
// idx index already there), and the lookups the Raft node makes.
// The files go to $KELM_BENCH_DIR, else /var/tmp: fsync figures need a real disk.
#include "daemon/core/log.hpp"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>
#include <sqlite3.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string bench_dir()
{
    const char* base = std::getenv("KELM_BENCH_DIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/var/tmp") + "/kelm-bench.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr)
        std::abort();
    return tmpl;
}

struct scratch {
    std::string dir = bench_dir();
    std::string path = dir + "/kelm.db";
    ~scratch() { std::filesystem::remove_all(dir); }
};

void quiet() { spdlog::set_level(spdlog::level::warn); }

// Fills cmdlog with entries 1..n in one transaction (setup only, not measured).
void fill(const std::string& path, int64_t n, bool drop_index)
{
    {
        raft::log_sqlite3_t log(&path);
        log.open();
    }
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "insert into cmdlog values(?1, ?2, ?3, ?4)", -1, &st, nullptr);
    for (int64_t i = 1; i <= n; ++i) {
        sqlite3_bind_int64(st, 1, i);
        sqlite3_bind_int64(st, 2, 1 + i / 1000);
        sqlite3_bind_text(st, 3, "svc-run-state-pool0", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 4, "{\"state\":1,\"node\":2,\"session\":\"0f8a6c1e-7d35-4b7e-9a51-3c2d9e1f0a44\"}", -1,
                          SQLITE_STATIC);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
    if (drop_index)
        sqlite3_exec(db, "drop index cmdlog_idx", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

void BM_LogAppendDurable(benchmark::State& state)
{
    quiet();
    scratch s;
    raft::log_sqlite3_t log(&s.path);
    log.open();
    uint64_t idx = 0;
    for (auto _ : state) {
        raft::log_entry_t e = raft::log_entry_init(++idx, 3, "svc-run-state-pool0", "{\"state\":1,\"node\":2}");
        log.append(e);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogAppendDurable)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_LogOpen(benchmark::State& state)
{
    quiet();
    scratch s;
    fill(s.path, state.range(0), false);
    for (auto _ : state) {
        raft::log_sqlite3_t log(&s.path);
        log.open();
        benchmark::DoNotOptimize(log.last_index());
    }
}
BENCHMARK(BM_LogOpen)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The first open of a file written before the idx index existed builds it.
void BM_LogFirstOpenOfOldFile(benchmark::State& state)
{
    quiet();
    scratch s;
    fill(s.path, state.range(0), true);
    for (auto _ : state) {
        state.PauseTiming();
        sqlite3* db = nullptr;
        sqlite3_open(s.path.c_str(), &db);
        sqlite3_exec(db, "drop index if exists cmdlog_idx", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        state.ResumeTiming();
        raft::log_sqlite3_t log(&s.path);
        log.open();
        benchmark::DoNotOptimize(log.last_index());
    }
}
BENCHMARK(BM_LogFirstOpenOfOldFile)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Lookups that miss the cached newest pair and go to SQL; argument 0 drops the idx
// index behind the log's back to show what catch-up cost without it.
void BM_LogExistsAndGet(benchmark::State& state)
{
    quiet();
    scratch s;
    fill(s.path, 100000, false);
    raft::log_sqlite3_t log(&s.path);
    log.open();
    if (state.range(0) == 0) {
        sqlite3* db = nullptr;
        sqlite3_open(s.path.c_str(), &db);
        sqlite3_exec(db, "drop index cmdlog_idx", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    uint64_t i = 0;
    for (auto _ : state) {
        uint64_t idx = 1 + (i++ * 7919) % 99990;
        benchmark::DoNotOptimize(log.exists(idx, 1 + idx / 1000));
        benchmark::DoNotOptimize(log.get(idx));
    }
}
BENCHMARK(BM_LogExistsAndGet)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace
