// The flap guard: what counts (one outage, not each failed command), the window
// over the last `threshold` outages, clamping, and a quarantine that happens once
// and stops all device I/O.
#include "reservation/guarded_resv.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace FreeBSD::reservation;

// A device whose next answers are scripted: every call returns `result` with `kind`.
class scripted : public resv {
public:
    scripted() : resv("da7") {}
    bool result = false;
    uint32_t kind = resv_not_delivered;
    int calls = 0;

    bool answer()
    {
        ++calls;
        error_kind_ = kind;
        return result;
    }
    bool registrate(uint64_t) override { return answer(); }
    bool unregistrate(uint64_t) override { return answer(); }
    bool release(uint64_t) override { return answer(); }
    bool acquire(uint64_t) override { return answer(); }
    bool preempt(uint64_t, uint64_t) override { return answer(); }
    bool is_registered(uint32_t) override { return answer(); }
    bool holds(uint32_t) override { return answer(); }
    bool registered_key(uint32_t, uint64_t&) override { return answer(); }
};

constexpr int64_t s = 1000000000;

struct guard_rig {
    scripted dev;
    int64_t now = 0;
    int quarantines = 0;
    disk_health seen;
    guarded_resv guard;
    guard_rig(uint64_t threshold, uint64_t window)
        : guard(&dev, threshold, window, [this] { return now; },
                [this](resv& d, const disk_health& h) {
                    EXPECT_EQ(&d, &dev);
                    ++quarantines;
                    seen = h;
                })
    {
    }
    // An outage at `t` seconds: an answered call, then a failing one.
    void fail_at(int64_t t)
    {
        now = t * s;
        answered();
        EXPECT_FALSE(guard.registrate(1));
    }
    void answered()
    {
        const bool r = dev.result;
        const uint32_t k = dev.kind;
        dev.result = true;
        dev.kind = resv_ok;
        (void)guard.holds(1);
        dev.result = r;
        dev.kind = k;
    }
};

TEST(guarded_resv, quarantines_when_threshold_failures_fall_within_the_window)
{
    guard_rig g(3, 600 * s);
    EXPECT_EQ(g.guard.name(), "da7");
    for (int64_t t : {0, 100, 700, 750})
        g.fail_at(t);
    EXPECT_TRUE(g.guard.usable()) << "700 - 0 and 750 - 100 exceed 600";
    g.fail_at(800);
    EXPECT_FALSE(g.guard.usable());
    EXPECT_EQ(g.quarantines, 1);
    EXPECT_EQ(g.seen.total, 5u);
    EXPECT_EQ(g.seen.threshold, 3u);
    EXPECT_TRUE(g.seen.quarantined);

    // For good: no device call, no second callback, every operation false.
    int calls = g.dev.calls;
    g.dev.result = true;
    g.dev.kind = resv_ok;
    EXPECT_FALSE(g.guard.registrate(1));
    EXPECT_FALSE(g.guard.unregistrate(1));
    EXPECT_FALSE(g.guard.release(1));
    EXPECT_FALSE(g.guard.acquire(1));
    EXPECT_FALSE(g.guard.preempt(1, 2));
    EXPECT_FALSE(g.guard.is_registered(1));
    EXPECT_FALSE(g.guard.holds(1));
    EXPECT_EQ(g.dev.calls, calls);
    EXPECT_EQ(g.quarantines, 1);
    EXPECT_EQ(g.guard.error_kind(), resv_not_delivered) << "the device's last kind";
}

TEST(guarded_resv, window_edges_and_clamping)
{
    struct {
        uint32_t threshold;
        int64_t window_s;
        std::vector<int64_t> failures;
        bool quarantined;
    } table[] = {
        {1, 0, {5}, true},                 // threshold 1: the first failure
        {0, 0, {5}, true},                 // 0 behaves as 1
        {2, 10, {0, 10}, true},            // exactly the window
        {2, 10, {0, 11}, false},
        {2, 10, {0, 11, 30}, false},
        {2, 10, {0, 11, 30, 35}, true},
        {50, 1000, std::vector<int64_t>(31, 1), false},  // 50 behaves as 32
        {50, 1000, std::vector<int64_t>(32, 1), true},
        {3, 0, {7, 7, 7}, true},           // window 0: three at the same instant
    };
    for (const auto& t : table) {
        guard_rig g(t.threshold, static_cast<uint64_t>(t.window_s) * s);
        for (int64_t f : t.failures)
            g.fail_at(f);
        EXPECT_EQ(!g.guard.usable(), t.quarantined) << t.threshold << " " << t.window_s;
        EXPECT_EQ(g.guard.health().threshold, t.threshold == 0 ? 1u : t.threshold > 32 ? 32u : t.threshold);
    }
    // A threshold beyond 32 bits clamps to 32 instead of wrapping to 0 (→ 1).
    guard_rig wide(uint64_t{1} << 32, 1000 * s);
    EXPECT_EQ(wide.guard.health().threshold, 32u);
    // The largest configurable window (9223372036 s) fits.
    guard_rig huge(2, uint64_t{9223372036} * s);
    huge.fail_at(0);
    huge.fail_at(9223372036);
    EXPECT_FALSE(huge.guard.usable());
}

// A path lost for a while fails every command of every pass: one outage. A
// rejection or a plain "no" between failures is an answer: the path was back.
TEST(guarded_resv, one_outage_counts_once_however_many_commands_it_fails)
{
    guard_rig g(3, 600 * s);
    for (int i = 0; i < 50; ++i) {
        g.now = i * s / 10;
        EXPECT_FALSE(g.guard.is_registered(1));
    }
    EXPECT_TRUE(g.guard.usable());
    EXPECT_EQ(g.guard.health().total, 1u);
    g.dev.kind = resv_rejected;
    EXPECT_FALSE(g.guard.preempt(1, 2));
    g.dev.kind = resv_not_delivered;
    EXPECT_FALSE(g.guard.holds(1));
    EXPECT_FALSE(g.guard.holds(1));
    EXPECT_EQ(g.guard.health().total, 2u);
    g.dev.kind = resv_ok;
    EXPECT_FALSE(g.guard.holds(1));
    g.dev.kind = resv_not_delivered;
    EXPECT_FALSE(g.guard.release(1));
    EXPECT_FALSE(g.guard.usable()) << "the third outage within 600 s";
    EXPECT_EQ(g.quarantines, 1);
}

TEST(guarded_resv, only_delivery_failures_count)
{
    guard_rig g(1, 600 * s);
    g.dev.kind = resv_rejected;
    for (int i = 0; i < 100; ++i)
        g.fail_at(i);
    g.dev.kind = resv_ok;  // a plain "no" from a query
    EXPECT_FALSE(g.guard.holds(1));
    EXPECT_TRUE(g.guard.usable());
    EXPECT_EQ(g.guard.health().total, 0u);
    EXPECT_EQ(g.guard.error_kind(), resv_ok);
    g.dev.result = true;
    EXPECT_TRUE(g.guard.holds(1));
    g.dev.result = false;
    g.dev.kind = resv_not_delivered;
    g.fail_at(200);
    EXPECT_FALSE(g.guard.usable());
    // No callback set is fine too.
    scripted dev;
    guarded_resv bare(&dev, 1, 0, [] { return int64_t{0}; }, nullptr);
    EXPECT_FALSE(bare.registrate(1));
    EXPECT_FALSE(bare.usable());
}

}  // namespace
