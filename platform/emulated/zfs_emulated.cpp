// Emulated pool library, library handle and lookups: each call is one locked
// read of the shared pool state (zfs_emul_state.cpp) as seen from this host.
// Handles are plain process memory; nothing outlives the state file but what a
// handle copied at open.
#include "platform/emulated/zfs_emul_calls.hpp"
#include "platform/process.hpp"

#include <cerrno>
#include <new>

namespace platform::zfs {

using namespace emulated;
using platform::zfs_emul::with_state;

struct pool_config_ops_t {
    const char* name;
};
const pool_config_ops_t libzfs_config_ops{"libzfs"};

libzfs_handle_t* libzfs_init()
{
    if (zfs_emul::state_dir().empty()) {
        errno = ENOENT;
        return nullptr;
    }
    auto* hdl = new (std::nothrow) libzfs_handle_t();
    if (hdl == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    // The emulated pools are seen per host: without a host name there is no view.
    auto host = platform::read_hostname();
    if (!host) {
        const int saved = errno;
        delete hdl;
        errno = saved;
        return nullptr;
    }
    hdl->host = *host;
    std::optional<json> fault;
    std::string err;
    bool ok = with_state(
        [&](json& state, std::vector<json>&) {
            fault = take_fault(state, "init", "", hdl->host);
            return fault.has_value();
        },
        &err);
    if (!ok || fault) {
        delete hdl;
        errno = ok ? fault->value("errno", EIO) : EIO;
        return nullptr;
    }
    return hdl;
}

void libzfs_fini(libzfs_handle_t* hdl)
{
    delete hdl;
}

const char* libzfs_error_init(int error)
{
    switch (error) {
    case ENOENT: return "The pool kernel support is not loaded.";
    case EACCES: return "Permission denied: the pool control device needs privileges.";
    case ENOMEM: return "Out of memory while starting the pool library.";
    case EIO: return "Failed to initialize the pool library: input/output error.";
    default: return "Failed to initialize the pool library.";
    }
}

const char* libzfs_error_description(libzfs_handle_t* hdl)
{
    return hdl == nullptr ? "no library handle" : hdl->description.c_str();
}

int libzfs_errno(libzfs_handle_t* hdl)
{
    return hdl == nullptr ? EZFS_UNKNOWN : hdl->error;
}

nvlist_t* zpool_search_import(libpc_handle_t* pc, importargs_t* args)
{
    if (pc == nullptr || pc->lpc_lib_handle == nullptr || args == nullptr)
        return nullptr;
    libzfs_handle_t* hdl = pc->lpc_lib_handle;
    const std::string filter = args->poolname != nullptr ? args->poolname : "";
    std::string dir_kind = "default";
    std::vector<std::string> dirs;
    for (int i = 0; i < args->paths; ++i)
        dirs.emplace_back(args->path[i]);
    if (args->paths > 0)
        dir_kind = (dirs.size() == 1 && dirs[0] == "/dev/diskid") ? "diskid" : "default";

    nvlist_t* result = nullptr;
    const bool stored = locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "search", filter);
        entry["dirs"] = dirs;
        ops.push_back(entry);
        // A shaped fault breaks the first matching configuration below.
        std::string shape;
        if (auto fault = take_fault(state, "search", filter, hdl->host)) {
            shape = fault->value("shape", "");
            if (shape.empty()) {
                fault_error(hdl, *fault);
                return true;
            }
        }
        auto list = std::make_unique<nvlist_t>();
        for (auto& [id, pool] : state["pools"].items()) {
            const std::string name = pool.value("name", "");
            if (!filter.empty() && name != filter)
                continue;
            if (pool["imported_by"].contains(hdl->host) && !pool.value("destroyed", false))
                continue;
            if (!pool.value("visible", json::object()).value(dir_kind, false))
                continue;
            // No label of it can be read from here.
            if (zfs_emul::reaches_none(state, pool, hdl->host))
                continue;
            if (shape == "not_nvlist") {
                list->add(name, uint64_t{0});
            } else {
                uint64_t pool_state = pool.value("destroyed", false) ? uint64_t{POOL_STATE_DESTROYED}
                                      : pool["imported_by"].empty() ? uint64_t{POOL_STATE_EXPORTED}
                                                                    : uint64_t{POOL_STATE_ACTIVE};
                list->add(name, view_config(state, id, pool, hdl->host, pool_state, shape));
            }
            shape.clear();
        }
        if (!list->pairs.empty())
            result = list.release();
        return true;
    });
    // A search whose log entry (or consumed fault) could not be stored failed.
    if (!stored) {
        nvlist_free(result);
        return nullptr;
    }
    return result;
}

