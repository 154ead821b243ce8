// The in-memory log behaves as the command log does: the newest two entries,
// exists on (0, 0), truncation, out-of-order appends refused, state round trip.
#include "daemon/core/memory_log.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace raft;

TEST(MemoryLog, TracksTheNewestTwoEntriesAcrossAppendAndTruncate)
{
    memory_log_t log;
    EXPECT_EQ(log.last_index(), 0u);
    EXPECT_TRUE(log.exists(0, 0));
    EXPECT_FALSE(log.exists(0, 1));
    EXPECT_EQ(log.get(0).index, 0u);
    for (uint64_t i = 1; i <= 5; ++i)
        log.append(log_entry_init(i, i < 3 ? 1 : 2, "k", "v"));
    EXPECT_EQ(log.last_index(), 5u);
    EXPECT_EQ(log.prev_index(), 4u);
    EXPECT_EQ(log.last_term(), 2u);
    EXPECT_TRUE(log.exists(2, 1));
    EXPECT_FALSE(log.exists(2, 2));
    EXPECT_FALSE(log.exists(6, 2));
    log.truncate(3);
    EXPECT_EQ(log.last_index(), 2u);
    EXPECT_EQ(log.prev_index(), 1u);
    EXPECT_EQ(log.prev_term(), 1u);
    EXPECT_FALSE(log.exists(3, 2)) << "a removed entry must not still be answered from a cache";
    EXPECT_EQ(log.get(3).index, 0u);
    EXPECT_THROW(log.append(log_entry_init(5, 2, "k", "gap")), std::logic_error);
    log.truncate(1);
    EXPECT_EQ(log.last_index(), 0u);
    EXPECT_EQ(log.prev_index(), 0u);
}

TEST(MemoryLog, StateRoundTrip)
{
    memory_log_t log;
    uint64_t t = 9, a = 9;
    uint32_t v = 9;
    log.load_state(&t, &v, &a);
    EXPECT_EQ(t, 0u);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(a, 0u);
    log.save_state(7, 2, 10);
    log.load_state(&t, &v, &a);
    EXPECT_EQ(t, 7u);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(a, 10u);
}
