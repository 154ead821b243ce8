// The Runner's methods: argument checks, the program command lines, and the
// translation of a program's end into the reply object.
#include "runner/operations.hpp"

#include "rpc/errors.hpp"
#include "rpc/server.hpp"

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <unistd.h>

#include <optional>
#include <sstream>

namespace runner {

namespace {

using json = nlohmann::json;

std::string text(const json& j)
{
    // Program output may hold bytes that are not UTF-8: replace them rather than fail.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string error_reply(const std::string& code, const std::string& message)
{
    return text(json{{"error", code}, {"errorMessage", message}});
}

std::string ok_reply()
{
    return text(json{{"response", "ok"}});
}

// The one argument of a call: a msgpack string holding a JSON object.
std::optional<json> decode_argument(const msgpack::object& params, std::string* problem)
{
    if (params.type != msgpack::type::ARRAY || params.via.array.size != 1) {
        *problem = "expected one argument, a JSON object as text";
        return std::nullopt;
    }
    const msgpack::object& arg = params.via.array.ptr[0];
    if (arg.type != msgpack::type::STR) {
        *problem = "the argument is not a text";
        return std::nullopt;
    }
    json doc = json::parse(arg.via.str.ptr, arg.via.str.ptr + arg.via.str.size, nullptr, false);
    if (doc.is_discarded()) {
        *problem = "the argument is not valid JSON";
        return std::nullopt;
    }
    if (!doc.is_object()) {
        *problem = "the argument is not a JSON object";
        return std::nullopt;
    }
    return doc;
}

std::optional<std::string> string_member(const json& doc, const char* key)
{
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

operations::operations(settings s, launcher run) : settings_(std::move(s)), run_(std::move(run)) {}

std::string operations::ping(const msgpack::object&) const
{
    return text(json{{"response", "pong"}});
}

std::string operations::service(const msgpack::object& params) const
{
    std::string problem;
    auto arg = decode_argument(params, &problem);
    if (!arg)
        return error_reply(err_invalid, problem);
    auto cmd = string_member(*arg, "cmd");
    if (!cmd || (*cmd != "start" && *cmd != "stop" && *cmd != "recovery"))
        return error_reply(err_invalid, "\"cmd\" must be one of 'start', 'stop' or 'recovery'");
    auto name = string_member(*arg, "serviceName");
    if (!name || name->empty())
        return error_reply(err_invalid, "\"serviceName\" must be a non-empty text");
    if (name->find('\0') != std::string::npos)
        return error_reply(err_invalid, "\"serviceName\" holds a NUL byte");
    if (*name == cluster_management) {
        if (*cmd == "recovery")
            return error_reply(err_invalid, std::string(cluster_management) + " has no recovery");
        spdlog::info("[runner] {} {}: kept by the Runner itself", cluster_management, *cmd);
        return ok_reply();
    }
    return run("poolrun", {*cmd, settings_.config_path, *name});
}

std::string operations::fence_node(const msgpack::object& params) const
{
    std::string problem;
    auto arg = decode_argument(params, &problem);
    if (!arg)
        return error_reply(err_invalid, problem);
    auto cmd = string_member(*arg, "cmd");
    if (!cmd || (*cmd != "on" && *cmd != "off"))
        return error_reply(err_invalid, "\"cmd\" must be 'on' or 'off'");
    auto node = arg->find("node");
    if (node == arg->end() || !node->is_number_unsigned())
        return error_reply(err_invalid, "\"node\" must be an unsigned integer");
    return run("nodefence", {"fence-" + *cmd, settings_.config_path, std::to_string(node->get<uint64_t>())});
}

std::string operations::run(const std::string& program, std::vector<std::string> args) const
{
    std::string path = settings_.bin_dir + "/" + program;
    if (::access(path.c_str(), X_OK) != 0)
        return error_reply(err_no_program, program + " is not installed: " + path);
    args.insert(args.begin(), path);
    std::string line;
    for (const auto& a : args)
        line += (line.empty() ? "" : " ") + a;
    spdlog::info("[runner] run: {}", line);

    program_result r = run_(args);
    std::istringstream lines(r.output_tail);
    for (std::string l; std::getline(lines, l);)
        spdlog::debug("[runner] {}| {}", program, l);

    switch (r.ended) {
    case program_result::how::not_started:
        return error_reply(err_spawn, r.start_error);
    case program_result::how::signalled:
        return error_reply(err_program, program + " killed by signal " + std::to_string(r.code));
    case program_result::how::exited:
        break;
    }
    if (r.code == 0)
        return ok_reply();
    std::string failed = last_failed_line(r.output_tail);
    if (failed.empty())
        failed = program + " exited with status " + std::to_string(r.code);
    return error_reply(err_program, failed);
}

void operations::bind_to(rpc::server& srv) const
{
    using member = std::string (operations::*)(const msgpack::object&) const;
    const std::pair<const char*, member> methods[] = {
        {"ping", &operations::ping},
        {"service", &operations::service},
        {"fence-node", &operations::fence_node},
    };
    for (const auto& entry : methods) {
        std::string method = entry.first;
        member fn = entry.second;  // a named copy: clang 14 refuses to capture a structured binding
        srv.bind(method, [this, method, fn](const msgpack::object& params) {
            spdlog::info("[runner] >>> call '{}' data '{}'", method, rpc::object_text(params));
            std::string reply = (this->*fn)(params);
            if (reply.starts_with("{\"error\""))
                spdlog::error("[runner] <<< call '{}' => '{}'", method, reply);
            else
                spdlog::info("[runner] <<< call '{}' => '{}'", method, reply);
            return rpc::value::of(reply);
        });
    }
}

}  // namespace runner
