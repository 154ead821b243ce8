// log_t: the Raft command log and persisted Raft state, and its SQLite implementation.
// Locking: the log has no lock of its own and its cached pairs are plain fields, so
// callers serialise every call (reads included) with one lock, the monitor's log lock.
#pragma once

#include "daemon/core/db_lock.hpp"
#include "daemon/core/raft_msg.hpp"

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace raft {

// Not thread-safe: every access, from any thread, must hold the one lock that all
// users of a given log share (the monitor provides it). No call may run concurrently
// with another, not even two reads: the cached newest pair and the prepared
// statements are shared state.
class log_t {
public:
    virtual ~log_t() = default;
    virtual int open() = 0;
    virtual uint64_t last_index() = 0;
    virtual uint64_t last_term() = 0;
    virtual uint64_t prev_index() = 0;
    virtual uint64_t prev_term() = 0;
    virtual bool exists(uint64_t index, uint64_t term) = 0;
    virtual void truncate(uint64_t from_index) = 0;
    virtual int append(const log_entry_t& entry) = 0;
    virtual log_entry_t get(uint64_t index) = 0;
    virtual void save_state(uint64_t term, uint32_t voted_for, uint64_t last_applied) = 0;
    virtual void load_state(uint64_t* term, uint32_t* voted_for, uint64_t* last_applied) = 0;
};

// Tables "cmdlog" (one row per entry) and "raft" (one row: term, vote, last applied).
// Every change is durable when the call returns (WAL, synchronous FULL). Any SQL
// failure ends the process with status 1: the node must not run on a log it cannot
// trust. The database stays readable by other processes (the sqlite3 tool).
class log_sqlite3_t : public log_t {
public:
    explicit log_sqlite3_t(const std::string* path) : path_(path) {}
    log_sqlite3_t(const log_sqlite3_t&) = delete;
    log_sqlite3_t& operator=(const log_sqlite3_t&) = delete;
    ~log_sqlite3_t() override;

    // Takes "<db>.lock" for the life of this object; when another process (or another
    // log object) holds it, logs why and ends the process with status 1. `open` takes
    // it too when it is not held yet.
    void lock();

    int open() override;
    uint64_t last_index() override { return last_index_; }
    uint64_t last_term() override { return last_term_; }
    uint64_t prev_index() override { return prev_index_; }
    uint64_t prev_term() override { return prev_term_; }
    bool exists(uint64_t index, uint64_t term) override;
    void truncate(uint64_t from_index) override;
    int append(const log_entry_t& entry) override;
    log_entry_t get(uint64_t index) override;
    void save_state(uint64_t term, uint32_t voted_for, uint64_t last_applied) override;
    void load_state(uint64_t* term, uint32_t* voted_for, uint64_t* last_applied) override;

private:
    void exec(const char* sql);
    sqlite3_stmt* prepare(const char* sql);
    bool step_row(sqlite3_stmt* stmt);   // true: a row; false: done; error: fatal
    void step_change(sqlite3_stmt* stmt);  // a statement without result; error: fatal
    void load_newest_pair(bool at_open);

    uint64_t last_index_ = 0;
    uint64_t last_term_ = 0;
    uint64_t prev_index_ = 0;
    uint64_t prev_term_ = 0;
    const std::string* path_;
    sqlite3* db_ = nullptr;
    db_lock lock_;
    sqlite3_stmt* newest_ = nullptr;
    sqlite3_stmt* exists_ = nullptr;
    sqlite3_stmt* truncate_ = nullptr;
    sqlite3_stmt* append_ = nullptr;
    sqlite3_stmt* get_ = nullptr;
    sqlite3_stmt* save_ = nullptr;
    sqlite3_stmt* load_ = nullptr;
};

}  // namespace raft
