// Message queue operations.
#include "daemon/core/mq.hpp"

#include <chrono>
#include <new>

namespace raft {

int mq_init(mq_t* q, const char* name, uint32_t tag)
{
    std::lock_guard lock(q->mutex);
    q->name = name;
    q->tag = tag;
    q->list.clear();
    return 0;
}

int mq_push(mq_t* q, const raft_msg_t* msg)
{
    int rc = 0;
    {
        std::lock_guard lock(q->mutex);
        try {
            q->list.push_back(*msg);
        } catch (const std::bad_alloc&) {
            rc = -1;
        }
    }
    q->cond.notify_one();
    return rc;
}

int mq_push_if_empty(mq_t* q, const raft_msg_t* msg)
{
    {
        std::lock_guard lock(q->mutex);
        if (q->list.empty()) {
            try {
                q->list.push_back(*msg);
            } catch (const std::bad_alloc&) {
            }
        }
    }
    q->cond.notify_one();
    return 0;
}

int mq_pop(mq_t* q, raft_msg_t* out, uint32_t timeout_ms)
{
    std::unique_lock lock(q->mutex);
    while (q->list.empty()) {
        if (timeout_ms == 0) {
            q->cond.wait(lock);
            continue;
        }
        // A wake-up that finds nothing starts a full new time-out.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        if (q->cond.wait_until(lock, deadline) == std::cv_status::timeout && q->list.empty())
            return -1;
    }
    *out = q->list.front();
    q->list.pop_front();
    return 0;
}

}  // namespace raft
