// Runner calls bounded by the leader's lease; see lease.hpp.
//
// A stop or start carries no save the store could refuse: a leader deposed
// while it was paused or cut off, asking a Runner to stop a service, may stop
// what the new leader has just started there, and a start may import pools that
// the new leader has placed elsewhere. So the question is asked right before
// each call: does this node still lead its activation's term, with a majority
// having answered its appends within less than the shortest election time-out?
// While it does, no other leader can have been elected.
//
// What remains is the time between the check and the Runner acting on the
// call: the process stopped right after the check, the request held in the
// network, or a Runner that takes the call and acts late (a call may take up to
// about 300 s). A new leader must first be elected (the followers wait out
// their leader-contact time-out, which starts no earlier than the lease's
// last majority answer), then read every record in its activation and wait its
// start delay before it starts anything, and for a service of another node it
// must first see that node go offline and fence it. A call checked in the old
// term reaches its Runner before the new leader acts on the same service unless
// the delay outlasts all of that.
#include "daemon/services/lease.hpp"

#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

namespace svc {

bool lease_allows(svc_app& app, uint64_t term, const std::string& what)
{
    if (app.mon.leader_lease_held(term))
        return true;
    spdlog::warn("{}: {} not sent: this node no longer leads with a fresh lease (term {}); the current leader "
                 "acts when it may",
                 app_name, what, term);
    return false;
}

void require_lease(svc_app& app, uint64_t term, const std::string& what)
{
    if (!lease_allows(app, term, what))
        throw lease_lost("no fresh leader lease for " + what);
}

}  // namespace svc
