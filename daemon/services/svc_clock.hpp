// The one clock and sleeper of the service manager. Every wait of the service
// manager (1 s ticks and slices, the 2/8/10/20/100 s delays, hold-offs, timed
// lock attempts) goes through it, so tests run the real timings in milliseconds.
// The daemon uses steady_svc_clock(); a test picks another at construction time.
// Thread-safe: any thread may read and sleep on one clock at once.
#pragma once

#include <chrono>

namespace svc {

class svc_clock {
public:
    using duration = std::chrono::steady_clock::duration;
    using time_point = std::chrono::steady_clock::time_point;

    virtual ~svc_clock() = default;
    // Monotonic now, on this clock's own time line.
    virtual time_point now() = 0;
    // Blocks the calling thread for d of this clock's time.
    virtual void sleep_for(duration d) = 0;
    // The real time that a timed wait of d on this clock takes (timed mutexes,
    // future and condition-variable waits, which only take real durations).
    virtual duration real(duration d) = 0;
};

// The steady clock at real speed; lives for the whole process.
svc_clock& steady_svc_clock();

// Runs `factor` times faster than real time: a 100 s wait takes 100/factor s.
class scaled_clock final : public svc_clock {
public:
    explicit scaled_clock(unsigned factor);
    time_point now() override;
    void sleep_for(duration d) override;
    duration real(duration d) override;

private:
    unsigned factor_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace svc
