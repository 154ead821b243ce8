// What poolrun reads from the configuration: the host's node id and the service's
// pools and addresses. Mistyped members throw config_invalid before anything is
// changed on the node.
#pragma once

#include "nodeactions/service_addrs.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace nodeactions::poolrun {

struct service_def {
    std::string name;
    std::vector<std::string> pools;  // configuration order, duplicates kept
    ext_ip_map ext_ips;              // a later element with the same "ip" wins
};

// The "id" of the first node whose "nodename" equals `host` exactly; none when no
// node matches. A matching node whose "id" is not an integer throws config_invalid.
std::optional<long long> host_node_id(const nlohmann::json& doc, const std::string& host);

// The first service whose "name" equals `name` exactly; none when there is none.
// Throws config_invalid for its "pools" that is not an array of strings, or
// "ext_ips" that is not an array of objects with the strings "ip" and "interface"
// and an optional string "netmask".
std::optional<service_def> find_service(const nlohmann::json& doc, const std::string& name);

}  // namespace nodeactions::poolrun
