// Services held by a node that is no longer configured. Such a node may still
// run and hold the service's pools, and no node object of this leader watches
// it: the service stays assigned to it (nothing acts on it) until the node is
// configured again, or until the operator states, with `service stop` of that
// service, that the host holds none of its pools. That stop releases the record
// as unclean and switched off for the session; `service start --id N` then
// recovers it and starts it on node N. The same stop ends a hold-back by such a
// node (holds.hpp): nothing else could, as the node is never swept again.
//
// The configured set is written by the activation pass before its node threads
// start (one atomic bitmask in svc_app) and read from any thread.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace svc {

struct svc_app;

// Whether `node_id` is a node of the current activation's configuration.
bool is_configured_node(svc_app& app, uint32_t node_id);

// The operator's stop of service `name` held by unconfigured node `owner`: runs
// on this node's object, releases the record (unclean, run node 1024, switched
// off for the session) and answers as a stop does.
nlohmann::json release_from_unconfigured(svc_app& app, const std::string& name, uint32_t owner);

// The operator's stop of service `name` held back by unconfigured node `by`
// (and running nowhere): runs on this node's object, ends the hold and answers
// as a stop does.
nlohmann::json release_hold_of_unconfigured(svc_app& app, const std::string& name, uint32_t by);

}  // namespace svc
