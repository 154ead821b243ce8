// svc_app: the event entry, the mode machine, the main queue and the postponed list.
#include "daemon/services/svc_app.hpp"

#include "daemon/services/svc_test_util.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace svc {
namespace {

using testing::app_fixture;
using testing::log_capture;

std::vector<std::pair<uint32_t, uint32_t>> kinds(const std::deque<node_event>& q)
{
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const auto& e : q)
        out.emplace_back(e.kind, e.node);
    return out;
}

using pairs = std::vector<std::pair<uint32_t, uint32_t>>;

TEST(SvcEvents, MalformedValuesAreLoggedAndIgnored)
{
    for (const char* ev : {"NODE-ONLINE", "NODE-OFFLINE", "NODE-STOP"}) {
        for (const char* value : {"abc", "-1", "", " 5", "5x", "99999999999"}) {
            app_fixture f;
            log_capture log;
            EXPECT_NO_THROW(f.app.doevent(ev, value));
            EXPECT_TRUE(f.queue().empty()) << ev << " " << value;
            EXPECT_TRUE(f.app.postponed.empty()) << ev << " " << value;
            EXPECT_TRUE(log.has("bad node id '" + std::string(value) + "' ignored")) << log.text();
        }
    }
}

// "NODE-INSTANCE" values: a bad one is logged and changes nothing; a good one is
// queued at once for its node; an activation drops those queued before it (its
// replay tells them afresh).
TEST(SvcEvents, NodeInstancesAreQueuedAndBadOnesIgnored)
{
    for (const char* value : {"", "2", "2:", ":5", "2:0", "x:5", "2:5x", "2:-5", "2:99999999999999999999", " 2:5"}) {
        app_fixture f;
        log_capture log;
        EXPECT_NO_THROW(f.app.doevent("NODE-INSTANCE", value));
        EXPECT_TRUE(f.queue().empty()) << value;
        EXPECT_TRUE(log.has("with bad value '" + std::string(value) + "' ignored")) << log.text();
    }
    app_fixture f;
    f.app.doevent("NODE-INSTANCE", "70:5");
    f.app.doevent("NODE-INSTANCE", "3:18446744073709551615");
    ASSERT_EQ(kinds(f.queue()), (pairs{{kind_node_instance, 3}}));
    EXPECT_EQ(f.queue().front().instance, 18446744073709551615u);
    f.app.doevent("ACTIVATE", "S");
    f.app.doevent("NODE-INSTANCE", "2:7");
    EXPECT_EQ(kinds(f.queue()), (pairs{{kind_wake, node_all}, {kind_node_instance, 2}}));
}

TEST(SvcEvents, NodeIdsOutsideTheNodeRange)
{
    app_fixture f;
    f.app.doevent("NODE-ONLINE", "70");
    f.app.doevent("NODE-OFFLINE", "64");
    f.app.doevent("NODE-STOP", "70");
    EXPECT_TRUE(f.app.postponed.empty());
    EXPECT_TRUE(f.queue().empty());
    f.app.doevent("NODE-STOP", "66");
    f.app.doevent("NODE-STOP", "3");
    EXPECT_EQ(kinds(f.queue()), (pairs{{kind_node_stop, 66}, {kind_node_stop, 3}}));
    ASSERT_TRUE(f.queue().front().tally());
    f.app.doevent("NODE-ONLINE", "5");
    f.app.doevent("NODE-OFFLINE", "6");
    ASSERT_EQ(f.app.postponed.size(), 2u);
    EXPECT_EQ(f.app.postponed.front().kind, kind_node_offline);
    EXPECT_EQ(f.app.postponed.front().countdown, 8);
    EXPECT_EQ(f.app.postponed.back().countdown, 2);
    f.app.doevent("UNKNOWN", "1");
    EXPECT_EQ(f.queue().size(), 2u);
}

TEST(SvcEvents, ModeMachine)
{
    app_fixture f;
    EXPECT_EQ(f.app.mode(), mode_inactive);
    f.mon.set_term(9);
    f.app.post_event(kind_assign, 66);
    f.app.doevent("ACTIVATE", "S1");
    EXPECT_EQ(f.app.mode(), mode_active);
    EXPECT_EQ(f.app.snapshot().session_id, "S1");
    EXPECT_EQ(f.app.snapshot().term, 9u);
    // A mode change goes in front of queued work.
    EXPECT_EQ(kinds(f.queue()), (pairs{{kind_wake, 66}, {kind_assign, 66}}));
    f.app.doevent("ABORT", "");
    EXPECT_EQ(f.app.mode(), mode_inactive);
    EXPECT_EQ(kinds(f.queue()), (pairs{{kind_wake, 66}, {kind_wake, 66}, {kind_assign, 66}}));
    f.app.doevent("EXIT", "");
    EXPECT_EQ(f.app.mode(), mode_exit);
    // Exit is terminal: neither a late abort nor a new leadership pulls it back.
    f.mon.set_term(10);
    f.app.doevent("ABORT", "");
    f.app.doevent("ACTIVATE", "S2");
    EXPECT_EQ(f.app.mode(), mode_exit);
    EXPECT_EQ(f.app.snapshot().session_id, "S1");
    EXPECT_EQ(f.app.snapshot().term, 9u);
}

