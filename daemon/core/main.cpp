// kelm: start-up, the 200 ms main loop and the ordered shutdown.
// Signals: the handler only stores the signal number in one atomic word; the main
// loop takes it with an exchange and hands it to the monitor.
#include "config/cluster_config.hpp"
#include "daemon/core/config_check.hpp"
#include "daemon/core/daemon_logging.hpp"
#include "daemon/core/daemon_options.hpp"
#include "daemon/core/ha_fence_link.hpp"
#include "daemon/core/log.hpp"
#include "daemon/core/monitor.hpp"
#include "daemon/core/mq.hpp"
#include "daemon/core/udp.hpp"
#include "platform/emulation.hpp"
#include "platform/process.hpp"
#include "reservation/haresv.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Before any static initialiser starts a thread: block the stop signals so every
// thread inherits the block; main unblocks them for itself once its handlers exist.
__attribute__((constructor(101))) void block_stop_signals_early()
{
    platform::block_stop_signals();
}

std::string config_path = config::default_path;
std::string db_path = platform::system_path("/var/db/kelm.db");

// 0: nothing pending; otherwise the last signal received.
std::atomic<int64_t> pending_signal{0};
static_assert(std::atomic<int64_t>::is_always_lock_free);

extern "C" void signal_handler(int signo)
{
    pending_signal.store(signo);
}

bool install_handler(int signo)
{
    struct sigaction sa {};
    sa.sa_handler = signal_handler;
    sigemptyset(&sa.sa_mask);
    return ::sigaction(signo, &sa, nullptr) == 0;
}

// More descriptors for a daemon that a stranger can make open connections: the
// soft open-file limit goes up to the hard one. The management endpoint keeps
// its client connections to half of it, so a flood leaves the other half to the
// command log, the Raft sockets and the Runner calls. (FreeBSD may report the
// hard limit as infinity and caps the soft one at kern.maxfilesperproc itself;
// Linux caps the hard limit at fs.nr_open.)
void raise_open_file_limit()
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        spdlog::warn("[main] cannot read the open-file limit: {}", std::strerror(errno));
        return;
    }
    if (rl.rlim_cur == rl.rlim_max)
        return;
    const rlim_t was = rl.rlim_cur;
    rl.rlim_cur = rl.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &rl) != 0)
        spdlog::warn("[main] cannot raise the open-file limit from {} to the hard limit {}: {}", was, rl.rlim_max,
                     std::strerror(errno));
    else
        spdlog::info("[main] open-file limit raised from {} to {}", was, rl.rlim_max);
}

[[noreturn]] void usage_error(const std::string& text, const std::string& summary)
{
    std::fprintf(stderr, "%s\n%s", text.c_str(), summary.c_str());
    platform::process_exit(1);
}

[[noreturn]] void start_failure(const std::string& line)
{
    spdlog::error("{}", line);
    platform::process_exit(1);
}

struct daemon_state {
    nlohmann::json config;
    std::string hostname;
    uint32_t node_id = raft::NODE_NONE;
    std::string own_addr;
    uint16_t own_port = 0;
    raft::mq_t rx_queue;
    std::vector<std::unique_ptr<raft::mq_t>> queues;  // owns the tx_queues
    std::vector<raft::mq_t*> transport_queues;
    std::vector<std::unique_ptr<raft::transport::netsock>> endpoints;
    raft::transport::udp* server = nullptr;  // the own node's endpoint, among `endpoints`
    raft::transport::inbound_filter filter;   // who may send to it
    raft::mq_t* ha_queue = nullptr;           // the disk voter's input, tag 67
    config::ha_settings ha;
    std::unique_ptr<raft::log_sqlite3_t> log;
    int self_matches = 0;
};

raft::mq_t* new_tx_queue(daemon_state& st, uint32_t tag)
{
    st.queues.push_back(std::make_unique<raft::mq_t>());
    raft::mq_t* q = st.queues.back().get();
    st.transport_queues.push_back(q);
    raft::mq_init(q, "tx_queue", tag);
    return q;
}

