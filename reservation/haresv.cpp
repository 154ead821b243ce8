// The HA disk voter's thread loop: 100 ms receive, one core step per record or
// time-out (each record told whether those queued behind it supersede it),
// replies posted to the Raft node, and the stop flag tested after each.
#include "reservation/haresv.hpp"

#include "platform/process.hpp"
#include "reservation/resv_open.hpp"

#include <spdlog/spdlog.h>

#include <deque>

namespace raft::transport {

namespace {

std::vector<std::unique_ptr<FreeBSD::reservation::resv>> open_devices(const std::vector<std::string>& disks)
{
    std::vector<std::unique_ptr<FreeBSD::reservation::resv>> out;
    for (const auto& d : disks)
        out.push_back(FreeBSD::reservation::open_resv_device(d, false));
    return out;
}

}  // namespace

haresv::haresv(uint32_t mode, mq_t* input, mq_t* output, uint32_t own_id, const std::vector<std::string>& disks,
               uint64_t flap_threshold, uint64_t flap_window_sec, kelm::ha_fence_link* link)
    : netsock(mode, input), output_(output)
{
    if (mode != 1)
        platform::fatal("HA reservation must be client.\n");
    core_ = std::make_unique<haresv_core>(own_id, disks, open_devices(disks), flap_threshold, flap_window_sec,
                                          FreeBSD::reservation::guarded_resv::steady_now, link,
                                          [](const std::string& name) {
                                              return FreeBSD::reservation::open_resv_device(name, false);
                                          });
}

void* haresv::client()
{
    core_->start();
    std::vector<raft_msg_t> out;
    // What has arrived, oldest first: all of it is taken from the queue before
    // each step, so the core can tell a record its node has moved past.
    std::deque<raft_msg_t> backlog;
    while (!stop.load()) {
        raft_msg_t m{};
        if (backlog.empty() && mq_pop(queue, &m, 100) == 0)
            backlog.push_back(m);
        while (!backlog.empty() && mq_pop(queue, &m, 1) == 0)
            backlog.push_back(m);
        out.clear();
        bool go_on = true;
        if (backlog.empty()) {
            go_on = core_->step(nullptr, out);
        } else {
            m = backlog.front();
            backlog.pop_front();
            go_on = core_->step(&m, out, haresv_core::superseded_by(m, backlog));
        }
        for (const auto& r : out)
            mq_push(output_, &r);
        if (!go_on)
            break;
    }
    spdlog::info("{} stopped", core_->name());
    return nullptr;
}

void* haresv::server()
{
    platform::fatal("haresv::server should be never called.\n");
}

}  // namespace raft::transport
