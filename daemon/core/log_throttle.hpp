// When a repeated warning may be written: a time-based throttle for warnings that a
// stranger can trigger at will (dropped datagrams), and a gate that lets through the
// first failure of an unbroken run (failed sends). Each object serves one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace raft {

class log_throttle {
public:
    using clock = std::chrono::steady_clock;
    using now_fn = std::function<clock::time_point()>;

    explicit log_throttle(clock::duration interval, now_fn now = [] { return clock::now(); })
        : interval_(interval), now_(std::move(now))
    {
    }

    // True when a line may be written now (the first one always may); `held_back`
    // then holds how many lines were suppressed since the last one written.
    bool allow(uint64_t* held_back);

private:
    clock::duration interval_;
    now_fn now_;
    bool written_ = false;
    clock::time_point last_{};
    uint64_t held_ = 0;
};

class failure_run {
public:
    // True for the first failure after a success (or the first failure ever).
    bool on_failure()
    {
        bool first = !failing_;
        failing_ = true;
        return first;
    }
    void on_success() { failing_ = false; }

private:
    bool failing_ = false;
};

}  // namespace raft
