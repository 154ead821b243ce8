// A reservation device behind a flap guard: counts the wrapped device's outages
// and, once `threshold` of them fall within `window` nanoseconds, quarantines the
// disk for the rest of the process: every operation then answers false without
// touching the device, and usable() is false. An outage is a run of delivery
// failures (error kind 1) with no answer in between: it counts once, at its first
// failure, however many commands it failed (a leader's pass issues several per
// disk each second, so counting commands would make one lost second of a path a
// quarantine). Any answer, a rejection or a plain "no" included, ends an outage
// and never counts. The clock is injectable so tests run in milliseconds.
//
// Not safe for concurrent use; the guard does not own the wrapped device.
#pragma once

#include "reservation/resv.hpp"

#include <array>
#include <cstdint>
#include <functional>

namespace FreeBSD::reservation {

// The failure history of one disk, handed to the quarantine callback.
struct disk_health {
    uint32_t threshold = 1;     // 1 to 32
    int64_t window = 0;         // nanoseconds
    std::array<int64_t, 32> ring{};  // steady-clock ns of the latest failures; first `threshold` used
    uint32_t head = 0;
    uint32_t filled = 0;
    uint32_t total = 0;              // outages counted
    bool in_outage = false;          // the last command was not delivered
    bool quarantined = false;
};

class guarded_resv final : public resv {
public:
    using clock_fn = std::function<int64_t()>;
    using quarantine_fn = std::function<void(resv& device, const disk_health& health)>;

    // Threshold 0 becomes 1, above 32 becomes 32 (taken as 64 bits, so a large
    // configured value clamps instead of wrapping). A window above what an i64
    // holds is kept at the largest i64.
    guarded_resv(resv* device, uint64_t threshold, uint64_t window_ns, clock_fn clock,
                 quarantine_fn on_quarantine) noexcept;

    bool registrate(uint64_t key) override;
    bool unregistrate(uint64_t key) override;
    bool release(uint64_t key) override;
    bool acquire(uint64_t key) override;
    bool preempt(uint64_t own_key, uint64_t victim_key) override;
    bool is_registered(uint32_t node) override;
    bool holds(uint32_t node) override;
    bool registered_key(uint32_t node, uint64_t& key) override;
    uint32_t error_kind() const override;
    bool usable() const override;

    const disk_health& health() const { return health_; }
    // The wrapped device was opened anew (the old handle is gone): commands go to
    // `device` from now on; the failure history stays.
    void rewrap(resv* device) { device_ = device; }

    // The steady clock in nanoseconds, the production clock.
    static int64_t steady_now();

private:
    template <typename Op>
    bool guarded(Op op);
    void count_failure();

    resv* device_;
    disk_health health_;
    clock_fn clock_;
    quarantine_fn on_quarantine_;
};

}  // namespace FreeBSD::reservation
