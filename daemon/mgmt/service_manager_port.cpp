// The daemon's service-manager port: an atomic pointer to the installed one.
#include "daemon/mgmt/service_manager_port.hpp"

#include <atomic>

namespace mgmt {

namespace {

std::atomic<service_manager_port*> installed{nullptr};

class forwarding_port final : public service_manager_port {
public:
    nlohmann::json svcapp_call(const nlohmann::json& request) override
    {
        service_manager_port* p = installed.load(std::memory_order_acquire);
        return p != nullptr ? p->svcapp_call(request) : reply_try_again();
    }
};

}  // namespace

nlohmann::json reply_try_again()
{
    return {{"error", "EAGAIN"}, {"errorMessage", "Request cannot be done. Try again."}};
}

service_manager_port& daemon_service_manager()
{
    static forwarding_port* port = new forwarding_port();  // never destroyed: workers may outlive main
    return *port;
}

void install_service_manager(service_manager_port* port)
{
    installed.store(port, std::memory_order_release);
}

}  // namespace mgmt
