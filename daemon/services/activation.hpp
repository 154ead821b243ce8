// The activation pass: the service manager's work while this node leads, and the
// small operations around it (the queue tidy, delivery to node objects, their
// teardown).
#pragma once

#include "daemon/services/node.hpp"
#include "daemon/services/node_event.hpp"

#include <deque>

namespace svc {

struct svc_app;

// One activation; returns when a kind-1 event is at the front of main_queue.
// Throws critical_error for faults that must not be retried.
void do_active(svc_app& app);

// Removes every event of kind 10 or more from main_queue and closes the queue to
// management requests (main_mutex taken here).
void clear_main_queue(svc_app& app);
// main_mutex held: sorts the pending node events so that each configured node's
// newest online/offline event stays, online ones first (behind any leading
// kind-1 events), offline ones last; other events keep their order.
void tidy_main_queue(std::deque<node_event>& queue, const std::deque<node>& nodes);
// Hands one event to one node object: kinds 14 and 15 start a detached thread
// for an addressed node, other kinds go to the node's queue (16 also sets exit).
void node_deliver(svc_app& app, node& n, const node_event& ev);
// Ends every node thread and waits for their detached workers; every node object
// must have been delivered a kind-16 event first.
void destroy_nodes(std::deque<node>& nodes);

}  // namespace svc
