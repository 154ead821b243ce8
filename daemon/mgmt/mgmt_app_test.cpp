// The application's events and life: node flags, session id, EXIT before
// ACTIVATE, the pause after a failed pass.
#include "daemon/mgmt/mgmt_test_util.hpp"

#include <gtest/gtest.h>

namespace mgmt::test {
namespace {

TEST(mgmt_events, NodeFlagsAndStateWord)
{
    fake_monitor mon;
    fake_service_manager svc;
    mgmt_app app(mon, svc);
    EXPECT_EQ(app.state(), STATE_INACTIVE);
    EXPECT_EQ(*app.session_id(), "");
    app.doevent("NODE-ONLINE", " +5");
    EXPECT_TRUE(app.node_online(5));
    app.doevent("NODE-OFFLINE", "5");
    EXPECT_FALSE(app.node_online(5));
    app.doevent("NODE-ONLINE", "7abc");
    EXPECT_TRUE(app.node_online(7));
    for (const char* v : {"64", "-1", "4294967296", "63"})
        app.doevent("NODE-ONLINE", v);
    EXPECT_TRUE(app.node_online(63));
    EXPECT_FALSE(app.node_online(64));
    EXPECT_FALSE(app.node_online(1));
    EXPECT_FALSE(app.node_online(0));
    EXPECT_THROW(app.doevent("NODE-ONLINE", "x"), std::invalid_argument);

    app.doevent("ACTIVATE", "S1");
    EXPECT_EQ(app.state(), STATE_ACTIVE);
    app.doevent("ACTIVATE", "S2");
    EXPECT_EQ(*app.session_id(), "S2");
    app.doevent("NODE-STOP", "1");
    app.doevent("ABORT", "");
    EXPECT_EQ(app.state(), STATE_INACTIVE);
    app.doevent("EXIT", "");
    EXPECT_EQ(app.state(), STATE_EXIT);
    // Final: leadership lost or won again while the daemon exits changes nothing.
    app.doevent("ABORT", "");
    app.doevent("ACTIVATE", "S3");
    EXPECT_EQ(app.state(), STATE_EXIT);
    EXPECT_EQ(*app.session_id(), "S2");
}

// Workers read the session id while "ACTIVATE" replaces it: each read is whole.
TEST(mgmt_events, SessionIdIsReadWholeWhileReplaced)
{
    fake_monitor mon;
    fake_service_manager svc;
    mgmt_app app(mon, svc);
    const std::string a(36, 'a'), b(36, 'b');
    app.doevent("ACTIVATE", a);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i)
            app.doevent("ACTIVATE", i % 2 ? a : b);
    });
    for (int i = 0; i < 200000; ++i) {
        const auto id = app.session_id();
        ASSERT_TRUE(*id == a || *id == b);
    }
    stop = true;
    writer.join();
}

TEST(mgmt_lifecycle, ExitBeforeActivateEndsWithoutContext)
{
    endpoint_rig rig;
    while (rig.mon.config_calls.load() == 0)
        std::this_thread::sleep_for(5ms);
    rig.stop();
    EXPECT_EQ(rig.mon.registered.load(), 1);
    EXPECT_EQ(rig.mon.unregistered.load(), 1);
    EXPECT_EQ(rig.app->activations(), 0u);
}

// A monitor that keeps refusing the configuration is asked again after a pause,
// not in a busy loop; "EXIT" ends the pause at once.
TEST(mgmt_lifecycle, FailedConfigurationReadPausesBeforeRetry)
{
    for (const json& bad : {json{{"error", "EMONITOR"}, {"errorMessage", "Monitor not started"}}, json(5), json::object()}) {
        endpoint_rig rig({200ms, 100ms});
        rig.mon.config_reply = bad;
        // Asked again (a loaded machine may take a while to get there) ...
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (rig.mon.config_calls.load() < 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        ASSERT_GE(rig.mon.config_calls.load(), 2) << bad;
        // ... but after a pause of 100 ms each time, not in a busy loop: a load
        // can only make the calls fewer.
        const int before = rig.mon.config_calls.load();
        std::this_thread::sleep_for(500ms);
        EXPECT_LE(rig.mon.config_calls.load() - before, 6) << bad;
        const auto t0 = std::chrono::steady_clock::now();
        rig.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    }
    endpoint_rig slow({200ms, 5000ms});
    slow.mon.config_reply = json(nullptr);
    std::this_thread::sleep_for(100ms);
    const auto t0 = std::chrono::steady_clock::now();
    slow.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(slow.mon.config_calls.load(), 1);
}

}  // namespace
}  // namespace mgmt::test
