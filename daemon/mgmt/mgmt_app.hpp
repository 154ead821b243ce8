// The management application "mgmt_app": its state word (inactive, active, exit)
// driven by the monitor's events, the cluster session id of the last "ACTIVATE",
// the node-online flags, and the thread body that runs one broker activation,
// with a ZMQ context of its own, per period of leadership.
//
// The exit state is final: once "EXIT" has come, "ABORT" and "ACTIVATE" change
// nothing, so the thread ends its activation, answers what it holds, unregisters
// and lets the daemon exit.
//
// Locking: the state word is written only by the event handler under `mutex_`,
// each write followed by a wake-up of every waiter on `cond_`; readers take the
// mutex. The session id is an atomic pointer to an immutable text, so a worker
// reads either the old or the new id, never a text being replaced. Node-online
// flags are atomic bytes. The monitor's delivery holds its registry mutex while
// calling the handler, so the handler only stores and wakes.
#pragma once

#include "daemon/core/monitor.hpp"
#include "daemon/mgmt/monitor_port.hpp"
#include "daemon/mgmt/service_manager_port.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace mgmt {

enum app_state : uint32_t { STATE_INACTIVE = 1, STATE_ACTIVE = 2, STATE_EXIT = 3 };

inline constexpr const char* APP_NAME = "mgmt_app";

// Pauses and limits of the application; the daemon keeps the defaults, tests
// shorten them.
struct mgmt_timing {
    std::chrono::milliseconds bind_retry{5000};   // wait_while_active's bound
    std::chrono::milliseconds retry_pause{1000};  // after a failed pass
    // After the front end closed its connections (too many, or an accept failed)
    // it listens again this much later.
    std::chrono::milliseconds relisten_pause{1000};
    // The most client connections the front end keeps; 0: from the open-file limit.
    std::size_t max_connections = 0;
};

class mgmt_app {
public:
    mgmt_app(monitor_port& mon, service_manager_port& svc, mgmt_timing timing = {});
    mgmt_app(const mgmt_app&) = delete;
    mgmt_app& operator=(const mgmt_app&) = delete;

    monitor::app_record& record() { return record_; }

    // The monitor's event delivery (mgmt_doevent).
    void doevent(const std::string& event, const std::string& value);
    // The thread body (m_execute): returns once the state word has become 3.
    void run();
    // Waits until the state word leaves 2 or the bind-retry period has passed;
    // returns the state word.
    uint32_t wait_while_active();

    uint32_t state();
    std::shared_ptr<const std::string> session_id() const { return session_id_.load(); }
    bool node_online(uint32_t id) const { return id < node_online_.size() && node_online_[id].load() != 0; }
    monitor_port& monitor() const { return mon_; }
    service_manager_port& service_manager() const { return svc_; }
    // Activations begun so far (ZMQ contexts created).
    uint64_t activations() const { return activations_.load(); }
    const mgmt_timing& timing() const { return timing_; }

private:
    void set_state(uint32_t s);
    void set_node_flag(const std::string& value, uint8_t flag);
    void one_pass();
    void activate(const nlohmann::json& config);
    void pause_unless_exit();

    monitor_port& mon_;
    service_manager_port& svc_;
    mgmt_timing timing_;
    monitor::app_record record_;

    std::mutex mutex_;
    std::condition_variable cond_;

    std::atomic<std::shared_ptr<const std::string>> session_id_;
    std::array<std::atomic<uint8_t>, 64> node_online_{};
    std::atomic<uint64_t> activations_{0};
};

// The daemon's application, on the daemon's monitor and service-manager ports.
mgmt_app& daemon_mgmt_app();
// Starts the daemon's application thread, detached (at program load, before main).
void mgmtapp_start_thread();

}  // namespace mgmt
