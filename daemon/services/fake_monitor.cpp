// The fake node monitor of the service manager's unit tests.
#include "daemon/services/fake_monitor.hpp"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace svc {

using nlohmann::json;

namespace {

json error_reply(const char* code, const std::string& text) { return json{{"error", code}, {"errorMessage", text}}; }

}  // namespace

fake_monitor::fake_monitor(uint32_t own_id, std::set<uint32_t> nodes, svc_clock* clock)
    : own_id_(own_id), clock_(clock)
{
    for (uint32_t n : nodes)
        alive_[n] = true;
    runner_ = [](uint32_t, const std::string& cmd, const json&) {
        return cmd == "ping" ? json{{"response", "pong"}} : json{{"response", 0}};
    };
}

void fake_monitor::call(uint32_t node_id, const std::string& cmd, json& io)
{
    const json args = io;
    std::chrono::milliseconds delay{0};
    json reply;
    bool ask_runner = false;
    runner_fn runner;
    uint32_t runner_node = node_id == 65 ? own_id_ : node_id;
    {
        std::lock_guard lk(mutex_);
        if (cmd == "set-value" && !throw_on_set_value_.empty() && args.value("key", "") == throw_on_set_value_) {
            calls_.push_back({node_id, cmd, args, nullptr});
            throw std::runtime_error("fake set-value failure");
        }
        reply = answer(node_id, cmd, args, delay, ask_runner);
        if (ask_runner)
            runner = runner_;
    }
    if (delay.count() > 0) {
        if (clock_)
            clock_->sleep_for(delay);
        else
            std::this_thread::sleep_for(delay);
    }
    if (ask_runner)
        reply = runner(runner_node, cmd, args);
    io = reply;
    std::lock_guard lk(mutex_);
    calls_.push_back({node_id, cmd, args, reply});
}

json fake_monitor::answer(uint32_t node_id, const std::string& cmd, const json& args, std::chrono::milliseconds& delay,
                          bool& ask_runner)
{
    if (cmd == "get-this-nodeid")
        return json{{"response", own_id_}};
    if (cmd == "get-cluster-config")
        return json{{"response", config_}};
    if (cmd == "get-value") {
        auto it = kv_.find(args.at("key").get<std::string>());
        return it == kv_.end() ? error_reply("ENOENT", "key not found") : json{{"response", it->second}};
    }
    if (cmd == "set-value") {
        const auto key = args.at("key").get<std::string>();
        const auto value = args.at("value").get<std::string>();
        if (key.size() >= 128)
            return error_reply("EINVAL", "Key too long.");
        if (value.size() >= 256)
            return error_reply("EINVAL", "Value too long.");
        if (set_value_failures_ > 0) {
            --set_value_failures_;
            return error_reply("ETIMEDOUT", "Set key timeout.");
        }
        if (args.contains("term") && args["term"] != json(term_))
            return error_reply("ETIMEDOUT", "Set key timeout.");
        kv_[key] = value;
        return json{{"response", 0}};
    }
    if (cmd == "kelm-exit")
        return json{{"response", 0}};
    if (node_id == 65)
        node_id = own_id_;
    auto it = alive_.find(node_id);
    if (it == alive_.end())
        return error_reply("ENOENT", "unknown");
    if (!it->second && node_id != own_id_)
        return error_reply("EOFFLINE", "Called node " + std::to_string(node_id) + " is offline");
    if (auto d = delays_.find(node_id); d != delays_.end())
        delay = d->second;
    auto& s = scripts_[node_id];
    if (!s.empty()) {
        json r = s.front();
        s.pop_front();
        return r;
    }
    ask_runner = true;
    return nullptr;
}

void fake_monitor::register_app(monitor::app_record* app)
{
    std::lock_guard lk(mutex_);
    apps_.push_back(app);
}

void fake_monitor::unregister_app(monitor::app_record* app)
{
    std::lock_guard lk(mutex_);
    apps_.erase(std::remove(apps_.begin(), apps_.end(), app), apps_.end());
}

uint64_t fake_monitor::term()
{
    std::lock_guard lk(mutex_);
    return term_;
}

bool fake_monitor::leader_lease_held(uint64_t term)
{
    std::lock_guard lk(mutex_);
    return lease_held_ && term == term_;
}

void fake_monitor::set_lease_held(bool held)
{
    std::lock_guard lk(mutex_);
    lease_held_ = held;
}

void fake_monitor::event(const std::string& name, const std::string& value)
{
    for (auto* app : apps())
        if (app->handler)
            app->handler(name, value);
}

void fake_monitor::set_config(json doc)
{
    std::lock_guard lk(mutex_);
    config_ = std::move(doc);
}

void fake_monitor::set_term(uint64_t t)
{
    std::lock_guard lk(mutex_);
    term_ = t;
}

void fake_monitor::set_alive(uint32_t node, bool alive)
{
    std::lock_guard lk(mutex_);
    alive_[node] = alive;
}

void fake_monitor::set_runner(runner_fn fn)
{
    std::lock_guard lk(mutex_);
    runner_ = std::move(fn);
}

void fake_monitor::script(uint32_t node, std::vector<json> replies)
{
    std::lock_guard lk(mutex_);
    for (auto& r : replies)
        scripts_[node].push_back(std::move(r));
}

void fake_monitor::set_delay(uint32_t node, std::chrono::milliseconds d)
{
    std::lock_guard lk(mutex_);
    delays_[node] = d;
}

void fake_monitor::fail_set_values(int n)
{
    std::lock_guard lk(mutex_);
    set_value_failures_ = n;
}

void fake_monitor::throw_on_set_value(std::string key)
{
    std::lock_guard lk(mutex_);
    throw_on_set_value_ = std::move(key);
}

std::optional<std::string> fake_monitor::kv(const std::string& key)
{
    std::lock_guard lk(mutex_);
    auto it = kv_.find(key);
    if (it == kv_.end())
        return std::nullopt;
    return it->second;
}

void fake_monitor::kv_put(const std::string& key, const std::string& value)
{
    std::lock_guard lk(mutex_);
    kv_[key] = value;
}

std::vector<fake_monitor::call_record> fake_monitor::calls()
{
    std::lock_guard lk(mutex_);
    return calls_;
}

std::vector<fake_monitor::call_record> fake_monitor::calls(const std::string& cmd)
{
    std::lock_guard lk(mutex_);
    std::vector<call_record> out;
    for (const auto& c : calls_)
        if (c.cmd == cmd)
            out.push_back(c);
    return out;
}

void fake_monitor::clear_calls()
{
    std::lock_guard lk(mutex_);
    calls_.clear();
}

std::vector<monitor::app_record*> fake_monitor::apps()
{
    std::lock_guard lk(mutex_);
    return apps_;
}

}  // namespace svc
