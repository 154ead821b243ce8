// The Runner's own node from the configuration, and its command line.
#include "runner/node_lookup.hpp"
#include "runner/runner_options.hpp"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

json node(int id)
{
    return {{"id", id}, {"nodename", "node" + std::to_string(id)}, {"internal_addr", "127.0.0.1"},
            {"kelm_port", 7000 + id}, {"runner_port", 8000 + id}};
}

runner::parsed_options parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "kelm-runner");
    return runner::parse_options(static_cast<int>(args.size()), args.data());
}

}  // namespace

TEST(RunnerNodeLookup, FindsTheNodeByIdInArraysAndObjects)
{
    json doc = {{"nodes", {node(1), node(2), "junk"}}};
    auto n = runner::find_own_node(doc, 2);
    EXPECT_EQ(n.nodename, "node2");
    EXPECT_EQ(n.internal_addr, "127.0.0.1");
    EXPECT_EQ(n.runner_port, 8002);
    json obj = {{"nodes", {{"b", node(1)}, {"a", node(3)}}}};
    EXPECT_EQ(runner::find_own_node(obj, 3).runner_port, 8003);
}

TEST(RunnerNodeLookup, RefusesWhatItCannotServe)
{
    auto refusal = [](json doc, uint32_t id) {
        try {
            runner::find_own_node(doc, id);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refusal({{"nodes", {node(1)}}}, 4), "node 4 not found in the configuration");
    EXPECT_EQ(refusal(json::array(), 1), "node 1 not found in the configuration");
    for (auto bad : {json(0), json(65536), json("8001"), json(nullptr)}) {
        json n = node(1);
        n["runner_port"] = bad;
        EXPECT_EQ(refusal({{"nodes", {n}}}, 1), "node 1: \"runner_port\" must be an integer 1..65535");
    }
    json n = node(1);
    n.erase("internal_addr");
    EXPECT_EQ(refusal({{"nodes", {n}}}, 1), "node 1: \"internal_addr\" must be a non-empty text");
    n = node(1);
    n["nodename"] = 5;
    EXPECT_EQ(refusal({{"nodes", {n}}}, 1), "node 1: \"nodename\" must be a non-empty text");
}

TEST(RunnerOptions, ParsesAndRefuses)
{
    auto p = parse({"-c", "/x.json", "-n", "3", "-l", "debug"});
    ASSERT_EQ(p.what, runner::parsed_options::run);
    EXPECT_EQ(p.opts.config_path, "/x.json");
    EXPECT_EQ(p.opts.node_id, 3u);
    EXPECT_EQ(p.opts.log_level, "debug");
    EXPECT_EQ(parse({"-n", "1"}).opts.config_path, "/usr/local/etc/kelm/config.json");
    EXPECT_EQ(parse({"--help"}).what, runner::parsed_options::help);
    for (auto args : std::vector<std::vector<const char*>>{
             {}, {"-n", "0"}, {"-n", "64"}, {"-n", "x"}, {"-n", "1", "stray"}, {"-n", "1", "-l", "off"}, {"--bogus"}})
        EXPECT_EQ(parse(args).what, runner::parsed_options::error);
}
