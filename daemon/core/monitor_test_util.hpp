// Test fixtures for the node monitor: a hand-driven clock, an in-memory log, queues
// for every peer, and an application that records the events it receives.
#pragma once

#include "daemon/core/memory_log.hpp"
#include "daemon/core/monitor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace monitor::test {

struct manual_clock : raft::raft_clock {
    std::atomic<int64_t> now{1'000'000'000};
    int64_t now_ns() override { return now.load(); }
    void advance(int64_t ns) { now += ns; }
};

struct fixed_random : raft::random_source {
    uint64_t draw(uint64_t) override { return 1; }
};

struct recording_app {
    app_record rec;
    std::mutex mutex;
    std::vector<std::string> events;

    explicit recording_app(const char* name)
    {
        rec.name = name;
        rec.handler = [this](const std::string& ev, const std::string& val) {
            std::lock_guard lk(mutex);
            events.push_back(ev + ":" + val);
        };
    }
    std::vector<std::string> take()
    {
        std::lock_guard lk(mutex);
        auto out = events;
        events.clear();
        return out;
    }
};

// One monitor with node id `own` among configured nodes 1..n; peer queues for the
// others, plus 67 when `ha`. Stepped by hand unless `thread` is set.
struct monitor_rig {
    manual_clock clock;
    fixed_random random;
    raft::memory_log_t log;
    raft::mq_t rx;
    std::vector<std::unique_ptr<raft::mq_t>> owned;
    std::vector<raft::mq_t*> tx;
    nlohmann::json config;
    std::vector<int> exits;
    std::vector<std::string> sysctls;
    std::mutex exits_mutex;
    std::unique_ptr<node_monitor> mon;
    uint32_t own;

    monitor_rig(uint32_t own_id, uint32_t n, bool ha = false, bool thread = false, bool self_fencing = false,
                std::vector<uint16_t> runner_ports = {})
        : own(own_id)
    {
        raft::mq_init(&rx, "rx_queue", own_id);
        config = {{"cluster", {{"self_fencing", self_fencing}}}, {"nodes", nlohmann::json::array()}};
        node_monitor::hooks h;
        h.clock = &clock;
        h.random = &random;
        h.exit = [this](int s) {
            std::lock_guard lk(exits_mutex);
            exits.push_back(s);
        };
        h.sysctl = [this](const std::string& name, int32_t v) {
            std::lock_guard lk(exits_mutex);
            sysctls.push_back(name + "=" + std::to_string(v));
            return true;
        };
        h.stop_grace = std::chrono::milliseconds(0);
        h.register_poll = std::chrono::milliseconds(5);
        h.run_thread = thread;
        mon = std::make_unique<node_monitor>(h);
        for (uint32_t i = 1; i <= n; ++i) {
            uint16_t port = i - 1 < runner_ports.size() ? runner_ports[i - 1] : static_cast<uint16_t>(1);
            config["nodes"].push_back({{"id", i}, {"nodename", "node" + std::to_string(i)},
                                       {"internal_addr", "127.0.0.1"}, {"runner_port", port}});
            mon->register_runner(i, "127.0.0.1", port);
            if (i != own_id)
                add_queue(i);
        }
        if (ha)
            add_queue(raft::NODE_HA);
    }
    ~monitor_rig() { mon.reset(); }

    void add_queue(uint32_t tag)
    {
        owned.push_back(std::make_unique<raft::mq_t>());
        raft::mq_init(owned.back().get(), "tx_queue", tag);
        tx.push_back(owned.back().get());
    }
    raft::mq_t* queue(uint32_t tag)
    {
        for (auto* q : tx)
            if (q->tag == tag)
                return q;
        return nullptr;
    }
    void start() { mon->start(own, &log, &rx, &tx, &config); }
    void tick() { mon->run_once(raft::make_msg(raft::TICK, 0, 0, mon->term())); }
    // With "mon-raft" running: moves time on until this single node leads and has
    // applied its session entry (the thread restarts the election timer when it
    // starts, whenever that is).
    bool await_single_node_leader()
    {
        for (int i = 0; i < 500; ++i) {
            if (mon->state() == raft::LEADER && mon->kv_get(SESSION_KEY))
                return true;
            clock.advance(raft::SEC);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::vector<int> exit_calls()
    {
        std::lock_guard lk(exits_mutex);
        return exits;
    }
};

inline raft::raft_msg_t state_changed(uint32_t from, uint32_t to, uint32_t reason, uint64_t incarnation, uint64_t term = 1)
{
    raft::raft_msg_t m = raft::make_msg(raft::STATE_CHANGED, 0, 0, term);
    m.body.state_changed.old_state = from;
    m.body.state_changed.new_state = to;
    m.body.state_changed.reason = reason;
    m.body.state_changed.incarnation = incarnation;
    return m;
}

inline raft::raft_msg_t node_status(uint32_t from, bool alive)
{
    raft::raft_msg_t m = raft::make_msg(raft::NODE_STATUS, 0, from, 1);
    m.body.flag = alive ? 1 : 0;
    return m;
}

inline raft::raft_msg_t apply(const std::string& key, const std::string& value)
{
    raft::raft_msg_t m = raft::make_msg(raft::FSM_APPLY, 0, 0, 1);
    raft::log_entry_t e = raft::log_entry_init(0, 0, key, value);
    std::memcpy(m.body.apply.key, e.key, sizeof e.key);
    std::memcpy(m.body.apply.value, e.value, sizeof e.value);
    return m;
}

inline size_t queued(raft::mq_t* q)
{
    std::lock_guard lk(q->mutex);
    return q->list.size();
}

}  // namespace monitor::test
