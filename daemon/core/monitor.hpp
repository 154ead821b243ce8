// The node monitor: owns the Raft node and its thread "mon-raft", the replicated
// key/value store, the node map and the application registry.
#pragma once

#include "daemon/core/log.hpp"
#include "daemon/core/mq.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace monitor {

// Records a node's Runner endpoint; called for every configured node before start.
void monitor_register_runner(uint32_t id, const std::string& addr, int port);

// Builds the Raft node and starts "mon-raft". The log, queues and document are lent
// for the life of the process.
void monitor_start(uint32_t own_id, raft::log_t* log, raft::mq_t* rx_queue,
                   std::vector<raft::mq_t*>* transport_queues, const nlohmann::json* config);

// Hands a stop signal over from the main loop (SIGINT/SIGTERM: stop this node,
// SIGQUIT: stop the cluster; with no leader known the daemon is to exit at once).
void monitor_signal(int signo);

// True once the daemon is to exit.
bool monitor_exit_requested();

// Stops "mon-raft" and waits until the applications are gone.
void monitor_stop();

}  // namespace monitor
