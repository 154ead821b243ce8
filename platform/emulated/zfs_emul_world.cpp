// The rules of the emulated pool world that every call and every administrative
// change share: which host reaches which leaf's disk, how a pool looks from one
// host, when a holder's pool is suspended, what a holder loses for good when a
// disk goes away under it, and when two hosts hold one pool writable (a double
// import). Pure functions on the state; callers hold the state lock.
#include "platform/zfs.hpp"
#include "platform/emulated/zfs_emul.hpp"

#include "platform/emulated/disk_emul.hpp"

#include <algorithm>
#include <chrono>
#include <set>

namespace platform::zfs_emul {

namespace {

using namespace platform::zfs;

bool host_flag(const json& state, const std::string& host, const char* flag, bool fallback)
{
    auto hosts = state.find("hosts");
    if (hosts == state.end() || !hosts->is_object())
        return fallback;
    auto rec = hosts->find(host);
    return (rec == hosts->end() || !rec->is_object()) ? fallback : rec->value(flag, fallback);
}

template <typename Fn>
void for_each_leaf(const json& vdevs, const Fn& fn)
{
    if (!vdevs.is_array())
        return;
    for (const auto& v : vdevs) {
        if (v.contains("children"))
            for_each_leaf(v["children"], fn);
        else
            fn(v);
    }
}

template <typename Fn>
void for_each_leaf_mut(json& vdevs, const Fn& fn)
{
    if (!vdevs.is_array())
        return;
    for (auto& v : vdevs) {
        if (v.contains("children"))
            for_each_leaf_mut(v["children"], fn);
        else
            fn(v);
    }
}

bool in_list(const json& list, const std::string& text)
{
    if (!list.is_array())
        return false;
    return std::any_of(list.begin(), list.end(), [&](const json& v) { return v.is_string() && v == text; });
}

const json* holder_record(const json& pool, const std::string& host)
{
    auto holders = pool.find("imported_by");
    if (holders == pool.end() || !holders->is_object())
        return nullptr;
    auto rec = holders->find(host);
    return rec == holders->end() ? nullptr : &*rec;
}

// Whether `host` writes to this leaf: it reaches the disk and has not lost it.
bool usable_by(const json& state, const json& pool, const std::string& host, const json& leaf)
{
    if (!reaches(state, host, leaf))
        return false;
    const json* rec = holder_record(pool, host);
    return rec == nullptr || !rec->is_object() || !in_list(rec->value("lost", json::array()), leaf.value("path", ""));
}

bool has_disk_leaf(const json& pool)
{
    bool any = false;
    for_each_leaf(pool.value("vdevs", json::array()), [&](const json& leaf) { any = any || leaf.contains("disk"); });
    return any;
}

std::vector<std::string> unfenced_holders(const json& state, const json& pool)
{
    std::vector<std::string> out;
    auto holders = pool.find("imported_by");
    if (holders == pool.end() || !holders->is_object())
        return out;
    for (const auto& [host, rec] : holders->items()) {
        (void)rec;
        if (!host_fenced(state, host))
            out.push_back(host);
    }
    return out;
}

// The holders that can write the pool: every unfenced holder; for a pool on shared
// reserved disks only those the reservations still let write to one of its leaves.
std::vector<std::string> pool_writers(const json& state, const json& pool)
{
    std::vector<std::string> out = unfenced_holders(state, pool);
    if (has_disk_leaf(pool))
        std::erase_if(out, [&](const std::string& host) { return suspended_for(state, pool, host); });
    return out;
}

}  // namespace

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool host_fenced(const json& state, const std::string& host)
{
    return host_flag(state, host, "fenced", false);
}

bool host_alive(const json& state, const std::string& host)
{
    return host_flag(state, host, "alive", true);
}

bool reaches(const json& state, const std::string& host, const json& leaf)
{
    // A leaf on a shared reserved disk: the disk's reservation decides who writes.
    auto disk = leaf.find("disk");
    if (disk != leaf.end() && disk->is_string() && !disk_emul::host_may_write(disk->get<std::string>(), host))
        return false;
    const std::string disk_host = leaf.value("host", "");
    if (!disk_host.empty() && disk_host == host)
        return true;  // its own disk: fencing never takes that away
    if (host_fenced(state, host))
        return false;
    if (disk_host.empty())
        return true;
    if (host_fenced(state, disk_host) || !host_alive(state, disk_host))
        return false;
    auto hosts = state.find("hosts");
    if (hosts != state.end() && hosts->is_object() && hosts->contains(host)) {
        const json& rec = (*hosts)[host];
        if (rec.is_object() && in_list(rec.value("cut_from", json::array()), disk_host))
            return false;
    }
    return true;
}

json view_of(const json& state, const json& pool, const std::string& host)
{
    json view = pool;
    const json* rec = holder_record(pool, host);
    const json lost = rec != nullptr && rec->is_object() ? rec->value("lost", json::array()) : json::array();
    for_each_leaf_mut(view["vdevs"], [&](json& leaf) {
        if (!reaches(state, host, leaf) || in_list(lost, leaf.value("path", "")))
            leaf["state"] = uint64_t{VDEV_STATE_CANT_OPEN};
    });
    return view;
}

bool suspended_for(const json& state, const json& pool, const std::string& host)
{
    bool any = false;
    bool usable = false;
    for_each_leaf(pool.value("vdevs", json::array()), [&](const json& leaf) {
        any = true;
        usable = usable || usable_by(state, pool, host, leaf);
    });
    return any && !usable;
}

bool reaches_none(const json& state, const json& pool, const std::string& host)
{
    bool any = false;
    bool reached = false;
    for_each_leaf(pool.value("vdevs", json::array()), [&](const json& leaf) {
        any = true;
        reached = reached || reaches(state, host, leaf);
    });
    return any && !reached;
}

json unreachable_leaves(const json& state, const json& pool, const std::string& host)
{
    json out = json::array();
    for_each_leaf(pool.value("vdevs", json::array()), [&](const json& leaf) {
        if (!reaches(state, host, leaf))
            out.push_back(leaf.value("path", ""));
    });
    return out;
}

bool activity_visible(const json& state, const json& pool, const std::string& holder, const std::string& importer)
{
    if (!host_alive(state, holder))
        return false;
    bool seen = false;
    for_each_leaf(pool.value("vdevs", json::array()), [&](const json& leaf) {
        seen = seen || (usable_by(state, pool, holder, leaf) && reaches(state, importer, leaf));
    });
    return seen;
}

void settle(const json& before, json& state, std::vector<json>& ops, const std::string& cause)
{
    for (auto& [id, pool] : state["pools"].items()) {
        if (!pool.is_object() || pool.value("destroyed", false))
            continue;
        const json* old_pool = nullptr;
        if (before.contains("pools") && before["pools"].contains(id))
            old_pool = &before["pools"][id];

        // Disks that went away under a holder: while the pool stays usable there the
        // holder carries on without them and does not take them back by itself; a
        // pool that lost them all is suspended and resumes with them when they return.
        for (auto& [holder, rec] : pool["imported_by"].items()) {
            const std::string host = holder;  // a lambda below names it (clang 14 cannot capture a binding)
            if (old_pool == nullptr || holder_record(*old_pool, host) == nullptr || !rec.is_object())
                continue;
            const bool was_suspended = suspended_for(before, *old_pool, host);
            const bool now_suspended = suspended_for(state, pool, host);
            if (!now_suspended) {
                json lost = rec.value("lost", json::array());
                for_each_leaf(pool["vdevs"], [&](const json& leaf) {
                    const std::string path = leaf.value("path", "");
                    if (reaches(before, host, leaf) && !reaches(state, host, leaf) && !in_list(lost, path))
                        lost.push_back(path);
                });
                rec["lost"] = lost;
            }
            if (now_suspended && !was_suspended)
                remove_zvol_nodes(pool, host);
            else if (!now_suspended && was_suspended)
                make_zvol_nodes(pool, host);
        }

        // Every host that has just become an unfenced holder next to another one.
        const std::vector<std::string> writers = pool_writers(state, pool);
        std::vector<std::string> old_writers =
            old_pool != nullptr ? pool_writers(before, *old_pool) : std::vector<std::string>{};
        if (has_disk_leaf(pool)) {
            // Reservations change outside this lock: the writers seen at the last
            // settle are the ones to compare with.
            if (old_pool != nullptr && old_pool->contains("writers"))
                old_writers = (*old_pool)["writers"].get<std::vector<std::string>>();
            pool["writers"] = writers;
        }
        for (const auto& host : writers) {
            if (std::find(old_writers.begin(), old_writers.end(), host) != old_writers.end())
                continue;
            json others = json::array();
            for (const auto& other : writers)
                if (other != host)
                    others.push_back(other);
            if (others.empty())
                continue;
            state["double_imports"] = state.value("double_imports", int64_t{0}) + static_cast<int64_t>(others.size());
            ops.push_back(json{{"host", host},
                               {"op", "double-import"},
                               {"pool", pool.value("name", "")},
                               {"with", others},
                               {"cause", cause}});
        }
    }
}

}  // namespace platform::zfs_emul
