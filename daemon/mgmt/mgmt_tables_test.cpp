// Golden request -> reply texts for every command of the protocol and every
// error text, against a fake monitor and service manager.
#include "daemon/mgmt/mgmt_request.hpp"
#include "daemon/mgmt/mgmt_tables.hpp"
#include "daemon/mgmt/mgmt_test_util.hpp"

#include <gtest/gtest.h>

namespace mgmt::test {
namespace {

struct protocol : ::testing::Test {
    fake_monitor mon;
    fake_service_manager svc;
    mgmt_app app{mon, svc};
    json config = sample_config();

    protocol()
    {
        mon.kv["svc-web-runstate"] = R"({"session_id":"S1","state":3,"run_node":1,"enabled":true,"failed":false})";
        mon.kv["svc-db-runstate"] = R"({"session_id":"S0","state":3,"run_node":2,"enabled":true,"failed":false})";
        mon.kv["node-config-2"] = R"({"enabled":false})";
        app.doevent("ACTIVATE", "S1");
        app.doevent("NODE-ONLINE", "1");
    }
    std::string ask(const std::string& text) { return handle_request(text, "test", config, app); }
};

struct golden {
    const char* request;
    const char* reply;
};

TEST_F(protocol, EveryCommandAndErrorText)
{
    const golden cases[] = {
        {R"({"call":"help"})", R"({"response":["service","node","debug"]})"},
        {R"({"call":"help","cmd":"anything","requestId":1})", R"({"requestId":1,"response":["service","node","debug"]})"},
        // service
        {R"({"call":"service","cmd":"list"})", R"({"response":["web","db","nfs"]})"},
        {R"({"call":"service","cmd":"status","requestId":"r"})",
         R"({"requestId":"r","response":[{"enabled":true,"failed":false,"name":"web","run_node":1,"state":"STARTED"},)"
         R"({"enabled":true,"failed":false,"name":"db","run_node":2,"state":"STALE"},)"
         R"({"error":"ENOENT","errorMessage":"key not found","name":"nfs"}]})"},
        {R"({"call":"service","cmd":"info","serviceName":"web"})",
         R"({"response":[{"enabled":true,"failed":false,"name":"web","run_node":1,"state":"STARTED"}]})"},
        {R"({"call":"service","cmd":"status","serviceName":"ghost"})",
         R"({"response":[{"error":"ENOENT","errorMessage":"key not found","name":"ghost"}]})"},
        {R"({"call":"service","cmd":"stop","serviceName":"web","requestId":7})",
         R"({"requestId":7,"response":{"got":{"call":"service","cmd":"stop","requestId":7,"serviceName":"web"}}})"},
        {R"({"call":"service","cmd":"enable","serviceName":"web"})",
         R"({"response":{"got":{"call":"service","cmd":"enable","serviceName":"web"}}})"},
        {R"({"call":"service","cmd":"disable","serviceName":"web"})",
         R"({"response":{"got":{"call":"service","cmd":"disable","serviceName":"web"}}})"},
        {R"({"call":"service","cmd":"start","serviceName":"web","nodeId":2})",
         R"({"response":{"got":{"call":"service","cmd":"start","nodeId":2,"serviceName":"web"}}})"},
        {R"({"call":"service","cmd":"start","serviceName":"web","nodeId":5.7})",
         R"({"response":{"got":{"call":"service","cmd":"start","nodeId":5.7,"serviceName":"web"}}})"},
        {R"({"call":"service","cmd":"help"})",
         R"({"response":["list","info","status","stop","start","enable","disable"]})"},
        {R"({"call":"service","cmd":"stop","requestId":[1]})",
         R"({"error":"EINVAL","errorMessage":"serviceName should be set","requestId":[1]})"},
        {R"({"call":"service","cmd":"enable"})", R"({"error":"EINVAL","errorMessage":"serviceName should be set"})"},
        {R"({"call":"service","cmd":"disable"})", R"({"error":"EINVAL","errorMessage":"serviceName should be set"})"},
        {R"({"call":"service","cmd":"start"})", R"({"error":"EINVAL","errorMessage":"serviceName should be set"})"},
        {R"({"call":"service","cmd":"start","serviceName":"web"})",
         R"({"error":"EINVAL","errorMessage":"nodeId should be set"})"},
        {R"({"call":"service","cmd":"start","serviceName":"web","nodeId":3})",
         R"({"error":"ENOENT","errorMessage":"node can not be found"})"},
        {R"({"call":"service","cmd":"restart","requestId":2})",
         R"({"error":"ENOENT","errorMessage":"Cannot find call handler for: service","requestId":2})"},
        {R"({"call":"service"})", R"({"error":"ENOENT","errorMessage":"Cannot find call handler for: service"})"},
        // node
        {R"({"call":"node","cmd":"list"})", R"({"response":[1,2,5,70]})"},
        {R"({"call":"node","cmd":"status"})",
         R"({"response":[{"enabled":true,"id":1,"nodename":"n1","state":"ONLINE"},)"
         R"({"enabled":false,"id":2,"nodename":"n2","state":"OFFLINE"},)"
         R"({"enabled":true,"id":5,"nodename":"n5","state":"OFFLINE"},)"
         R"({"enabled":true,"id":70,"nodename":"n70","state":"OFFLINE"}]})"},
        {R"({"call":"node","cmd":"info","id":5.7})",
         R"({"response":[{"enabled":true,"id":5,"nodename":"n5","state":"OFFLINE"}]})"},
        {R"({"call":"node","cmd":"status","id":true})",
         R"({"response":[{"enabled":true,"id":1,"nodename":"n1","state":"ONLINE"}]})"},
        {R"({"call":"node","cmd":"status","id":3})", R"({"error":"ENOENT","errorMessage":"node can not be found"})"},
        {R"({"call":"node","cmd":"enable","id":2})", R"({"response":{"got":{"call":"node","cmd":"enable","id":2}}})"},
        {R"({"call":"node","cmd":"disable","id":2})", R"({"response":{"got":{"call":"node","cmd":"disable","id":2}}})"},
        {R"({"call":"node","cmd":"enable"})", R"({"error":"EINVAL","errorMessage":"'id' should be set"})"},
        {R"({"call":"node","cmd":"disable","id":9})", R"({"error":"ENOENT","errorMessage":"node can not be found"})"},
        {R"({"call":"node","cmd":"exit","id":1})", R"({"response":{"got":{"call":"node","cmd":"exit","id":1}}})"},
        {R"({"call":"node","cmd":"exit"})", R"({"response":{"got":{"call":"node","cmd":"exit","id":66}}})"},
        {R"({"call":"node","cmd":"exit","id":66})", R"({"error":"ENOENT","errorMessage":"node can not be found"})"},
        {R"({"call":"node","cmd":"help"})", R"({"response":["disable","enable","exit","info","list","status"]})"},
        // debug
        {R"({"call":"debug","cmd":"help"})", R"({"response":["debug-dump-services"]})"},
        {R"({"call":"debug","cmd":"debug-dump-services"})",
         R"({"response":{"got":{"call":"debug","cmd":"debug-dump-services"}}})"},
        {R"({"call":"debug"})", R"({"error":"EINVAL","errorMessage":"'cmd' is missed. try 'help'"})"},
        {R"({"call":"debug","cmd":"dump"})", R"({"error":"EINVAL","errorMessage":"'cmd' is wrong. try 'help'"})"},
        // unknown calls and shapes
        {R"({"call":"pool","cmd":"list","requestId":null})",
         R"({"error":"ENOENT","errorMessage":"Cannot find call handler for: pool","requestId":null})"},
        {R"({})", R"({"error":"ENOENT","errorMessage":"Cannot find call handler for: "})"},
        {R"([1,2])", R"({"error":"ENOENT","errorMessage":"Cannot find call handler for: "})"},
        {R"("help")", R"({"error":"ENOENT","errorMessage":"Cannot find call handler for: "})"},
        {R"({"call":"node","cmd":5,"requestId":1})",
         R"({"error":"EA80001","errorMessage":"Exception during request: [json.exception.type_error.302] type must be string, but is number"})"},
        {R"({"call":"node","cmd":"status","id":"1"})",
         R"({"error":"EA80001","errorMessage":"Exception during request: [json.exception.type_error.302] type must be number, but is string"})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ask(c.request), c.reply) << c.request;
}

TEST_F(protocol, ServiceStateNames)
{
    struct row {
        const char* record;
        const char* state;
    };
    const row rows[] = {
        {R"({"session_id":"S1","state":0})", "-"},         {R"({"session_id":"S1","state":1})", "STOPPED"},
        {R"({"session_id":"S1","state":2})", "STARTING"},  {R"({"session_id":"S1","state":4})", "STOPPING"},
        {R"({"session_id":"S1","state":5})", "RECOVERY"},  {R"({"session_id":"S1","state":6})", "RECOVERING"},
        {R"({"session_id":"S1","state":9})", "INVALID"},   {R"({"session_id":"S1","state":1e300})", "INVALID"},
        {R"({"session_id":"S1","state":true})", "STOPPED"}, {R"({"session_id":"S0","state":1})", "STOPPED"},
        {R"({"session_id":"S0","state":5})", "RECOVERY"},  {R"({"session_id":"S0","state":2})", "STALE"},
        {R"({"state":3})", "STALE"},                        {R"({"session_id":1,"state":3})", "STALE"},
        // Left alone after its failures, in this session or stale under it.
        {R"({"failed":true,"session_id":"S1","state":2})", "FAILED"},
        {R"({"failed":true,"session_id":"-","state":4})", "FAILED"},
        {R"({"failed":false,"session_id":"S1","state":2})", "STARTING"},
        {R"({"failed":true,"session_id":"S0","state":2})", "STALE"},
    };
    for (const auto& r : rows) {
        mon.kv["svc-x-runstate"] = r.record;
        const json reply = json::parse(ask(R"({"call":"service","cmd":"status","serviceName":"x"})"));
        EXPECT_EQ(reply["response"][0]["state"], r.state) << r.record;
        EXPECT_TRUE(reply["response"][0]["run_node"].is_null()) << r.record;
    }
}

// A node the leader keeps fenced reads FENCED while online, so that a move
// there is refused before its stop.
TEST_F(protocol, LeftFencedNodeReadsFenced)
{
    const struct {
        const char* record;
        const char* state;
    } rows[] = {{nullptr, "ONLINE"},
                {R"({"left_fenced":false})", "ONLINE"},
                {R"({"left_fenced":true})", "FENCED"},
                {"not json", "FENCED"}};
    for (const auto& r : rows) {
        if (r.record)
            mon.kv["node-left-fenced-1"] = r.record;
        const json reply = json::parse(ask(R"({"call":"node","cmd":"status","id":1})"));
        EXPECT_EQ(reply["response"][0]["state"], r.state) << (r.record ? r.record : "none");
    }
    mon.kv["node-left-fenced-2"] = R"({"left_fenced":true})";  // offline stays OFFLINE
    EXPECT_EQ(json::parse(ask(R"({"call":"node","cmd":"status","id":2})"))["response"][0]["state"], "OFFLINE");
}

TEST_F(protocol, BrokenRecordsFailTheRequest)
{
    for (const char* record : {"not json", R"({"session_id":"S1"})", R"({"session_id":"S1","state":"3"})", "[1]"}) {
        mon.kv["svc-web-runstate"] = record;
        const json reply = json::parse(ask(R"({"call":"service","cmd":"status","serviceName":"web","requestId":1})"));
        EXPECT_EQ(reply["error"], "EA80001") << record;
        EXPECT_FALSE(reply.contains("requestId")) << record;
    }
    for (const char* record : {R"({"enabled":1})", R"({})", "x"}) {
        mon.kv["node-config-1"] = record;
        EXPECT_EQ(json::parse(ask(R"({"call":"node","cmd":"status","id":1})"))["error"], "EA80001") << record;
    }
}

TEST_F(protocol, EmptyConfiguration)
{
    config = json::parse(R"({"cluster":{},"nodes":[],"services":[]})");
    EXPECT_EQ(ask(R"({"call":"service","cmd":"list"})"), R"({"response":null})");
    EXPECT_EQ(ask(R"({"call":"service","cmd":"status"})"), R"({"response":[]})");
    EXPECT_EQ(ask(R"({"call":"node","cmd":"list"})"), R"({"response":null})");
    EXPECT_EQ(ask(R"({"call":"node","cmd":"info"})"), R"({"response":[]})");
}

// Node ids are never wrapped: a number outside 0..4294967295 (after truncation
// toward zero) or not finite names no node at all, for "nodeId" as for "id".
TEST_F(protocol, NodeIdsOutOfRangeNameNoNode)
{
    for (const char* id : {"4294967297", "4294967296", "-1", "-1.5", "1e300", "-1e300", "18446744073709551617",
                           "4294967297.5"}) {
        SCOPED_TRACE(id);
        const std::string not_found = R"({"error":"ENOENT","errorMessage":"node can not be found"})";
        for (const char* cmd : {"status", "enable", "disable", "exit"})
            EXPECT_EQ(ask(std::string(R"({"call":"node","cmd":")") + cmd + R"(","id":)" + id + "}"), not_found);
        EXPECT_EQ(ask(std::string(R"({"call":"service","cmd":"start","serviceName":"web","nodeId":)") + id + "}"),
                  not_found);
    }
    EXPECT_TRUE(svc.requests.empty());
    // In range, after truncation: -0.5 is 0, which is not configured.
    EXPECT_EQ(ask(R"({"call":"node","cmd":"status","id":-0.5})"),
              R"({"error":"ENOENT","errorMessage":"node can not be found"})");
}

TEST_F(protocol, HandlerErrorWithoutMessageGivesNull)
{
    svc.answer = [](const json&) { return json{{"error", "EBUSY"}, {"extra", 1}}; };
    EXPECT_EQ(ask(R"({"call":"service","cmd":"stop","serviceName":"web","requestId":3})"),
              R"({"error":"EBUSY","errorMessage":null,"requestId":3})");
    svc.answer = [](const json&) { return json(nullptr); };
    EXPECT_EQ(ask(R"({"call":"service","cmd":"stop","serviceName":"web"})"), R"({"response":null})");
    svc.answer = [](const json&) { return json{{"error", "EAGAIN"}, {"errorMessage", "Request cannot be done. Try again."}}; };
    EXPECT_EQ(ask(R"({"call":"node","cmd":"enable","id":1})"),
              R"({"error":"EAGAIN","errorMessage":"Request cannot be done. Try again."})");
}

}  // namespace
}  // namespace mgmt::test
