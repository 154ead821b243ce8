// The daemon's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelm {

struct daemon_options {
    std::optional<std::string> config_file;
    std::optional<std::string> db_file;
    std::optional<uint32_t> node_id;
    std::optional<std::string> log_level;
    std::optional<std::string> transport;
};

struct parse_outcome {
    enum kind { run, help, error } what = run;
    daemon_options options;
    std::string error_text;  // the parser's own text, for `error`
    std::string summary;     // the option summary, for `help` and `error`
};

parse_outcome parse_daemon_options(int argc, const char* const* argv);

}  // namespace kelm
