// The utility's grammar: commands, options, the decimal node ids and the usage
// checks, parsed in-process.
#include "cli/command_line.hpp"
#include "cli/decimal_int.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace cli {
namespace {

command_line parse(const std::vector<std::string>& words)
{
    std::vector<const char*> argv{"pellix-cluster"};
    for (const auto& w : words)
        argv.push_back(w.c_str());
    return parse_command_line(static_cast<int>(argv.size()), argv.data(), 2026, "abc123");
}

std::vector<std::string> split(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w == "''" ? std::string() : w);
    return words;
}

TEST(decimal_int, only_plain_decimal_text_that_fits_an_int)
{
    const std::vector<std::pair<std::string, std::optional<int>>> cases = {
        {"10", 10}, {"010", 10}, {"+7", 7}, {"-5", -5}, {"0", 0}, {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1}, {"2147483648", std::nullopt}, {"99999999999999999999", std::nullopt},
        {"0x10", std::nullopt}, {"5abc", std::nullopt}, {"1e3", std::nullopt}, {"", std::nullopt},
        {"-", std::nullopt}, {"+-1", std::nullopt}, {" 5", std::nullopt}, {"5 ", std::nullopt},
        {"1.0", std::nullopt}, {"--1", std::nullopt}};
    for (const auto& [text, want] : cases)
        EXPECT_EQ(parse_decimal_int(text), want) << "'" << text << "'";
}

TEST(command_line, every_command_path_selects_its_command)
{
    const std::vector<std::pair<std::string, command>> cases = {
        {"status", command::status},
        {"node status", command::node_status},
        {"node list", command::node_list},
        {"node disable --id 3", command::node_disable},
        {"node enable --id 3", command::node_enable},
        {"node exit --id 3", command::node_exit},
        {"service status", command::service_status},
        {"service list", command::service_list},
        {"service stop -s a", command::service_stop},
        {"service enable -s a", command::service_enable},
        {"service disable -s a", command::service_disable},
        {"service start -s a --id 2", command::service_start},
        {"service move -s a --dst-id 2", command::service_move},
        {"ha disk status", command::ha_disk_status},
    };
    for (const auto& [words, want] : cases) {
        auto line = parse(split(words));
        EXPECT_EQ(line.what, command_line::run) << words << ": " << line.text;
        EXPECT_EQ(line.cmd, want) << words;
        EXPECT_FALSE(check_usage(line)) << words;
    }
}

TEST(command_line, options_are_read_with_their_values)
{
    auto l = parse(split("node disable --id 010"));
    EXPECT_EQ(l.id, 10);  // decimal, never octal 8
    l = parse(split("service start --id=+12 --service-name=web"));
    EXPECT_EQ(l.id, 12);
    EXPECT_EQ(l.service_name, "web");
    l = parse(split("service stop -s a -s b"));  // the last one counts
    EXPECT_EQ(l.service_name, "b");
    l = parse(split("service stop --service-name="));  // empty but given
    EXPECT_EQ(l.service_name, "");
    EXPECT_FALSE(check_usage(l));
    l = parse(split("service stop -s ''"));
    EXPECT_EQ(l.service_name, "");
    l = parse(split("status --json"));
    EXPECT_TRUE(l.json);
    EXPECT_FALSE(parse(split("status")).json);
    l = parse(split("service move -s a --dst-id 0007"));
    EXPECT_EQ(l.id, 7);
    l = parse(split("ha disk status --output json --id 2"));
    EXPECT_EQ(l.output, "json");
    EXPECT_EQ(l.id, 2);
    l = parse(split("node disable --id -4"));  // a negative value is a value, refused by range later
    EXPECT_EQ(l.id, -4);
}

TEST(command_line, global_options_go_anywhere_and_the_last_one_counts)
{
    for (const char* words : {"-c /x node list", "node -c /x list", "node list -c /x", "node list --config /y -c /x",
                              "node list --config=/x"}) {
        auto l = parse(split(words));
        EXPECT_EQ(l.what, command_line::run) << words << ": " << l.text;
        EXPECT_EQ(l.config, "/x") << words;
        EXPECT_EQ(l.cmd, command::node_list) << words;
    }
    EXPECT_FALSE(parse(split("status")).config);
}

