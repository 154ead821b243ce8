// raft::transport::haresv: the HA disk voter as a transport endpoint (peer 67 of its
// own node). Its thread takes records from the tag-67 "tx_queue" (what the Raft node
// sends to 67 and the monitor's copies of STATE_CHANGED and NODE_STATUS), steps the
// decision core and posts replies on "rx_queue".
//
// Threads: the endpoint's own thread is the only user of the disks and the core;
// the shutdown touches only the stop flag and the input queue.
#pragma once

#include "daemon/core/netsock.hpp"
#include "reservation/haresv_core.hpp"

#include <memory>
#include <string>
#include <vector>

namespace raft::transport {

class haresv final : public netsock {
public:
    // Mode other than 1 ends the daemon. The devices are opened by disk name.
    // `link`: shared with the daemon's service manager (haresv_core).
    haresv(uint32_t mode, mq_t* input, mq_t* output, uint32_t own_id, const std::vector<std::string>& disks,
           uint64_t flap_threshold, uint64_t flap_window_sec, kelm::ha_fence_link* link = nullptr);

    void open() override {}
    void* client() override;
    void* server() override;

    haresv_core& core() { return *core_; }

private:
    mq_t* output_;  // not owned
    std::unique_ptr<haresv_core> core_;
};

}  // namespace raft::transport
