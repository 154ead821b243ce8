// UDP endpoint. Start-up stand-in: the loops honour the stop protocol; the datagram
// work comes with the Raft transport.
#include "daemon/core/udp.hpp"

#include <spdlog/spdlog.h>
#include <fmt/format.h>

#include <chrono>
#include <thread>

namespace raft::transport {

udp::udp(const std::string& local_addr, int local_port, const std::string& peer_addr, int peer_port,
         uint32_t mode, raft::mq_t* queue)
    : netsock(mode, queue)
{
    name_ = mode == 0 ? fmt::format("[srv {}:{}]", local_addr, static_cast<uint16_t>(local_port))
                      : fmt::format("[clnt {}:{}]", peer_addr, static_cast<uint16_t>(peer_port));
}

void udp::open() {}

void* udp::client()
{
    open();
    spdlog::info("{} started", name_);
    while (!stop.load()) {
        raft_msg_t msg;
        if (mq_pop(queue, &msg, 0) == 0 && msg.type == STOP_THREAD)
            stop.store(true);
    }
    spdlog::info("{} stopped", name_);
    return nullptr;
}

void* udp::server()
{
    open();
    spdlog::info("{} started", name_);
    while (!stop.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    spdlog::info("{} stopped", name_);
    return nullptr;
}

}  // namespace raft::transport
