// Exit statuses of the node action programs: one table for both, disjoint where the
// programs differ, since the caller reads only the status and the phase lines.
#pragma once

namespace nodeactions {

inline constexpr int exit_ok = 0;
inline constexpr int exit_usage = 1;
inline constexpr int exit_wrong_action = 10;
inline constexpr int exit_config_missing = 11;   // missing, not regular, or not openable
inline constexpr int exit_config_parse = 12;
inline constexpr int exit_service_not_found = 13;
inline constexpr int exit_node_not_found = 14;
// A member that a program reads has another JSON type than the schema gives it
// (e.g. a service's "pools" that is not an array of strings, a malformed service
// address): the run ends in phase "config" before anything is changed.
inline constexpr int exit_config_invalid = 15;
inline constexpr int exit_pool_import = 20;
inline constexpr int exit_ext_ip_add = 25;
inline constexpr int exit_pool_not_importable = 29;
inline constexpr int exit_pool_export = 30;      // busy, export failed, or state unknown (stop)
inline constexpr int exit_ext_ip_remove = 35;
inline constexpr int exit_recovery_export = 47;
inline constexpr int exit_recovery_import = 48;
inline constexpr int exit_ctl_port_switch = 50;
inline constexpr int exit_ctl_port_list = 51;
// nodefence could not take the lock that orders its runs for one node.
inline constexpr int exit_fence_lock = 52;

}  // namespace nodeactions
