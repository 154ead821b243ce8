// The assignment pass: places every service that waits for a node on its first
// preferred node, else its second, else the least loaded serving node, then asks
// for a service pass on every node. Runs on the activation's thread.
#pragma once

#include "daemon/services/node.hpp"
#include "daemon/services/service_rec.hpp"

#include <cstdint>
#include <deque>

namespace svc {

struct svc_app;

// Claims an unassigned service for `node_id`: run node 1024 -> node_id by
// compare-and-swap, so a concurrent claim (another pass or a manual start) cannot
// place one service on two nodes. On success it does what assign_service does.
bool claim_service(svc_app& app, service_rec& s, uint32_t node_id);

void assignment_pass(svc_app& app, service_table& services, std::deque<node>& nodes);

}  // namespace svc
