// The assignment pass; see assignment.hpp. It reads the records' atomics and the
// node objects' states without locks; placement itself is a compare-and-swap.
#include "daemon/services/assignment.hpp"

#include "daemon/services/actions.hpp"
#include "daemon/services/left_fenced.hpp"
#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

#include <array>
#include <utility>
#include <vector>

namespace svc {

namespace {

bool waiting_for_node(const service_rec& s)
{
    // "cluster-management" is always on the leader's own node, never placed here.
    // A held one is placed once its hold ends (holds.hpp).
    return s.run_node.load() == run_node_none && s.enabled.load() && !s.disabled_once.load() &&
           s.held_by.load() == run_node_none && s.name != cluster_management;
}

}  // namespace

bool claim_service(svc_app& app, service_rec& s, uint32_t node_id)
{
    uint32_t expected = run_node_none;
    if (!s.run_node.compare_exchange_strong(expected, node_id))
        return false;
    // The same bookkeeping as assign_service, after the claim: the exchange there
    // is a no-op now.
    assign_service(app, s, node_id);
    return true;
}

void assignment_pass(svc_app& app, service_table& services, std::deque<node>& nodes)
{
    // Gate: wait until every node is serving or known offline.
    bool any_waiting = false;
    for (auto& [name, s] : services)
        if (waiting_for_node(s)) {
            any_waiting = true;
            break;
        }
    if (!any_waiting)
        return;
    for (auto& n : nodes) {
        const uint32_t st = n.state.load();
        if (st != ns_serving && st != ns_offline)
            return;
    }

    std::array<uint32_t, max_nodes> load{};
    for (auto& [name, s] : services) {
        const uint32_t rn = s.run_node.load();
        if (name != cluster_management && rn < max_nodes)
            ++load[rn];
    }
    std::vector<std::pair<uint32_t, uint32_t>> candidates;  // (id, load), configuration order
    for (auto& n : nodes)
        if (n.state.load() == ns_serving && !n.stopping.load() && n.enabled.load() && !is_left_fenced(app, n.id))
            candidates.emplace_back(n.id, load[n.id]);
    if (candidates.empty())
        return;

    for (auto& [name, s] : services) {
        if (!waiting_for_node(s))
            continue;
        auto chosen = candidates.end();
        for (auto it = candidates.begin(); it != candidates.end() && chosen == candidates.end(); ++it)
            if (it->first == s.pri0)
                chosen = it;
        for (auto it = candidates.begin(); it != candidates.end() && chosen == candidates.end(); ++it)
            if (it->first == s.pri1)
                chosen = it;
        if (chosen == candidates.end()) {
            chosen = candidates.begin();
            for (auto it = candidates.begin(); it != candidates.end(); ++it)
                if (it->second < chosen->second)
                    chosen = it;
        }
        // A manual start may have claimed it since we looked: skip it then.
        if (claim_service(app, s, chosen->first))
            ++chosen->second;
    }
    app.post_event(kind_service_pass, node_all);
}

}  // namespace svc
