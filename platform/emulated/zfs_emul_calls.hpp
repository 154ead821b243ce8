// Internals shared by the emulated pool library's source files: the handle
// structures and the helpers every call uses on the locked state. Handles
// belong to one thread; the state is touched only inside locked().
#pragma once

#include "platform/zfs.hpp"
#include "platform/emulated/zfs_emul.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::zfs {

using json = nlohmann::json;

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

namespace emulated {

inline constexpr const char* suspended_text = "pool I/O is currently suspended";

// Records the failure on the handle; returns -1.
int set_error(libzfs_handle_t* hdl, int code, const std::string& text);
// Takes the first fault matching op/pool/host, counting down its "times".
std::optional<json> take_fault(json& state, const std::string& op, const std::string& pool, const std::string& host);
// Applies a taken fault (no shape) to the handle; returns -1.
int fault_error(libzfs_handle_t* hdl, const json& fault);
using zfs_emul::host_alive;
using zfs_emul::host_fenced;
// This host's live import of the pool with this id, or null.
json* my_pool(json& state, const std::string& id, const std::string& host);

// A change call that blocks: set by pool_for_change when a hang fault meets a
// suspended pool; the call then waits outside the lock and tries again.
struct call_block {
    bool hanging = false;  // the call has taken a hang fault and waits for its pool
    bool blocked = false;  // this attempt did not run: wait and try again
    bool fresh = false;    // this attempt took the fault (its log line is written once)
};
// What every change to an imported pool checks first: the pool is this host's live
// import, its I/O is not suspended here, and no injected fault is pending for `op`.
// Returns the pool record, or null with the failure recorded on the handle (or,
// with `block`, null with block->blocked set when the call is to wait).
json* pool_for_change(json& state, zpool_handle_t* zhp, const char* op, call_block* block = nullptr);
// Runs a change call under the state lock; while it reports itself blocked it
// waits outside the lock (100 ms slices) and runs it again, for as long as that
// takes: as on the real platform, only whoever waits for the process bounds it.
bool locked_blocking(libzfs_handle_t* hdl, const char* op, const std::string& pool,
                     const std::function<bool(json&, std::vector<json>&, call_block&)>& fn);
// The configuration of a pool record; `shape` breaks it for fault tests.
std::unique_ptr<nvlist_t> build_config(const std::string& id, const json& pool, uint64_t pool_state,
                                       const std::string& shape);
// The current pool state a handle of this host reports (UNAVAIL while suspended).
int reported_state(const json& state, const json& pool, const std::string& host);
// The configuration of a pool as `host` sees it (zfs_emul::view_of).
std::unique_ptr<nvlist_t> view_config(const json& state, const std::string& id, const json& pool,
                                      const std::string& host, uint64_t pool_state, const std::string& shape);
std::string leaf_name(const std::string& path);
json* find_leaf(json& vdevs, const std::string& name);
json op_entry(const libzfs_handle_t* hdl, const char* op, const std::string& pool);
// Runs a call under the state lock; a state failure becomes the handle's error.
bool locked(libzfs_handle_t* hdl, const std::function<bool(json&, std::vector<json>&)>& fn);
// Whether a process holds one of this host's zvol nodes of `pool` open.
bool zvols_held(const std::string& pool);

}  // namespace emulated
}  // namespace platform::zfs
