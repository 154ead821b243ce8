// SQLite command log. Start-up stand-in until the command log lands: holds nothing.
#include "daemon/core/log.hpp"

#include <spdlog/spdlog.h>

namespace raft {

int log_sqlite3_t::open()
{
    spdlog::info("[slog] db open \"{}\" Ok", *path_);
    return 0;
}

bool log_sqlite3_t::exists(uint64_t index, uint64_t term) { return index == 0 && term == 0; }
void log_sqlite3_t::truncate(uint64_t) {}
int log_sqlite3_t::append(const log_entry_t&) { return 0; }
log_entry_t log_sqlite3_t::get(uint64_t) { return log_entry_init(0, 0, "", ""); }
void log_sqlite3_t::save_state(uint64_t, uint32_t, uint64_t) {}
void log_sqlite3_t::load_state(uint64_t* term, uint32_t* voted_for, uint64_t* last_applied)
{
    *term = 0;
    *voted_for = 0;
    *last_applied = 0;
}

}  // namespace raft
