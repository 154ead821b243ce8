// UDP endpoint: one 448-byte record per datagram, sent as it lies in memory.
// The server must survive anything a stranger can send: short, foreign, malformed or
// forged datagrams (a record is believed only from its sender's configured address)
// are dropped with a throttled warning; only real socket errors are fatal.
#include "daemon/core/udp.hpp"

#include "daemon/core/log_throttle.hpp"
#include "platform/process.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace raft::transport {

namespace {

addrinfo* resolve(const std::string& addr, int port, const char* what)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* res = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(addr.c_str(), service.c_str(), &hints, &res);
    if (rc != 0 || res == nullptr) {
        spdlog::error("[udp] {}:{}: {}", addr, service, rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
        platform::fatal("%s\n", what);
    }
    return res;
}

std::string peer_text(const sockaddr_in& sa)
{
    return fmt::format("{}:{}", ipv4_text(sa.sin_addr), ntohs(sa.sin_port));
}

}  // namespace

udp::udp(const std::string& local_addr, int local_port, const std::string& peer_addr, int peer_port,
         uint32_t mode, raft::mq_t* queue)
    : netsock(mode, queue)
{
    local_ = resolve(local_addr, local_port, "can't resolve local addr");
    if (mode != 0)
        peer_ = resolve(peer_addr, static_cast<uint16_t>(peer_port), "can't resolve peer addr");
    name_ = mode == 0 ? fmt::format("[srv {}:{}]", local_addr, static_cast<uint16_t>(local_port))
                      : fmt::format("[clnt {}:{}]", peer_addr, static_cast<uint16_t>(peer_port));
}

in_addr udp::peer_address() const
{
    sockaddr_in sa{};
    if (peer_ != nullptr)
        std::memcpy(&sa, peer_->ai_addr, std::min<size_t>(sizeof sa, peer_->ai_addrlen));
    return sa.sin_addr;
}

udp::~udp()
{
    if (sock_ >= 0)
        ::close(sock_);
    if (local_ != nullptr)
        ::freeaddrinfo(local_);
    if (peer_ != nullptr)
        ::freeaddrinfo(peer_);
}

void udp::open()
{
    sock_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock_ < 0)
        platform::fatal("Can't create socket\n");
    if (mode != 0)
        return;
    // No SO_REUSEADDR: on Linux it would let a second daemon bind the same port and
    // take half of this node's traffic.
    timeval tv{0, 500000};  // the stop flag is looked at after every time-out
    if (::setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        platform::fatal("Can't set receive timeout\n");
}

void udp::bind_local()
{
    if (::bind(sock_, local_->ai_addr, local_->ai_addrlen) != 0) {
        const int err = errno;
        // The line fatal writes names no address: say which one, and why.
        sockaddr_in local{};
        std::memcpy(&local, local_->ai_addr, std::min<size_t>(sizeof local, local_->ai_addrlen));
        spdlog::error("[udp] {} can't bind {}: {}", name_, peer_text(local), std::strerror(err));
        errno = err;
        platform::fatal("can't bind\n");
    }
}

void* udp::client()
{
    open();
    bind_local();
    spdlog::info("{} started", name_);
    failure_run failures;
    while (!stop.load()) {
        raft_msg_t msg;
        if (mq_pop(queue, &msg, 0) != 0)
            continue;
        if (msg.type == STOP_THREAD) {
            stop.store(true);
            break;
        }
        ssize_t n = ::sendto(sock_, &msg, MSG_SIZE, MSG_NOSIGNAL, peer_->ai_addr, peer_->ai_addrlen);
        if (n == static_cast<ssize_t>(MSG_SIZE)) {
            spdlog::trace("{} send message type {} to: [{}]", name_, msg.type, msg.to);
            failures.on_success();
            passed_.fetch_add(1);
            continue;
        }
        int err = n < 0 ? errno : EMSGSIZE;
        // One warning per unbroken run of failures: a peer that is down must not
        // flood the log with one line per heartbeat.
        if (failures.on_failure())
            spdlog::warn("{} can't send message type {} to [{}], sock = {}, err = {}", name_, msg.type, msg.to,
                         sock_, std::strerror(err));
    }
    spdlog::info("{} stopped", name_);
    return nullptr;
}

void* udp::server()
{
    open();
    bind_local();
    spdlog::info("{} started", name_);
    log_throttle warnings(drop_warning_interval);
    while (!stop.load()) {
        raft_msg_t msg;
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        // A longer datagram is cut to its first record by the read itself.
        ssize_t n = ::recvfrom(sock_, &msg, MSG_SIZE, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
                continue;  // time-out: look at the stop flag again
            spdlog::error("{} can't recv message error: {} {}", name_, err, std::strerror(err));
            platform::process_exit(1);
        }
        size_t len = static_cast<size_t>(n);
        if (len < MSG_SIZE)  // the filter and the log must never see stale bytes
            std::memset(reinterpret_cast<char*>(&msg) + len, 0, MSG_SIZE - len);
        // The source as the kernel saw it: FreeBSD and Linux alike report the address
        // the sending socket is bound to, which for a peer is its `internal_addr`.
        drop_reason why = filter_.check(msg, len, from.sin_addr);
        if (why != drop_reason::none) {
            dropped_.fetch_add(1);
            uint64_t held_back = 0;
            if (warnings.allow(&held_back)) {
                std::string more = held_back == 0 ? std::string()
                                                  : fmt::format(" ({} more dropped since the last warning)", held_back);
                spdlog::warn("{} drop datagram from {}: {}{}", name_, peer_text(from), filter_.describe(why, msg, len), more);
            }
            continue;
        }
        spdlog::trace("{} recv message, type {}, len = {} from [{}]", name_, msg.type, len, msg.from);
        passed_.fetch_add(1);  // counted before the consumer can see the record
        mq_push(queue, &msg);
    }
    spdlog::info("{} stopped", name_);
    return nullptr;
}

}  // namespace raft::transport
