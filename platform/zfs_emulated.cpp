// Emulated pool library: each call is one locked read-modify-write of the shared
// pool state (zfs_emul_state.cpp) seen from this host. Handles are plain process
// memory; nothing outlives the state file but what a handle copied at open.
#include "platform/process.hpp"
#include "platform/procstat.hpp"
#include "platform/zfs.hpp"
#include "platform/zfs_emul.hpp"

#include <cerrno>
#include <cstring>
#include <new>

namespace platform::zfs {

using json = nlohmann::json;
using platform::zfs_emul::with_state;

struct pool_config_ops_t {
    const char* name;
};
const pool_config_ops_t libzfs_config_ops{"libzfs"};

struct libzfs_handle_t {
    std::string host;
    int error = EZFS_SUCCESS;
    std::string description = "no error";
};

struct zpool_handle_t {
    libzfs_handle_t* hdl = nullptr;
    std::string id;
    std::string name;
    int state = POOL_STATE_ACTIVE;
    nvlist_ptr config;
};

namespace {

int set_error(libzfs_handle_t* hdl, int code, const std::string& text)
{
    hdl->error = code;
    hdl->description = text;
    return -1;
}

int code_for_errno(int e)
{
    switch (e) {
    case ENOENT: return EZFS_NOENT;
    case EBUSY: return EZFS_BUSY;
    case ENOMEM: return EZFS_NOMEM;
    default: return EZFS_IO;
    }
}

// Takes the first fault matching op/pool/host, counting down its "times".
std::optional<json> take_fault(json& state, const std::string& op, const std::string& pool, const std::string& host)
{
    if (!state.contains("faults") || !state["faults"].is_array())
        return std::nullopt;
    auto& faults = state["faults"];
    for (size_t i = 0; i < faults.size(); ++i) {
        json& f = faults[i];
        if (f.value("op", "") != op)
            continue;
        const std::string fp = f.value("pool", "");
        const std::string fh = f.value("host", "");
        if ((!fp.empty() && fp != pool) || (!fh.empty() && fh != host))
            continue;
        json taken = f;
        int64_t times = f.value("times", int64_t{1});
        if (times > 0) {
            if (times == 1)
                faults.erase(i);
            else
                f["times"] = times - 1;
        }
        return taken;
    }
    return std::nullopt;
}

// Applies a taken fault (no shape) to the handle; returns -1.
int fault_error(libzfs_handle_t* hdl, const json& fault)
{
    int e = fault.value("errno", EIO);
    std::string text = fault.value("text", "");
    if (text.empty())
        text = std::strerror(e);
    return set_error(hdl, code_for_errno(e), text);
}

bool host_flag(const json& state, const std::string& host, const char* flag, bool fallback)
{
    auto hosts = state.find("hosts");
    if (hosts == state.end() || !hosts->is_object())
        return fallback;
    auto rec = hosts->find(host);
    return (rec == hosts->end() || !rec->is_object()) ? fallback : rec->value(flag, fallback);
}

bool host_fenced(const json& state, const std::string& host)
{
    return host_flag(state, host, "fenced", false);
}

bool host_alive(const json& state, const std::string& host)
{
    return host_flag(state, host, "alive", true);
}

// This host's live import of the pool with this id, or null.
json* my_pool(json& state, const std::string& id, const std::string& host)
{
    if (!state["pools"].contains(id))
        return nullptr;
    json& pool = state["pools"][id];
    if (pool.value("destroyed", false) || !pool["imported_by"].contains(host))
        return nullptr;
    return &pool;
}

std::vector<uint64_t> stats(uint64_t state, uint64_t aux)
{
    return {0, state, aux, 0, 0, 0, 0};
}

void add_vdevs(nvlist_t* parent, const json& vdevs)
{
    std::vector<std::unique_ptr<nvlist_t>> kids;
    for (const auto& v : vdevs) {
        auto nv = std::make_unique<nvlist_t>();
        if (v.contains("children")) {
            nv->add("type", v.value("type", std::string("mirror")));
            // An interior vdev's own state follows its subtree.
            json sub{{"vdevs", v["children"]}};
            nv->add(ZPOOL_CONFIG_VDEV_STATS, stats(zfs_emul::root_state(sub), 0));
            add_vdevs(nv.get(), v["children"]);
        } else {
            nv->add("type", std::string("disk"));
            nv->add(ZPOOL_CONFIG_PATH, v.value("path", std::string()));
            nv->add(ZPOOL_CONFIG_VDEV_STATS, stats(v.value("state", uint64_t{0}), v.value("aux", uint64_t{0})));
        }
        kids.push_back(std::move(nv));
    }
    nvlist_array arr;
    for (auto& k : kids) {
        arr.views.push_back(k.get());
        arr.lists.push_back(std::move(k));
    }
    parent->add(ZPOOL_CONFIG_CHILDREN, std::move(arr));
}

// The configuration of a pool record; `shape` breaks it for fault tests.
std::unique_ptr<nvlist_t> build_config(const std::string& id, const json& pool, uint64_t pool_state,
                                       const std::string& shape)
{
    auto config = std::make_unique<nvlist_t>();
    config->add("name", pool.value("name", std::string()));
    config->add("pool_guid", static_cast<uint64_t>(std::stoull(id)));
    if (shape != "no_state")
        config->add(ZPOOL_CONFIG_POOL_STATE, pool_state);
    if (shape != "no_vdev_tree") {
        auto tree = std::make_unique<nvlist_t>();
        tree->add("type", std::string("root"));
        if (shape != "no_vdev_stats")
            tree->add(ZPOOL_CONFIG_VDEV_STATS, stats(zfs_emul::root_state(pool), 0));
        add_vdevs(tree.get(), pool.value("vdevs", json::array()));
        config->add(ZPOOL_CONFIG_VDEV_TREE, std::move(tree));
    }
    return config;
}

std::string leaf_name(const std::string& path)
{
    return path.rfind("/dev/", 0) == 0 ? path.substr(5) : path;
}

json* find_leaf(json& vdevs, const std::string& name)
{
    if (!vdevs.is_array())
        return nullptr;
    for (auto& v : vdevs) {
        if (v.contains("children")) {
            if (json* found = find_leaf(v["children"], name))
                return found;
        } else {
            const std::string path = v.value("path", "");
            if (path == name || leaf_name(path) == name)
                return &v;
        }
    }
    return nullptr;
}

json op_entry(const libzfs_handle_t* hdl, const char* op, const std::string& pool)
{
    return json{{"host", hdl->host}, {"op", op}, {"pool", pool}};
}

// Runs a call under the lock; a state failure becomes the handle's error.
bool locked(libzfs_handle_t* hdl, const std::function<bool(json&, std::vector<json>&)>& fn)
{
    std::string err;
    if (!with_state(fn, &err)) {
        if (!err.empty())
            set_error(hdl, EZFS_IO, err);
        return false;
    }
    return true;
}

const char* suspended_text = "pool I/O is currently suspended";

// Whether a process holds one of this host's zvol nodes of `pool` open.
bool zvols_held(const std::string& pool)
{
    namespace ps = platform::procstat;
    ps::procstat* handle = ps::procstat_open_sysctl();
    if (handle == nullptr)
        return false;
    unsigned int count = 0;
    ps::kinfo_proc* procs = ps::procstat_getprocs(handle, ps::KERN_PROC_PROC, 0, &count);
    const std::string base = "zvol/" + pool;
    bool held = false;
    for (unsigned int i = 0; procs != nullptr && i < count && !held; ++i) {
        if (procs[i].ki_stat == ps::SZOMB)
            continue;
        ps::filestat_list* files = ps::procstat_getfiles(handle, &procs[i], 0);
        if (files == nullptr)
            continue;
        for (auto& fst : *files) {
            ps::vnstat vn;
            if (fst.fs_type != ps::PS_FST_TYPE_VNODE || ps::procstat_get_vnode_info(handle, &fst, &vn, nullptr) != 0 ||
                vn.vn_type != ps::PS_FST_VTYPE_VCHR)
                continue;
            if (vn.vn_devname == base || vn.vn_devname.rfind(base + "/", 0) == 0) {
                held = true;
                break;
            }
        }
        ps::procstat_freefiles(handle, files);
    }
    if (procs != nullptr)
        ps::procstat_freeprocs(handle, procs);
    ps::procstat_close(handle);
    return held;
}

}  // namespace

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
    hdl->host = platform::get_hostname();
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
    locked(hdl, [&](json& state, std::vector<json>& ops) {
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
            if (shape == "not_nvlist") {
                list->add(name, uint64_t{0});
            } else {
                uint64_t pool_state = pool.value("destroyed", false) ? uint64_t{POOL_STATE_DESTROYED}
                                      : pool["imported_by"].empty() ? uint64_t{POOL_STATE_EXPORTED}
                                                                    : uint64_t{POOL_STATE_ACTIVE};
                list->add(name, build_config(id, pool, pool_state, shape));
            }
            shape.clear();
        }
        if (!list->pairs.empty())
            result = list.release();
        return true;
    });
    return result;
}

