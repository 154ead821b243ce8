// Management requests against a running leader at 1000x speed: the dispatch and
// every refusal, stop/start/enable/disable end to end, node settings taking
// effect at once, the dump, and requests that must never wait for ever.
#include "daemon/services/requests.hpp"

#include "daemon/services/left_fenced.hpp"
#include "daemon/services/svc_leader_fixture.hpp"
#include "daemon/services/svc_test_util.hpp"

#include <gtest/gtest.h>

#include <future>

namespace svc {
namespace {

using nlohmann::json;
using testing::app_fixture;
using testing::default_services;
using testing::leader;
using testing::log_capture;
using testing::three_nodes;
using testing::wait_until;

json svc_req(const char* cmd, const char* name) { return {{"call", "service"}, {"cmd", cmd}, {"serviceName", name}}; }
json start_req(const char* name, json node) { return {{"call", "service"}, {"cmd", "start"}, {"serviceName", name}, {"nodeId", std::move(node)}}; }
json node_req(const char* cmd, json id) { return {{"call", "node"}, {"cmd", cmd}, {"id", std::move(id)}}; }
json err(const char* code, const std::string& msg) { return {{"error", code}, {"errorMessage", msg}}; }
const json try_again = err("EAGAIN", "Request cannot be done. Try again.");

// A leader with a..d placed (a on 2, b on 3) and every node serving.
struct settled : leader {
    settled() : leader(three_nodes(default_services()))
    {
        start();
        online({1, 2, 3});
        EXPECT_TRUE(wait_until([&] {
            return runs_on("a", 2) && runs_on("b", 3) && holders("c").size() == 1 && holders("d").size() == 1;
        }));
    }
    json call(const json& req) { return svcapp_call(app, req); }
};

TEST(SvcRequests, RefusalsAndDispatch)
{
    log_capture log;
    settled l;
    const struct {
        json req;
        json reply;
    } cases[] = {
        {svc_req("stop", "cluster-management"),
         err("EPERM", "cannot stop cluster-management: managed by kelm, manual control is not allowed")},
        {svc_req("enable", "cluster-management"),
         err("EPERM", "cannot enable cluster-management: managed by kelm, manual control is not allowed")},
        {start_req("c", 64), err("EINVAL", "wrong nodeId value")},
        {start_req("c", 4294967297.0), err("EINVAL", "wrong nodeId value")},
        {start_req("c", -1.5), err("EINVAL", "wrong nodeId value")},
        {start_req("c", 1e300), err("EINVAL", "wrong nodeId value")},
        {{{"call", "service"}, {"cmd", "start"}, {"serviceName", "c"}, {"nodeId", 1}, {"move", "yes"}},
         err("EINVAL", "wrong move value")},
        {start_req("zz", 1), err("ENOENT", "cannot find service: zz")},
        {start_req("a", 1), err("EBUSY", "service is already running on node 2")},
        {start_req("a", 2.7), err("EBUSY", "service is already running on node 2")},
        {svc_req("stop", "zz"), err("ENOENT", "cannot find running service: zz")},
        {svc_req("enable", "zz"), err("ENOENT", "cannot find service: zz")},
        {svc_req("disable", "zz"), err("ENOENT", "cannot find service: zz")},
        {svc_req("restart", "a"), nullptr},
        {node_req("enable", 66), try_again},
        {node_req("disable", 9), try_again},  // no such node object
        {node_req("exit", 70), nullptr},
        {{{"call", "pool"}, {"cmd", "stop"}}, nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(l.call(c.req), c.reply) << c.req.dump();
    EXPECT_THROW(l.call(start_req("c", "1")), json::type_error);
    EXPECT_TRUE(l.runs_on("a", 2));
    EXPECT_EQ(l.double_starts, 0);
}

TEST(SvcRequests, StopThenStartElsewhere)
{
    log_capture log;
    settled l;
    EXPECT_EQ(l.call(svc_req("stop", "a")), nullptr);
    EXPECT_TRUE(l.holders("a").empty());
    EXPECT_EQ(l.record("a")->dump(),
              R"({"disabled_once":true,"enabled":true,"failed":false,"run_node":2,"session_id":"S","state":1})");
    EXPECT_TRUE(log.has("stop service 'a' node 2 state 3 stale false src=external"));
    EXPECT_EQ(l.call(svc_req("stop", "a")), err("ENOENT", "cannot find running service: a"));
    EXPECT_EQ(l.call(start_req("a", 3)), nullptr);
    EXPECT_TRUE(l.runs_on("a", 3));
    EXPECT_EQ(l.record("a")->at("disabled_once"), false);
    EXPECT_EQ(l.call(start_req("a", 1)), err("EBUSY", "service is already running on node 3"));

    // A stop the Runner refuses keeps the service where it is.
    l.override_fn = [](uint32_t, const std::string& cmd, const json& args) -> json {
        if (cmd == "service" && args["cmd"] == "stop" && args["serviceName"] == "b")
            return err("EIO", "pool busy");
        return nullptr;
    };
    EXPECT_EQ(l.call(svc_req("stop", "b")), err("EA90001", "cannot stop service: b: pool busy"));
    EXPECT_EQ(l.record("b")->at("state"), rs_running);
    // A start the Runner refuses.
    l.override_fn = [](uint32_t, const std::string& cmd, const json& args) -> json {
        if (cmd == "service" && args["cmd"] == "start" && args["serviceName"] == "a")
            return err("EIO", "no pool");
        return nullptr;
    };
    ASSERT_EQ(l.call(svc_req("stop", "a")), nullptr);
    EXPECT_EQ(l.call(start_req("a", 2)), err("EA90002", "cannot start service: a"));
    l.stop();
    EXPECT_EQ(l.double_starts, 0);
}

// Runners whose start of one service fails while its pool is missing.
// Its clock runs at 200x: the retry is bounded to 40 s after the hold-off, which
// at 1000x is 40 ms of real time, less than a loaded sanitizer build may stall.
struct missing_pool : leader {
    std::atomic<bool> pool{false};
    std::atomic<int> starts{0};
    explicit missing_pool(const char* service) : leader(three_nodes(default_services()), 200)
    {
        override_fn = [this, service](uint32_t, const std::string& cmd, const json& args) -> json {
            if (cmd != "service" || args["cmd"] != "start" || args["serviceName"] != service)
                return nullptr;
            ++starts;
            return pool ? json(nullptr) : err("EPROGRAM", "FAILED phase=pool-import : not found among importable pools");
        };
    }
};

// A failed start, whether the assignment's, a manual start's or a move's, is
// taken up again by its node's service pass once its hold-off has passed, with
// no operator action: the pool created after the failure is started there.
TEST(SvcRequests, FailedStartIsTakenUpAgainByTheServicePass)
{
    log_capture log;
    for (const char* how : {"cold start", "manual start", "move"}) {
        missing_pool l("c");
        l.pool = std::string(how) != "cold start";
        l.start();
        l.online({1, 2, 3});
        ASSERT_TRUE(wait_until([&] { return l.starts > 0; })) << how;
        uint32_t to = l.record("c")->at("run_node").get<uint32_t>();
        if (std::string(how) != "cold start") {
            ASSERT_TRUE(wait_until([&] { return l.runs_on("c", to); })) << how;
            l.pool = false;
            ASSERT_EQ(svcapp_call(l.app, svc_req("stop", "c")), nullptr) << how;
            l.clock.sleep_for(std::chrono::seconds(30));  // the passes the stop brought about are done
            to = std::string(how) == "move" ? to % 3 + 1 : to;
            EXPECT_EQ(svcapp_call(l.app, start_req("c", to)), err("EA90002", "cannot start service: c")) << how;
        }
        const auto failed_at = l.clock.now();
        EXPECT_EQ(l.record("c")->at("state"), rs_starting) << how;
        l.pool = true;
        ASSERT_TRUE(wait_until([&] { return l.runs_on("c", to); }, 5)) << how << "\n" << log.text();
        const auto took = l.clock.now() - failed_at;
        EXPECT_GE(took, hold_off - std::chrono::seconds(1)) << how;
        EXPECT_LT(took, std::chrono::seconds(140)) << how;
        EXPECT_EQ(l.holders("c"), std::set<uint32_t>{to}) << how;
        l.stop();
        EXPECT_EQ(l.double_starts, 0) << how;
    }
}

// At its failure limit a service is left alone: no further start, its record
// says it failed, one warning says so and how to get it going; a stop and a
// start get it going again.
TEST(SvcRequests, ServiceAtItsFailureLimitIsLeftAloneUntilStoppedAndStarted)
{
    log_capture log;
    missing_pool l("c");
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.starts == failure_limit; }, 10)) << log.text();
    l.clock.sleep_for(std::chrono::seconds(600));
    EXPECT_EQ(l.starts, failure_limit);
    json rec = *l.record("c");
    EXPECT_EQ(rec["failed"], true);
    EXPECT_EQ(rec["state"], rs_starting);
    const uint32_t on = rec["run_node"].get<uint32_t>();
    EXPECT_EQ(log.count("left alone"), 1u) << log.text();
    EXPECT_TRUE(log.has("[warning] svc_app: service c left alone after 5 failures"));

