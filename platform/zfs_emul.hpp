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

// Cuts `host` off from the shared disks or gives its access back (see zfs.hpp).
bool fence_host(const std::string& host, bool fenced, std::string* err);
// Marks a host up or down (a down holder has no multihost activity).
bool set_host_alive(const std::string& host, bool alive, std::string* err);

// Appends a fault {op, pool, host, errno, text, times, shape}.
bool add_fault(const json& fault, std::string* err);

std::optional<json> read_state(std::string* err);
// ops.log entries in order.
std::vector<json> read_ops(std::string* err);

// ---- shared by the backend ----

// Fills the absent members of a pool record with their empty values; false when
// a present member has the wrong kind.
bool normalize_pool(json& pool);
// Derived root vdev state of a pool record (its "root_state" when set).
uint64_t root_state(const json& pool);
// Creates or removes the zvol device nodes of `pool` for `host`.
void make_zvol_nodes(const json& pool, const std::string& host);
void remove_zvol_nodes(const json& pool, const std::string& host);

}  // namespace platform::zfs_emul
