// libFuzzer target: msgpack-RPC frames from an untrusted peer, at both ends. The
// first input byte picks the end, the rest is what the peer sends:
//   0  the bounded unpacker fed in pieces (sizes from the input, as reads split a
//      stream) and the check of every decoded message, as both ends read;
//   1  a real server on loopback: the bytes arrive on a connection, which the
//      fuzzer then half-closes; every reply must be a well-formed response;
//   2  a real client calling "ping": the bytes are the peer's answer; the call
//      must end in a result or one of the client's three failure types.
// The server's methods do what the stand-in Runner's do with params: render them as
// text, pack them back, fail with an empty or non-standard exception.
#include "rpc/client.hpp"
#include "rpc/errors.hpp"
#include "rpc/message.hpp"
#include "rpc/server.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

void expect(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "rpc_frames_fuzz: %s\n", what);
        std::abort();
    }
}

// ---- 0: decoding in pieces ----

void decode(const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    // The first byte sets the piece size (1..256), as reads split a stream.
    const size_t piece = static_cast<size_t>(data[0]) + 1;
    ++data;
    --size;
    msgpack::unpacker unp = rpc::make_unpacker();
    try {
        for (size_t at = 0; at < size;) {
            const size_t n = std::min(piece, size - at);
            unp.reserve_buffer(rpc::read_chunk_bytes);
            std::memcpy(unp.buffer(), data + at, n);
            unp.buffer_consumed(n);
            at += n;
            msgpack::object_handle oh;
            while (unp.next(oh)) {
                const rpc::call_check check = rpc::check_incoming(oh.get());
                expect(check.call.has_value() != !check.problem.empty(), "a check with both or neither outcome");
                expect(!check.reply_to || !check.call, "a valid call that is also refused");
                if (check.call) {
                    expect(check.call->params != nullptr && check.call->params->type == msgpack::type::ARRAY,
                           "params that are not an array");
                    (void)rpc::object_text(*check.call->params);
                }
                (void)rpc::object_text(oh.get());
            }
        }
    } catch (const msgpack::unpack_error&) {
        // The ends close the connection on it.
    }
}

// ---- 1: a real server ----

rpc::server& the_server()
{
    static rpc::server* srv = [] {
        auto* s = new rpc::server("127.0.0.1", 0);
        s->bind("ping", [](const msgpack::object&) { return rpc::value::of(std::string("pong")); });
        s->bind("service", [](const msgpack::object& params) { return rpc::value::of(rpc::object_text(params)); });
        s->bind("echo", [](const msgpack::object& params) { return rpc::value::of(params); });
        s->bind("fail", [](const msgpack::object&) -> rpc::value { throw std::runtime_error(""); });
        s->bind("odd", [](const msgpack::object&) -> rpc::value { throw 7; });
        s->start();
        return s;
    }();
    return *srv;
}

int connect_to(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    expect(fd >= 0, "socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        // libFuzzer's time-out alarm interrupts blocking calls: the handshake goes on.
        expect(errno == EINTR, "connect");
        pollfd p{fd, POLLOUT, 0};
        while (::poll(&p, 1, -1) < 0)
            expect(errno == EINTR, "poll");
        int err = 0;
        socklen_t len = sizeof err;
        expect(::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0, "connect");
    }
    return fd;
}

bool write_all(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;  // the server closed first: fine
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void check_replies(const std::string& bytes)
{
    msgpack::unpacker unp = rpc::make_unpacker();
    unp.reserve_buffer(bytes.size());
    std::memcpy(unp.buffer(), bytes.data(), bytes.size());
    unp.buffer_consumed(bytes.size());
    msgpack::object_handle oh;
    while (unp.next(oh)) {
        const msgpack::object& m = oh.get();
        expect(m.type == msgpack::type::ARRAY && m.via.array.size == 4, "a reply that is not [1, id, error, result]");
        expect(rpc::as_u32(m.via.array.ptr[0]) == rpc::type_response, "a reply of another type");
        expect(rpc::as_u32(m.via.array.ptr[1]).has_value(), "a reply without a 32-bit id");
        const auto& error = m.via.array.ptr[2];
        expect(error.type == msgpack::type::NIL || (error.type == msgpack::type::STR && error.via.str.size > 0),
               "an error that is neither nil nor a text");
    }
    expect(unp.nonparsed_size() == 0, "a reply cut short");
}

void serve(const uint8_t* data, size_t size)
{
    int fd = connect_to(the_server().port());
    write_all(fd, data, size);
    ::shutdown(fd, SHUT_WR);
    std::string replies;
    char buf[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 10000);
        if (r < 0 && errno == EINTR)
            continue;  // libFuzzer's time-out alarm
        expect(r == 1, "the server neither answered nor closed within 10 s");
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        replies.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    check_replies(replies);
}

// ---- 2: a real client ----

struct listener {
    int fd = -1;
    uint16_t port = 0;
    listener()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        expect(fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
                   ::listen(fd, 16) == 0,
               "listen");
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
};

void call(const uint8_t* data, size_t size)
{
    static listener peer;
    rpc::client c("127.0.0.1", peer.port);
    expect(c.connect(), "client connect");
    int fd;
    while ((fd = ::accept4(peer.fd, nullptr, nullptr, SOCK_CLOEXEC)) < 0)
        expect(errno == EINTR, "accept");
    // The answer is queued before the request goes out; the half-close ends the call
    // when the bytes hold no reply to it. The peer's socket stays open until the call
    // is over, so its unread request cannot reset the connection.
    write_all(fd, data, size);
    ::shutdown(fd, SHUT_WR);
    c.set_timeout(std::chrono::milliseconds(10000));
    try {
        auto result = c.call("ping");
        (void)rpc::object_text(result.get());
    } catch (const rpc::rpc_error& e) {
        (void)rpc::object_text(e.error());
    } catch (const rpc::timeout_error& e) {
        expect(std::strstr(e.what(), "timed out after") == nullptr, "a call timed out instead of seeing the close");
    } catch (const rpc::protocol_error&) {
    }
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    spdlog::set_level(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    switch (data[0] % 3) {
    case 0: decode(data + 1, size - 1); break;
    case 1: serve(data + 1, size - 1); break;
    case 2: call(data + 1, size - 1); break;
    }
    return 0;
}
