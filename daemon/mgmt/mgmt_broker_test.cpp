// The endpoint on the wire: a running application with its broker and workers,
// driven by ZMQ clients through activations.
#include "daemon/mgmt/mgmt_broker.hpp"
#include "daemon/mgmt/mgmt_test_util.hpp"

#include <gtest/gtest.h>

#include <future>

namespace mgmt::test {
namespace {

const std::string HELP = R"({"call":"help"})";
const std::string HELP_REPLY = R"({"response":["service","node","debug"]})";

struct endpoint : ::testing::Test {
    endpoint_rig rig;
    void SetUp() override
    {
        rig.app->doevent("ACTIVATE", "S1");
        ASSERT_EQ(ask_until_up(rig.url, HELP), HELP_REPLY);
    }
};

TEST_F(endpoint, AnswersRequestsAndEchoesRequestId)
{
    client c(rig.url);
    EXPECT_EQ(c.ask(R"({"call":"node","cmd":"list","requestId":"a"})"), R"({"requestId":"a","response":[1,2,5,70]})");
    EXPECT_EQ(c.ask("not json").value_or("").rfind(R"({"error":"EA80001","errorMessage":"Exception during request: )", 0),
              0u);
    EXPECT_EQ(c.ask(HELP), HELP_REPLY);
}

// Five requests are handled at once; the sixth waits in the front end until a
// worker is free, and none is lost.
TEST_F(endpoint, SixClientsFiveWorkers)
{
    rig.svc.delay = 600ms;
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::future<std::pair<std::optional<std::string>, std::chrono::steady_clock::duration>>> replies;
    for (int i = 0; i < 6; ++i)
        replies.push_back(std::async(std::launch::async, [this, i, t0] {
            client c(rig.url, 10s);
            auto r = c.ask(R"({"call":"service","cmd":"stop","serviceName":"s)" + std::to_string(i) + R"("})");
            return std::make_pair(r, std::chrono::steady_clock::now() - t0);
        }));
    int late = 0;
    for (int i = 0; i < 6; ++i) {
        auto [reply, elapsed] = replies[i].get();
        ASSERT_TRUE(reply) << i;
        EXPECT_EQ(json::parse(*reply)["response"]["got"]["serviceName"], "s" + std::to_string(i));
        if (elapsed >= 1150ms)
            ++late;
    }
    EXPECT_EQ(rig.svc.max_in_flight.load(), 5);
    EXPECT_EQ(late, 1);
}

// Messages without REQ's empty delimiter are dropped without costing a worker or
// shifting the frames of later messages; a request of more than one part is
// answered "EA80001", from a DEALER as from a REQ client; a client named "READY"
// is a client.
TEST_F(endpoint, MalformedFramingLeavesTheEndpointAnswering)
{
    const std::string multipart =
        R"({"error":"EA80001","errorMessage":"Exception during request: request of 2 message parts; a request is one part"})";
    zmq::context_t ctx;
    zmq::socket_t dealer(ctx, zmq::socket_type::dealer);
    dealer.set(zmq::sockopt::linger, 0);
    dealer.set(zmq::sockopt::rcvtimeo, 500);
    dealer.connect(rig.url);
    for (int i = 0; i < 200; ++i) {
        dealer.send(zmq::buffer(HELP), zmq::send_flags::none);  // no delimiter
        dealer.send(zmq::str_buffer("x"), zmq::send_flags::sndmore);
        dealer.send(zmq::str_buffer(""), zmq::send_flags::sndmore);
        dealer.send(zmq::buffer(HELP), zmq::send_flags::none);  // delimiter not empty
    }
    zmq::message_t m;
    EXPECT_FALSE(dealer.recv(m));
    for (const auto& body : {std::vector<std::string>{HELP, "extra"}, std::vector<std::string>{HELP}}) {
        dealer.send(zmq::str_buffer(""), zmq::send_flags::sndmore);
        for (std::size_t i = 0; i < body.size(); ++i)
            dealer.send(zmq::buffer(body[i]), i + 1 < body.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
        ASSERT_TRUE(dealer.recv(m));
        EXPECT_EQ(m.size(), 0u);
        ASSERT_TRUE(dealer.recv(m));
        EXPECT_EQ(m.to_string(), body.size() == 1 ? HELP_REPLY : multipart);
    }
    client req(rig.url);
    req.sock.send(zmq::buffer(HELP), zmq::send_flags::sndmore);
    req.sock.send(zmq::str_buffer("{}"), zmq::send_flags::none);
    ASSERT_TRUE(req.sock.recv(m));
    EXPECT_EQ(m.to_string(), multipart);
    EXPECT_EQ(req.ask(HELP), HELP_REPLY);

    client ready(rig.url, 3s, "READY");
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(ready.ask(HELP), HELP_REPLY) << i;
    client other(rig.url);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(other.ask(R"({"call":"debug","cmd":"help"})"), R"({"response":["debug-dump-services"]})") << i;
}

// A request over the limit is answered without being parsed; a message part
// too large to be taken at all cuts that client's connection, and only that.
TEST_F(endpoint, OversizeRequestsAreRefusedAndHugeOnesCutOff)
{
    client c(rig.url);
    std::string at_limit = R"({"call":"help","pad":")";
    at_limit += std::string(MAX_REQUEST_BYTES - at_limit.size() - 2, 'y') + "\"}";
    ASSERT_EQ(at_limit.size(), MAX_REQUEST_BYTES);
    EXPECT_EQ(c.ask(at_limit), HELP_REPLY);
    for (std::size_t n : {MAX_REQUEST_BYTES + 1, static_cast<std::size_t>(MAX_FRAME_BYTES)})
        EXPECT_EQ(c.ask(std::string(n, '[')),
                  R"({"error":"EA80001","errorMessage":"Exception during request: request too large: )" +
                      std::to_string(n) + R"( bytes, at most 65536"})");

