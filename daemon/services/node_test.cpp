// Node objects: the node thread, the request threads and their workers count, and
// readers of a service's fields racing its actions (run under TSan).
#include "daemon/services/node.hpp"

#include "daemon/services/actions.hpp"
#include "daemon/services/svc_test_util.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace svc {
namespace {

using testing::app_fixture;

void deliver(node& n, node_event ev)
{
    std::lock_guard lk(n.mutex);
    if (ev.kind == kind_thread_exit)
        n.exit = true;
    n.queue.push_back(std::move(ev));
    n.cond.notify_one();
}

TEST(SvcNode, ThreadRunsRequestsUntilTheExitEvent)
{
    app_fixture f;
    service_table services;
    node n(2, "node2", true, &services, 7);
    n.thread = std::thread([&] { node_thread(f.app, n); });
    std::vector<uint32_t> ran;
    std::vector<std::future<void>> done;
    for (uint32_t target : {2u, 3u, 2u}) {
        node_event ev = make_event(kind_request, target);
        ev.request()->body = [&ran](node& x, nlohmann::json&) { ran.push_back(x.id); };
        done.push_back(ev.request()->promise.get_future());
        deliver(n, std::move(ev));
    }
    // The exit flag is set on delivery and read after each event: end it once the
    // requests are done.
    ASSERT_EQ(done[2].wait_for(std::chrono::seconds(10)), std::future_status::ready);
    deliver(n, make_event(kind_thread_exit, node_all));
    n.thread.join();
    EXPECT_EQ(ran, (std::vector<uint32_t>{2, 2}));  // the request for node 3 is not this node's
    EXPECT_EQ(done[0].wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_EQ(done[2].wait_for(std::chrono::seconds(0)), std::future_status::ready);
    // The thread may end at the flag before it takes the exit event itself.
    EXPECT_LE(n.queue.size(), 1u);
}

// A request whose body throws is dropped: its promise is never fulfilled (the
// requester sees it broken), no reference to the event is left, and the workers
// count goes back to 0.
TEST(SvcNode, RequestThreadDropsAThrowingBodyAndCountsDown)
{
    app_fixture f;
    node n(2, "node2", true, nullptr, 7);
    node_event ev = make_event(kind_request, 2);
    ev.request()->body = [](node&, nlohmann::json&) { throw std::runtime_error("boom"); };
    auto fut = ev.request()->promise.get_future();
    std::weak_ptr<node_event::payload> watch = ev.args;
    {
        std::lock_guard lk(n.mutex);
        n.workers = 1;
    }
    std::thread t(request_thread, std::ref(f.app), std::ref(n), std::move(ev));
    {
        std::unique_lock lk(n.mutex);
        ASSERT_TRUE(n.cond.wait_for(lk, std::chrono::seconds(10), [&] { return n.workers == 0; }));
    }
    t.join();
    EXPECT_TRUE(watch.expired());
    EXPECT_THROW(fut.get(), std::future_error);
}

// The service pass, the assignment pass and the dump read these fields without
// the service's lock while an action runs under it.
TEST(SvcNode, UnlockedReadersOfAServiceDuringActions)
{
    app_fixture f;
    f.mon.set_runner([](uint32_t, const std::string& cmd, const nlohmann::json& args) {
        return args.value("cmd", "") == "start" && cmd == "service" ? nlohmann::json{{"error", "ERPC"}}
                                                                    : nlohmann::json{{"response", 0}};
    });
    service_rec s("web", "S", 7);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint64_t sum = 0;
        // At least one read, however late the thread is scheduled.
        do {
            sum += s.state.load() + static_cast<uint64_t>(s.retries.load()) + s.run_node.load() + s.is_stale() +
                   (f.clock.now() < s.hold_off_until.load()) + s.enabled.load() + s.disabled_once.load();
        } while (!done.load());
        EXPECT_GT(sum, 0u);
    });
    for (int i = 0; i < 200; ++i) {
        std::lock_guard lk(s.lock);
        assign_service(f.app, s, 2);
        start_service(f.app, s);
        if (i % 2)
            s.mark_stale();
        stop_service(f.app, s);
        if (s.is_stale())
            s.settle();
    }
    done = true;
    reader.join();
}

}  // namespace
}  // namespace svc
