// RPC failure types and the rendering of error objects.
#include "rpc/errors.hpp"

#include <sstream>

namespace rpc {

std::string object_text(const msgpack::object& obj)
{
    if (obj.type == msgpack::type::STR)
        return obj.via.str.size == 0 ? std::string() : std::string(obj.via.str.ptr, obj.via.str.size);
    std::ostringstream out;
    out << obj;
    return out.str();
}

namespace {

// A copy of the error object that owns its memory. msgpack::clone copies a string
// with memcpy from its pointer, which is null for an empty text: that is undefined
// behaviour. Packing and unpacking again copies only what the encoding holds.
std::shared_ptr<msgpack::object_handle> own_copy(const msgpack::object& error)
{
    msgpack::sbuffer packed;
    msgpack::pack(packed, error);
    return std::make_shared<msgpack::object_handle>(msgpack::unpack(packed.data(), packed.size()));
}

}  // namespace

rpc_error::rpc_error(const std::string& method, const msgpack::object& error)
    : std::runtime_error("rpc error during call '" + method + "': " + object_text(error)),
      method_(method),
      error_(own_copy(error))
{
}

failure_kind kind_of(const std::exception& e)
{
    if (dynamic_cast<const timeout_error*>(&e) != nullptr)
        return failure_kind::timeout;
    if (dynamic_cast<const rpc_error*>(&e) != nullptr)
        return failure_kind::rpc_error;
    return failure_kind::other;
}

}  // namespace rpc
