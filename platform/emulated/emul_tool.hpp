// The entry point of the emulation set-up tools (kelm-emul-*): runs the tool's
// command and turns what it throws (a bad JSON argument, a bad number) into a
// message on stderr and an exit code, so no tool dies on an uncaught exception.
#pragma once

#include "platform/process.hpp"

#include <exception>
#include <iostream>

namespace platform {

// Exits with what `run` returns, or prints "<name>: <reason>" and exits with
// `thrown_rc` when it throws.
[[noreturn]] inline void emul_tool_main(const char* name, int (*run)(int, char**), int argc, char** argv,
                                        int thrown_rc)
{
    int rc = 1;
    try {
        rc = run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << "\n";
        rc = thrown_rc;
    }
    process_exit(rc);
}

}  // namespace platform
