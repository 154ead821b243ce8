// Inbound datagram checks.
#include "daemon/core/inbound_filter.hpp"

#include <fmt/format.h>

namespace raft::transport {

drop_reason inbound_filter::check(const raft_msg_t& msg, size_t len) const
{
    if (len < MSG_SIZE)
        return drop_reason::short_datagram;
    if (!travels_between_nodes(msg.type))
        return drop_reason::foreign_type;
    if (msg.length != MSG_SIZE)
        return drop_reason::bad_length;
    if (msg.from >= peers.size() || !peers.test(msg.from) || msg.from == own_id)
        return drop_reason::foreign_sender;
    if (own_id == NODE_NONE || msg.to != own_id)
        return drop_reason::foreign_addressee;
    return drop_reason::none;
}

std::string describe(drop_reason why, const raft_msg_t& msg, size_t len)
{
    switch (why) {
    case drop_reason::none: return "accepted";
    case drop_reason::short_datagram: return fmt::format("{} bytes, shorter than a record", len);
    case drop_reason::foreign_type: return fmt::format("type {} does not travel between nodes", msg.type);
    case drop_reason::bad_length: return fmt::format("length field {} is not {}", msg.length, MSG_SIZE);
    case drop_reason::foreign_sender: return fmt::format("sender id {} is not a configured peer", msg.from);
    case drop_reason::foreign_addressee: return fmt::format("addressee id {} is not this node", msg.to);
    }
    return "unknown";
}

}  // namespace raft::transport
