// do_execute: registration, this node's id, the mode machine on its thread.
#include "daemon/services/svc_app.hpp"

#include "daemon/services/svc_test_util.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace svc {
namespace {

using testing::log_capture;

struct exec_fixture {
    scaled_clock clock{1000};
    fake_monitor mon{2, {1, 2, 3}, &clock};
    std::atomic<int> aborts{0};
    svc_app app{mon, clock, [this] { ++aborts; }};
    std::thread thread;

    void start()
    {
        thread = std::thread([this] { do_execute(app); });
        wait_for([&] { return !mon.apps().empty() && !mon.calls("service").empty(); });
    }
    // do_execute has ended within a few seconds.
    bool ended()
    {
        auto f = std::async(std::launch::async, [this] { thread.join(); });
        return f.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }
    template <class P>
    static void wait_for(P p)
    {
        for (int i = 0; i < 5000 && !p(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

TEST(SvcExecute, ExitBeforeAnyActivation)
{
    log_capture log;
    exec_fixture f;
    f.start();
    EXPECT_EQ(f.app.this_nodeid.load(), 2u);
    auto stops = f.mon.calls("service");
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].node, 2u);
    EXPECT_EQ(stops[0].args, (nlohmann::json{{"cmd", "stop"}, {"serviceName", "$cluster-management"}}));
    f.mon.event("EXIT", "");
    ASSERT_TRUE(f.ended());
    EXPECT_TRUE(f.mon.apps().empty());
    EXPECT_TRUE(log.has("svc_app: Started on node 2"));
    EXPECT_TRUE(log.has("svc_app: do_execute: cleanup and exit"));
    EXPECT_EQ(f.aborts.load(), 0);
}

TEST(SvcExecute, ActivateAbortThenExitThenAbortStillExits)
{
    exec_fixture f;
    f.start();
    f.mon.event("ACTIVATE", "S");
    f.mon.event("ABORT", "");
    f.mon.event("ACTIVATE", "S");
    f.mon.event("EXIT", "");
    f.mon.event("ABORT", "");
    f.mon.event("ACTIVATE", "T");
    ASSERT_TRUE(f.ended());
    EXPECT_EQ(f.app.mode(), mode_exit);
    EXPECT_TRUE(f.mon.apps().empty());
    EXPECT_EQ(f.aborts.load(), 0);
}

TEST(SvcExecute, BadNodeIdAborts)
{
    for (uint32_t bad : {64u, 100u}) {
        log_capture log;
        scaled_clock clock(1000);
        fake_monitor mon(bad, {1});
        std::atomic<int> aborts{0};
        svc_app app(mon, clock, [&] { ++aborts; });
        do_execute(app);
        EXPECT_EQ(aborts.load(), 1);
        EXPECT_TRUE(log.has("svc_app: Catch exception: this_nodeid is bad: " + std::to_string(bad) + ". Abort."))
            << log.text();
    }
}

}  // namespace
}  // namespace svc
