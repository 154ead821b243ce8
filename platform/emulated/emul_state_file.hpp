// The locked JSON state file every emulated backend keeps under $KELM_EMUL_ROOT:
// "<dir>/lock" (exclusive flock held for the whole call), "<dir>/state.json"
// (rewritten through a temporary file and rename) and an append-only log of one
// JSON record a line. Lock rule: the flock covers every read and write of both files.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace platform::emul_state {

using json = nlohmann::json;

// A backend's file names and the error texts its callers already know; every
// prefix is followed by the reason (strerror or the parser's message).
struct state_file {
    std::string dir;           // made when absent
    std::string log_name;      // the append-only log, beside state.json
    json empty;                // the state when state.json does not exist yet
    std::string open_lock;     // the lock file cannot be opened
    std::string lock;          // flock fails
    std::string unreadable;    // state.json is not JSON
    std::string malformed;     // the change throws a json exception
    std::string write;         // the temporary file cannot be made or written
    std::string replace;       // rename onto state.json fails
    std::string append;        // the log cannot be appended to
};

// Runs under the lock: reads the state, lets `check` refuse it (setting *err),
// lets `change` alter it and queue log records (false with *err set refuses the
// call; *write asks for the state to be stored), then stores state and log.
// Both texts are made before anything is written, so a value that cannot be
// serialised (a name that is not UTF-8) stores nothing.
bool with_state(const state_file& file, const std::function<bool(json& state, std::string* err)>& check,
                const std::function<bool(json& state, std::vector<json>& log, bool* write)>& change,
                std::string* err);

}  // namespace platform::emul_state
