// Pool operations of the node action programs over the pool library
// (platform/zfs.hpp) and the process-file scan (platform/procstat.hpp). Every
// operation opens and closes its own library handle. Single-threaded programs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nodeactions {

// Waits between vdev online attempts; tests pass a recorder instead of sleeping.
using sleeper = std::function<void(std::chrono::milliseconds)>;
void real_sleep(std::chrono::milliseconds d);

struct pool_holder {
    int32_t pid = 0;
    std::string command;
    std::string device;  // "/dev/" + the device name
};

// Whether a pool is imported on this host. unknown: the library did not start
// or the pool lookup failed for another reason than "no such pool"; the text
// then says why. Stopping must not take unknown for "exported".
enum class pool_presence { no, yes, unknown };

// Health word of the first live importable configuration named `pool`
// (default search directories); none when there is none or on error (err set).
std::optional<std::string> pool_find_importable(const std::string& pool, std::string* err);

// The import gate: true with the health word ("ONLINE"/"DEGRADED") in `text`,
// else false with the reason in `text`.
bool pool_import_check(const std::string& pool, std::string* text);

pool_presence pool_is_imported(const std::string& pool, std::string* err = nullptr);

// Imports from "/dev/diskid" with ANY_HOST (recovery: ANY_HOST | IMPORT_ONLY, nothing
// mounted). After a normal import `mounted` tells whether the datasets were
// mounted (false when the pool is unavailable or mounting failed).
// Whether the pool is imported here with its I/O suspended (this host reaches
// none of the disks it still uses): the library opens it with pool state
// UNAVAIL. False when it is not imported, usable, or cannot be read.
bool pool_is_suspended(const std::string& pool);

bool pool_import(const std::string& pool, bool recovery, std::string* err, bool* mounted = nullptr);

// Unmounts and exports. Like the real library, this blocks for as long as the
// pool's I/O is suspended (a host cut off from every disk of the pool), and the
// process cannot be stopped while the kernel holds it there. Nothing in this
// program bounds that wait: the daemon's Runner call does (300 s, the monitor's
// runner_call_timeout), whose "ETIMEDOUT" keeps the service action's transitional
// run state, so the service pass tries again later. A caller that must not wait
// that long (stopping the services of others on a node before unfencing it) bounds
// its own call.
bool pool_export(const std::string& pool, bool force, std::string* err);

// Brings the bad leaves of a DEGRADED pool back (five attempts each, sleeping
// 1 s, 0.75 s, 0.5 s, 0.25 s, 0 s after the failed ones), then clears a pool
// whose status is FAILING_DEV with rewind policy 1.
bool pool_online_vdevs(const std::string& pool, std::string* err, const sleeper& sleep = real_sleep);

// pool_online_vdevs for each imported DEGRADED pool; their failures are ignored.
bool pools_online_degraded(std::string* err, const sleeper& sleep = real_sleep);

// Processes holding a zvol of the pool open, one entry per process.
std::vector<pool_holder> find_pool_holders(const std::string& pool, std::string* err);

// Logs each holder as an error line in `phase`/`context`; returns their number.
int report_pool_holders(const std::string& phase, const std::string& context, const std::string& pool);

}  // namespace nodeactions
