// monitor_call: every error it builds itself, the set-value limits, kelm-exit, and
// Runner calls against an in-process msgpack-RPC server.
#include "daemon/core/monitor_test_util.hpp"

#include "rpc/server.hpp"
#include "rpc/test_peer.hpp"

#include <condition_variable>
#include <thread>
#include <tuple>

using namespace monitor;
using namespace monitor::test;
using nlohmann::json;

namespace {

json call(node_monitor& m, uint32_t id, const std::string& cmd, json data = nullptr)
{
    m.call(id, cmd, data);
    return data;
}

json err(const std::string& code, const std::string& text) { return {{"error", code}, {"errorMessage", text}}; }

// A Runner stand-in: "args" answers with the params it got as a JSON reply.
struct fake_runner {
    rpc::server srv{"127.0.0.1", 0};
    std::mutex m;
    std::condition_variable cv;
    bool released = false;

    fake_runner()
    {
        srv.bind("args", [](const msgpack::object& params) {
            json got = json::array();
            for (uint32_t i = 0; i < params.via.array.size; ++i)
                got.push_back(params.via.array.ptr[i].as<std::string>());
            return rpc::value::of(json{{"response", got}}.dump());
        });
        srv.bind("number", [](const msgpack::object&) { return rpc::value::of(42); });
        srv.bind("garbage", [](const msgpack::object&) { return rpc::value::of(std::string("{not json")); });
        srv.bind("fails", [](const msgpack::object&) -> rpc::value { throw std::runtime_error("no such service"); });
        srv.bind("warns", [](const msgpack::object&) {
            return rpc::value::of(std::string(R"({"response":1,"warnMessage":"careful"})"));
        });
        srv.bind("hang", [this](const msgpack::object&) {
            std::unique_lock lk(m);
            cv.wait_for(lk, std::chrono::seconds(10), [this] { return released; });
            return rpc::value::nil();
        });
        srv.start();
    }
    ~fake_runner()
    {
        {
            std::lock_guard lk(m);
            released = true;
        }
        cv.notify_all();
        srv.stop();
    }
};

}  // namespace

TEST(MonitorCall, BeforeStartEverythingIsRefused)
{
    monitor_rig r(1, 3);
    EXPECT_EQ(call(*r.mon, 65, "get-this-nodeid"), err("EMONITOR", "Monitor not started"));
    EXPECT_EQ(call(*r.mon, 1, "ping"), err("EMONITOR", "Monitor not started"));
}

TEST(MonitorCall, LocalCommandsIgnoreTheNodeId)
{
    monitor_rig r(2, 3);
    r.start();
    for (uint32_t id : {2u, 65u, 66u, 64u, 7u}) {
        EXPECT_EQ(call(*r.mon, id, "get-this-nodeid"), (json{{"response", 2}}));
        EXPECT_EQ(call(*r.mon, id, "get-cluster-config"), (json{{"response", r.config}}));
        EXPECT_EQ(call(*r.mon, id, "get-value", {{"key", "nope"}}), err("ENOENT", "key not found"));
    }
    r.mon->act_on(apply("svc/a", "running"));
    EXPECT_EQ(call(*r.mon, 66, "get-value", {{"key", "svc/a"}}), (json{{"response", "running"}}));
}

// A missing or wrongly typed key or value, or data that is no object, is answered
// in the reply convention like every other refusal, never with an exception.
TEST(MonitorCall, MissingOrMistypedKeyOrValueIsAnErrorReply)
{
    monitor_rig r(1, 3);
    r.start();
    const json no_key = err("EINVAL", "Key must be a text."), no_value = err("EINVAL", "Value must be a text.");
    const std::vector<std::tuple<std::string, json, json>> cases = {
        {"get-value", json{{"key", 5}}, no_key},
        {"get-value", nullptr, no_key},
        {"get-value", json::array({"key"}), no_key},
        {"set-value", json{{"key", "a"}}, no_value},
        {"set-value", json{{"value", "v"}}, no_key},
        {"set-value", json{{"key", "a"}, {"value", 1}}, no_value},
        {"set-value", json{{"key", nullptr}, {"value", "v"}}, no_key},
        {"set-value", nullptr, no_key},
        {"set-value", "key", no_key},
    };
    for (const auto& [cmd, data, reply] : cases) {
        json io = data;
        EXPECT_NO_THROW(r.mon->call(65, cmd, io)) << cmd << " " << data.dump();
        EXPECT_EQ(io, reply) << cmd << " " << data.dump();
    }
    EXPECT_EQ(r.log.last_index(), 0u);
}

