// Emulated pool library, calls that change who holds a pool: import (reach,
// label, multihost activity check and double-import rules), dataset mounting and
// unmounting, export, each one locked read-modify-write of the shared state; the
// activity check and a hanging unmount or export wait between two of them.
#include "platform/emulated/zfs_emul_calls.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace platform::zfs {

using namespace emulated;

namespace {

// The multihost activity check of one import: started under the lock, waited out
// without it, decided under it again.
struct activity_check {
    bool waiting = false;  // the first attempt asks for the wait
    bool done = false;     // the wait is over: decide
    int64_t since_ms = 0;
    int64_t window_ms = 0;
    uint64_t label_gen = 0;
    std::string seen_at_start;  // a holder whose writes were visible when it began
    std::vector<std::string> holders_at_start;
};

// The host other than `me` that the pool's labels name as its holder, if any.
std::string other_holder(const json& pool, const std::string& me)
{
    for (const auto& [holder, rec] : pool["imported_by"].items()) {
        (void)rec;
        if (holder != me)
            return holder;
    }
    const std::string active_on = pool.value("active_on", "");
    return active_on != me ? active_on : std::string();
}

bool went_quiet_since(const json& state, const std::string& host, int64_t since_ms)
{
    auto hosts = state.find("hosts");
    if (hosts == state.end() || !hosts->contains(host) || !(*hosts)[host].is_object())
        return false;
    return (*hosts)[host].value("quiet_since_ms", int64_t{-1}) > since_ms;
}

// Whom the importer saw write during its window: a holder visible at its start or
// end, one that went quiet meanwhile, or anybody who rewrote the labels.
std::string activity_seen(const json& state, const json& pool, const std::string& me, const activity_check& check)
{
    if (!check.seen_at_start.empty())
        return check.seen_at_start;
    std::vector<std::string> holders = check.holders_at_start;
    for (const auto& [holder, rec] : pool["imported_by"].items()) {
        (void)rec;
        if (holder == me)
            continue;
        holders.push_back(holder);
        if (zfs_emul::activity_visible(state, pool, holder, me))
            return holder;
    }
    for (const auto& holder : holders)
        if (went_quiet_since(state, holder, check.since_ms))
            return holder;
    if (pool.value("label_gen", uint64_t{0}) != check.label_gen) {
        const std::string other = other_holder(pool, me);
        return other.empty() ? std::string("another host") : other;
    }
    return "";
}

}  // namespace

int zpool_import_props(libzfs_handle_t* hdl, nvlist_t* config, const char* newname, nvlist_t* props, int flags)
{
    if (hdl == nullptr || config == nullptr)
        return -1;
    uint64_t guid = 0;
    const char* cname = nullptr;
    if (nvlist_lookup_uint64(config, "pool_guid", &guid) != 0 || nvlist_lookup_string(config, "name", &cname) != 0)
        return set_error(hdl, EZFS_INVALCONFIG, "invalid pool configuration");
    const std::string id = std::to_string(guid);
    const std::string name = cname;
    const char* cachefile = nullptr;
    if (props != nullptr)
        nvlist_lookup_string(props, zpool_prop_to_name(ZPOOL_PROP_CACHEFILE), &cachefile);
    int rc = -1;
    activity_check check;
    auto attempt = [&](json& state, std::vector<json>& ops) {
        if (!check.done) {
            json entry = op_entry(hdl, "import", name);
            entry["flags"] = flags;
            entry["cachefile"] = cachefile != nullptr ? json(cachefile) : json(nullptr);
            entry["newname"] = newname != nullptr ? json(newname) : json(nullptr);
            ops.push_back(entry);
        }
        if (!state["pools"].contains(id) || state["pools"][id].value("destroyed", false))
            return set_error(hdl, EZFS_NOENT, "no such pool available for import"), true;
        json& pool = state["pools"][id];
        if (!check.done)
            if (auto fault = take_fault(state, "import", name, hdl->host))
                return fault_error(hdl, *fault), true;
        if (pool["imported_by"].contains(hdl->host))
            return set_error(hdl, EZFS_ACTIVE_POOL, "a pool with that name is already imported"), true;
        if (zfs_emul::reaches_none(state, pool, hdl->host))
            return set_error(hdl, EZFS_IO, "cannot import: no access to the pool's devices"), true;
        uint64_t root = zfs_emul::root_state(zfs_emul::view_of(state, pool, hdl->host));
        if (root == VDEV_STATE_CANT_OPEN || root == VDEV_STATE_FAULTED)
            return set_error(hdl, EZFS_BADDEV, "one or more devices is currently unavailable"), true;
        const std::string other = other_holder(pool, hdl->host);
        if (!other.empty() && !(flags & ZFS_IMPORT_ANY_HOST)) {
            const bool held = pool["imported_by"].contains(other);
            return set_error(hdl, EZFS_ACTIVE_POOL,
                             (held ? "pool is imported on host '" : "pool was last in use on host '") + other + "'"),
                   true;
        }
        // Once watched, the decision stands on what the watch saw, even if the labels
        // name nobody any more (a holder that exported meanwhile rewrote them).
        if (pool.value("multihost", false) && (check.done || !other.empty())) {
            if (!check.done) {
                check.waiting = true;
                check.since_ms = zfs_emul::now_ms();
                check.window_ms =
                    std::max<int64_t>(0, state.value("activity_window_ms", zfs_emul::default_activity_window_ms));
                check.label_gen = pool.value("label_gen", uint64_t{0});
                for (const auto& [holder, rec] : pool["imported_by"].items()) {
                    (void)rec;
                    check.holders_at_start.push_back(holder);
                    if (check.seen_at_start.empty() && zfs_emul::activity_visible(state, pool, holder, hdl->host))
                        check.seen_at_start = holder;
                }
                json entry = op_entry(hdl, "activity-check", name);
                entry["window_ms"] = check.window_ms;
                ops.push_back(entry);
                return true;
            }
            const std::string seen = activity_seen(state, pool, hdl->host, check);
            if (!seen.empty())
                return set_error(hdl, EZFS_ACTIVE_POOL,
                                 "pool is imported on host '" + seen + "' (multihost activity detected)"),
                       true;
        }
        const json before = state;
        pool["imported_by"][hdl->host] = json{{"import_only", (flags & ZFS_IMPORT_ONLY) != 0},
                                              {"lost", zfs_emul::unreachable_leaves(state, pool, hdl->host)}};
        pool["active_on"] = hdl->host;
        pool["label_gen"] = pool.value("label_gen", uint64_t{0}) + 1;
        pool["cachefile"] = cachefile != nullptr ? json(cachefile) : json("");
        zfs_emul::make_zvol_nodes(pool, hdl->host);
        zfs_emul::settle(before, state, ops, "import");
        rc = 0;
        return true;
    };
    bool stored = locked(hdl, attempt);
    if (stored && check.waiting) {
        // The real library watches the labels for this long before it decides.
        std::this_thread::sleep_for(std::chrono::milliseconds(check.window_ms));
        check.waiting = false;
        check.done = true;
        stored = locked(hdl, attempt);
    }
    // A change that could not be stored did not happen.
    return stored ? rc : -1;
}

