// kelm-runner's command line, parsed with CLI11.
#include "runner/runner_options.hpp"

#include "config/cluster_config.hpp"

#include <CLI/CLI.hpp>
#include <spdlog/spdlog.h>

namespace runner {

parsed_options parse_options(int argc, const char* const* argv)
{
    parsed_options out;
    CLI::App app("kelm-runner: carries out service and fencing actions on its node for the cluster daemon",
                 "kelm-runner");
    app.set_help_flag("-h,--help", "Display this help menu");
    out.opts.config_path = config::default_path;
    app.add_option("-c,--configuration-file", out.opts.config_path, "Set configuration file")
        ->option_text("CONFIG_FILE");
    app.add_option("-n,--node-id", out.opts.node_id, "The node this Runner serves")
        ->option_text("NODE_ID")
        ->required()
        ->check(CLI::Range(1, 63));
    app.add_option("-l", out.opts.log_level, "Set log level")->option_text("debug|info|warning|error|critical");
    out.summary = app.help();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out.what = parsed_options::help;
        return out;
    } catch (const CLI::ParseError& e) {
        out.what = parsed_options::error;
        out.error_text = e.what();
        return out;
    }
    if (spdlog::level::from_str(out.opts.log_level) == spdlog::level::off) {
        out.what = parsed_options::error;
        out.error_text = "Wrong log level";
    }
    return out;
}

}  // namespace runner
