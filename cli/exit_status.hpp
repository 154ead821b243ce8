// Exit statuses of pellix-cluster and the exception that carries one to main.
// Code deep in a command prints its message and throws `exit_now`; main returns
// the status, so every ZMQ socket and context on the way is torn down by RAII.
#pragma once

namespace cli {

inline constexpr int exit_ok = 0;
inline constexpr int exit_bad_reply = 1;
inline constexpr int exit_recv_timeout = 5;
inline constexpr int exit_unreachable = 6;
inline constexpr int exit_error_reply = 11;
inline constexpr int exit_usage = 12;
inline constexpr int exit_ha_config = 13;       // ha disk status: no usable "ha" section
inline constexpr int exit_ha_none_read = 14;    // ha disk status: no disk could be read
inline constexpr int exit_ha_some_failed = 15;  // ha disk status: some disks unreadable
inline constexpr int exit_no_config = -3;
inline constexpr int exit_no_mgmt_url = -7;

// Thrown after the message was printed; main returns `status`.
struct exit_now {
    int status;
};

}  // namespace cli
