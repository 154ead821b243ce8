// Starts the daemon's service manager before main and hands the management
// endpoint its entry (svcapp_call): linked only into kelm (never
// into a library that a test links), so the threads exist in the daemon alone.
// The initialiser has no priority: it runs after the signal-blocking constructor
// (priority 101), and platform::thread_start blocks the stop signals in each
// thread too. A thread that cannot be created ends the daemon with status 1.
#include "daemon/services/svc_app.hpp"

#include "daemon/mgmt/service_manager_port.hpp"
#include "daemon/services/requests.hpp"

#include "platform/process.hpp"

#include <pthread.h>

namespace svc {

namespace {

template <void (*Body)(svc_app&)>
void* thread_entry(void* arg)
{
    Body(*static_cast<svc_app*>(arg));
    return nullptr;
}

}  // namespace

svc_app& svcapp_start_threads()
{
    // Never destroyed: the detached threads wait on its mutex and condition
    // variable until the process ends (through platform::process_exit).
    static svc_app* app = [] {
        auto* a = new svc_app(daemon_monitor_port(), steady_svc_clock());
        pthread_detach(platform::thread_start(&thread_entry<do_execute>, a, "svc_execute"));
        pthread_detach(platform::thread_start(&thread_entry<s_postpone>, a, "svc_postpone"));
        return a;
    }();
    return *app;
}

namespace {

// The management endpoint's way in: its workers' requests go to svcapp_call.
class endpoint_port final : public mgmt::service_manager_port {
public:
    explicit endpoint_port(svc_app& app) : app_(app) {}
    nlohmann::json svcapp_call(const nlohmann::json& request) override { return svc::svcapp_call(app_, request); }

private:
    svc_app& app_;
};

svc_app& start_and_install()
{
    svc_app& app = svcapp_start_threads();
    // Never destroyed: management workers may call it until the process ends.
    mgmt::install_service_manager(new endpoint_port(app));
    return app;
}

[[maybe_unused]] svc_app& started_before_main = start_and_install();

}  // namespace

}  // namespace svc
