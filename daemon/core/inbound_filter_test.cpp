// Inbound datagram checks and the warning throttles.
#include "daemon/core/inbound_filter.hpp"
#include "daemon/core/log_throttle.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace raft::transport {
namespace {

in_addr ipv4(const char* text)
{
    in_addr a{};
    EXPECT_EQ(::inet_pton(AF_INET, text, &a), 1) << text;
    return a;
}

// Node 1 of three, node k at 127.0.0.k.
inbound_filter node1_of_three()
{
    inbound_filter f;
    f.own_id = 1;
    f.add_peer(2, ipv4("127.0.0.2"));
    f.add_peer(3, ipv4("127.0.0.3"));
    return f;
}

const in_addr from2 = ipv4("127.0.0.2");

TEST(InboundFilter, AcceptsOnlyWholePeerRecordsForThisNode)
{
    inbound_filter f = node1_of_three();
    raft_msg_t m = make_msg(APPEND_REQUEST, 1, 2, 9);
    EXPECT_EQ(f.check(m, MSG_SIZE, from2), drop_reason::none);
    EXPECT_EQ(f.check(m, MSG_SIZE - 1, from2), drop_reason::short_datagram);
    EXPECT_EQ(f.check(m, 0, from2), drop_reason::short_datagram);
    m.type = STOP_THREAD;
    EXPECT_EQ(f.check(m, MSG_SIZE, from2), drop_reason::foreign_type);
    m = make_msg(EXIT, 1, 2, 0);
    m.length = 0;
    EXPECT_EQ(f.check(m, MSG_SIZE, from2), drop_reason::bad_length);
    m = make_msg(EXIT, 1, 1, 0);
    EXPECT_EQ(f.check(m, MSG_SIZE, ipv4("127.0.0.1")), drop_reason::foreign_sender);
    m.from = 4;
    EXPECT_EQ(f.check(m, MSG_SIZE, ipv4("127.0.0.4")), drop_reason::foreign_sender);
    m.from = 1000;
    EXPECT_EQ(f.check(m, MSG_SIZE, from2), drop_reason::foreign_sender);
    m.from = 3;
    m.to = 2;
    EXPECT_EQ(f.check(m, MSG_SIZE, ipv4("127.0.0.3")), drop_reason::foreign_addressee);
    m.to = 1;
    EXPECT_EQ(f.check(m, MSG_SIZE, ipv4("127.0.0.3")), drop_reason::none);
}

// Every record type that travels, claiming each peer, from each kind of source:
// only the claimed sender's own configured address lets it through.
TEST(InboundFilter, ARecordIsBelievedOnlyFromItsSendersAddress)
{
    const inbound_filter f = node1_of_three();
    struct source {
        const char* what;
        const char* addr2;  // the source when the record claims node 2
        const char* addr3;  // ... when it claims node 3
        bool passes;
    };
    const source sources[] = {
        {"the sender's own address", "127.0.0.2", "127.0.0.3", true},
        {"the other peer's address", "127.0.0.3", "127.0.0.2", false},
        {"this node's address", "127.0.0.1", "127.0.0.1", false},
        {"an unknown address", "10.9.9.9", "127.0.0.4", false},
        {"the wildcard address", "0.0.0.0", "255.255.255.255", false},
    };
    for (uint32_t type : {STOP_NODE, STOP_CLUSTER, EXIT, PRE_VOTE_REQUEST, VOTE_REQUEST, VOTE_RESPONSE,
                          APPEND_REQUEST, APPEND_RESPONSE})
        for (uint32_t sender : {2u, 3u})
            for (const auto& s : sources) {
                const raft_msg_t m = make_msg(type, 1, sender, 5);
                const char* addr = sender == 2 ? s.addr2 : s.addr3;
                EXPECT_EQ(f.check(m, MSG_SIZE, ipv4(addr)), s.passes ? drop_reason::none : drop_reason::foreign_address)
                    << "type " << type << " from " << sender << " at " << addr << " (" << s.what << ")";
            }
    const raft_msg_t forged = make_msg(APPEND_REQUEST, 1, 2, 3);
    EXPECT_EQ(f.describe(f.check(forged, MSG_SIZE, ipv4("10.9.9.9")), forged, MSG_SIZE),
              "sender id 2 is configured at 127.0.0.2, not at this address");
}

TEST(InboundFilter, UnsetFilterLetsNothingThrough)
{
    inbound_filter f;
    f.add_peer(2, from2);
    raft_msg_t m = make_msg(VOTE_RESPONSE, NODE_NONE, 2, 1);
    EXPECT_NE(f.check(m, MSG_SIZE, from2), drop_reason::none);
    f.add_peer(64, from2);  // out of range: ignored, not a crash
    EXPECT_EQ(f.peers.count(), 1u);
    // A peer configured at the wildcard address picks no source of its own: unheard.
    f.own_id = 1;
    m.to = 1;
    f.add_peer(2, ipv4("0.0.0.0"));
    EXPECT_EQ(f.check(m, MSG_SIZE, ipv4("0.0.0.0")), drop_reason::foreign_address);
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
