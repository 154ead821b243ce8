// Record builders: zero fill, header, text cut-off, state names, network types.
#include "daemon/core/raft_msg.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace raft {
namespace {

bool all_zero(const void* p, size_t n)
{
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0)
            return false;
    return true;
}

TEST(RaftMsg, BuilderSetsHeaderAndZeroesEveryBodyByte)
{
    raft_msg_t m;
    std::memset(&m, 0xAB, sizeof m);  // whatever the stack held before
    m = make_msg(APPEND_REQUEST, 3, 1, (uint64_t{1} << 40) + 7);
    EXPECT_EQ(m.type, APPEND_REQUEST);
    EXPECT_EQ(m.length, MSG_SIZE);
    EXPECT_EQ(m.to, 3u);
    EXPECT_EQ(m.from, 1u);
    EXPECT_EQ(m.term, (uint64_t{1} << 40) + 7);
    EXPECT_TRUE(all_zero(&m.body, sizeof m.body));
}

TEST(RaftMsg, HeaderBytesLieWhereThePeersReadThem)
{
    raft_msg_t m = make_msg(VOTE_RESPONSE, 0x01020304, 0x0a0b0c0d, 0x1122334455667788);
    m.body.flag = 1;
    unsigned char raw[MSG_SIZE];
    std::memcpy(raw, &m, sizeof raw);
    uint32_t u32;
    uint64_t u64;
    std::memcpy(&u32, raw + 0, 4);
    EXPECT_EQ(u32, 132u);
    std::memcpy(&u32, raw + 4, 4);
    EXPECT_EQ(u32, 448u);
    std::memcpy(&u32, raw + 8, 4);
    EXPECT_EQ(u32, 0x01020304u);
    std::memcpy(&u32, raw + 12, 4);
    EXPECT_EQ(u32, 0x0a0b0c0du);
    std::memcpy(&u64, raw + 16, 8);
    EXPECT_EQ(u64, 0x1122334455667788u);
    EXPECT_EQ(raw[24], 1);
}

TEST(RaftMsg, LongestKeyAndValueKeepTheirNul)
{
    std::string key(127, 'k'), value(255, 'v');
    log_entry_t e = log_entry_init(9, 4, key, value);
    EXPECT_EQ(e.index, 9u);
    EXPECT_EQ(e.term, 4u);
    EXPECT_EQ(std::string(e.key), key);
    EXPECT_EQ(e.key[127], '\0');
    EXPECT_EQ(std::string(e.value), value);
    EXPECT_EQ(e.value[255], '\0');

    raft_msg_t m = make_msg(APPEND_REQUEST, 2, 1, 4);
    m.body.append.entry = e;
    unsigned char raw[MSG_SIZE];
    std::memcpy(raw, &m, sizeof raw);
    EXPECT_EQ(raw[64 + 126], 'k');
    EXPECT_EQ(raw[64 + 127], 0);
    EXPECT_EQ(raw[192 + 254], 'v');
    EXPECT_EQ(raw[447], 0);
}

TEST(RaftMsg, OverlongTextsAreCutAndShortOnesZeroPadded)
{
    log_entry_t e = log_entry_init(1, 1, std::string(300, 'k'), std::string(600, 'v'));
    EXPECT_EQ(std::strlen(e.key), KEY_SIZE - 1);
    EXPECT_EQ(std::strlen(e.value), VALUE_SIZE - 1);

    e = log_entry_init(1, 1, "ab", "");
    EXPECT_STREQ(e.key, "ab");
    EXPECT_TRUE(all_zero(e.key + 2, KEY_SIZE - 2));
    EXPECT_TRUE(all_zero(e.value, VALUE_SIZE));

    e = log_entry_init(0, 0, "", "");
    EXPECT_TRUE(all_zero(&e, sizeof e));  // the "no entry" of a heartbeat
}

TEST(RaftMsg, StateNames)
{
    EXPECT_STREQ(raft_state_name(FOLLOWER), "FOLLOWER");
    EXPECT_STREQ(raft_state_name(PRE_CANDIDATE), "PRE_CANDIDATE");
    EXPECT_STREQ(raft_state_name(CANDIDATE), "CANDIDATE");
    EXPECT_STREQ(raft_state_name(LEADER), "LEADER");
    EXPECT_STREQ(raft_state_name(4), "UNKNOWN");
    EXPECT_STREQ(raft_state_name(0xffffffff), "UNKNOWN");
}

TEST(RaftMsg, OnlyInterNodeTypesTravel)
{
    std::string travelling;
    for (uint32_t t = 0; t < 1000; ++t)
        if (travels_between_nodes(t))
            travelling += std::to_string(t) + " ";
    EXPECT_EQ(travelling, "5 6 9 130 131 132 133 134 ");
    EXPECT_FALSE(travels_between_nodes(0x80000000u | STOP_NODE));
}

}  // namespace
}  // namespace raft
