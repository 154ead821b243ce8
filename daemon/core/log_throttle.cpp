// Warning throttle.
#include "daemon/core/log_throttle.hpp"

namespace raft {

bool log_throttle::allow(uint64_t* held_back)
{
    auto now = now_();
    if (written_ && now - last_ < interval_) {
        ++held_;
        return false;
    }
    written_ = true;
    last_ = now;
    *held_back = held_;
    held_ = 0;
    return true;
}

}  // namespace raft
