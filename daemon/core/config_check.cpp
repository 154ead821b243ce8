// Start-up validation: node ids 1..63 as JSON integers and unique, node names unique,
// one entry for this node, the types of the values read after start-up, an HA pair
// made of exactly nodes 1 and 2, and flap guard settings the disk guard can use.
#include "daemon/core/config_check.hpp"

#include "config/cluster_config.hpp"

#include <fmt/format.h>

#include <limits>
#include <set>

namespace kelm {

std::optional<std::string> check_daemon_config(const nlohmann::json& doc, int self_matches)
{
    auto nodes = config::entries(doc, "nodes");
    std::set<int64_t> ids;
    std::set<std::string> names;
    for (const auto& n : nodes) {
        const auto& id = n.at("id");
        // The JSON library would turn true into 1 and 2.7 into 2: check the type itself.
        if (!id.is_number_integer())
            return fmt::format("[main] node id {} is not an integer", id.dump());
        int64_t v = id.is_number_unsigned() ? static_cast<int64_t>(std::min<uint64_t>(id.get<uint64_t>(), 1u << 20))
                                            : id.get<int64_t>();
        if (v < 1 || v > 63)
            return fmt::format("[main] node id {} out of range 1..63", id.dump());
        if (!ids.insert(v).second)
            return fmt::format("[main] duplicate node id {}", v);
    }
    if (self_matches > 1)
        return "[main] more than one entry of \"nodes\" matches this node";
    for (const auto& n : nodes) {
        const auto name = n.at("nodename").get<std::string>();
        if (!names.insert(name).second)
            return fmt::format("[main] duplicate nodename '{}'", name);
    }
    // What the daemon reads later (the monitor at start, the service manager and
    // the management endpoint when they activate) is refused now if mistyped:
    // "self_fencing": "true" must never run as a node without self-fencing.
    try {
        (void)config::read_cluster(doc);
        (void)config::read_ha(doc);
        for (const auto& n : nodes)
            (void)config::value_or<bool>(n, "leadership_disabled", false);
    } catch (const nlohmann::json::exception& e) {
        return std::string("[main] ") + e.what();
    }
    // The disk voter fences "the other node" by key 1 or 2, and without a disk it
    // can never vote: an HA pair is nodes 1 and 2 over at least one shared disk.
    if (doc.contains("ha")) {
        const auto& ha = doc.at("ha");
        const bool has_disks = ha.is_object() && ha.contains("disks") && ha.at("disks").is_array() &&
                               !ha.at("disks").empty();
        if (nodes.size() != 2 || ids != std::set<int64_t>{1, 2} || !has_disks)
            return "[main] HA needs node ids 1 and 2 and at least one disk";
    }
    return std::nullopt;
}

std::optional<std::string> check_ha_flap_settings(const nlohmann::json& doc)
{
    if (!doc.is_object() || !doc.contains("ha") || !doc.at("ha").is_object())
        return std::nullopt;
    const auto& ha = doc.at("ha");
    // Checked on the JSON value itself: a float would be cut, and one out of range
    // is undefined behaviour when converted.
    auto in_range = [&](const char* key, int64_t max) {
        auto it = ha.find(key);
        if (it == ha.end())
            return true;
        if (it->is_number_unsigned())
            return it->get<uint64_t>() <= static_cast<uint64_t>(max);
        return it->is_number_integer() && it->get<int64_t>() >= 0 && it->get<int64_t>() <= max;
    };
    if (!in_range("flap_threshold", std::numeric_limits<int64_t>::max()))
        return fmt::format("[main] Bad ha.flap_threshold: {}", ha.at("flap_threshold").dump());
    if (!in_range("flap_window_sec", max_flap_window_sec))
        return fmt::format("[main] Bad ha.flap_window_sec: {}", ha.at("flap_window_sec").dump());
    return std::nullopt;
}

}  // namespace kelm