int zpool_enable_datasets(zpool_handle_t* zhp, const char* mntopts, int flags)
{
    if (zhp == nullptr)
        return -1;
    libzfs_handle_t* hdl = zhp->hdl;
    int rc = -1;
    const bool stored = locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "enable_datasets", zhp->name);
        entry["options"] = mntopts != nullptr ? json(mntopts) : json(nullptr);
        entry["flags"] = flags;
        ops.push_back(entry);
        json* pool = pool_for_change(state, zhp, "enable_datasets");
        if (pool == nullptr)
            return true;
        rc = 0;
        for (auto& ds : (*pool)["datasets"]) {
            if (ds.value("mounted", false))
                continue;
            if (ds.value("mount_fail", false)) {
                if (rc == 0)
                    set_error(hdl, EZFS_MOUNTFAILED, "cannot mount '" + ds.value("name", "") + "': I/O error");
                rc = -1;
                continue;
            }
            ds["mounted"] = true;
        }
        return true;
    });
    // A change that could not be stored did not happen.
    return stored ? rc : -1;
}

int zpool_disable_datasets(zpool_handle_t* zhp, boolean_t force)
{
    if (zhp == nullptr)
        return -1;
    libzfs_handle_t* hdl = zhp->hdl;
    int rc = -1;
    const bool stored = locked_blocking(hdl, "disable_datasets", zhp->name, [&](json& state, std::vector<json>& ops,
                                                                              call_block& block) {
        json entry = op_entry(hdl, "disable_datasets", zhp->name);
        entry["force"] = force;
        ops.push_back(entry);
        json* pool = pool_for_change(state, zhp, "disable_datasets", &block);
        if (pool == nullptr)
            return true;
        for (auto& ds : (*pool)["datasets"]) {
            if (ds.value("mounted", false) && ds.value("busy", false) && !force)
                return set_error(hdl, EZFS_UMOUNTFAILED,
                                 "cannot unmount '" + ds.value("name", "") + "': pool or dataset is busy"),
                       true;
        }
        for (auto& ds : (*pool)["datasets"])
            ds["mounted"] = false;
        rc = 0;
        return true;
    });
    // A change that could not be stored did not happen.
    return stored ? rc : -1;
}

int zpool_export(zpool_handle_t* zhp, boolean_t force, const char* log_str)
{
    if (zhp == nullptr)
        return -1;
    libzfs_handle_t* hdl = zhp->hdl;
    int rc = -1;
    const bool stored = locked_blocking(hdl, "export", zhp->name, [&](json& state, std::vector<json>& ops,
                                                                    call_block& block) {
        json entry = op_entry(hdl, "export", zhp->name);
        entry["force"] = force;
        entry["history"] = log_str != nullptr ? json(log_str) : json(nullptr);
        ops.push_back(entry);
        json* pool = pool_for_change(state, zhp, "export", &block);
        if (pool == nullptr)
            return true;
        if (zvols_held(zhp->name))
            return set_error(hdl, EZFS_BUSY, "pool is busy"), true;
        zfs_emul::remove_zvol_nodes(*pool, hdl->host);
        (*pool)["imported_by"].erase(hdl->host);
        // The labels say exported, unless another holder goes on writing them.
        (*pool)["active_on"] = other_holder(*pool, hdl->host);
        (*pool)["label_gen"] = pool->value("label_gen", uint64_t{0}) + 1;
        for (auto& ds : (*pool)["datasets"])
            ds["mounted"] = false;
        (*pool)["exports"].push_back(json{{"host", hdl->host}, {"force", force}, {"history", entry["history"]}});
        rc = 0;
        return true;
    });
    // A change that could not be stored did not happen.
    return stored ? rc : -1;
}

}  // namespace platform::zfs
