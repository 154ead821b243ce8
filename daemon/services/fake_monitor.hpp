// A fake node monitor for unit tests of the service manager: an in-memory
// key/value store with "set-value"'s limits and term check, injectable
// "ETIMEDOUT" on saves, scripted Runner replies and delays per node, an alive flag
// per node, and a log of every call. Thread-safe: one mutex, never held while a
// Runner function runs or a delay sleeps, so a test's Runner may block (a slow
// Runner) while other threads go on calling.
#pragma once

#include "daemon/services/monitor_port.hpp"
#include "daemon/services/svc_clock.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace svc {

class fake_monitor final : public monitor_port {
public:
    struct call_record {
        uint32_t node;
        std::string cmd;
        nlohmann::json args;
        nlohmann::json reply;
    };
    // Answers a Runner call (node id resolved, never 65): the whole reply.
    using runner_fn = std::function<nlohmann::json(uint32_t node, const std::string& cmd, const nlohmann::json& args)>;

    // own_id: this node; nodes: the configured ids (all alive at first).
    fake_monitor(uint32_t own_id, std::set<uint32_t> nodes, svc_clock* clock = nullptr);

    void call(uint32_t node_id, const std::string& cmd, nlohmann::json& io) override;
    void register_app(monitor::app_record* app) override;
    void unregister_app(monitor::app_record* app) override;
    uint64_t term() override;
    // Held in the current term until a test says otherwise.
    bool leader_lease_held(uint64_t term) override;

    // Raises an event to every registered application (as the monitor does).
    void event(const std::string& name, const std::string& value);

    void set_config(nlohmann::json doc);
    void set_term(uint64_t t);
    void set_lease_held(bool held);
    void set_alive(uint32_t node, bool alive);
    // Every Runner call of every node goes to fn (default: "ping" -> "pong", else {"response":0}).
    void set_runner(runner_fn fn);
    // The next Runner calls to `node` get these replies, in order, before fn is asked.
    void script(uint32_t node, std::vector<nlohmann::json> replies);
    void set_delay(uint32_t node, std::chrono::milliseconds d);
    // The next n set-value calls fail with "ETIMEDOUT" "Set key timeout.".
    void fail_set_values(int n);
    // Every set-value of `key` throws instead of answering until another key (or
    // none: empty) is set. Other keys are saved as usual: the service passes of a
    // running leader keep saving, and one of them saving `key` first must not use
    // the failure up before the call under test makes it.
    void throw_on_set_value(std::string key);

    std::optional<std::string> kv(const std::string& key);
    void kv_put(const std::string& key, const std::string& value);
    std::vector<call_record> calls();
    std::vector<call_record> calls(const std::string& cmd);
    void clear_calls();
    std::vector<monitor::app_record*> apps();

private:
    // mutex_ held. Sets `ask_runner` when the Runner function is to answer.
    nlohmann::json answer(uint32_t node_id, const std::string& cmd, const nlohmann::json& args,
                          std::chrono::milliseconds& delay, bool& ask_runner);

    std::mutex mutex_;
    uint32_t own_id_;
    std::map<uint32_t, bool> alive_;
    svc_clock* clock_;
    nlohmann::json config_ = nlohmann::json::object();
    uint64_t term_ = 1;
    bool lease_held_ = true;
    runner_fn runner_;
    std::map<uint32_t, std::deque<nlohmann::json>> scripts_;
    std::map<uint32_t, std::chrono::milliseconds> delays_;
    int set_value_failures_ = 0;
    std::string throw_on_set_value_;
    std::map<std::string, std::string> kv_;
    std::vector<call_record> calls_;
    std::vector<monitor::app_record*> apps_;
};

}  // namespace svc
