// The command tree of pellix-cluster on CLI11, and the usage checks.
//
// CLI11 is bent to the utility's own rules: global options are accepted after any
// command word (fallthrough, set before the sub-commands are added so they inherit
// it); an option given twice keeps its last value; flags take no "=value"; a
// missing command word is reported after parsing as "Command is required"; node ids
// are read as text and converted decimal-only (CLI11 would read "010" as octal 8).
#include "cli/command_line.hpp"

#include "cli/decimal_int.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>

namespace cli {

namespace {

constexpr const char* global_group = "Global options";

// The option objects of the command that runs; null where the command has none.
struct leaf {
    command cmd;
    CLI::App* app;
    CLI::Option* id = nullptr;
    CLI::Option* name = nullptr;
    CLI::Option* json = nullptr;
    CLI::Option* output = nullptr;
};

// A node id option: text converted decimal-only; the range is checked later.
const CLI::Validator decimal_id(
    [](std::string& text) -> std::string {
        return parse_decimal_int(text) ? std::string() : "Value " + text + " is not a decimal integer";
    },
    "", "");

// A service name goes into a JSON request, which must be valid UTF-8.
const CLI::Validator utf8_text(
    [](std::string& text) -> std::string {
        try {
            (void)nlohmann::json(text).dump();
            return {};
        } catch (const nlohmann::json::type_error&) {
            return "Value is not valid UTF-8";
        }
    },
    "", "");

// Every command's help lists the global options, although the root owns all but
// the command's own help flag.
class help_formatter : public CLI::Formatter {
public:
    explicit help_formatter(const CLI::App* root) : root_(root) {}

    std::string make_group(std::string group, bool is_positional, std::vector<const CLI::Option*> opts) const override
    {
        if (group == global_group)
            opts = root_->get_options([](const CLI::Option* o) { return o->get_group() == global_group; });
        return CLI::Formatter::make_group(std::move(group), is_positional, std::move(opts));
    }

private:
    const CLI::App* root_;
};

struct tree {
    CLI::App app{"Cluster management utility", "pellix-cluster"};
    bool version = false;
    bool json = false;
    CLI::Option* config = nullptr;
    CLI::Option* version_opt = nullptr;
    std::deque<leaf> leaves;  // stable references while the tree grows

    CLI::App* group(CLI::App* parent, const char* name, const char* help)
    {
        auto* sub = parent->add_subcommand(name, help);
        sub->require_subcommand(0, 1);
        return sub;
    }

    leaf& add(command cmd, CLI::App* parent, const char* name, const char* help)
    {
        leaves.push_back({cmd, parent->add_subcommand(name, help)});
        return leaves.back();
    }

    static CLI::Option* id_option(CLI::App* app, const char* name, const char* help)
    {
        return app->add_option(name)->description(help)->type_name("N")->check(decimal_id);
    }

    static CLI::Option* name_option(CLI::App* app)
    {
        return app->add_option("-s,--service-name")->description("Service name")->type_name("NAME")->check(utf8_text);
    }

    explicit tree(const std::string& epilog)
    {
        app.formatter(std::make_shared<help_formatter>(&app));
        app.set_help_flag("-h,--help", "Display this help menu");
        app.get_help_ptr()->group(global_group);
        app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.fallthrough();
        app.require_subcommand(0, 1);
        version_opt = app.add_flag("-v,--version", version, "Show version")->group(global_group);
        version_opt->disable_flag_override();
        config = app.add_option("-c,--config")->description("Configuration file path")->type_name("FILE")->group(global_group);

        auto& status = add(command::status, &app, "status", "Show cluster status");
        status.json = status.app->add_flag("--json", json, "JSON output")->disable_flag_override();

        auto* node = group(&app, "node", "Node operations");
        add(command::node_status, node, "status", "Show node status");
        add(command::node_list, node, "list", "List nodes");
        for (auto [cmd, name, help] : {std::tuple{command::node_disable, "disable", "Disable node"},
                                       std::tuple{command::node_enable, "enable", "Enable node"},
                                       std::tuple{command::node_exit, "exit", "Exit node"}}) {
            auto& l = add(cmd, node, name, help);
            l.id = id_option(l.app, "--id", "Node ID [1-63]");
        }

        auto* service = group(&app, "service", "Service operations");
        add(command::service_status, service, "status", "Show service status");
        add(command::service_list, service, "list", "List services");
        for (auto [cmd, name, help] : {std::tuple{command::service_stop, "stop", "Stop service"},
                                       std::tuple{command::service_enable, "enable", "Enable service"},
                                       std::tuple{command::service_disable, "disable", "Disable service"}}) {
            auto& l = add(cmd, service, name, help);
            l.name = name_option(l.app);
        }
        auto& start = add(command::service_start, service, "start", "Start service on node");
        start.name = name_option(start.app);
        start.id = id_option(start.app, "--id", "Node ID [1-63]");
        auto& move = add(command::service_move, service, "move", "Move service between nodes");
        move.name = name_option(move.app);
        move.id = id_option(move.app, "--dst-id", "Destination node ID [1-63]");

        auto* ha = group(&app, "ha", "HA pair operations");
        auto* disk = group(ha, "disk", "HA fencing group disks");
        auto& report = add(command::ha_disk_status, disk, "status",
                           "Show SCSI/NVMe reservation state of the HA fencing group disks");
        report.output = report.app->add_option("--output")
                            ->description("Output format (optional, default table)")
                            ->type_name("table|json");
        report.id = id_option(report.app, "--id", "Local node ID [1-63] (optional, default: by hostname)");

        set_epilog(&app, epilog);
    }

