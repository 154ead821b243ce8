// msgpack-RPC server over TCP: one accepting thread and one thread per connection;
// a connection's calls run one after another on its thread. Methods are bound
// before start() and then only read, so calls need no lock on the table; the
// connection list is guarded by conns_mutex_. A method may run on several
// connection threads at once and must be thread-safe itself.
#pragma once

#include "rpc/socket_io.hpp"

#include <msgpack.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace rpc {

// A method's result, already packed.
class value {
public:
    template <typename T>
    static value of(const T& v)
    {
        value out;
        msgpack::pack(out.buf_, v);
        return out;
    }
    static value nil() { return of(msgpack::type::nil_t()); }
    const msgpack::sbuffer& bytes() const { return buf_; }

private:
    msgpack::sbuffer buf_;
};

// A method gets the call's params array. An exception it throws becomes the error
// reply: its what() as a msgpack string.
using method = std::function<value(const msgpack::object& params)>;

class server {
public:
    static constexpr std::size_t default_max_connections = 256;

    // Binds and listens at address:port (port 0: any free port). Throws
    // std::runtime_error with the reason when it cannot.
    server(const std::string& address, uint16_t port);
    server(const server&) = delete;
    server& operator=(const server&) = delete;
    ~server();

    uint16_t port() const { return port_; }
    void bind(const std::string& name, method m);
    // Connections beyond this many are closed as soon as they are accepted.
    void set_max_connections(std::size_t n) { max_connections_ = n; }
    // A connection that sends nothing for this long is closed (zero: never), so idle
    // peers cannot use up the connection limit. Time spent in a method does not count.
    void set_idle_timeout(std::chrono::milliseconds t) { idle_timeout_ = t; }

    void start();
    // Stops accepting, wakes every connection and joins every thread; a call that is
    // running finishes first.
    void stop();

private:
    struct connection {
        unique_fd fd;
        std::string peer;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void accept_loop();
    void serve(connection& c);
    // False when the connection is to be closed.
    bool handle(connection& c, const msgpack::object& msg);
    // Sends [1, msgid, error, result]: error nil and `result` packed, or the error text.
    bool send_reply(connection& c, uint32_t msgid, const std::string* error, const value* result);
    void reap(bool all);

    unique_fd listener_;
    unique_fd wake_read_;   // readable once stop() was called: every poll includes it
    unique_fd wake_write_;
    uint16_t port_ = 0;
    std::map<std::string, method> methods_;
    std::size_t max_connections_ = default_max_connections;
    std::chrono::milliseconds idle_timeout_{0};
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    bool started_ = false;
    std::mutex conns_mutex_;
    std::list<std::unique_ptr<connection>> conns_;
};

}  // namespace rpc