TEST(SvcEvents, PostEventFiltersNodesAndBuildsPayloads)
{
    app_fixture f;
    f.app.post_event(kind_service_pass, 64);
    f.app.post_event(kind_service_pass, 65);
    f.app.post_event(kind_service_pass, 67);
    EXPECT_TRUE(f.queue().empty());
    for (uint32_t k : {2u, 3u, 4u, 11u, 12u, 13u, 14u, 15u, 16u})
        f.app.post_event(k, 63);
    for (const auto& e : f.queue()) {
        EXPECT_EQ(e.tally() != nullptr, e.kind >= 2 && e.kind <= 4) << e.kind;
        EXPECT_EQ(e.request() != nullptr, e.kind == kind_request) << e.kind;
        EXPECT_EQ(e.args == nullptr, e.tally() == nullptr && e.request() == nullptr);
    }
}

std::list<postponed_event> list_of(std::initializer_list<postponed_event> l) { return l; }

// Runs ticks until the list is empty; returns (tick, kind, node) of every due entry.
std::vector<std::tuple<int, uint32_t, uint32_t>> run_ticks(std::list<postponed_event> l)
{
    std::vector<std::tuple<int, uint32_t, uint32_t>> out;
    for (int tick = 1; !l.empty() && tick < 100; ++tick)
        for (const auto& p : postpone_tick(l))
            out.emplace_back(tick, p.kind, p.node);
    return out;
}

TEST(SvcPostpone, TickTable)
{
    using R = std::vector<std::tuple<int, uint32_t, uint32_t>>;
    struct tcase {
        const char* what;
        std::list<postponed_event> in;  // newest first
        R out;
    };
    const std::vector<tcase> cases = {
        {"online after offline: only the online, 2 ticks", list_of({{2, 5, 2}, {3, 5, 8}}), R{{2, 2, 5}}},
        {"offline after online: only the offline", list_of({{3, 5, 8}, {2, 5, 1}}), R{{8, 3, 5}}},
        {"two onlines: the newer one's countdown", list_of({{2, 5, 2}, {2, 5, 1}}), R{{2, 2, 5}}},
        {"different nodes are kept", list_of({{2, 5, 2}, {3, 6, 8}}), R{{2, 2, 5}, {8, 3, 6}}},
        {"passes not collapsed with node events", list_of({{14, 5, 1}, {2, 5, 1}, {3, 5, 2}}),
         R{{1, 14, 5}, {1, 2, 5}}},
        {"due entries newest first", list_of({{14, 1, 1}, {14, 2, 1}, {2, 3, 1}}), R{{1, 14, 1}, {1, 14, 2}, {1, 2, 3}}},
        {"countdown 0 or less is due at once", list_of({{14, 1, 0}, {14, 2, -5}}), R{{1, 14, 1}, {1, 14, 2}}},
        {"kind 14 of 66 stays", list_of({{14, 66, 10}}), R{{10, 14, 66}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run_ticks(c.in), c.out) << c.what;
}

TEST(SvcPostpone, ServicePassRerunsAreNotMultiplied)
{
    app_fixture f;
    for (int i = 0; i < 5; ++i) {
        f.app.postpone_add(kind_service_pass, 3, 10);
        f.app.postpone_add(kind_service_pass, 66, 10);
        f.app.postpone_add(kind_node_online, 3, 2);
    }
    size_t passes = 0;
    for (const auto& p : f.app.postponed)
        passes += p.kind == kind_service_pass;
    EXPECT_EQ(passes, 2u);
    EXPECT_EQ(f.app.postponed.size(), 7u);
}

// s_postpone at 1000x: offline then online of one node within the delays give one
// online event about 2 ticks after the online.
TEST(SvcPostpone, ThreadPassesTheNewestEvent)
{
    scaled_clock clock(1000);
    fake_monitor mon(1, {1, 2});
    svc_app app(mon, clock);
    std::thread t([&] { s_postpone(app); });
    app.doevent("NODE-OFFLINE", "2");
    app.doevent("NODE-ONLINE", "2");
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard lk(app.main_mutex);
            if (app.postponed.empty() && !app.main_queue.empty())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    app.doevent("EXIT", "");
    t.join();
    std::lock_guard lk(app.main_mutex);
    ASSERT_EQ(app.main_queue.size(), 2u);  // the online event, then the exit's wake in front
    EXPECT_EQ(app.main_queue.front().kind, kind_wake);
    EXPECT_EQ(app.main_queue.back().kind, kind_node_online);
    EXPECT_EQ(app.main_queue.back().node, 2u);
    EXPECT_TRUE(app.main_queue.back().tally());
}

TEST(SvcPostpone, ThreadEndsAtExitWhileIdleOrBusy)
{
    for (bool busy : {false, true}) {
        scaled_clock clock(1000);
        fake_monitor mon(1, {1});
        svc_app app(mon, clock);
        if (busy)
            app.postpone_add(kind_service_pass, 1, 1000000);
        std::thread t([&] { s_postpone(app); });
        app.doevent("EXIT", "");
        t.join();
        EXPECT_EQ(app.mode(), mode_exit);
    }
    // Already exiting when the thread starts.
    scaled_clock clock(1000);
    fake_monitor mon(1, {1});
    svc_app app(mon, clock);
    app.doevent("EXIT", "");
    s_postpone(app);
}

}  // namespace
}  // namespace svc