TEST(MonitorCall, SetValueLimitsKeyFirstAndNulBytes)
{
    monitor_rig r(1, 3);
    r.start();
    const std::string k127(127, 'k'), k128(128, 'k'), v255(255, 'v'), v256(256, 'v');
    EXPECT_EQ(call(*r.mon, 65, "set-value", {{"key", k128}, {"value", v256}}), err("EINVAL", "Key too long."));
    EXPECT_EQ(call(*r.mon, 65, "set-value", {{"key", k127}, {"value", v256}}), err("EINVAL", "Value too long."));
    EXPECT_EQ(call(*r.mon, 65, "set-value", {{"key", std::string("a\0b", 3)}, {"value", "v"}}),
              err("EINVAL", "Key contains a NUL byte."));
    EXPECT_EQ(call(*r.mon, 65, "set-value", {{"key", "a"}, {"value", std::string("v\0w", 3)}}),
              err("EINVAL", "Value contains a NUL byte."));
    // Within the limits, but this node does not lead: refused at once.
    EXPECT_EQ(call(*r.mon, 65, "set-value", {{"key", k127}, {"value", v255}}), err("ETIMEDOUT", "Set key timeout."));
    EXPECT_EQ(r.log.last_index(), 0u);
}

TEST(MonitorCall, SetValueAtTheLimitsCommitsOnALeader)
{
    monitor_rig r(1, 1, false, /*thread=*/true);
    r.start();
    ASSERT_TRUE(r.await_single_node_leader());
    const std::string k127(127, 'k'), v255(255, 'v');
    EXPECT_EQ(call(*r.mon, 65, "set-value", {{"key", k127}, {"value", v255}}), (json{{"response", 0}}));
    EXPECT_EQ(call(*r.mon, 65, "get-value", {{"key", k127}}), (json{{"response", v255}}));
    r.mon->stop();
}

// A set-value with "term" lands only while this node leads in that very term: a
// writer of an earlier leadership of this node (or one that guessed ahead) is
// refused like any refused set-value, and nothing reaches the log.
TEST(MonitorCall, SetValueWithTermOnlyInThatTerm)
{
    monitor_rig r(1, 1, false, /*thread=*/true);
    r.start();
    ASSERT_TRUE(r.await_single_node_leader());
    const uint64_t t = r.mon->term();
    const uint64_t before = r.log.last_index();
    for (uint64_t other : {t + 1, t + 5, t == 0 ? uint64_t{99} : t - 1})
        EXPECT_EQ(call(*r.mon, 66, "set-value", {{"key", "k"}, {"value", "old"}, {"term", other}}),
                  err("ETIMEDOUT", "Set key timeout."));
    for (json bad : {json("7"), json(-1), json(1.5), json(nullptr)})
        EXPECT_EQ(call(*r.mon, 66, "set-value", {{"key", "k"}, {"value", "old"}, {"term", bad}}),
                  err("EINVAL", "Bad term."));
    EXPECT_EQ(r.log.last_index(), before);
    EXPECT_EQ(call(*r.mon, 66, "set-value", {{"key", "k"}, {"value", "new"}, {"term", t}}), (json{{"response", 0}}));
    EXPECT_EQ(call(*r.mon, 66, "set-value", {{"key", "k2"}, {"value", "v"}}), (json{{"response", 0}}));
    EXPECT_EQ(call(*r.mon, 65, "get-value", {{"key", "k"}}), (json{{"response", "new"}}));
    r.mon->stop();
}

TEST(MonitorCall, KelmExit)
{
    {
        monitor_rig r(1, 3, /*ha=*/true);
        r.start();
        EXPECT_EQ(call(*r.mon, 3, "kelm-exit"), (json{{"response", 0}}));
        EXPECT_FALSE(r.mon->exit_requested());
        raft::raft_msg_t m;
        ASSERT_EQ(raft::mq_pop(r.queue(3), &m, 1), 0);
        EXPECT_EQ(m.type, raft::EXIT);
        EXPECT_EQ(m.to, 3u);
        EXPECT_EQ(m.from, 1u);
        EXPECT_EQ(queued(r.queue(2)), 0u);
        EXPECT_EQ(call(*r.mon, 9, "kelm-exit"), (json{{"response", 0}})) << "no queue: nothing sent";
        EXPECT_EQ(call(*r.mon, 66, "kelm-exit"), (json{{"response", 0}}));
        for (uint32_t tag : {2u, 3u, raft::NODE_HA}) {
            ASSERT_EQ(raft::mq_pop(r.queue(tag), &m, 1), 0);
            EXPECT_EQ(m.type, raft::EXIT);
            EXPECT_EQ(m.to, tag);
        }
        EXPECT_TRUE(r.mon->exit_requested());
    }
    {
        // Across nodes: node 1's record makes node 2 exit and tell its applications.
        monitor_rig a(1, 2), b(2, 2);
        recording_app app("svc_app");
        a.start();
        b.start();
        b.mon->register_app(&app.rec);
        EXPECT_EQ(call(*a.mon, 2, "kelm-exit"), (json{{"response", 0}}));
        raft::raft_msg_t m;
        ASSERT_EQ(raft::mq_pop(a.queue(2), &m, 1), 0);
        b.mon->run_once(m);
        EXPECT_TRUE(b.mon->exit_requested());
        EXPECT_EQ(app.take(), std::vector<std::string>{"EXIT:"});
        b.mon->unregister_app(&app.rec);
        EXPECT_EQ(call(*a.mon, 65, "kelm-exit"), (json{{"response", 0}}));
        EXPECT_TRUE(a.mon->exit_requested());
    }
}

