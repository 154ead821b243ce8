// The owner locks: the only way an action takes a service's lock. Each gives up
// as soon as the service's placement no longer matches what the caller expects,
// so a thread never acts on a service that moved while it waited.
//
// Waits go in slices of one second of the app's clock (timed attempts on the
// service's timed mutex); there is no other bound while the lock stays busy and
// the placement still matches.
#pragma once

#include "daemon/services/node.hpp"
#include "daemon/services/service_rec.hpp"

#include <functional>
#include <mutex>

namespace svc {

struct svc_app;

using service_lock = std::unique_lock<std::timed_mutex>;

// Held when the service is on node X's id once the lock is taken. Also gives up
// when X's exit flag is set: the activation is ending and nobody will use the
// result of waiting behind a long Runner call.
service_lock lock_if_owned(svc_app& app, node& x, service_rec& s);
// Held when the service is unassigned (run node 1024) once the lock is taken.
service_lock lock_if_unowned(svc_app& app, service_rec& s);
// The general form: waits while `still` holds, keeps the lock only if it holds
// once taken.
service_lock lock_while(svc_app& app, service_rec& s, const std::function<bool()>& still);

}  // namespace svc
