// RPC failure types and the rendering of error objects.
#include "rpc/errors.hpp"

#include <sstream>

namespace rpc {

std::string object_text(const msgpack::object& obj)
{
    if (obj.type == msgpack::type::STR)
        return std::string(obj.via.str.ptr, obj.via.str.size);
    std::ostringstream out;
    out << obj;
    return out.str();
}

rpc_error::rpc_error(const std::string& method, const msgpack::object& error)
    : std::runtime_error("rpc error during call '" + method + "': " + object_text(error)),
      method_(method),
      error_(std::make_shared<msgpack::object_handle>(msgpack::clone(error)))
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
