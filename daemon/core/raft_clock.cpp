// The daemon's clock and random source, and the Raft timer.
#include "daemon/core/raft_clock.hpp"

#include <chrono>
#include <random>

namespace raft {

int64_t steady_raft_clock::now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t urandom_source::draw(uint64_t range)
{
    std::random_device dev("/dev/urandom");
    std::uniform_int_distribution<uint64_t> dist(1, range);
    return dist(dev);
}

raft_timer_t raft_timer_t::fixed(int64_t timeout_ns)
{
    raft_timer_t t;
    t.timeout = timeout_ns;
    return t;
}

raft_timer_t raft_timer_t::randomised(uint64_t base_ns, uint64_t range_ns)
{
    raft_timer_t t;
    t.randomize = true;
    t.base = base_ns;
    t.range = range_ns;
    t.timeout = static_cast<int64_t>(base_ns + range_ns);
    return t;
}

void raft_timer_t::restart(raft_clock& clock, random_source& rnd)
{
    if (randomize)
        timeout = static_cast<int64_t>(base + rnd.draw(range));
    start = clock.now_ns();
}

bool raft_timer_t::expired(raft_clock& clock) const
{
    return clock.now_ns() - start > timeout;
}

}  // namespace raft
