// raft::transport::udp: the Raft datagram endpoint (server feeds rx_queue, client
// drains a peer's tx_queue). Used only by its own thread, apart from `stop`.
#pragma once

#include "daemon/core/netsock.hpp"

#include <string>

namespace raft::transport {

class udp : public netsock {
public:
    udp(const std::string& local_addr, int local_port, const std::string& peer_addr, int peer_port,
        uint32_t mode, raft::mq_t* queue);

    void open() override;
    void* client() override;
    void* server() override;

    const std::string& name() const { return name_; }

private:
    int sock_ = -1;
    std::string name_;
};

}  // namespace raft::transport
