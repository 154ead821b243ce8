// Logging set-up of the daemon.
#include "daemon/core/daemon_logging.hpp"

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/syslog_sink.h>
#include <spdlog/spdlog.h>
#include <syslog.h>

namespace kelm {

void setup_logging()
{
    auto dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
    dist->add_sink(std::make_shared<spdlog::sinks::stdout_color_sink_mt>());
    dist->add_sink(std::make_shared<spdlog::sinks::syslog_sink_mt>("kelm", 0, LOG_LOCAL0, true));
    auto logger = std::make_shared<spdlog::logger>("logger", dist);
    spdlog::set_default_logger(logger);
    spdlog::set_pattern(log_pattern);
}

void set_syslog_ident(uint32_t node_id)
{
    // openlog keeps the pointer: the ident must live for the process.
    static std::string ident;
    ident = "kelm/" + std::to_string(node_id);
    ::closelog();
    ::openlog(ident.c_str(), 0, LOG_LOCAL0);
}

}  // namespace kelm
