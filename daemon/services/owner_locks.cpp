// The owner locks of the service records; see owner_locks.hpp.
#include "daemon/services/owner_locks.hpp"

#include "daemon/services/svc_app.hpp"

namespace svc {

service_lock lock_while(svc_app& app, service_rec& s, const std::function<bool()>& still)
{
    service_lock lk(s.lock, std::try_to_lock);
    while (!lk.owns_lock() && still())
        lk = service_lock(s.lock, app.clock.real(std::chrono::seconds(1)));
    if (lk.owns_lock() && !still())
        lk.unlock();
    return lk;
}

service_lock lock_if_owned(svc_app& app, node& x, service_rec& s)
{
    return lock_while(app, s, [&] { return s.run_node.load() == x.id && !x.exit.load(); });
}

service_lock lock_if_unowned(svc_app& app, service_rec& s)
{
    return lock_while(app, s, [&] { return s.run_node.load() == run_node_none; });
}

}  // namespace svc
