// memory_log_t: a log_t held in memory, for tests and the cluster simulator. It
// stands for a durable log: whatever a call changed is kept when the Raft node
// that used it is destroyed (a simulated crash) and seen by the next one. It
// also follows the command log's sync rules, so that a simulated power loss
// (lose_unsynced) drops exactly what the SQLite log could lose: appends,
// truncations and any save that changes term or vote are synced, and sync
// every earlier write with them; a save that changes last_applied alone is not.
// No lock: callers serialise every access, as with every log_t.
#pragma once

#include "daemon/core/log.hpp"

#include <cstdint>
#include <vector>

namespace raft {

class memory_log_t : public log_t {
public:
    int open() override { return 0; }
    uint64_t last_index() override;
    uint64_t last_term() override;
    uint64_t prev_index() override;
    uint64_t prev_term() override;
    bool exists(uint64_t index, uint64_t term) override;
    void truncate(uint64_t from_index) override;
    // Entries must come in index order (index = last_index() + 1); anything else
    // would leave a gap the node could never fill, so it throws std::logic_error.
    int append(const log_entry_t& entry) override;
    log_entry_t get(uint64_t index) override;
    void save_state(uint64_t term, uint32_t voted_for, uint64_t last_applied) override;
    void load_state(uint64_t* term, uint32_t* voted_for, uint64_t* last_applied) override;

    // For checkers: the persisted state and a counter bumped by every entry change.
    uint64_t saved_term() const { return term_; }
    uint32_t saved_vote() const { return voted_for_; }
    uint64_t saved_applied() const { return last_applied_; }
    uint64_t version() const { return version_; }
    const std::vector<log_entry_t>& entries() const { return entries_; }  // index i at [i - 1]
    // The lowest index changed since the last take_changed_from() (0: none).
    uint64_t take_changed_from();
    // A power loss: last_applied goes back to its last synced value.
    void lose_unsynced();
    uint64_t synced_applied() const { return synced_applied_; }

private:
    std::vector<log_entry_t> entries_;
    uint64_t term_ = 0;
    uint32_t voted_for_ = 0;
    uint64_t last_applied_ = 0;
    uint64_t synced_applied_ = 0;
    bool state_known_ = false;  // term and vote on disk are known (the SQLite log's rule)
    uint64_t version_ = 0;
    uint64_t changed_from_ = 0;
};

}  // namespace raft
