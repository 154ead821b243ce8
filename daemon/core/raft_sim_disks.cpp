// The simulator's shared HA disks and the per-node paths to them. A path
// answers like a SCSI target with persistent reservations of type
// EXCLUSIVE_ACCESS: a command from an unregistered initiator, or one that asks
// for a reservation another initiator holds, is a reservation conflict
// (rejected); a lost path delivers nothing. Single-threaded.
#include "daemon/core/raft_sim_disks.hpp"

#include <algorithm>
#include <string>

namespace raft::sim {

using FreeBSD::reservation::resv;
using FreeBSD::reservation::resv_not_delivered;
using FreeBSD::reservation::resv_ok;
using FreeBSD::reservation::resv_rejected;

disk_world::disk_world(size_t disks, const int64_t* now, int64_t duel_window_ns)
    : disks_(disks), now_(now), duel_window_ns_(duel_window_ns)
{
}

void disk_world::cut_path(uint32_t node, size_t disk, int64_t until)
{
    int64_t& at = path_down_until_[{node, disk}];
    at = std::max(at, until);
}

bool disk_world::path_up(uint32_t node, size_t disk) const
{
    for (size_t d : {disk, all_disks}) {
        auto it = path_down_until_.find({node, d});
        if (it != path_down_until_.end() && *now_ < it->second)
            return false;
    }
    return true;
}

int64_t disk_world::busy_ns(uint32_t node) const
{
    auto it = busy_.find(node);
    return it == busy_.end() ? 0 : it->second;
}

void disk_world::in_parallel(uint32_t node, size_t n, const std::function<void(size_t)>& body)
{
    const int64_t start = busy_ns(node);
    int64_t longest = 0;
    for (size_t i = 0; i < n; ++i) {
        busy_[node] = start;
        body(i);
        longest = std::max(longest, busy_[node] - start);
    }
    busy_[node] = start + longest;
}

void disk_world::repair()
{
    path_down_until_.clear();
    refuse_next_.clear();
    slow_.clear();
}

bool disk_world::believes_quorum(uint32_t node) const
{
    auto it = belief_.find(node);
    if (it == belief_.end())
        return false;
    return static_cast<size_t>(std::count(it->second.begin(), it->second.end(), true)) >= quorum();
}

size_t disk_world::held_by(uint32_t node) const
{
    return static_cast<size_t>(
        std::count_if(disks_.begin(), disks_.end(), [node](const shared_disk& d) { return d.holder == node; }));
}

class disk_path : public resv {
public:
    disk_path(disk_world* w, uint32_t node, size_t disk)
        : resv("da" + std::to_string(disk)), w_(w), node_(node), disk_(disk)
    {
    }

    bool registrate(uint64_t key) override
    {
        if (!delivered())
            return false;
        d().keys[node_] = key;
        return true;
    }
    bool unregistrate(uint64_t key) override
    {
        if (!delivered())
            return false;
        auto it = d().keys.find(node_);
        if (it == d().keys.end())
            return true;
        if (it->second != key)
            return conflict();
        d().keys.erase(it);
        if (d().holder == node_)
            d().holder = 0;
        believe(false);
        return true;
    }
    bool release(uint64_t key) override
    {
        if (!delivered())
            return false;
        if (!registered_with(key))
            return conflict();
        if (d().holder == node_)
            d().holder = 0;
        believe(false);
        return true;
    }
    bool acquire(uint64_t key) override
    {
        if (!delivered())
            return false;
        if (!registered_with(key) || (d().holder != 0 && d().holder != node_))
            return conflict();
        d().holder = node_;
        believe(true);
        return true;
    }
    bool preempt(uint64_t own_key, uint64_t victim_key) override
    {
        if (!delivered())
            return false;
        if (!registered_with(own_key))
            return conflict();
        bool removed = false;
        bool victim_held = false;
        for (auto it = d().keys.begin(); it != d().keys.end();) {
            if (it->second == victim_key && it->first != node_) {
                victim_held = victim_held || d().holder == it->first;
                it = d().keys.erase(it);
                removed = true;
            } else {
                ++it;
            }
        }
        // No registration carries the victim's key: the target refuses.
        if (!removed)
            return conflict();
        if (victim_held)
            d().holder = node_;
        ++w_->preemptions;
        const int64_t now = *w_->now_;
        if (d().last_preemptor != 0 && d().last_preemptor != node_ && now - d().last_preempt_at <= w_->duel_window_ns_)
            ++w_->dueling;
        d().last_preemptor = node_;
        d().last_preempt_at = now;
        believe(d().holder == node_);
        return true;
    }
    bool is_registered(uint32_t node) override
    {
        uint64_t key = 0;
        return registered_key(node, key);
    }
    bool registered_key(uint32_t node, uint64_t& key) override
    {
        if (!delivered())
            return false;
        for (const auto& [initiator, k] : d().keys)
            if (FreeBSD::reservation::key_node(k) == node) {
                key = k;
                return true;
            }
        // A node that reads its own key gone knows it no longer holds the disk.
        if (node == node_)
            believe(false);
        return false;
    }
    bool holds(uint32_t node) override
    {
        if (!delivered())
            return false;
        const bool h = d().holder != 0 && d().keys.count(d().holder) != 0 &&
                       FreeBSD::reservation::key_node(d().keys.at(d().holder)) == node;
        if (node == node_)
            believe(h);
        return h;
    }

private:
    shared_disk& d() { return w_->disks_[disk_]; }
    // Every command passes here first: a slow disk answers late, a lost path
    // delivers nothing, a pending refusal is a reservation conflict.
    bool delivered()
    {
        error_kind_ = w_->path_up(node_, disk_) ? resv_ok : resv_not_delivered;
        if (error_kind_ == resv_ok) {
            // The command reaches the disk: it acts no sooner than the one before.
            int64_t& busy = w_->busy_[node_];
            const int64_t issued = *w_->now_ + busy;
            if (issued < d().last_acted_at)
                busy += d().last_acted_at - issued;
            else
                d().last_acted_at = issued;
        }
        auto slow = w_->slow_.find(node_);
        if (slow != w_->slow_.end() && *w_->now_ < slow->second.first)
            w_->busy_[node_] += slow->second.second;
        if (error_kind_ == resv_ok && w_->refuse_next_.erase({node_, disk_}) != 0)
            return conflict();
        return error_kind_ == resv_ok;
    }
    bool conflict()
    {
        error_kind_ = resv_rejected;
        return false;
    }
    bool registered_with(uint64_t key)
    {
        auto it = d().keys.find(node_);
        return it != d().keys.end() && it->second == key;
    }
    void believe(bool held)
    {
        auto& b = w_->belief_[node_];
        b.resize(w_->disks_.size(), false);
        b[disk_] = held;
    }

    disk_world* w_;
    uint32_t node_;
    size_t disk_;
};

std::unique_ptr<resv> disk_world::path(uint32_t node, size_t disk)
{
    return std::make_unique<disk_path>(this, node, disk);
}

}  // namespace raft::sim
