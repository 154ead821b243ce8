// The service manager's event plumbing: post_event and doevent throughput, and
// the size of the postponed list and the main queue over an hour of simulated
// node flapping (ticks run back to back, no sleeping).
#include "daemon/services/fake_monitor.hpp"
#include "daemon/services/svc_app.hpp"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <random>
#include <thread>

namespace {

using namespace svc;

struct bench_app {
    fake_monitor mon{1, {1, 2, 3}};
    svc_app app{mon, steady_svc_clock()};
};

// One post_event (payload built, pushed under main_mutex) and its removal.
void BM_PostEvent(benchmark::State& state)
{
    bench_app b;
    const uint32_t kind = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        b.app.post_event(kind, 2);
        std::lock_guard lk(b.app.main_mutex);
        b.app.main_queue.pop_front();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostEvent)->Arg(kind_assign)->Arg(kind_node_online);

// Producers post while one consumer drains, as the activation's loop does.
void BM_PostEventContended(benchmark::State& state)
{
    static bench_app* b = nullptr;
    static std::atomic<bool> stop{false};
    static std::thread consumer;
    if (state.thread_index() == 0) {
        b = new bench_app();
        stop = false;
        consumer = std::thread([] {
            std::unique_lock lk(b->app.main_mutex);
            while (!stop.load()) {
                b->app.main_cond.wait_for(lk, std::chrono::milliseconds(1), [] { return !b->app.main_queue.empty(); });
                b->app.main_queue.clear();
            }
        });
    }
    for (auto _ : state)
        b->app.post_event(kind_service_pass, 2);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        stop = true;
        consumer.join();
        delete b;
    }
}
BENCHMARK(BM_PostEventContended)->Threads(1)->Threads(4)->UseRealTime();

// doevent as the monitor calls it, its info line going to a logger that drops it
// (level warn) or formats it into a null sink (level info).
void BM_DoEvent(benchmark::State& state)
{
    bench_app b;
    spdlog::set_level(state.range(0) ? spdlog::level::info : spdlog::level::warn);
    const bool online = state.range(1) != 0;
    for (auto _ : state) {
        if (online) {
            b.app.doevent("NODE-ONLINE", "5");
            std::lock_guard lk(b.app.main_mutex);
            b.app.postponed.clear();
        } else {
            b.app.doevent("NODE-STOP", "2");
            std::lock_guard lk(b.app.main_mutex);
            b.app.main_queue.clear();
        }
    }
    spdlog::set_level(spdlog::level::warn);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DoEvent)->ArgsProduct({{0, 1}, {0, 1}})->ArgNames({"logged", "online"});

// An hour of flapping: every second each of 8 nodes goes offline or online with
// probability 1/2 (so most delays are cut short by the next change), every
// serving node's pass asks for a rerun, and the activation drains the queue. The
// counters give the largest list and queue seen, and their sizes at the end.
void BM_FlappingHour(benchmark::State& state)
{
    for (auto _ : state) {
        bench_app b;
        std::mt19937 rng(42);
        size_t max_postponed = 0, max_queue = 0, passed = 0;
        for (int second = 0; second < 3600; ++second) {
            for (uint32_t n = 1; n <= 8; ++n) {
                if (rng() & 1)
                    b.app.doevent((rng() & 1) ? "NODE-ONLINE" : "NODE-OFFLINE", std::to_string(n));
                b.app.postpone_add(kind_service_pass, n, pass_rerun_delay);
            }
            std::lock_guard lk(b.app.main_mutex);
            max_postponed = std::max(max_postponed, b.app.postponed.size());
            for (const auto& p : postpone_tick(b.app.postponed))
                b.app.queue_push(make_event(p.kind, p.node));
            max_queue = std::max(max_queue, b.app.main_queue.size());
            passed += b.app.main_queue.size();
            b.app.main_queue.clear();
        }
        std::lock_guard lk(b.app.main_mutex);
        state.counters["max_postponed"] = static_cast<double>(max_postponed);
        state.counters["max_queue"] = static_cast<double>(max_queue);
        state.counters["end_postponed"] = static_cast<double>(b.app.postponed.size());
        state.counters["events_passed"] = static_cast<double>(passed);
        state.counters["max_postponed_bytes"] =
            static_cast<double>(max_postponed * (sizeof(postponed_event) + 2 * sizeof(void*)));
    }
}
BENCHMARK(BM_FlappingHour)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv)
{
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("null"));
    spdlog::set_level(spdlog::level::warn);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
