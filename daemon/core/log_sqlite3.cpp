// SQLite command log: tables, the cached newest two (index, term) pairs, persisted
// Raft state. No lock of its own: callers serialise every call (see log.hpp).
// Every value reaches SQL as a bound parameter, so no key or value text can change
// a statement; 64-bit numbers are bound and read as 64-bit.
#include "daemon/core/log.hpp"

#include "platform/process.hpp"

#include <spdlog/spdlog.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>

namespace raft {

namespace {

// Waits this long for a reader of another process (an operator's sqlite3) that
// holds a lock for a moment, instead of ending the daemon on SQLITE_BUSY.
constexpr int busy_timeout_ms = 5000;

constexpr const char* schema[] = {
    "PRAGMA journal_mode = WAL;",
    "PRAGMA synchronous = FULL;",
    "PRAGMA journal_size_limit = 1000000;",
    "PRAGMA wal_autocheckpoint = 100;",
    "CREATE TABLE IF NOT EXISTS cmdlog (idx INTEGER NOT NULL,term INT NOT NULL, key TEXT, value TEXT);",
    // One statement split over two lines: the parentheses tell clang the missing comma is meant.
    ("CREATE TABLE IF NOT EXISTS raft (id BOOLEAN PRIMARY KEY DEFAULT True CONSTRAINT one_row_only CHECK(id) "
     "NOT NULL,current_term INTEGER,vote INTEGER, last_applied INTEGER);"),
    // Without it start-up and every lookup scan the whole table.
    "CREATE INDEX IF NOT EXISTS cmdlog_idx ON cmdlog(idx);",
};

// The newest two rows, oldest first; ties on idx keep insertion order.
constexpr const char* sql_newest =
    "select idx, term from cmdlog where idx >= ((select max(idx) from cmdlog) - 1) order by idx, rowid;";
constexpr const char* sql_exists = "select 1 from cmdlog where idx == ?1 and term == ?2 limit 1;";
constexpr const char* sql_truncate = "delete from cmdlog where idx >= ?1;";
constexpr const char* sql_append = "insert into cmdlog values(?1, ?2, ?3, ?4);";
// Should a row appear twice, the one inserted last wins.
constexpr const char* sql_get = "select term, key, value from cmdlog where idx == ?1 order by rowid desc limit 1;";
constexpr const char* sql_save = "insert or replace into raft values(true, ?1, ?2, ?3);";
constexpr const char* sql_load = "select current_term, vote, last_applied from raft;";

int64_t as_sql(uint64_t v) { return static_cast<int64_t>(v); }
uint64_t column_u64(sqlite3_stmt* s, int col) { return static_cast<uint64_t>(sqlite3_column_int64(s, col)); }

// Copies a text column into a fixed field, cut so that its NUL always fits.
void copy_text(sqlite3_stmt* s, int col, char* field, size_t size)
{
    std::memset(field, 0, size);
    const auto* text = sqlite3_column_text(s, col);
    if (text == nullptr)
        return;
    size_t n = std::min(static_cast<size_t>(sqlite3_column_bytes(s, col)), size - 1);
    n = strnlen(reinterpret_cast<const char*>(text), n);  // an embedded NUL ends the text for every reader
    std::memcpy(field, text, n);
}

// Binds a fixed field's text up to its first NUL (never past the field).
void bind_text(sqlite3_stmt* s, int param, const char* field, size_t size)
{
    sqlite3_bind_text(s, param, field, static_cast<int>(strnlen(field, size - 1)), SQLITE_STATIC);
}

// Resets a statement when the scope ends, whatever way it ends.
struct reset_on_exit {
    sqlite3_stmt* stmt;
    ~reset_on_exit()
    {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
};

}  // namespace

log_sqlite3_t::~log_sqlite3_t()
{
    for (sqlite3_stmt* s : {newest_, exists_, truncate_, append_, get_, save_, load_})
        sqlite3_finalize(s);
    if (db_ != nullptr)
        sqlite3_close(db_);
}

void log_sqlite3_t::lock()
{
    std::string why;
    if (!lock_.acquire(*path_, &why)) {
        spdlog::error("[slog] {}", why);
        platform::process_exit(1);
    }
}

void log_sqlite3_t::exec(const char* sql)
{
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        spdlog::error("SQL error: {}", err != nullptr ? err : sqlite3_errmsg(db_));
        sqlite3_free(err);
        platform::process_exit(1);
    }
}

sqlite3_stmt* log_sqlite3_t::prepare(const char* sql)
{
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK)
        platform::fatal("Failed to execute statement: %s\n", sqlite3_errmsg(db_));
    return stmt;
}

bool log_sqlite3_t::step_row(sqlite3_stmt* stmt)
{
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    // A failed read must not pass for "no such entry": the node would answer peers
    // from a log it could not read.
    platform::fatal("Failed to execute statement: %s\n", sqlite3_errmsg(db_));
}

void log_sqlite3_t::step_change(sqlite3_stmt* stmt)
{
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
        spdlog::error("SQL error: {}", sqlite3_errmsg(db_));
        platform::process_exit(1);
    }
}

