// Request handling at the worker: bad bodies, invalid UTF-8, nesting depth, the
// log lines of a mutating request.
#include "daemon/mgmt/mgmt_request.hpp"
#include "daemon/mgmt/mgmt_test_util.hpp"

#include <gtest/gtest.h>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

namespace mgmt::test {
namespace {

struct request_handling : ::testing::Test {
    fake_monitor mon;
    fake_service_manager svc;
    mgmt_app app{mon, svc};
    json config = sample_config();
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(64);
    std::shared_ptr<spdlog::logger> previous = spdlog::default_logger();

    request_handling()
    {
        auto logger = std::make_shared<spdlog::logger>("test", sink);
        logger->set_pattern("%l %v");
        logger->set_level(spdlog::level::info);
        spdlog::set_default_logger(logger);
    }
    ~request_handling() override { spdlog::set_default_logger(previous); }
    std::string ask(std::string_view text, const std::string& label = "10.0.0.9")
    {
        return handle_request(text, label, config, app);
    }
    std::vector<std::string> lines()
    {
        auto out = sink->last_formatted();
        for (auto& l : out)
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
                l.pop_back();
        return out;
    }
};

bool valid_utf8(const std::string& s)
{
    try {
        (void)json(s).dump();
        return true;
    } catch (const json::type_error&) {
        return false;
    }
}

TEST_F(request_handling, BadBodiesGetOneEA80001ReplyEach)
{
    const std::string bodies[] = {
        "", "not json", "{\"call\":", "{\"call\":\"help\"} trailing", "/* c */ {\"call\":\"help\"}",
        std::string("{\"call\":\"\xff\xfe\"}"), std::string("\xc3\x28"), std::string("{\"a\":\"x\0y\"}", 11),
        std::string(100000, '['), "{\"a\":" + std::string(65, '[') + std::string(65, ']') + "}",
    };
    for (const auto& body : bodies) {
        const std::string reply = ask(body);
        ASSERT_TRUE(valid_utf8(reply)) << reply;
        const json j = json::parse(reply);
        EXPECT_EQ(j.size(), 2u) << reply;
        EXPECT_EQ(j["error"], "EA80001") << reply;
        EXPECT_EQ(j["errorMessage"].get<std::string>().rfind("Exception during request: ", 0), 0u) << reply;
    }
    const auto log = lines();
    ASSERT_EQ(log.size(), std::size(bodies));
    EXPECT_EQ(log[0].rfind("warning mgmt_app: request from 10.0.0.9 failed: [json.exception.parse_error.101]", 0), 0u)
        << log[0];
    // Depth up to the bound is accepted.
    EXPECT_EQ(ask("{\"call\":\"help\",\"x\":" + std::string(63, '[') + std::string(63, ']') + "}"),
              R"({"response":["service","node","debug"]})");
    EXPECT_EQ(ask(R"({"call":"help","x":"[[[[ { not nesting inside a string \" [[["})"),
              R"({"response":["service","node","debug"]})");
}

// The invalid bytes a parse error quotes, or a result carrying them, are replaced:
// the client is answered and the worker stays in service.
TEST_F(request_handling, InvalidUtf8IsReplacedInReplies)
{
    const std::string reply = ask("{\"call\": \xff}");
    EXPECT_TRUE(valid_utf8(reply));
    EXPECT_NE(reply.find("\xef\xbf\xbd"), std::string::npos) << reply;

    svc.answer = [](const json&) { return json{{"error", "EIO"}, {"errorMessage", "bad \xff byte"}}; };
    EXPECT_EQ(ask(R"({"call":"service","cmd":"stop","serviceName":"web"})"),
              "{\"error\":\"EIO\",\"errorMessage\":\"bad \xef\xbf\xbd byte\"}");
    svc.answer = [](const json&) { return json("caf\xc3"); };
    EXPECT_EQ(ask(R"({"call":"service","cmd":"stop","serviceName":"web"})"), "{\"response\":\"caf\xef\xbf\xbd\"}");
    // Valid bytes above 127 are written as they are.
    svc.answer = [](const json&) { return json("caf\xc3\xa9"); };
    EXPECT_EQ(ask(R"({"call":"service","cmd":"stop","serviceName":"web"})"), "{\"response\":\"caf\xc3\xa9\"}");
}

TEST_F(request_handling, MutatingRequestsAreLoggedBeforeAndAfter)
{
    svc.answer = [](const json&) { return json(nullptr); };
    ask(R"({"call":"service","cmd":"stop","serviceName":"web","requestId":7})");
    svc.answer = [](const json&) { return json{{"error", "EBUSY"}, {"errorMessage", "in\nuse"}}; };
    ask(R"({"call":"node","cmd":"disable","id":2})", "id:00a1");
    ask(R"({"call":"service","cmd":"status"})");  // not mutating: no line
    const std::vector<std::string> expected{
        "info mgmt_app: cmd from 10.0.0.9: service stop serviceName=web requestId=7",
        "info mgmt_app: done from 10.0.0.9: service stop serviceName=web requestId=7 -> OK",
        "info mgmt_app: cmd from id:00a1: node disable id=2",
        "info mgmt_app: done from id:00a1: node disable id=2 -> EBUSY (in.use)",
    };
    EXPECT_EQ(lines(), expected);
}

TEST(request_depth, CountsOnlyStructure)
{
    EXPECT_FALSE(nests_deeper_than("[[[]]]", 3));
    EXPECT_TRUE(nests_deeper_than("[[[[]]]]", 3));
    EXPECT_FALSE(nests_deeper_than(R"(["[[[[\"[[[["])", 1));
    EXPECT_FALSE(nests_deeper_than("]]]][[[", 3));
}

}  // namespace
}  // namespace mgmt::test
