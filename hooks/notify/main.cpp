// 099.notify: the pool event hook. Publishes one AMQP message per pool start or stop
// and always exits 0, so that it never holds up the pool action that ran it.
#include "hooks/notify/amqp_publisher.hpp"
#include "hooks/notify/ini_file.hpp"
#include "hooks/notify/notify_event.hpp"
#include "platform/emulation.hpp"
#include "platform/process.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

void print_usage(const char* program)
{
    std::printf(
        "%s: publish an AMQP event when a pool goes up or down on this node.\n"
        "\n"
        "Each run sends one message to the durable direct exchange \"ctrl\" with the\n"
        "routing key \"dispatch\", the headers action, pool and nodeId, and the body \"<>\".\n"
        "\n"
        "Usage: %s ACTION\n"
        "  ACTION  an action string ending in start or stop; it selects the published\n"
        "          action (\"start\" or \"stop\"), so onestart and restart give start\n"
        "\n"
        "Environment (required):\n"
        "  PELLIX_POOL     name of the pool\n"
        "  PELLIX_NODE_ID  id of this node\n"
        "\n"
        "Configuration file: %s\n"
        "  [AMQP]   Host, Port, Vhost, Timeout, Heartbeat  (broker connection)\n"
        "  [Event]  User, Password                         (publisher credentials)\n"
        "\n"
        "Normally run by the service control program as a service hook. On any error it\n"
        "writes to standard error and exits 0, so that it never blocks a pool start or stop.\n",
        program, program, notify::config_path);
}

std::string env_text(const char* name)
{
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

void run(int argc, char** argv)
{
    if (argc < 2) {
        print_usage(argc > 0 ? argv[0] : "099.notify");
        return;
    }
    auto action = notify::action_from_argument(argv[1]);
    if (!action) {
        std::fprintf(stderr, "Unknown param: %s", argv[1]);
        return;
    }
    notify::pool_event event{*action, env_text("PELLIX_POOL"), env_text("PELLIX_NODE_ID")};
    if (event.pool.empty()) {
        std::fputs("PELLIX_POOL is not set\n", stderr);
        return;
    }
    if (event.node_id.empty()) {
        std::fputs("PELLIX_NODE_ID is not set\n", stderr);
        return;
    }
    // Sites without a dispatcher have no file: that is not worth a line on every pool action.
    auto ini = notify::load_ini(platform::system_path(notify::config_path));
    if (!ini)
        return;
    auto settings = notify::settings_from_ini(*ini);
    if (!settings) {
        std::fputs("099.notify: AMQP Host/Port is not configured\n", stderr);
        return;
    }
    notify::publish_event(*settings, event, stderr);
}

}  // namespace

int main(int argc, char** argv)
{
    // A broker that drops the connection must not kill the hook with SIGPIPE:
    // the caller relies on exit status 0.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "099.notify: %s\n", e.what());
    } catch (...) {
        std::fputs("099.notify: unexpected error\n", stderr);
    }
    platform::process_exit(0);
}
