// The service actions: start, stop and recovery through the Runner of the
// service's node, and the bookkeeping operations assign_service, count_failure
// and warn_bad_state. They take no lock: the callers hold the service's lock
// around start, stop and recovery. Exceptions from the saves, the monitor call
// or the JSON access pass through to the caller.
#pragma once

#include "daemon/services/service_rec.hpp"

#include <cstdint>

namespace svc {

struct svc_app;

// Per-thread origin of the actions' log lines: 1 while a management request body
// runs ("src=external"), 0 otherwise ("src=cluster").
extern thread_local int request_origin;
const char* origin_label();

// Sets request_origin for a scope and restores the previous value, also on throw.
class request_origin_scope {
public:
    // Out of line: the thread-local is touched only in the translation unit that
    // defines it (GCC's sanitizer misreads the cross-unit access on new threads).
    explicit request_origin_scope(int origin);
    ~request_origin_scope();
    request_origin_scope(const request_origin_scope&) = delete;
    request_origin_scope& operator=(const request_origin_scope&) = delete;

private:
    int saved_;
};

void start_service(svc_app& app, service_rec& s);
void stop_service(svc_app& app, service_rec& s);
void recover_service(svc_app& app, service_rec& s);
void assign_service(svc_app& app, service_rec& s, uint32_t node_id);
void count_failure(svc_app& app, service_rec& s);
void warn_bad_state(svc_app& app, service_rec& s);
// A settled service (stopped or unclean) leaves node `from` for the assignment
// to place, and its record says so at once: a service that is not placed again
// (switched off, or no node to take it) has no next save, and its record would
// name the node for good. A failed save is logged; the release stands (a save
// fails once this leadership has ended, and the next leader takes over what
// the store says). False when the service was no longer on `from`.
bool release_service(svc_app& app, service_rec& s, uint32_t from);

}  // namespace svc
