// The one seam between the management endpoint and the service manager. The
// endpoint hands every request that changes services or nodes, and the services
// dump, to `svcapp_call`; nothing else of the service manager is seen from here.
//
// Threads: the five management workers call svcapp_call concurrently. The
// installed port is published through an atomic pointer and may be replaced at
// any time; a port must outlive every call made through it (the daemon's lives
// for the whole process).
#pragma once

#include <nlohmann/json.hpp>

namespace mgmt {

class service_manager_port {
public:
    virtual ~service_manager_port() = default;
    // Carries out `request` (the whole management request object: "call", "cmd",
    // "serviceName", "nodeId", "id", ...) and returns null, a result (sent as
    // "response"), or {"error": code, "errorMessage": text}. Blocks the calling
    // worker until the work is done, but must return once the service manager is
    // no longer active ("EAGAIN" "Request cannot be done. Try again."): a call
    // that never returns keeps the endpoint from ever shutting down.
    virtual nlohmann::json svcapp_call(const nlohmann::json& request) = 0;
};

// The answer of a request that the service manager could not take or finish.
nlohmann::json reply_try_again();

// The daemon's port: forwards to the installed service manager, and answers
// reply_try_again() while none is installed.
service_manager_port& daemon_service_manager();

// Installs (or, with null, removes) the service manager behind daemon_service_manager().
void install_service_manager(service_manager_port* port);

}  // namespace mgmt
