// process_event: what one node object does with one event. Kind 16 (thread exit)
// is handled by the delivery (it sets the exit flag); kind 15 runs a management
// request's body on this node object.
#include "daemon/services/node.hpp"

#include "daemon/services/svc_app.hpp"

#include <spdlog/spdlog.h>

namespace svc {

void process_event(svc_app& app, node& n, const node_event& ev)
{
    (void)app;
    try {
        if (ev.kind == kind_request && ev.node == n.id) {
            if (auto* req = ev.request()) {
                if (req->body)
                    req->body(n);
                req->promise.set_value();
            }
        }
    } catch (const std::exception& e) {
        spdlog::error("{}: Exception: node {}: {}. Drop event.", app_name, n.id, e.what());
    }
}

}  // namespace svc
