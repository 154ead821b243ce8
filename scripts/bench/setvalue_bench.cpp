// set-value commit latency on a real cluster: this program is node 1 of the
// configuration it is given (its monitor, UDP transport and SQLite command log, as
// in the daemon) with a writing application; the other nodes are real daemons
// started by setvalue.py. It waits for "ACTIVATE", then times each set-value from
// the call to its return (append, replication to a majority, commit, apply), and
// each service action of the service manager with a Runner that answers at once
// (the action's own cost: its two run-state saves and its bookkeeping).
//
// usage: setvalue_bench CONFIG DB [google benchmark flags]
#include "config/cluster_config.hpp"
#include "daemon/core/log.hpp"
#include "daemon/core/monitor.hpp"
#include "daemon/core/udp.hpp"
#include "daemon/services/actions.hpp"
#include "daemon/services/svc_app.hpp"
#include "platform/process.hpp"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>

namespace {

struct node_one {
    nlohmann::json config;
    std::string db;
    raft::mq_t rx;
    std::vector<std::unique_ptr<raft::mq_t>> queues;
    std::vector<raft::mq_t*> tx;
    std::vector<std::unique_ptr<raft::transport::udp>> endpoints;
    std::unique_ptr<raft::log_sqlite3_t> log;
    monitor::node_monitor mon;
    monitor::app_record app;
    std::promise<void> activated;
    bool announced = false;

    node_one(const std::string& config_path, const std::string& db_path) : db(db_path)
    {
        config = config::load_file(config_path);
        raft::transport::inbound_filter filter;
        std::string own_addr;
        int own_port = 0;
        for (const auto& n : config::entries(config, "nodes"))
            if (n.at("id").get<uint32_t>() == 1) {
                own_addr = n.at("internal_addr").get<std::string>();
                own_port = n.at("kelm_port").get<int>();
            }
        raft::mq_init(&rx, "rx_queue", 1);
        for (const auto& n : config::entries(config, "nodes")) {
            uint32_t id = n.at("id").get<uint32_t>();
            mon.register_runner(id, n.at("internal_addr").get<std::string>(), n.at("runner_port").get<int>());
            if (id == 1) {
                endpoints.push_back(std::make_unique<raft::transport::udp>(own_addr, own_port, "", 0, 0, &rx));
                continue;
            }
            queues.push_back(std::make_unique<raft::mq_t>());
            raft::mq_init(queues.back().get(), "tx_queue", id);
            tx.push_back(queues.back().get());
            endpoints.push_back(std::make_unique<raft::transport::udp>(
                own_addr, 0, n.at("internal_addr").get<std::string>(), n.at("kelm_port").get<int>(), 1,
                queues.back().get()));
            filter.add_peer(id, endpoints.back()->peer_address());
        }
        filter.own_id = 1;
        endpoints.front()->set_filter(filter);
        log = std::make_unique<raft::log_sqlite3_t>(&db);
        log->lock();
        for (auto& ep : endpoints)
            ep->thread = platform::thread_start(raft::transport::transport_thread_main, ep.get(), "rpc");
        log->open();
        app.name = "bench_app";
        app.handler = [this](const std::string& ev, const std::string&) {
            if (ev == "ACTIVATE" && !announced) {
                announced = true;
                activated.set_value();
            }
        };
        mon.start(1, log.get(), &rx, &tx, &config);
        mon.register_app(&app);
    }
};

node_one* node = nullptr;

// Percentiles of the timed calls, in microseconds.
void report_latencies(benchmark::State& state, std::vector<double>& us)
{
    if (us.empty())
        return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    state.counters["max_us"] = us.back();
    state.SetItemsProcessed(static_cast<int64_t>(us.size()));
}

void BM_set_value(benchmark::State& state)
{
    std::vector<double> us;
    uint64_t n = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        bool ok = node->mon.set_value("bench/key", std::to_string(n++));
        const auto t1 = std::chrono::steady_clock::now();
        if (!ok) {
            state.SkipWithError("set-value timed out");
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    report_latencies(state, us);
}
BENCHMARK(BM_set_value)->Iterations(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The monitor of node_one, with a Runner whose every "service" call succeeds at once.
struct instant_runner_port final : svc::monitor_port {
    void call(uint32_t node_id, const std::string& cmd, nlohmann::json& io) override
    {
        if (cmd == "service") {
            io = {{"response", 0}};
            return;
        }
        node->mon.call(node_id, cmd, io);
    }
    void register_app(monitor::app_record*) override {}
    void unregister_app(monitor::app_record*) override {}
    uint64_t term() override { return node->mon.term(); }
    bool leader_lease_held(uint64_t t) override { return node->mon.leader_lease_held(t); }
};

// One start or stop of a service through the service actions; both save the
// run state twice (before and after the Runner call).
void BM_service_action(benchmark::State& state)
{
    instant_runner_port port;
    svc::svc_app app(port, svc::steady_svc_clock());
    app.this_nodeid.store(1);
    svc::service_rec s("bench-svc", "bench-session", node->mon.term());
    std::vector<double> us;
    bool start = true;
    for (auto _ : state) {
        s.run_node.store(1);
        const auto t0 = std::chrono::steady_clock::now();
        try {
            if (start)
                svc::start_service(app, s);
            else
                svc::stop_service(app, s);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
        const auto t1 = std::chrono::steady_clock::now();
        start = !start;
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        std::lock_guard lk(app.main_mutex);
        app.main_queue.clear();  // the stop's assignment request
    }
    report_latencies(state, us);
}
BENCHMARK(BM_service_action)->Iterations(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: setvalue_bench CONFIG DB [benchmark flags]\n");
        return 2;
    }
    spdlog::set_level(spdlog::level::warn);
    static node_one one(argv[1], argv[2]);
    node = &one;
    if (one.activated.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::fprintf(stderr, "no ACTIVATE within 30 s\n");
        platform::process_exit(1);
    }
    std::fprintf(stderr, "node 1 leads; measuring\n");
    int bargc = argc - 2;
    argv[2] = argv[0];
    benchmark::Initialize(&bargc, argv + 2);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::fflush(stdout);
    platform::process_exit(0);
}
