// Parsing, dispatch and serialisation of one management request.
#include "daemon/mgmt/mgmt_request.hpp"

#include "daemon/mgmt/mgmt_log_text.hpp"
#include "daemon/mgmt/mgmt_tables.hpp"

#include <spdlog/spdlog.h>

#include <stdexcept>

namespace mgmt {

using nlohmann::json;

namespace {

std::string compact(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json exception_reply(const std::string& what)
{
    return {{"error", "EA80001"}, {"errorMessage", "Exception during request: " + what}};
}

std::string text_member(const json& req, const char* name)
{
    auto it = req.find(name);
    return it == req.end() ? std::string() : it->get<std::string>();
}

}  // namespace

std::string multipart_reply(std::size_t parts)
{
    return compact(exception_reply("request of " + std::to_string(parts) + " message parts; a request is one part"));
}

std::string oversize_reply(std::size_t bytes, std::size_t limit)
{
    return compact(exception_reply("request too large: " + std::to_string(bytes) + " bytes, at most " +
                                   std::to_string(limit)));
}

std::string try_again_reply(std::string_view text)
{
    json reply;
    if (!nests_deeper_than(text, MAX_REQUEST_DEPTH)) {
        const json request = json::parse(text, nullptr, false);
        if (request.is_object())
            if (auto it = request.find("requestId"); it != request.end())
                reply["requestId"] = *it;
    }
    reply["error"] = "EAGAIN";
    reply["errorMessage"] = "Request cannot be done. Try again.";
    return compact(reply);
}

bool nests_deeper_than(std::string_view text, std::size_t max)
{
    std::size_t depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

json dispatch_request(const json& request, const json& config, const mgmt_app& app, const std::string& label)
{
    std::string call, cmd;
    json reply;
    if (request.is_object()) {
        call = text_member(request, "call");
        cmd = text_member(request, "cmd");
        if (auto it = request.find("requestId"); it != request.end())
            reply["requestId"] = *it;
    }
    const bool mutating = is_mutating_request(call, cmd);
    const std::string summary = request_summary(request);
    const char* sep = summary.empty() ? "" : " ";
    if (mutating)
        spdlog::info("{}: cmd from {}: {} {}{}{}", APP_NAME, label, call, cmd, sep, summary);

    mgmt_handler handler = nullptr;
    const auto& calls = mgmt_call_table();
    if (auto c = calls.find(call); c != calls.end()) {
        if (c->second.handler != nullptr) {
            handler = c->second.handler;
        } else if (auto h = c->second.cmds->find(cmd); h != c->second.cmds->end()) {
            handler = h->second;
        }
    }
    if (handler == nullptr) {
        reply["error"] = "ENOENT";
        reply["errorMessage"] = "Cannot find call handler for: " + call;
    } else {
        json result = handler(request, config, app);
        if (result.is_object() && result.contains("error")) {
            reply["error"] = result.at("error");
            auto msg = result.find("errorMessage");
            reply["errorMessage"] = msg == result.end() ? json(nullptr) : *msg;
        } else {
            reply["response"] = std::move(result);
        }
    }
    if (mutating)
        spdlog::info("{}: done from {}: {} {}{}{} -> {}", APP_NAME, label, call, cmd, sep, summary,
                     reply_summary(reply));
    return reply;
}

std::string handle_request(std::string_view text, const std::string& label, const json& config,
                           const mgmt_app& app)
{
    json reply;
    try {
        if (nests_deeper_than(text, MAX_REQUEST_DEPTH))
            throw std::runtime_error("request nests deeper than " + std::to_string(MAX_REQUEST_DEPTH) + " levels");
        const json request = json::parse(text);
        if (spdlog::should_log(spdlog::level::debug))
            spdlog::debug("{}: handle req: {}", APP_NAME, compact(request));
        reply = dispatch_request(request, config, app, label);
    } catch (const std::exception& e) {
        const std::string what = e.what();
        reply = exception_reply(what);
        spdlog::warn("{}: request from {} failed: {}", APP_NAME, label, log_sanitize(what, 512));
    }
    try {
        // Bytes of the request can reach the reply (a parse error quotes what it
        // read): they are replaced, never a reason to leave the client unanswered.
        return compact(reply);
    } catch (...) {
        return R"({"error":"EA80001","errorMessage":"Exception during request: reply cannot be written"})";
    }
}

}  // namespace mgmt
