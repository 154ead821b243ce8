// The HA disk voter's threads: the receiving loop (100 ms receive; appends echoed
// at once on a fresh confirmation, everything else queued for the disk thread),
// the disk thread's loop (one core step per record or 100 ms of quiet, each
// record told whether those queued behind it supersede it, replies posted to the
// Raft node, the stop flag tested after each) and the per-disk threads of a pass.
#include "reservation/haresv.hpp"

#include "platform/process.hpp"
#include "reservation/resv_open.hpp"

#include <spdlog/spdlog.h>

#include <chrono>
#include <exception>
#include <thread>

namespace raft::transport {

namespace {

std::vector<std::unique_ptr<FreeBSD::reservation::resv>> open_devices(const std::vector<std::string>& disks)
{
    std::vector<std::unique_ptr<FreeBSD::reservation::resv>> out;
    for (const auto& d : disks)
        out.push_back(FreeBSD::reservation::open_resv_device(d, false));
    return out;
}

void run_caught(const std::function<void(size_t)>& body, size_t i)
{
    try {
        body(i);
    } catch (const std::exception& e) {
        spdlog::error("[HA reservation client] disk {} pass failed: {}", i, e.what());
    } catch (...) {
        spdlog::error("[HA reservation client] disk {} pass failed", i);
    }
}

}  // namespace

haresv::haresv(uint32_t mode, mq_t* input, mq_t* output, uint32_t own_id, const std::vector<std::string>& disks,
               uint64_t flap_threshold, uint64_t flap_window_sec, kelm::ha_fence_link* link)
    : netsock(mode, input), output_(output)
{
    if (mode != 1)
        platform::fatal("HA reservation must be client.\n");
    core_ = std::make_unique<haresv_core>(
        own_id, disks, open_devices(disks), flap_threshold, flap_window_sec,
        FreeBSD::reservation::guarded_resv::steady_now, link,
        [](const std::string& name) { return FreeBSD::reservation::open_resv_device(name, false); },
        on_disk_threads);
}

void haresv::on_disk_threads(size_t n, const std::function<void(size_t)>& body)
{
    std::vector<std::thread> threads;
    for (size_t i = 1; i < n; ++i) {
        try {
            threads.emplace_back(run_caught, std::cref(body), i);
        } catch (const std::exception&) {
            run_caught(body, i);  // no thread to be had: this disk waits its turn
        }
    }
    if (n > 0)
        run_caught(body, 0);
    for (auto& t : threads)
        t.join();
}

void* haresv::client()
{
    std::thread disks;
    try {
        disks = std::thread([this] { disk_loop(); });
    } catch (const std::exception& e) {
        platform::fatal("can't start the HA disk thread: %s\n", e.what());
    }
    while (!stop.load()) {
        raft_msg_t m{};
        if (mq_pop(queue, &m, 100) != 0)
            continue;
        if (m.type == APPEND_REQUEST && core_->echo_fresh()) {
            const raft_msg_t r = haresv_core::echo_reply(m, core_->echo_until());
            mq_push(output_, &r);
            continue;
        }
        if (m.type == STATE_CHANGED)
            core_->forget_echo();
        {
            std::lock_guard<std::mutex> g(inbox_lock_);
            inbox_.push_back(m);
        }
        inbox_cv_.notify_one();
        if (m.type == STOP_THREAD)
            break;
    }
    {
        std::lock_guard<std::mutex> g(inbox_lock_);
        inbox_closed_ = true;
    }
    inbox_cv_.notify_one();
    disks.join();
    spdlog::info("{} stopped", core_->name());
    return nullptr;
}

void haresv::disk_loop()
{
    platform::thread_set_name("ha-disks");
    try {
        core_->start();
        std::vector<raft_msg_t> out;
        // What has arrived, oldest first: all of it is taken from the inbox before
        // each step, so the core can tell a record its node has moved past.
        std::deque<raft_msg_t> backlog;
        while (!stop.load()) {
            {
                std::unique_lock<std::mutex> g(inbox_lock_);
                if (backlog.empty())
                    inbox_cv_.wait_for(g, std::chrono::milliseconds(100),
                                       [this] { return !inbox_.empty() || inbox_closed_; });
                while (!inbox_.empty()) {
                    backlog.push_back(inbox_.front());
                    inbox_.pop_front();
                }
                if (backlog.empty() && inbox_closed_)
                    break;
            }
            out.clear();
            bool go_on = true;
            if (backlog.empty()) {
                go_on = core_->step(nullptr, out);
            } else {
                const raft_msg_t m = backlog.front();
                backlog.pop_front();
                go_on = core_->step(&m, out, haresv_core::superseded_by(m, backlog));
            }
            for (const auto& r : out)
                mq_push(output_, &r);
            if (!go_on)
                break;
        }
    } catch (const std::exception& e) {
        // The voter is gone: no vote, no echo beyond its last confirmation, so
        // its node cannot lead on it; the node's own log says so as it fails.
        spdlog::critical("{} disk thread failed: {}; this node no longer wins elections or commits alone",
                         core_->name(), e.what());
        core_->forget_echo();
    }
}

void* haresv::server()
{
    platform::fatal("haresv::server should be never called.\n");
}

}  // namespace raft::transport
