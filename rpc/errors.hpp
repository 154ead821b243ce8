// The failures of an RPC call, one type per way a caller acts on them: a time-out
// (the peer may or may not have acted, so trying again is the answer), an error
// reply from the peer, and everything else (a reply that is not msgpack-RPC, a
// local socket failure). Catch them in that order; all are std::exceptions.
#pragma once

#include <msgpack.hpp>

#include <memory>
#include <stdexcept>
#include <string>

namespace rpc {

enum class failure_kind { timeout, rpc_error, other };

// No reply within the call's time-out, or the connection closed or reset once the
// request had been handed over: the outcome of the call is unknown.
class timeout_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The peer answered the call with an error object.
class rpc_error : public std::runtime_error {
public:
    rpc_error(const std::string& method, const msgpack::object& error);
    const std::string& method() const { return method_; }
    // The error object as the peer sent it.
    const msgpack::object& error() const { return error_->get(); }

private:
    std::string method_;
    std::shared_ptr<msgpack::object_handle> error_;  // shared: exceptions are copied
};

// Anything else that ends a call: not connected, a malformed reply, a socket error
// before the request could be handed over.
class protocol_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Which of the three a caught exception is (any other exception counts as other).
failure_kind kind_of(const std::exception& e);

// A msgpack object as readable text: a string as it is, anything else in msgpack's
// JSON-like rendering.
std::string object_text(const msgpack::object& obj);

}  // namespace rpc
