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

// An integer is converted only when it is a JSON integer within the target's
// range: a float out of range would be undefined behaviour, one in range would be
// cut, and both are refused with the key named.
TEST(config, strict_integers_are_checked_before_conversion)
{
    auto refused = [](const char* text, auto type_tag) {
        using T = decltype(type_tag);
        auto obj = json::parse(std::string(R"({"v":)") + text + "}");
        try {
            (void)config::required<T>(obj, "v");
            return std::string("accepted");
        } catch (const json::type_error& e) {
            return std::string(e.what());
        }
    };
    for (const char* text : {"1e10", "47031.9", "-1", "4294967296", "true", "\"5\"", "3e50", "null"})
        EXPECT_NE(refused(text, uint32_t{}).find("\"v\" must be an integer from 0 to 4294967295"), std::string::npos)
            << text;
    for (const char* text : {"1e12", "2147483648", "-2147483649", "47031.0"})
        EXPECT_NE(refused(text, int{}).find("must be an integer"), std::string::npos) << text;
    EXPECT_NE(refused("3e50", int64_t{}).find("not 3e+50"), std::string::npos);
    EXPECT_NE(refused("18446744073709551615", int64_t{}).find("must be an integer"), std::string::npos);

    auto obj = json::parse(R"({"a":4294967295,"b":-5,"c":0,"d":true,"e":"x","f":1.5})");
    EXPECT_EQ(config::required<uint32_t>(obj, "a"), 4294967295u);
    EXPECT_EQ(config::required<int64_t>(obj, "b"), -5);
    EXPECT_EQ(config::value_or<int>(obj, "c", 7), 0);
    EXPECT_EQ(config::value_or<int>(obj, "missing", 7), 7);
    EXPECT_TRUE(config::required<bool>(obj, "d"));
    EXPECT_EQ(config::required<std::string>(obj, "e"), "x");
    EXPECT_THROW(config::value_or<bool>(obj, "e", false), json::type_error);
    EXPECT_THROW(config::value_or<std::string>(obj, "d", ""), json::type_error);
    EXPECT_THROW(config::read_ha(json::parse(R"({"ha":{"flap_threshold":3e50}})")), json::type_error);
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
