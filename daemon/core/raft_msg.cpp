// Record and entry builders.
#include "daemon/core/raft_msg.hpp"

#include <algorithm>
#include <cstring>

namespace raft {

bool travels_between_nodes(uint32_t type)
{
    switch (type) {
    case STOP_NODE:
    case STOP_CLUSTER:
    case EXIT:
    case PRE_VOTE_REQUEST:
    case VOTE_REQUEST:
    case VOTE_RESPONSE:
    case APPEND_REQUEST:
    case APPEND_RESPONSE:
        return true;
    default:
        return false;
    }
}

const char* raft_state_name(uint32_t state)
{
    switch (state) {
    case FOLLOWER: return "FOLLOWER";
    case PRE_CANDIDATE: return "PRE_CANDIDATE";
    case CANDIDATE: return "CANDIDATE";
    case LEADER: return "LEADER";
    default: return "UNKNOWN";
    }
}

void set_sender_instance(raft_msg_t& m, uint64_t instance)
{
    std::memcpy(m.body.raw + (SENDER_INSTANCE_OFFSET - offsetof(raft_msg_t, body)), &instance, sizeof instance);
}

uint64_t sender_instance(const raft_msg_t& m)
{
    uint64_t instance = 0;
    std::memcpy(&instance, m.body.raw + (SENDER_INSTANCE_OFFSET - offsetof(raft_msg_t, body)), sizeof instance);
    return instance;
}

raft_msg_t make_msg(uint32_t type, uint32_t to, uint32_t from, uint64_t term)
{
    raft_msg_t m;
    std::memset(&m, 0, sizeof m);
    m.type = type;
    m.length = MSG_SIZE;
    m.to = to;
    m.from = from;
    m.term = term;
    return m;
}

log_entry_t log_entry_init(uint64_t index, uint64_t term, std::string_view key, std::string_view value)
{
    log_entry_t e;
    std::memset(&e, 0, sizeof e);
    e.index = index;
    e.term = term;
    std::memcpy(e.key, key.data(), std::min(key.size(), KEY_SIZE - 1));
    std::memcpy(e.value, value.data(), std::min(value.size(), VALUE_SIZE - 1));
    return e;
}

}  // namespace raft
