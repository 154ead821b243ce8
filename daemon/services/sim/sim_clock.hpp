// The service simulator's clock: virtual time that moves only when the driver
// moves it, and only once the service manager's threads have gone quiet. Every
// sleep of the service manager (and of the simulated Runners) waits here for
// its virtual deadline, so a 300 s Runner hang costs one jump, not 300 s.
//
// Quiet is judged by an activity counter that every clock read, sleep and
// simulated monitor call raises: when it stays still over a few real polls, the
// threads are all blocked (on this clock, on a condition variable, or in a
// short real timed wait) and the driver may jump to the next deadline. A thread
// preempted for longer than the polls looks quiet too; the run then sees one
// more schedule, never a wrong one, since the code must hold under any timing.
//
// Thread-safe: one mutex guards the time and the sleepers; waiters block on one
// condition variable, woken at every move of the time.
#pragma once

#include "daemon/services/svc_clock.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>

namespace svc::sim {

class sim_clock final : public svc_clock {
public:
    time_point now() override;
    void sleep_for(duration d) override;
    // Timed waits on real primitives (locks, futures) poll in short real slices.
    duration real(duration) override { return std::chrono::microseconds(200); }

    // Raised by everything a thread of the run does that the driver must see.
    void touch() { activity_.fetch_add(1, std::memory_order_relaxed); }
    // Returns once every sleeper woken by the last move has run on and the
    // activity counter stayed still over `polls` real polls.
    void wait_quiet(int polls = 3);
    // The activity counter (the driver compares it around a step).
    uint64_t activity() const { return activity_.load(); }
    // The earliest deadline of a sleeper, if any.
    std::optional<time_point> next_deadline();
    // Moves the time to `t` (never back) and wakes the sleepers that are due.
    void advance_to(time_point t);
    // From now on every sleep returns at once (the run's teardown).
    void drain();
    // Seconds of virtual time since the start of the run, and back.
    double seconds();
    double seconds_of(time_point t) const { return std::chrono::duration<double>(t - start_).count(); }
    time_point at(double s) const
    {
        return start_ + std::chrono::duration_cast<duration>(std::chrono::duration<double>(s));
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    time_point start_{std::chrono::hours(1)};
    time_point now_{start_};
    std::multiset<time_point> deadlines_;
    bool draining_ = false;
    std::atomic<uint64_t> activity_{0};
    std::atomic<int> waking_{0};  // sleepers made due by advance_to that have not run yet
};

}  // namespace svc::sim
