// pellix-cluster: the operator's utility. Parses the command line, makes the usage
// checks and runs exactly one command. Single-threaded (ZMQ's I/O thread aside).
//
// Statuses travel to main as `exit_now`; any other exception that leaves a command
// reaches the terminate handler, which reports it in one line with status 1.
#include "cli/build_id.hpp"
#include "cli/cluster_status.hpp"
#include "cli/command_line.hpp"
#include "cli/exit_status.hpp"
#include "cli/ha_disk_report.hpp"
#include "cli/mgmt_client.hpp"
#include "cli/node_service_cmds.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

[[noreturn]] void on_terminate()
{
    const char* text = "unknown exception";
    std::string what;
    if (auto current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            what = e.what();
            text = what.c_str();
        } catch (...) {
        }
    }
    // What was printed before the failure must reach a pipe too.
    std::fflush(stdout);
    std::fprintf(stderr, "Bad reply from kelm (unhandled): %s\n", text);
    std::fflush(stderr);
    std::_Exit(cli::exit_bad_reply);
}

int run(const cli::command_line& line)
{
    using cli::command;
    if (auto bad = cli::check_usage(line)) {
        std::fputs(bad->text.c_str(), stderr);
        return cli::exit_usage;
    }
    switch (line.cmd) {
    case command::status:
        return cli::cluster_status(line.json);
    case command::node_status:
        cli::node_cmd(std::nullopt, "status");
        return cli::exit_ok;
    case command::node_list:
        cli::node_cmd(std::nullopt, "list");
        return cli::exit_ok;
    case command::node_disable:
        cli::node_cmd(line.id, "disable");
        return cli::exit_ok;
    case command::node_enable:
        cli::node_cmd(line.id, "enable");
        return cli::exit_ok;
    case command::node_exit:
        cli::node_cmd(line.id, "exit");
        return cli::exit_ok;
    case command::service_status:
        cli::service_cmd(std::nullopt, "status", std::nullopt, true);
        return cli::exit_ok;
    case command::service_list:
        cli::service_cmd(std::nullopt, "list", std::nullopt, true);
        return cli::exit_ok;
    case command::service_stop:
        cli::service_cmd(line.service_name, "stop", std::nullopt, true);
        return cli::exit_ok;
    case command::service_enable:
        cli::service_cmd(line.service_name, "enable", std::nullopt, true);
        return cli::exit_ok;
    case command::service_disable:
        cli::service_cmd(line.service_name, "disable", std::nullopt, true);
        return cli::exit_ok;
    case command::service_start:
        cli::service_cmd(line.service_name, "start", line.id, true);
        return cli::exit_ok;
    case command::service_move:
        return cli::service_move(*line.service_name, *line.id);
    case command::ha_disk_status: {
        const auto format = line.output ? *cli::parse_output_format(*line.output) : cli::output_format::table;
        std::optional<uint32_t> id;
        if (line.id)
            id = static_cast<uint32_t>(*line.id);  // 1..63, checked above
        return cli::ha_disk_status(cli::config_load(), format, id);
    }
    case command::none:
        break;
    }
    return cli::exit_usage;  // not reached: the parser requires a command
}

}  // namespace

int main(int argc, char** argv)
{
    std::set_terminate(on_terminate);
    const cli::command_line line = cli::parse_command_line(argc, argv, cli::current_utc_year(), cli::build_id);
    switch (line.what) {
    case cli::command_line::help:
        std::printf("%s", line.text.c_str());
        return cli::exit_ok;
    case cli::command_line::error:
        std::fprintf(stderr, "%s\n", line.text.c_str());
        return cli::exit_usage;
    case cli::command_line::version:
        std::printf("pellix-cluster version: %s\n", cli::build_id);
        return cli::exit_ok;
    case cli::command_line::run:
        break;
    }
    if (line.config)
        cli::config_path = *line.config;
    try {
        return run(line);
    } catch (const cli::exit_now& e) {
        return e.status;
    }
}
