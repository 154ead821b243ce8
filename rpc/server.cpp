// msgpack-RPC server: accepting thread, connection threads, request dispatch.
// Whatever a peer sends, the worst outcome is an error reply or a closed connection.
#include "rpc/server.hpp"

#include "rpc/message.hpp"
#include "platform/process.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace rpc {

namespace {

constexpr auto reply_send_limit = std::chrono::seconds(30);

std::string errno_text(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

}  // namespace

server::server(const std::string& address, uint16_t port)
{
    std::string why;
    auto addr = resolve_ipv4(address, port, &why);
    if (!addr)
        throw std::runtime_error("can't resolve '" + address + "': " + why);
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener_)
        throw std::runtime_error(errno_text("socket"));
    int one = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0)
        throw std::runtime_error(errno_text("bind " + address + ":" + std::to_string(port)));
    if (::listen(listener_.get(), 128) != 0)
        throw std::runtime_error(errno_text("listen"));
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.sin_port);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(errno_text("pipe"));
    wake_read_.reset(fds[0]);
    wake_write_.reset(fds[1]);
}

server::~server()
{
    stop();
}

void server::bind(const std::string& name, method m)
{
    methods_[name] = std::move(m);
}

void server::start()
{
    if (started_)
        return;
    started_ = true;
    acceptor_ = std::thread([this] {
        try {
            platform::thread_set_name("rpc-accept");
            accept_loop();
        } catch (const std::exception& e) {
            spdlog::error("[rpc] accept loop ended: {}", e.what());
        } catch (...) {
            spdlog::error("[rpc] accept loop ended");
        }
    });
}

void server::stop()
{
    if (stopping_.exchange(true))
        return;
    char byte = 1;
    (void)!::write(wake_write_.get(), &byte, 1);
    if (acceptor_.joinable())
        acceptor_.join();
    reap(true);
}

void server::reap(bool all)
{
    std::list<std::unique_ptr<connection>> finished;
    {
        std::lock_guard<std::mutex> lock(conns_mutex_);
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (all || (*it)->done.load()) {
                finished.push_back(std::move(*it));
                it = conns_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished)
        if (c->thread.joinable())
            c->thread.join();
}

void server::accept_loop()
{
    for (;;) {
        pollfd p[2] = {{listener_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
        // Wake up now and then to join the threads of closed connections.
        int r = ::poll(p, 2, 1000);
        if (stopping_.load())
            return;
        reap(false);
        if (r <= 0)
            continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        unique_fd fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC));
        if (!fd) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                spdlog::warn("[rpc] accept failed: {}", std::strerror(errno));
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                ::poll(nullptr, 0, 100);  // out of descriptors: do not spin
            continue;
        }
        char ip[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        std::string peer = std::string(ip) + ":" + std::to_string(ntohs(from.sin_port));
        std::lock_guard<std::mutex> lock(conns_mutex_);
        if (conns_.size() >= max_connections_) {
            spdlog::warn("[rpc] too many connections, closing the one from {}", peer);
            continue;
        }
        prepare_stream_socket(fd.get());
        auto c = std::make_unique<connection>();
        c->fd = std::move(fd);
        c->peer = std::move(peer);
        connection* raw = c.get();
        try {
            c->thread = std::thread([this, raw] {
            try {
                platform::thread_set_name("rpc-conn");
                serve(*raw);
            } catch (const std::exception& e) {
                spdlog::warn("[rpc] connection from {} ended: {}", raw->peer, e.what());
            } catch (...) {
                spdlog::warn("[rpc] connection from {} ended", raw->peer);
            }
            raw->fd.reset();
            raw->done.store(true);
            });
        } catch (const std::system_error& e) {
            spdlog::warn("[rpc] no thread for the connection from {}: {}", raw->peer, e.what());
            continue;
        }
        conns_.push_back(std::move(c));
    }
}

void server::serve(connection& c)
{
    msgpack::unpacker unp = make_unpacker();
    for (;;) {
        pollfd p[2] = {{c.fd.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
        int r = ::poll(p, 2, idle_timeout_.count() > 0 ? static_cast<int>(idle_timeout_.count()) : -1);
        if (stopping_.load())
            return;
        if (r == 0) {
            spdlog::debug("[rpc] closing the idle connection from {}", c.peer);
            return;
        }
        if (r < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(errno_text("poll"));
        }
        unp.reserve_buffer(read_chunk_bytes);
        ssize_t n = ::recv(c.fd.get(), unp.buffer(), unp.buffer_capacity(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return;  // closed by the peer (or reset): nothing to answer
        unp.buffer_consumed(static_cast<std::size_t>(n));
        msgpack::object_handle oh;
        try {
            while (unp.next(oh)) {
                if (!handle(c, oh.get()))
                    return;
            }
        } catch (const msgpack::unpack_error& e) {
            spdlog::warn("[rpc] malformed data from {}, closing: {}", c.peer, e.what());
            return;
        }
        if (unp.nonparsed_size() > max_message_bytes) {
            spdlog::warn("[rpc] message from {} is too large, closing", c.peer);
            return;
        }
    }
}

bool server::handle(connection& c, const msgpack::object& msg)
{
    call_check check = check_incoming(msg);
    if (!check.call) {
        spdlog::warn("[rpc] bad message from {}: {}", c.peer, check.problem);
        if (check.reply_to)
            return send_reply(c, *check.reply_to, &check.problem, nullptr);
        return false;
    }
    const incoming_call& call = *check.call;
    auto it = methods_.find(call.method);
    std::string error;
    value result;
    if (it == methods_.end()) {
        error = "unknown method '" + call.method + "'";
        spdlog::warn("[rpc] {} from {}", error, c.peer);
    } else {
        try {
            result = it->second(*call.params);
        } catch (const std::exception& e) {
            error = e.what();
            if (error.empty())
                error = "method '" + call.method + "' failed";
        } catch (...) {
            error = "method '" + call.method + "' failed";
        }
    }
    if (call.notification)
        return true;
    if (!error.empty())
        return send_reply(c, call.msgid, &error, nullptr);
    return send_reply(c, call.msgid, nullptr, &result);
}

bool server::send_reply(connection& c, uint32_t msgid, const std::string* error, const value* result)
{
    msgpack::sbuffer buf;
    msgpack::packer<msgpack::sbuffer> pk(buf);
    pk.pack_array(4);
    pk.pack(static_cast<uint8_t>(type_response));
    pk.pack(msgid);
    if (error != nullptr) {
        pk.pack(*error);
        pk.pack_nil();
    } else {
        pk.pack_nil();
        const auto& bytes = result->bytes();
        if (bytes.size() == 0)
            pk.pack_nil();
        else
            buf.write(bytes.data(), bytes.size());
    }
    int err = 0;
    auto st = send_all(c.fd.get(), buf.data(), buf.size(), clock::now() + reply_send_limit, &err);
    if (st != io_status::ok) {
        spdlog::warn("[rpc] can't send the reply to {}: {}", c.peer,
                     st == io_status::timed_out ? "timed out" : std::strerror(err));
        return false;
    }
    return true;
}

}  // namespace rpc
