// Daemon command line: every option, last value wins, refusals.
#include "daemon/core/daemon_options.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

kelm::parse_outcome parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "kelm");
    return kelm::parse_daemon_options(static_cast<int>(args.size()), args.data());
}

TEST(daemon_options, all_options_are_taken)
{
    auto r = parse({"-c", "/tmp/c.json", "--db-file", "/tmp/db", "-n", "3", "-l", "debug", "-t", "udp"});
    ASSERT_EQ(r.what, kelm::parse_outcome::run);
    EXPECT_EQ(*r.options.config_file, "/tmp/c.json");
    EXPECT_EQ(*r.options.db_file, "/tmp/db");
    EXPECT_EQ(*r.options.node_id, 3u);
    EXPECT_EQ(*r.options.log_level, "debug");
    EXPECT_EQ(*r.options.transport, "udp");
}

TEST(daemon_options, an_option_given_twice_keeps_its_last_value)
{
    auto r = parse({"-n", "1", "--node-id", "5", "-c", "a", "--configuration-file", "b"});
    ASSERT_EQ(r.what, kelm::parse_outcome::run);
    EXPECT_EQ(*r.options.node_id, 5u);
    EXPECT_EQ(*r.options.config_file, "b");
}

TEST(daemon_options, refusals)
{
    for (auto args : std::vector<std::vector<const char*>>{
             {"--bogus"}, {"-n"}, {"-n", "abc"}, {"stray"}, {"-c"}}) {
        auto r = parse(args);
        EXPECT_EQ(r.what, kelm::parse_outcome::error) << args[0];
        EXPECT_FALSE(r.error_text.empty());
    }
}

TEST(daemon_options, help_lists_every_option_with_its_texts)
{
    auto r = parse({"--help"});
    ASSERT_EQ(r.what, kelm::parse_outcome::help);
    for (const char* text : {"--configuration-file", "CONFIG_FILE", "Set configuration file", "--db-file", "DB_FILE",
                             "Set database file", "--node-id", "NODE_ID", "Set node id", "-l",
                             "debug|info|warning|error|critical", "Set log level", "--transport",
                             "Deprecated, ignored (Raft transport is always UDP)", "Display this help menu"})
        EXPECT_NE(r.summary.find(text), std::string::npos) << text;
    // What a new user needs from the help alone: the trace level the README uses,
    // and that the default database's folder does not exist on Linux.
    for (const char* text : {"trace|debug", "/var/db/kelm.db", "Linux does not", "/usr/local/etc/kelm/config.json"})
        EXPECT_NE(r.summary.find(text), std::string::npos) << text;
}

}  // namespace
