// The pool event's AMQP conversation over rabbitmq-c.
#include "hooks/notify/amqp_publisher.hpp"

#include <amqp.h>
#include <amqp_tcp_socket.h>

#include <fmt/format.h>

#include <cstdio>
#include <memory>
#include <sys/time.h>

namespace notify {

namespace {

constexpr amqp_channel_t channel = 1;
constexpr int channel_max = 2047;
constexpr int frame_max = 131072;
constexpr const char* exchange_name = "ctrl";
constexpr const char* exchange_type = "direct";
constexpr const char* routing_key = "dispatch";
constexpr const char* body = "<>";

struct connection_deleter {
    void operator()(amqp_connection_state_t_* conn) const { amqp_destroy_connection(conn); }
};
using connection_ptr = std::unique_ptr<amqp_connection_state_t_, connection_deleter>;

std::string rpc_failure(const char* what, const amqp_rpc_reply_t& reply)
{
    return fmt::format("099.notify: {} failed (reply_type={})\n", what, static_cast<int>(reply.reply_type));
}

amqp_table_entry_t string_header(const char* key, const std::string& value)
{
    amqp_table_entry_t entry{};
    entry.key = amqp_cstring_bytes(key);
    entry.value.kind = AMQP_FIELD_KIND_UTF8;
    entry.value.value.bytes = amqp_bytes_t{value.size(), const_cast<char*>(value.data())};
    return entry;
}

}  // namespace

bool publish_event(const broker_settings& settings, const pool_event& event, std::FILE* err)
{
    // Each failure line goes out before the closing calls, which may block when the
    // connection has no time-out.
    auto fail = [err](const std::string& line) {
        std::fputs(line.c_str(), err);
        std::fflush(err);
        return false;
    };

    connection_ptr conn(amqp_new_connection());
    if (!conn)
        return fail("099.notify: cannot create TCP socket\n");
    amqp_socket_t* socket = amqp_tcp_socket_new(conn.get());
    if (socket == nullptr)
        return fail("099.notify: cannot create TCP socket\n");

    int status;
    if (settings.port < 1 || settings.port > 65535) {
        // The library would pass the number on as text to the resolver, which wraps
        // 70000 to port 4464: the event could reach whatever listens there.
        status = AMQP_STATUS_INVALID_PARAMETER;
    } else if (settings.timeout_s >= 1) {
        struct timeval tv {};
        tv.tv_sec = settings.timeout_s;
        amqp_set_handshake_timeout(conn.get(), &tv);
        amqp_set_rpc_timeout(conn.get(), &tv);
        status = amqp_socket_open_noblock(socket, settings.host.c_str(), settings.port, &tv);
    } else {
        status = amqp_socket_open(socket, settings.host.c_str(), settings.port);
    }
    if (status != AMQP_STATUS_OK)
        return fail(fmt::format("099.notify: connect to {}:{} failed: {}\n", settings.host, settings.port,
                           amqp_error_string2(status)));

    amqp_rpc_reply_t reply = amqp_login(conn.get(), settings.vhost.c_str(), channel_max, frame_max,
                                        settings.heartbeat_s, AMQP_SASL_METHOD_PLAIN, settings.user.c_str(),
                                        settings.password.c_str());
    if (reply.reply_type != AMQP_RESPONSE_NORMAL)
        return fail(rpc_failure("login", reply));

    amqp_channel_open(conn.get(), channel);
    reply = amqp_get_rpc_reply(conn.get());
    if (reply.reply_type != AMQP_RESPONSE_NORMAL) {
        fail(rpc_failure("channel.open", reply));
        amqp_connection_close(conn.get(), AMQP_REPLY_SUCCESS);
        return false;
    }

    amqp_exchange_declare(conn.get(), channel, amqp_cstring_bytes(exchange_name), amqp_cstring_bytes(exchange_type),
                          /*passive=*/0, /*durable=*/1, /*auto_delete=*/0, /*internal=*/0, amqp_empty_table);
    reply = amqp_get_rpc_reply(conn.get());
    if (reply.reply_type != AMQP_RESPONSE_NORMAL) {
        fail(rpc_failure("exchange.declare", reply));
        amqp_channel_close(conn.get(), channel, AMQP_REPLY_SUCCESS);
        amqp_connection_close(conn.get(), AMQP_REPLY_SUCCESS);
        return false;
    }

    amqp_table_entry_t headers[] = {
        string_header("action", event.action),
        string_header("pool", event.pool),
        string_header("nodeId", event.node_id),
    };
    amqp_basic_properties_t props{};
    props._flags = AMQP_BASIC_HEADERS_FLAG;
    props.headers.num_entries = 3;
    props.headers.entries = headers;

    status = amqp_basic_publish(conn.get(), channel, amqp_cstring_bytes(exchange_name), amqp_cstring_bytes(routing_key),
                                /*mandatory=*/0, /*immediate=*/0, &props, amqp_cstring_bytes(body));
    bool published = status == AMQP_STATUS_OK;
    if (!published)
        fail(fmt::format("099.notify: publish failed: {}\n", amqp_error_string2(status)));
    amqp_channel_close(conn.get(), channel, AMQP_REPLY_SUCCESS);
    amqp_connection_close(conn.get(), AMQP_REPLY_SUCCESS);
    return published;
}

}  // namespace notify
