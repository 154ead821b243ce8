// The in-memory command log.
#include "daemon/core/memory_log.hpp"

#include <stdexcept>
#include <string>

namespace raft {

uint64_t memory_log_t::last_index() { return entries_.size(); }

uint64_t memory_log_t::last_term() { return entries_.empty() ? 0 : entries_.back().term; }

uint64_t memory_log_t::prev_index() { return entries_.size() < 2 ? 0 : entries_.size() - 1; }

uint64_t memory_log_t::prev_term() { return entries_.size() < 2 ? 0 : entries_[entries_.size() - 2].term; }

bool memory_log_t::exists(uint64_t index, uint64_t term)
{
    if (index == 0)
        return term == 0;
    return index <= entries_.size() && entries_[index - 1].term == term;
}

void memory_log_t::truncate(uint64_t from_index)
{
    if (from_index == 0)
        from_index = 1;
    if (from_index <= entries_.size()) {
        entries_.resize(from_index - 1);
        synced_applied_ = last_applied_;
        ++version_;
        if (changed_from_ == 0 || from_index < changed_from_)
            changed_from_ = from_index;
    }
}

int memory_log_t::append(const log_entry_t& entry)
{
    if (entry.index != entries_.size() + 1)
        throw std::logic_error("memory_log_t: append of index " + std::to_string(entry.index) +
                               " after " + std::to_string(entries_.size()));
    entries_.push_back(entry);
    synced_applied_ = last_applied_;
    ++version_;
    if (changed_from_ == 0 || entry.index < changed_from_)
        changed_from_ = entry.index;
    return 0;
}

log_entry_t memory_log_t::get(uint64_t index)
{
    if (index == 0 || index > entries_.size())
        return log_entry_init(0, 0, "", "");
    return entries_[index - 1];
}

uint64_t memory_log_t::take_changed_from()
{
    const uint64_t v = changed_from_;
    changed_from_ = 0;
    return v;
}

void memory_log_t::save_state(uint64_t term, uint32_t voted_for, uint64_t last_applied)
{
    const bool progress_only = state_known_ && term == term_ && voted_for == voted_for_;
    term_ = term;
    voted_for_ = voted_for;
    last_applied_ = last_applied;
    state_known_ = true;
    if (!progress_only)
        synced_applied_ = last_applied;
}

void memory_log_t::lose_unsynced()
{
    last_applied_ = synced_applied_;
    state_known_ = false;
}

void memory_log_t::load_state(uint64_t* term, uint32_t* voted_for, uint64_t* last_applied)
{
    *term = term_;
    *voted_for = voted_for_;
    *last_applied = last_applied_;
    state_known_ = true;
}

}  // namespace raft