    l.pool = true;
    EXPECT_EQ(svcapp_call(l.app, svc_req("stop", "c")), nullptr);
    EXPECT_EQ(svcapp_call(l.app, start_req("c", on)), nullptr);
    EXPECT_TRUE(l.runs_on("c", on));
    EXPECT_EQ(l.record("c")->at("failed"), false);
    l.stop();
    EXPECT_EQ(l.double_starts, 0);
}

// A stop that answers an error leaves the service as it was: it stays where it
// ran (its node takes it up again), nobody carries the stop out later, and a
// failover moves it as usual.
TEST(SvcRequests, FailedStopLeavesTheServiceAsItWas)
{
    for (const char* code : {"ETIMEDOUT", "EIO"}) {
        log_capture log;
        leader l(three_nodes(default_services()));
        std::atomic<bool> refuse{false};
        l.override_fn = [&](uint32_t node, const std::string& cmd, const json& args) -> json {
            if (refuse && node == 3 && cmd == "service" && args["cmd"] == "stop" && args["serviceName"] == "b")
                return err(code, "Runner down");
            return nullptr;
        };
        l.start();
        l.online({1, 2, 3});
        ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
        refuse = true;
        EXPECT_EQ(svcapp_call(l.app, svc_req("stop", "b")), err("EA90001", "cannot stop service: b: Runner down"));
        EXPECT_EQ(l.record("b")->at("disabled_once"), false) << code;
        refuse = false;
        l.clock.sleep_for(std::chrono::seconds(250));
        EXPECT_TRUE(l.runs_on("b", 3)) << code << "\n" << log.text();
        EXPECT_EQ(l.holders("b"), std::set<uint32_t>{3}) << code;
        EXPECT_EQ(l.double_starts, 0);
        l.mon.set_alive(3, false);
        l.app.post_event(kind_node_offline, 3);
        EXPECT_TRUE(wait_until([&] { return l.runs_on("b", 2); })) << code << "\n" << log.text();
    }
}

// b is stale on node 3, which went offline and could not be fenced (its daemon
// paused, its Runner still answers). The operator stops b: the record it leaves
// is this session's, with b switched off, which is what the next leader of the
// session takes over (a stale record's flags are not).
TEST(SvcRequests, StopOfAStaleServiceHoldsForTheNextLeader)
{
    leader l(three_nodes(default_services()));
    l.override_fn = [&](uint32_t, const std::string& cmd, const json& args) -> json {
        if (cmd == "fence-node" && args["cmd"] == "on")
            return err("EIO", "fencing broken");
        return nullptr;
    };
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 3); }));
    l.app.post_event(kind_node_offline, 3);
    ASSERT_TRUE(wait_until([&] { return l.record("b")->at("session_id") == "-"; }));
    EXPECT_EQ(svcapp_call(l.app, svc_req("stop", "b")), nullptr);
    l.stop();
    EXPECT_TRUE(l.holders("b").empty());
    const json r = *l.record("b");
    EXPECT_EQ(r.at("session_id"), "S") << r.dump();
    EXPECT_EQ(r.at("disabled_once"), true) << r.dump();
    EXPECT_EQ(r.at("state"), rs_unclean) << r.dump();
}

