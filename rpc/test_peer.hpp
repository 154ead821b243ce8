// Test helpers: a raw TCP peer that speaks bytes, not msgpack-RPC, to drive the
// client and server through what a broken or hostile peer would send.
#pragma once

#include "rpc/message.hpp"
#include "rpc/socket_io.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

namespace rpc::test {

// A port on 127.0.0.1 that nothing listens on (bound, then released).
inline uint16_t unused_port()
{
    unique_fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("bind");
    socklen_t len = sizeof a;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

inline void send_bytes(int fd, const std::string& bytes)
{
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("send");
}

template <typename T>
std::string packed(const T& v)
{
    msgpack::sbuffer b;
    msgpack::pack(b, v);
    return std::string(b.data(), b.size());
}

// Reads until one msgpack object is complete (returned), the peer closes (nothing),
// or `wait` passes (throws).
inline std::optional<msgpack::object_handle> read_object(int fd, std::chrono::milliseconds wait,
                                                         msgpack::unpacker* unp)
{
    auto deadline = clock::now() + wait;
    for (;;) {
        msgpack::object_handle oh;
        if (unp->next(oh))
            return oh;
        pollfd p{fd, POLLIN, 0};
        int ms = poll_ms_until(deadline);
        if (ms == 0 || ::poll(&p, 1, ms) == 0)
            throw std::runtime_error("no reply in time");
        unp->reserve_buffer(4096);
        ssize_t n = ::recv(fd, unp->buffer(), unp->buffer_capacity(), 0);
        if (n <= 0)
            return std::nullopt;
        unp->buffer_consumed(static_cast<std::size_t>(n));
    }
}

// A blocking client socket connected to 127.0.0.1:port.
inline unique_fd raw_connect(uint16_t port)
{
    unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("connect");
    return fd;
}

// A listening socket on 127.0.0.1 with a free port.
struct raw_listener {
    unique_fd fd;
    uint16_t port = 0;

    raw_listener()
    {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.get(), 8) != 0)
            throw std::runtime_error("listen");
        socklen_t len = sizeof a;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }

    unique_fd accept_one() { return unique_fd(::accept(fd.get(), nullptr, nullptr)); }
};

}  // namespace rpc::test
