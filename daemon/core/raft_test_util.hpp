// Test helpers for the Raft node: a hand-driven clock, a fixed random source, a
// node on an in-memory log, record builders, and a stub of the HA endpoint.
#pragma once

#include "daemon/core/memory_log.hpp"
#include "daemon/core/raft_node.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace raft::testing {

struct manual_clock : raft_clock {
    int64_t t = 1'000 * SEC;
    int64_t now_ns() override { return t; }
    void advance(int64_t d) { t += d; }
};

// Draws `value` (capped at the range): 1 gives the shortest election time-out.
struct fixed_random : random_source {
    uint64_t value = 1;
    uint64_t draw(uint64_t range) override { return std::min(value, range); }
};

inline raft_msg_t vote_request(uint32_t type, uint32_t from, uint32_t to, uint64_t term, uint64_t last_index,
                               uint64_t last_term, uint64_t incarnation)
{
    raft_msg_t m = make_msg(type, to, from, term);
    m.body.vote.last_index = last_index;
    m.body.vote.last_term = last_term;
    m.body.vote.incarnation = incarnation;
    return m;
}

inline raft_msg_t vote_response(uint32_t from, uint32_t to, uint64_t term, bool granted)
{
    raft_msg_t m = make_msg(VOTE_RESPONSE, to, from, term);
    m.body.flag = granted ? 1 : 0;
    return m;
}

inline raft_msg_t append_request(uint32_t from, uint32_t to, uint64_t term, uint64_t commit, uint64_t prev_index,
                                 uint64_t prev_term, uint64_t index = 0, uint64_t entry_term = 0,
                                 const std::string& key = "", const std::string& value = "")
{
    raft_msg_t m = make_msg(APPEND_REQUEST, to, from, term);
    m.body.append.commit = commit;
    m.body.append.prev_index = prev_index;
    m.body.append.prev_term = prev_term;
    if (index != 0)
        m.body.append.entry = log_entry_init(index, entry_term, key, value);
    return m;
}

inline raft_msg_t append_response(uint32_t from, uint32_t to, uint64_t term, bool ok, uint64_t echo)
{
    raft_msg_t m = make_msg(APPEND_RESPONSE, to, from, term);
    m.body.flag = ok ? 1 : 0;
    set_append_response_index(m, echo);
    return m;
}

// The HA endpoint (67) as the leader sees it: it answers every append with
// success and the echo, and grants its own node's pre-votes and votes.
inline raft_msg_t ha_answer(const raft_msg_t& request)
{
    if (request.type == APPEND_REQUEST) {
        const auto& a = request.body.append;
        return append_response(NODE_HA, request.from, request.term, true, a.entry.index != 0 ? a.entry.index : a.prev_index);
    }
    return vote_response(NODE_HA, request.from, request.type == PRE_VOTE_REQUEST ? request.term - 1 : request.term, true);
}

struct node_under_test {
    manual_clock* clock;
    fixed_random rnd;
    memory_log_t own_log;
    memory_log_t* log;
    std::unique_ptr<raft_node_t> node;
    std::vector<raft_msg_t> out;

    node_under_test(manual_clock* c, uint32_t id, const std::vector<uint32_t>& peers, memory_log_t* shared = nullptr)
        : clock(c), log(shared != nullptr ? shared : &own_log)
    {
        node = std::make_unique<raft_node_t>(id, log, clock, &rnd);
        for (uint32_t p : peers)
            node->raft_add_neighbour(p);
    }
    raft_node_t* operator->() { return node.get(); }
    int step(const raft_msg_t& m)
    {
        out.clear();
        return node->raft_on_message(m, out);
    }
    int tick() { return step(make_msg(TICK, 0, 0, node->term())); }
    std::vector<raft_msg_t> sent(uint32_t type, uint32_t to = 0) const
    {
        std::vector<raft_msg_t> r;
        for (const auto& m : out)
            if (m.type == type && (to == 0 || m.to == to))
                r.push_back(m);
        return r;
    }
    void append(uint64_t term, const std::string& value)
    {
        log->append(log_entry_init(log->last_index() + 1, term, "k", value));
    }
    // Times out and collects grants until the node leads; returns the new term.
    uint64_t elect()
    {
        clock->advance(7 * SEC);
        tick();
        const uint64_t t = node->term();
        for (const auto& p : node->peers())
            if (node->state() == PRE_CANDIDATE)
                step(vote_response(p.id, node->id(), t, true));
        for (const auto& p : node->peers())
            if (node->state() == CANDIDATE)
                step(vote_response(p.id, node->id(), t + 1, true));
        return node->term();
    }
};

}  // namespace raft::testing