TEST(MonitorCall, RunnerCommandsForUnknownOrOfflineNodes)
{
    monitor_rig r(1, 3, /*ha=*/true);
    r.start();
    for (uint32_t id : {64u, 66u, 67u, 9u})
        EXPECT_EQ(call(*r.mon, id, "ping"), err("ENOENT", "unknown")) << id;
    EXPECT_EQ(call(*r.mon, 2, "ping"), err("EOFFLINE", "Called node 2 is offline"));
}

TEST(MonitorCall, UnreachableRunnerTimesOutInAboutOneSecond)
{
    const uint16_t port = rpc::test::unused_port();
    monitor_rig r(1, 2, false, false, false, {port, port});
    r.start();
    r.mon->act_on(node_status(2, true));
    for (uint32_t id : {65u, 2u}) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(call(*r.mon, id, "ping"), err("ETIMEDOUT", "Can't connect to 127.0.0.1:" + std::to_string(port)));
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(took, std::chrono::milliseconds(900));
        EXPECT_LT(took, std::chrono::milliseconds(3000));
    }
}

TEST(MonitorCall, RunnerArgumentsAndResults)
{
    fake_runner runner;
    monitor_rig r(1, 1, false, false, false, {runner.srv.port()});
    r.start();
    for (json none : {json(nullptr), json::object(), json::array()})
        EXPECT_EQ(call(*r.mon, 65, "args", none), (json{{"response", json::array()}})) << none;
    EXPECT_EQ(call(*r.mon, 1, "args", {{"cmd", "start"}, {"serviceName", "pool-é"}}),
              (json{{"response", {"{\"cmd\":\"start\",\"serviceName\":\"pool-é\"}"}}}));
    EXPECT_EQ(call(*r.mon, 1, "args", json::array({1, 2})), (json{{"response", {"[1,2]"}}}));
    EXPECT_EQ(call(*r.mon, 1, "warns"), (json{{"response", 1}, {"warnMessage", "careful"}}));

    json io = call(*r.mon, 1, "number");
    EXPECT_EQ(io["error"], "ESTDEXCEPTION");
    io = call(*r.mon, 1, "garbage");
    EXPECT_EQ(io["error"], "ESTDEXCEPTION");
    EXPECT_NE(io["errorMessage"].get<std::string>().find("parse"), std::string::npos) << io;
    io = call(*r.mon, 1, "fails");
    EXPECT_EQ(io["error"], "ERPC");
    EXPECT_NE(io["errorMessage"].get<std::string>().find("no such service"), std::string::npos) << io;
}

TEST(MonitorCall, SilentRunnerTimesOut)
{
    fake_runner runner;
    monitor_rig r(1, 1, false, false, false, {runner.srv.port()});
    r.mon->set_runner_call_timeout(std::chrono::milliseconds(200));  // 300 s in the daemon
    r.start();
    EXPECT_EQ(call(*r.mon, 1, "hang")["error"], "ETIMEDOUT");
}

TEST(MonitorCall, RunnerThatHangsUpAfterTheRequestLeavesTheOutcomeUnknown)
{
    rpc::test::raw_listener listener;
    std::thread peer([&] {
        rpc::unique_fd conn = listener.accept_one();
        msgpack::unpacker unp;
        (void)rpc::test::read_object(conn.get(), std::chrono::seconds(5), &unp);
        // The request arrived; the Runner may have acted on it. Now it vanishes.
    });
    monitor_rig r(1, 1, false, false, false, {listener.port});
    r.start();
    json io = call(*r.mon, 65, "service", {{"cmd", "start"}, {"serviceName", "pool1"}});
    peer.join();
    EXPECT_EQ(io["error"], "ETIMEDOUT") << io << " (a settled error would end the service's retries)";
}
