// msgpack-RPC client over one TCP connection. Not shared between threads: each
// caller makes its own (the daemon makes a new one for every Runner call).
//
// A caller that needs one error code per failure:
//     rpc::client c(addr, port);
//     if (!c.connect())                  -> could not connect within about 1 s
//     c.set_timeout(...);
//     try { auto r = c.call("ping"); }
//     catch (const rpc::timeout_error&)  -> no reply in time, or the connection was
//                                           lost after the request went out
//     catch (const rpc::rpc_error&)      -> the peer answered with an error
//     catch (const std::exception&)      -> anything else (malformed reply, ...)
#pragma once

#include "rpc/errors.hpp"
#include "rpc/message.hpp"
#include "rpc/socket_io.hpp"

#include <msgpack.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace rpc {

class client {
public:
    static constexpr std::chrono::milliseconds default_connect_wait{1000};
    static constexpr std::chrono::milliseconds default_call_timeout{300000};

    client(std::string host, uint16_t port);
    client(const client&) = delete;
    client& operator=(const client&) = delete;
    ~client() = default;

    // Connects, trying again every 10 ms while the peer refuses, for at most `wait`.
    // False when no connection was made in that time or the host does not resolve.
    bool connect(std::chrono::milliseconds wait = default_connect_wait);
    bool is_connected() const { return static_cast<bool>(fd_); }
    void close() { fd_.reset(); }

    // How long one call may wait for its reply (sending included).
    void set_timeout(std::chrono::milliseconds t) { timeout_ = t; }
    std::chrono::milliseconds timeout() const { return timeout_; }

    const std::string& host() const { return host_; }
    uint16_t port() const { return port_; }

    // Calls `method` with the arguments as its params array and returns the result.
    // Throws timeout_error, rpc_error or protocol_error (errors.hpp). After a
    // time-out or protocol error the connection is closed; after an error reply it
    // stays usable.
    template <typename... Args>
    msgpack::object_handle call(const std::string& method, const Args&... args)
    {
        msgpack::sbuffer buf;
        msgpack::packer<msgpack::sbuffer> pk(buf);
        uint32_t msgid = next_msgid_++;
        pk.pack_array(4);
        pk.pack(static_cast<uint8_t>(type_request));
        pk.pack(msgid);
        pk.pack(method);
        pk.pack_array(sizeof...(Args));
        (pk.pack(args), ...);
        return exchange(method, msgid, buf);
    }

private:
    msgpack::object_handle exchange(const std::string& method, uint32_t msgid, const msgpack::sbuffer& request);
    std::string peer() const;

    std::string host_;
    uint16_t port_;
    std::chrono::milliseconds timeout_ = default_call_timeout;
    unique_fd fd_;
    uint32_t next_msgid_ = 1;
};

}  // namespace rpc
