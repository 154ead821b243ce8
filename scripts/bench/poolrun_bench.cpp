// poolrun's own costs: the netmask parse, the address presence test (one rtnetlink
// dump of this namespace, read only), hook selection in a directory of 200 entries,
// and one hook run (fork, exec of a trivial script, wait).
#include "nodeactions/service_addrs.hpp"
#include "nodeactions/service_hooks.hpp"

#include <benchmark/benchmark.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

void quiet_logs()
{
    auto sink = std::make_shared<spdlog::sinks::null_sink_mt>();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("bench", sink));
}

struct hook_tree {
    std::string root;
    hook_tree()
    {
        char tmpl[] = "/tmp/kelm-hookbench-XXXXXX";
        root = ::mkdtemp(tmpl);
        std::filesystem::create_directories(root + "/service.d");
        for (int i = 0; i < 200; ++i) {
            char name[32];
            std::snprintf(name, sizeof(name), i % 2 == 0 ? "%03d.hook" : "x%03d", i);
            const std::string path = root + "/service.d/" + name;
            std::ofstream(path) << "#!/bin/sh\nexit 0\n";
            ::chmod(path.c_str(), 0755);
        }
        std::filesystem::create_directories(root + "/one.d");
        std::ofstream(root + "/one.d/001.true") << "#!/bin/sh\nexit 0\n";
        ::chmod((root + "/one.d/001.true").c_str(), 0755);
    }
    ~hook_tree()
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
};

void BM_netmask_parse(benchmark::State& state)
{
    const char* forms[] = {"", "24", "255.255.255.0", "0xffffff00", "33"};
    for (auto _ : state)
        for (const char* f : forms)
            benchmark::DoNotOptimize(nodeactions::netmask_parse(f));
}
BENCHMARK(BM_netmask_parse);

void BM_presence_on_loopback(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(nodeactions::ext_ip_presence("lo", "127.0.0.1"));
}
BENCHMARK(BM_presence_on_loopback)->Unit(benchmark::kMicrosecond);

void BM_hook_selection_200_entries(benchmark::State& state)
{
    hook_tree tree;
    for (auto _ : state)
        benchmark::DoNotOptimize(nodeactions::hook_list(tree.root + "/service.d", true));
}
BENCHMARK(BM_hook_selection_200_entries)->Unit(benchmark::kMicrosecond);

void BM_one_hook_run(benchmark::State& state)
{
    hook_tree tree;
    quiet_logs();
    nodeactions::hook_runner runner(tree.root + "/one.d", tree.root + "/pools", 1, std::chrono::seconds(240));
    for (auto _ : state)
        runner.run_pool_hooks("tank", "onestart", true, "svc");
}
BENCHMARK(BM_one_hook_run)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