zpool_handle_t* zpool_open_canfail(libzfs_handle_t* hdl, const char* name)
{
    if (hdl == nullptr || name == nullptr)
        return nullptr;
    std::unique_ptr<zpool_handle_t> zhp;
    const bool stored = locked(hdl, [&](json& state, std::vector<json>&) {
        std::string shape;
        if (auto fault = take_fault(state, "open", name, hdl->host)) {
            shape = fault->value("shape", "");
            if (shape.empty()) {
                fault_error(hdl, *fault);
                return true;
            }
        }
        for (auto& [id, pool] : state["pools"].items()) {
            if (pool.value("name", "") != name || my_pool(state, id, hdl->host) == nullptr)
                continue;
            zhp = std::make_unique<zpool_handle_t>();
            zhp->hdl = hdl;
            zhp->id = id;
            zhp->name = name;
            zhp->state = reported_state(state, pool, hdl->host);
            zhp->config = nvlist_ptr(view_config(state, id, pool, hdl->host, POOL_STATE_ACTIVE, shape).release());
            return shape.empty() ? false : true;
        }
        set_error(hdl, EZFS_NOENT, "no such pool");
        return !shape.empty();
    });
    if (!stored)
        return nullptr;
    return zhp.release();
}

void zpool_close(zpool_handle_t* zhp)
{
    delete zhp;
}

nvlist_t* zpool_get_config(zpool_handle_t* zhp, nvlist_t** oldconfig)
{
    if (oldconfig != nullptr)
        *oldconfig = nullptr;
    return zhp == nullptr ? nullptr : zhp->config.get();
}

int zpool_get_state(zpool_handle_t* zhp)
{
    return zhp == nullptr ? static_cast<int>(POOL_STATE_UNAVAIL) : zhp->state;
}

const char* zpool_get_name(zpool_handle_t* zhp)
{
    return zhp == nullptr ? "" : zhp->name.c_str();
}

const char* zpool_state_to_name(vdev_state_t state, vdev_aux_t /*aux*/)
{
    switch (state) {
    case VDEV_STATE_HEALTHY: return "ONLINE";
    case VDEV_STATE_DEGRADED: return "DEGRADED";
    case VDEV_STATE_FAULTED: return "FAULTED";
    case VDEV_STATE_CANT_OPEN: return "UNAVAIL";
    case VDEV_STATE_OFFLINE: return "OFFLINE";
    case VDEV_STATE_REMOVED: return "REMOVED";
    default: return "UNKNOWN";
    }
}

const char* zpool_prop_to_name(zpool_prop_t prop)
{
    return prop == ZPOOL_PROP_CACHEFILE ? "cachefile" : "unknown";
}

int zpool_iter(libzfs_handle_t* hdl, zpool_iter_f func, void* data)
{
    if (hdl == nullptr || func == nullptr)
        return -1;
    std::vector<std::unique_ptr<zpool_handle_t>> handles;
    bool failed = false;
    bool ok = locked(hdl, [&](json& state, std::vector<json>&) {
        if (auto fault = take_fault(state, "iter", "", hdl->host)) {
            fault_error(hdl, *fault);
            failed = true;
            return true;
        }
        for (auto& [id, pool] : state["pools"].items()) {
            if (my_pool(state, id, hdl->host) == nullptr)
                continue;
            auto zhp = std::make_unique<zpool_handle_t>();
            zhp->hdl = hdl;
            zhp->id = id;
            zhp->name = pool.value("name", "");
            zhp->state = reported_state(state, pool, hdl->host);
            zhp->config = nvlist_ptr(view_config(state, id, pool, hdl->host, POOL_STATE_ACTIVE, "").release());
            handles.push_back(std::move(zhp));
        }
        return false;
    });
    if (!ok || failed)
        return -1;
    // Callbacks run outside the lock: they may call the library themselves.
    for (size_t i = 0; i < handles.size(); ++i) {
        int rc = func(handles[i].release(), data);
        if (rc != 0) {
            return rc;  // the remaining handles are freed with the vector
        }
    }
    return 0;
}

}  // namespace platform::zfs
