// msgpack-RPC round trips on loopback: the daemon's way (a new connection per call),
// a kept connection, the Runner's own "ping" and a "service" call that runs a
// program that does nothing (the fork and exec cost of every action).
#include "rpc/client.hpp"
#include "rpc/server.hpp"
#include "runner/operations.hpp"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

struct ping_server {
    rpc::server srv{"127.0.0.1", 0};
    ping_server()
    {
        srv.bind("ping", [](const msgpack::object&) { return rpc::value::of(std::string("{\"response\":\"pong\"}")); });
        srv.start();
    }
};

void BM_PingNewConnection(benchmark::State& state)
{
    ping_server s;
    for (auto _ : state) {
        rpc::client c("127.0.0.1", s.srv.port());
        if (!c.connect())
            state.SkipWithError("no connection");
        benchmark::DoNotOptimize(c.call("ping"));
    }
}
BENCHMARK(BM_PingNewConnection)->UseRealTime();

void BM_PingKeptConnection(benchmark::State& state)
{
    ping_server s;
    rpc::client c("127.0.0.1", s.srv.port());
    if (!c.connect())
        state.SkipWithError("no connection");
    for (auto _ : state)
        benchmark::DoNotOptimize(c.call("ping"));
}
BENCHMARK(BM_PingKeptConnection)->UseRealTime();

struct runner_server {
    std::string dir;
    std::unique_ptr<runner::operations> ops;
    rpc::server srv{"127.0.0.1", 0};
    runner_server()
    {
        char tmpl[] = "/tmp/kelm-rpc-bench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        std::filesystem::create_symlink("/bin/true", dir + "/poolrun");
        ops = std::make_unique<runner::operations>(runner::settings{"/dev/null", dir});
        ops->bind_to(srv);
        srv.start();
    }
    ~runner_server()
    {
        srv.stop();
        std::filesystem::remove_all(dir);
    }
};

void BM_RunnerPingNewConnection(benchmark::State& state)
{
    spdlog::set_level(spdlog::level::warn);
    runner_server s;
    for (auto _ : state) {
        rpc::client c("127.0.0.1", s.srv.port());
        if (!c.connect())
            state.SkipWithError("no connection");
        benchmark::DoNotOptimize(c.call("ping"));
    }
}
BENCHMARK(BM_RunnerPingNewConnection)->UseRealTime();

void BM_RunnerServiceWithTrivialProgram(benchmark::State& state)
{
    spdlog::set_level(spdlog::level::warn);
    runner_server s;
    const std::string arg = "{\"cmd\":\"start\",\"serviceName\":\"svc1\"}";
    for (auto _ : state) {
        rpc::client c("127.0.0.1", s.srv.port());
        if (!c.connect())
            state.SkipWithError("no connection");
        benchmark::DoNotOptimize(c.call("service", arg));
    }
}
BENCHMARK(BM_RunnerServiceWithTrivialProgram)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
