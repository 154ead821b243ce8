// Benchmarks of the pool event hook: INI parsing, and one whole publish (connect,
// login, channel, declare, publish, close) against a running broker.
//
// The publish needs a broker: start one with
//   tests/rabbitmq_broker.py start /tmp/bench-broker/state.json
// and run with KELM_BROKER_STATE=/tmp/bench-broker/state.json (stop it the same way).
#include "hooks/notify/amqp_publisher.hpp"
#include "hooks/notify/ini_file.hpp"
#include "hooks/notify/notify_event.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

const char* typical_config =
    "# dispatcher of the site\n"
    "[AMQP]\n"
    "Host = 10.0.0.5\n"
    "Port = 5672\n"
    "Vhost = storage\n"
    "Timeout = 5\n"
    "Heartbeat = 0\n"
    "\n"
    "[Event]\n"
    "User = pellix\n"
    "Password = secret\n";

void BM_ParseIni(benchmark::State& state)
{
    for (auto _ : state) {
        auto data = notify::parse_ini(typical_config);
        benchmark::DoNotOptimize(notify::settings_from_ini(data));
    }
}
BENCHMARK(BM_ParseIni);

void BM_PublishEvent(benchmark::State& state)
{
    const char* path = std::getenv("KELM_BROKER_STATE");
    if (path == nullptr) {
        state.SkipWithError("KELM_BROKER_STATE is not set (see the head of this file)");
        return;
    }
    nlohmann::json broker;
    std::ifstream(path) >> broker;
    notify::broker_settings settings;
    settings.host = broker["host"].get<std::string>();
    settings.port = broker["port"].get<int>();
    settings.vhost = "notify";
    settings.timeout_s = 5;
    settings.user = broker["user"].get<std::string>();
    settings.password = broker["password"].get<std::string>();
    notify::pool_event event{"start", "bench", "1"};
    for (auto _ : state) {
        if (!notify::publish_event(settings, event, stderr)) {
            state.SkipWithError("publish failed");
            return;
        }
    }
}
BENCHMARK(BM_PublishEvent)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
