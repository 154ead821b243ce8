// Arguments, action word and configuration loading shared by poolrun and nodefence.
#include "nodeactions/action_main.hpp"

#include "config/cluster_config.hpp"
#include "nodeactions/config_load.hpp"
#include "nodeactions/exit_codes.hpp"
#include "nodeactions/phase_log.hpp"
#include "platform/emulation.hpp"

#include <algorithm>

namespace nodeactions {

int action_main(int argc, char** argv, const program_spec& spec, const std::function<int(const invocation&)>& run)
{
    setup_logger(spec.logger_name);
    const char* program = (argc > 0 && argv != nullptr) ? argv[0] : nullptr;
    if (argc < 3) {
        print_usage(spec.usage, program, spec.fallback_name);
        return exit_usage;
    }
    // The action word is judged before the argument count.
    std::string action = argv[1];
    if (std::find(spec.actions.begin(), spec.actions.end(), action) == spec.actions.end())
        return phase_failed("config", ctx({{"action", action}}), exit_wrong_action, spec.wrong_action_message);

    std::string path;
    std::string target;
    if (argc == 3) {
        path = platform::system_path(config::default_path);
        target = argv[2];
    } else if (argc == 4) {
        path = argv[2];
        target = argv[3];
    } else {
        print_usage(spec.usage, program, spec.fallback_name);
        return exit_usage;
    }
    if (int rc = load_config(path); rc != exit_ok)
        return rc;

    // A member of the wrong type ends the run with one failure line in phase
    // "config" instead of an uncaught exception.
    auto invalid = [&path](const char* what) {
        return phase_failed("config", ctx({{"path", path}}), exit_config_invalid, std::string("bad config: ") + what);
    };
    try {
        return run(invocation{action, path, target, config_doc()});
    } catch (const config_invalid& e) {
        return invalid(e.what());
    } catch (const nlohmann::json::exception& e) {
        return invalid(e.what());
    }
}

}  // namespace nodeactions