int log_sqlite3_t::open()
{
    lock();
    if (sqlite3_open_v2(path_->c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        platform::fatal("can't open database file: \"%s\"\n", path_->c_str());
    sqlite3_busy_timeout(db_, busy_timeout_ms);
    spdlog::info("[slog] db open \"{}\" Ok", *path_);
    for (const char* sql : schema)
        exec(sql);
    newest_ = prepare(sql_newest);
    exists_ = prepare(sql_exists);
    truncate_ = prepare(sql_truncate);
    append_ = prepare(sql_append);
    get_ = prepare(sql_get);
    save_ = prepare(sql_save);
    load_ = prepare(sql_load);
    load_newest_pair(true);
    return 0;
}

void log_sqlite3_t::load_newest_pair(bool at_open)
{
    reset_on_exit guard{newest_};
    last_index_ = last_term_ = prev_index_ = prev_term_ = 0;
    for (int row = 0; step_row(newest_); ++row) {
        if (row > 0) {
            prev_index_ = last_index_;
            prev_term_ = last_term_;
        }
        last_index_ = column_u64(newest_, 0);
        last_term_ = column_u64(newest_, 1);
        spdlog::trace("[slog] {}: idx = {}, term = {}", row, last_index_, last_term_);
    }
    if (at_open)
        spdlog::info("[slog] read command log done. last_idx = {}, last_term = {}", last_index_, last_term_);
    spdlog::trace("[slog] log li: {}, lt: {}, pi: {}, pt: {}", last_index_, last_term_, prev_index_, prev_term_);
}

bool log_sqlite3_t::exists(uint64_t index, uint64_t term)
{
    if ((index == 0 && term == 0) || (index == prev_index_ && term == prev_term_) ||
        (index == last_index_ && term == last_term_))
        return true;
    reset_on_exit guard{exists_};
    sqlite3_bind_int64(exists_, 1, as_sql(index));
    sqlite3_bind_int64(exists_, 2, as_sql(term));
    return step_row(exists_);
}

void log_sqlite3_t::truncate(uint64_t from_index)
{
    {
        reset_on_exit guard{truncate_};
        sqlite3_bind_int64(truncate_, 1, as_sql(from_index));
        step_change(truncate_);
    }
    // The cached pair must never name a deleted entry: `exists` and the leader's
    // heartbeat read it without SQL.
    load_newest_pair(false);
}

int log_sqlite3_t::append(const log_entry_t& entry)
{
    spdlog::trace("[slog] append: i: {} t: {} k: {} v: {}", entry.index, entry.term,
                  std::string_view(entry.key, strnlen(entry.key, KEY_SIZE - 1)),
                  std::string_view(entry.value, strnlen(entry.value, VALUE_SIZE - 1)));
    {
        reset_on_exit guard{append_};
        sqlite3_bind_int64(append_, 1, as_sql(entry.index));
        sqlite3_bind_int64(append_, 2, as_sql(entry.term));
        bind_text(append_, 3, entry.key, KEY_SIZE);
        bind_text(append_, 4, entry.value, VALUE_SIZE);
        step_change(append_);
    }
    prev_index_ = last_index_;
    prev_term_ = last_term_;
    last_index_ = entry.index;
    last_term_ = entry.term;
    return 0;
}

log_entry_t log_sqlite3_t::get(uint64_t index)
{
    log_entry_t e;
    std::memset(&e, 0, sizeof e);
    if (index == 0)
        return e;
    reset_on_exit guard{get_};
    sqlite3_bind_int64(get_, 1, as_sql(index));
    if (!step_row(get_))
        return e;
    e.index = index;
    e.term = column_u64(get_, 0);
    copy_text(get_, 1, e.key, KEY_SIZE);
    copy_text(get_, 2, e.value, VALUE_SIZE);
    return e;
}

void log_sqlite3_t::save_state(uint64_t term, uint32_t voted_for, uint64_t last_applied)
{
    // Term and vote must be on disk before any reply that depends on them. A change
    // of last_applied alone need not wait for its own fsync: the write-ahead log is
    // synced whole by the next durable commit, and a last_applied lost in a crash only
    // makes the node apply those committed entries again, which sets the same values.
    // This saves one fsync per applied entry on the set-value path.
    bool progress_only = durable_known_ && term == durable_term_ && voted_for == durable_vote_;
    if (progress_only)
        exec("PRAGMA synchronous = NORMAL;");
    {
        reset_on_exit guard{save_};
        sqlite3_bind_int64(save_, 1, as_sql(term));
        sqlite3_bind_int64(save_, 2, voted_for);
        sqlite3_bind_int64(save_, 3, as_sql(last_applied));
        step_change(save_);
    }
    if (progress_only)
        exec("PRAGMA synchronous = FULL;");
    durable_known_ = true;
    durable_term_ = term;
    durable_vote_ = voted_for;
}

void log_sqlite3_t::load_state(uint64_t* term, uint32_t* voted_for, uint64_t* last_applied)
{
    reset_on_exit guard{load_};
    *term = 0;
    *voted_for = 0;
    *last_applied = 0;
    while (step_row(load_)) {
        *term = column_u64(load_, 0);
        *voted_for = static_cast<uint32_t>(sqlite3_column_int64(load_, 1));
        *last_applied = column_u64(load_, 2);
    }
    durable_known_ = true;
    durable_term_ = *term;
    durable_vote_ = *voted_for;
    spdlog::trace("[slog] load persisted state t: {} v: {} la: {}", *term, *voted_for, *last_applied);
}

}  // namespace raft