    auto huge = std::async(std::launch::async, [this] {
        client h(rig.url, 1500ms);
        return h.ask(std::string(MAX_FRAME_BYTES + 1, 'x'));
    });
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(c.ask(HELP), HELP_REPLY);
    EXPECT_FALSE(huge.get());
    EXPECT_EQ(c.ask(HELP), HELP_REPLY);
}

// Replies with invalid UTF-8 are still sent: no worker is lost to them.
TEST_F(endpoint, EveryWorkerSurvivesInvalidUtf8)
{
    rig.svc.answer = [](const json&) { return json("\xff"); };
    client c(rig.url);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(c.ask(R"({"call":"debug","cmd":"debug-dump-services"})"), "{\"response\":\"\xef\xbf\xbd\"}");
        EXPECT_NE(c.ask("{\"call\":\xfe}").value_or("").find("\xef\xbf\xbd"), std::string::npos);
    }
}

// Leadership ends and comes back: the endpoint goes away with its context and a
// new activation brings a new one up.
TEST_F(endpoint, ReactivationGetsANewContext)
{
    EXPECT_EQ(rig.app->activations(), 1u);
    rig.app->doevent("ABORT", "");
    // The configuration is fetched again before the next ACTIVATE is awaited.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (rig.mon.config_calls.load() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(rig.mon.config_calls.load(), 2);
    client gone(rig.url, 300ms);
    EXPECT_FALSE(gone.ask(HELP));
    rig.app->doevent("ACTIVATE", "S2");
    EXPECT_EQ(ask_until_up(rig.url, HELP), HELP_REPLY);
    EXPECT_EQ(rig.app->activations(), 2u);
    EXPECT_EQ(*rig.app->session_id(), "S2");
}

