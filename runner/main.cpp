// kelm-runner: the stand-in Runner of one node. Serves msgpack-RPC at the node's
// internal_addr and runner_port and carries out "service" and "fence-node" with the
// node action programs installed beside it. The stop signals are blocked in every
// thread; the main thread only waits for them.
#include "config/cluster_config.hpp"
#include "platform/emulation.hpp"
#include "platform/process.hpp"
#include "rpc/server.hpp"
#include "runner/node_lookup.hpp"
#include "runner/operations.hpp"
#include "runner/runner_options.hpp"
#include "runner/self_path.hpp"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const std::string& line)
{
    spdlog::error("[runner] {}", line);
    platform::process_exit(1);
}

void setup_logging(const std::string& level)
{
    auto logger = std::make_shared<spdlog::logger>("runner", std::make_shared<spdlog::sinks::stdout_sink_mt>());
    spdlog::set_default_logger(logger);
    spdlog::set_pattern("[%Y-%m-%d %T.%e] [%L] [%t] %v");
    spdlog::set_level(spdlog::level::from_str(level));
    spdlog::flush_on(spdlog::level::trace);
}

int run(int argc, char** argv)
{
    platform::block_stop_signals();  // before any thread exists: all of them inherit it
    auto parsed = runner::parse_options(argc, argv);
    if (parsed.what == runner::parsed_options::help) {
        std::fputs(parsed.summary.c_str(), stdout);
        return 0;
    }
    if (parsed.what == runner::parsed_options::error) {
        std::fprintf(stderr, "%s\n%s", parsed.error_text.c_str(), parsed.summary.c_str());
        return 1;
    }
    const auto& opt = parsed.opts;
    platform::thread_set_name("main");
    setup_logging(opt.log_level);

    nlohmann::json doc;
    try {
        doc = config::load_file(opt.config_path);
    } catch (const std::exception& e) {
        fail("can't read configuration " + opt.config_path + ": " + e.what());
    }
    runner::own_node node;
    try {
        node = runner::find_own_node(doc, opt.node_id);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    // Several nodes share one machine and one emulated platform: the programs must
    // see this node's host name, not the machine's.
    if (platform::emulated_root())
        ::setenv(platform::emul_host_env, node.nodename.c_str(), 1);

    runner::settings settings{opt.config_path, runner::executable_dir()};
    if (settings.bin_dir.empty())
        fail("can't find the directory of kelm-runner");
    runner::operations ops(settings);
    std::unique_ptr<rpc::server> srv;
    try {
        srv = std::make_unique<rpc::server>(node.internal_addr, node.runner_port);
    } catch (const std::exception& e) {
        fail("can't serve at " + node.internal_addr + ":" + std::to_string(node.runner_port) + ": " + e.what());
    }
    ops.bind_to(*srv);
    // The daemon sends its call as soon as it is connected; a connection that stays
    // silent this long is not the daemon's.
    srv->set_idle_timeout(std::chrono::seconds(60));
    srv->start();
    spdlog::info("[runner] serving node {} ({}) at {}:{}, programs from {}", node.id, node.nodename,
                 node.internal_addr, node.runner_port, settings.bin_dir);

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGQUIT);
    int signo = 0;
    while (sigwait(&stop, &signo) != 0) {
    }
    // Calls in progress are not waited for: their programs run on by themselves, and
    // the daemon reads the lost connection as "outcome unknown, try again".
    spdlog::info("[runner] exit on signal {}", signo);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int status = 1;
    try {
        status = run(argc, argv);
    } catch (const std::exception& e) {
        spdlog::error("[runner] {}", e.what());
    } catch (...) {
        spdlog::error("[runner] unexpected failure");
    }
    platform::process_exit(status);
}
