// `pellix-cluster status` as an operator runs it: process start, configuration
// read, two request/reply exchanges with a (fake) management endpoint answering a
// 3-node cluster with 50 services, the table printed. Reports p50/p99 wall time of
// the runs as counters.
#include "cli/fake_mgmt_endpoint.hpp"
#include "cli/program_run.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

using nlohmann::json;

std::string services_reply(int count)
{
    json items = json::array();
    for (int i = 0; i < count; ++i)
        items.push_back({{"name", "service-" + std::to_string(i)},
                         {"state", "STARTED"},
                         {"run_node", 1 + i % 3},
                         {"enabled", true},
                         {"failed", false}});
    return json{{"response", items}}.dump();
}

void BM_status_50_services(benchmark::State& state)
{
    cli::testing::fake_mgmt_endpoint endpoint;
    json nodes = json::array();
    for (int id = 1; id <= 3; ++id)
        nodes.push_back({{"id", id}, {"nodename", "node" + std::to_string(id)}, {"state", "ONLINE"}, {"enabled", true}});
    endpoint.set_answers({{"node status", json{{"response", nodes}}.dump()}, {"service status", services_reply(50)}});
    char tmpl[] = "/tmp/kelm-clibench-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string config = dir + "/config.json";
    std::ofstream(config) << json{{"cluster", {{"mgmt-url", endpoint.url()}}}}.dump();
    const std::vector<std::string> args{"status", "-c", config};

    std::vector<double> times;
    for (auto _ : state) {
        auto r = cli::testing::run_program(PELLIX_CLUSTER, args);
        if (r.status != 0)
            state.SkipWithError(("status " + std::to_string(r.status) + ": " + r.err).c_str());
        times.push_back(r.seconds);
        state.SetIterationTime(r.seconds);
    }
    std::sort(times.begin(), times.end());
    auto at = [&](double q) { return times[static_cast<size_t>(q * static_cast<double>(times.size() - 1))]; };
    state.counters["p50_ms"] = at(0.50) * 1e3;
    state.counters["p99_ms"] = at(0.99) * 1e3;
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_status_50_services)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