// A start on a node that cannot take services is refused before anything is
// claimed or asked of its Runner, with the reason in the leader's log.
TEST(SvcRequests, StartOnANodeThatIsNotServingIsRefused)
{
    log_capture log;
    leader l(three_nodes(default_services()));
    // Node 3, once back, cannot give up pools of the others: left fenced.
    l.override_fn = [](uint32_t node, const std::string& cmd, const json& args) -> json {
        return node == 3 && cmd == "service" && args["cmd"] == "stop" ? err("EIO", "pool busy") : json(nullptr);
    };
    l.start();
    l.online({1, 2});
    // Node 3 has not been seen yet: nothing is placed, c is nowhere.
    ASSERT_TRUE(wait_until([&] { return log.has("Enable run services on node 2"); }));
    EXPECT_EQ(svcapp_call(l.app, start_req("c", 3)), err("EA90002", "cannot start service: c"));
    EXPECT_TRUE(log.has("[warning] svc_app: cannot start service c on node 3: the node is not serving yet"));

    l.online({3});
    ASSERT_TRUE(wait_until([&] { return is_left_fenced(l.app, 3); })) << log.text();
    ASSERT_TRUE(wait_until([&] { return l.holders("c").size() == 1; })) << log.text();  // placed elsewhere
    ASSERT_EQ(svcapp_call(l.app, svc_req("stop", "c")), nullptr);
    EXPECT_EQ(svcapp_call(l.app, start_req("c", 3)), err("EA90002", "cannot start service: c"));
    EXPECT_TRUE(log.has("[warning] svc_app: cannot start service c on node 3: the node is left fenced"));
    EXPECT_EQ(l.count_calls(3, "service", {{"cmd", "start"}, {"serviceName", "c"}}), 0u);
    EXPECT_EQ(l.record("c")->at("state"), rs_stopped);
    EXPECT_TRUE(l.holders("c").empty());
    // Where it may run, it starts.
    EXPECT_EQ(svcapp_call(l.app, start_req("c", 1)), nullptr);
    EXPECT_TRUE(l.runs_on("c", 1));
}

