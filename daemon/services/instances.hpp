// Restarted daemons: what the leader does when a node's daemon instance is not
// the one its services' records were written against. A daemon that restarted
// (alone, as in an upgrade, or with its host, whose reboot drops every pool it
// had imported) may be back before any liveness notice marks the node down, or
// within the offline delay, where its return collapses the offline event: no
// offline episode, no stale marks, and records saying "running" for services
// that may run nowhere. So every service recorded as running on that node and
// not stale is set back to starting, and the node's service pass starts it again
// where it is (a start of a service already running succeeds and changes
// nothing). Nothing is fenced and nothing moves: that stays the business of an
// offline episode. Services in a transition (2, 4, 6) are acted on by the pass
// anyway; stale ones belong to the offline episode or the session change that
// marked them.
//
// The replicated record "node-instance-<id>" holds the instance the node's
// records account for. It is written only after the services were set back, so
// a leader that goes away in between leaves the difference for the next one,
// which sees it at its activation (the monitor's replay tells every instance);
// the leader's own node is covered the same way.
//
// Runs on the node thread of the node concerned (kind 5), serialised with its
// online and offline events; each service is changed under its owner lock.
#pragma once

#include "daemon/services/node.hpp"
#include "daemon/services/node_event.hpp"

#include <cstdint>
#include <string>

namespace svc {

struct svc_app;

std::string node_instance_key(uint32_t node_id);

// Kind 5 for node object x: ev.instance is x's daemon instance as heard now.
void on_node_instance(svc_app& app, node& x, const node_event& ev);

}  // namespace svc
