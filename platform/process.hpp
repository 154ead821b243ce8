// Process utilities shared by the daemon and the other programs: threads with names,
// the one exit path, fatal errors, uuids, the host name and kernel variables.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

using thread_fn = void* (*)(void*);

// Creates a joinable thread named `name` (cut to 15 bytes). The new thread starts
// with SIGINT, SIGTERM and SIGQUIT blocked: only the main thread takes stop signals.
// A thread that cannot be created ends the process with status 1.
pthread_t thread_start(thread_fn fn, void* arg, const char* name);

// Names the calling thread (cut to 15 bytes, the platform's limit).
void thread_set_name(const std::string& name);

// Blocks SIGINT, SIGTERM and SIGQUIT in the calling thread (threads it creates inherit it).
void block_stop_signals();
// Unblocks them again in the calling thread.
void unblock_stop_signals();

// The one way out of a program: flushes every log and stdio, lets LeakSanitizer
// check in sanitizer builds, then ends the process at once with `status`.
// Safe from any thread; never runs static destructors.
[[noreturn]] void process_exit(int status);

// Writes the printf-style message, then strerror(errno) and a newline, to stderr
// and ends the process with status 1.
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A new UUID in its 36-character text form; "can't generate uuid" and exit 1 on failure.
std::string make_uuid();

// The host name: KELM_EMUL_HOST when the platform is emulated (KELM_EMUL_ROOT set)
// and the variable is not empty, else the kernel's. None when it cannot be read.
std::optional<std::string> read_hostname();

// read_hostname, or "can't get hostname" and exit 1 (the daemon cannot run
// without knowing which node it is).
std::string get_hostname();

// Sets an integer kernel variable. Emulated: writes the value as text to
// "<KELM_EMUL_ROOT>/sysctl/<name>". Never touches the running kernel on Linux.
// Failure logs "Can't set sysctl '{}' to {}" and returns false; callers go on.
bool sysctl_set_int(const std::string& name, int32_t value);

}  // namespace platform