// A move whose start is refused (the target is offline, or disabled) leaves the
// service running where it was, or placed by the assignment when that node cannot
// run it either; a plain start that is refused changes nothing.
TEST(SvcRequests, MoveToANodeThatCannotRunServicesLeavesTheServiceRunning)
{
    json move_start = start_req("a", 3);
    move_start["move"] = true;
    const json start_once = {{"cmd", "start"}, {"serviceName", "a"}};
    for (const bool offline : {true, false}) {
        log_capture log;
        settled l;
        if (offline)
            l.app.post_event(kind_node_offline, 3);
        else
            ASSERT_EQ(l.call(node_req("disable", 3)), nullptr);
        // b leaves node 3 (a fenced node's stale import stays in the fake's view).
        ASSERT_TRUE(wait_until([&] { return l.runs_on("b", 2) && (offline || !l.holders("b").contains(3)); }))
            << log.text();
        const json refused = offline ? err("EA90002", "cannot start service: a")
                                     : err("EINVAL", "cannot run service on disabled node");
        ASSERT_EQ(l.call(svc_req("stop", "a")), nullptr);
        EXPECT_EQ(l.call(start_req("a", 3)), refused);
        EXPECT_EQ(l.record("a")->at("state"), rs_stopped);
        EXPECT_TRUE(l.record("a")->at("disabled_once").get<bool>());
        EXPECT_TRUE(l.holders("a").empty());
        if (!offline) {  // nowhere to go back to: the assignment places it
            ASSERT_EQ(l.call(node_req("disable", 2)), nullptr);
        }
        EXPECT_EQ(l.call(move_start), refused);
        const uint32_t where = offline ? 2 : 1;
        EXPECT_TRUE(wait_until([&] { return l.runs_on("a", where) && l.holders("a") == std::set<uint32_t>{where}; }))
            << log.text();
        EXPECT_FALSE(l.record("a")->at("disabled_once").get<bool>());
        EXPECT_EQ(l.count_calls(3, "service", start_once), 0u);
    }
}

TEST(SvcRequests, DisableAndEnableTakeEffect)
{
    log_capture log;
    settled l;
    EXPECT_EQ(l.call(svc_req("disable", "a")), nullptr);
    EXPECT_EQ(l.record("a")->at("enabled"), false);  // saved before the reply
    EXPECT_TRUE(wait_until([&] { return l.holders("a").empty(); })) << log.text();
    // Enabling a service that stays assigned runs its owner's pass at once.
    EXPECT_EQ(l.call(svc_req("enable", "a")), nullptr);
    EXPECT_TRUE(wait_until([&] { return l.holders("a") == std::set<uint32_t>{2}; })) << log.text();

    // A disabled node gives up its services now (b moves to its second choice),
    // refuses manual starts, and takes them again once enabled.
    EXPECT_EQ(l.call(node_req("disable", 3)), nullptr);
    EXPECT_EQ(l.mon.kv("node-config-3"), R"({"enabled":false})");
    EXPECT_TRUE(wait_until([&] { return l.holders("b") == std::set<uint32_t>{2}; })) << log.text();
    EXPECT_EQ(l.call(svc_req("stop", "c")), nullptr);
    EXPECT_EQ(l.call(start_req("c", 3)), err("EINVAL", "cannot run service on disabled node"));
    EXPECT_EQ(l.call(node_req("enable", 3)), nullptr);
    EXPECT_EQ(l.call(start_req("c", 3)), nullptr);
    EXPECT_TRUE(l.runs_on("c", 3));
    l.stop();
    EXPECT_EQ(l.double_starts, 0);
}

