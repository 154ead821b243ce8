// mq_t: the unbounded FIFO of raft_msg_t copies between the daemon's threads.
// Locking: one mutex guards the list and is held only for the copy and the link
// change; any thread may post, exactly one thread consumes each queue.
#pragma once

#include "daemon/core/raft_msg.hpp"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace raft {

struct mq_t {
    uint32_t tag = 0;             // node id the queue serves
    const char* name = "";        // label only; must outlive the queue
    std::mutex mutex;
    std::condition_variable cond;  // waits on the monotonic clock
    std::deque<raft_msg_t> list;   // oldest first
};

// Stores name and tag and empties the queue. Returns 0.
int mq_init(mq_t* q, const char* name, uint32_t tag);

// Appends a copy of the record and wakes the consumer. Returns 0, or -1 when no
// memory could be had (the record is dropped, the consumer still woken).
int mq_push(mq_t* q, const raft_msg_t* msg);

// Appends only while the queue is empty; wakes the consumer either way. Returns 0.
int mq_push_if_empty(mq_t* q, const raft_msg_t* msg);

// Copies the oldest record into `out` and returns 0; waits at most timeout_ms
// (0: forever) for one to arrive, and returns -1 with `out` untouched when none did.
int mq_pop(mq_t* q, raft_msg_t* out, uint32_t timeout_ms);

}  // namespace raft
