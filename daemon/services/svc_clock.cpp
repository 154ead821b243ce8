// The service manager's clocks: the daemon's steady clock and the scaled one.
#include "daemon/services/svc_clock.hpp"

#include <thread>

namespace svc {

namespace {

class steady_clock_impl final : public svc_clock {
public:
    time_point now() override { return std::chrono::steady_clock::now(); }
    void sleep_for(duration d) override { std::this_thread::sleep_for(d); }
    duration real(duration d) override { return d; }
};

}  // namespace

svc_clock& steady_svc_clock()
{
    // Never destroyed: detached threads sleep on it until the process ends.
    static svc_clock* c = new steady_clock_impl();
    return *c;
}

scaled_clock::scaled_clock(unsigned factor) : factor_(factor == 0 ? 1 : factor), start_(std::chrono::steady_clock::now())
{
}

scaled_clock::time_point scaled_clock::now()
{
    return start_ + (std::chrono::steady_clock::now() - start_) * factor_;
}

void scaled_clock::sleep_for(duration d) { std::this_thread::sleep_for(real(d)); }

scaled_clock::duration scaled_clock::real(duration d) { return d / factor_; }

}  // namespace svc
