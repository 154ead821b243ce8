// msgpack-RPC 2.0 framing: request [0, msgid, method, params], response
// [1, msgid, error, result], notification [2, method, params]; the bounded
// unpacker both ends read with, and the validation of what arrives.
#pragma once

#include <msgpack.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace rpc {

inline constexpr uint64_t type_request = 0;
inline constexpr uint64_t type_response = 1;
inline constexpr uint64_t type_notification = 2;

// A message larger than this is refused before it is complete: the peer is broken
// or hostile, and a few bytes of header must not make us buffer gigabytes.
inline constexpr std::size_t max_message_bytes = 4u << 20;

// Read buffer size: calls and replies are small. Bigger buffers cost more than they
// save: each call's allocation and release of them moves the heap top (brk), and
// that flushes the TLB of every thread of the process.
inline constexpr std::size_t read_chunk_bytes = 8 * 1024;

// An unpacker that copies strings into the object's zone (results outlive the
// unpacker) and refuses element counts and nesting that no call of ours needs, so a
// five-byte array header cannot make it allocate gigabytes.
msgpack::unpacker make_unpacker();

// A request or notification as it arrived. `method` and `params` point into the
// message, which must outlive this view.
struct incoming_call {
    bool notification = false;
    uint32_t msgid = 0;
    std::string method;
    const msgpack::object* params = nullptr;  // an array
};

// What the server does with one decoded message.
struct call_check {
    std::optional<incoming_call> call;  // a valid call to run
    std::optional<uint32_t> reply_to;   // else: answer this msgid with `problem` as error
    std::string problem;                // else: the connection is closed for `problem`
};

call_check check_incoming(const msgpack::object& msg);

// The unsigned integer in `obj` when it is one that fits 32 bits.
std::optional<uint32_t> as_u32(const msgpack::object& obj);

}  // namespace rpc
