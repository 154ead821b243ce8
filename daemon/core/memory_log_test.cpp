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

// A power loss drops only a last_applied saved on its own since the last synced
// write, as the command log's relaxed save would.
TEST(MemoryLog, PowerLossFollowsTheSyncRules)
{
    struct step {
        const char* what;
        int op;  // 0 save_state(term, vote, applied), 1 append, 2 truncate(1)
        uint64_t term;
        uint32_t vote;
        uint64_t applied;
        uint64_t after_loss;  // last_applied a power loss here leaves
    };
    const step steps[] = {
        {"first save is synced", 0, 1, 0, 0, 0},
        {"applied alone is not", 0, 1, 0, 1, 0},
        {"an append syncs it", 1, 0, 0, 0, 1},
        {"applied alone again", 0, 1, 0, 2, 1},
        {"a new vote syncs all", 0, 1, 2, 3, 3},
        {"applied alone", 0, 1, 2, 4, 3},
        {"a truncation syncs it", 2, 0, 0, 0, 4},
        {"a new term syncs all", 0, 2, 0, 5, 5},
    };
    memory_log_t log;
    for (const auto& s : steps) {
        if (s.op == 0)
            log.save_state(s.term, s.vote, s.applied);
        else if (s.op == 1)
            log.append(log_entry_init(log.last_index() + 1, 1, "k", "v"));
        else
            log.truncate(1);
        memory_log_t copy = log;
        copy.lose_unsynced();
        uint64_t t = 0, a = 0;
        uint32_t v = 0;
        copy.load_state(&t, &v, &a);
        EXPECT_EQ(a, s.after_loss) << s.what;
        EXPECT_EQ(t, log.saved_term()) << s.what << ": term and vote are always synced";
        EXPECT_EQ(v, log.saved_vote()) << s.what;
    }
}
