// The sweep of a node that is let back (its Runner asked to stop every service
// placed elsewhere) and the retry of it while the node stays online but left
// fenced. The sweep itself lives with the node events (node_events.cpp), the
// retry in resweep.cpp. Both run on node threads; the shared state they touch
// (left-fenced mirror, episodes, service locks) has its own rules in
// left_fenced.hpp, episodes.hpp and owner_locks.hpp.
#pragma once

#include "daemon/services/node.hpp"

#include <cstdint>
#include <functional>

namespace svc {

struct svc_app;

// How long a left-fenced node that stays online waits for its next sweep.
inline constexpr int32_t resweep_delay = 30;

// One node object's part in a broadcast event: counted in the tally on every way
// out (a throw counts as a failure), and the part that completes the count does
// the follow-up.
void tallied(node_event::action_args& tally, int threshold, const std::function<bool()>& part,
             const std::function<void(bool failed)>& follow_up);

// Sweeps node n_id from node object x: a node that keeps services of others is
// left fenced (recorded for every later leader); one that is clean loses that
// state. Returns whether n_id may be unfenced.
bool sweep_returning_node(svc_app& app, node& x, uint32_t n_id);

// When n_id is left fenced and x is not exiting: its sweep is tried again in
// resweep_delay seconds, for the node's current return only.
void resweep_later(svc_app& app, node& x, uint32_t n_id);

// Kind 18: the periodic sweep of a node that is online and left fenced. When it
// now succeeds the node is taken back as at a return whose sweep succeeded.
void on_resweep(svc_app& app, node& x, const node_event& ev);

}  // namespace svc
