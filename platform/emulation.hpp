// Where the emulated machine lives: the environment variables that stand in for the
// machine on Linux, and the mapping of fixed FreeBSD paths into the emulated tree.
//
// KELM_EMUL_ROOT  directory that holds every piece of emulated state (sysctl values,
//                 disks with reservations, pools, CTL ports, iSCSI sessions) shared
//                 by all processes; each backend locks its own files.
// KELM_EMUL_HOST  host name that get_hostname() returns instead of the kernel's
//                 (only while KELM_EMUL_ROOT is set), so
//                 several nodes can run on one machine without root.
//
// With both unset every fixed path is the production path, unchanged.
#pragma once

#include <optional>
#include <string>

namespace platform {

inline constexpr const char* emul_root_env = "KELM_EMUL_ROOT";
inline constexpr const char* emul_host_env = "KELM_EMUL_HOST";

// The emulated-platform directory, when KELM_EMUL_ROOT is set and not empty.
std::optional<std::string> emulated_root();

// A fixed system path as this process must use it: unchanged in production,
// "<root>/fs<path>" when the platform is emulated.
std::string system_path(const std::string& production_path);

// Creates a directory and its parents (like mkdir -p); returns false on failure.
bool make_dirs(const std::string& path);

}  // namespace platform
