// The 448-byte Raft record and the command-log entry: the same bytes in memory,
// in the queues and on the wire (host byte order). Builders zero-fill the whole
// record so no uninitialised byte ever reaches a peer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace raft {

enum raft_msg_type : uint32_t {
    TICK = 1,
    STATE_CHANGED = 2,
    NODE_SYNCED = 3,
    NODE_STATUS = 4,
    STOP_NODE = 5,
    STOP_CLUSTER = 6,
    FSM_APPLY = 7,
    STOP_THREAD = 8,
    EXIT = 9,
    FSM_REWIND = 10,  // local output of the node only, never on the wire
    PRE_VOTE_REQUEST = 130,
    VOTE_REQUEST = 131,
    VOTE_RESPONSE = 132,
    APPEND_REQUEST = 133,
    APPEND_RESPONSE = 134,
};

enum raft_state : uint32_t {
    FOLLOWER = 0,
    PRE_CANDIDATE = 1,
    CANDIDATE = 2,
    LEADER = 3,
};

// True for the types that travel between daemons (5, 6, 9, 130-134): the only ones a
// datagram may carry. Anything else from the network (a STOP_THREAD above all) would
// act on this daemon's own threads.
bool travels_between_nodes(uint32_t type);

// "FOLLOWER", "PRE_CANDIDATE", "CANDIDATE", "LEADER", anything else "UNKNOWN".
const char* raft_state_name(uint32_t state);

// Special node ids.
inline constexpr uint32_t NODE_NONE = 64;
inline constexpr uint32_t NODE_SELF = 65;
inline constexpr uint32_t NODE_ALL = 66;
inline constexpr uint32_t NODE_HA = 67;
inline constexpr uint32_t LEADER_NONE = 65535;

inline constexpr size_t KEY_SIZE = 128;
inline constexpr size_t VALUE_SIZE = 256;
inline constexpr uint32_t MSG_SIZE = 448;

struct log_entry_t {
    uint64_t index;  // 0: no entry
    uint64_t term;
    char key[KEY_SIZE];
    char value[VALUE_SIZE];
};
static_assert(sizeof(log_entry_t) == 400);
static_assert(std::is_standard_layout_v<log_entry_t> && std::is_trivially_copyable_v<log_entry_t>);
static_assert(offsetof(log_entry_t, index) == 0);
static_assert(offsetof(log_entry_t, term) == 8);
static_assert(offsetof(log_entry_t, key) == 16);
static_assert(offsetof(log_entry_t, value) == 144);

struct state_changed_body {
    uint32_t old_state;
    uint32_t new_state;
    uint64_t incarnation;
    uint32_t reason;
};

struct vote_request_body {  // PRE_VOTE_REQUEST and VOTE_REQUEST
    uint64_t last_index;
    uint64_t last_term;
    uint64_t incarnation;
};

struct append_request_body {
    uint64_t commit;
    uint64_t prev_index;
    uint64_t prev_term;
    log_entry_t entry;
};

struct fsm_apply_body {
    char key[KEY_SIZE];
    char value[VALUE_SIZE];
};

struct raft_msg_t {
    uint32_t type;
    uint32_t length;  // always MSG_SIZE
    uint32_t to;
    uint32_t from;
    uint64_t term;
    union {
        uint8_t raw[424];
        state_changed_body state_changed;
        uint8_t flag;  // NODE_SYNCED, NODE_STATUS, VOTE_RESPONSE, APPEND_RESPONSE
        vote_request_body vote;
        append_request_body append;
        fsm_apply_body apply;
        uint64_t rewind_to;  // FSM_REWIND
    } body;
};

static_assert(sizeof(raft_msg_t) == MSG_SIZE);
static_assert(std::is_standard_layout_v<raft_msg_t> && std::is_trivially_copyable_v<raft_msg_t>);
static_assert(offsetof(raft_msg_t, type) == 0);
static_assert(offsetof(raft_msg_t, length) == 4);
static_assert(offsetof(raft_msg_t, to) == 8);
static_assert(offsetof(raft_msg_t, from) == 12);
static_assert(offsetof(raft_msg_t, term) == 16);
static_assert(offsetof(raft_msg_t, body) == 24);
static_assert(sizeof(raft_msg_t::body) == 424);
static_assert(offsetof(raft_msg_t, body.flag) == 24);
static_assert(offsetof(raft_msg_t, body.rewind_to) == 24);
static_assert(offsetof(raft_msg_t, body.state_changed.old_state) == 24);
static_assert(offsetof(raft_msg_t, body.state_changed.new_state) == 28);
static_assert(offsetof(raft_msg_t, body.state_changed.incarnation) == 32);
static_assert(offsetof(raft_msg_t, body.state_changed.reason) == 40);
static_assert(offsetof(raft_msg_t, body.vote.last_index) == 24);
static_assert(offsetof(raft_msg_t, body.vote.last_term) == 32);
static_assert(offsetof(raft_msg_t, body.vote.incarnation) == 40);
static_assert(offsetof(raft_msg_t, body.append.commit) == 24);
static_assert(offsetof(raft_msg_t, body.append.prev_index) == 32);
static_assert(offsetof(raft_msg_t, body.append.prev_term) == 40);
static_assert(offsetof(raft_msg_t, body.append.entry) == 48);
static_assert(offsetof(raft_msg_t, body.append.entry.index) == 48);
static_assert(offsetof(raft_msg_t, body.append.entry.term) == 56);
static_assert(offsetof(raft_msg_t, body.append.entry.key) == 64);
static_assert(offsetof(raft_msg_t, body.append.entry.value) == 192);
static_assert(offsetof(raft_msg_t, body.apply.key) == 24);
static_assert(offsetof(raft_msg_t, body.apply.value) == 152);
static_assert(offsetof(raft_msg_t, body.append.entry.value) + VALUE_SIZE == MSG_SIZE);

// The sending daemon's instance in an APPEND_RESPONSE: a random number drawn when
// the daemon starts, at record offset 40 (after the success byte at 24 and the
// Raft node's echo index at 32), bytes the type otherwise leaves undefined.
// Receivers that do not know of it ignore those bytes, and senders that do not
// know of it zero them: 0 reads as "not told". The Raft node neither writes nor
// reads it; the monitor stamps its own instance on every append response it
// sends, and a leader's monitor reads its peers' (a new instance means that the
// peer's daemon restarted).
inline constexpr size_t SENDER_INSTANCE_OFFSET = 40;
void set_sender_instance(raft_msg_t& m, uint64_t instance);
uint64_t sender_instance(const raft_msg_t& m);
static_assert(SENDER_INSTANCE_OFFSET % 8 == 0 && SENDER_INSTANCE_OFFSET + 8 <= MSG_SIZE);

// A zero-filled record with its header set.
raft_msg_t make_msg(uint32_t type, uint32_t to, uint32_t from, uint64_t term);

// A zero-filled entry; key and value are cut to 127 and 255 bytes so their NUL fits
// (a text with an embedded NUL ends there for every reader).
log_entry_t log_entry_init(uint64_t index, uint64_t term, std::string_view key, std::string_view value);

}  // namespace raft
