// Configuration schema: lists as arrays or objects, defaults, strict and lenient access.
#include "config/cluster_config.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using config::json;

TEST(config, nodes_object_gives_values_in_lexical_key_order)
{
    auto doc = json::parse(R"({"nodes":{"b":{"id":2},"a":{"id":1},"c10":{"id":3},"c9":{"id":4}}})");
    auto n = config::entries(doc, "nodes");
    ASSERT_EQ(n.size(), 4u);
    EXPECT_EQ(n[0]["id"], 1);
    EXPECT_EQ(n[1]["id"], 2);
    EXPECT_EQ(n[2]["id"], 3);  // "c10" < "c9" byte-wise
    EXPECT_EQ(n[3]["id"], 4);
}

TEST(config, missing_or_mistyped_lists_give_no_entries)
{
    EXPECT_TRUE(config::entries(json::parse("{}"), "services").empty());
    EXPECT_TRUE(config::entries(json::parse(R"({"services":5})"), "services").empty());
    EXPECT_TRUE(config::entries(json::parse("[1,2]"), "nodes").empty());
}

TEST(config, cluster_and_ha_defaults)
{
    auto c = config::read_cluster(json::parse("{}"));
    EXPECT_EQ(c.start_delay, 10);
    EXPECT_FALSE(c.self_fencing);
    EXPECT_TRUE(c.mgmt_url.empty());
    auto h = config::read_ha(json::parse(R"({"ha":{}})"));
    EXPECT_TRUE(h.present);
    EXPECT_TRUE(h.disks.empty());
    EXPECT_EQ(h.flap_threshold, 3);
    EXPECT_EQ(h.flap_window_sec, 600);
    EXPECT_FALSE(config::read_ha(json::parse("{}")).present);
}

TEST(config, strict_access_throws_the_libraries_type_error)
{
    auto doc = json::parse(R"({"ha":{"disks":5},"cluster":{"start_delay":"x"}})");
    EXPECT_THROW(config::read_ha(doc), json::type_error);
    EXPECT_THROW(config::read_cluster(doc), json::type_error);
}

TEST(config, lenient_access_takes_only_the_right_json_type)
{
    auto node = json::parse(R"({"enabled":1,"leadership_disabled":true,"assigned_target":7,"id":2.5})");
    EXPECT_TRUE(config::bool_or(node, "enabled", true));  // 1 is not a boolean
    EXPECT_FALSE(config::bool_or(json::parse(R"({"enabled":false})"), "enabled", true));
    EXPECT_TRUE(config::bool_or(node, "leadership_disabled", false));
    EXPECT_EQ(config::string_or(node, "assigned_target", "none"), "none");
    EXPECT_EQ(config::int_or(node, "id", 64), 64);
    EXPECT_EQ(config::int_or(json::parse(R"({"id":7})"), "id", 64), 7);
}

TEST(config, unreadable_file_gives_the_empty_input_parse_error)
{
    try {
        config::load_file("/nonexistent/kelm.json");
        FAIL();
    } catch (const json::parse_error& e) {
        EXPECT_NE(std::string(e.what()).find("unexpected end of input"), std::string::npos) << e.what();
    }
}

TEST(config, load_file_reads_a_document)
{
    char path[] = "/tmp/kelm-config-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(path) << R"({"nodes":[{"id":1}]})";
    auto doc = config::load_file(path);
    EXPECT_EQ(doc["nodes"][0]["id"], 1);
    std::remove(path);
}
