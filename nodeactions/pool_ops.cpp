// Pool operations: import gate, import, export, vdev onlining, holder scan.
// Each operation owns one library handle for its own duration.
#include "nodeactions/pool_ops.hpp"

#include "nodeactions/phase_log.hpp"
#include "platform/procstat.hpp"
#include "platform/zfs.hpp"

#include <cerrno>
#include <memory>
#include <thread>

namespace nodeactions {

using namespace platform::zfs;

namespace {

void set(std::string* out, const std::string& text)
{
    if (out != nullptr)
        *out = text;
}

// The library handle of one operation; closed on every path.
class library {
public:
    library() : hdl_(libzfs_init()), init_errno_(errno) {}
    ~library()
    {
        if (hdl_ != nullptr)
            libzfs_fini(hdl_);
    }
    library(const library&) = delete;
    library& operator=(const library&) = delete;

    libzfs_handle_t* get() const { return hdl_; }
    explicit operator bool() const { return hdl_ != nullptr; }
    std::string init_error() const { return libzfs_error_init(init_errno_); }
    std::string description() const { return libzfs_error_description(hdl_); }

private:
    libzfs_handle_t* hdl_;
    int init_errno_;
};

struct pool_closer {
    void operator()(zpool_handle_t* zhp) const { zpool_close(zhp); }
};
using pool_ptr = std::unique_ptr<zpool_handle_t, pool_closer>;

// The "vdev_stats" state and aux of a vdev; false when missing or too short.
bool vdev_state_of(nvlist_t* vdev, uint64_t* state, uint64_t* aux)
{
    uint64_t* stats = nullptr;
    uint_t count = 0;
    if (nvlist_lookup_uint64_array(vdev, ZPOOL_CONFIG_VDEV_STATS, &stats, &count) != 0 || count <= VS_AUX_INDEX)
        return false;
    *state = stats[VS_STATE_INDEX];
    *aux = stats[VS_AUX_INDEX];
    return true;
}

std::string health_word(uint64_t state, uint64_t aux)
{
    return zpool_state_to_name(static_cast<vdev_state_t>(state), static_cast<vdev_aux_t>(aux));
}

// The root vdev's state from a pool configuration; false when "vdev_tree" or
// its "vdev_stats" is missing.
bool root_state_of(nvlist_t* config, uint64_t* state, uint64_t* aux)
{
    nvlist_t* tree = nullptr;
    if (nvlist_lookup_nvlist(config, ZPOOL_CONFIG_VDEV_TREE, &tree) != 0)
        return false;
    return vdev_state_of(tree, state, aux);
}

nvlist_ptr search(libzfs_handle_t* hdl, const std::string& pool, const char* const* dirs, int ndirs)
{
    libpc_handle_t pc;
    pc.lpc_lib_handle = hdl;
    pc.lpc_ops = &libzfs_config_ops;
    pc.lpc_printerr = false;
    importargs_t args;
    args.path = dirs;
    args.paths = ndirs;
    args.poolname = pool.c_str();
    args.cachefile = nullptr;
    return nvlist_ptr(zpool_search_import(&pc, &args));
}

void vdev_collect_bad(libzfs_handle_t* hdl, zpool_handle_t* zhp, nvlist_t* vdev, std::vector<std::string>* out)
{
    nvlist_t** children = nullptr;
    uint_t count = 0;
    if (nvlist_lookup_nvlist_array(vdev, ZPOOL_CONFIG_CHILDREN, &children, &count) == 0) {
        for (uint_t i = 0; i < count; ++i)
            vdev_collect_bad(hdl, zhp, children[i], out);
        return;
    }
    uint64_t state = 0;
    uint64_t aux = 0;
    if (!vdev_state_of(vdev, &state, &aux))
        return;
    std::string word = health_word(state, aux);
    if (word == "OFFLINE" || word == "UNAVAIL" || word == "REMOVED")
        out->push_back(zpool_vdev_name(hdl, zhp, vdev, 0));
}

// Sleeps after failed online attempts 1 to 5: shorter each time, 2.5 s in all.
constexpr std::chrono::milliseconds online_backoff[5] = {
    std::chrono::milliseconds(1000), std::chrono::milliseconds(750), std::chrono::milliseconds(500),
    std::chrono::milliseconds(250), std::chrono::milliseconds(0)};

void online_leaf(zpool_handle_t* zhp, const std::string& leaf, const sleeper& sleep)
{
    for (const auto& pause : online_backoff) {
        vdev_state_t newstate = VDEV_STATE_UNKNOWN;
        int rc = zpool_vdev_online(zhp, leaf.c_str(), 0, &newstate);
        if (rc == 0 && newstate != VDEV_STATE_FAULTED)
            return;
        sleep(pause);
    }
}

bool device_held(const std::string& devname, const std::string& pool)
{
    const std::string base = "zvol/" + pool;
    return devname == base || devname.rfind(base + "/", 0) == 0;
}

}  // namespace

void real_sleep(std::chrono::milliseconds d)
{
    if (d.count() > 0)
        std::this_thread::sleep_for(d);
}

std::optional<std::string> pool_find_importable(const std::string& pool, std::string* err)
{
    set(err, "");
    library lib;
    if (!lib) {
        set(err, lib.init_error());
        return std::nullopt;
    }
    nvlist_ptr found = search(lib.get(), pool, nullptr, 0);
    if (!found)
        return std::nullopt;
    for (nvpair_t* pair = nvlist_next_nvpair(found.get(), nullptr); pair != nullptr;
         pair = nvlist_next_nvpair(found.get(), pair)) {
        if (pool != nvpair_name(pair))
            continue;
        nvlist_t* config = nullptr;
        if (nvpair_value_nvlist(pair, &config) != 0) {
            set(err, "can't get pool configuration");
            return std::nullopt;
        }
        uint64_t pool_state = 0;
        if (nvlist_lookup_uint64(config, ZPOOL_CONFIG_POOL_STATE, &pool_state) != 0) {
            set(err, "can't get pool state");
            return std::nullopt;
        }
        if (pool_state == POOL_STATE_DESTROYED)
            continue;
        uint64_t state = 0;
        uint64_t aux = 0;
        if (!root_state_of(config, &state, &aux)) {
            set(err, "can't get vdev stats");
            return std::nullopt;
        }
        return health_word(state, aux);
    }
    return std::nullopt;
}

bool pool_import_check(const std::string& pool, std::string* text)
{
    std::string err;
    auto health = pool_find_importable(pool, &err);
    if (health) {
        if (*health == "ONLINE" || *health == "DEGRADED") {
            set(text, *health);
            return true;
        }
        set(text, "bad health " + *health + "; import is impossible");
        return false;
    }
    set(text, err.empty() ? "not found among importable pools" : err);
    return false;
}

pool_presence pool_is_imported(const std::string& pool, std::string* err)
{
    set(err, "");
    library lib;
    if (!lib) {
        set(err, lib.init_error());
        return pool_presence::unknown;
    }
    pool_ptr zhp(zpool_open_canfail(lib.get(), pool.c_str()));
    if (zhp)
        return pool_presence::yes;
    if (libzfs_errno(lib.get()) == EZFS_NOENT)
        return pool_presence::no;
    set(err, lib.description());
    return pool_presence::unknown;
}

bool pool_is_suspended(const std::string& pool)
{
    library lib;
    if (!lib)
        return false;
    pool_ptr zhp(zpool_open_canfail(lib.get(), pool.c_str()));
    return zhp && zpool_get_state(zhp.get()) == POOL_STATE_UNAVAIL;
}

bool pool_import(const std::string& pool, bool recovery, std::string* err, bool* mounted)
{
    set(err, "");
    if (mounted != nullptr)
        *mounted = false;
    library lib;
    if (!lib) {
        set(err, lib.init_error());
        return false;
    }
    static const char* const diskid[] = {"/dev/diskid"};
    nvlist_ptr found = search(lib.get(), pool, diskid, 1);
    if (!found) {
        set(err, "pool not found for import");
        return false;
    }
    nvlist_t* config = nullptr;
    for (nvpair_t* pair = nvlist_next_nvpair(found.get(), nullptr); pair != nullptr;
         pair = nvlist_next_nvpair(found.get(), pair)) {
        if (pool != nvpair_name(pair))
            continue;
        nvlist_t* candidate = nullptr;
        if (nvpair_value_nvlist(pair, &candidate) != 0)
            continue;
        uint64_t pool_state = 0;
        if (nvlist_lookup_uint64(candidate, ZPOOL_CONFIG_POOL_STATE, &pool_state) == 0 &&
            pool_state == POOL_STATE_DESTROYED)
            continue;
        config = candidate;
        break;
    }
    if (config == nullptr) {
        set(err, "pool config not found among importable pools");
        return false;
    }
    nvlist_t* raw_props = nullptr;
    if (nvlist_alloc(&raw_props, NV_UNIQUE_NAME, 0) != 0) {
        set(err, "nvlist_alloc failed");
        return false;
    }
    nvlist_ptr props(raw_props);
    nvlist_add_string(props.get(), zpool_prop_to_name(ZPOOL_PROP_CACHEFILE), "none");

    int flags = recovery ? (ZFS_IMPORT_ANY_HOST | ZFS_IMPORT_ONLY) : ZFS_IMPORT_ANY_HOST;
    if (zpool_import_props(lib.get(), config, nullptr, props.get(), flags) != 0) {
        set(err, lib.description());
        return false;
    }
    if (!recovery) {
        pool_ptr zhp(zpool_open_canfail(lib.get(), pool.c_str()));
        if (zhp && zpool_get_state(zhp.get()) != POOL_STATE_UNAVAIL) {
            int rc = zpool_enable_datasets(zhp.get(), nullptr, 0);
            if (mounted != nullptr)
                *mounted = (rc == 0);
        }
    }
    return true;
}

bool pool_export(const std::string& pool, bool force, std::string* err)
{
    set(err, "");
    library lib;
    if (!lib) {
        set(err, lib.init_error());
        return false;
    }
    pool_ptr zhp(zpool_open_canfail(lib.get(), pool.c_str()));
    if (!zhp) {
        set(err, "pool is not imported");
        return false;
    }
    if (zpool_disable_datasets(zhp.get(), force) != 0 ||
        zpool_export(zhp.get(), force, "pellix-cluster-poolrun") != 0) {
        set(err, lib.description());
        return false;
    }
    return true;
}

bool pool_online_vdevs(const std::string& pool, std::string* err, const sleeper& sleep)
{
    set(err, "");
    library lib;
    if (!lib) {
        set(err, lib.init_error());
        return false;
    }
    pool_ptr zhp(zpool_open_canfail(lib.get(), pool.c_str()));
    if (!zhp) {
        set(err, "pool is not imported");
        return false;
    }
    nvlist_t* config = zpool_get_config(zhp.get(), nullptr);
    nvlist_t* tree = nullptr;
    uint64_t state = 0;
    uint64_t aux = 0;
    if (config == nullptr || nvlist_lookup_nvlist(config, ZPOOL_CONFIG_VDEV_TREE, &tree) != 0 ||
        !vdev_state_of(tree, &state, &aux)) {
        set(err, "can't get pool status");
        return false;
    }
    if (state == VDEV_STATE_DEGRADED) {
        std::vector<std::string> bad;
        vdev_collect_bad(lib.get(), zhp.get(), tree, &bad);
        for (const auto& leaf : bad)
            online_leaf(zhp.get(), leaf, sleep);
    }
    boolean_t missing = false;
    zpool_refresh_stats(zhp.get(), &missing);
    if (zpool_get_status(zhp.get(), nullptr) == ZPOOL_STATUS_FAILING_DEV) {
        nvlist_t* raw_policy = nullptr;
        if (nvlist_alloc(&raw_policy, NV_UNIQUE_NAME, 0) != 0) {
            set(err, "can't build zpool clear policy");
            return false;
        }
        nvlist_ptr policy(raw_policy);
        if (nvlist_add_uint32(policy.get(), ZPOOL_LOAD_REWIND_POLICY, 1) != 0) {
            set(err, "can't build zpool clear policy");
            return false;
        }
        if (zpool_clear(zhp.get(), nullptr, policy.get()) != 0) {
            set(err, lib.description());
            return false;
        }
    }
    return true;
}

namespace {

int collect_degraded(zpool_handle_t* zhp, void* data)
{
    auto* names = static_cast<std::vector<std::string>*>(data);
    uint64_t state = 0;
    uint64_t aux = 0;
    nvlist_t* config = zpool_get_config(zhp, nullptr);
    if (config != nullptr && root_state_of(config, &state, &aux) && state == VDEV_STATE_DEGRADED)
        names->push_back(zpool_get_name(zhp));
    zpool_close(zhp);
    return 0;
}

}  // namespace

bool pools_online_degraded(std::string* err, const sleeper& sleep)
{
    set(err, "");
    std::vector<std::string> degraded;
    {
        library lib;
        if (!lib) {
            set(err, lib.init_error());
            return false;
        }
        if (zpool_iter(lib.get(), collect_degraded, &degraded) != 0) {
            set(err, "can't enumerate imported pools");
            return false;
        }
    }
    for (const auto& name : degraded) {
        std::string ignored;
        pool_online_vdevs(name, &ignored, sleep);
    }
    return true;
}

std::vector<pool_holder> find_pool_holders(const std::string& pool, std::string* err)
{
    namespace ps = platform::procstat;
    set(err, "");
    std::vector<pool_holder> holders;
    ps::procstat* handle = ps::procstat_open_sysctl();
    if (handle == nullptr) {
        set(err, "procstat_open_sysctl failed");
        return holders;
    }
    unsigned int count = 0;
    ps::kinfo_proc* procs = ps::procstat_getprocs(handle, ps::KERN_PROC_PROC, 0, &count);
    if (procs == nullptr) {
        set(err, "procstat_getprocs failed");
        ps::procstat_close(handle);
        return holders;
    }
    for (unsigned int i = 0; i < count; ++i) {
        ps::kinfo_proc* kp = &procs[i];
        if (kp->ki_stat == ps::SZOMB)
            continue;
        ps::filestat_list* files = ps::procstat_getfiles(handle, kp, 0);
        if (files == nullptr)
            continue;
        for (auto& fst : *files) {
            if (fst.fs_type != ps::PS_FST_TYPE_VNODE)
                continue;
            ps::vnstat vn;
            if (ps::procstat_get_vnode_info(handle, &fst, &vn, nullptr) != 0)
                continue;
            if (vn.vn_type != ps::PS_FST_VTYPE_VCHR || vn.vn_devname.empty())
                continue;
            if (device_held(vn.vn_devname, pool)) {
                holders.push_back(pool_holder{static_cast<int32_t>(kp->ki_pid), kp->ki_comm, "/dev/" + vn.vn_devname});
                break;
            }
        }
        ps::procstat_freefiles(handle, files);
    }
    ps::procstat_freeprocs(handle, procs);
    ps::procstat_close(handle);
    return holders;
}

int report_pool_holders(const std::string& phase, const std::string& context, const std::string& pool)
{
    std::string err;
    auto holders = find_pool_holders(pool, &err);
    for (const auto& h : holders)
        phase_error(phase, context, "held by pid " + std::to_string(h.pid) + " (" + h.command + ") " + h.device);
    if (holders.empty() && !err.empty())
        phase_error(phase, context, "fstat: " + err);
    return static_cast<int>(holders.size());
}

}  // namespace nodeactions
