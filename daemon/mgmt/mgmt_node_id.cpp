// Node-id conversion and look-up; see mgmt_node_id.hpp.
#include "daemon/mgmt/mgmt_node_id.hpp"

#include "config/cluster_config.hpp"

#include <cmath>
#include <limits>

namespace mgmt {

using nlohmann::json;

std::optional<uint32_t> node_id_value(const json& v)
{
    constexpr uint64_t max_id = std::numeric_limits<uint32_t>::max();
    switch (v.type()) {
    case json::value_t::boolean:
        return v.get<bool>() ? 1u : 0u;
    case json::value_t::number_unsigned: {
        const uint64_t u = v.get<uint64_t>();
        return u <= max_id ? std::optional<uint32_t>(static_cast<uint32_t>(u)) : std::nullopt;
    }
    case json::value_t::number_integer: {
        const int64_t i = v.get<int64_t>();
        return i >= 0 && static_cast<uint64_t>(i) <= max_id ? std::optional<uint32_t>(static_cast<uint32_t>(i))
                                                             : std::nullopt;
    }
    case json::value_t::number_float: {
        const double t = std::trunc(v.get<double>());
        return std::isfinite(t) && t >= 0.0 && t <= static_cast<double>(max_id)
                   ? std::optional<uint32_t>(static_cast<uint32_t>(t))
                   : std::nullopt;
    }
    default:
        (void)v.get<uint32_t>();  // the library's own type error
        return std::nullopt;
    }
}

std::optional<json> find_configured_node(const json& config, uint32_t id)
{
    const json wanted = id;
    for (auto& n : config::entries(config, "nodes"))
        if (n.at("id") == wanted)
            return n;
    return std::nullopt;
}

}  // namespace mgmt