TEST(command_line, help_and_version)
{
    auto l = parse(split("-h"));
    EXPECT_EQ(l.what, command_line::help);
    for (const char* text : {"Cluster management utility", "Global options", "-h,--help", "Display this help menu",
                             "-v,--version", "Show version", "-c,--config FILE", "Configuration file path",
                             "Show cluster status", "Node operations", "Service operations", "HA pair operations",
                             "pellix, 2026. Version: abc123"})
        EXPECT_NE(l.text.find(text), std::string::npos) << text << " in\n" << l.text;
    l = parse(split("service move --help"));
    EXPECT_EQ(l.what, command_line::help);
    for (const char* text : {"Move service between nodes", "-s,--service-name NAME", "-c,--config FILE", "-v,--version", "Service name", "--dst-id N",
                             "Destination node ID [1-63]", "pellix, 2026. Version: abc123"})
        EXPECT_NE(l.text.find(text), std::string::npos) << text << " in\n" << l.text;
    l = parse(split("ha disk status -h"));
    for (const char* text : {"--output table|json", "Output format (optional, default table)", "--id N",
                             "Local node ID [1-63] (optional, default: by hostname)"})
        EXPECT_NE(l.text.find(text), std::string::npos) << text << " in\n" << l.text;
    // --version answers alone, with a command, and with an incomplete command path.
    for (const char* words : {"-v", "--version", "status -v", "node disable --id 99 --version", "node -v"})
        EXPECT_EQ(parse(split(words)).what, command_line::version) << words;
}

TEST(command_line, parse_errors_carry_the_parser_text)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Command is required"},
        {"node", "Command is required"},
        {"ha disk", "Command is required"},
        {"ha", "Command is required"},
        {"bogus", "bogus"},
        {"status --bogus", "--bogus"},
        {"status --json=false", "json"},
        {"node disable --id 0x10", "--id: Value 0x10 is not a decimal integer"},
        {"node disable --id 5abc", "--id"},
        {"node disable --id 1e3", "--id"},
        {"node disable --id 99999999999", "--id"},
        {"node disable --id=", "--id"},
        {"service move -s a --dst-id 0x2", "--dst-id"},
        {"service stop -s", "--service-name"},
        {"node list status", "status"},
        {"status extra", "extra"},
        {"node list --json", "--json"},
    };
    for (const auto& [words, text] : cases) {
        auto l = parse(split(words));
        EXPECT_EQ(l.what, command_line::error) << words;
        EXPECT_NE(l.text.find(text), std::string::npos) << words << ": " << l.text;
    }
}

TEST(command_line, invalid_utf8_in_a_service_name_is_a_usage_error)
{
    auto l = parse({"service", "stop", "-s", "web\xff"});
    EXPECT_EQ(l.what, command_line::error);
    EXPECT_NE(l.text.find("UTF-8"), std::string::npos) << l.text;
    EXPECT_EQ(parse({"service", "stop", "-s", "caf\xc3\xa9"}).service_name, "caf\xc3\xa9");
}

TEST(command_line, usage_checks_in_order)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"node disable", "--id is required\n\n"},
        {"node enable --id 64", "Bad node_id value: 64\n"},
        {"node exit --id 0", "Bad node_id value: 0\n"},
        {"node disable --id -1", "Bad node_id value: -1\n"},
        {"service stop", "-s/--service-name is required\n\n"},
        {"service enable", "-s/--service-name is required\n\n"},
        {"service disable", "-s/--service-name is required\n\n"},
        {"service start --id 3", "-s/--service-name is required\n\n"},
        {"service start -s a", "--id is required\n\n"},
        {"service start", "-s/--service-name, --id are required\n\n"},
        {"service start -s a --id 64", "Bad node_id value: 64\n"},
        {"service move", "-s/--service-name, --dst-id are required\n\n"},
        {"service move -s a --dst-id 100", "Bad node_id value: 100\n"},
        {"ha disk status --output JSON --id 99", "Bad --output value: JSON (expected table|json)\n"},
        {"ha disk status --output table --id 99", "Bad node_id value: 99\n"},
    };
    for (const auto& [words, text] : cases) {
        auto l = parse(split(words));
        ASSERT_EQ(l.what, command_line::run) << words << ": " << l.text;
        auto bad = check_usage(l);
        ASSERT_TRUE(bad) << words;
        EXPECT_EQ(bad->text.substr(0, text.size()), text) << words;
    }
    // The missing-option report ends with the command's help.
    auto bad = check_usage(parse(split("service start --id 3")));
    EXPECT_NE(bad->text.find("Start service on node"), std::string::npos) << bad->text;
}

TEST(command_line, output_format_is_exact)
{
    EXPECT_EQ(parse_output_format("json"), output_format::json);
    EXPECT_EQ(parse_output_format("table"), output_format::table);
    for (const char* text : {"JSON", "Table", " json", "json ", "", "yaml"})
        EXPECT_FALSE(parse_output_format(text)) << text;
}

}  // namespace
}  // namespace cli
