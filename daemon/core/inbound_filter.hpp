// Which datagrams the UDP server lets through to the Raft node: whole records of a
// type that travels between nodes, sent by a configured peer from that peer's own
// configured address to this node. Anything else (port scans, stray packets, local
// control types, records that claim a sender they did not come from) is dropped
// with a reason.
#pragma once

#include "daemon/core/raft_msg.hpp"

#include <netinet/in.h>

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>

namespace raft::transport {

enum class drop_reason {
    none,
    short_datagram,
    foreign_type,
    bad_length,
    foreign_sender,
    foreign_address,
    foreign_addressee,
};

struct inbound_filter {
    uint32_t own_id = NODE_NONE;  // unset: nothing gets through
    std::bitset<64> peers;        // configured node ids other than own_id
    // Each peer's `internal_addr` as its client endpoint binds it, in network byte
    // order as the receive call reports a source. A peer's records leave from that
    // address alone, so a record claiming that peer from anywhere else is forged.
    std::array<in_addr_t, 64> peer_addrs{};

    void add_peer(uint32_t id, in_addr addr)
    {
        if (id < peers.size()) {
            peers.set(id);
            peer_addrs[id] = addr.s_addr;
        }
    }

    // `len` is the number of bytes read; `msg` holds them, zero-filled past `len`;
    // `source` is the address the datagram came from.
    drop_reason check(const raft_msg_t& msg, size_t len, in_addr source) const;

    // The reason as log text, with the offending value.
    std::string describe(drop_reason why, const raft_msg_t& msg, size_t len) const;
};

// Dotted-quad text of an IPv4 address.
std::string ipv4_text(in_addr addr);

}  // namespace raft::transport
