// nodefence's parsers over a full-size cluster's tool output (63 ports, 62
// sessions), and the cost of starting one tool through run_capture.
#include "nodeactions/ctl_ports.hpp"
#include "nodeactions/iscsi_sessions.hpp"
#include "nodeactions/tool_runner.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

std::string portlist(int ports)
{
    std::string out = "<ctlportlist>\n";
    for (int i = 0; i < ports; ++i) {
        out += "<targ_port id=\"" + std::to_string(i) + "\">\n\t<frontend_type>iscsi</frontend_type>\n";
        out += "\t<port_type>16</port_type>\n\t<online>YES</online>\n\t<port_name>iscsi</port_name>\n";
        out += "\t<target>iqn.2026-01.test:node" + std::to_string(i) + "</target>\n</targ_port>\n";
    }
    return out + "</ctlportlist>\n";
}

std::string session_list(int sessions)
{
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < sessions; ++i) {
        nlohmann::json luns = nlohmann::json::array();
        for (int l = 0; l < 8; ++l)
            luns.push_back({{"lun", l}, {"device", "da" + std::to_string(i * 8 + l)}});
        list.push_back({{"id", i + 1},
                        {"name", "node_" + std::to_string(i + 2)},
                        {"state", "Connected"},
                        {"target", {{"name", "iqn.2026-01.test:node1"}, {"portal", "10.0.0." + std::to_string(i + 2)}}},
                        {"devices", {{"lun", luns}}}});
    }
    return nlohmann::json{{"iscsictl", {{"session", list}}}}.dump();
}

void bm_portlist_parse(benchmark::State& state)
{
    const std::string text = portlist(static_cast<int>(state.range(0)));
    std::string err;
    for (auto _ : state) {
        auto ports = nodeactions::ctl_portlist_parse(text, &err);
        benchmark::DoNotOptimize(nodeactions::ctl_port_find(*ports, "iqn.2026-01.test:node40"));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(bm_portlist_parse)->Arg(4)->Arg(63);

void bm_sessions_parse(benchmark::State& state)
{
    const std::string text = session_list(static_cast<int>(state.range(0)));
    std::string err;
    for (auto _ : state) {
        auto sessions = nodeactions::iscsi_sessions_parse(text, &err);
        benchmark::DoNotOptimize(nodeactions::iscsi_session_find(*sessions, "10.0.0.40"));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(bm_sessions_parse)->Arg(3)->Arg(62);

void bm_run_capture_true(benchmark::State& state)
{
    std::string err;
    for (auto _ : state)
        benchmark::DoNotOptimize(nodeactions::run_capture("/bin/true", {}, &err));
}
BENCHMARK(bm_run_capture_true)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
