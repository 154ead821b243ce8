// The Runner's methods: "ping", "service" and "fence-node". Each takes the call's
// params and returns the reply as JSON text, {"response": ...} or {"error": code,
// "errorMessage": text}; bad input is an error reply, never an exception. Stateless
// after construction, so any number of connection threads may call at once.
#pragma once

#include "runner/program.hpp"

#include <msgpack.hpp>

#include <functional>
#include <string>
#include <vector>

namespace rpc {
class server;
}

namespace runner {

// Error codes of the Runner's own replies. None of them is "EOFFLINE" or
// "ETIMEDOUT": the daemon reads those as "try again" (and "EOFFLINE" from
// "fence-node" as done), which a program that ran and failed is not.
inline constexpr const char* err_invalid = "EINVAL";      // the call's argument is unusable
inline constexpr const char* err_no_program = "ENOPROG";  // the program is not installed
inline constexpr const char* err_spawn = "ESPAWN";        // the program could not be started
inline constexpr const char* err_program = "EPROGRAM";    // the program ran and failed

// The service the Runner keeps itself; the daemon's start and stop of it need no program.
inline constexpr const char* cluster_management = "$cluster-management";

struct settings {
    std::string config_path;  // handed to every program
    std::string bin_dir;      // where poolrun and nodefence are
};

using launcher = std::function<program_result(const std::vector<std::string>& argv)>;

class operations {
public:
    explicit operations(settings s, launcher run = run_program);

    std::string ping(const msgpack::object& params) const;
    std::string service(const msgpack::object& params) const;
    std::string fence_node(const msgpack::object& params) const;

    // Binds the three methods, each call logged with its argument and reply. The
    // server must not outlive this object.
    void bind_to(rpc::server& srv) const;

private:
    std::string run(const std::string& program, std::vector<std::string> args) const;

    settings settings_;
    launcher run_;
};

}  // namespace runner