zpool_handle_t* zpool_open_canfail(libzfs_handle_t* hdl, const char* name)
{
    if (hdl == nullptr || name == nullptr)
        return nullptr;
    std::unique_ptr<zpool_handle_t> zhp;
    locked(hdl, [&](json& state, std::vector<json>&) {
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
            zhp->state = host_fenced(state, hdl->host) ? static_cast<int>(POOL_STATE_UNAVAIL)
                                                       : pool.value("state", int{POOL_STATE_ACTIVE});
            zhp->config = nvlist_ptr(build_config(id, pool, POOL_STATE_ACTIVE, shape).release());
            return shape.empty() ? false : true;
        }
        set_error(hdl, EZFS_NOENT, "no such pool");
        return !shape.empty();
    });
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
            zhp->state = host_fenced(state, hdl->host) ? static_cast<int>(POOL_STATE_UNAVAIL) : pool.value("state", int{POOL_STATE_ACTIVE});
            zhp->config = nvlist_ptr(build_config(id, pool, POOL_STATE_ACTIVE, "").release());
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
    locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "online", zhp->name);
        entry["leaf"] = path;
        entry["flags"] = flags;
        json* pool = my_pool(state, zhp->id, hdl->host);
        if (pool == nullptr) {
            set_error(hdl, EZFS_NOENT, "no such pool");
        } else if (host_fenced(state, hdl->host)) {
            set_error(hdl, EZFS_IO, suspended_text);
        } else if (auto fault = take_fault(state, "online", zhp->name, hdl->host)) {
            fault_error(hdl, *fault);
        } else if (json* leaf = find_leaf((*pool)["vdevs"], path); leaf == nullptr) {
            set_error(hdl, EZFS_BADDEV, std::string("no such device in pool: ") + path);
        } else {
            std::string outcome;
            // Looked up, not indexed: indexing would store a null script, which
            // the next read of the state refuses.
            auto script_it = leaf->find("online_script");
            json no_script = json::array();
            json& script = script_it != leaf->end() ? *script_it : no_script;
            if (script.is_array() && !script.empty()) {
                outcome = script[0].is_string() ? script[0].get<std::string>() : "error";
                script.erase(0);
            } else {
                const std::string disk_host = leaf->value("host", "");
                outcome = (!disk_host.empty() && host_fenced(state, disk_host)) ? "error" : "ok";
            }
            if (outcome == "ok") {
                (*leaf)["state"] = uint64_t{VDEV_STATE_HEALTHY};
                if (newstate != nullptr)
                    *newstate = VDEV_STATE_HEALTHY;
                rc = 0;
            } else if (outcome == "faulted") {
                (*leaf)["state"] = uint64_t{VDEV_STATE_FAULTED};
                if (newstate != nullptr)
                    *newstate = VDEV_STATE_FAULTED;
                rc = 0;
            } else {
                set_error(hdl, EZFS_BADDEV, std::string("cannot online ") + path + ": cannot open device");
            }
        }
        entry["result"] = rc == 0 ? json(zpool_state_to_name(newstate ? *newstate : VDEV_STATE_UNKNOWN, VDEV_AUX_NONE))
                                  : json("error");
        ops.push_back(entry);
        return true;
    });
    return rc;
}

