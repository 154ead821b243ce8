// The flap guard over one reservation device (guarded_resv.hpp).
#include "reservation/guarded_resv.hpp"

#include <chrono>
#include <limits>

namespace FreeBSD::reservation {

guarded_resv::guarded_resv(resv* device, uint64_t threshold, uint64_t window_ns, clock_fn clock,
                           quarantine_fn on_quarantine) noexcept
    : resv(device != nullptr ? device->name() : std::string()),
      device_(device),
      clock_(std::move(clock)),
      on_quarantine_(std::move(on_quarantine))
{
    health_.threshold = threshold == 0 ? 1u : threshold > 32 ? 32u : static_cast<uint32_t>(threshold);
    constexpr auto max_window = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    health_.window = static_cast<int64_t>(window_ns > max_window ? max_window : window_ns);
}

int64_t guarded_resv::steady_now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

template <typename Op>
bool guarded_resv::guarded(Op op)
{
    if (health_.quarantined || device_ == nullptr)
        return false;
    const bool ok = op(*device_);
    const bool delivered = ok || device_->error_kind() != resv_not_delivered;
    if (!delivered && !health_.in_outage)
        count_failure();
    health_.in_outage = !delivered;
    return ok;
}

void guarded_resv::count_failure()
{
    disk_health& h = health_;
    int64_t now = clock_ ? clock_() : steady_now();
    ++h.total;
    h.ring[h.head] = now;
    h.head = (h.head + 1) % h.threshold;
    if (h.filled < h.threshold)
        ++h.filled;
    if (h.filled < h.threshold)
        return;
    // ring[head] now holds the oldest of the last `threshold` failure times.
    // Subtracting in unsigned keeps a clock that went backwards from overflowing.
    uint64_t span = static_cast<uint64_t>(now) - static_cast<uint64_t>(h.ring[h.head]);
    if (now >= h.ring[h.head] && span > static_cast<uint64_t>(h.window))
        return;
    h.quarantined = true;
    if (on_quarantine_)
        on_quarantine_(*device_, h);
}

bool guarded_resv::registrate(uint64_t key)
{
    return guarded([&](resv& d) { return d.registrate(key); });
}

bool guarded_resv::unregistrate(uint64_t key)
{
    return guarded([&](resv& d) { return d.unregistrate(key); });
}

bool guarded_resv::release(uint64_t key)
{
    return guarded([&](resv& d) { return d.release(key); });
}

bool guarded_resv::acquire(uint64_t key)
{
    return guarded([&](resv& d) { return d.acquire(key); });
}

bool guarded_resv::preempt(uint64_t own_key, uint64_t victim_key)
{
    return guarded([&](resv& d) { return d.preempt(own_key, victim_key); });
}

bool guarded_resv::is_registered(uint32_t node)
{
    return guarded([&](resv& d) { return d.is_registered(node); });
}

bool guarded_resv::holds(uint32_t node)
{
    return guarded([&](resv& d) { return d.holds(node); });
}

bool guarded_resv::registered_key(uint32_t node, uint64_t& key)
{
    return guarded([&](resv& d) { return d.registered_key(node, key); });
}

uint32_t guarded_resv::error_kind() const
{
    return device_ != nullptr ? device_->error_kind() : resv_not_delivered;
}

bool guarded_resv::usable() const
{
    return !health_.quarantined;
}

}  // namespace FreeBSD::reservation
