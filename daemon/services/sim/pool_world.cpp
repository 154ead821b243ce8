// The simulated pool world and Runners (see pool_world.hpp).
#include "daemon/services/sim/pool_world.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

namespace svc::sim {

using nlohmann::json;

namespace {

json failure(const std::string& code, const std::string& text) { return json{{"error", code}, {"errorMessage", text}}; }

std::string ids(const std::set<uint32_t>& s)
{
    std::string out;
    for (uint32_t h : s)
        out += (out.empty() ? "" : ",") + std::to_string(h);
    return "{" + out + "}";
}

}  // namespace

pool_world::pool_world(sim_clock& clock, uint64_t seed, std::vector<uint32_t> hosts, std::vector<service_def> services)
    : clock_(clock), services_(std::move(services)), latency_(seed), live_(std::getenv("KELM_SIM_LIVE") != nullptr)
{
    for (uint32_t h : hosts)
        hosts_[h];
}

bool pool_world::fenced_locked(uint32_t h) const
{
    bool any = false;
    for (const auto& [id, other] : hosts_) {
        if (id == h)
            continue;
        any = true;
        if (!other.fences.contains(h))
            return false;
    }
    return any;
}

const service_def* pool_world::find(const std::string& name) const
{
    for (const auto& s : services_)
        if (s.name == name)
            return &s;
    return nullptr;
}

json pool_world::runner_call(uint32_t h, const std::string& cmd, const json& args)
{
    using std::chrono::seconds;
    clock_.touch();
    std::chrono::steady_clock::duration takes{0};
    json early;
    {
        std::lock_guard lk(mutex_);
        auto& host = hosts_.at(h);
        // Each Runner call takes 0.2 to 3 s, drawn call by call, so that the
        // calls of different node objects overlap in different orders.
        if (cmd != "ping")
            takes = std::chrono::milliseconds(200 + latency_() % 2800);
        if (!host.up)
            early = failure("ETIMEDOUT", "connect timed out");
        else if (host.runner == runner_mode::down)
            early = failure("ERPC", "connection refused");
        else if (host.runner == runner_mode::hang) {
            takes = seconds(300);
            early = failure("ETIMEDOUT", "call timed out");
        } else if (host.runner == runner_mode::fail)
            early = failure("ERUNNER", "runner failed the call");
        else if (cmd == "fence-node") {
            takes += seconds(host.fence_delay_s);
            // Its turn on the fenced node's lock comes after the runs before it.
            auto& busy = host.fence_busy_until[args.value("node", 0u)];
            const auto now = clock_.now();
            const auto ends = std::max(busy, now) + takes;
            busy = ends;
            takes = ends - now;
        }
    }
    clock_.sleep_for(takes);
    std::lock_guard lk(mutex_);
    json reply = !early.is_null() ? early : !hosts_.at(h).up ? failure("ETIMEDOUT", "connection lost") : act(h, cmd, args);
    trace_locked(fmt::format("node {} Runner {} {} -> {}", h, cmd, args.dump(), reply.dump()));
    return reply;
}

json pool_world::act(uint32_t h, const std::string& cmd, const json& args)
{
    if (cmd == "ping")
        return json{{"response", "pong"}};
    if (cmd == "fence-node") {
        auto& host = hosts_.at(h);
        if (host.fence_fails)
            return failure("EFENCE", "FAILED phase=fence exit=1");
        const auto target = args.value("node", 0u);
        if (args.value("cmd", "") == "on")
            host.fences.insert(target);
        else
            host.fences.erase(target);
        return json{{"response", 0}};
    }
    if (cmd == "service") {
        const std::string name = args.value("serviceName", "");
        if (name == "$cluster-management" || name == "cluster-management")
            return json{{"response", 0}};
        const service_def* s = find(name);
        if (s == nullptr)
            return failure("EPOOLRUN", "FAILED phase=service exit=2 : service was not found in config");
        return service_action(h, args.value("cmd", ""), *s);
    }
    return failure("ENOSYS", "unknown call " + cmd);
}

bool pool_world::import(uint32_t h, const std::string& pool, std::string& why)
{
    if (fenced_locked(h)) {
        why = "no disk of the pool reachable";
        return false;
    }
    for (const auto& [id, other] : hosts_)
        if (id != h && other.up && other.pools.contains(pool) && !fenced_locked(id)) {
            why = "pool is imported on another host (" + std::to_string(id) + ")";
            return false;
        }
    hosts_.at(h).pools.insert(pool);
    return true;
}

json pool_world::service_action(uint32_t h, const std::string& action, const service_def& s)
{
    auto& host = hosts_.at(h);
    std::string why;
    if (action == "start") {
        for (const auto& p : s.pools) {
            // An import the host kept while fenced is suspended: its datasets do not mount.
            if (host.pools.contains(p) && fenced_locked(h))
                return failure("EPOOLRUN", "FAILED phase=pool-import pool=" + p + " exit=28 : datasets not mounted: pool I/O is suspended");
            if (!host.pools.contains(p) && !import(h, p, why))
                return failure("EPOOLRUN", "FAILED phase=pool-import pool=" + p + " exit=29 : " + why);
        }
        host.addresses.insert(s.address);
        return json{{"response", 0}};
    }
    if (action == "stop") {
        // Every stop hook runs first, and 099.notify publishes a pool-down event for
        // each pool, unless the host holds none of the pools and not the address.
        bool holds_any = host.addresses.contains(s.address);
        for (const auto& p : s.pools)
            holds_any = holds_any || host.pools.contains(p);
        for (const auto& p : s.pools)
            if (holds_any && !host.pools.contains(p))
                violation_locked("false-pool-event",
                                 fmt::format("node {} published pool-down of {} ({}) that it did not hold", h, p, s.name));
        for (const auto& p : s.pools) {
            if (!host.pools.contains(p))
                continue;
            if (fenced_locked(h)) {
                // A suspended pool: the host lost its storage and gives up the address.
                host.addresses.erase(s.address);
                return failure("EPOOLRUN", "FAILED phase=pool-export pool=" + p + " exit=30 : pool I/O is suspended");
            }
            host.pools.erase(p);
        }
        host.addresses.erase(s.address);
        return json{{"response", 0}};
    }
    if (action == "recovery")
        return json{{"response", 0}};  // import and export again: the pool world is as before
    return failure("EPOOLRUN", "FAILED phase=service exit=2 : unknown action " + action);
}

void pool_world::host_crash(uint32_t h)
{
    std::lock_guard lk(mutex_);
    auto& host = hosts_.at(h);
    host.up = false;
    host.pools.clear();
    host.addresses.clear();
    host.fence_busy_until.clear();  // its nodefence runs end with it
    trace_locked(fmt::format("host {} crashed (imports and addresses dropped)", h));
}

void pool_world::host_boot(uint32_t h)
{
    std::lock_guard lk(mutex_);
    hosts_.at(h).up = true;
    trace_locked(fmt::format("host {} booted", h));
}

void pool_world::set_runner(uint32_t h, runner_mode m)
{
    std::lock_guard lk(mutex_);
    hosts_.at(h).runner = m;
    static const char* names[] = {"up", "down", "hanging", "failing"};
    trace_locked(fmt::format("node {} Runner {}", h, names[static_cast<int>(m)]));
}

void pool_world::set_fencing(uint32_t h, int delay_s, bool fails)
{
    std::lock_guard lk(mutex_);
    hosts_.at(h).fence_delay_s = delay_s;
    hosts_.at(h).fence_fails = fails;
    trace_locked(fmt::format("node {} fencing: delay {} s{}", h, delay_s, fails ? ", failing" : ""));
}

void pool_world::check_step()
{
    std::lock_guard lk(mutex_);
    std::set<std::string> now_open;
    auto finding = [&](const std::string& kind, const std::string& text) {
        now_open.insert(text);
        if (!open_findings_.contains(text))
            violation_locked(kind, text);
    };
    for (const auto& s : services_) {
        for (const auto& p : s.pools) {
            std::set<uint32_t> writers;
            for (const auto& [id, host] : hosts_)
                if (host.pools.contains(p) && !fenced_locked(id))
                    writers.insert(id);
            if (writers.size() > 1)
                finding("second-writer", fmt::format("pool {} ({}) written by unfenced hosts {}", p, s.name, ids(writers)));
        }
        std::set<uint32_t> carriers;
        for (const auto& [id, host] : hosts_)
            if (host.up && host.addresses.contains(s.address) && !fenced_locked(id))
                carriers.insert(id);
        if (carriers.size() > 1)
            finding("second-address", fmt::format("address {} ({}) on unfenced hosts {}", s.address, s.name, ids(carriers)));
    }
    open_findings_ = std::move(now_open);
}

std::set<uint32_t> pool_world::holders(const std::string& pool)
{
    std::lock_guard lk(mutex_);
    std::set<uint32_t> out;
    for (const auto& [id, host] : hosts_)
        if (host.pools.contains(pool))
            out.insert(id);
    return out;
}

std::set<uint32_t> pool_world::carriers(const std::string& address)
{
    std::lock_guard lk(mutex_);
    std::set<uint32_t> out;
    for (const auto& [id, host] : hosts_)
        if (host.up && host.addresses.contains(address))
            out.insert(id);
    return out;
}

bool pool_world::carries(uint32_t h, const std::string& address) { return carriers(address).contains(h); }

bool pool_world::fenced(uint32_t h)
{
    std::lock_guard lk(mutex_);
    return fenced_locked(h);
}

bool pool_world::fences(uint32_t by, uint32_t h)
{
    std::lock_guard lk(mutex_);
    return hosts_.at(by).fences.contains(h);
}

bool pool_world::up(uint32_t h)
{
    std::lock_guard lk(mutex_);
    return hosts_.at(h).up;
}

void pool_world::trace(const std::string& line)
{
    std::lock_guard lk(mutex_);
    trace_locked(line);
}

void pool_world::violation(const std::string& kind, const std::string& text)
{
    std::lock_guard lk(mutex_);
    violation_locked(kind, text);
}

void pool_world::trace_locked(const std::string& line)
{
    trace_.push_back(fmt::format("{:9.3f} {}", clock_.seconds(), line));
    if (live_)
        std::cerr << trace_.back() << "\n";
}

void pool_world::violation_locked(const std::string& kind, const std::string& text)
{
    violations_.emplace_back(kind, fmt::format("t={:.3f} {}", clock_.seconds(), text));
    trace_locked("VIOLATION " + kind + ": " + text);
}

std::vector<std::string> pool_world::trace_lines()
{
    std::lock_guard lk(mutex_);
    return trace_;
}

std::vector<std::pair<std::string, std::string>> pool_world::violations()
{
    std::lock_guard lk(mutex_);
    return violations_;
}

}  // namespace svc::sim
