// The narrow pool-library interface the node action programs call: the handful of
// pool calls they make, with the names, argument order and results of the
// operating system's pool library, so a backend over the real libraries can
// replace the emulated one file for file. Handles are single-threaded: a process
// uses a library handle from one thread at a time.
//
// Numbers: only the values the programs compare are the library's own (vdev
// state 5 FAULTED and 6 DEGRADED, pool state 2 DESTROYED and 6 UNAVAIL, status 8
// FAILING_DEV and 13-15 IO_FAILURE_* (a suspended pool), import flags 2 ANY_HOST
// and 8 IMPORT_ONLY, pool property 10 cachefile); every other value here is this
// layer's own.
//
// ---- Emulated backend (emulated/zfs_emulated*.cpp, emulated/zfs_emul_*.cpp) ----
//
// Tool: "kelm-emul-zfs" (create, update, fault, settings, fence, unfence,
// host-down, host-up, host-crash, daemon-crash, show, view, ops, double-imports)
// and the calls of platform/emulated/zfs_emul.hpp.
//
// Files, under "$KELM_EMUL_ROOT/zfs/":
//   lock       never replaced; every call takes an exclusive flock on it for one
//              read-modify-write of the state (a lock on state.json itself would
//              be lost at each rename)
//   state.json the whole pool world, rewritten through "state.json.tmp" + rename
//   ops.log    append-only, one JSON object per call ({"host","op","pool",...}),
//              written under the same lock so its order is the order of the calls;
//              besides the library calls it holds "fence", "unfence", "host-down",
//              "host-up", "host-crash", "daemon-crash", "activity-check" (an import
//              that watches a multihost pool, with "window_ms") and "double-import"
//              ({"host": the new writer, "pool", "with": the other writers,
//              "cause": "import", "unfence", ...}); a call that starts to hang is
//              logged once with "result": "hanging"
//
// state.json (every member below may be absent and then takes its empty value;
// files of earlier versions read the same):
//   {
//     "next_id": 3,                      // pools are keyed by id, not by name, so a
//                                        // destroyed and a live configuration of one
//                                        // name can coexist
//     "double_imports": 0,               // moments at which a host became an unfenced
//                                        // holder of a pool that another unfenced host
//                                        // held: by importing it, or by being unfenced
//                                        // while it still had it imported
//     "activity_window_ms": 20000,       // how long a multihost import watches (absent:
//                                        // 20 s, the real library's default)
//     "hosts": { "<host>": {
//         "fenced": false,               // cut off from every other host's disks
//         "alive": true,                 // false: stopped or hung (imports kept)
//         "cut_from": ["node1"],         // disk hosts it does not reach although it
//                                        // is not fenced as a whole (set by the
//                                        // target/initiator stand-ins, per link)
//         "quiet_since_ms": 123 } },     // monotonic ms at which its multihost writes
//                                        // last stopped being seen (down, fenced, crash)
//     "pools": { "<id>": {
//         "name": "tank", "destroyed": false,
//         "visible": { "diskid": true, "default": true },   // the search directories
//                                        // that show it: "/dev/diskid" vs the defaults
//         "imported_by": { "<host>": { "import_only": false,
//                                      "lost": ["/dev/diskid/DISK-B"] } },
//                                        // "lost": leaves whose disk went away under this
//                                        // holder while the pool stayed usable there;
//                                        // they stay unavailable to it until onlined
//         "active_on": "node1",          // the host the labels name ("" once cleanly
//                                        // exported); a host crash leaves it
//         "label_gen": 4,                // bumped by every import and export
//         "multihost": false,            // imports watch for another holder's writes
//         "state": 0, "status": 0,       // pool state and status code as reported
//         "root_state": null,            // forces the root vdev state (e.g. 5 FAULTED);
//                                        // null: derived from the leaves
//         "vdevs": [ { "type": "mirror", "children": [            // interior vdevs nest
//                        { "path": "/dev/diskid/DISK-A", "host": "node1",
//                          "state": 7, "aux": 0,
//                          "online_script": ["faulted", "error", "ok"] } ] } ],
//                                        // leaves: "host" is the node whose own disk
//                                        // this is (empty: a disk of no node, reached
//                                        // only through the fabric); "state" the state
//                                        // the pool's configuration records; the
//                                        // "online_script" the outcomes of the next
//                                        // zpool_vdev_online calls on the leaf ("ok",
//                                        // "faulted", "unavail", "error": the call
//                                        // fails), consumed in order. Interior and root
//                                        // states follow the leaves: all ONLINE, none
//                                        // ONLINE (UNAVAIL), else DEGRADED.
//         "datasets": [ { "name": "tank", "mounted": false, "busy": false,
//                         "mount_fail": false } ],
//         "zvols": [ "vol1" ],
//         "cachefile": "", "rewind_policy": null,
//         "exports": [ { "host": "node1", "force": true, "history": "..." } ] } },
//     "faults": [ { "op": "import", "pool": "", "host": "", "errno": 5,
//                   "text": "...", "times": 1, "shape": "", "hang": false } ]
//   }
//   A member of the wrong kind makes every call fail with "pool state malformed"
//   (nothing is rewritten).
//
// Who reaches which disk (the host is platform::get_hostname(), KELM_EMUL_HOST):
//   - A host always reaches its own disks (leaf "host" = itself). It reaches
//     another leaf unless it is fenced, the leaf's host is fenced or down, or the
//     leaf's host is in its "cut_from". Fencing a host (fence_host; the stand-in
//     target and initiator tools call it when every other host has cut it off)
//     thus takes the other hosts' disks from it and its disks from the others.
//   - Each host sees a pool with the leaves it does not reach, and the leaves its
//     import has lost, as UNAVAIL (13). A holder that reaches none of the leaves it
//     still uses has its pool suspended: its opens report pool state UNAVAIL, its
//     zvol nodes are removed, and its mount, unmount, export and online calls fail
//     with "pool I/O is currently suspended" (or block: a "hang" fault), and its
//     zpool_get_status answers ZPOOL_STATUS_IO_FAILURE_WAIT. When its
//     disks return, a suspended pool resumes with them and gets its zvol nodes
//     back; a pool that stayed usable does not take a returning disk back by itself
//     ("lost") until zpool_vdev_online brings it back.
//   - zpool_vdev_online of a leaf whose disk this host does not reach answers
//     success with the new state UNAVAIL, as the real library does; the script
//     outcome "error" (or an "online" fault) makes the call fail instead.
//   - zpool_open_canfail and zpool_iter see only the live pools this host has
//     imported; zpool_search_import lists a pool only when this host has not
//     imported it, reaches at least one of its leaves and it is visible in the
//     asked directory (destroyed ones too, with state 2).
//   - Import refuses a pool this host reaches no leaf of ("cannot import: no access
//     to the pool's devices") or whose health seen from here is UNAVAIL/FAULTED.
//     Without ANY_HOST it refuses a pool whose labels name another host. With it,
//     a multihost pool whose labels name another host is watched for
//     "activity_window_ms" (a real sleep, the state lock released): the import is
//     refused ("... (multihost activity detected)") when a holder's writes were
//     seen (a holder alive, using a leaf this host reaches, at the start or the
//     end of the window, or one that went quiet meanwhile) or anybody rewrote the
//     labels meanwhile. An import by the host the labels name needs no watch.
//     Labels are read and written in one locked step, so two importers never both
//     pass on labels the other one is writing; on the real platform they can.
//   - Importing creates character-device nodes "<device dir>/zvol/<pool>/<vol>"
//     (device_dir() in platform/procstat.hpp); exporting removes them.
//   - Hosts: "host-down" marks a host stopped (a hung machine: imports kept, no
//     multihost writes, its disks served to nobody); "host-up" lets it go on with
//     its imports. "host-crash" is a crash and reboot: every import of the host is
//     dropped as after a boot without a cache file, the labels still name it, and
//     the other holders lose its disks as they vanished for a moment. "daemon-crash"
//     is only the daemon dying: the kernel keeps every import writable and the
//     multihost writes going, so nothing changes but the log.
//   - Faults: the first entry matching {op, pool, host} ("" matches any) is taken
//     and its "times" decremented (removed at 0; -1 never runs out), all under the
//     lock, so "fail once, then succeed" holds across processes. "shape" breaks
//     the configuration that a search (op "search") or an open (op "open") hands
//     back ("not_nvlist", "no_state", "no_vdev_tree", "no_vdev_stats") instead
//     of failing the call. A fault with "hang": true is taken only by a call that
//     meets a suspended pool, which then blocks (100 ms polls, no lock held) for as
//     long as the pool stays suspended and goes on when it resumes; an "export"
//     hang is taken by the unmount that starts an export too. Only whoever waits
//     for the process bounds such a call. Fault ops: init, search, open, import,
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
    // The pool's I/O is suspended (failmode "wait", "continue", or a multihost
    // write that did not land): the host has lost the pool's storage.
    ZPOOL_STATUS_IO_FAILURE_WAIT = 13,
    ZPOOL_STATUS_IO_FAILURE_CONTINUE = 14,
    ZPOOL_STATUS_IO_FAILURE_MMP = 15,
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
