// The activation pass: the service manager's work while this node leads.
#pragma once

namespace svc {

struct svc_app;

// One activation; returns when a kind-1 event is at the front of main_queue.
// Throws critical_error for faults that must not be retried.
void do_active(svc_app& app);

}  // namespace svc
