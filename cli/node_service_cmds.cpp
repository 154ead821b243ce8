// The node and service commands and the move sequence with its pre-check.
#include "cli/node_service_cmds.hpp"

#include "cli/exit_status.hpp"
#include "cli/mgmt_client.hpp"

#include <cstdio>

namespace cli {

void node_cmd(std::optional<int> id, const std::string& cmd)
{
    json request = {{"call", "node"}, {"cmd", cmd}};
    if (id)
        request["id"] = *id;
    const json reply = mgmt_request(request);
    if (cmd == "list") {
        for (const auto& item : reply_list_array(reply)) {
            if (!is_int32(item))
                bad_reply("list item is not an integer");
            std::printf("Node ID: %2d\n", item.get<int>());
        }
    } else if (cmd == "status") {
        for (const auto& item : reply_response_array(reply)) {
            auto n = read_node_item(item);
            std::printf("Node ID: %2d; name: %25s; state: %10s; [%12s]\n", n.id, n.name.c_str(), n.state.c_str(),
                        enabled_text(n.enabled));
        }
    }
}

void service_cmd(const std::optional<std::string>& name, const std::string& cmd, std::optional<int> node, bool print,
                 bool move)
{
    json request = {{"call", "service"}, {"cmd", cmd}};
    if (name)
        request["serviceName"] = *name;
    if (node)
        request["nodeId"] = *node;
    if (move)
        request["move"] = true;
    const json reply = mgmt_request(request);
    if (cmd == "list") {
        for (const auto& item : reply_list_array(reply)) {
            if (!item.is_string())
                bad_reply("list item is not a string");
            std::printf("Service name: %24s\n", item.get_ref<const std::string&>().c_str());
        }
    } else if (cmd == "status") {
        bool failed = false;
        for (const auto& item : reply_response_array(reply)) {
            if (item.is_object() && item.contains("error")) {
                std::string svc = item_get_string(item, "name");
                std::printf("Service name: %24s; state: %10s at node: %2s; [%12s]\n", svc.c_str(), "ERROR", "-",
                            "unknown");
                std::printf("%14s-> %s\n", "", reply_error_text(item).c_str());
                failed = true;
                continue;
            }
            std::string svc = item_get_string(item, "name");
            std::string state = item_get_string(item, "state");
            int run_node = item_get_int(item, "run_node");
            bool enabled = item_get_bool(item, "enabled");
            std::printf("Service name: %24s; state: %10s at node: %2d; [%12s]\n", svc.c_str(), state.c_str(),
                        run_node, enabled_text(enabled));
        }
        if (failed)
            throw exit_now{exit_error_reply};
    } else if (print) {
        std::printf("No error\n");
    }
}

namespace {

bool json_string_equals(const json& value, const std::string& text)
{
    return value.is_string() && value.get_ref<const std::string&>() == text;
}

// The first object item whose "id" is the integer `node_id`; null when none.
const json* find_node_item(const json& items, int node_id)
{
    for (const auto& item : items)
        if (item.is_object() && item.contains("id") && is_int32(item["id"]) && item["id"].get<int>() == node_id)
            return &item;
    return nullptr;
}

}  // namespace

precheck_result check_service_listed(const json& list_reply, const std::string& name)
{
    if (!list_reply.is_object() || !list_reply.contains("response"))
        return {precheck_result::no_response_array, {}};
    const json& response = list_reply["response"];
    if (response.is_null())  // the daemon's answer when no service is configured
        return {precheck_result::service_not_found, {}};
    if (!response.is_array())
        return {precheck_result::no_response_array, {}};
    for (const auto& item : response)
        if (json_string_equals(item, name))
            return {};
    return {precheck_result::service_not_found, {}};
}

precheck_result check_node_usable(const json& status_reply, int node_id)
{
    if (!status_reply.is_object() || !status_reply.contains("response") || !status_reply["response"].is_array())
        return {precheck_result::no_response_array, {}};
    const json* item = find_node_item(status_reply["response"], node_id);
    if (item == nullptr)
        return {precheck_result::node_not_found, {}};
    // A key of another type escapes to the terminate handler (status 1).
    std::string state = item->value("state", std::string());
    bool enabled = item->value("enabled", false);
    if (!enabled)
        return {precheck_result::node_disabled, {}};
    if (state != "ONLINE")
        return {precheck_result::node_offline, state};
    return {};
}

std::string precheck_message(const precheck_result& r, const std::string& name, int node_id)
{
    switch (r.code) {
    case precheck_result::no_response_array:
        return "Bad reply from mgmt: no response array";
    case precheck_result::service_not_found:
        return "Service not found: " + name;
    case precheck_result::node_not_found:
        return "Node not found: " + std::to_string(node_id);
    case precheck_result::node_disabled:
        return "Node disabled: " + std::to_string(node_id);
    case precheck_result::node_offline:
        return "Node offline: " + std::to_string(node_id) + " (state: " + (r.state.empty() ? "unknown" : r.state) +
               ")";
    case precheck_result::usable:
        break;
    }
    return {};
}

int service_move_precheck(const std::string& name, int dst)
{
    precheck_result r = check_service_listed(mgmt_request({{"call", "service"}, {"cmd", "list"}}), name);
    if (r.code == precheck_result::usable)
        r = check_node_usable(mgmt_request({{"call", "node"}, {"cmd", "status"}}), dst);
    if (r.code == precheck_result::usable)
        return exit_ok;
    std::fprintf(stderr, "%s\n", precheck_message(r, name, dst).c_str());
    return exit_error_reply;
}

int service_move(const std::string& name, int dst)
{
    if (int status = service_move_precheck(name, dst); status != exit_ok)
        return status;
    std::printf("Stopping service %s\n", name.c_str());
    std::fflush(stdout);
    service_cmd(name, "stop", std::nullopt, false);
    std::printf("Service %s stopped\n", name.c_str());
    std::fflush(stdout);
    std::printf("Starting service %s on node %d\n", name.c_str(), dst);
    std::fflush(stdout);
    service_cmd(name, "start", dst, false, true);
    std::printf("Service %s started on node %d\n", name.c_str(), dst);
    std::fflush(stdout);
    return exit_ok;
}

}  // namespace cli
