// The service simulator's cluster and driver (see service_sim.hpp).
//
// Each daemon instance is a real svc_app with its do_execute and s_postpone
// threads over its own sim_port. The driver (the caller's thread) alone moves
// the virtual clock, plays the monitor (liveness notices after 4 s of silence,
// elections, the Raft term, the replicated store with its term check, the
// daemon instances its Raft node hears from each node) and the schedule, and runs the checks whenever the threads are quiet.
//
// Locking: mutex_ guards the store, the term, the leader, the monitor's view,
// the partitions, the exit requests and the operator's intents. It is never
// held while an application handler runs or a call sleeps; the pool world has
// its own lock, taken after mutex_ when both are needed.
#include "daemon/services/sim/service_sim.hpp"

#include "daemon/services/left_fenced.hpp"
#include "daemon/services/monitor_port.hpp"
#include "daemon/services/records.hpp"
#include "daemon/services/requests.hpp"
#include "daemon/services/sim/pool_world.hpp"
#include "daemon/services/svc_app.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <thread>

namespace svc::sim {

using nlohmann::json;

namespace {

constexpr double liveness_s = 4;     // the leader's notice of a silent peer
constexpr double election_s = 3;     // from the leader's loss to the next one
constexpr double heal_at_s = 330;    // every fault repaired
constexpr double quiet_s = 700;      // then no fault for this long
constexpr const char* session = "S1";

json failure(const std::string& code, const std::string& text) { return json{{"error", code}, {"errorMessage", text}}; }

class cluster;

struct instance;

class sim_port final : public monitor_port {
public:
    sim_port(cluster& c, instance& i) : c_(c), i_(i) {}
    void call(uint32_t node_id, const std::string& cmd, json& io) override;
    void register_app(monitor::app_record*) override {}
    void unregister_app(monitor::app_record*) override {}
    uint64_t term() override;
    bool leader_lease_held(uint64_t term) override;

private:
    cluster& c_;
    instance& i_;
};

struct instance {
    uint32_t node = 0;
    int incarnation = 0;
    std::unique_ptr<sim_port> port;
    std::unique_ptr<svc_app> app;
    std::thread exec, postpone;
    std::atomic<bool> dead{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> exited{false};      // EXIT delivered
    std::atomic<double> aborted_at{-1};  // when its leadership ended
    bool led = false;                     // was activated (guarded by the cluster's mutex)
};

struct intent {
    bool run = true;
    bool ambiguous = false;
};

struct scheduled {
    double t;
    uint64_t order;
    std::string what;
    std::function<void()> fn;
    bool operator>(const scheduled& o) const { return t != o.t ? t > o.t : order > o.order; }
};

class cluster {
public:
    explicit cluster(uint64_t seed);
    ~cluster();
    sim_result run();

    void call(instance& inst, uint32_t node_id, const std::string& cmd, json& io);
    uint64_t term()
    {
        std::lock_guard lk(mutex_);
        return term_;
    }
    bool leader_lease_held(instance& inst, uint64_t term);

private:
    // Schedule.
    void at(double t, std::string what, std::function<void()> fn);
    void draw_schedule();
    void draw_fault(double t);
    void draw_request(double t);
    void heal();

    // Daemons and the monitor.
    void start_daemon(uint32_t n);
    void stop_daemon(uint32_t n, const char* why);
    void deliver(instance& inst, const std::string& ev, const std::string& value);
    void end_leadership(instance& inst);
    bool seen(uint32_t n, const instance* leader);
    double monitor_step(double now, bool& delivered);
    void handle_exits();

    // Requests.
    void request(json req, std::function<void(const json&)> on_reply);
    void operator_request(const std::string& what, std::vector<json> reqs, std::function<void(const std::vector<json>&)> done);

    // Checks.
    void quiet_checks();
    std::optional<json> record(const std::string& service);
    // fences_count false: a node still fenced by a fencer whose fence-off failed
    // ("Failed unfencing node N. Fix it up manually.") is served all the same.
    bool can_run(uint32_t n, bool fences_count = true);
    bool rightly_left_fenced(uint32_t n);
    bool beyond_reach(uint32_t h);

    uint64_t seed_;
    std::mt19937_64 rng_;
    std::mt19937_64 election_rng_;
    sim_clock clock_;
    std::vector<uint32_t> nodes_;
    std::vector<service_def> services_;
    json config_;
    std::unique_ptr<pool_world> world_;

