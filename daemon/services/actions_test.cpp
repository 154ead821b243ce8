// The service actions: the outcome table (action x reply x stale), the failure
// count and its limit, the hold-off, assignment and the origin label.
#include "daemon/services/actions.hpp"

#include "daemon/services/records.hpp"
#include "daemon/services/svc_test_util.hpp"

#include <gtest/gtest.h>

namespace svc {
namespace {

using nlohmann::json;
using testing::app_fixture;
using testing::log_capture;

enum class act { start, stop, recover };

void run(act a, svc_app& app, service_rec& s)
{
    switch (a) {
    case act::start: start_service(app, s); break;
    case act::stop: stop_service(app, s); break;
    case act::recover: recover_service(app, s); break;
    }
}

struct row {
    const char* what;
    act action;
    bool stale;
    uint32_t before;
    json reply;            // the Runner's reply
    uint32_t state;        // in memory afterwards
    int stored;            // "state" of the last stored record; -1: nothing stored
    int32_t retries;
    bool held_off;
    uint32_t run_node;     // in memory afterwards
    bool assign_posted;
    bool stale_after;
};

json err(const char* code) { return json{{"error", code}, {"errorMessage", std::string("msg ") + code}}; }

TEST(SvcActions, OutcomeTable)
{
    const json ok = {{"response", 0}};
    const std::vector<row> rows = {
        // what                         action       stale  bef reply          state stored ret hold node  post  stale
        {"start ok",                    act::start,  false, 1, ok,             3, 3,  0, false, 2,    false, false},
        {"start bare text is success",  act::start,  false, 1, "whatever",     3, 3,  0, false, 2,    false, false},
        {"start number is success",     act::start,  false, 1, 5,              3, 3,  0, false, 2,    false, false},
        {"start EOFFLINE keeps 2",      act::start,  false, 1, err("EOFFLINE"), 2, 2, 1, true,  2,    false, false},
        {"start ETIMEDOUT keeps 2",     act::start,  false, 4, err("ETIMEDOUT"), 2, 2, 1, true, 2,    false, false},
        // A start that failed for good may have left pools imported: still
        // "starting", so every path stops it here before it is placed elsewhere.
        {"start ERPC stays starting",   act::start,  false, 1, err("ERPC"),    2, 2,  1, true,  2,    false, false},
        {"recovery ok",                 act::recover, false, 5, ok,            1, 1,  0, false, 2,    false, false},
        {"recovery ok settles stale",   act::recover, true, 6, ok,             1, 1,  0, false, 1024, true,  false},
        {"recovery EOFFLINE keeps 6",   act::recover, false, 5, err("EOFFLINE"), 6, 6, 1, true, 2,    false, false},
        {"recovery ERPC is unclean",    act::recover, false, 5, err("ERPC"),   5, 5,  1, true,  2,    false, false},
        {"stop ok",                     act::stop,   false, 3, ok,             1, 1,  0, false, 1024, true,  false},
        {"stop ok of stale: unclean",   act::stop,   true,  3, ok,             5, 5,  0, false, 2,    false, false},
        {"stop ETIMEDOUT keeps 4",      act::stop,   false, 3, err("ETIMEDOUT"), 4, 4, 1, true, 2,    false, false},
        {"stop ERPC restores state",    act::stop,   false, 3, err("ERPC"),    3, 3,  1, true,  2,    false, false},
        {"stop ERPC from starting",     act::stop,   false, 2, err("ERPC"),    2, 2,  1, true,  2,    false, false},
        {"stale stop ETIMEDOUT",        act::stop,   true,  3, err("ETIMEDOUT"), 3, -1, 1, true, 2,   false, true},
        {"stale stop ERPC",             act::stop,   true,  6, err("ERPC"),    6, -1, 1, true,  2,    false, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        app_fixture f;
        service_rec s("web", "S", 7);
        s.state = r.before;
        s.run_node = 2;
        if (r.stale)
            s.mark_stale();
        f.mon.script(2, {r.reply});
        const auto t0 = f.clock.now();
        run(r.action, f.app, s);

        EXPECT_EQ(s.state.load(), r.state);
        EXPECT_EQ(s.retries.load(), r.retries);
        EXPECT_EQ(s.hold_off_until.load() == t0 + hold_off, r.held_off);
        EXPECT_EQ(s.run_node.load(), r.run_node);
        EXPECT_EQ(s.is_stale(), r.stale_after);
        EXPECT_EQ(s.session_id, r.stale_after ? "-" : "S");
        const auto q = f.queue();
        EXPECT_EQ(q.size(), r.assign_posted ? 1u : 0u);
        if (!q.empty()) {
            EXPECT_EQ(std::make_pair(q.front().kind, q.front().node), std::make_pair(kind_assign, node_all));
        }

        auto runner = f.mon.calls("service");
        ASSERT_EQ(runner.size(), 1u);
        EXPECT_EQ(runner[0].node, 2u);
        const char* cmd = r.action == act::start ? "start" : r.action == act::stop ? "stop" : "recovery";
        EXPECT_EQ(runner[0].args, (json{{"cmd", cmd}, {"serviceName", "web"}}));

        const auto stored = f.mon.kv("svc-web-runstate");
        if (r.stored < 0) {
            EXPECT_FALSE(stored.has_value());
            continue;
        }
        ASSERT_TRUE(stored.has_value());
        // The record written by the action itself: a settling recovery or stop
        // still stores "-" and the old node; memory moves on afterwards.
        runstate want;
        want.state = static_cast<uint32_t>(r.stored);
        want.run_node = 2;
        want.session_id = r.stale ? "-" : "S";
        EXPECT_EQ(*stored, runstate_text(want));
        if (r.action == act::stop) {
            EXPECT_EQ(s.last_error, r.reply.is_object() && r.reply.contains("errorMessage")
                                        ? r.reply["errorMessage"].get<std::string>()
                                        : "");
        }
    }
}

TEST(SvcActions, StopOfClusterManagementDoesNothing)
{
    app_fixture f;
    log_capture log;
    service_rec s(cluster_management, "S", 7);
    s.state = rs_running;
    s.run_node = 1;
    stop_service(f.app, s);
    EXPECT_TRUE(f.mon.calls().empty());
    EXPECT_EQ(s.state.load(), rs_running);
    EXPECT_EQ(log.text(), "");
}

// A throw from a save ends the action where it stands; before the call the Runner
// is not asked at all.
TEST(SvcActions, SaveFailureEndsTheAction)
{
    for (act a : {act::start, act::stop, act::recover}) {
        app_fixture f;
        service_rec s("web", "S", 7);
        s.state = a == act::recover ? rs_unclean : a == act::stop ? rs_running : rs_stopped;
        s.run_node = 2;
        f.mon.fail_set_values(1);
        EXPECT_THROW(run(a, f.app, s), std::runtime_error);
        EXPECT_TRUE(f.mon.calls("service").empty());
        EXPECT_EQ(s.state.load(), a == act::start ? rs_starting : a == act::stop ? rs_stopping : rs_recovering);
        EXPECT_EQ(s.retries.load(), 0);
    }
}

TEST(SvcActions, ErrorThatIsNotATextThrows)
{
    for (json reply : {json{{"error", 5}}, json{{"error", "ERPC"}, {"errorMessage", 7}}}) {
        app_fixture f;
        service_rec s("web", "S", 7);
        s.state = rs_running;
        s.run_node = 2;
        f.mon.script(2, {reply});
        EXPECT_THROW(stop_service(f.app, s), nlohmann::json::type_error);
        EXPECT_EQ(s.state.load(), rs_stopping);
    }
}

TEST(SvcActions, FailureLimitAndAssignment)
{
    app_fixture f;
    log_capture log;
    service_rec s("web", "S", 7);
    s.run_node = 2;
    f.mon.set_runner([](uint32_t, const std::string&, const json&) { return err("ERPC"); });
    for (int i = 1; i <= 6; ++i) {
        f.clock.advance(std::chrono::seconds(1));
        start_service(f.app, s);
        EXPECT_EQ(s.retries.load(), i);
        const bool failed = json::parse(*f.mon.kv("svc-web-runstate"))["failed"];
        EXPECT_EQ(failed, i >= 5) << i;
    }
    EXPECT_EQ(log.count("Turn it off."), 2u);
    EXPECT_TRUE(log.has("[warning] svc_app: service web failed 5 times. Turn it off."));
    EXPECT_TRUE(log.has("[warning] svc_app: service web failed 6 times. Turn it off."));
    EXPECT_TRUE(log.has("[warning] svc_app: cannot start 'web': ERPC src=cluster"));
    EXPECT_EQ(s.hold_off_until.load(), f.clock.now() + hold_off);

    // A success clears the count but not the hold-off; only an assignment does.
    f.mon.set_runner([](uint32_t, const std::string&, const json&) { return json{{"response", 0}}; });
    const auto held = s.hold_off_until.load();
    start_service(f.app, s);
    EXPECT_EQ(s.retries.load(), 0);
    EXPECT_EQ(s.hold_off_until.load(), held);

    s.retries = 7;
    const auto writes = f.mon.calls("set-value").size();
    assign_service(f.app, s, 3);
    EXPECT_EQ(s.retries.load(), 0);
    EXPECT_EQ(s.hold_off_until.load(), svc_clock::time_point{});
    EXPECT_EQ(s.run_node.load(), 3u);
    EXPECT_EQ(f.mon.calls("set-value").size(), writes);
    EXPECT_TRUE(log.has("[info] svc_app: assign service web to node 3 pri: 64:64 src=cluster"));
}

TEST(SvcActions, WarnBadStateAndOrigin)
{
    app_fixture f;
    log_capture log;
    service_rec s("web", "S", 7);
    s.state = rs_unclean;
    warn_bad_state(f.app, s);
    EXPECT_EQ(s.retries.load(), 1);
    EXPECT_EQ(s.hold_off_until.load(), svc_clock::time_point{});
    EXPECT_TRUE(log.has("[warning] svc_app: WARN_ONCE: incorrect service state  web : 5."));

    s.run_node = 2;
    {
        request_origin_scope scope(1);
        EXPECT_STREQ(origin_label(), "src=external");
        stop_service(f.app, s);
    }
    EXPECT_STREQ(origin_label(), "src=cluster");
    EXPECT_TRUE(log.has("[info] svc_app: stop service 'web' node 2 state 5 stale false src=external"));
    EXPECT_TRUE(log.has("[info] svc_app: service 'web' on node 1024 state 1 stale false src=external"));
}

}  // namespace
}  // namespace svc
