// The cluster status view, built from the node status and service status replies.
// Fields are read while printing, so a malformed item ends the run (status 1)
// after whatever was already printed.
#include "cli/cluster_status.hpp"

#include "cli/exit_status.hpp"
#include "cli/mgmt_client.hpp"

#include <cstdio>

namespace cli {

namespace {

constexpr int no_run_node = 1024;

bool is_failed(const json& item)
{
    return item.is_object() && item.contains("error");
}

int print_table(const json& nodes, const json& services)
{
    for (const auto& item : reply_response_array(nodes)) {
        auto node = read_node_item(item);
        std::printf("\nNode ID: %2d; name: %25s; state: %12s; [%12s]\n", node.id, node.name.c_str(),
                    node.state.c_str(), enabled_text(node.enabled));
        for (const auto& svc : reply_response_array(services)) {
            if (is_failed(svc) || item_get_int(svc, "run_node") != node.id)
                continue;
            std::string svc_name = item_get_string(svc, "name");
            std::string svc_state = item_get_string(svc, "state");
            bool svc_enabled = item_get_bool(svc, "enabled");
            std::printf("\tService name: %24s; state: %10s; [%12s]\n", svc_name.c_str(), svc_state.c_str(),
                        enabled_text(svc_enabled));
        }
    }
    bool failed = false;
    for (const auto& svc : reply_response_array(services)) {
        if (!is_failed(svc))
            continue;
        if (!failed)
            std::printf("\nServices with errors:\n");
        failed = true;
        std::string svc_name = item_get_string(svc, "name");
        std::printf("\tService name: %24s -> %s\n", svc_name.c_str(), reply_error_text(svc).c_str());
    }
    std::printf("\n________________________________________\n");
    return failed ? exit_error_reply : exit_ok;
}

int print_json(const json& nodes, const json& services)
{
    json doc;  // stays null when both lists are empty
    for (const auto& item : reply_response_array(nodes)) {
        auto node = read_node_item(item);
        doc["cluster"]["nodes"].push_back(
            {{"id", node.id}, {"name", node.name}, {"state", node.state}, {"enabled", node.enabled}});
    }
    bool failed = false;
    for (const auto& svc : reply_response_array(services)) {
        std::string name = item_get_string(svc, "name");
        if (is_failed(svc)) {
            failed = true;
            doc["cluster"]["services"].push_back({{"name", name},
                                                  {"state", "ERROR"},
                                                  {"enabled", nullptr},
                                                  {"nodeId", nullptr},
                                                  {"error", reply_error_text(svc)}});
            continue;
        }
        std::string state = item_get_string(svc, "state");
        bool enabled = item_get_bool(svc, "enabled");
        int run_node = item_get_int(svc, "run_node");
        doc["cluster"]["services"].push_back({{"name", name},
                                              {"state", state},
                                              {"enabled", enabled},
                                              {"nodeId", run_node == no_run_node ? json(nullptr) : json(run_node)}});
    }
    std::string text = doc.dump(3);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return failed ? exit_error_reply : exit_ok;
}

}  // namespace

int cluster_status(bool json_output)
{
    const json nodes = mgmt_request({{"call", "node"}, {"cmd", "status"}});
    const json services = mgmt_request({{"call", "service"}, {"cmd", "status"}});
    return json_output ? print_json(nodes, services) : print_table(nodes, services);
}

}  // namespace cli
