// The management protocol's command tables and their handlers: status commands
// answered from the configuration, the replicated records ("get-value") and the
// node-online flags; state-changing commands checked here and carried out by the
// service manager's svcapp_call.
//
// The tables are built once (mgmt_tables_init, before any activation) and only
// read afterwards; handlers keep no state and take no lock.
#pragma once

#include "daemon/mgmt/mgmt_app.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>

namespace mgmt {

// A handler takes the request and the worker's configuration copy; a result that
// is an object with "error" is a failure, anything else is the "response".
using mgmt_handler = nlohmann::json (*)(const nlohmann::json& request, const nlohmann::json& config,
                                        const mgmt_app& app);
using mgmt_cmd_table = std::map<std::string, mgmt_handler>;

// One "call": a handler of its own, or a table keyed by "cmd".
struct mgmt_call_entry {
    mgmt_handler handler = nullptr;
    const mgmt_cmd_table* cmds = nullptr;
};
using mgmt_call_table_t = std::map<std::string, mgmt_call_entry>;

void mgmt_tables_init();
const mgmt_call_table_t& mgmt_call_table();

// {"error": code, "errorMessage": text}.
nlohmann::json mgmt_error(const char* code, const std::string& text);

// One service_status item: the run-state record of `name` as this session sees it.
nlohmann::json make_service_status(const std::string& name, const mgmt_app& app);
// One node_status item.
nlohmann::json make_node_status(uint32_t id, const std::string& nodename, const mgmt_app& app);

}  // namespace mgmt