// The line before "node to start not found": what was looked for, and what the
// configuration offers.
std::string own_node_context(const daemon_state& st, const std::vector<nlohmann::json>& nodes)
{
    std::string offered;
    for (const auto& n : nodes) {
        offered += offered.empty() ? "" : ", ";
        offered += std::to_string(config::required<uint32_t>(n, "id")) + " (" +
                   config::required<std::string>(n, "nodename") + ")";
    }
    const std::string wanted = st.node_id == raft::NODE_NONE ? "no -n node id" : "node id " + std::to_string(st.node_id);
    return fmt::format("[main] {} and host name '{}' match no usable entry of \"nodes\" in '{}'; configured: {}",
                       wanted, st.hostname, config_path, offered.empty() ? "none" : offered);
}

// Steps 11-13: own node, endpoints, HA. JSON errors propagate to the caller.
void read_nodes(daemon_state& st)
{
    if (!st.config.is_object())
        (void)st.config.at("nodes");  // the JSON library's own error for a non-object document
    const auto nodes = config::entries(st.config, "nodes");
    bool matched = false;
    for (const auto& n : nodes) {
        uint32_t id = config::required<uint32_t>(n, "id");
        std::string name = config::required<std::string>(n, "nodename");
        if (id == st.node_id || name == st.hostname) {
            matched = true;
            st.own_addr = config::required<std::string>(n, "internal_addr");
            // A 16-bit port without a range check: every node reads the file alike.
            st.own_port = static_cast<uint16_t>(config::required<int>(n, "kelm_port"));
            if (st.own_addr.empty())
                spdlog::error("[main] the entry of node {} ('{}') in '{}' has an empty internal_addr", id, name,
                              config_path);
            st.node_id = id;
            break;
        }
    }
    if (st.own_addr.empty()) {
        if (!matched)
            spdlog::error("{}", own_node_context(st, nodes));
        start_failure("[main] node to start not found");
    }

    for (const auto& n : nodes) {
        uint32_t id = config::required<uint32_t>(n, "id");
        std::string addr = config::required<std::string>(n, "internal_addr");
        std::string name = config::required<std::string>(n, "nodename");
        int kelm_port = config::required<int>(n, "kelm_port");
        int runner_port = config::required<int>(n, "runner_port");
        spdlog::info("[main] ID: {} Nodename: {} Host: {} Port: {}", id, name, addr, kelm_port);
        monitor::monitor_register_runner(id, addr, runner_port);
        if (id == st.node_id || name == st.hostname) {
            ++st.self_matches;
            raft::mq_init(&st.rx_queue, "rx_queue", id);
            st.node_id = id;
            auto server = std::make_unique<raft::transport::udp>(st.own_addr, st.own_port, "", 0, 0, &st.rx_queue);
            st.server = server.get();
            st.endpoints.push_back(std::move(server));
        } else {
            raft::mq_t* q = new_tx_queue(st, id);
            auto client = std::make_unique<raft::transport::udp>(st.own_addr, 0, addr, kelm_port, 1, q);
            // The peer's records are believed only from the address we send it to.
            st.filter.add_peer(id, client->peer_address());
            st.endpoints.push_back(std::move(client));
        }
    }

    if (st.config.is_object() && st.config.contains("ha")) {
        spdlog::info("[main] HA enabled");
        const auto& ha = st.config.at("ha");
        if (ha.is_object() && ha.contains("disks")) {
            for (const auto& d : ha.at("disks"))
                spdlog::info("[main] HA add disk: '{}' to reservation group", d.get<std::string>());
        }
        if (auto refusal = kelm::check_ha_flap_settings(st.config))
            start_failure(*refusal);
        st.ha = config::read_ha(st.config);
        st.ha_queue = new_tx_queue(st, raft::NODE_HA);
    }
}

