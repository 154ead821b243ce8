// The simulated hosts of a service simulator run: per host its pool imports, its
// service addresses, its Runner (up, down, hanging, failing, slow fencing) and
// who fences whom; the Runner's actions as poolrun and nodefence carry them out;
// the safety checks of the pool world; the run's trace and its violations.
//
// Pool rules (as strict as the emulated platform): host T is fenced when every
// other host has fenced it (its target port and session to T off); a pool is
// written by every host that imports it and is not fenced; an import fails while
// another unfenced live host imports the pool (multihost activity) or when the
// importer is fenced; an export fails while the pool is suspended (its host is
// fenced), and that failed stop still removes the service's address; a host
// crash drops its imports and addresses; a stop runs every stop hook (publishing
// a pool-down event) before it looks at the pools, unless the host holds none of
// the service's pools and not its address: then it runs none.
//
// Thread-safe: one mutex guards everything; it is never held while a call
// sleeps on the clock.
//
// A fence-node call's time (its slow fencing included) is spent holding the
// fenced node's lock on that host: a later call for the same node waits for it.
// Not modelled: a call that reaches nodefence only after a later one for the
// same node has finished (a Runner stopped with the request in hand); that late
// call would still act.
#pragma once

#include "daemon/services/sim/sim_clock.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace svc::sim {

struct service_def {
    std::string name;
    std::vector<std::string> pools;
    std::string address;
};

enum class runner_mode { up, down, hang, fail };

struct host_state {
    bool up = true;  // false between a host crash and its reboot
    std::set<std::string> pools;
    std::set<std::string> addresses;
    runner_mode runner = runner_mode::up;
    int fence_delay_s = 0;     // extra time every fence-node call takes
    bool fence_fails = false;  // fence-node calls answer an error
    std::set<uint32_t> fences; // hosts whose port and session this host turned off
    // Per fenced node: when the fence-node run now holding its lock ends. Runs
    // for one node take their turn, as nodefence's lock makes them do.
    std::map<uint32_t, sim_clock::time_point> fence_busy_until;
};

class pool_world {
public:
    pool_world(sim_clock& clock, uint64_t seed, std::vector<uint32_t> hosts, std::vector<service_def> services);

    // A Runner call on host `h` as the Runner carries it out: sleeps the call's
    // time on the clock, then acts under the lock. Never throws.
    nlohmann::json runner_call(uint32_t h, const std::string& cmd, const nlohmann::json& args);

    // Faults and repairs of the host (not of its daemon).
    void host_crash(uint32_t h);
    void host_boot(uint32_t h);
    void set_runner(uint32_t h, runner_mode m);
    void set_fencing(uint32_t h, int delay_s, bool fails);

    // Checks after every step: two unfenced writers of a pool, an address on two
    // unfenced live hosts. Each finding is recorded once per episode.
    void check_step();

    // For the quiet-point checks.
    std::set<uint32_t> holders(const std::string& pool);
    bool carries(uint32_t h, const std::string& address);
    std::set<uint32_t> carriers(const std::string& address);
    bool fenced(uint32_t h);
    bool fences(uint32_t by, uint32_t h);  // host `by` turned off its port and session to h
    bool up(uint32_t h);

    void trace(const std::string& line);
    void violation(const std::string& kind, const std::string& text);
    std::vector<std::string> trace_lines();
    std::vector<std::pair<std::string, std::string>> violations();

private:
    // mutex_ held.
    bool fenced_locked(uint32_t h) const;
    const service_def* find(const std::string& name) const;
    nlohmann::json act(uint32_t h, const std::string& cmd, const nlohmann::json& args);
    nlohmann::json service_action(uint32_t h, const std::string& action, const service_def& s);
    bool import(uint32_t h, const std::string& pool, std::string& why);
    void trace_locked(const std::string& line);
    void violation_locked(const std::string& kind, const std::string& text);

    sim_clock& clock_;
    std::mutex mutex_;
    std::map<uint32_t, host_state> hosts_;
    std::vector<service_def> services_;
    std::mt19937_64 latency_;
    std::set<std::string> open_findings_;  // step findings still true (reported once)
    std::vector<std::string> trace_;
    bool live_;  // KELM_SIM_LIVE set: every trace line goes to stderr as it happens
    std::vector<std::pair<std::string, std::string>> violations_;
};

}  // namespace svc::sim
