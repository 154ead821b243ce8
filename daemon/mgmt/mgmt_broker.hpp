// The request broker of one activation and its five workers.
//
// The broker thread alone owns the front end (ROUTER at the configured
// mgmt-url), the back end (ROUTER at "inproc://mgmt-workers"), the front end's
// guard and the FIFO of idle workers; each worker owns one REQ socket and its
// own configuration copy. Nothing is locked but a worker's count of requests it
// could not answer (an atomic).
//
// The end of the activation: once it is raised the broker takes no new request
// (each is answered "EAGAIN" at once), waits until the workers have answered
// every request they hold, sends those replies, and then shuts the context
// down, so that every blocked call fails with ETERM and the sockets close.
#pragma once

#include "daemon/mgmt/mgmt_activation_end.hpp"
#include "daemon/mgmt/mgmt_app.hpp"

#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace mgmt {

inline constexpr const char* WORKERS_URL = "inproc://mgmt-workers";
inline constexpr int WORKER_COUNT = 5;
// The largest request a worker is given. A larger one, up to MAX_FRAME_BYTES, is
// answered "EA80001" by the broker without being parsed; a message part larger
// than that makes the library drop the client's connection as it arrives (no
// reply), and nothing else. Memory per connection stays bounded by it.
inline constexpr std::size_t MAX_REQUEST_BYTES = 64 * 1024;
inline constexpr int64_t MAX_FRAME_BYTES = 1024 * 1024;
// How long the replies still queued at the end of an activation may take to
// reach their clients before they are dropped (a client that does not read).
inline constexpr int FRONT_LINGER_MS = 1000;

// Runs one activation. Returns when leadership ends while the front-end bind is
// still being retried; otherwise ends with the ZMQ error of the context's
// shutdown, once `end` was raised and every request it held was answered.
void mgmt_broker(zmq::context_t& ctx, nlohmann::json config, mgmt_app& app, const activation_end& end);

// One worker; ends with the context's shutdown or a failure of its socket.
// `unanswered` counts the requests it held when it failed.
void backend_worker(zmq::context_t& ctx, nlohmann::json config, mgmt_app& app, std::atomic<int>& unanswered);

}  // namespace mgmt
