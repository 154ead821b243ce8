// monitor_call: the applications' one way into the daemon core and to every
// node's Runner; set-value's append-and-wait; the Runner call over msgpack-RPC.
// Runs on the callers' threads: locking rules are in monitor.hpp.
#include "daemon/core/monitor.hpp"

#include "rpc/client.hpp"
#include "rpc/errors.hpp"

#include <spdlog/spdlog.h>

namespace monitor {

using namespace raft;
using nlohmann::json;

void node_monitor::reply_error(json& io, const char* code, const std::string& text)
{
    io = json::object();
    io["error"] = code;
    io["errorMessage"] = text;
}

namespace {

void reply_response(json& io, json value)
{
    io = json::object();
    io["response"] = std::move(value);
}

void log_reply(uint32_t node_id, const std::string& cmd, const std::string& data, const json& io)
{
    const std::string reply = io.dump(-1, ' ', false, json::error_handler_t::replace);
    if (io.is_object() && io.contains("error"))
        spdlog::error("[monitor] <<< call '{}' cmd '{}' data '{}' => '{}'", node_id, cmd, data, reply);
    else if (io.is_object() && io.contains("warnMessage"))
        spdlog::warn("[monitor] <<< call '{}' cmd '{}' data '{}' => '{}'", node_id, cmd, data, reply);
    else
        spdlog::debug("[monitor] <<< call '{}' cmd '{}' data '{}' => '{}'", node_id, cmd, data, reply);
}

// The text member `name` of a call's data; none when the data is no object or
// the member is missing or not a text.
std::optional<std::string> text_member(const json& io, const char* name)
{
    if (!io.is_object())
        return std::nullopt;
    auto it = io.find(name);
    if (it == io.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

bool no_argument(const json& io)
{
    return io.is_null() || ((io.is_object() || io.is_array()) && io.empty());
}

}  // namespace

void node_monitor::call(uint32_t node_id, const std::string& cmd, json& io)
{
    const std::string data = io.dump(-1, ' ', false, json::error_handler_t::replace);
    spdlog::debug("[monitor] >>> call '{}' cmd '{}' data '{}'", node_id, cmd, data);
    if (!started()) {
        reply_error(io, "EMONITOR", "Monitor not started");
    } else if (cmd == "get-cluster-config") {
        reply_response(io, config_);
    } else if (cmd == "get-this-nodeid") {
        reply_response(io, own_id_);
    } else if (cmd == "get-value") {
        const auto key = text_member(io, "key");
        if (!key)
            reply_error(io, "EINVAL", "Key must be a text.");
        else if (auto v = kv_get(*key))
            reply_response(io, *v);
        else
            reply_error(io, "ENOENT", "key not found");
    } else if (cmd == "set-value") {
        const auto key_member = text_member(io, "key");
        const auto value_member = text_member(io, "value");
        const std::string key = key_member.value_or("");
        const std::string value = value_member.value_or("");
        // "term": the leadership the caller computed the value under; a write of
        // an earlier leadership must not land in a later one's log.
        std::optional<uint64_t> term;
        const bool bad_term = io.is_object() && io.contains("term") && !io["term"].is_number_unsigned();
        if (io.is_object() && io.contains("term") && !bad_term)
            term = io["term"].get<uint64_t>();
        if (!key_member)
            reply_error(io, "EINVAL", "Key must be a text.");
        else if (!value_member)
            reply_error(io, "EINVAL", "Value must be a text.");
        else if (key.size() >= KEY_SIZE)
            reply_error(io, "EINVAL", "Key too long.");
        else if (value.size() >= VALUE_SIZE)
            reply_error(io, "EINVAL", "Value too long.");
        // The log holds NUL-terminated texts: a NUL inside would store a cut text.
        else if (key.find('\0') != std::string::npos)
            reply_error(io, "EINVAL", "Key contains a NUL byte.");
        else if (value.find('\0') != std::string::npos)
            reply_error(io, "EINVAL", "Value contains a NUL byte.");
        else if (bad_term)
            reply_error(io, "EINVAL", "Bad term.");
        else if (set_value(key, value, term))
            reply_response(io, 0);
        else
            reply_error(io, "ETIMEDOUT", "Set key timeout.");
    } else {
        if (node_id == NODE_SELF)
            node_id = own_id_;
        if (cmd == "kelm-exit") {
            spdlog::info("[monitor] Call kelm-exit: {}", node_id);
            if (node_id == own_id_) {
                reply_response(io, 0);
                event("EXIT", "");
                exit_requested_.store(true);
            } else if (node_id == NODE_ALL) {
                send(EXIT, NODE_ALL);
                reply_response(io, 0);
                event("EXIT", "");
                exit_requested_.store(true);
            } else {
                send(EXIT, node_id);
                reply_response(io, 0);
            }
        } else {
            const monitor_node* n = node(node_id);
            if (n == nullptr || !n->configured) {
                // 64, 66, 67 and unconfigured ids have no Runner to dial.
                spdlog::warn("[monitor] node_id {} not found", node_id);
                reply_error(io, "ENOENT", "unknown");
            } else if (node_id == own_id_ || n->alive.load()) {
                remote_call(node_id, cmd, io);
            } else {
                reply_error(io, "EOFFLINE", "Called node " + std::to_string(node_id) + " is offline");
            }
        }
    }
    log_reply(node_id, cmd, data, io);
}

bool node_monitor::set_value(const std::string& key, const std::string& value, std::optional<uint64_t> term)
{
    std::lock_guard sv(set_value_mutex_);
    {
        std::lock_guard lk(log_mutex_);
        // Only a leader may propose: a deposed leader's late write would enter its
        // log at the new leader's term and silently diverge the logs. A write made
        // for another term (a thread of an earlier leadership of this node) is
        // refused too: it could overwrite what the current leadership stored.
        if (!node_ || node_->state() != LEADER || (term && *term != node_->term()))
            return false;
        log_->append(log_entry_init(log_->last_index() + 1, node_->term(), key, value));
    }
    // Wake "mon-raft" so it sends the entry now rather than at its next time-out.
    raft_msg_t wake = make_msg(TICK, 0, 0, 0);
    mq_push(rx_queue_, &wake);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::unique_lock lk(kv_mutex_);
    return kv_cond_.wait_until(lk, deadline, [&] {
        auto it = kv_store_.find(key);
        return it != kv_store_.end() && it->second == value;
    });
}

void node_monitor::remote_call(uint32_t node_id, const std::string& cmd, json& io)
{
    const monitor_node* n = node(node_id);
    if (n == nullptr || !n->configured) {
        reply_error(io, "ENOENT", "unknown");
        return;
    }
    rpc::client client(n->address, n->port);
    if (!client.connect(std::chrono::milliseconds(1000))) {
        spdlog::error("[monitor] Can't connect to {}:{}", n->address, n->port);
        reply_error(io, "ETIMEDOUT", "Can't connect to " + n->address + ":" + std::to_string(n->port));
        return;
    }
    client.set_timeout(hooks_.runner_call_timeout);
    try {
        msgpack::object_handle result =
            no_argument(io) ? client.call(cmd) : client.call(cmd, io.dump(-1, ' ', false));
        if (result.get().type != msgpack::type::STR)
            throw std::runtime_error("Runner result is not a string: " + rpc::object_text(result.get()));
        io = json::parse(result.get().as<std::string>());
    } catch (const rpc::timeout_error& e) {
        spdlog::error("[monitor] {}", e.what());
        reply_error(io, "ETIMEDOUT", e.what());
    } catch (const rpc::rpc_error& e) {
        spdlog::error("[monitor] {}", e.what());
        reply_error(io, "ERPC", e.what());
    } catch (const std::exception& e) {
        spdlog::error("[monitor] {}", e.what());
        reply_error(io, "ESTDEXCEPTION", e.what());
    }
}

}  // namespace monitor
