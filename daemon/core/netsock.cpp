// Endpoint thread entry.
#include "daemon/core/netsock.hpp"

#include "platform/process.hpp"

#include <spdlog/spdlog.h>

#include <exception>

namespace raft::transport {

void* transport_thread_main(void* endpoint)
{
    auto* ep = static_cast<netsock*>(endpoint);
    try {
        return ep->mode != 0 ? ep->client() : ep->server();
    } catch (const std::exception& e) {
        spdlog::error("[main] endpoint thread failed: {}", e.what());
    } catch (...) {
        spdlog::error("[main] endpoint thread failed");
    }
    platform::process_exit(1);
}

}  // namespace raft::transport