    std::mutex mutex_;
    std::map<std::string, std::string> kv_;
    uint64_t term_ = 1;
    instance* leader_ = nullptr;
    double leader_lost_at_ = 0;
    std::vector<std::unique_ptr<instance>> instances_;
    std::map<uint32_t, instance*> current_;  // the running daemon of each node (null: none)
    std::map<uint32_t, bool> view_alive_;    // the leader's monitor's view
    // The daemon instance the leader's monitor heard from each node in this
    // leadership (0: none yet); a daemon's instance is its incarnation + 1.
    std::map<uint32_t, uint64_t> view_instance_;
    std::map<uint32_t, double> seen_since_, unseen_since_;
    std::map<uint32_t, uint32_t> cut_from_;  // node -> the leader node it cannot reach
    std::map<uint32_t, bool> told_to_exit_;
    // The daemon instance of a node whose exit the operator asked for, and the
    // term of the leadership that took the request: the node runs no services
    // while both stay (a new leadership does not take the request over, a new
    // instance is not asked).
    std::map<uint32_t, std::pair<const instance*, uint64_t>> exit_asked_;
    std::map<uint32_t, double> offline_seen_at_;  // the last offline event the leader got, per node
    std::map<uint32_t, bool> gone_;  // hosts down for good
    std::map<uint32_t, bool> exit_unreached_;  // told to exit while the leader could not reach it
    std::vector<uint32_t> exit_requests_;
    std::map<std::string, intent> intents_;
    std::map<uint32_t, bool> node_disabled_;
    std::map<uint32_t, bool> node_unknown_;
    uint32_t avoid_leader_ = 0;

