// The request broker of one activation and its five workers.
//
// The broker thread alone owns the front end (ROUTER at the configured
// mgmt-url), the back end (ROUTER at "inproc://mgmt-workers") and the FIFO of
// idle workers; each worker owns one REQ socket and its own configuration copy.
// Nothing is locked. The activation's context termination is the one stop
// signal: every blocked call fails with ETERM.
#pragma once

#include "daemon/mgmt/mgmt_app.hpp"

#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include <cstddef>

namespace mgmt {

inline constexpr const char* WORKERS_URL = "inproc://mgmt-workers";
inline constexpr int WORKER_COUNT = 5;
// The largest request part a client may send; a larger one drops that client's
// connection (no reply) and nothing else.
inline constexpr int64_t MAX_REQUEST_BYTES = 64 * 1024;

// Runs one activation. Returns when leadership ends while the front-end bind is
// still being retried; otherwise ends with the ZMQ error of the termination.
void mgmt_broker(zmq::context_t& ctx, nlohmann::json config, mgmt_app& app);

// One worker; ends with the context termination or a failure of its socket.
void backend_worker(zmq::context_t& ctx, nlohmann::json config, mgmt_app& app);

}  // namespace mgmt
