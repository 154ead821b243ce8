// The configuration poolrun reads: host node id and service lookup, with their
// handling of mistyped members.
#include "nodeactions/config_load.hpp"
#include "nodeactions/poolrun_service.hpp"

#include <gtest/gtest.h>

using namespace nodeactions;
using namespace nodeactions::poolrun;
using json = nlohmann::json;

TEST(poolrun_host_node_id, matches_the_exact_nodename_in_array_or_object_order)
{
    json doc = json::parse(R"({"nodes": [{"id": 1, "nodename": "node"}, {"id": 2, "nodename": "node1"},
                                         {"id": 3, "nodename": "node1"}]})");
    EXPECT_EQ(host_node_id(doc, "node1"), 2);
    EXPECT_EQ(host_node_id(doc, "node"), 1);
    EXPECT_EQ(host_node_id(doc, "node12"), std::nullopt);
    EXPECT_EQ(host_node_id(doc, ""), std::nullopt);

    // An object's members are taken in key order.
    json obj = json::parse(R"({"nodes": {"b": {"id": 7, "nodename": "n"}, "a": {"id": 5, "nodename": "n"}}})");
    EXPECT_EQ(host_node_id(obj, "n"), 5);
}

TEST(poolrun_host_node_id, skips_what_is_not_a_node_and_refuses_a_mistyped_id)
{
    json doc = json::parse(R"({"nodes": [1, "x", {"nodename": 5, "id": 9}, {"id": 4, "nodename": "h"}]})");
    EXPECT_EQ(host_node_id(doc, "h"), 4);
    EXPECT_EQ(host_node_id(json::parse(R"({"nodes": 3})"), "h"), std::nullopt);
    EXPECT_EQ(host_node_id(json::parse("[]"), "h"), std::nullopt);
    EXPECT_THROW(host_node_id(json::parse(R"({"nodes": [{"id": "4", "nodename": "h"}]})"), "h"), config_invalid);
    EXPECT_THROW(host_node_id(json::parse(R"({"nodes": [{"nodename": "h"}]})"), "h"), config_invalid);
    // A mistyped id of another node is not read at all.
    EXPECT_EQ(host_node_id(json::parse(R"({"nodes": [{"id": "x", "nodename": "o"}]})"), "h"), std::nullopt);
}

TEST(poolrun_find_service, takes_the_first_exact_match_with_its_pools_and_addresses)
{
    json doc = json::parse(R"({"services": [
        {"name": "svc", "pools": ["p1", "p2", "p1"],
         "ext_ips": [{"interface": "em0", "ip": "10.0.0.9", "netmask": "24"},
                     {"interface": "em1", "ip": "10.0.0.10"},
                     {"interface": "em2", "ip": "10.0.0.9", "netmask": "0xffff0000"}]},
        {"name": "svc", "pools": ["other"]},
        {"name": "bare"}]})");
    auto svc = find_service(doc, "svc");
    ASSERT_TRUE(svc);
    EXPECT_EQ(svc->pools, (std::vector<std::string>{"p1", "p2", "p1"}));
    ASSERT_EQ(svc->ext_ips.size(), 2U);
    // Byte-wise order of the text: 10.0.0.10 before 10.0.0.9; the later 10.0.0.9 wins.
    auto it = svc->ext_ips.begin();
    EXPECT_EQ(it->first, "10.0.0.10");
    EXPECT_EQ(it->second.interface, "em1");
    EXPECT_EQ(it->second.netmask, "");
    ++it;
    EXPECT_EQ(it->first, "10.0.0.9");
    EXPECT_EQ(it->second.interface, "em2");
    EXPECT_EQ(it->second.netmask, "0xffff0000");

    auto bare = find_service(doc, "bare");
    ASSERT_TRUE(bare);
    EXPECT_TRUE(bare->pools.empty());
    EXPECT_TRUE(bare->ext_ips.empty());
    EXPECT_FALSE(find_service(doc, "Svc"));
    EXPECT_FALSE(find_service(json::parse(R"({"services": {"a": {"name": 3}}})"), "3"));
    EXPECT_FALSE(find_service(json::parse("null"), "svc"));
}

TEST(poolrun_find_service, refuses_mistyped_members_of_the_found_service_only)
{
    const char* bad[] = {
        R"({"services": [{"name": "s", "pools": "p1"}]})",
        R"({"services": [{"name": "s", "pools": ["p1", 2]}]})",
        R"({"services": [{"name": "s", "ext_ips": {"ip": "10.0.0.1"}}]})",
        R"({"services": [{"name": "s", "ext_ips": ["10.0.0.1"]}]})",
        R"({"services": [{"name": "s", "ext_ips": [{"interface": "em0"}]}]})",
        R"({"services": [{"name": "s", "ext_ips": [{"interface": "em0", "ip": 167772161}]}]})",
        R"({"services": [{"name": "s", "ext_ips": [{"ip": "10.0.0.1"}]}]})",
        R"({"services": [{"name": "s", "ext_ips": [{"interface": ["em0"], "ip": "10.0.0.1"}]}]})",
        R"({"services": [{"name": "s", "ext_ips": [{"interface": "em0", "ip": "10.0.0.1", "netmask": 24}]}]})",
        // A zero byte would end the text where the system reads it: "ta" would be
        // imported or exported in place of the pool named, 10.0.0.1 added or removed.
        R"({"services": [{"name": "s", "pools": ["ta\u0000nk"]}]})",
        R"({"services": [{"name": "s", "ext_ips": [{"interface": "em0", "ip": "10.0.0.1\u0000x"}]}]})",
        R"({"services": [{"name": "s", "ext_ips": [{"interface": "em0\u0000x", "ip": "10.0.0.1"}]}]})",
        R"({"services": [{"name": "s", "ext_ips": [{"interface": "em0", "ip": "10.0.0.1", "netmask": "24\u0000"}]}]})",
    };
    for (const char* text : bad)
        EXPECT_THROW(find_service(json::parse(text), "s"), config_invalid) << text;
    // The same mistakes in another service do not matter.
    EXPECT_TRUE(find_service(json::parse(R"({"services": [{"name": "x", "pools": 1}, {"name": "s"}]})"), "s"));
    // A null netmask is an absent one.
    json doc = json::parse(
        R"({"services": [{"name": "s", "ext_ips": [{"interface": "e", "ip": "1.2.3.4", "netmask": null}]}]})");
    auto svc = find_service(doc, "s");
    ASSERT_TRUE(svc);
    EXPECT_EQ(svc->ext_ips.at("1.2.3.4").netmask, "");
}