    std::priority_queue<scheduled, std::vector<scheduled>, std::greater<>> schedule_;
    uint64_t order_ = 0;
    std::vector<std::thread> requests_;
    std::multiset<std::string> pending_;  // requests without a reply yet (guarded by mutex_)
    std::map<std::string, int> in_flight_;  // per service or node setting: its requests without a reply yet
};

void sim_port::call(uint32_t node_id, const std::string& cmd, json& io) { c_.call(i_, node_id, cmd, io); }

uint64_t sim_port::term() { return c_.term(); }

bool sim_port::leader_lease_held(uint64_t term) { return c_.leader_lease_held(i_, term); }

cluster::cluster(uint64_t seed) : seed_(seed), rng_(seed), election_rng_(seed * 7919 + 1)
{
    const int n_nodes = 3 + static_cast<int>(rng_() % 2);
    const int n_services = 2 + static_cast<int>(rng_() % 3);
    json nodes = json::array();
    for (int i = 1; i <= n_nodes; ++i) {
        nodes_.push_back(static_cast<uint32_t>(i));
        nodes.push_back({{"id", i}, {"nodename", "n" + std::to_string(i)}});
    }
    json services = json::array();
    for (int i = 1; i <= n_services; ++i) {
        service_def d{"s" + std::to_string(i), {"p" + std::to_string(i)}, "10.0.0." + std::to_string(i)};
        json s = {{"name", d.name}, {"pools", d.pools}, {"ext_ips", json::array({{{"ip", d.address}, {"interface", "em0"}}})}};
        if (rng_() % 2)
            s["pri0"] = 1 + rng_() % n_nodes;
        services.push_back(s);
        intents_[d.name] = {};
        services_.push_back(std::move(d));
    }
    services.push_back({{"name", "cluster-management"}});
    config_ = {{"cluster", {{"start_delay", 0}}}, {"nodes", nodes}, {"services", services}};
    world_ = std::make_unique<pool_world>(clock_, seed, nodes_, services_);
}

cluster::~cluster()
{
    clock_.drain();
    for (auto& inst : instances_) {
        inst->dead = true;
        inst->paused = false;
        if (!inst->exited) {
            inst->app->doevent("ABORT", "");
            inst->app->doevent("EXIT", "");
            inst->exited = true;
        }
    }
    for (auto& inst : instances_) {
        if (inst->exec.joinable())
            inst->exec.join();
        if (inst->postpone.joinable())
            inst->postpone.join();
    }
    for (auto& t : requests_)
        if (t.joinable())
            t.join();
}

void cluster::at(double t, std::string what, std::function<void()> fn)
{
    schedule_.push({t, order_++, std::move(what), std::move(fn)});
}

// ---- the schedule, drawn at the start from the seed alone ----

void cluster::draw_schedule()
{
    for (uint32_t n : nodes_)
        at(0.5, fmt::format("daemon {} starts", n), [this, n] { start_daemon(n); });
    const int events = 4 + static_cast<int>(rng_() % 11);
    for (int i = 0; i < events; ++i) {
        const double t = 30 + static_cast<double>(rng_() % 2200) / 10.0;
        if (rng_() % 3 == 0)
            draw_request(t);
        else
            draw_fault(t);
    }
    at(heal_at_s, "every fault repaired", [this] { heal(); });
}

void cluster::draw_fault(double t)
{
    const uint32_t n = nodes_[rng_() % nodes_.size()];
    // Episodes fall within the liveness time-out, end around the offline delay
    // and the fencing that follows it, or outlast them all.
    const uint64_t band = rng_() % 3;
    const double len = band == 0   ? 0.3 + static_cast<double>(rng_() % 30) / 10.0
                       : band == 1 ? 8 + static_cast<double>(rng_() % 220) / 10.0
                                   : 30 + static_cast<double>(rng_() % 950) / 10.0;
    switch (rng_() % 8) {
    case 0:
        at(t, fmt::format("daemon {} crashes, host keeps its pools", n), [this, n] { stop_daemon(n, "crashed"); });
        at(t + len, fmt::format("daemon {} restarts", n), [this, n] { start_daemon(n); });
        break;
    case 1:
        at(t, fmt::format("host {} crashes", n), [this, n] {
            stop_daemon(n, "lost with its host");
            world_->host_crash(n);
        });
        // One host crash in four is for good: the cluster must settle without it.
        if (rng_() % 4 == 0) {
            at(t, fmt::format("host {} stays down", n), [this, n] {
                std::lock_guard lk(mutex_);
                gone_[n] = true;
            });
            break;
        }
        at(t + len, fmt::format("host {} reboots", n), [this, n] {
            {
                std::lock_guard lk(mutex_);
                if (gone_[n])
                    return;
            }
            world_->host_boot(n);
            world_->set_runner(n, runner_mode::up);
            start_daemon(n);
        });
        break;
    case 2:
        at(t, fmt::format("daemon {} pauses", n), [this, n] {
            std::lock_guard lk(mutex_);
            if (current_[n])
                current_[n]->paused = true;
            if (current_[n] && current_[n] == leader_)
                leader_lost_at_ = clock_.seconds();
        });
        at(t + len, fmt::format("daemon {} resumes", n), [this, n] {
            instance* inst = nullptr;
            {
                std::lock_guard lk(mutex_);
                // Only the paused instance resumes: an earlier resume, or a
                // crash and restart, may have ended this pause already, and the
                // daemon running now hears of no new term.
                inst = current_[n];
                if (inst && inst->paused) {
                    inst->paused = false;
                    if (inst->led && inst != leader_ && inst->aborted_at.load() < 0)
                        inst->aborted_at = clock_.seconds();
                    else
                        inst = nullptr;
                } else {
                    inst = nullptr;
                }
            }
            if (inst)  // deposed while paused: its Raft node hears of the new term
                inst->app->doevent("ABORT", "");
        });
        break;
    case 3: {
        const auto mode = static_cast<runner_mode>(1 + rng_() % 3);
        at(t, fmt::format("node {} Runner faults", n), [this, n, mode] { world_->set_runner(n, mode); });
        at(t + len, fmt::format("node {} Runner back", n), [this, n] { world_->set_runner(n, runner_mode::up); });
        break;
    }
    case 4: {
        const bool fails = rng_() % 3 == 0;
        const int delay = 5 + static_cast<int>(rng_() % 56);
        at(t, fmt::format("node {} fencing slow or failing", n), [this, n, delay, fails] { world_->set_fencing(n, delay, fails); });
        at(t + len, fmt::format("node {} fencing normal", n), [this, n] { world_->set_fencing(n, 0, false); });
        break;
    }
    case 5:
        at(t, fmt::format("node {} cut off from the leader", n), [this, n] {
            std::lock_guard lk(mutex_);
            if (leader_ && leader_->node != n)
                cut_from_[n] = leader_->node;
        });
        at(t + len, fmt::format("node {} reaches the leader again", n), [this, n] {
            std::lock_guard lk(mutex_);
            cut_from_.erase(n);
        });
        break;
    case 6:
        at(t, "the leader steps down", [this] {
            instance* old = nullptr;
            {
                std::lock_guard lk(mutex_);
                old = leader_;
                if (old && !old->dead && !old->paused) {
                    leader_ = nullptr;
                    leader_lost_at_ = clock_.seconds() - election_s + 0.5;
                    avoid_leader_ = old->node;
                } else {
                    old = nullptr;
                }
            }
            if (old)
                end_leadership(*old);
        });
        break;
    default:
        draw_request(t);
        break;
    }
}

void cluster::draw_request(double t)
{
    const auto& s = services_[rng_() % services_.size()].name;
    const uint32_t n = nodes_[rng_() % nodes_.size()];
    const uint32_t m = nodes_[rng_() % nodes_.size()];
    auto svc_req = [](const std::string& cmd, const std::string& name) {
        return json{{"call", "service"}, {"cmd", cmd}, {"serviceName", name}};
    };
    auto start_req = [&](uint32_t node) {
        json r = svc_req("start", s);
        r["nodeId"] = node;
        return r;
    };
    auto run_intent = [this, s](bool run) {
        return [this, s, run](const std::vector<json>& replies) {
            std::lock_guard lk(mutex_);
            const json& r = replies.back();
            const bool err = r.is_object() && r.contains("error");
            const std::string code = err ? r["error"].get<std::string>() : "";
            if (!err)
                intents_[s].run = run;
            // "cannot start service" answers both a start refused at once
            // (nothing changed) and one that failed at the Runner, which leaves
            // the service starting on its node for the pass to try again.
            else if (code == "EAGAIN" || (run && code == "EA90002"))
                intents_[s].ambiguous = true;
        };
    };
    switch (rng_() % 7) {
    case 0:
        at(t, "", [=, this] { operator_request(fmt::format("service start {} on {}", s, n), {start_req(n)}, run_intent(true)); });
        break;
    case 1:
        at(t, "", [=, this] { operator_request("service stop " + s, {svc_req("stop", s)}, run_intent(false)); });
        break;
    case 2:
        at(t, "", [=, this] {
            // The utility's move: its pre-check (the node is online and enabled),
            // a stop, then a start on the new node marked as a move's.
            {
                std::lock_guard lk(mutex_);
                if (!view_alive_[n] || node_disabled_[n]) {
                    world_->trace(fmt::format("operator: service move {} to {}: refused by the pre-check", s, n));
                    return;
                }
            }
            json move_start = start_req(n);
            move_start["move"] = true;
            operator_request(fmt::format("service move {} to {}", s, n), {svc_req("stop", s), move_start},
                             [this, s](const std::vector<json>& replies) {
                                 std::lock_guard lk(mutex_);
                                 for (const auto& r : replies)
                                     if (r.is_object() && r.value("error", "") == "EAGAIN")
                                         intents_[s].ambiguous = true;
                                 const json& last = replies.back();
                                 const bool failed = last.is_object() && last.contains("error");
                                 // A start that answered an error leaves the
                                 // service where the move found it, or, failed
                                 // at the Runner, its new node tries it again:
                                 // running, unless it was disabled, where
                                 // either may hold.
                                 if (replies.size() == 2 && (!failed || intents_[s].run))
                                     intents_[s].run = true;
                                 else if (replies.size() == 2)
                                     intents_[s].ambiguous = true;
                                 else if (!failed)
                                     intents_[s].run = false;
                             });
        });
        break;
    case 3:
        at(t, "", [=, this] { operator_request("service disable " + s, {svc_req("disable", s)}, run_intent(false)); });
        break;
    case 4:
        at(t, "", [=, this] { operator_request("service enable " + s, {svc_req("enable", s)}, run_intent(true)); });
        break;
    case 5: {
        auto node_req = [](const char* cmd, uint32_t id) { return json{{"call", "node"}, {"cmd", cmd}, {"id", id}}; };
        auto setting = [this, m](bool disabled) {
            return [this, m, disabled](const std::vector<json>& replies) {
                std::lock_guard lk(mutex_);
                const json& r = replies.back();
                if (!(r.is_object() && r.contains("error")))
                    node_disabled_[m] = disabled;
                else if (r.value("error", "") == "EAGAIN")
                    node_unknown_[m] = true;  // its setting is not known: no finding about it
            };
        };
        at(t, "", [=, this] { operator_request(fmt::format("node disable {}", m), {node_req("disable", m)}, setting(true)); });
        at(t + 20 + static_cast<double>(rng_() % 100), "",
           [=, this] { operator_request(fmt::format("node enable {}", m), {node_req("enable", m)}, setting(false)); });
        break;
    }
    default:
        at(t, "", [=, this] {
            operator_request(fmt::format("node exit {}", m), {json{{"call", "node"}, {"cmd", "exit"}, {"id", m}}},
                             [this, m](const std::vector<json>& replies) {
                                 // Taken: the node stops its services and runs
                                 // none until its daemon is gone (it exits, or
                                 // stays when a stop failed: the operator asks
                                 // again), or the leadership ends.
                                 // An offline event still waiting out its
                                 // delay may end the stop as well.
                                 if (replies.size() == 1 && replies[0].is_null()) {
                                     std::lock_guard lk(mutex_);
                                     auto seen = offline_seen_at_.find(m);
                                     if (seen == offline_seen_at_.end() || clock_.seconds() - seen->second > 15)
                                         exit_asked_[m] = {current_[m], term_};
                                 }
                             });
        });
        break;
    }
}

void cluster::heal()
{
    std::vector<instance*> resumed;
    {
        std::lock_guard lk(mutex_);
        cut_from_.clear();
        for (auto& [n, inst] : current_)
            if (inst && inst->paused) {
                inst->paused = false;
                if (inst->led && inst != leader_ && inst->aborted_at.load() < 0) {
                    inst->aborted_at = clock_.seconds();
                    resumed.push_back(inst);
                }
            }
    }
    for (auto* inst : resumed)
        inst->app->doevent("ABORT", "");
    for (uint32_t n : nodes_) {
        bool gone = false;
        {
            std::lock_guard lk(mutex_);
            gone = gone_[n];
        }
        if (gone)
            continue;
        world_->set_runner(n, runner_mode::up);
        world_->set_fencing(n, 0, false);
        if (!world_->up(n))
            world_->host_boot(n);
        bool start = false;
        {
            std::lock_guard lk(mutex_);
            start = current_[n] == nullptr && !told_to_exit_[n];
        }
        if (start)
            start_daemon(n);
    }
}

// ---- daemons and the monitor ----

void cluster::start_daemon(uint32_t n)
{
    if (!world_->up(n))
        return;  // its host is down
    auto inst = std::make_unique<instance>();
    inst->node = n;
    inst->port = std::make_unique<sim_port>(*this, *inst);
    instance* raw = inst.get();
    inst->app = std::make_unique<svc_app>(*inst->port, clock_, [this, raw] {
        world_->violation("daemon-abort", fmt::format("daemon {} aborted (critical error)", raw->node));
    });
    {
        std::lock_guard lk(mutex_);
        if (current_[n] != nullptr || told_to_exit_[n])
            return;
        inst->incarnation = static_cast<int>(instances_.size());
        current_[n] = raw;
        instances_.push_back(std::move(inst));
    }
    world_->trace(fmt::format("daemon {} starts (instance {})", n, raw->incarnation));
    raw->exec = std::thread([raw] { do_execute(*raw->app); });
    raw->postpone = std::thread([raw] { s_postpone(*raw->app); });
}

void cluster::stop_daemon(uint32_t n, const char* why)
{
    instance* inst = nullptr;
    {
        std::lock_guard lk(mutex_);
        inst = current_[n];
        current_[n] = nullptr;
        if (!inst)
            return;
        inst->dead = true;
        inst->paused = false;
        if (leader_ == inst) {
            leader_ = nullptr;
            leader_lost_at_ = clock_.seconds();
        }
    }
    world_->trace(fmt::format("daemon {} {} (instance {})", n, why, inst->incarnation));
    if (inst->aborted_at.load() < 0)
        inst->aborted_at = clock_.seconds();
    inst->app->doevent("ABORT", "");
    inst->app->doevent("EXIT", "");
    inst->exited = true;
}

void cluster::deliver(instance& inst, const std::string& ev, const std::string& value)
{
    world_->trace(fmt::format("node {} monitor: {} {}", inst.node, ev, value));
    // A node's offline event ends its stop: the operator's exit is not carried
    // over to its return.
    if (ev == "NODE-OFFLINE") {
        std::lock_guard lk(mutex_);
        const auto n = static_cast<uint32_t>(std::stoul(value));
        exit_asked_.erase(n);
        offline_seen_at_[n] = clock_.seconds();
    }
    inst.app->doevent(ev, value);
}

void cluster::end_leadership(instance& inst)
{
    inst.aborted_at = clock_.seconds();
    deliver(inst, "ABORT", "");
}

// mutex_ held.
bool cluster::seen(uint32_t n, const instance* leader)
{
    if (leader && n == leader->node)
        return true;
    instance* i = current_[n];
    auto cut = cut_from_.find(n);
    return i && !i->paused && !(leader && cut != cut_from_.end() && cut->second == leader->node);
}

// The monitor of the leader: elections, then the liveness notices. Returns the
// next time it has something to do (0: nothing pending).
double cluster::monitor_step(double now, bool& delivered)
{
    std::vector<std::pair<std::string, std::string>> events;
    instance* target = nullptr;
    double next = 0;
    auto soon = [&](double t) { next = next == 0 ? t : std::min(next, t); };
    {
        std::lock_guard lk(mutex_);
        const bool ok = leader_ && !leader_->dead && !leader_->paused;
        if (!ok) {
            std::vector<uint32_t> up;
            for (uint32_t n : nodes_)
                if (current_[n] && !current_[n]->paused)
                    up.push_back(n);
            const bool majority = up.size() * 2 > nodes_.size();
            if (now >= leader_lost_at_ + election_s && majority) {
                std::vector<uint32_t> pick = up;
                if (pick.size() > 1)
                    std::erase(pick, avoid_leader_);
                leader_ = current_[pick[election_rng_() % pick.size()]];
                avoid_leader_ = 0;
                leader_->led = true;
                leader_->aborted_at = -1;
                ++term_;
                target = leader_;
                events.emplace_back("ACTIVATE", session);
                for (uint32_t n : nodes_) {
                    view_alive_[n] = seen(n, leader_);
                    seen_since_[n] = unseen_since_[n] = now;
                }
                for (uint32_t n : nodes_)
                    if (view_alive_[n])
                        events.emplace_back("NODE-ONLINE", std::to_string(n));
                for (uint32_t n : nodes_)
                    if (!view_alive_[n])
                        events.emplace_back("NODE-OFFLINE", std::to_string(n));
                for (uint32_t n : nodes_) {
                    view_instance_[n] = seen(n, leader_) ? static_cast<uint64_t>(current_[n]->incarnation) + 1 : 0;
                    if (view_instance_[n] != 0)
                        events.emplace_back("NODE-INSTANCE", fmt::format("{}:{}", n, view_instance_[n]));
                }
            } else if (majority) {
                soon(leader_lost_at_ + election_s);
            }
        } else {
            target = leader_;
            for (uint32_t n : nodes_) {
                if (seen(n, leader_)) {
                    unseen_since_[n] = now;
                    // Its first answer to the leader carries its instance.
                    if (const auto inst = static_cast<uint64_t>(current_[n]->incarnation) + 1; view_instance_[n] != inst) {
                        view_instance_[n] = inst;
                        events.emplace_back("NODE-INSTANCE", fmt::format("{}:{}", n, inst));
                    }
                    if (!view_alive_[n]) {
                        if (now >= seen_since_[n] + 0.5) {
                            view_alive_[n] = true;
                            events.emplace_back("NODE-ONLINE", std::to_string(n));
                        } else {
                            soon(seen_since_[n] + 0.5);
                        }
                    }
                } else {
                    seen_since_[n] = now;
                    if (view_alive_[n]) {
                        if (now >= unseen_since_[n] + liveness_s) {
                            view_alive_[n] = false;
                            events.emplace_back("NODE-OFFLINE", std::to_string(n));
                        } else {
                            soon(unseen_since_[n] + liveness_s);
                        }
                    }
                }
            }
        }
    }
    if (target)
        for (const auto& [ev, value] : events)
            deliver(*target, ev, value);
    delivered = target && !events.empty();
    return next;
}

void cluster::handle_exits()
{
    std::vector<uint32_t> exits;
    {
        std::lock_guard lk(mutex_);
        exits.swap(exit_requests_);
    }
    for (uint32_t n : exits) {
        for (uint32_t m : nodes_)
            if (n == 66 || n == m) {
                {
                    std::lock_guard lk(mutex_);
                    told_to_exit_[m] = true;
                    // Told while the leader could not reach it: it exits (or
                    // stays down) without any stop the leader could have asked.
                    instance* i = current_[m];
                    if (!i || i->paused || cut_from_.contains(m))
                        exit_unreached_[m] = true;
                }
                stop_daemon(m, "exits as told");
            }
    }
}

void cluster::call(instance& inst, uint32_t node_id, const std::string& cmd, json& io)
{
    clock_.touch();
    const json args = io;
    while (inst.paused && !inst.dead)
        clock_.sleep_for(std::chrono::seconds(1));
    if (inst.dead) {
        io = failure("EMONITOR", "Monitor not started");
        return;
    }
    if (cmd == "get-this-nodeid") {
        io = json{{"response", inst.node}};
        return;
    }
    if (cmd == "get-cluster-config") {
        io = json{{"response", config_}};
        return;
    }
    uint32_t target = node_id == 65 ? inst.node : node_id;
    {
        std::lock_guard lk(mutex_);
        if (cmd == "get-value") {
            auto it = kv_.find(args.value("key", ""));
            io = it == kv_.end() ? failure("ENOENT", "key not found") : json{{"response", it->second}};
            return;
        }
        if (cmd == "set-value") {
            const auto key = args.value("key", "");
            const auto value = args.value("value", "");
            if (key.size() >= 128 || value.size() >= 256)
                io = failure("EINVAL", "Key or value too long.");
            else if (leader_ != &inst || (args.contains("term") && args["term"] != json(term_)))
                io = failure("ETIMEDOUT", "Set key timeout.");
            else {
                kv_[key] = value;
                io = json{{"response", 0}};
            }
            return;
        }
        if (cmd == "kelm-exit") {
            exit_requests_.push_back(target);
            world_->trace(fmt::format("node {} asks node {} to exit", inst.node, target));
            io = json{{"response", 0}};
            return;
        }
        if (std::find(nodes_.begin(), nodes_.end(), target) == nodes_.end()) {
            io = failure("ENOENT", "unknown");
            return;
        }
        if (target != inst.node && leader_ == &inst && !view_alive_[target]) {
            io = failure("EOFFLINE", "Called node " + std::to_string(target) + " is offline");
            return;
        }
        const double aborted = inst.aborted_at.load();
        const bool acts = cmd == "fence-node" || (cmd == "service" && args.value("serviceName", "") != "$cluster-management");
        if (acts && aborted >= 0 && clock_.seconds() > aborted + 1)
            world_->violation("deposed-leader-acts",
                              fmt::format("node {} (instance {}) calls {} {} on node {} {:.1f} s after its leadership ended",
                                          inst.node, inst.incarnation, cmd, args.dump(), target, clock_.seconds() - aborted));
        auto cut = cut_from_.find(target);
        if (cut != cut_from_.end() && cut->second == inst.node) {
            io = failure("ETIMEDOUT", "connect timed out");
            return;
        }
    }
    io = world_->runner_call(target, cmd, args);
}

// A paused daemon asks once it runs again. The simulated elections take less
// time than a real Raft's (election_s), so the lease is the monitor's own
// knowledge: the instance leads in that term and is not paused.
bool cluster::leader_lease_held(instance& inst, uint64_t term)
{
    clock_.touch();
    while (inst.paused && !inst.dead)
        clock_.sleep_for(std::chrono::seconds(1));
    std::lock_guard lk(mutex_);
    return !inst.dead && leader_ == &inst && term_ == term;
}

// ---- requests ----

void cluster::operator_request(const std::string& what, std::vector<json> reqs,
                               std::function<void(const std::vector<json>&)> done)
{
    instance* inst = nullptr;
    {
        std::lock_guard lk(mutex_);
        inst = leader_ && !leader_->paused ? leader_ : nullptr;
    }
    if (!inst) {
        world_->trace("operator: " + what + ": no leader to ask");
        return;
    }
    world_->trace("operator: " + what);
    // Requests about one service, or one node's setting, that overlap in time
    // are carried out in an order their replies do not tell: what they want
    // together is not known, and no finding is made about it.
    const json& first = reqs.front();
    std::string target;
    if (first.contains("serviceName"))
        target = "service " + first["serviceName"].get<std::string>();
    else if (first.value("call", "") == "node" && first.value("cmd", "") != "exit")
        target = fmt::format("node {}", first.value("id", 0u));
    {
        std::lock_guard lk(mutex_);
        pending_.insert(what);
        if (!target.empty() && in_flight_[target]++ > 0) {
            if (first.contains("serviceName"))
                intents_[first["serviceName"].get<std::string>()].ambiguous = true;
            else
                node_unknown_[first.value("id", 0u)] = true;
        }
    }
    requests_.emplace_back([this, inst, what, target, reqs = std::move(reqs), done = std::move(done)] {
        std::vector<json> replies;
        try {
            for (const auto& r : reqs) {
                replies.push_back(svcapp_call(*inst->app, r));
                const json& last = replies.back();
                if (last.is_object() && last.contains("error") && replies.size() < reqs.size())
                    break;  // the utility stops at the first error
            }
            std::string texts;
            for (const auto& r : replies)
                texts += " " + r.dump();
            world_->trace("operator: " + what + " answered" + texts);
            done(replies);
        } catch (const std::exception& e) {
            world_->violation("request-threw", what + ": " + e.what());
        }
        {
            std::lock_guard lk(mutex_);
            pending_.erase(pending_.find(what));
            if (!target.empty())
                --in_flight_[target];
        }
        clock_.touch();
    });
}

// ---- checks ----

std::optional<json> cluster::record(const std::string& service)
{
    std::lock_guard lk(mutex_);
    auto it = kv_.find(runstate_key(service));
    if (it == kv_.end())
        return std::nullopt;
    return json::parse(it->second);
}

bool cluster::can_run(uint32_t n, bool fences_count)
{
    {
        std::lock_guard lk(mutex_);
        if (!current_[n] || told_to_exit_[n] || node_disabled_[n] || node_unknown_[n])
            return false;
        if (auto it = exit_asked_.find(n);
            it != exit_asked_.end() && it->second.first == current_[n] && it->second.second == term_)
            return false;
    }
    return world_->up(n) && (!fences_count || !world_->fenced(n)) && !rightly_left_fenced(n);
}

// The leader keeps node n fenced (its record says so) while its host still holds
// a pool or the address of a service placed elsewhere: it runs no services until
// the host gives them up, even when the fences themselves are gone (a fencing
// host rebooted). A node left fenced holding nothing of the others is not
// excused: it should have been taken back.
bool cluster::rightly_left_fenced(uint32_t n)
{
    {
        std::lock_guard lk(mutex_);
        auto it = kv_.find(left_fenced_key(n));
        if (it == kv_.end() || !json::parse(it->second).value("left_fenced", false))
            return false;
    }
    for (const auto& s : services_) {
        const auto r = record(s.name);
        if (r && (*r)["run_node"].get<uint32_t>() == n)
            continue;
        if (world_->carries(n, s.address))
            return true;
        for (const auto& p : s.pools)
            if (world_->holders(p).contains(n))
                return true;
    }
    return false;
}

// A host that lost its services while no leader could reach it, told to exit
// then, on which no daemon has run since, keeps what it held: every Runner call
// goes through the node's own daemon, so no one can act there, and fencing cuts
// disks, not the network. It counts as fenced as far as the leaders could fence
// it: by every other host that has a daemon (a fencer without one answers
// "offline", which counts as done, while its disks may still serve the host).
// What it keeps is not held against the service at a quiet point; any host the
// leader could still reach (a left-fenced node's own stop included) is, and the
// step checks judge every host alike.
bool cluster::beyond_reach(uint32_t h)
{
    std::lock_guard lk(mutex_);
    if (!exit_unreached_[h] || current_[h] != nullptr)
        return false;
    for (uint32_t o : nodes_)
        if (o != h && current_[o] != nullptr && !world_->fences(o, h))
            return false;
    return true;
}

void cluster::quiet_checks()
{
    {
        std::lock_guard lk(mutex_);
        for (const auto& what : pending_)
            world_->violation("no-reply", "operator request still without a reply: " + what);
        for (auto& [n, told] : told_to_exit_)
            if (told && current_[n])
                world_->violation("not-exited", fmt::format("daemon {} was told to exit and still runs", n));
        if (!leader_)
            return;  // no majority left: nothing can be settled
    }
    bool any_can_run = false;
    for (uint32_t n : nodes_)
        any_can_run = any_can_run || can_run(n);
    for (const auto& s : services_) {
        const auto r = record(s.name);
        const uint32_t state = r ? (*r)["state"].get<uint32_t>() : rs_stopped;
        const uint32_t node = r ? (*r)["run_node"].get<uint32_t>() : run_node_none;
        const bool failed = r && (*r).value("failed", false);
        std::set<uint32_t> held;
        for (const auto& p : s.pools)
            for (uint32_t h : world_->holders(p))
                if (!world_->fenced(h) && !beyond_reach(h))
                    held.insert(h);
        auto carriers = world_->carriers(s.address);
        std::erase_if(carriers, [&](uint32_t h) { return beyond_reach(h); });
        const bool once = r && (*r).value("disabled_once", false);
        const std::string where = fmt::format("record state {} node {}{}{}, pools written by {} host(s), address on {} host(s)",
                                              state, node, failed ? " failed" : "", once ? " disabled_once" : "", held.size(),
                                              carriers.size());
        if (carriers.size() > 1)
            world_->violation("second-address", fmt::format("quiet: {} carried by {} live hosts", s.address, carriers.size()));
        bool unknown = false;
        {
            std::lock_guard lk(mutex_);
            unknown = node < max_nodes && node_unknown_[node];
        }
        // A service left alone at its failure limit on a node the leader serves
        // although a fencer failed to let it back is where the rules leave it,
        // with their log lines.
        if (node < max_nodes && state != rs_stopped && !unknown && !can_run(node, !failed))
            world_->violation("record-names-unfit-node", fmt::format("quiet: {}: {}; node {} cannot run services", s.name, where, node));
        intent want;
        {
            std::lock_guard lk(mutex_);
            want = intents_[s.name];
        }
        if (failed || want.ambiguous)
            continue;
        if (want.run && any_can_run) {
            bool ok = state == rs_running && node < max_nodes && held == std::set<uint32_t>{node} && carriers.contains(node);
            for (const auto& p : s.pools)
                ok = ok && world_->holders(p).contains(node);
            if (!ok)
                world_->violation("stuck-service", fmt::format("quiet: {} should run on one node: {}", s.name, where));
        } else if (!want.run && (!held.empty() || state == rs_running)) {
            world_->violation("stuck-service", fmt::format("quiet: {} should be stopped: {}", s.name, where));
        }
    }
}

// ---- the driver ----

sim_result cluster::run()
{
    draw_schedule();
    const double end = heal_at_s + quiet_s;
    uint64_t before_step = 0;
    for (;;) {
        clock_.wait_quiet();
        handle_exits();
        const double now = clock_.seconds();
        bool delivered = false;
        const double monitor_next = monitor_step(now, delivered);
        if (delivered)
            continue;
        world_->check_step();
        if (!schedule_.empty() && schedule_.top().t <= now) {
            auto ev = schedule_.top();
            schedule_.pop();
            if (!ev.what.empty())
                world_->trace(ev.what);
            ev.fn();
            continue;
        }
        if (now >= end)
            break;
        double next = end;
        if (!schedule_.empty())
            next = std::min(next, schedule_.top().t);
        if (monitor_next > 0)
            next = std::min(next, monitor_next);
        if (auto d = clock_.next_deadline())
            next = std::min(next, clock_.seconds_of(*d));
        // After a step in which something ran, time moves by a second at most: a
        // thread still on its way to its next sleep loses at most that.
        if (clock_.activity() != before_step)
            next = std::min(next, now + 1);
        before_step = clock_.activity();
        clock_.advance_to(clock_.at(std::max(next, now + 0.001)));
    }
    quiet_checks();
    sim_result r;
    r.virtual_seconds = clock_.seconds();
    r.violations = world_->violations();
    r.trace = world_->trace_lines();
    return r;
}

}  // namespace

sim_result run_seed(uint64_t seed)
{
    sim_result r;
    {
        cluster c(seed);
        r = c.run();
    }
    return r;
}

uint64_t run_seeds(uint64_t first, uint64_t count, bool traces, std::map<std::string, uint64_t>* by_kind,
                   const std::string& trace_dir)
{
    uint64_t violations = 0;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        const sim_result r = run_seed(seed);
        if (r.violations.empty())
            continue;
        std::set<std::string> kinds;
        for (const auto& [kind, text] : r.violations) {
            std::cerr << fmt::format("seed {}: {}: {}\n", seed, kind, text);
            kinds.insert(kind);
        }
        if (by_kind)
            for (const auto& k : kinds)
                ++(*by_kind)[k];
        if (traces)
            for (const auto& line : r.trace)
                std::cerr << fmt::format("seed {} trace: {}\n", seed, line);
        if (!trace_dir.empty()) {
            std::ofstream out(fmt::format("{}/seed-{}.txt", trace_dir, seed));
            for (const auto& [kind, text] : r.violations)
                out << kind << ": " << text << "\n";
            for (const auto& line : r.trace)
                out << line << "\n";
        }
        violations += r.violations.size();
    }
    return violations;
}

}  // namespace svc::sim
