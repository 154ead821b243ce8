// msgpack-RPC framing checks and the bounded unpacker.
#include "rpc/message.hpp"

namespace rpc {

namespace {

bool never_reference(msgpack::type::object_type, std::size_t, void*)
{
    return false;
}

}  // namespace

msgpack::unpacker make_unpacker()
{
    // array, map, str, bin, ext, depth
    msgpack::unpack_limit limit(65536, 65536, max_message_bytes, max_message_bytes, max_message_bytes, 64);
    return msgpack::unpacker(&never_reference, nullptr, read_chunk_bytes, limit);
}

std::optional<uint32_t> as_u32(const msgpack::object& obj)
{
    if (obj.type != msgpack::type::POSITIVE_INTEGER || obj.via.u64 > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(obj.via.u64);
}

call_check check_incoming(const msgpack::object& msg)
{
    call_check out;
    if (msg.type != msgpack::type::ARRAY || msg.via.array.size == 0) {
        out.problem = "message is not a msgpack-RPC array";
        return out;
    }
    const msgpack::object* el = msg.via.array.ptr;
    uint32_t size = msg.via.array.size;
    auto type = as_u32(el[0]);
    if (type && *type == type_notification && size == 3) {
        if (el[1].type != msgpack::type::STR || el[2].type != msgpack::type::ARRAY) {
            out.problem = "malformed notification";
            return out;
        }
        incoming_call c;
        c.notification = true;
        c.method.assign(el[1].via.str.ptr, el[1].via.str.size);
        c.params = &el[2];
        out.call = std::move(c);
        return out;
    }
    if (!type || *type != type_request || size != 4) {
        out.problem = "message is neither a request nor a notification";
        return out;
    }
    auto msgid = as_u32(el[1]);
    if (!msgid) {
        out.problem = "request id is not an unsigned 32-bit integer";
        return out;
    }
    if (el[2].type != msgpack::type::STR) {
        out.reply_to = *msgid;
        out.problem = "method name is not a string";
        return out;
    }
    incoming_call c;
    c.msgid = *msgid;
    c.method.assign(el[2].via.str.ptr, el[2].via.str.size);
    if (el[3].type != msgpack::type::ARRAY) {
        out.reply_to = *msgid;
        out.problem = "params of '" + c.method + "' is not an array";
        return out;
    }
    c.params = &el[3];
    out.call = std::move(c);
    return out;
}

}  // namespace rpc
