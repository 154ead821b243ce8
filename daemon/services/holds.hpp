// Services held back by a node that fencing does not cut off. When the sweep of
// a returning node N cannot stop a service placed elsewhere (its Runner did not
// answer, or the host still holds one of the service's pools) and fencing does
// not apply to N (fencing it is disabled in the configuration and the cluster
// is not a pair), N may still write that service's pools: the service is then
// started or recovered on no node other than N until a later stop of it on N
// succeeds (the re-sweep while N stays online, or the sweep at N's next
// return). Where fencing applies N is fenced instead, which cuts it off its
// disks, and the service moves on as usual.
//
// One replicated record per held service, beside its run-state record, so that
// a new leader holds it too:
//
//   key   "svc-<name>-held"   value {"node":<id>} (held by node id) or {} (not held)
//
// The activation reads it with the run state; a missing record means not held,
// a record that cannot be read fails the activation as an unreadable run state
// does. The in-memory mirror is service_rec::held_by, changed only with the
// service's lock held and only through the functions below.
#pragma once

#include "daemon/services/service_rec.hpp"

#include <cstdint>
#include <string>

namespace svc {

struct svc_app;

std::string held_key(const std::string& service_name);

// Reads the service's record into held_by (activation pass). Throws on a record
// that cannot be read.
void load_hold(svc_app& app, service_rec& s);

// Lock held. Holds the service for node_id: held_by is set first and stays set
// whatever the save does. Returns whether the record was saved.
bool hold_service(svc_app& app, service_rec& s, uint32_t node_id, uint64_t term);
// Lock held. Ends the hold once its record says so; false (still held) when the
// save failed. `announce`: log that the service may start elsewhere again.
bool release_hold(svc_app& app, service_rec& s, uint64_t term, bool announce = true);

// Whether the service may not be started or recovered on node `on`: held by
// another node. Logs at warning why and what the operator can do.
bool held_elsewhere(const service_rec& s, uint32_t on, const char* what);

}  // namespace svc
