// The Raft node's sense of time and chance: an injectable monotonic clock, an
// injectable random source, and the restartable timer built on both. The node
// reads no other clock, so a simulator can drive it in simulated time.
#pragma once

#include <cstdint>

namespace raft {

// Monotonic time in nanoseconds from an arbitrary origin.
class raft_clock {
public:
    virtual ~raft_clock() = default;
    virtual int64_t now_ns() = 0;
};

// Uniform integers for the randomised election timer.
class random_source {
public:
    virtual ~random_source() = default;
    // A uniform integer in [1, range]; range is at least 1.
    virtual uint64_t draw(uint64_t range) = 0;
};

// The daemon's clock: std::chrono::steady_clock.
class steady_raft_clock : public raft_clock {
public:
    int64_t now_ns() override;
};

// The daemon's randomness: a fresh random device on "/dev/urandom" for every draw.
class urandom_source : public random_source {
public:
    uint64_t draw(uint64_t range) override;
};

// A timer that expires once strictly more than its time-out has passed since
// its last restart. A randomised timer draws a new time-out at each restart:
// base plus a uniform 1..range nanoseconds.
struct raft_timer_t {
    bool randomize = false;
    uint64_t base = 0;
    int64_t timeout = 0;
    uint64_t range = 0;
    int64_t start = 0;

    static raft_timer_t fixed(int64_t timeout_ns);
    static raft_timer_t randomised(uint64_t base_ns, uint64_t range_ns);

    void restart(raft_clock& clock, random_source& rnd);
    bool expired(raft_clock& clock) const;
};

inline constexpr int64_t MS = 1'000'000;
inline constexpr int64_t SEC = 1'000 * MS;

// The node's timing constants.
inline constexpr uint64_t ELECTION_BASE_NS = 5 * SEC;
inline constexpr uint64_t ELECTION_RANGE_NS = 1 * SEC;
inline constexpr int64_t HEARTBEAT_NS = 200 * MS;
inline constexpr int64_t LEADER_CONTACT_NS = 5 * SEC;
inline constexpr int64_t IN_FLIGHT_NS = 10 * MS;
inline constexpr int64_t LIVENESS_NS = 4 * SEC;

}  // namespace raft
