// test-svc-actions: runs the service actions through the daemon's own node
// monitor (a single node that leads at once) against real Runners, and prints
// each action's outcome and stored record as one JSON line. A scenario helper:
// the Runner of node 1 is a kelm-runner; node 2's Runner port is closed (its
// calls time out); node 3 is offline.
//
//   test-svc-actions RUNNER1_PORT CLOSED_PORT
#include "daemon/core/memory_log.hpp"
#include "daemon/core/monitor.hpp"
#include "daemon/services/actions.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/svc_app.hpp"
#include "platform/process.hpp"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;

struct row {
    std::string name;  // "ok-*" services start, stop and recover; others fail in poolrun
    std::string action;
    uint32_t node;
    uint32_t before;
    bool stale;
    int64_t term_offset;  // the record's term relative to the leadership's
};

int run(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: test-svc-actions RUNNER1_PORT CLOSED_PORT\n");
        return 2;
    }
    spdlog::set_level(spdlog::level::debug);
    const int runner_port = std::stoi(argv[1]);
    const int closed_port = std::stoi(argv[2]);
    monitor::monitor_register_runner(1, "127.0.0.1", runner_port);
    monitor::monitor_register_runner(2, "127.0.0.1", closed_port);
    monitor::monitor_register_runner(3, "127.0.0.1", closed_port);
    static raft::memory_log_t log;
    static raft::mq_t rx;
    static std::vector<raft::mq_t*> tx;
    static json config = {{"nodes", json::array()}};
    raft::mq_init(&rx, "rx_queue", 1);
    monitor::monitor_start(1, &log, &rx, &tx, &config);
    auto& mon = monitor::instance();
    for (int i = 0; i < 1000 && !(mon.state() == raft::LEADER && mon.kv_get(monitor::SESSION_KEY)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (mon.state() != raft::LEADER) {
        std::fprintf(stderr, "no leadership\n");
        return 1;
    }
    // Node 2 answers heartbeats, so its calls are made (and time out); node 3 stays offline.
    raft::raft_msg_t alive = raft::make_msg(raft::NODE_STATUS, 1, 2, mon.term());
    alive.body.flag = 1;
    mon.act_on(alive);

    svc::svc_app app(svc::daemon_monitor_port(), svc::steady_svc_clock());
    app.this_nodeid.store(1);
    const uint64_t term = mon.term();

    const std::vector<row> rows = {
        {"ok-start", "start", 1, 1, false, 0},        {"fail-start", "start", 1, 1, false, 0},
        {"to-start", "start", 2, 1, false, 0},        {"off-start", "start", 3, 1, false, 0},
        {"ok-stop", "stop", 1, 3, false, 0},          {"fail-stop", "stop", 1, 3, false, 0},
        {"to-stop", "stop", 2, 3, false, 0},          {"ok-stalestop", "stop", 1, 3, true, 0},
        {"fail-stalestop", "stop", 1, 3, true, 0},    {"ok-recover", "recovery", 1, 5, false, 0},
        {"ok-stalerecover", "recovery", 1, 6, true, 0}, {"fail-recover", "recovery", 1, 5, false, 0},
        {"off-recover", "recovery", 3, 5, false, 0},  {"ok-oldterm", "start", 1, 1, false, -1},
    };
    for (const auto& r : rows) {
        svc::service_rec s(r.name, "S", term + r.term_offset);
        s.state = r.before;
        s.run_node = r.node;
        if (r.stale)
            s.mark_stale();
        std::string thrown;
        try {
            if (r.action == "start")
                svc::start_service(app, s);
            else if (r.action == "stop")
                svc::stop_service(app, s);
            else
                svc::recover_service(app, s);
        } catch (const std::exception& e) {
            thrown = e.what();
        }
        std::string stored;
        if (auto v = mon.kv_get(svc::runstate_key(r.name)))
            stored = *v;
        json out = {{"name", r.name},         {"state", s.state.load()},     {"retries", s.retries.load()},
                    {"run_node", s.run_node.load()}, {"stale", s.is_stale()}, {"last_error", s.last_error},
                    {"stored", stored},       {"thrown", thrown}};
        std::printf("ROW %s\n", out.dump().c_str());
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int status = 1;
    try {
        status = run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    platform::process_exit(status);
}
