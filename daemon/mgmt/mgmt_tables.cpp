// The command tables and every handler of the management protocol.
#include "daemon/mgmt/mgmt_tables.hpp"

#include "config/cluster_config.hpp"
#include "daemon/mgmt/mgmt_node_id.hpp"

namespace mgmt {

using nlohmann::json;

namespace {

constexpr uint32_t NODE_ALL = 66;

// Each entry's `member`, copied unchanged; null when there is no entry.
json entry_members(const json& config, const char* key, const char* member)
{
    json out;
    for (const auto& e : config::entries(config, key))
        out.push_back(e.at(member));
    return out;
}

// Success (null) or the error of a request whose "id" names no configured node.
json validate_node_id(const json& req, const json& config)
{
    if (!req.contains("id"))
        return mgmt_error("EINVAL", "'id' should be set");
    const auto id = node_id_value(req.at("id"));
    if (!id || !find_configured_node(config, *id))
        return mgmt_error("ENOENT", "node can not be found");
    return nullptr;
}

json service_list(const json&, const json& config, const mgmt_app&)
{
    return entry_members(config, "services", "name");
}

json service_status(const json& req, const json& config, const mgmt_app& app)
{
    json out = json::array();
    if (req.contains("serviceName")) {
        out.push_back(make_service_status(req.at("serviceName").get<std::string>(), app));
        return out;
    }
    for (const auto& s : config::entries(config, "services"))
        out.push_back(make_service_status(s.at("name").get<std::string>(), app));
    return out;
}

json service_named_call(const json& req, const json&, const mgmt_app& app)
{
    if (!req.contains("serviceName"))
        return mgmt_error("EINVAL", "serviceName should be set");
    return app.service_manager().svcapp_call(req);
}

json service_start(const json& req, const json& config, const mgmt_app& app)
{
    if (!req.contains("serviceName"))
        return mgmt_error("EINVAL", "serviceName should be set");
    if (!req.contains("nodeId"))
        return mgmt_error("EINVAL", "nodeId should be set");
    // A value outside u32 names no node, as for any unconfigured id (it is never
    // wrapped onto another node's id).
    const auto id = node_id_value(req.at("nodeId"));
    if (!id || !find_configured_node(config, *id))
        return mgmt_error("ENOENT", "node can not be found");
    return app.service_manager().svcapp_call(req);
}

json service_help(const json&, const json&, const mgmt_app&)
{
    return {"list", "info", "status", "stop", "start", "enable", "disable"};
}

json node_list(const json&, const json& config, const mgmt_app&)
{
    return entry_members(config, "nodes", "id");
}

json node_item(const json& entry, const mgmt_app& app)
{
    const auto id = node_id_value(entry.at("id"));
    if (!id)
        throw std::runtime_error("configured node id out of range: " + entry.at("id").dump());
    return make_node_status(*id, entry.at("nodename").get<std::string>(), app);
}

json node_status(const json& req, const json& config, const mgmt_app& app)
{
    json out = json::array();
    if (req.contains("id")) {
        const auto id = node_id_value(req.at("id"));
        const auto entry = id ? find_configured_node(config, *id) : std::nullopt;
        if (!entry)
            return mgmt_error("ENOENT", "node can not be found");
        out.push_back(node_item(*entry, app));
        return out;
    }
    for (const auto& n : config::entries(config, "nodes"))
        out.push_back(node_item(n, app));
    return out;
}

json node_setting(const json& req, const json& config, const mgmt_app& app)
{
    if (json err = validate_node_id(req, config); !err.is_null())
        return err;
    return app.service_manager().svcapp_call(req);
}

json node_exit(const json& req, const json& config, const mgmt_app& app)
{
    if (req.contains("id"))
        return node_setting(req, config, app);
    json all = req;
    all["id"] = NODE_ALL;
    return app.service_manager().svcapp_call(all);
}

json node_help(const json&, const json&, const mgmt_app&);

json debug(const json& req, const json&, const mgmt_app& app)
{
    if (!req.is_object() || !req.contains("cmd"))
        return mgmt_error("EINVAL", "'cmd' is missed. try 'help'");
    const json& cmd = req.at("cmd");
    if (cmd == "help")
        return {"debug-dump-services"};
    if (cmd == "debug-dump-services")
        return app.service_manager().svcapp_call(req);
    return mgmt_error("EINVAL", "'cmd' is wrong. try 'help'");
}

json help(const json&, const json&, const mgmt_app&)
{
    return {"service", "node", "debug"};
}

struct tables {
    mgmt_cmd_table service_cmds{
        {"list", service_list},          {"info", service_status},      {"status", service_status},
        {"stop", service_named_call},    {"start", service_start},      {"enable", service_named_call},
        {"disable", service_named_call}, {"help", service_help},
    };
    mgmt_cmd_table node_cmds{
        {"list", node_list},       {"info", node_status},      {"status", node_status}, {"enable", node_setting},
        {"disable", node_setting}, {"exit", node_exit},        {"help", node_help},
    };
    mgmt_call_table_t calls{
        {"service", {nullptr, &service_cmds}},
        {"node", {nullptr, &node_cmds}},
        {"debug", {debug, nullptr}},
        {"help", {help, nullptr}},
    };
};

const tables& the_tables()
{
    static const tables* t = new tables();  // never destroyed: workers may outlive main
    return *t;
}

json node_help(const json&, const json&, const mgmt_app&)
{
    json out = json::array();
    for (const auto& [name, handler] : the_tables().node_cmds)
        if (name != "help")
            out.push_back(name);
    return out;
}

}  // namespace

json mgmt_error(const char* code, const std::string& text)
{
    return {{"error", code}, {"errorMessage", text}};
}

void mgmt_tables_init()
{
    (void)the_tables();
}

const mgmt_call_table_t& mgmt_call_table()
{
    return the_tables().calls;
}

}  // namespace mgmt
