// The common start of both node action programs: logger, argument rule, action
// check, configuration path and loading; then the program's own run, whose
// configuration type errors end in one "config" failure line.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace nodeactions {

struct program_spec {
    const char* logger_name;               // "svc" / "node"
    const char* fallback_name;             // program name when argv[0] is missing
    const char* usage;                     // one "{}" for the program path
    std::vector<std::string> actions;      // accepted action words
    const char* wrong_action_message;
};

struct invocation {
    std::string action;
    std::string config_path;
    std::string target;                    // service name or node id, as given
    const nlohmann::json& doc;
};

// Runs the whole program and returns its exit status (main hands it to
// platform::process_exit). `run` does the program's lookup and action; it may
// throw config_invalid or a JSON type error for a mistyped member it reads.
int action_main(int argc, char** argv, const program_spec& spec, const std::function<int(const invocation&)>& run);

}  // namespace nodeactions
