// What the management endpoint uses of the node monitor: its registration and
// `monitor_call` ("get-cluster-config", "get-value"). The daemon's port forwards
// to the process's monitor; tests put a fake in its place.
#pragma once

#include "daemon/core/monitor.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace mgmt {

class monitor_port {
public:
    virtual ~monitor_port() = default;
    // Waits until the monitor has started, then registers.
    virtual void register_app(monitor::app_record* app) = 0;
    virtual void unregister_app(monitor::app_record* app) = 0;
    virtual void call(uint32_t node_id, const std::string& cmd, nlohmann::json& io) = 0;
};

monitor_port& daemon_monitor();

}  // namespace mgmt
