// The reply readers and the move pre-check predicates, in-process.
#include "cli/exit_status.hpp"
#include "cli/mgmt_client.hpp"
#include "cli/node_service_cmds.hpp"

#include <gtest/gtest.h>

namespace cli {
namespace {

// Runs f, expecting bad_reply: returns the line it printed.
template <typename F>
std::string bad_reply_text(F f)
{
    ::testing::internal::CaptureStderr();
    try {
        f();
    } catch (const exit_now& e) {
        std::string text = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(e.status, exit_bad_reply);
        return text;
    }
    ::testing::internal::GetCapturedStderr();
    ADD_FAILURE() << "no bad reply";
    return {};
}

TEST(reply_readers, error_text)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"error":"E1","errorMessage":"broken"})", "E1: broken"},
        {R"({"error":"E1"})", "E1"},
        {R"({"error":"E1","errorMessage":null})", "E1"},
        {R"({"error":"","errorMessage":"only text"})", "only text"},
        {R"({"error":""})", "unknown error (no error/errorMessage in reply)"},
        {R"({"error":5,"errorMessage":7})", "unknown error (no error/errorMessage in reply)"},
        {R"([1])", "unknown error (no error/errorMessage in reply)"},
    };
    for (const auto& [reply, text] : cases)
        EXPECT_EQ(reply_error_text(json::parse(reply)), text) << reply;
}

TEST(reply_readers, field_readers_refuse_what_is_not_there_or_not_their_type)
{
    const json item = json::parse(
        R"({"id":7,"neg":-3,"big":4294967296,"max":2147483647,"over":2147483648,"low":-2147483649,
            "f":1.5,"whole":3.0,"s":"x","b":true,"n":null})");
    EXPECT_EQ(item_get_int(item, "id"), 7);
    EXPECT_EQ(item_get_int(item, "neg"), -3);
    EXPECT_EQ(item_get_int(item, "max"), 2147483647);
    EXPECT_EQ(item_get_string(item, "s"), "x");
    EXPECT_TRUE(item_get_bool(item, "b"));
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { item_get_int(item, "big"); }, "field 'big' is not an integer"},
        {[&] { item_get_int(item, "over"); }, "field 'over' is not an integer"},
        {[&] { item_get_int(item, "low"); }, "field 'low' is not an integer"},
        {[&] { item_get_int(item, "f"); }, "field 'f' is not an integer"},
        {[&] { item_get_int(item, "whole"); }, "field 'whole' is not an integer"},
        {[&] { item_get_int(item, "s"); }, "field 's' is not an integer"},
        {[&] { item_get_string(item, "id"); }, "field 'id' is not a string"},
        {[&] { item_get_bool(item, "n"); }, "field 'n' is not a boolean"},
        {[&] { item_get_bool(item, "s"); }, "field 's' is not a boolean"},
        {[&] { item_get_int(item, "missing"); }, "item has no 'missing' field"},
        {[&] { item_get_string(json::array(), "name"); }, "item is not an object (expected field 'name')"},
        {[&] { reply_response_array(json::array()); }, "no response field"},
        {[&] { reply_response_array(json::object()); }, "no response field"},
        {[&] { reply_response_array(json{{"response", json::object()}}); }, "response is not an array"},
        {[&] { reply_response_array(json{{"response", nullptr}}); }, "response is not an array"},
        {[&] { reply_list_array(json{{"response", 3}}); }, "response is not an array"},
    };
    for (const auto& [f, text] : cases)
        EXPECT_EQ(bad_reply_text(f), "Bad reply from kelm: " + text + "\n");
    EXPECT_TRUE(reply_list_array(json{{"response", nullptr}}).empty());
}

TEST(move_precheck, service_and_node_codes_with_their_messages)
{
    const json list = json::parse(R"({"response":["web",3,"db"]})");
    const json nodes = json::parse(R"({"response":[
        "junk", {"id":"1"}, {"id":1,"state":"ONLINE","enabled":true}, {"id":2,"state":"OFFLINE","enabled":true},
        {"id":3,"state":"ONLINE","enabled":false}, {"id":4,"enabled":true}, {"id":4,"state":"ONLINE","enabled":true},
        {"id":5,"state":"ONLINE"}, {"id":6,"state":"online","enabled":true}]})");
    struct row {
        precheck_result r;
        int node;
        int code;
        std::string text;
        std::string name = "web";
    };
    const std::vector<row> rows = {
        {check_service_listed(list, "web"), 1, 0, ""},
        {check_service_listed(list, "Web"), 1, 2, "Service not found: Web", "Web"},
        {check_service_listed(list, "3"), 1, 2, "Service not found: 3", "3"},
        {check_service_listed(json::parse(R"({"response":null})"), "web"), 1, 2, "Service not found: web"},
        {check_service_listed(json::parse(R"({"response":{}})"), "web"), 1, 1,
         "Bad reply from mgmt: no response array"},
        {check_service_listed(json::parse(R"({"nothing":1})"), "web"), 1, 1, "Bad reply from mgmt: no response array"},
        {check_node_usable(nodes, 1), 1, 0, ""},
        {check_node_usable(nodes, 2), 2, 5, "Node offline: 2 (state: OFFLINE)"},
        {check_node_usable(nodes, 3), 3, 4, "Node disabled: 3"},
        {check_node_usable(nodes, 4), 4, 5, "Node offline: 4 (state: unknown)"},  // the first item counts
        {check_node_usable(nodes, 5), 5, 4, "Node disabled: 5"},
        {check_node_usable(nodes, 6), 6, 5, "Node offline: 6 (state: online)"},
        {check_node_usable(nodes, 9), 9, 3, "Node not found: 9"},
        {check_node_usable(json::parse(R"({"response":null})"), 1), 1, 1, "Bad reply from mgmt: no response array"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.r.code, r.code) << r.text;
        if (r.code != 0) {
            EXPECT_EQ(precheck_message(r.r, r.name, r.node).substr(0, r.text.size()), r.text);
        }
    }
}

}  // namespace
}  // namespace cli
