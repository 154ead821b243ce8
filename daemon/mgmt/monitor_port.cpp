// The daemon's monitor port: the monitor's free functions.
#include "daemon/mgmt/monitor_port.hpp"

namespace mgmt {

namespace {

class daemon_monitor_port final : public monitor_port {
public:
    void register_app(monitor::app_record* app) override { monitor::monitor_register_app(app); }
    void unregister_app(monitor::app_record* app) override { monitor::monitor_unregister_app(app); }
    void call(uint32_t node_id, const std::string& cmd, nlohmann::json& io) override
    {
        monitor::monitor_call(node_id, cmd, io);
    }
};

}  // namespace

monitor_port& daemon_monitor()
{
    static daemon_monitor_port* port = new daemon_monitor_port();  // never destroyed
    return *port;
}

}  // namespace mgmt
