// Emulated pool library, calls that change who holds a pool: import (host,
// multihost and double-import rules), dataset mounting and unmounting, export,
// each one locked read-modify-write of the shared state.
#include "platform/zfs_emul_calls.hpp"

namespace platform::zfs {

using namespace emulated;

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
    const bool stored = locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "import", name);
        entry["flags"] = flags;
        entry["cachefile"] = cachefile != nullptr ? json(cachefile) : json(nullptr);
        entry["newname"] = newname != nullptr ? json(newname) : json(nullptr);
        ops.push_back(entry);
        if (!state["pools"].contains(id) || state["pools"][id].value("destroyed", false))
            return set_error(hdl, EZFS_NOENT, "no such pool available for import"), true;
        json& pool = state["pools"][id];
        if (auto fault = take_fault(state, "import", name, hdl->host))
            return fault_error(hdl, *fault), true;
        if (pool["imported_by"].contains(hdl->host))
            return set_error(hdl, EZFS_ACTIVE_POOL, "a pool with that name is already imported"), true;
        if (host_fenced(state, hdl->host))
            return set_error(hdl, EZFS_IO, "cannot import: no access to the pool's devices"), true;
        uint64_t root = zfs_emul::root_state(pool);
        if (root == VDEV_STATE_CANT_OPEN || root == VDEV_STATE_FAULTED)
            return set_error(hdl, EZFS_BADDEV, "one or more devices is currently unavailable"), true;
        int doubles = 0;
        for (const auto& [holder, rec] : pool["imported_by"].items()) {
            (void)rec;
            const bool cut_off = host_fenced(state, holder);
            if (!(flags & ZFS_IMPORT_ANY_HOST))
                return set_error(hdl, EZFS_ACTIVE_POOL, "pool is imported on host '" + holder + "'"), true;
            if (pool.value("multihost", false) && !cut_off && host_alive(state, holder))
                return set_error(hdl, EZFS_ACTIVE_POOL,
                                 "pool is imported on host '" + holder + "' (multihost activity detected)"),
                       true;
            if (!cut_off)
                ++doubles;
        }
        if (doubles > 0)
            state["double_imports"] = state.value("double_imports", int64_t{0}) + doubles;
        pool["imported_by"][hdl->host] = json{{"import_only", (flags & ZFS_IMPORT_ONLY) != 0}};
        pool["cachefile"] = cachefile != nullptr ? json(cachefile) : json("");
        zfs_emul::make_zvol_nodes(pool, hdl->host);
        rc = 0;
        return true;
    });
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
    const bool stored = locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "disable_datasets", zhp->name);
        entry["force"] = force;
        ops.push_back(entry);
        json* pool = pool_for_change(state, zhp, "disable_datasets");
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
    const bool stored = locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "export", zhp->name);
        entry["force"] = force;
        entry["history"] = log_str != nullptr ? json(log_str) : json(nullptr);
        ops.push_back(entry);
        json* pool = pool_for_change(state, zhp, "export");
        if (pool == nullptr)
            return true;
        if (zvols_held(zhp->name))
            return set_error(hdl, EZFS_BUSY, "pool is busy"), true;
        zfs_emul::remove_zvol_nodes(*pool, hdl->host);
        (*pool)["imported_by"].erase(hdl->host);
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
