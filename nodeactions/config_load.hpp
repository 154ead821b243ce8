// Loading the shared configuration file into the process-wide document that
// every step of a node action program reads. Single-threaded programs.
#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

namespace nodeactions {

using json = nlohmann::json;

// The configuration document, held for the life of the process.
json& config_doc();

// Loads `path` into config_doc(). Returns 0, or the exit status after the one
// failure line: 11 "JSON file was not found" (missing or not a regular file,
// a link to one counts), 11 "can't open config", 12 "can't parse config: <why>".
int load_config(const std::string& path);

// Thrown by a program's own lookup when a member it reads has the wrong JSON
// type; the program's main turns it into one failure line in phase "config"
// with exit_config_invalid.
class config_invalid : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace nodeactions
