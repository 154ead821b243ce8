// The command line of kelm-runner: -c CONFIG -n NODE_ID [-l LEVEL].
#pragma once

#include <cstdint>
#include <string>

namespace runner {

struct options {
    std::string config_path;
    uint32_t node_id = 0;
    std::string log_level = "info";
};

struct parsed_options {
    enum { run, help, error } what = run;
    options opts;
    std::string error_text;
    std::string summary;  // the help text
};

parsed_options parse_options(int argc, const char* const* argv);

}  // namespace runner
