// The management client: configuration read, one ZMQ request/reply exchange, and
// the reply readers. Single-threaded; ZMQ's own I/O thread is the only other one.
#include "cli/mgmt_client.hpp"

#include "cli/exit_status.hpp"
#include "config/cluster_config.hpp"

#include <zmq.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <system_error>

namespace cli {

std::string config_path = config::default_path;

namespace {

constexpr const char* monitor_address = "inproc://pellix-cluster-monitor";
constexpr int monitor_events = ZMQ_EVENT_CONNECTED | ZMQ_EVENT_CONNECT_RETRIED | ZMQ_EVENT_HANDSHAKE_SUCCEEDED;
constexpr int receive_timeout_ms = 39000;
constexpr std::chrono::seconds connect_wait{5};

[[noreturn]] void leave(int status, const std::string& line)
{
    std::fputs(line.c_str(), stderr);
    throw exit_now{status};
}

// Watches the REQ socket's connection: a TCP connection or a finished handshake
// counts as connected; a retried connect means the endpoint refused us.
class connect_monitor : public zmq::monitor_t {
public:
    bool connected = false;
    bool retried = false;

    void on_event_connected(const zmq_event_t&, const char*) override { connected = true; }
    void on_event_connect_retried(const zmq_event_t&, const char*) override { retried = true; }
    void on_event_handshake_succeeded(const zmq_event_t&, const char*) override { connected = true; }
    // The base destructor stops the monitoring and closes the monitor's socket.
};

// Whole-file read; a directory is no configuration file (reading one fails on
// FreeBSD and Linux alike, but opening it succeeds).
std::string read_config_text(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        leave(exit_no_config, "Config file " + path + " doesn't exists\n");
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        leave(exit_no_config, "Config file " + path + " doesn't exists\n");
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            int err = errno;
            ::close(fd);
            throw std::system_error(err, std::generic_category(), "read " + path);
        }
    }
    ::close(fd);
    return text;
}

std::string mgmt_url_of(const json& doc)
{
    if (!doc.is_object() || !doc.contains("cluster") || !doc["cluster"].is_object() ||
        !doc["cluster"].contains("mgmt-url"))
        leave(exit_no_mgmt_url, "Config has no mgmt-url in place\n");
    return doc["cluster"]["mgmt-url"].get<std::string>();  // another type escapes to the terminate handler
}

// One request and its reply text. Sockets and context are RAII: the REQ socket
// lingers 0 ms so closing it never waits for an endpoint that holds an unanswered
// request, and the context termination returns at once on every path out.
std::string exchange(const std::string& url, const std::string& request)
{
    zmq::context_t ctx;
    ctx.set(zmq::ctxopt::io_threads, 1);
    ctx.set(zmq::ctxopt::max_sockets, 1023);
    zmq::socket_t sock(ctx, zmq::socket_type::req);
    sock.set(zmq::sockopt::rcvtimeo, receive_timeout_ms);
    sock.set(zmq::sockopt::linger, 0);
    connect_monitor monitor;
    monitor.init(sock, monitor_address, monitor_events);
    sock.connect(url);

    const auto unreachable = [&] { leave(exit_unreachable, "mgmt unreachable at " + url + "\n"); };
    const auto deadline = std::chrono::steady_clock::now() + connect_wait;
    while (!monitor.connected) {
        auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0)
            unreachable();
        monitor.check_event(static_cast<int>(remaining.count()));
        if (monitor.retried && !monitor.connected)
            unreachable();
    }

    (void)sock.send(zmq::buffer(request), zmq::send_flags::none);  // EAGAIN: the receive still follows
    zmq::message_t reply;
    if (!sock.recv(reply, zmq::recv_flags::none))
        leave(exit_recv_timeout, "ZMQ socket error on receive: timeout\n");
    return reply.to_string();
}

std::string string_member(const json& reply, const char* key)
{
    if (reply.is_object()) {
        auto it = reply.find(key);
        if (it != reply.end() && it->is_string())
            return it->get<std::string>();
    }
    return {};
}

// The field `name` of an object item, checked for presence.
const json& item_field(const json& item, const std::string& name)
{
    if (!item.is_object())
        bad_reply("item is not an object (expected field '" + name + "')");
    auto it = item.find(name);
    if (it == item.end())
        bad_reply("item has no '" + name + "' field");
    return *it;
}

}  // namespace

json config_load()
{
    return json::parse(read_config_text(config_path));
}

json mgmt_request(const json& request)
{
    const std::string text = request.dump();
    const std::string url = mgmt_url_of(config_load());
    json reply = json::parse(exchange(url, text), nullptr, true, false);
    if (reply.is_object() && reply.contains("error"))
        leave(exit_error_reply, "An error occured: " + reply_error_text(reply) + "\n");
    return reply;
}

std::string reply_error_text(const json& reply)
{
    std::string error = string_member(reply, "error");
    std::string message = string_member(reply, "errorMessage");
    if (!error.empty() && !message.empty())
        return error + ": " + message;
    if (!error.empty())
        return error;
    if (!message.empty())
        return message;
    return "unknown error (no error/errorMessage in reply)";
}

void bad_reply(const std::string& text)
{
    leave(exit_bad_reply, "Bad reply from kelm: " + text + "\n");
}

const json& reply_response_array(const json& reply)
{
    if (!reply.is_object() || !reply.contains("response"))
        bad_reply("no response field");
    const json& response = reply["response"];
    if (!response.is_array())
        bad_reply("response is not an array");
    return response;
}

const json& reply_list_array(const json& reply)
{
    static const json empty = json::array();
    if (reply.is_object() && reply.contains("response") && reply["response"].is_null())
        return empty;
    return reply_response_array(reply);
}

bool is_int32(const json& value)
{
    if (value.is_number_unsigned())
        return value.get<uint64_t>() <= static_cast<uint64_t>(INT_MAX);
    if (value.is_number_integer()) {
        auto v = value.get<int64_t>();
        return v >= INT_MIN && v <= INT_MAX;
    }
    return false;
}

int item_get_int(const json& item, const std::string& name)
{
    const json& v = item_field(item, name);
    if (!is_int32(v))
        bad_reply("field '" + name + "' is not an integer");
    return static_cast<int>(v.get<int64_t>());
}

std::string item_get_string(const json& item, const std::string& name)
{
    const json& v = item_field(item, name);
    if (!v.is_string())
        bad_reply("field '" + name + "' is not a string");
    return v.get<std::string>();
}

bool item_get_bool(const json& item, const std::string& name)
{
    const json& v = item_field(item, name);
    if (!v.is_boolean())
        bad_reply("field '" + name + "' is not a boolean");
    return v.get<bool>();
}

node_item read_node_item(const json& item)
{
    node_item n{};
    n.id = item_get_int(item, "id");
    n.name = item_get_string(item, "nodename");
    n.state = item_get_string(item, "state");
    n.enabled = item_get_bool(item, "enabled");
    return n;
}

const char* enabled_text(bool enabled)
{
    return enabled ? "enabled" : "DISABLED";
}

}  // namespace cli