    // Every command's help ends with the epilog and lists the help flag with the
    // global options.
    static void set_epilog(CLI::App* app, const std::string& epilog)
    {
        app->footer(epilog);
        if (auto* help = app->get_help_ptr())
            help->group(global_group);
        for (auto* sub : app->get_subcommands([](CLI::App*) { return true; }))
            set_epilog(sub, epilog);
    }
};

// The deepest command word given; the root when none.
CLI::App* deepest_selected(CLI::App* app)
{
    for (auto selected = app->get_subcommands(); !selected.empty(); selected = app->get_subcommands())
        app = selected.front();
    return app;
}

bool has_subcommands(CLI::App* app)
{
    return !app->get_subcommands([](CLI::App*) { return true; }).empty();
}

std::optional<std::string> last_value(const CLI::Option* opt)
{
    if (opt == nullptr || opt->count() == 0 || opt->results().empty())
        return std::nullopt;
    return opt->results().back();
}

}  // namespace

std::vector<std::string> split_empty_long_values(int argc, const char* const* argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {  // everything after it is a plain argument
            for (; i < argc; ++i)
                args.emplace_back(argv[i]);
            break;
        }
        if (arg.size() > 3 && arg.starts_with("--") && arg.back() == '=' && arg.find('=') == arg.size() - 1) {
            args.push_back(arg.substr(0, arg.size() - 1));
            args.emplace_back();
        } else {
            args.push_back(std::move(arg));
        }
    }
    return args;
}

command_line parse_command_line(int argc, const char* const* argv, int year, const std::string& build_id)
{
    command_line line;
    tree t(fmt::format("pellix, {}. Version: {}", year, build_id));
    // CLI11 takes the arguments reversed when given as a vector.
    auto args = split_empty_long_values(argc, argv);
    std::reverse(args.begin(), args.end());
    try {
        t.app.parse(args);
    } catch (const CLI::CallForHelp&) {
        line.what = command_line::help;
        line.text = t.app.help();
        return line;
    } catch (const CLI::ParseError& e) {
        line.what = command_line::error;
        line.text = e.what();
        return line;
    }
    line.config = last_value(t.config);
    // --version answers whatever else the line holds, an incomplete command path included.
    if (t.version_opt->count() > 0) {
        line.what = command_line::version;
        return line;
    }
    CLI::App* selected = deepest_selected(&t.app);
    if (has_subcommands(selected)) {
        line.what = command_line::error;
        line.text = "Command is required";
        return line;
    }
    line.help_text = t.app.help();
    for (const auto& l : t.leaves) {
        if (l.app != selected)
            continue;
        line.cmd = l.cmd;
        line.json = l.json != nullptr && l.json->count() > 0;
        if (auto id = last_value(l.id))
            line.id = parse_decimal_int(*id);  // the validator let only decimal text through
        line.service_name = last_value(l.name);
        line.output = last_value(l.output);
    }
    return line;
}

std::optional<output_format> parse_output_format(const std::string& text)
{
    if (text == "json")
        return output_format::json;
    if (text == "table")
        return output_format::table;
    return std::nullopt;
}

namespace {

// The report of missing options ("%s %s required", a blank line, the command's
// help); main prints it.
std::optional<usage_error> print_missing_options(const command_line& line, const std::vector<std::string>& names)
{
    if (names.empty())
        return std::nullopt;
    std::string list;
    for (const auto& n : names)
        list += (list.empty() ? "" : ", ") + n;
    return usage_error{fmt::format("{} {} required\n\n{}", list, names.size() == 1 ? "is" : "are", line.help_text)};
}

// Node ids 1 to 63 pass.
std::optional<usage_error> check_node_id(int id)
{
    if (id >= 1 && id <= 63)
        return std::nullopt;
    return usage_error{fmt::format("Bad node_id value: {}\n", id)};
}

}  // namespace

std::optional<usage_error> check_usage(const command_line& line)
{
    std::vector<std::string> absent;
    const char* id_name = line.cmd == command::service_move ? "--dst-id" : "--id";
    switch (line.cmd) {
    case command::node_disable:
    case command::node_enable:
    case command::node_exit:
        if (!line.id)
            return print_missing_options(line, {id_name});
        return check_node_id(*line.id);
    case command::service_stop:
    case command::service_enable:
    case command::service_disable:
        if (!line.service_name)
            return print_missing_options(line, {"-s/--service-name"});
        return std::nullopt;
    case command::service_start:
    case command::service_move:
        if (!line.service_name)
            absent.emplace_back("-s/--service-name");
        if (!line.id)
            absent.emplace_back(id_name);
        if (!absent.empty())
            return print_missing_options(line, absent);
        return check_node_id(*line.id);
    case command::ha_disk_status:
        if (line.output && !parse_output_format(*line.output))
            return usage_error{fmt::format("Bad --output value: {} (expected table|json)\n", *line.output)};
        if (line.id)
            return check_node_id(*line.id);
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

int current_utc_year()
{
    using namespace std::chrono;
    return static_cast<int>(year_month_day(floor<days>(system_clock::now())).year());
}

}  // namespace cli
