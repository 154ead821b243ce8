// Helpers of the emulated pool library: errors, faults, host flags, the views of
// a pool record as configurations, and the zvol holder check.
#include "platform/procstat.hpp"
#include "platform/emulated/zfs_emul_calls.hpp"

#include <cerrno>
#include <cstring>
#include <thread>

namespace platform::zfs::emulated {

using platform::zfs_emul::with_state;

int set_error(libzfs_handle_t* hdl, int code, const std::string& text)
{
    hdl->error = code;
    hdl->description = text;
    return -1;
}

static int code_for_errno(int e)
{
    switch (e) {
    case ENOENT: return EZFS_NOENT;
    case EBUSY: return EZFS_BUSY;
    case ENOMEM: return EZFS_NOMEM;
    default: return EZFS_IO;
    }
}

// Takes the first fault `wanted` accepts whose pool and host match ("" matches
// any), counting down its "times" (removed at 0; -1 never runs out).
static std::optional<json> take_first(json& state, const std::string& pool, const std::string& host,
                                      const std::function<bool(const json&)>& wanted)
{
    if (!state.contains("faults") || !state["faults"].is_array())
        return std::nullopt;
    auto& faults = state["faults"];
    for (size_t i = 0; i < faults.size(); ++i) {
        json& f = faults[i];
        const std::string fp = f.value("pool", "");
        const std::string fh = f.value("host", "");
        if (!wanted(f) || (!fp.empty() && fp != pool) || (!fh.empty() && fh != host))
            continue;
        json taken = f;
        int64_t times = f.value("times", int64_t{1});
        if (times == 1)
            faults.erase(i);
        else if (times > 1)
            f["times"] = times - 1;
        return taken;
    }
    return std::nullopt;
}

std::optional<json> take_fault(json& state, const std::string& op, const std::string& pool, const std::string& host)
{
    // Hang faults wait for a suspended pool (take_hang); nothing else takes them.
    return take_first(state, pool, host,
                      [&](const json& f) { return f.value("op", "") == op && !f.value("hang", false); });
}

int fault_error(libzfs_handle_t* hdl, const json& fault)
{
    int e = fault.value("errno", EIO);
    std::string text = fault.value("text", "");
    if (text.empty())
        text = std::strerror(e);
    return set_error(hdl, code_for_errno(e), text);
}

json* my_pool(json& state, const std::string& id, const std::string& host)
{
    if (!state["pools"].contains(id))
        return nullptr;
    json& pool = state["pools"][id];
    if (pool.value("destroyed", false) || !pool["imported_by"].contains(host))
        return nullptr;
    return &pool;
}

// A hang fault for `op` on this pool and host. A pool export unmounts first, and
// that is where the real export of a suspended pool blocks: an "export" hang
// fault is taken by the unmount too.
static std::optional<json> take_hang(json& state, const std::string& op, const std::string& pool,
                                     const std::string& host)
{
    return take_first(state, pool, host, [&](const json& f) {
        const std::string fop = f.value("op", "");
        return f.value("hang", false) && (fop == op || (op == "disable_datasets" && fop == "export"));
    });
}

json* pool_for_change(json& state, zpool_handle_t* zhp, const char* op, call_block* block)
{
    libzfs_handle_t* hdl = zhp->hdl;
    json* pool = my_pool(state, zhp->id, hdl->host);
    if (pool == nullptr) {
        set_error(hdl, EZFS_NOENT, "no such pool");
        return nullptr;
    }
    if (zfs_emul::suspended_for(state, *pool, hdl->host)) {
        if (block != nullptr && (block->hanging || take_hang(state, op, zhp->name, hdl->host))) {
            block->fresh = !block->hanging;
            block->hanging = true;
            block->blocked = true;
            return nullptr;
        }
        set_error(hdl, EZFS_IO, suspended_text);
        return nullptr;
    }
    // A hanging call whose pool has resumed goes on; hang faults are not failures.
    if (block != nullptr && block->hanging)
        return pool;
    if (auto fault = take_fault(state, op, zhp->name, hdl->host)) {
        fault_error(hdl, *fault);
        return nullptr;
    }
    return pool;
}

bool locked_blocking(libzfs_handle_t* hdl, const char* op, const std::string& pool_name,
                     const std::function<bool(json&, std::vector<json>&, call_block&)>& fn)
{
    call_block block;
    for (;;) {
        block.blocked = false;
        block.fresh = false;
        const bool stored = locked(hdl, [&](json& state, std::vector<json>& ops) {
            bool write = fn(state, ops, block);
            if (!block.blocked)
                return write;
            // Logged once, when the call starts to hang; the waits write nothing.
            ops.clear();
            if (!block.fresh)
                return false;
            json entry = op_entry(hdl, op, pool_name);
            entry["result"] = "hanging";
            ops.push_back(entry);
            return true;
        });
        if (!stored || !block.blocked)
            return stored;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

static std::vector<uint64_t> stats(uint64_t state, uint64_t aux)
{
    return {0, state, aux, 0, 0, 0, 0};
}

static void add_vdevs(nvlist_t* parent, const json& vdevs)
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


int reported_state(const json& state, const json& pool, const std::string& host)
{
    return zfs_emul::suspended_for(state, pool, host) ? static_cast<int>(POOL_STATE_UNAVAIL)
                                                       : pool.value("state", int{POOL_STATE_ACTIVE});
}

std::unique_ptr<nvlist_t> view_config(const json& state, const std::string& id, const json& pool,
                                      const std::string& host, uint64_t pool_state, const std::string& shape)
{
    return build_config(id, zfs_emul::view_of(state, pool, host), pool_state, shape);
}

}  // namespace platform::zfs::emulated