TEST(SvcRequests, DumpListsEveryService)
{
    log_capture log;
    settled l;
    const json dump = l.call({{"call", "debug"}, {"cmd", "debug-dump-services"}});
    ASSERT_TRUE(dump.is_array());
    ASSERT_EQ(dump.size(), 5u);
    for (const auto& s : dump) {
        EXPECT_EQ(s.size(), 8u) << s.dump();
        if (s["name"] == "a") {
            EXPECT_EQ(s.dump(), R"({"base_disabled":false,"disabled_once":false,"enabled":true,"failed":false,)"
                                R"("name":"a","owner_node":2,"run_state":3,"stale":false})");
        }
    }
    EXPECT_TRUE(log.has("svc_app: Dumping services info:"));
    EXPECT_TRUE(log.has("svc_app: name 'a' owner_node = 2 run_state 3 retries 0 failed false stale false"));
}

// A body whose save fails is dropped: the requester hears "try again", never a
// success, and a stop whose first save failed asks no Runner to stop.
TEST(SvcRequests, ThrowingSaveAnswersTryAgain)
{
    log_capture log;
    settled l;
    l.mon.throw_on_set_value("svc-a-runstate");
    EXPECT_EQ(l.call(svc_req("disable", "a")), try_again);
    l.mon.throw_on_set_value("svc-b-runstate");
    l.mon.clear_calls();
    EXPECT_EQ(l.call(svc_req("stop", "b")), try_again);
    EXPECT_EQ(l.count_calls(3, "service", {{"cmd", "stop"}, {"serviceName", "b"}}), 0u);
    EXPECT_TRUE(l.runs_on("b", 3));
    EXPECT_TRUE(log.has("Drop event."));
    l.mon.throw_on_set_value("");
    // Nothing of the refused disable and stop is carried out later: the nodes'
    // passes keep a and b.
    EXPECT_EQ(l.call(node_req("enable", 2)), nullptr);
    EXPECT_EQ(l.call(node_req("enable", 3)), nullptr);
    l.clock.sleep_for(std::chrono::seconds(300));
    EXPECT_EQ(l.holders("a"), std::set<uint32_t>{2});
    EXPECT_EQ(l.holders("b"), std::set<uint32_t>{3});
    EXPECT_EQ(l.record("a")->at("enabled"), true);

    // A node setting the store refused is answered so and not taken up.
    l.clock.sleep_for(std::chrono::seconds(30));  // no pass is saving now
    l.mon.fail_set_values(1);
    EXPECT_EQ(l.call(node_req("disable", 3)), try_again);
    EXPECT_EQ(l.mon.kv("node-config-3"), R"({"enabled":true})");
    l.clock.sleep_for(std::chrono::seconds(30));
    EXPECT_EQ(l.holders("b"), std::set<uint32_t>{3});
    EXPECT_EQ(l.call(svc_req("stop", "c")), nullptr);
    EXPECT_EQ(l.call(start_req("c", 3)), nullptr);
}

