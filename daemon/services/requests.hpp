// The management requests of the service manager: the one entry `svcapp_call`
// that the management endpoint calls for every request that changes services or
// nodes and for the services dump, the request bodies, and the posting of a
// request to a node object with the wait for its answer.
//
// Threads: svcapp_call runs on the calling management worker and blocks it until
// the request is done or dropped; several workers may call it at once. Each body
// runs on a detached thread of the addressed node object and takes the service
// locks through the owner locks; the dump takes none. A request never waits on a
// leader that is not active: it is refused at once, and a queued one is answered
// as soon as the activation ends and drops it.
#pragma once

#include "daemon/services/node.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace svc {

struct svc_app;

// Carries out one management request (see the dispatch in requests.cpp) and
// returns null, a result value, or {"error": code, "errorMessage": text}.
// A request whose members have the wrong type throws the JSON library's error.
nlohmann::json svcapp_call(svc_app& app, const nlohmann::json& request);

// Sets "error" "EAGAIN" and "errorMessage" "Request cannot be done. Try again."
void reply_try_again(nlohmann::json& reply);

using request_body = std::function<void(node&, nlohmann::json& reply)>;

// Posts `body` as a request event (kind 15) for node `node_id` and waits for it.
// True when the body ran to its end (`reply` then holds what it wrote); false
// when the event was dropped: the leader is not active or stopped being active,
// no node object has that id, or the body threw.
bool run_on_node(svc_app& app, uint32_t node_id, request_body body, nlohmann::json& reply);

nlohmann::json do_service_onoff(svc_app& app, const std::string& name, bool enable);
nlohmann::json do_service_start(svc_app& app, const std::string& name, const nlohmann::json& request);
nlohmann::json do_service_stop(svc_app& app, const std::string& name);
nlohmann::json do_node_setting(svc_app& app, uint32_t id, bool enable);
nlohmann::json dump_services(svc_app& app);

}  // namespace svc
