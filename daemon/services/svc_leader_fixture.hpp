// The leader of the service manager's end-to-end unit tests: one activation on
// its own thread over a fake monitor at 1000x speed, with Runners that keep which
// node runs which service and count starts on a second node; and small helpers.
#pragma once

#include "daemon/services/activation.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/svc_test_util.hpp"

#include <nlohmann/json.hpp>

#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <thread>

namespace svc::testing {

using nlohmann::json;

template <class P>
inline bool wait_until(P p, int seconds = 20)
{
    for (int i = 0; i < seconds * 1000; ++i) {
        if (p())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return p();
}

inline json three_nodes(json services)
{
    return {{"cluster", {{"start_delay", 0}}},
            {"nodes", json::array({{{"id", 1}, {"nodename", "n1"}},
                                   {{"id", 2}, {"nodename", "n2"}},
                                   {{"id", 3}, {"nodename", "n3"}}})},
            {"services", std::move(services)}};
}

inline json default_services()
{
    return json::array({{{"name", "a"}, {"pri0", 2}},
                        {{"name", "b"}, {"pri0", 3}, {"pri1", 2}},
                        {{"name", "c"}},
                        {{"name", "d"}},
                        {{"name", "cluster-management"}}});
}

// A leader (node 1) running one activation on its own thread, with Runners that
// keep which node runs which service and refuse a start on a second node.
struct leader {
    scaled_clock clock;
    fake_monitor mon{1, {1, 2, 3}, &clock};
    std::atomic<int> aborts{0};
    svc_app app{mon, clock, [this] { ++aborts; }};
    std::thread active;
    std::thread postpone;
    std::exception_ptr error;

    std::mutex mutex;
    std::map<std::string, std::set<uint32_t>> running;  // service -> nodes holding it
    std::map<uint32_t, std::set<uint32_t>> fenced_by;   // node -> the nodes whose Runner fences it
    int double_starts = 0;
    std::function<json(uint32_t, const std::string&, const json&)> override_fn;

    // `speed` is how many times faster than real time the service clock runs.
    // Scheduling delays are stretched by it too: a test bounding a duration
    // tightly runs slower so that a loaded machine cannot push it past.
    explicit leader(json config, unsigned speed = 1000) : clock(speed)
    {
        mon.set_config(std::move(config));
        mon.set_term(7);
        app.this_nodeid.store(1);
        mon.set_runner([this](uint32_t node, const std::string& cmd, const json& args) { return runner(node, cmd, args); });
    }
    ~leader() { stop(); }

    json runner(uint32_t node, const std::string& cmd, const json& args)
    {
        if (override_fn) {
            json r = override_fn(node, cmd, args);
            if (!r.is_null())
                return r;
        }
        if (cmd == "ping")
            return {{"response", "pong"}};
        if (cmd == "fence-node") {
            std::lock_guard lk(mutex);
            auto& by = fenced_by[args["node"].get<uint32_t>()];
            if (args["cmd"] == "on")
                by.insert(node);
            else
                by.erase(node);
        }
        if (cmd == "service") {
            const auto name = args["serviceName"].get<std::string>();
            std::lock_guard lk(mutex);
            if (args["cmd"] == "start") {
                auto& holders = running[name];
                if (!holders.empty() && !holders.contains(node))
                    ++double_starts;
                holders.insert(node);
            } else if (args["cmd"] == "stop") {
                running[name].erase(node);
            }
        }
        return {{"response", 0}};
    }

    void start(const std::string& session = "S")
    {
        mon.register_app(&app.record);
        mon.event("ACTIVATE", session);
        {
            std::lock_guard lk(app.main_mutex);
            app.main_queue.pop_front();  // do_execute's kind-1 event
        }
        postpone = std::thread([this] { s_postpone(app); });
        active = std::thread([this] {
            try {
                do_active(app);
            } catch (...) {
                error = std::current_exception();
            }
        });
    }
    void stop()
    {
        if (active.joinable()) {
            mon.event("ABORT", "");
            active.join();
        }
        if (postpone.joinable()) {
            mon.event("EXIT", "");
            postpone.join();
        }
    }
    void online(std::initializer_list<uint32_t> ids)
    {
        for (uint32_t id : ids)
            app.post_event(kind_node_online, id);
    }
    std::optional<json> record(const std::string& service)
    {
        auto v = mon.kv(runstate_key(service));
        return v ? std::optional<json>(json::parse(*v)) : std::nullopt;
    }
    bool runs_on(const std::string& service, uint32_t node)
    {
        auto r = record(service);
        return r && (*r)["state"] == rs_running && (*r)["run_node"] == node;
    }
    std::set<uint32_t> holders(const std::string& service)
    {
        std::lock_guard lk(mutex);
        return running[service];
    }
    std::set<uint32_t> fencers_of(uint32_t node)
    {
        std::lock_guard lk(mutex);
        return fenced_by[node];
    }
    size_t count_calls(uint32_t node, const std::string& cmd, const json& args)
    {
        size_t n = 0;
        for (const auto& c : mon.calls(cmd))
            if (c.node == node && c.args == args)
                ++n;
        return n;
    }
};

}  // namespace svc::testing
