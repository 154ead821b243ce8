// The node and service commands: one management request each (service move: a
// short checked sequence), their answers printed as fixed-width lines.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace cli {

using json = nlohmann::json;

// Sends {"call":"node","cmd":cmd[,"id":id]} and prints "list" and "status" answers.
void node_cmd(std::optional<int> id, const std::string& cmd);

// Sends {"call":"service","cmd":cmd[,"serviceName"][,"nodeId"][,"move":true]}
// and prints the answer; with `print` on, a command without list output prints
// "No error". A status answer with failed items ends with status 11 after the
// last line. `move` marks the start of a move: refused, the daemon starts the
// service again where the move's stop took it off.
void service_cmd(const std::optional<std::string>& name, const std::string& cmd, std::optional<int> node,
                 bool print, bool move = false);

struct precheck_result {
    enum code_t { usable = 0, no_response_array = 1, service_not_found = 2, node_not_found = 3, node_disabled = 4,
                  node_offline = 5 };
    code_t code = usable;
    std::string state;  // the node's state text, for node_offline
};

precheck_result check_service_listed(const json& list_reply, const std::string& name);
precheck_result check_node_usable(const json& status_reply, int node_id);
std::string precheck_message(const precheck_result& r, const std::string& name, int node_id);

// 0 when the move may go ahead, else 11 after printing the reason.
int service_move_precheck(const std::string& name, int dst);

// The whole move: pre-check, stop, start. Returns the exit status.
int service_move(const std::string& name, int dst);

}  // namespace cli
