// msgpack-RPC client: connect with a bounded wait, one call at a time, replies
// matched by msgid, every failure sorted into the three kinds of errors.hpp.
#include "rpc/client.hpp"

#include "rpc/message.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace rpc {

client::client(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}

std::string client::peer() const
{
    return host_ + ":" + std::to_string(port_);
}

bool client::connect(std::chrono::milliseconds wait)
{
    fd_.reset();
    auto addr = resolve_ipv4(host_, port_);
    if (!addr)
        return false;
    const auto deadline = clock::now() + wait;
    for (;;) {
        unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd)
            return false;
        prepare_stream_socket(fd.get());
        int rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd.get(), POLLOUT, 0};
            int r;
            do {
                r = ::poll(&p, 1, poll_ms_until(deadline));
            } while (r < 0 && errno == EINTR);
            if (r <= 0)
                return false;  // the wait is over while the handshake is still pending
            int soerr = 0;
            socklen_t len = sizeof soerr;
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soerr, &len);
            rc = soerr == 0 ? 0 : -1;
        }
        if (rc == 0) {
            fd_ = std::move(fd);
            return true;
        }
        // Refused (the peer may be starting up) or unreachable: try again until the
        // wait is over.
        auto left = deadline - clock::now();
        if (left <= clock::duration::zero())
            return false;
        std::this_thread::sleep_for(std::min<clock::duration>(left, std::chrono::milliseconds(10)));
    }
}

msgpack::object_handle client::exchange(const std::string& method, uint32_t msgid, const msgpack::sbuffer& request)
{
    if (!fd_)
        throw protocol_error("rpc: not connected to " + peer());
    const auto deadline = clock::now() + timeout_;
    const auto timed_out = [&] {
        fd_.reset();
        return timeout_error("rpc: call '" + method + "' to " + peer() + " timed out after " +
                             std::to_string(timeout_.count()) + " ms");
    };
    // Once any byte may have reached the peer, a lost connection leaves the outcome
    // unknown, as a time-out does: the caller is to try again, not to settle.
    const auto lost = [&](int err) {
        fd_.reset();
        return timeout_error("rpc: connection to " + peer() + " lost during call '" + method + "': " +
                             (err != 0 ? std::strerror(err) : "closed by peer") + " (outcome unknown)");
    };

    int err = 0;
    switch (send_all(fd_.get(), request.data(), request.size(), deadline, &err)) {
    case io_status::ok:
        break;
    case io_status::timed_out:
        throw timed_out();
    case io_status::broken:
        throw lost(err);
    }

    msgpack::unpacker unp = make_unpacker();
    for (;;) {
        pollfd p{fd_.get(), POLLIN, 0};
        int ms = poll_ms_until(deadline);
        if (ms == 0)
            throw timed_out();
        int r = ::poll(&p, 1, ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            throw lost(errno);
        if (r == 0)
            continue;  // the deadline check above ends the wait
        unp.reserve_buffer(read_chunk_bytes);
        ssize_t n = ::recv(fd_.get(), unp.buffer(), unp.buffer_capacity(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            throw lost(n < 0 ? errno : 0);
        unp.buffer_consumed(static_cast<std::size_t>(n));

        msgpack::object_handle oh;
        try {
            while (unp.next(oh)) {
                const msgpack::object& msg = oh.get();
                if (msg.type != msgpack::type::ARRAY || msg.via.array.size == 0)
                    throw protocol_error("reply is not a msgpack-RPC array");
                const msgpack::object* el = msg.via.array.ptr;
                auto type = as_u32(el[0]);
                if (type && *type == type_notification)
                    continue;  // nothing of ours
                if (!type || *type != type_response || msg.via.array.size != 4)
                    throw protocol_error("reply is not a msgpack-RPC response");
                auto id = as_u32(el[1]);
                if (!id)
                    throw protocol_error("reply id is not an unsigned 32-bit integer");
                if (*id != msgid)
                    continue;  // a late reply to an earlier call on this connection
                if (el[2].type != msgpack::type::NIL)
                    throw rpc_error(method, el[2]);
                msgpack::object result = el[3];
                return msgpack::object_handle(result, std::move(oh.zone()));
            }
        } catch (const rpc_error&) {
            throw;
        } catch (const std::exception& e) {
            fd_.reset();
            throw protocol_error("rpc: malformed reply from " + peer() + " to call '" + method + "': " + e.what());
        }
        if (unp.nonparsed_size() > max_message_bytes) {
            fd_.reset();
            throw protocol_error("rpc: reply from " + peer() + " to call '" + method + "' is too large");
        }
    }
}

}  // namespace rpc
