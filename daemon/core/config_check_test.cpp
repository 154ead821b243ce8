// The daemon's start-up validation of node ids, names and the HA pair.
#include "daemon/core/config_check.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

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

// A value of the wrong type for a key the daemon reads later is refused at start
// with one line naming the key, whether "nodes" is an array or an object.
TEST(config_check, refuses_mistyped_values_read_after_start)
{
    struct variant {
        const char* key;
        std::function<void(json&)> mutate;
    };
    const std::vector<variant> variants = {
        {"self_fencing", [](json& d) { d["cluster"]["self_fencing"] = "true"; }},
        {"self_fencing", [](json& d) { d["cluster"]["self_fencing"] = 1; }},
        {"start_delay", [](json& d) { d["cluster"]["start_delay"] = 1.5; }},
        {"start_delay", [](json& d) { d["cluster"]["start_delay"] = 3e50; }},
        {"mgmt-url", [](json& d) { d["cluster"]["mgmt-url"] = 5; }},
        {"leadership_disabled", [](json& d) { d["nodes"][1]["leadership_disabled"] = "yes"; }},
        {"leadership_disabled", [](json& d) {
             d["nodes"][1]["leadership_disabled"] = 0;
             d["nodes"] = json{{"b", d["nodes"][0]}, {"a", d["nodes"][1]}};
         }},
        {"flap_threshold", [](json& d) { d["ha"] = {{"flap_threshold", 3e50}}; }},
        {"flap_window_sec", [](json& d) { d["ha"] = {{"flap_window_sec", 600.5}}; }},
    };
    for (const auto& v : variants) {
        auto doc = doc_with_ids("[1,2]");
        v.mutate(doc);
        auto r = kelm::check_daemon_config(doc, 1);
        ASSERT_TRUE(r) << doc.dump();
        EXPECT_EQ(r->rfind("[main] ", 0), 0u) << *r;
        EXPECT_NE(r->find(std::string("\"") + v.key + "\""), std::string::npos) << *r;
    }
    auto typed = doc_with_ids("[1,2]");
    typed["cluster"] = {{"self_fencing", true}, {"start_delay", 0}};
    typed["nodes"][0]["leadership_disabled"] = true;
    EXPECT_FALSE(kelm::check_daemon_config(typed, 1));
}

TEST(config_check, ha_needs_nodes_one_and_two)
{
    const char* refusal = "[main] HA needs node ids 1 and 2 and at least one disk";
    auto ok = doc_with_ids("[2,1]");
    ok["ha"] = json::parse(R"({"disks": ["da0"]})");
    EXPECT_FALSE(kelm::check_daemon_config(ok, 1));
    for (const char* ids : {"[1]", "[1,3]", "[1,2,3]"}) {
        auto d = doc_with_ids(ids);
        d["ha"] = ok["ha"];
        EXPECT_EQ(kelm::check_daemon_config(d, 1), refusal) << ids;
    }
    for (const char* ha : {"{}", R"({"disks": []})"}) {
        auto d = doc_with_ids("[1,2]");
        d["ha"] = json::parse(ha);
        EXPECT_EQ(kelm::check_daemon_config(d, 1), refusal) << ha;
    }
}

TEST(config_check, ha_flap_settings_are_non_negative_integers_that_fit)
{
    struct {
        const char* ha;
        const char* refusal;  // null: accepted
    } table[] = {
        {R"({})", nullptr},
        {R"({"flap_threshold": 0, "flap_window_sec": 0})", nullptr},
        {R"({"flap_threshold": 50, "flap_window_sec": 9223372036})", nullptr},
        {R"({"flap_threshold": 9223372036854775807})", nullptr},
        {R"({"flap_threshold": -1})", "[main] Bad ha.flap_threshold: -1"},
        {R"({"flap_threshold": 3.0})", "[main] Bad ha.flap_threshold: 3.0"},
        {R"({"flap_threshold": 3e50})", "[main] Bad ha.flap_threshold: 3e+50"},
        {R"({"flap_threshold": "3"})", "[main] Bad ha.flap_threshold: \"3\""},
        {R"({"flap_threshold": true})", "[main] Bad ha.flap_threshold: true"},
        {R"({"flap_threshold": 18446744073709551615})", "[main] Bad ha.flap_threshold: 18446744073709551615"},
        {R"({"flap_window_sec": 9223372037})", "[main] Bad ha.flap_window_sec: 9223372037"},
        {R"({"flap_window_sec": -5})", "[main] Bad ha.flap_window_sec: -5"},
        {R"({"flap_window_sec": 600.5})", "[main] Bad ha.flap_window_sec: 600.5"},
        {R"({"flap_window_sec": null})", "[main] Bad ha.flap_window_sec: null"},
    };
    for (const auto& t : table) {
        json doc = {{"ha", json::parse(t.ha)}};
        auto r = kelm::check_ha_flap_settings(doc);
        if (t.refusal == nullptr) {
            EXPECT_FALSE(r) << t.ha << ": " << r.value_or("");
        } else {
            EXPECT_EQ(r.value_or("(accepted)"), t.refusal) << t.ha;
        }
    }
    EXPECT_FALSE(kelm::check_ha_flap_settings(json::parse(R"({"nodes": []})")));
}

}  // namespace
