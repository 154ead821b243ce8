// The service manager's one way into the daemon core: monitor calls, the
// application registration and the Raft term (the leadership epoch of an
// activation). The daemon binds it to the node monitor (monitor_port_daemon.cpp);
// unit tests bind it to fake_monitor. Implementations are thread-safe.
#pragma once

#include "daemon/core/monitor.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace svc {

class monitor_port {
public:
    virtual ~monitor_port() = default;
    // monitor_call: node id (65 this node, 66 all), command, JSON in and reply out.
    virtual void call(uint32_t node_id, const std::string& cmd, nlohmann::json& io) = 0;
    // Waits until the monitor has started, then registers the application, whose
    // handler the monitor calls from then on (the event entry).
    virtual void register_app(monitor::app_record* app) = 0;
    virtual void unregister_app(monitor::app_record* app) = 0;
    // The Raft term now. Read by the "ACTIVATE" handler, which the monitor raises
    // on "mon-raft" while the term cannot change: the term of that leadership.
    virtual uint64_t term() = 0;
    // Whether this node still leads in `term` with a fresh lease: a majority
    // answered its appends less than the shortest election time-out ago, so no
    // new leader can have been elected. False whenever that is not known.
    virtual bool leader_lease_held(uint64_t term) = 0;
};

// The daemon's node monitor behind the port; lives for the whole process.
monitor_port& daemon_monitor_port();

}  // namespace svc
