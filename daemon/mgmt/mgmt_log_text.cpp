// Management log texts; see mgmt_log_text.hpp.
#include "daemon/mgmt/mgmt_log_text.hpp"

namespace mgmt {

using nlohmann::json;

std::string log_sanitize(std::string_view text, std::size_t max)
{
    std::string out(text.substr(0, max));
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 32 || b == 127)
            c = '.';
    }
    if (text.size() > max)
        out += "...";
    return out;
}

std::string peer_label(std::string_view peer_address, std::string_view routing_id)
{
    if (!peer_address.empty())
        return log_sanitize(peer_address, 64);
    if (routing_id.empty())
        return "unknown";
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "id:";
    for (char c : routing_id) {
        const auto b = static_cast<unsigned char>(c);
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

bool is_mutating_request(std::string_view call, std::string_view cmd)
{
    if (call == "node")
        return cmd == "exit" || cmd == "enable" || cmd == "disable";
    if (call == "service")
        return cmd == "stop" || cmd == "start" || cmd == "enable" || cmd == "disable";
    return false;
}

namespace {

std::string compact(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string request_summary(const json& request)
{
    std::string out;
    if (!request.is_object())
        return out;
    for (const char* name : {"serviceName", "nodeId", "id", "requestId"}) {
        auto it = request.find(name);
        if (it == request.end())
            continue;
        std::string value;
        if (it->is_string())
            value = it->get_ref<const std::string&>();
        else if (it->is_boolean() || it->is_number())
            value = compact(*it);
        else
            continue;
        if (!out.empty())
            out += ' ';
        out += name;
        out += '=';
        out += log_sanitize(value, 64);
    }
    return out;
}

std::string reply_summary(const json& reply)
{
    if (!reply.is_object() || !reply.contains("error"))
        return "OK";
    const json& error = reply.at("error");
    const std::string code = log_sanitize(error.is_string() ? error.get<std::string>() : compact(error), 64);
    auto msg = reply.find("errorMessage");
    if (msg != reply.end() && msg->is_string() && !msg->get_ref<const std::string&>().empty())
        return code + " (" + log_sanitize(msg->get_ref<const std::string&>(), 160) + ")";
    return code;
}

}  // namespace mgmt
