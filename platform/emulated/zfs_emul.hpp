// The emulated pool world (layout in platform/zfs.hpp): locked access to its
// state file and the administrative calls that tests, the emulation tool and the
// stand-in fencing tools use. Every call is one read-modify-write under the
// exclusive flock of "<root>/zfs/lock", so processes acting as different hosts
// share it safely; nothing is cached in the process.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::zfs_emul {

using json = nlohmann::json;

// How long an import of a multihost pool that another host may hold watches the
// labels for its writes, unless the state's "activity_window_ms" says otherwise:
// the real library's default (20 import intervals of 1 s).
inline constexpr int64_t default_activity_window_ms = 20000;

// "<KELM_EMUL_ROOT>/zfs"; empty when the platform is not emulated.
std::string state_dir();

// Runs `fn` on the state under the lock and writes the state back when `fn`
// returns true. Entries `fn` appends to `ops` go to ops.log under the same lock.
// False with a reason when the platform is not emulated or the files fail; a
// state file that does not parse is a failure too (nothing is overwritten).
bool with_state(const std::function<bool(json& state, std::vector<json>& ops)>& fn, std::string* err);

// ---- administration (tests, tool, fencing stand-ins) ----

// Adds a pool from a partial description (defaults filled in: visible in both
// directory kinds, not imported, one healthy leaf, dataset named like the pool);
// returns its id.
std::optional<int64_t> create_pool(const json& spec, std::string* err);

// Merges `patch` (RFC 7386 merge patch) into every pool named `pool`, or the one
// whose id is `pool` in decimal; false when none matches.
bool update_pool(const std::string& pool, const json& patch, std::string* err);

// Cuts `host` off from the other hosts' disks or gives its access back (see zfs.hpp).
bool fence_host(const std::string& host, bool fenced, std::string* err);
// The hosts whose disks each host cannot reach over the fabric although it is not
// fenced as a whole ({"<host>": ["<disk host>", ...]}); replaces the whole map.
bool set_cut_from(const json& cuts, std::string* err);
// Marks a host up or down: a down host (stopped or hung) keeps its imports, shows
// no multihost activity and serves its disks to nobody; up again, it goes on.
bool set_host_alive(const std::string& host, bool alive, std::string* err);
// The host crashed and rebooted: every import of it is gone (no cache file), the
// labels still name it, and the other holders lost its disks for a moment.
// `dropped` gets the names of the pools it held.
bool host_crash(const std::string& host, std::vector<std::string>* dropped, std::string* err);
// Only the daemon of the host died: its kernel keeps every import writable and its
// multihost activity goes on. Nothing changes but the operation log; `kept` gets
// the names of the pools it still holds.
bool daemon_crash(const std::string& host, std::vector<std::string>* kept, std::string* err);
// Re-checks who can write each pool after a change outside the pool world (a
// shared disk's reservation): a host that can newly write a pool next to another
// writer counts as a double import with `cause`. Does nothing while the pool world
// has not been made. Takes the pool world's lock, then the disks' (never the
// other way round).
bool resettle(const std::string& cause, std::string* err);
// Sets world-wide settings ("activity_window_ms", an integer >= 0).
bool set_settings(const json& patch, std::string* err);
// The pools as `host` sees them: leaf states, health word, suspended or not.
std::optional<json> host_view(const std::string& host, std::string* err);

// Appends a fault {op, pool, host, errno, text, times, shape}.
bool add_fault(const json& fault, std::string* err);

std::optional<json> read_state(std::string* err);
// ops.log entries in order.
std::vector<json> read_ops(std::string* err);

// ---- shared by the backend ----

// Fills the absent members of a pool record with their empty values; false when
// a present member has the wrong kind.
bool normalize_pool(json& pool);
// Whether a fault record's members have their kinds: "op", "pool", "host", "text",
// "shape" strings, "errno" and "times" integers (absent ones are fine).
bool fault_well_formed(const json& fault);
// Derived root vdev state of a pool record (its "root_state" when set).
uint64_t root_state(const json& pool);

// ---- who reaches what (zfs_emul_world.cpp); callers hold the lock ----

// Monotonic milliseconds, comparable between the processes of one machine.
int64_t now_ms();
bool host_fenced(const json& state, const std::string& host);
bool host_alive(const json& state, const std::string& host);
// Whether `host` reaches the disk of this leaf. A leaf with "disk": "<name>" lies
// on a shared emulated disk (disk_emul.hpp): only hosts its reservation lets
// write reach it (this reads the disk under its own lock).
bool reaches(const json& state, const std::string& host, const json& leaf);
// A copy of the pool record with each leaf's state as `host` sees it.
json view_of(const json& state, const json& pool, const std::string& host);
// Whether the pool's I/O is suspended for `host`: no leaf it reaches and still uses.
bool suspended_for(const json& state, const json& pool, const std::string& host);
// Whether `host` reaches no leaf of the pool at all.
bool reaches_none(const json& state, const json& pool, const std::string& host);
// Paths of the leaves `host` does not reach.
json unreachable_leaves(const json& state, const json& pool, const std::string& host);
// Whether `importer` would see the multihost writes of `holder` on a shared leaf.
bool activity_visible(const json& state, const json& pool, const std::string& holder, const std::string& importer);
// After a change from `before` to `state`: holders lose the disks that went away
// under a usable pool, zvol nodes follow suspension, and every host that has just
// become an unfenced holder next to another one counts as a double import (an
// op entry "double-import" with `cause`).
void settle(const json& before, json& state, std::vector<json>& ops, const std::string& cause);
// Creates or removes the zvol device nodes of `pool` for `host`.
void make_zvol_nodes(const json& pool, const std::string& host);
void remove_zvol_nodes(const json& pool, const std::string& host);

}  // namespace platform::zfs_emul
