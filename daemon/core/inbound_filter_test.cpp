// Inbound datagram checks and the warning throttles.
#include "daemon/core/inbound_filter.hpp"
#include "daemon/core/log_throttle.hpp"

#include <gtest/gtest.h>

namespace raft::transport {
namespace {

inbound_filter node1_of_three()
{
    inbound_filter f;
    f.own_id = 1;
    for (uint32_t id : {1u, 2u, 3u})
        if (id != 1)
            f.add_peer(id);
    return f;
}

TEST(InboundFilter, AcceptsOnlyWholePeerRecordsForThisNode)
{
    inbound_filter f = node1_of_three();
    raft_msg_t m = make_msg(APPEND_REQUEST, 1, 2, 9);
    EXPECT_EQ(f.check(m, MSG_SIZE), drop_reason::none);
    EXPECT_EQ(f.check(m, MSG_SIZE - 1), drop_reason::short_datagram);
    EXPECT_EQ(f.check(m, 0), drop_reason::short_datagram);
    m.type = STOP_THREAD;
    EXPECT_EQ(f.check(m, MSG_SIZE), drop_reason::foreign_type);
    m = make_msg(EXIT, 1, 2, 0);
    m.length = 0;
    EXPECT_EQ(f.check(m, MSG_SIZE), drop_reason::bad_length);
    m = make_msg(EXIT, 1, 1, 0);
    EXPECT_EQ(f.check(m, MSG_SIZE), drop_reason::foreign_sender);
    m.from = 4;
    EXPECT_EQ(f.check(m, MSG_SIZE), drop_reason::foreign_sender);
    m.from = 1000;
    EXPECT_EQ(f.check(m, MSG_SIZE), drop_reason::foreign_sender);
    m.from = 3;
    m.to = 2;
    EXPECT_EQ(f.check(m, MSG_SIZE), drop_reason::foreign_addressee);
    m.to = 1;
    EXPECT_EQ(f.check(m, MSG_SIZE), drop_reason::none);
}

TEST(InboundFilter, UnsetFilterLetsNothingThrough)
{
    inbound_filter f;
    f.add_peer(2);
    raft_msg_t m = make_msg(VOTE_RESPONSE, NODE_NONE, 2, 1);
    EXPECT_NE(f.check(m, MSG_SIZE), drop_reason::none);
    f.add_peer(64);  // out of range: ignored, not a crash
    EXPECT_EQ(f.peers.count(), 1u);
}

TEST(LogThrottle, OneLinePerIntervalWithTheCountHeldBack)
{
    auto now = log_throttle::clock::time_point{} + std::chrono::hours(1);
    log_throttle t(std::chrono::seconds(10), [&] { return now; });
    uint64_t held = 99;
    EXPECT_TRUE(t.allow(&held));
    EXPECT_EQ(held, 0u);
    for (int i = 0; i < 1000; ++i) {
        now += std::chrono::milliseconds(5);
        EXPECT_FALSE(t.allow(&held));
    }
    now += std::chrono::seconds(5);
    EXPECT_TRUE(t.allow(&held));
    EXPECT_EQ(held, 1000u);
    EXPECT_FALSE(t.allow(&held));
    now += std::chrono::seconds(10);
    EXPECT_TRUE(t.allow(&held));
    EXPECT_EQ(held, 1u);
}

TEST(FailureRun, FirstFailureOfEachRunIsReported)
{
    failure_run r;
    EXPECT_TRUE(r.on_failure());
    EXPECT_FALSE(r.on_failure());
    EXPECT_FALSE(r.on_failure());
    r.on_success();
    r.on_success();
    EXPECT_TRUE(r.on_failure());
    EXPECT_FALSE(r.on_failure());
}

}  // namespace
}  // namespace raft::transport
