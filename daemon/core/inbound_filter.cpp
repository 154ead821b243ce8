// Inbound datagram checks.
#include "daemon/core/inbound_filter.hpp"

#include <fmt/format.h>

#include <arpa/inet.h>

namespace raft::transport {

drop_reason inbound_filter::check(const raft_msg_t& msg, size_t len, in_addr source) const
{
    if (len < MSG_SIZE)
        return drop_reason::short_datagram;
    if (!travels_between_nodes(msg.type))
        return drop_reason::foreign_type;
    if (msg.length != MSG_SIZE)
        return drop_reason::bad_length;
    if (msg.from >= peers.size() || !peers.test(msg.from) || msg.from == own_id)
        return drop_reason::foreign_sender;
    // A peer configured at the wildcard address binds no address of its own: the
    // kernel picks its source, so nothing proves a record is its. Such a peer is
    // never heard, which the warning line makes plain.
    if (peer_addrs[msg.from] == htonl(INADDR_ANY) || source.s_addr != peer_addrs[msg.from])
        return drop_reason::foreign_address;
    if (own_id == NODE_NONE || msg.to != own_id)
        return drop_reason::foreign_addressee;
    return drop_reason::none;
}

std::string inbound_filter::describe(drop_reason why, const raft_msg_t& msg, size_t len) const
{
    switch (why) {
    case drop_reason::none: return "accepted";
    case drop_reason::short_datagram: return fmt::format("{} bytes, shorter than a record", len);
    case drop_reason::foreign_type: return fmt::format("type {} does not travel between nodes", msg.type);
    case drop_reason::bad_length: return fmt::format("length field {} is not {}", msg.length, MSG_SIZE);
    case drop_reason::foreign_sender: return fmt::format("sender id {} is not a configured peer", msg.from);
    case drop_reason::foreign_address:
        return fmt::format("sender id {} is configured at {}, not at this address", msg.from,
                           ipv4_text(in_addr{peer_addrs[msg.from]}));
    case drop_reason::foreign_addressee: return fmt::format("addressee id {} is not this node", msg.to);
    }
    return "unknown";
}

std::string ipv4_text(in_addr addr)
{
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

}  // namespace raft::transport
