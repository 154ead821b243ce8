// The configuration file: existence, opening, parsing, with the programs' exit codes.
#include "nodeactions/config_load.hpp"

#include "nodeactions/exit_codes.hpp"
#include "nodeactions/phase_log.hpp"

#include <sys/stat.h>

#include <fstream>

namespace nodeactions {

json& config_doc()
{
    static json doc;
    return doc;
}

int load_config(const std::string& path)
{
    const std::string context = ctx({{"path", path}});
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return phase_failed("config", context, exit_config_missing, "JSON file was not found");
    std::ifstream in(path);
    if (!in.is_open())
        return phase_failed("config", context, exit_config_missing, "can't open config");
    try {
        config_doc() = json::parse(in);
    } catch (const json::exception& e) {
        return phase_failed("config", context, exit_config_parse, std::string("can't parse config: ") + e.what());
    }
    return exit_ok;
}

}  // namespace nodeactions
