// The service simulator's virtual clock (see sim_clock.hpp).
#include "daemon/services/sim/sim_clock.hpp"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace svc::sim {

namespace {

// Whether a thread of this process other than the caller is runnable: on a CPU
// or waiting for one. A starved thread would otherwise look quiet.
bool other_thread_runnable()
{
    const long self = syscall(SYS_gettid);
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return false;
    bool runnable = false;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.' || std::atol(e->d_name) == self)
            continue;
        const std::string path = std::string("/proc/self/task/") + e->d_name + "/stat";
        char buf[512];
        FILE* f = std::fopen(path.c_str(), "r");
        if (f == nullptr)
            continue;
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = 0;
        const char* close = std::strrchr(buf, ')');  // the name may hold spaces
        if (close != nullptr && close[1] == ' ' && close[2] == 'R') {
            runnable = true;
            break;
        }
    }
    closedir(dir);
    return runnable;
}

}  // namespace

sim_clock::time_point sim_clock::now()
{
    touch();
    std::lock_guard lk(mutex_);
    return now_;
}

void sim_clock::sleep_for(duration d)
{
    touch();
    std::unique_lock lk(mutex_);
    if (draining_) {
        now_ += d;
        return;
    }
    const time_point until = now_ + d;
    auto it = deadlines_.insert(until);
    if (now_ < until) {
        cond_.wait(lk, [&] { return now_ >= until || draining_; });
        if (!draining_)
            --waking_;
    }
    deadlines_.erase(it);
    lk.unlock();
    touch();
}

void sim_clock::wait_quiet(int polls)
{
    while (waking_.load() > 0)
        std::this_thread::yield();
    uint64_t seen = activity_.load();
    for (int still = 0; still < polls;) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        const uint64_t now = activity_.load();
        still = now == seen && !other_thread_runnable() ? still + 1 : 0;
        seen = now;
    }
}

std::optional<sim_clock::time_point> sim_clock::next_deadline()
{
    std::lock_guard lk(mutex_);
    if (deadlines_.empty())
        return std::nullopt;
    return *deadlines_.begin();
}

void sim_clock::advance_to(time_point t)
{
    {
        std::lock_guard lk(mutex_);
        if (t > now_) {
            now_ = t;
            for (auto it = deadlines_.begin(); it != deadlines_.end() && *it <= now_; ++it)
                ++waking_;
        }
    }
    cond_.notify_all();
}

void sim_clock::drain()
{
    {
        std::lock_guard lk(mutex_);
        draining_ = true;
    }
    cond_.notify_all();
}

double sim_clock::seconds()
{
    std::lock_guard lk(mutex_);
    return std::chrono::duration<double>(now_ - start_).count();
}

}  // namespace svc::sim
