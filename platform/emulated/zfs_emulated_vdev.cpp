// Emulated pool library, vdev calls: naming, onlining (by the leaf's script and
// whether this host reaches its disk), statistics refresh, status and clear with
// its rewind policy, each one locked read-modify-write of the shared state.
#include "platform/emulated/zfs_emul_calls.hpp"

namespace platform::zfs {

using namespace emulated;

std::string zpool_vdev_name(libzfs_handle_t* /*hdl*/, zpool_handle_t* /*zhp*/, nvlist_t* nv, int /*name_flags*/)
{
    const char* path = nullptr;
    if (nvlist_lookup_string(nv, ZPOOL_CONFIG_PATH, &path) != 0)
        return "";
    return leaf_name(path);
}

int zpool_vdev_online(zpool_handle_t* zhp, const char* path, int flags, vdev_state_t* newstate)
{
    if (zhp == nullptr || path == nullptr)
        return -1;
    libzfs_handle_t* hdl = zhp->hdl;
    int rc = -1;
    vdev_state_t reported = VDEV_STATE_UNKNOWN;
    const bool stored = locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "online", zhp->name);
        entry["leaf"] = path;
        entry["flags"] = flags;
        json* pool = pool_for_change(state, zhp, "online");
        if (pool == nullptr) {
            // the failure is on the handle
        } else if (json* leaf = find_leaf((*pool)["vdevs"], path); leaf == nullptr) {
            set_error(hdl, EZFS_BADDEV, std::string("no such device in pool: ") + path);
        } else {
            std::string outcome = "ok";
            // Looked up, not indexed: indexing would store a null script, which
            // the next read of the state refuses.
            auto script_it = leaf->find("online_script");
            if (script_it != leaf->end() && script_it->is_array() && !script_it->empty()) {
                outcome = (*script_it)[0].is_string() ? (*script_it)[0].get<std::string>() : "error";
                script_it->erase(0);
            }
            // The real library answers success for a disk it cannot reach; the
            // device just stays unavailable.
            if (outcome == "ok" && !zfs_emul::reaches(state, hdl->host, *leaf))
                outcome = "unavail";
            vdev_state_t now = VDEV_STATE_UNKNOWN;
            if (outcome == "ok")
                now = VDEV_STATE_HEALTHY;
            else if (outcome == "faulted")
                now = VDEV_STATE_FAULTED;
            else if (outcome == "unavail")
                now = VDEV_STATE_CANT_OPEN;
            if (now == VDEV_STATE_UNKNOWN) {
                set_error(hdl, EZFS_BADDEV, std::string("cannot online ") + path + ": cannot open device");
            } else {
                if (now != VDEV_STATE_CANT_OPEN) {
                    // The holder opened the device again: it is no longer lost here.
                    (*leaf)["state"] = uint64_t{now};
                    json& lost = (*pool)["imported_by"][hdl->host]["lost"];
                    json kept = json::array();
                    for (const auto& p : lost.is_array() ? lost : json::array())
                        if (p != leaf->value("path", ""))
                            kept.push_back(p);
                    lost = kept;
                }
                reported = now;
                rc = 0;
            }
        }
        entry["result"] = rc == 0 ? json(zpool_state_to_name(reported, VDEV_AUX_NONE)) : json("error");
        ops.push_back(entry);
        return true;
    });
    // A change that could not be stored did not happen.
    if (!stored)
        return -1;
    if (rc == 0 && newstate != nullptr)
        *newstate = reported;
    return rc;
}

int zpool_refresh_stats(zpool_handle_t* zhp, boolean_t* missing)
{
    if (zhp == nullptr)
        return -1;
    libzfs_handle_t* hdl = zhp->hdl;
    int rc = -1;
    const bool stored = locked(hdl, [&](json& state, std::vector<json>& ops) {
        ops.push_back(op_entry(hdl, "refresh", zhp->name));
        if (auto fault = take_fault(state, "refresh", zhp->name, hdl->host)) {
            fault_error(hdl, *fault);
            return true;
        }
        json* pool = my_pool(state, zhp->id, hdl->host);
        if (missing != nullptr)
            *missing = (pool == nullptr);
        if (pool != nullptr) {
            zhp->config = nvlist_ptr(view_config(state, zhp->id, *pool, hdl->host, POOL_STATE_ACTIVE, "").release());
            zhp->state = reported_state(state, *pool, hdl->host);
            rc = 0;
        } else {
            set_error(hdl, EZFS_NOENT, "no such pool");
        }
        return true;
    });
    // A change that could not be stored did not happen.
    return stored ? rc : -1;
}

zpool_status_t zpool_get_status(zpool_handle_t* zhp, const char** msgid)
{
    if (msgid != nullptr)
        *msgid = nullptr;
    if (zhp == nullptr)
        return ZPOOL_STATUS_OK;
    int status = ZPOOL_STATUS_OK;
    locked(zhp->hdl, [&](json& state, std::vector<json>&) {
        if (json* pool = my_pool(state, zhp->id, zhp->hdl->host))
            status = zfs_emul::suspended_for(state, *pool, zhp->hdl->host) ? int{ZPOOL_STATUS_IO_FAILURE_WAIT}
                                                                            : pool->value("status", int{ZPOOL_STATUS_OK});
        return false;
    });
    return static_cast<zpool_status_t>(status);
}

int zpool_clear(zpool_handle_t* zhp, const char* path, nvlist_t* rewindnvl)
{
    if (zhp == nullptr)
        return -1;
    libzfs_handle_t* hdl = zhp->hdl;
    uint32_t policy = 0;
    bool has_policy = rewindnvl != nullptr && nvlist_lookup_uint32(rewindnvl, ZPOOL_LOAD_REWIND_POLICY, &policy) == 0;
    int rc = -1;
    const bool stored = locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "clear", zhp->name);
        entry["device"] = path != nullptr ? json(path) : json(nullptr);
        entry["policy"] = has_policy ? json(policy) : json(nullptr);
        ops.push_back(entry);
        json* pool = my_pool(state, zhp->id, hdl->host);
        if (pool == nullptr) {
            set_error(hdl, EZFS_NOENT, "no such pool");
        } else if (auto fault = take_fault(state, "clear", zhp->name, hdl->host)) {
            fault_error(hdl, *fault);
        } else {
            (*pool)["rewind_policy"] = has_policy ? json(policy) : json(nullptr);
            (*pool)["status"] = int{ZPOOL_STATUS_OK};
            rc = 0;
        }
        return true;
    });
    // A change that could not be stored did not happen.
    return stored ? rc : -1;
}

}  // namespace platform::zfs
