// test-cmdlog-fill: appends entries to a command log through log_sqlite3_t, so that
// scenarios can hand the daemon a log written exactly as the daemon writes it.
// Usage: test-cmdlog-fill DB TERM KEY VALUE [COUNT]
#include "daemon/core/log.hpp"
#include "platform/process.hpp"

#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 5 || argc > 6) {
        std::fprintf(stderr, "usage: %s DB TERM KEY VALUE [COUNT]\n", argv[0]);
        platform::process_exit(2);
    }
    try {
        std::string path = argv[1];
        uint64_t term = std::stoull(argv[2]);
        uint64_t count = argc == 6 ? std::stoull(argv[5]) : 1;
        spdlog::set_level(spdlog::level::warn);
        raft::log_sqlite3_t log(&path);
        log.open();
        for (uint64_t i = 0; i < count; ++i)
            log.append(raft::log_entry_init(log.last_index() + 1, term, argv[3], argv[4]));
        std::printf("%llu\n", static_cast<unsigned long long>(log.last_index()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        platform::process_exit(2);
    }
    platform::process_exit(0);
}