// A disable whose part on the service's node still waits for the service's
// lock when the leadership ends has saved nothing: it answers "try again", and
// the store keeps the service switched on for the next leader.
TEST(SvcRequests, DisableCutShortByTheLeadershipsEndAnswersTryAgain)
{
    settled l;
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::atomic<bool> held{false};
    node_event busy = make_event(kind_request, 3);  // node 3's thread holds a's lock
    busy.request()->body = [&held, gate](node& x, json&) {
        std::lock_guard lk(x.services->at("a").lock);
        held.store(true);
        gate.wait();
    };
    {
        std::lock_guard lk(l.app.main_mutex);
        l.app.queue_push(busy);
    }
    ASSERT_TRUE(wait_until([&] { return held.load(); }));
    auto disable = std::async(std::launch::async, [&] { return l.call(svc_req("disable", "a")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // 50 s of waiting for the lock
    l.mon.event("ABORT", "");
    const bool answered = disable.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    release.set_value();
    ASSERT_TRUE(answered);
    EXPECT_EQ(disable.get(), try_again);
    l.stop();
    EXPECT_EQ(l.record("a")->at("enabled"), true);
}

// A disable stops a service that was left alone at its failure limit.
TEST(SvcRequests, DisableStopsAServiceAtItsFailureLimit)
{
    log_capture log;
    missing_pool l("c");
    l.start();
    l.online({1, 2, 3});
    ASSERT_TRUE(wait_until([&] { return l.starts == failure_limit; }, 10)) << log.text();
    const uint32_t on = l.record("c")->at("run_node").get<uint32_t>();
    l.mon.clear_calls();
    EXPECT_EQ(svcapp_call(l.app, svc_req("disable", "c")), nullptr);
    EXPECT_TRUE(wait_until([&] { return l.record("c")->at("state") == rs_stopped; }, 5)) << log.text();
    EXPECT_EQ(l.count_calls(on, "service", {{"cmd", "stop"}, {"serviceName", "c"}}), 1u);
    EXPECT_EQ(l.record("c")->at("enabled"), false);
    EXPECT_EQ(l.record("c")->at("failed"), false);
    EXPECT_EQ(l.starts, failure_limit);
}

TEST(SvcRequests, NeverWaitForEver)
{
    // Not active: refused at once, nothing queued.
    {
        app_fixture f;
        for (const json& req : {svc_req("stop", "a"), node_req("exit", 66), json{{"cmd", "debug-dump-services"}}})
            EXPECT_EQ(svcapp_call(f.app, req), try_again);
        EXPECT_TRUE(f.queue().empty());
    }
    // Queued while an activation was taking events, then the leadership ends
    // before it was handed on: the waiter takes its request back and answers.
    {
        app_fixture f;
        f.mon.register_app(&f.app.record);
        f.mon.event("ACTIVATE", "S");
        // Active, but no activation takes events yet (it is starting up, or failed
        // and waits to retry): "try again", not "no such service".
        EXPECT_EQ(svcapp_call(f.app, svc_req("stop", "a")), try_again);
        EXPECT_EQ(svcapp_call(f.app, node_req("enable", 1)), try_again);
        EXPECT_EQ(f.queue().size(), 1u);
        {
            std::lock_guard lk(f.app.main_mutex);
            f.app.requests_open = true;  // as an activation's event loop does
        }
        auto answer = std::async(std::launch::async, [&] { return svcapp_call(f.app, svc_req("stop", "a")); });
        ASSERT_TRUE(wait_until([&] { return f.queue().size() == 2; }));  // the wake and the request
        f.mon.event("ABORT", "");
        ASSERT_EQ(answer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        EXPECT_EQ(answer.get(), try_again);  // its look-up was dropped: not "no such running service"
        for (const auto& ev : f.queue())
            EXPECT_NE(ev.kind, kind_request);
    }
    // A body blocked in a slow Runner call when the activation ends: a request
    // queued behind it is answered at once, the blocked one when its call
    // returns, and the next request is refused.
    {
        log_capture log;
        settled l;
        std::promise<void> release;
        std::shared_future<void> gate = release.get_future().share();
        l.override_fn = [gate](uint32_t, const std::string& cmd, const json& args) -> json {
            if (cmd == "service" && args["cmd"] == "stop" && args["serviceName"] == "a")
                gate.wait();
            return nullptr;
        };
        auto stop = std::async(std::launch::async, [&] { return l.call(svc_req("stop", "a")); });
        ASSERT_TRUE(wait_until([&] { return log.has("stop service 'a'"); }));
        auto late = std::async(std::launch::async, [&] { return l.call(svc_req("stop", "b")); });
        l.mon.event("ABORT", "");
        ASSERT_EQ(late.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        const json late_reply = late.get();
        EXPECT_TRUE(late_reply == try_again || late_reply.is_null()) << late_reply.dump();  // done or dropped
        EXPECT_EQ(stop.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
        release.set_value();
        ASSERT_EQ(stop.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        EXPECT_TRUE(stop.get().is_null());  // the Runner stopped it: success
        l.stop();
        EXPECT_EQ(svcapp_call(l.app, svc_req("stop", "b")), try_again);
    }
}

}  // namespace
}  // namespace svc
