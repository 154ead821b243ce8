// Phase lines: the progress and failure lines of the node action programs, the
// logger they go through, and the usage line. Single-threaded programs.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

namespace nodeactions {

// Logger pattern shared with the daemon.
inline constexpr const char* log_pattern = "[%Y-%m-%d %T.%e] %^[%L]%$ [%t] %v";

// Installs the default logger `name` ("svc" or "node"): plain stdout, level info,
// flushed on every line so a caller reading the pipe sees each line at once.
void setup_logger(const std::string& name);

// Makes an inserted value safe for one phase line: control characters become
// "\n", "\r", "\t" or "\xHH", so no value (a pool name, tool output, a library
// text) can start a line of its own that reads like "FAILED ..." or "done".
std::string escape_value(const std::string& text);

// The phase lines escape their context and message whole (the fixed texts hold no
// control characters), so callers insert values as they are.

// "phase=<phase> <context> : <message>" (no context: "phase=<phase> : <message>"), info.
void phase_info(const std::string& phase, const std::string& context, const std::string& message);
// The same at level error.
void phase_error(const std::string& phase, const std::string& context, const std::string& message);
// "FAILED phase=<phase> <context> exit=<code> : <message>" at error; returns code.
// The one line that ends a failed run.
int phase_failed(const std::string& phase, const std::string& context, int code, const std::string& message);

// Context text builder: ctx({{"pool", name}, {"health", word}}) gives
// "pool=<name> health=<word>".
std::string ctx(std::initializer_list<std::pair<const char*, std::string>> pairs);

// The usage line at level error; `usage_format` holds one "{}" for the program path.
// A missing path (argc 0) prints `fallback_name` instead.
void print_usage(const char* usage_format, const char* program_path, const char* fallback_name);

}  // namespace nodeactions
