// Which datagrams the UDP server lets through to the Raft node: whole records of a
// type that travels between nodes, sent by a configured peer to this node. Anything
// else (port scans, stray packets, local control types) is dropped with a reason.
#pragma once

#include "daemon/core/raft_msg.hpp"

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
    foreign_addressee,
};

struct inbound_filter {
    uint32_t own_id = NODE_NONE;  // unset: nothing gets through
    std::bitset<64> peers;        // configured node ids other than own_id

    void add_peer(uint32_t id)
    {
        if (id < peers.size())
            peers.set(id);
    }

    // `len` is the number of bytes read; `msg` holds them, zero-filled past `len`.
    drop_reason check(const raft_msg_t& msg, size_t len) const;
};

// The reason as log text, with the offending value.
std::string describe(drop_reason why, const raft_msg_t& msg, size_t len);

}  // namespace raft::transport
