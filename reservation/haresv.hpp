// raft::transport::haresv: the HA disk voter as a transport endpoint (peer 67 of its
// own node). Its thread takes records from the tag-67 "tx_queue" (what the Raft node
// sends to 67 and the monitor's copies of STATE_CHANGED and NODE_STATUS), answers
// the leader's appends at once while the last read of the disks confirms them,
// and hands every other record to its disk thread, which steps the decision core
// and posts replies on "rx_queue".
//
// Threads: the endpoint's own thread ("rpc-client") receives; the disk thread
// ("ha-disks") is the only one that steps the core, and during a disk pass it
// runs one short-lived thread per disk (haresv_core::per_disk_fn). The two meet
// at the inbox (guarded by inbox_lock_) and at the core's atomic echo state; the
// shutdown touches only the stop flag and the input queue.
#pragma once

#include "daemon/core/netsock.hpp"
#include "reservation/haresv_core.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
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

    // Runs body(i) for i below n on one thread each (the calling thread takes
    // disk 0) and joins them; what a body throws is logged and ends only that
    // body, whose disk then counts as not answered.
    static void on_disk_threads(size_t n, const std::function<void(size_t)>& body);

private:
    void disk_loop();

    mq_t* output_;  // not owned
    std::unique_ptr<haresv_core> core_;
    std::mutex inbox_lock_;
    std::condition_variable inbox_cv_;
    std::deque<raft_msg_t> inbox_;  // for the disk thread, oldest first
    bool inbox_closed_ = false;     // the receiving thread has left its loop
};

}  // namespace raft::transport
