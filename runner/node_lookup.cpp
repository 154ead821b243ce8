// Lookup of the Runner's own node entry.
#include "runner/node_lookup.hpp"

#include "config/cluster_config.hpp"

#include <stdexcept>

namespace runner {

own_node find_own_node(const nlohmann::json& config, uint32_t id)
{
    for (const auto& n : config::entries(config, "nodes")) {
        if (!n.is_object())
            continue;
        auto it = n.find("id");
        if (it == n.end() || !it->is_number_integer() || it->get<int64_t>() != static_cast<int64_t>(id))
            continue;
        const std::string where = "node " + std::to_string(id) + ": ";
        own_node out;
        out.id = id;
        auto text = [&](const char* key) {
            auto v = n.find(key);
            if (v == n.end() || !v->is_string() || v->get<std::string>().empty())
                throw std::runtime_error(where + "\"" + key + "\" must be a non-empty text");
            return v->get<std::string>();
        };
        out.nodename = text("nodename");
        out.internal_addr = text("internal_addr");
        auto port = n.find("runner_port");
        if (port == n.end() || !port->is_number_integer() || port->get<int64_t>() < 1 || port->get<int64_t>() > 65535)
            throw std::runtime_error(where + "\"runner_port\" must be an integer 1..65535");
        out.runner_port = static_cast<uint16_t>(port->get<int64_t>());
        return out;
    }
    throw std::runtime_error("node " + std::to_string(id) + " not found in the configuration");
}

}  // namespace runner
