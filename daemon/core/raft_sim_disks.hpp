// The simulator's shared HA disks: SCSI-like persistent reservations held in
// memory (registrations per initiator, one EXCLUSIVE_ACCESS holder), one path
// object per node and disk that the node's HA endpoint drives, disk faults (a
// lost path to one disk or all, one command refused, commands answered late),
// and what each endpoint last learnt from its own commands (what it believes it
// holds). Counts pre-emptions and pre-emptions that answer the other node's.
// Single-threaded, like the simulator.
#pragma once

#include "reservation/resv.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace raft::sim {

struct shared_disk {
    std::map<uint32_t, uint64_t> keys;  // initiator (node id) -> registered key
    uint32_t holder = 0;                // initiator holding the reservation; 0: none
    uint32_t last_preemptor = 0;
    int64_t last_preempt_at = 0;
    // When the last command acted, on the clock of the voter that issued it: a
    // disk carries out one command after the other, so a later one acts no
    // sooner (a voter whose step is long issues its last commands seconds
    // ahead of the simulated time at which the step runs).
    int64_t last_acted_at = 0;
};

class disk_world {
public:
    disk_world(size_t disks, const int64_t* now, int64_t duel_window_ns);

    // A node's path to one disk; the world outlives it.
    std::unique_ptr<FreeBSD::reservation::resv> path(uint32_t node, size_t disk);

    // Commands of `node` to `disk` (every disk when `disk` is all_disks) are not
    // delivered (a lost path) until `until`.
    static constexpr size_t all_disks = SIZE_MAX;
    void cut_path(uint32_t node, size_t disk, int64_t until);
    bool path_up(uint32_t node, size_t disk) const;
    // The next command of `node` to `disk` is refused (a reservation conflict).
    void refuse_next(uint32_t node, size_t disk) { refuse_next_.insert({node, disk}); }
    // Until `until` each command of `node` is answered `delay` late. The command
    // acts on the disk when issued (or once the disk's previous command has
    // acted, if that was later on its voter's clock); the answer, and whatever
    // the voter does next, waits: the time a step spent waiting adds up in busy_ns().
    void slow_down(uint32_t node, int64_t until, int64_t delay) { slow_[node] = {until, delay}; }
    int64_t busy_ns(uint32_t node) const;
    // Runs body(i) for every disk i below n as the daemon does, one thread per
    // disk: each body's clock starts where the pass began, and the pass costs
    // `node` the wait of its slowest disk.
    void in_parallel(uint32_t node, size_t n, const std::function<void(size_t)>& body);
    void clear_busy(uint32_t node) { busy_.erase(node); }
    // Every path up, no refusal pending, no disk slow (the heal).
    void repair();

    // The disks on which `node`'s own commands last showed it holding the
    // reservation reach a quorum.
    bool believes_quorum(uint32_t node) const;
    // The disks on which `node` truly holds the reservation.
    size_t held_by(uint32_t node) const;
    size_t quorum() const { return disks_.size() / 2 + 1; }
    // A node that crashed forgets what it believed; the disks keep their state.
    void forget(uint32_t node) { belief_.erase(node); }

    uint64_t preemptions = 0;
    uint64_t dueling = 0;  // pre-emptions within the window of the other node's last one

private:
    friend class disk_path;
    std::vector<shared_disk> disks_;
    const int64_t* now_;
    int64_t duel_window_ns_;
    // (node, disk) -> path down until; disk all_disks: every path of the node.
    std::map<std::pair<uint32_t, size_t>, int64_t> path_down_until_;
    std::set<std::pair<uint32_t, size_t>> refuse_next_;
    std::map<uint32_t, std::pair<int64_t, int64_t>> slow_;  // node -> (until, delay)
    std::map<uint32_t, int64_t> busy_;
    std::map<uint32_t, std::vector<bool>> belief_;
};

}  // namespace raft::sim
