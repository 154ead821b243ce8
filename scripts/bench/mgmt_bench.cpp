// The management endpoint under load: an activated endpoint (broker, five
// workers) over loopback TCP, with a fake monitor holding 50 services' run-state
// records and a service manager that answers at once. Reports the latency of a
// full "service status" (50 items) and of a mutating request (the endpoint's own
// overhead beyond the service manager), single client and eight clients.
#include "daemon/mgmt/mgmt_test_util.hpp"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <algorithm>

namespace {

using namespace mgmt::test;

struct bench_endpoint {
    endpoint_rig rig;
    bench_endpoint()
    {
        json services = json::array();
        for (int i = 0; i < 50; ++i) {
            const std::string name = "svc" + std::to_string(i);
            services.push_back({{"name", name}, {"pool", "pool" + std::to_string(i)}});
            rig.mon.kv["svc-" + name + "-runstate"] =
                json{{"session_id", "S1"}, {"state", 3}, {"run_node", 1 + i % 3}, {"enabled", true}, {"failed", false}}
                    .dump();
        }
        rig.mon.config["services"] = services;
        rig.svc.answer = [](const json&) { return json(nullptr); };
        rig.app->doevent("ACTIVATE", "S1");
        if (!ask_until_up(rig.url, R"({"call":"help"})"))
            throw std::runtime_error("endpoint not up");
    }
};

bench_endpoint& shared()
{
    static bench_endpoint* e = new bench_endpoint();
    return *e;
}

void run_requests(benchmark::State& state, const std::string& request)
{
    client c(shared().rig.url, std::chrono::milliseconds(5000));
    std::vector<double> us;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        auto reply = c.ask(request);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        if (!reply || reply->find("\"error\"") != std::string::npos)
            state.SkipWithError("no reply or an error reply");
    }
    std::sort(us.begin(), us.end());
    if (!us.empty()) {
        // Per client, averaged over the clients.
        state.counters["p50_us"] = benchmark::Counter(us[us.size() / 2], benchmark::Counter::kAvgThreads);
        state.counters["p99_us"] =
            benchmark::Counter(us[std::min(us.size() - 1, us.size() * 99 / 100)], benchmark::Counter::kAvgThreads);
    }
    state.counters["req_per_s"] = benchmark::Counter(static_cast<double>(us.size()), benchmark::Counter::kIsRate);
}

void BM_ServiceStatus50(benchmark::State& state)
{
    run_requests(state, R"({"call":"service","cmd":"status","requestId":1})");
}
BENCHMARK(BM_ServiceStatus50)->UseRealTime()->Threads(1)->Threads(8);

void BM_MutatingRequest(benchmark::State& state)
{
    run_requests(state, R"({"call":"service","cmd":"stop","serviceName":"svc1","requestId":1})");
}
BENCHMARK(BM_MutatingRequest)->UseRealTime()->Threads(1)->Threads(8);

void BM_Help(benchmark::State& state)
{
    run_requests(state, R"({"call":"help"})");
}
BENCHMARK(BM_Help)->UseRealTime()->Threads(1);

}  // namespace

int main(int argc, char** argv)
{
    spdlog::set_level(spdlog::level::warn);  // the mutating requests' info lines are not what is measured
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    shared().rig.stop();
    return 0;
}
