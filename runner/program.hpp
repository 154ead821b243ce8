// Runs one node action program to its end and collects what the Runner reports:
// how it ended and the tail of its output. Safe to call from several threads.
#pragma once

#include <string>
#include <vector>

namespace runner {

struct program_result {
    enum class how { exited, signalled, not_started };
    how ended = how::not_started;
    int code = 0;             // exit status, or the signal number
    std::string start_error;  // why it did not start
    std::string output_tail;  // the last bytes of standard output and error, merged
};

// At most this much of a program's output is kept (from its end).
inline constexpr std::size_t output_tail_bytes = 64 * 1024;

// Runs argv[0] (a path) with argv, the process environment, standard input from
// /dev/null, and standard output and error into one unlinked temporary file. The
// child starts with an empty signal mask and every signal at its default action,
// whatever this process blocks or ignores. The call returns when the program exits:
// a background process that it leaves behind holding the output open costs nothing
// (it keeps writing into the file that nobody reads any more).
program_result run_program(const std::vector<std::string>& argv);

// The last line of `output` that holds "FAILED", from "FAILED" to the line's end
// (the log prefix cut off); empty when there is none.
std::string last_failed_line(const std::string& output);

}  // namespace runner
