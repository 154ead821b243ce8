// mgmt_app: events, state word and the activation loop (m_execute).
#include "daemon/mgmt/mgmt_app.hpp"

#include "daemon/mgmt/mgmt_activation_end.hpp"
#include "daemon/mgmt/mgmt_broker.hpp"
#include "platform/process.hpp"

#include <spdlog/spdlog.h>
#include <zmq.hpp>

#include <future>
#include <map>
#include <optional>
#include <thread>

namespace mgmt {

using nlohmann::json;

namespace {

constexpr uint32_t NODE_SELF = 65;

using event_action = void (*)(mgmt_app&, const std::string&);

}  // namespace

mgmt_app::mgmt_app(monitor_port& mon, service_manager_port& svc, mgmt_timing timing)
    : mon_(mon), svc_(svc), timing_(timing), session_id_(std::make_shared<const std::string>())
{
    record_.name = APP_NAME;
    // The endpoint writes nothing itself: while it answers what it holds after
    // "EXIT", another node may lead.
    record_.needs_leadership = false;
    record_.handler = [this](const std::string& ev, const std::string& val) { doevent(ev, val); };
}

uint32_t mgmt_app::state()
{
    std::lock_guard lk(mutex_);
    return record_.state.load();
}

// The exit state is final. A leader that is told to exit while a request still
// runs steps down, and may even win an election again before its requests are
// answered: an "ABORT" or "ACTIVATE" then must not send this thread back to
// waiting for leadership, where it would never unregister and the daemon would
// never exit.
void mgmt_app::set_state(uint32_t s)
{
    {
        std::lock_guard lk(mutex_);
        if (record_.state.load() == STATE_EXIT)
            return;
        record_.state.store(s);
    }
    cond_.notify_all();
}

// A decimal node id as the monitor sends it: leading blanks and a sign accepted,
// read up to the first non-digit. Negative and larger values (never wrapped) name
// no node. Not a number at all: the conversion's error reaches the monitor.
void mgmt_app::set_node_flag(const std::string& value, uint8_t flag)
{
    const long long id = std::stoll(value);
    if (id >= 0 && static_cast<unsigned long long>(id) < node_online_.size())
        node_online_[static_cast<std::size_t>(id)].exchange(flag);
}

void mgmt_app::doevent(const std::string& event, const std::string& value)
{
    static const std::map<std::string, event_action> mgmt_event_map{
        {"ACTIVATE",
         [](mgmt_app& a, const std::string& v) {
             if (a.state() == STATE_EXIT)
                 return;
             a.session_id_.store(std::make_shared<const std::string>(v));
             a.set_state(STATE_ACTIVE);
         }},
        {"ABORT", [](mgmt_app& a, const std::string&) { a.set_state(STATE_INACTIVE); }},
        {"EXIT", [](mgmt_app& a, const std::string&) { a.set_state(STATE_EXIT); }},
        {"NODE-ONLINE", [](mgmt_app& a, const std::string& v) { a.set_node_flag(v, 1); }},
        {"NODE-OFFLINE", [](mgmt_app& a, const std::string& v) { a.set_node_flag(v, 0); }},
    };
    if (auto it = mgmt_event_map.find(event); it != mgmt_event_map.end())
        it->second(*this, value);
}

uint32_t mgmt_app::wait_while_active()
{
    std::unique_lock lk(mutex_);
    cond_.wait_for(lk, timing_.bind_retry, [this] { return record_.state.load() != STATE_ACTIVE; });
    return record_.state.load();
}

// A failed pass is retried after a pause, not at once: a monitor that keeps
// refusing the configuration, or a context that cannot be created, must not turn
// this thread into a busy loop. "EXIT" ends the pause.
void mgmt_app::pause_unless_exit()
{
    std::unique_lock lk(mutex_);
    cond_.wait_for(lk, timing_.retry_pause, [this] { return record_.state.load() == STATE_EXIT; });
}

void mgmt_app::activate(const json& config)
{
    std::optional<zmq::context_t> ctx(std::in_place);
    ctx->set(zmq::ctxopt::io_threads, 1);
    ctx->set(zmq::ctxopt::max_sockets, 1023);
    ++activations_;

    activation_end end;  // outlives the broker, which polls it
    std::future<void> broker;
    try {
        broker = std::async(std::launch::async,
                            [this, c = &*ctx, config, &end] { mgmt_broker(*c, config, *this, end); });
    } catch (...) {
        ctx.reset();
        throw;
    }
    {
        std::unique_lock lk(mutex_);
        cond_.wait(lk, [this] { return record_.state.load() != STATE_ACTIVE; });
    }
    // The broker takes no new request from now on (each gets "EAGAIN" at once),
    // lets its workers finish the ones they hold, however long the service
    // manager takes, sends their replies and then ends every socket of the
    // context with it. The termination below returns once the last replies are
    // written (or their linger has passed).
    end.raise();
    broker.get();
    ctx->close();  // zmq_ctx_term, retried on EINTR inside
    ctx.reset();
    spdlog::debug("{}: {}: exit", APP_NAME, "m_execute");
}

void mgmt_app::one_pass()
{
    json reply;
    mon_.call(NODE_SELF, "get-cluster-config", reply);
    const std::string text = reply.dump(-1, ' ', false, json::error_handler_t::replace);
    if (!reply.is_object())
        throw std::runtime_error("reply without 'response'. walkout! " + text);
    if (reply.contains("error"))
        throw std::runtime_error("error in response. walkout! " + text);
    if (!reply.contains("response"))
        throw std::runtime_error("reply without 'response'. walkout! " + text);
    json config = std::move(reply["response"]);

    uint32_t st;
    {
        std::unique_lock lk(mutex_);
        cond_.wait(lk, [this] { return record_.state.load() != STATE_INACTIVE; });
        st = record_.state.load();
    }
    if (st == STATE_ACTIVE)
        activate(config);
}

void mgmt_app::run()
{
    mon_.register_app(&record_);
    spdlog::info("{}: Started", APP_NAME);
    while (state() != STATE_EXIT) {
        bool failed = false;
        try {
            one_pass();
        } catch (const zmq::error_t& e) {
            if (e.num() != ETERM) {
                spdlog::warn("{}: zmq exception: {} at {}", APP_NAME, e.what(), "m_execute");
                failed = true;
            }
        } catch (const std::exception& e) {
            spdlog::error("{}: {}: Catch exception: {}", APP_NAME, "m_execute", e.what());
            failed = true;
        }
        if (failed)
            pause_unless_exit();
    }
    spdlog::info("{}: Cleanup", APP_NAME);
    mon_.unregister_app(&record_);
}

mgmt_app& daemon_mgmt_app()
{
    static mgmt_app* app = new mgmt_app(daemon_monitor(), daemon_service_manager());  // never destroyed
    return *app;
}

void mgmtapp_start_thread()
{
    // Started before main: the stop signals are already blocked for every thread
    // (the daemon's earliest initialiser), and this one inherits the block.
    std::thread([] {
        platform::thread_set_name(APP_NAME);
        try {
            daemon_mgmt_app().run();
        } catch (const std::exception& e) {
            spdlog::error("{}: {}: Catch exception: {}", APP_NAME, "m_execute", e.what());
        } catch (...) {
            spdlog::error("{}: {}: unexpected failure", APP_NAME, "m_execute");
        }
    }).detach();
}

}  // namespace mgmt
