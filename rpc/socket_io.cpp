// TCP socket plumbing: descriptors, resolution, deadline-bounded sends.
#include "rpc/socket_io.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rpc {

unique_fd& unique_fd::operator=(unique_fd&& o) noexcept
{
    if (this != &o)
        reset(o.release());
    return *this;
}

int unique_fd::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void unique_fd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

std::optional<sockaddr_in> resolve_ipv4(const std::string& host, uint16_t port, std::string* why)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        if (why != nullptr)
            *why = rc != 0 ? ::gai_strerror(rc) : "no address";
        return std::nullopt;
    }
    sockaddr_in addr{};
    std::memcpy(&addr, res->ai_addr, sizeof addr);
    ::freeaddrinfo(res);
    addr.sin_port = htons(port);
    return addr;
}

void prepare_stream_socket(int fd)
{
    int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int poll_ms_until(clock::time_point deadline)
{
    auto left = deadline - clock::now();
    if (left <= clock::duration::zero())
        return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

io_status send_all(int fd, const char* data, std::size_t size, clock::time_point deadline, int* err)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            int ms = poll_ms_until(deadline);
            if (ms == 0)
                return io_status::timed_out;
            int r = ::poll(&p, 1, ms);
            if (r < 0 && errno != EINTR) {
                if (err != nullptr)
                    *err = errno;
                return io_status::broken;
            }
            continue;
        }
        if (err != nullptr)
            *err = n < 0 ? errno : EPIPE;
        return io_status::broken;
    }
    return io_status::ok;
}

}  // namespace rpc
