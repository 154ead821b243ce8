// Runs a program to its end with standard output and standard error captured
// apart, for the utility's process-level tests and its benchmark.
#pragma once

#include <string>
#include <vector>

namespace cli::testing {

struct run_result {
    int status = -1;  // as the shell sees it: -3 is 253; 128 + signal when killed
    std::string out;
    std::string err;
    double seconds = 0;  // wall time from spawn to reaped
};

run_result run_program(const std::string& program, const std::vector<std::string>& args);

}  // namespace cli::testing
