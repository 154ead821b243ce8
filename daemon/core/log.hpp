// log_t: the Raft command log and persisted Raft state, and its SQLite implementation.
// The log has no lock of its own: every caller serialises every access with the
// monitor's one log lock.
#pragma once

#include "daemon/core/raft_msg.hpp"

#include <cstdint>
#include <string>

namespace raft {

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

class log_sqlite3_t : public log_t {
public:
    explicit log_sqlite3_t(const std::string* path) : path_(path) {}
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
    uint64_t last_index_ = 0;
    uint64_t last_term_ = 0;
    uint64_t prev_index_ = 0;
    uint64_t prev_term_ = 0;
    const std::string* path_;
};

}  // namespace raft
