// Node monitor. Start-up stand-in until the monitor lands: no Raft node, so no
// leader is ever known and a stop signal makes the daemon exit.
#include "daemon/core/monitor.hpp"

#include "platform/process.hpp"

#include <spdlog/spdlog.h>

#include <atomic>
#include <csignal>

namespace monitor {

namespace {
std::atomic<bool> started{false};
std::atomic<bool> exit_requested{false};
}  // namespace

void monitor_register_runner(uint32_t id, const std::string& addr, int port)
{
    spdlog::debug("[monitor] register runner id: {}, addr: {}, port: {}", id, addr, port);
}

void monitor_start(uint32_t, raft::log_t*, raft::mq_t*, std::vector<raft::mq_t*>*, const nlohmann::json*)
{
    started.store(true);
}

void monitor_signal(int signo)
{
    if (signo != SIGINT && signo != SIGTERM && signo != SIGQUIT)
        platform::process_exit(1);
    spdlog::warn("[monitor] Leader not found, exit immediately");
    exit_requested.store(true);
}

bool monitor_exit_requested() { return exit_requested.load(); }

void monitor_stop() {}

}  // namespace monitor
