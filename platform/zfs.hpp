// The narrow pool-library interface the node action programs call: the handful of
// pool calls they make, with the names, argument order and results of the
// operating system's pool library, so a backend over the real libraries can
// replace the emulated one file for file. Handles are single-threaded: a process
// uses a library handle from one thread at a time.
//
// Numbers: only the values the programs compare are the library's own (vdev
// state 5 FAULTED and 6 DEGRADED, pool state 2 DESTROYED and 6 UNAVAIL, status 8
// FAILING_DEV, import flags 2 ANY_HOST and 8 IMPORT_ONLY, pool property 10
// cachefile); every other value here is this layer's own.
//
// ---- Emulated backend (zfs_emulated*.cpp, zfs_emul_*.cpp) ----
//
// Tool: "kelm-emul-zfs" (create, update, fault, fence, unfence, host-down,
// host-up, show, ops, double-imports) and the calls of platform/zfs_emul.hpp.
//
// Files, under "$KELM_EMUL_ROOT/zfs/":
//   lock       never replaced; every call takes an exclusive flock on it for one
//              read-modify-write of the state (a lock on state.json itself would
//              be lost at each rename)
//   state.json the whole pool world, rewritten through "state.json.tmp" + rename
//   ops.log    append-only, one JSON object per call ({"host","op","pool",...}),
//              written under the same lock so its order is the order of the calls
//
// state.json:
//   {
//     "next_id": 3,                      // pools are keyed by id, not by name, so a
//                                        // destroyed and a live configuration of one
//                                        // name can coexist
//     "double_imports": 0,               // imports of a pool that another host held
//                                        // while that host still had disk access
//     "hosts": { "<host>": { "fenced": false, "alive": true } },
//     "pools": { "<id>": {
//         "name": "tank", "destroyed": false,
//         "visible": { "diskid": true, "default": true },   // the search directories
//                                        // that show it: "/dev/diskid" vs the defaults
//         "imported_by": { "<host>": { "import_only": false } },
//         "multihost": false,            // a holder's activity is live when this is
//                                        // set and the holder is alive and not fenced
//         "state": 0, "status": 0,       // pool state and status code as reported
//         "root_state": null,            // forces the root vdev state (e.g. 5 FAULTED);
//                                        // null: derived from the leaves
//         "vdevs": [ { "type": "mirror", "children": [            // interior vdevs nest
//                        { "path": "/dev/diskid/DISK-A", "host": "node1",
//                          "state": 7, "aux": 0,
//                          "online_script": ["faulted", "faulted", "ok"] } ] } ],
//                                        // leaves: "host" is the node whose disk this is
//                                        // (empty: not on a shared disk); "state" a vdev
//                                        // state below; "online_script" the outcomes of
//                                        // the next zpool_vdev_online calls on the leaf
//                                        // ("ok", "faulted", "error"), consumed in order;
//                                        // when empty an online succeeds unless the
//                                        // disk's host is fenced. Interior and root
//                                        // states follow the leaves: all ONLINE, none
//                                        // ONLINE (UNAVAIL), else DEGRADED.
//         "datasets": [ { "name": "tank", "mounted": false, "busy": false,
//                         "mount_fail": false } ],
//         "zvols": [ "vol1" ],
//         "cachefile": "", "rewind_policy": null,
//         "exports": [ { "host": "node1", "force": true, "history": "..." } ] } },
//     "faults": [ { "op": "import", "pool": "", "host": "", "errno": 5,
//                   "text": "...", "times": 1, "shape": "" } ]
//   }
//   Members absent from a pool record take their empty value; a member of the
//   wrong kind makes every call fail with "pool state malformed" (nothing is
//   rewritten).
//
// Views per host (the host is platform::get_hostname(), KELM_EMUL_HOST):
//   - zpool_open_canfail and zpool_iter see only the live pools this host has
//     imported; zpool_search_import lists a pool only when this host has not
//     imported it and it is visible in the asked directory (destroyed ones too,
//     with state 2).
//   - Fencing a host (platform::zfs_emul::fence_host(<nodename>, true); the
//     stand-in target and initiator tools call the same function) suspends its
//     imports: its opens report pool state UNAVAIL, its zvol nodes are removed,
//     its mount, unmount, export and online calls fail with "pool I/O is
//     currently suspended" and it cannot import; every leaf whose "host" is the
//     fenced host turns UNAVAIL (state 13, seen by every host), so the pools go
//     DEGRADED and stay so after unfencing until zpool_vdev_online brings the
//     leaves back. Unfencing gives the host its zvol nodes back.
//   - A fenced host's multihost activity is not live, and importing a pool that
//     it holds does not count as a double import.
//   - Importing creates character-device nodes "<device dir>/zvol/<pool>/<vol>"
//     (device_dir() in platform/procstat.hpp); exporting removes them.
//   - Faults: the first entry matching {op, pool, host} ("" matches any) is taken
//     and its "times" decremented (removed at 0; -1 never runs out), all under the
//     lock, so "fail once, then succeed" holds across processes. "shape" breaks
//     the configuration that a search (op "search") or an open (op "open") hands
//     back ("not_nvlist", "no_state", "no_vdev_tree", "no_vdev_stats") instead
//     of failing the call. Fault ops: init, search, open, import,
//     enable_datasets, disable_datasets, export, online, refresh, clear, iter.
#pragma once

#include "platform/nvlist.hpp"

#include <string>

