// The daemon's start-up validation of node ids, names and the HA pair.
#include "daemon/core/config_check.hpp"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

json doc_with_ids(const char* ids_json)
{
    json doc;
    doc["nodes"] = json::array();
    int i = 0;
    for (const auto& id : json::parse(ids_json)) {
        std::string name = "n";
        name += std::to_string(i++);
        doc["nodes"].push_back({{"id", id}, {"nodename", name}});
    }
    return doc;
}

TEST(config_check, accepts_a_sound_cluster)
{
    EXPECT_FALSE(kelm::check_daemon_config(doc_with_ids("[1,2,3]"), 1));
    EXPECT_FALSE(kelm::check_daemon_config(doc_with_ids("[63]"), 1));
}

TEST(config_check, refuses_ids_of_the_wrong_type_or_range)
{
    for (const char* ids : {"[true]", "[2.7]", "[0]", "[64]", "[-1]", "[4294967295]", "[18446744073709551615]"}) {
        auto r = kelm::check_daemon_config(doc_with_ids(ids), 1);
        ASSERT_TRUE(r) << ids;
        EXPECT_EQ(r->rfind("[main] ", 0), 0u);
    }
}

TEST(config_check, refuses_duplicates_and_double_matches)
{
    EXPECT_TRUE(kelm::check_daemon_config(doc_with_ids("[1,1]"), 1));
    auto doc = doc_with_ids("[1,2]");
    doc["nodes"][1]["nodename"] = "n0";
    EXPECT_TRUE(kelm::check_daemon_config(doc, 1));
    EXPECT_TRUE(kelm::check_daemon_config(doc_with_ids("[1,2]"), 2));
}

TEST(config_check, ha_needs_nodes_one_and_two)
{
    auto ok = doc_with_ids("[2,1]");
    ok["ha"] = json::object();
    EXPECT_FALSE(kelm::check_daemon_config(ok, 1));
    for (const char* ids : {"[1]", "[1,3]", "[1,2,3]"}) {
        auto d = doc_with_ids(ids);
        d["ha"] = json::object();
        EXPECT_TRUE(kelm::check_daemon_config(d, 1)) << ids;
    }
}

}  // namespace
