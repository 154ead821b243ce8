// The leadership bound on the Runner calls the leader's service manager makes
// for a node (service start, stop and recovery, the sweep's stops): each goes out
// only while this node still leads the term it acts for with a fresh lease. The
// fencing has its own check (fencing.cpp), with its own log line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace svc {

struct svc_app;

// Thrown by require_lease: the action is not taken and nothing about it is
// known to have happened. A service pass counts it as a failure of the service;
// a request is answered "Request cannot be done. Try again.".
struct lease_lost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Whether the Runner call `what` (for the log line) may go out in `term` now;
// logs a warning when it may not.
bool lease_allows(svc_app& app, uint64_t term, const std::string& what);
// The same, throwing lease_lost when it may not.
void require_lease(svc_app& app, uint64_t term, const std::string& what);

}  // namespace svc
