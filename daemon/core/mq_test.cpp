// mq_t: order and completeness under concurrent producers, time-outs, wake-ups.
#include "daemon/core/mq.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace raft {
namespace {

using clock_type = std::chrono::steady_clock;

long elapsed_ms(clock_type::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since).count();
}

raft_msg_t numbered(uint32_t producer, uint64_t seq)
{
    raft_msg_t m = make_msg(APPEND_REQUEST, 1, producer, seq);
    m.body.append.entry = log_entry_init(seq, producer, "k", "v");
    return m;
}

TEST(Mq, FourProducersKeepTheirOrderAndLoseNothing)
{
    constexpr uint32_t producers = 4;
    constexpr uint64_t per_producer = 10000;
    mq_t q;
    mq_init(&q, "rx_queue", 1);
    std::vector<std::thread> threads;
    for (uint32_t p = 0; p < producers; ++p)
        threads.emplace_back([&q, p] {
            for (uint64_t i = 0; i < per_producer; ++i) {
                raft_msg_t m = numbered(p, i);
                ASSERT_EQ(mq_push(&q, &m), 0);
            }
        });
    std::vector<uint64_t> next(producers, 0);
    for (uint64_t n = 0; n < producers * per_producer; ++n) {
        raft_msg_t m;
        ASSERT_EQ(mq_pop(&q, &m, 5000), 0) << "record " << n << " never came";
        ASSERT_LT(m.from, producers);
        ASSERT_EQ(m.term, next[m.from]) << "producer " << m.from << " out of order";
        ASSERT_EQ(m.body.append.entry.index, m.term);
        ++next[m.from];
    }
    for (auto& t : threads)
        t.join();
    for (uint32_t p = 0; p < producers; ++p)
        EXPECT_EQ(next[p], per_producer);
    raft_msg_t extra;
    EXPECT_EQ(mq_pop(&q, &extra, 1), -1);
}

TEST(Mq, TimeOutReturnsWithinBoundsAndLeavesTheBufferAlone)
{
    mq_t q;
    mq_init(&q, "tx_queue", 2);
    raft_msg_t buf;
    std::memset(&buf, 0x5a, sizeof buf);
    raft_msg_t before = buf;
    auto start = clock_type::now();
    EXPECT_EQ(mq_pop(&q, &buf, 50), -1);
    long ms = elapsed_ms(start);
    EXPECT_GE(ms, 50);
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(std::memcmp(&buf, &before, sizeof buf), 0);
}

TEST(Mq, NonEmptyQueueAnswersAtOnceWhateverTheTimeOut)
{
    mq_t q;
    mq_init(&q, "rx_queue", 1);
    for (uint64_t i = 1; i <= 3; ++i) {
        raft_msg_t m = numbered(0, i);
        mq_push(&q, &m);
    }
    auto start = clock_type::now();
    raft_msg_t out;
    ASSERT_EQ(mq_pop(&q, &out, 0), 0);
    EXPECT_EQ(out.term, 1u);
    ASSERT_EQ(mq_pop(&q, &out, 5000), 0);
    EXPECT_EQ(out.term, 2u);
    ASSERT_EQ(mq_pop(&q, &out, 1), 0);
    EXPECT_EQ(out.term, 3u);
    EXPECT_LT(elapsed_ms(start), 500);
}

TEST(Mq, ForeverWaitEndsWithTheNextPostAndCopiesIt)
{
    mq_t q;
    mq_init(&q, "tx_queue", 3);
    raft_msg_t sent = numbered(2, 77);
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        raft_msg_t local = sent;
        mq_push(&q, &local);
        std::memset(&local, 0, sizeof local);  // the queue holds its own copy
    });
    auto start = clock_type::now();
    raft_msg_t out;
    ASSERT_EQ(mq_pop(&q, &out, 0), 0);
    EXPECT_GE(elapsed_ms(start), 90);
    EXPECT_EQ(std::memcmp(&out, &sent, sizeof out), 0);
    poster.join();
}

TEST(Mq, TimedWaitIsCutShortByAPost)
{
    mq_t q;
    mq_init(&q, "rx_queue", 1);
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        raft_msg_t m = numbered(1, 5);
        mq_push(&q, &m);
    });
    auto start = clock_type::now();
    raft_msg_t out;
    ASSERT_EQ(mq_pop(&q, &out, 10000), 0);
    EXPECT_LT(elapsed_ms(start), 5000);
    EXPECT_EQ(out.term, 5u);
    poster.join();
}

TEST(Mq, PostIfEmptyAddsOnlyToAnEmptyQueue)
{
    mq_t q;
    mq_init(&q, "rx_queue", 1);
    raft_msg_t a = numbered(0, 1), b = numbered(0, 2);
    EXPECT_EQ(mq_push_if_empty(&q, &a), 0);
    EXPECT_EQ(mq_push_if_empty(&q, &b), 0);
    raft_msg_t out;
    ASSERT_EQ(mq_pop(&q, &out, 10), 0);
    EXPECT_EQ(out.term, 1u);
    EXPECT_EQ(mq_pop(&q, &out, 10), -1);
    EXPECT_EQ(mq_push_if_empty(&q, &b), 0);
    ASSERT_EQ(mq_pop(&q, &out, 10), 0);
    EXPECT_EQ(out.term, 2u);
}

}  // namespace
}  // namespace raft