// A client that never reads its replies leaves them queued in the front end;
// the end of leadership drops them instead of waiting for that client for ever.
TEST_F(endpoint, DeactivationDoesNotWaitForStalledClients)
{
    rig.svc.answer = [](const json&) { return json(std::string(64 * 1024, 'r')); };
    zmq::context_t ctx;
    zmq::socket_t dealer(ctx, zmq::socket_type::dealer);
    dealer.set(zmq::sockopt::linger, 0);
    dealer.set(zmq::sockopt::rcvbuf, 4096);
    dealer.set(zmq::sockopt::rcvhwm, 1);
    dealer.connect(rig.url);
    for (int i = 0; i < 300; ++i) {
        dealer.send(zmq::str_buffer(""), zmq::send_flags::sndmore);
        dealer.send(zmq::str_buffer(R"({"call":"debug","cmd":"debug-dump-services"})"), zmq::send_flags::none);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (rig.svc.requests.size() < 300 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    {
        std::lock_guard lk(rig.svc.mutex);
        ASSERT_EQ(rig.svc.requests.size(), 300u);
    }
    const auto t0 = std::chrono::steady_clock::now();
    rig.app->doevent("EXIT", "");
    auto done = std::async(std::launch::async, [this] { rig.thread.join(); });
    EXPECT_EQ(done.wait_for(5s), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    if (done.wait_for(0s) != std::future_status::ready) {
        dealer.close();  // let the termination finish so the test can end
        done.wait();
    }
}

// The front end's address is taken: the bind is retried at the bind-retry period
// until it is free, then the endpoint comes up.
TEST(endpoint_bind, ConflictIsRetriedUntilFree)
{
    endpoint_rig rig({500ms, 100ms});
    zmq::context_t ctx;
    auto squatter = std::make_unique<zmq::socket_t>(ctx, zmq::socket_type::router);
    squatter->set(zmq::sockopt::linger, 0);
    squatter->bind(rig.url);
    const auto t0 = std::chrono::steady_clock::now();
    rig.app->doevent("ACTIVATE", "S1");
    std::this_thread::sleep_for(100ms);
    squatter.reset();
    ASSERT_EQ(ask_until_up(rig.url, HELP), HELP_REPLY);
    const auto up = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(up, 450ms);
    EXPECT_LT(up, 2500ms);
}

// Leadership ends while the bind is still retried: the broker returns by itself
// and the application waits for the next activation.
TEST(endpoint_bind, LeadershipEndsDuringRetry)
{
    endpoint_rig rig({300ms, 100ms});
    zmq::context_t ctx;
    zmq::socket_t squatter(ctx, zmq::socket_type::router);
    squatter.set(zmq::sockopt::linger, 0);
    squatter.bind(rig.url);
    rig.app->doevent("ACTIVATE", "S1");
    std::this_thread::sleep_for(100ms);
    rig.app->doevent("ABORT", "");
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (rig.mon.config_calls.load() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(rig.mon.config_calls.load(), 2);
    squatter.close();
    rig.app->doevent("ACTIVATE", "S2");
    EXPECT_EQ(ask_until_up(rig.url, HELP), HELP_REPLY);
}

}  // namespace
}  // namespace mgmt::test

namespace mgmt::test {
namespace {

// Leadership ends while requests wait in the service manager, which answers
// them "EAGAIN" once it is no longer active: every client gets that answer, and
// the application still ends on "EXIT".
TEST(endpoint_abort, RequestsInFlightAreAnsweredBeforeTheContextEnds)
{
    endpoint_rig rig;
    std::atomic<bool> aborted{false};
    rig.svc.answer = [&](const json&) {
        while (!aborted.load())
            std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(300ms);  // the requester's next wake-up
        return reply_try_again();
    };
    rig.app->doevent("ACTIVATE", "S1");
    ASSERT_EQ(ask_until_up(rig.url, HELP), HELP_REPLY);
    std::vector<std::future<std::optional<std::string>>> replies;
    for (int i = 0; i < 5; ++i)
        replies.push_back(std::async(std::launch::async, [&rig] {
            client c(rig.url, 5s);
            return c.ask(R"({"call":"node","cmd":"enable","id":1,"requestId":1})");
        }));
    while (rig.svc.in_flight.load() < 5)
        std::this_thread::sleep_for(5ms);
    rig.app->doevent("ABORT", "");
    aborted = true;
    for (auto& r : replies)
        EXPECT_EQ(r.get(), R"({"error":"EAGAIN","errorMessage":"Request cannot be done. Try again.","requestId":1})");
    rig.stop();
    EXPECT_EQ(rig.mon.unregistered.load(), 1);
}

// An endpoint holding one request whose service-manager body runs until released.
struct request_in_progress : ::testing::Test {
    endpoint_rig rig;
    std::atomic<bool> release{false};
    std::future<std::optional<std::string>> slow;

    void SetUp() override
    {
        rig.svc.answer = [this](const json& r) {
            while (r.at("serviceName") == "slow" && !release.load())
                std::this_thread::sleep_for(5ms);
            return json{{"done", r.at("serviceName")}};
        };
        rig.app->doevent("ACTIVATE", "S1");
        ASSERT_EQ(ask_until_up(rig.url, HELP), HELP_REPLY);
        slow = std::async(std::launch::async, [this] {
            client c(rig.url, 10s);
            return c.ask(R"({"call":"service","cmd":"stop","serviceName":"slow","requestId":1})");
        });
        while (rig.svc.in_flight.load() == 0)
            std::this_thread::sleep_for(5ms);
    }
    void TearDown() override { release = true; }
    static constexpr const char* SLOW_REPLY = R"({"requestId":1,"response":{"done":"slow"}})";
};

// Leadership ends while a request's body runs: that request gets its own result
// however long it takes, while every new one is answered "EAGAIN" at once and
// never reaches the service manager; then the endpoint goes, and comes back
// with the next activation.
TEST_F(request_in_progress, EndOfActivationAnswersItAndRefusesNewOnes)
{
    rig.app->doevent("ABORT", "");
    client late(rig.url, 2s);
    for (int i = 0; i < 3; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(late.ask(R"({"call":"service","cmd":"stop","serviceName":"fast","requestId":"late"})"),
                  R"({"error":"EAGAIN","errorMessage":"Request cannot be done. Try again.","requestId":"late"})");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
    }
    EXPECT_EQ(late.ask("not json"), R"({"error":"EAGAIN","errorMessage":"Request cannot be done. Try again."})");
    std::this_thread::sleep_for(2500ms);  // longer than the service manager's own drop of a queued request
    EXPECT_EQ(rig.mon.config_calls.load(), 1) << "the activation ended before its request was answered";
    release = true;
    EXPECT_EQ(slow.get(), SLOW_REPLY);
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (rig.mon.config_calls.load() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(rig.mon.config_calls.load(), 2);
    EXPECT_EQ(rig.svc.requests.size(), 1u);
    rig.app->doevent("ACTIVATE", "S2");
    EXPECT_EQ(ask_until_up(rig.url, HELP), HELP_REPLY);
}

// "EXIT" while the body runs, then the exiting leader loses and even wins the
// leadership again: the exit holds, the request is answered, the thread ends.
TEST_F(request_in_progress, ExitIsFinal)
{
    rig.app->doevent("EXIT", "");
    rig.app->doevent("ABORT", "");
    rig.app->doevent("ACTIVATE", "S2");
    std::this_thread::sleep_for(100ms);
    release = true;
    EXPECT_EQ(slow.get(), SLOW_REPLY);
    auto ended = std::async(std::launch::async, [this] { rig.thread.join(); });
    const bool in_time = ended.wait_for(5s) == std::future_status::ready;
    EXPECT_TRUE(in_time) << "the application thread did not end after EXIT";
    if (!in_time) {
        rig.app->doevent("EXIT", "");  // let the test end
        ended.wait();
    }
    EXPECT_EQ(rig.mon.unregistered.load(), 1);
    EXPECT_EQ(rig.app->activations(), 1u);
}

}  // namespace
}  // namespace mgmt::test
