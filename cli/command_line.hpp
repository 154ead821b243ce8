// pellix-cluster's command line: the command tree, the parse, and the usage
// checks that main makes before a command runs. Pure: nothing here prints or
// exits, so the whole grammar is tested in-process.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cli {

enum class command {
    none,
    status,
    node_status,
    node_list,
    node_disable,
    node_enable,
    node_exit,
    service_status,
    service_list,
    service_stop,
    service_enable,
    service_disable,
    service_start,
    service_move,
    ha_disk_status,
};

enum class output_format { table = 0, json = 1 };

struct command_line {
    enum kind { run, help, version, error } what = run;
    std::string text;       // help: the help text; error: the parser's line (no newline)
    std::string help_text;  // the selected command's help, for missing-option reports
    command cmd = command::none;
    std::optional<std::string> config;        // -c/--config
    bool json = false;                        // status --json
    std::optional<int> id;                    // --id, or --dst-id for service move
    std::optional<std::string> service_name;  // -s/--service-name (empty counts as given)
    std::optional<std::string> output;        // ha disk status --output, as typed
};

// Parses argv. `year` and `build_id` fill the epilog of the help text.
command_line parse_command_line(int argc, const char* const* argv, int year, const std::string& build_id);

// "--opt=" with nothing after the '=' becomes "--opt" followed by an empty
// argument, so an empty value counts as given (the parser would refuse it).
std::vector<std::string> split_empty_long_values(int argc, const char* const* argv);

// Exactly "json" or "table"; anything else gives no value.
std::optional<output_format> parse_output_format(const std::string& text);

// A failed usage check: the text for standard error; the status is 12.
struct usage_error {
    std::string text;
};

// The per-command checks made after parsing, in order: missing options, then the
// node id range, (ha disk status: --output before --id).
std::optional<usage_error> check_usage(const command_line& line);

// The current calendar year as a UTC civil date.
int current_utc_year();

}  // namespace cli
