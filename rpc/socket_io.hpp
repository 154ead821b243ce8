// TCP socket plumbing shared by the RPC client and server: an owning descriptor,
// IPv4 resolution, and sends bounded by a deadline that never raise SIGPIPE.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace rpc {

using clock = std::chrono::steady_clock;

// Owns one file descriptor; closes it when destroyed or reset.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& o) noexcept : fd_(o.release()) {}
    unique_fd& operator=(unique_fd&& o) noexcept;
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// The first IPv4 address of `host` (a dotted address or a name) with `port`;
// nothing when it does not resolve (the reason in *why when given).
std::optional<sockaddr_in> resolve_ipv4(const std::string& host, uint16_t port, std::string* why = nullptr);

// Puts the socket in non-blocking mode and turns Nagle off (one request, one reply:
// nothing to coalesce, and delayed ACKs would add 40 ms to a call).
void prepare_stream_socket(int fd);

// Milliseconds left until `deadline` for poll(), rounded up, never negative.
int poll_ms_until(clock::time_point deadline);

enum class io_status { ok, timed_out, broken };

// Writes all of [data, data+size) to the non-blocking socket before `deadline`.
// broken: the peer closed or reset the connection (errno kept in *err).
io_status send_all(int fd, const char* data, std::size_t size, clock::time_point deadline, int* err = nullptr);

}  // namespace rpc