int run(int argc, char** argv)
{
    auto parsed = kelm::parse_daemon_options(argc, argv);
    if (parsed.what == kelm::parse_outcome::help) {
        std::fputs(parsed.summary.c_str(), stdout);
        platform::process_exit(0);
    }
    if (parsed.what == kelm::parse_outcome::error)
        usage_error(parsed.error_text, parsed.summary);
    const auto& opt = parsed.options;
    if (opt.config_file)
        config_path = *opt.config_file;
    if (opt.db_file)
        db_path = *opt.db_file;
    if (opt.transport)
        spdlog::warn("[main] --transport is deprecated and ignored; Raft transport is always UDP");

    platform::thread_set_name("main");
    kelm::setup_logging();
    if (opt.log_level) {
        auto level = spdlog::level::from_str(*opt.log_level);
        if (level == spdlog::level::off)
            usage_error("Wrong log level", parsed.summary);
        spdlog::set_level(level);
    }

    if (!install_handler(SIGINT))
        start_failure("[main] Can't setup SIGINT handler");
    if (!install_handler(SIGTERM) || !install_handler(SIGQUIT))
        start_failure("[main] Can't setup SIGTERM handler");
    platform::unblock_stop_signals();

    spdlog::info("[main] KELM started");
    raise_open_file_limit();
    // Never freed: the monitor keeps pointers to the configuration, the queues and
    // the command log, and an application thread may still be inside a call that
    // walks them (a late "kelm-exit") when main returns. They end with the process.
    static daemon_state* const state = new daemon_state;
    daemon_state& st = *state;
    st.hostname = platform::get_hostname();
    try {
        st.config = config::load_file(config_path);
    } catch (const std::exception& e) {
        // The parser's text ("unexpected end of input") names no file.
        if (::access(config_path.c_str(), R_OK) != 0)
            spdlog::error("[main] can't read configuration file '{}': {}", config_path, std::strerror(errno));
        else
            spdlog::error("[main] configuration file '{}' is not valid JSON", config_path);
        start_failure(std::string("[main] ") + e.what());
    }
    st.node_id = opt.node_id.value_or(raft::NODE_NONE);
    try {
        read_nodes(st);
        if (st.node_id == raft::NODE_NONE) {
            spdlog::error("[main] the entry found for host name '{}' in '{}' has id 64, which is no node",
                          st.hostname, config_path);
            start_failure("[main] node to start not found");
        }
        if (auto refusal = kelm::check_daemon_config(st.config, st.self_matches))
            start_failure(*refusal);
    } catch (const nlohmann::json::exception& e) {
        start_failure(std::string("[main] ") + e.what());
    }

    kelm::set_syslog_ident(st.node_id);

    // The disk voter, last among the endpoints: it is created only once the pair
    // has passed the start-up check, so no disk is touched for a refused one.
    if (st.ha_queue != nullptr)
        st.endpoints.push_back(std::make_unique<raft::transport::haresv>(
            1, st.ha_queue, &st.rx_queue, st.node_id, st.ha.disks, static_cast<uint64_t>(st.ha.flap_threshold),
            static_cast<uint64_t>(st.ha.flap_window_sec), &kelm::daemon_ha_link()));

    // Only configured peers, from their configured addresses, may address this node;
    // the server drops everything else.
    if (st.server == nullptr)
        start_failure("[main] node to start not found");
    st.filter.own_id = st.node_id;
    st.server->set_filter(st.filter);

    // One daemon per database: refuse before any endpoint thread runs.
    st.log = std::make_unique<raft::log_sqlite3_t>(&db_path);
    st.log->lock();

    for (auto& ep : st.endpoints)
        ep->thread = platform::thread_start(raft::transport::transport_thread_main, ep.get(),
                                            ep->mode == 0 ? "rpc-server" : "rpc-client");

    st.log->open();
    monitor::monitor_start(st.node_id, st.log.get(), &st.rx_queue, &st.transport_queues, &st.config);

    for (;;) {
        if (int64_t signo = pending_signal.exchange(0); signo != 0)
            monitor::monitor_signal(static_cast<int>(signo));
        monitor::monitor_recheck_stop();
        if (monitor::monitor_exit_requested())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }

    monitor::monitor_stop();
    for (auto& ep : st.endpoints) {
        ep->stop.exchange(true);
        raft::raft_msg_t stop = raft::make_msg(raft::STOP_THREAD, 0, 0, 0);
        raft::mq_push(ep->queue, &stop);
        pthread_join(ep->thread, nullptr);
    }
    spdlog::info("[main] KELM exit");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int status = 1;
    try {
        status = run(argc, argv);
    } catch (const std::exception& e) {
        spdlog::error("[main] {}", e.what());
    } catch (...) {
        spdlog::error("[main] unexpected failure");
    }
    platform::process_exit(status);
}