int zpool_refresh_stats(zpool_handle_t* zhp, boolean_t* missing)
{
    if (zhp == nullptr)
        return -1;
    libzfs_handle_t* hdl = zhp->hdl;
    int rc = -1;
    locked(hdl, [&](json& state, std::vector<json>& ops) {
        ops.push_back(op_entry(hdl, "refresh", zhp->name));
        if (auto fault = take_fault(state, "refresh", zhp->name, hdl->host)) {
            fault_error(hdl, *fault);
            return true;
        }
        json* pool = my_pool(state, zhp->id, hdl->host);
        if (missing != nullptr)
            *missing = (pool == nullptr);
        if (pool != nullptr) {
            zhp->config = nvlist_ptr(build_config(zhp->id, *pool, POOL_STATE_ACTIVE, "").release());
            zhp->state = host_fenced(state, hdl->host) ? static_cast<int>(POOL_STATE_UNAVAIL) : pool->value("state", int{POOL_STATE_ACTIVE});
            rc = 0;
        } else {
            set_error(hdl, EZFS_NOENT, "no such pool");
        }
        return true;
    });
    return rc;
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
            status = pool->value("status", int{ZPOOL_STATUS_OK});
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
    locked(hdl, [&](json& state, std::vector<json>& ops) {
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
    return rc;
}

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
    locked(hdl, [&](json& state, std::vector<json>& ops) {
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
    return rc;
}

int zpool_enable_datasets(zpool_handle_t* zhp, const char* mntopts, int flags)
{
    if (zhp == nullptr)
        return -1;
    libzfs_handle_t* hdl = zhp->hdl;
    int rc = -1;
    locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "enable_datasets", zhp->name);
        entry["options"] = mntopts != nullptr ? json(mntopts) : json(nullptr);
        entry["flags"] = flags;
        ops.push_back(entry);
        json* pool = my_pool(state, zhp->id, hdl->host);
        if (pool == nullptr)
            return set_error(hdl, EZFS_NOENT, "no such pool"), true;
        if (host_fenced(state, hdl->host))
            return set_error(hdl, EZFS_IO, suspended_text), true;
        if (auto fault = take_fault(state, "enable_datasets", zhp->name, hdl->host))
            return fault_error(hdl, *fault), true;
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
    return rc;
}

int zpool_disable_datasets(zpool_handle_t* zhp, boolean_t force)
{
    if (zhp == nullptr)
        return -1;
    libzfs_handle_t* hdl = zhp->hdl;
    int rc = -1;
    locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "disable_datasets", zhp->name);
        entry["force"] = force;
        ops.push_back(entry);
        json* pool = my_pool(state, zhp->id, hdl->host);
        if (pool == nullptr)
            return set_error(hdl, EZFS_NOENT, "no such pool"), true;
        if (host_fenced(state, hdl->host))
            return set_error(hdl, EZFS_IO, suspended_text), true;
        if (auto fault = take_fault(state, "disable_datasets", zhp->name, hdl->host))
            return fault_error(hdl, *fault), true;
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
    return rc;
}

int zpool_export(zpool_handle_t* zhp, boolean_t force, const char* log_str)
{
    if (zhp == nullptr)
        return -1;
    libzfs_handle_t* hdl = zhp->hdl;
    int rc = -1;
    locked(hdl, [&](json& state, std::vector<json>& ops) {
        json entry = op_entry(hdl, "export", zhp->name);
        entry["force"] = force;
        entry["history"] = log_str != nullptr ? json(log_str) : json(nullptr);
        ops.push_back(entry);
        json* pool = my_pool(state, zhp->id, hdl->host);
        if (pool == nullptr)
            return set_error(hdl, EZFS_NOENT, "no such pool"), true;
        if (host_fenced(state, hdl->host))
            return set_error(hdl, EZFS_IO, suspended_text), true;
        if (auto fault = take_fault(state, "export", zhp->name, hdl->host))
            return fault_error(hdl, *fault), true;
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
    return rc;
}

}  // namespace platform::zfs
