// Starting a system tool and capturing its standard output. Single-threaded
// programs; the pipe is close-on-exec so a descriptor never outlives its run.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nodeactions {

struct run_result {
    int status = 0;      // the tool's exit status
    std::string output;  // everything it wrote to standard output
};

// Runs `program` (an absolute path, no search) with `args` after it; standard
// input and error are inherited. No result when the tool could not be started
// or waited for, or was killed by a signal; `err` says why. A tool that cannot
// be executed gives status 127 with `err` "failed to exec <program>". No time
// limit: the caller waits for the tool to end.
std::optional<run_result> run_capture(const std::string& program, const std::vector<std::string>& args,
                                      std::string* err);

}  // namespace nodeactions
