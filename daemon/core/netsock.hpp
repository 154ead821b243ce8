// raft::transport::netsock: the endpoint base. Each endpoint runs on its own thread;
// only the stop flag is touched by another thread (the main thread at shutdown).
#pragma once

#include "daemon/core/mq.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace raft::transport {

class netsock {
public:
    netsock(uint32_t mode, raft::mq_t* queue) : mode(mode), queue(queue) {}
    netsock(const netsock&) = delete;
    netsock& operator=(const netsock&) = delete;
    virtual ~netsock() = default;

    virtual void open() = 0;
    virtual void* client() = 0;  // the client loop (mode 1)
    virtual void* server() = 0;  // the server loop (mode 0)

    pthread_t thread{};
    uint32_t mode;            // 0 server, 1 client
    std::atomic<bool> stop{false};
    raft::mq_t* queue;        // not owned
};

// Thread body of every endpoint: the client loop for mode != 0, else the server loop.
void* transport_thread_main(void* endpoint);

}  // namespace raft::transport
