// raft::transport::udp: the Raft datagram endpoint (server feeds rx_queue, client
// drains a peer's tx_queue). Used only by its own thread, apart from `stop` and the
// counters, which are atomic.
#pragma once

#include "daemon/core/inbound_filter.hpp"
#include "daemon/core/netsock.hpp"

#include <netdb.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace raft::transport {

// How often a dropped-datagram warning may be written; the lines in between are
// counted and the count is reported with the next one.
inline constexpr std::chrono::seconds drop_warning_interval{10};

class udp : public netsock {
public:
    // Resolves both addresses (IPv4, UDP); an address that does not resolve ends the
    // process with status 1. peer_addr/peer_port are unused in server mode.
    udp(const std::string& local_addr, int local_port, const std::string& peer_addr, int peer_port,
        uint32_t mode, raft::mq_t* queue);
    ~udp() override;

    // Server only, before its thread starts: who may send and who is addressed.
    void set_filter(const inbound_filter& filter) { filter_ = filter; }

    void open() override;
    void* client() override;
    void* server() override;

    const std::string& name() const { return name_; }
    // Client only: the peer's address as resolved at construction, the one records
    // are sent to and the one the peer's own client binds (its `internal_addr`).
    in_addr peer_address() const;
    // Records posted to the queue (server) or sent (client); datagrams dropped (server).
    uint64_t passed() const { return passed_.load(); }
    uint64_t dropped() const { return dropped_.load(); }

private:
    void bind_local();

    int sock_ = -1;
    std::string name_;
    addrinfo* local_ = nullptr;
    addrinfo* peer_ = nullptr;
    inbound_filter filter_;
    std::atomic<uint64_t> passed_{0};
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace raft::transport
