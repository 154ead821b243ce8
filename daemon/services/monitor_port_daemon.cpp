// The node monitor behind monitor_port, for the daemon.
#include "daemon/services/monitor_port.hpp"

namespace svc {

namespace {

class daemon_port final : public monitor_port {
public:
    void call(uint32_t node_id, const std::string& cmd, nlohmann::json& io) override
    {
        monitor::monitor_call(node_id, cmd, io);
    }
    void register_app(monitor::app_record* app) override { monitor::monitor_register_app(app); }
    void unregister_app(monitor::app_record* app) override { monitor::monitor_unregister_app(app); }
    uint64_t term() override { return monitor::instance().term(); }
    bool leader_lease_held(uint64_t term) override { return monitor::instance().leader_lease_held(term); }
};

}  // namespace

monitor_port& daemon_monitor_port()
{
    // Never destroyed: detached threads call through it until the process ends.
    static monitor_port* p = new daemon_port();
    return *p;
}

}  // namespace svc