namespace platform::zfs {

using boolean_t = bool;

// vdev states (vdev_stats element VS_STATE) and auxiliary states.
enum vdev_state_t : uint64_t {
    VDEV_STATE_UNKNOWN = 0,
    VDEV_STATE_FAULTED = 5,
    VDEV_STATE_DEGRADED = 6,
    VDEV_STATE_HEALTHY = 7,
    VDEV_STATE_OFFLINE = 11,
    VDEV_STATE_REMOVED = 12,
    VDEV_STATE_CANT_OPEN = 13,
};
enum vdev_aux_t : uint64_t {
    VDEV_AUX_NONE = 0,
};

// Positions in the "vdev_stats" array.
inline constexpr unsigned VS_STATE_INDEX = 1;
inline constexpr unsigned VS_AUX_INDEX = 2;

enum pool_state_t : uint64_t {
    POOL_STATE_ACTIVE = 0,
    POOL_STATE_DESTROYED = 2,
    POOL_STATE_UNAVAIL = 6,
    POOL_STATE_EXPORTED = 10,
};

enum zpool_status_t : int {
    ZPOOL_STATUS_OK = 0,
    ZPOOL_STATUS_FAILING_DEV = 8,
};

enum zpool_prop_t : int {
    ZPOOL_PROP_CACHEFILE = 10,
};

inline constexpr int ZFS_IMPORT_ANY_HOST = 2;
inline constexpr int ZFS_IMPORT_ONLY = 8;

// Configuration keys.
inline constexpr const char* ZPOOL_CONFIG_POOL_STATE = "state";
inline constexpr const char* ZPOOL_CONFIG_VDEV_TREE = "vdev_tree";
inline constexpr const char* ZPOOL_CONFIG_VDEV_STATS = "vdev_stats";
inline constexpr const char* ZPOOL_CONFIG_CHILDREN = "children";
inline constexpr const char* ZPOOL_CONFIG_PATH = "path";
inline constexpr const char* ZPOOL_LOAD_REWIND_POLICY = "load-rewind-policy";

// Error codes of the last failed call (libzfs_errno).
enum zfs_error_t : int {
    EZFS_SUCCESS = 0,
    EZFS_NOMEM = 2000,
    EZFS_NOENT,         // no such pool
    EZFS_BUSY,          // pool or dataset is busy
    EZFS_ACTIVE_POOL,   // imported on another host
    EZFS_BADDEV,
    EZFS_IO,
    EZFS_MOUNTFAILED,
    EZFS_UMOUNTFAILED,
    EZFS_INVALCONFIG,
    EZFS_UNKNOWN,
};

struct libzfs_handle_t;
struct zpool_handle_t;
struct pool_config_ops_t;

// The configuration source of a search (the library's own configuration ops).
extern const pool_config_ops_t libzfs_config_ops;

struct libpc_handle_t {
    libzfs_handle_t* lpc_lib_handle = nullptr;
    const pool_config_ops_t* lpc_ops = nullptr;
    boolean_t lpc_printerr = false;
};

struct importargs_t {
    const char* const* path = nullptr;  // device directories; none: the defaults
    int paths = 0;
    const char* poolname = nullptr;     // name filter
    const char* cachefile = nullptr;    // none: scan the devices
};

// Library handle; null on failure with errno set (libzfs_error_init tells why).
libzfs_handle_t* libzfs_init();
void libzfs_fini(libzfs_handle_t* hdl);
const char* libzfs_error_init(int error);
// Text of the last failed call on this handle.
const char* libzfs_error_description(libzfs_handle_t* hdl);
// Code of the last failed call on this handle (EZFS_NOENT: no such pool).
int libzfs_errno(libzfs_handle_t* hdl);

// Importable pools: one pair per configuration found, named by the pool name, its
// value the configuration. Null when nothing is found or the search fails.
nvlist_t* zpool_search_import(libpc_handle_t* hdl, importargs_t* args);

// Handle of an imported pool, even when it is unavailable; null when the pool is
// not imported here (libzfs_errno EZFS_NOENT) or the lookup fails.
zpool_handle_t* zpool_open_canfail(libzfs_handle_t* hdl, const char* pool);
void zpool_close(zpool_handle_t* zhp);
nvlist_t* zpool_get_config(zpool_handle_t* zhp, nvlist_t** oldconfig);
int zpool_get_state(zpool_handle_t* zhp);
const char* zpool_get_name(zpool_handle_t* zhp);
const char* zpool_state_to_name(vdev_state_t state, vdev_aux_t aux);
const char* zpool_prop_to_name(zpool_prop_t prop);

using zpool_iter_f = int (*)(zpool_handle_t*, void*);
// Calls `func` for each imported pool (the callback owns and closes the handle);
// stops at and returns the first non-zero callback result; -1 on failure.
int zpool_iter(libzfs_handle_t* hdl, zpool_iter_f func, void* data);

std::string zpool_vdev_name(libzfs_handle_t* hdl, zpool_handle_t* zhp, nvlist_t* nv, int name_flags);
int zpool_vdev_online(zpool_handle_t* zhp, const char* path, int flags, vdev_state_t* newstate);
int zpool_refresh_stats(zpool_handle_t* zhp, boolean_t* missing);
zpool_status_t zpool_get_status(zpool_handle_t* zhp, const char** msgid);
int zpool_clear(zpool_handle_t* zhp, const char* path, nvlist_t* rewindnvl);

int zpool_import_props(libzfs_handle_t* hdl, nvlist_t* config, const char* newname, nvlist_t* props, int flags);
int zpool_enable_datasets(zpool_handle_t* zhp, const char* mntopts, int flags);
int zpool_disable_datasets(zpool_handle_t* zhp, boolean_t force);
int zpool_export(zpool_handle_t* zhp, boolean_t force, const char* log_str);

}  // namespace platform::zfs
