// The texts of the management log lines.
#include "daemon/mgmt/mgmt_log_text.hpp"

#include <gtest/gtest.h>

namespace mgmt {
namespace {

using nlohmann::json;

TEST(log_text, SanitizeAndLabels)
{
    EXPECT_EQ(log_sanitize("a\tb\x7f" "c\xc3\xa9", 64), "a.b.c\xc3\xa9");
    EXPECT_EQ(log_sanitize(std::string(70, 'x'), 64), std::string(64, 'x') + "...");
    EXPECT_EQ(log_sanitize(std::string(64, 'x'), 64), std::string(64, 'x'));
    EXPECT_EQ(peer_label("192.168.1.4", "\x01"), "192.168.1.4");
    EXPECT_EQ(peer_label(std::string(65, '\n'), ""), std::string(64, '.') + "...");
    EXPECT_EQ(peer_label("", std::string("\x00\xab\x10", 3)), "id:00ab10");
    EXPECT_EQ(peer_label("", ""), "unknown");
}

TEST(log_text, MutatingRequests)
{
    for (const char* cmd : {"exit", "enable", "disable"})
        EXPECT_TRUE(is_mutating_request("node", cmd));
    for (const char* cmd : {"stop", "start", "enable", "disable"})
        EXPECT_TRUE(is_mutating_request("service", cmd));
    EXPECT_FALSE(is_mutating_request("node", "start"));
    EXPECT_FALSE(is_mutating_request("service", "exit"));
    EXPECT_FALSE(is_mutating_request("debug", "debug-dump-services"));
    EXPECT_FALSE(is_mutating_request("Service", "stop"));
}

TEST(log_text, Summaries)
{
    EXPECT_EQ(request_summary(json::parse(R"({"requestId":true,"id":5.5,"nodeId":[1],"serviceName":"a b\n"})")),
              "serviceName=a b. id=5.5 requestId=true");
    EXPECT_EQ(request_summary(json::parse(R"([1])")), "");
    EXPECT_EQ(request_summary(json::parse(R"({"requestId":null})")), "");
    EXPECT_EQ(reply_summary(json::parse(R"({"response":1})")), "OK");
    EXPECT_EQ(reply_summary(json::parse(R"({"error":"E","errorMessage":""})")), "E");
    EXPECT_EQ(reply_summary(json::parse(R"({"error":5,"errorMessage":null})")), "5");
    EXPECT_EQ(reply_summary(json{{"error", "E"}, {"errorMessage", std::string(200, 'm')}}),
              "E (" + std::string(160, 'm') + "...)");
}

}  // namespace
}  // namespace mgmt
