// The host's node id and the service definition, read from the configuration.
#include "nodeactions/poolrun_service.hpp"

#include "config/cluster_config.hpp"
#include "nodeactions/config_load.hpp"

namespace nodeactions::poolrun {

using json = nlohmann::json;

namespace {

std::string ext_ip_text(const json& element, const char* key, const std::string& service, bool required)
{
    auto it = element.find(key);
    if (it == element.end() || (!required && it->is_null())) {
        if (required)
            throw config_invalid("service '" + service + "': an \"ext_ips\" element has no \"" + key + "\"");
        return "";
    }
    if (!it->is_string())
        throw config_invalid("service '" + service + "': \"" + key + "\" of an \"ext_ips\" element is not a string");
    if (it->get_ref<const std::string&>().find('\0') != std::string::npos)
        throw config_invalid("service '" + service + "': \"" + key + "\" of an \"ext_ips\" element holds a zero byte");
    return it->get<std::string>();
}

}  // namespace

std::optional<long long> host_node_id(const json& doc, const std::string& host)
{
    if (!doc.is_object())
        return std::nullopt;
    for (const auto& node : config::entries(doc, "nodes")) {
        auto name = node.find("nodename");
        if (name == node.end() || !name->is_string() || name->get_ref<const std::string&>() != host)
            continue;
        auto id = node.find("id");
        if (id == node.end() || !id->is_number_integer())
            throw config_invalid("node '" + host + "': \"id\" is not an integer");
        if (id->is_number_unsigned())
            return static_cast<long long>(id->get<unsigned long long>());
        return id->get<long long>();
    }
    return std::nullopt;
}

std::optional<service_def> find_service(const json& doc, const std::string& name)
{
    if (!doc.is_object())
        return std::nullopt;
    for (const auto& service : config::entries(doc, "services")) {
        auto it = service.find("name");
        if (it == service.end() || !it->is_string() || it->get_ref<const std::string&>() != name)
            continue;
        service_def def;
        def.name = name;
        if (auto pools = service.find("pools"); pools != service.end()) {
            if (!pools->is_array())
                throw config_invalid("service '" + name + "': \"pools\" is not an array of strings");
            for (const auto& pool : *pools) {
                if (!pool.is_string())
                    throw config_invalid("service '" + name + "': \"pools\" is not an array of strings");
                // The pool library reads a name up to its first zero byte: "ta\0nk"
                // would act on the pool "ta".
                if (pool.get_ref<const std::string&>().find('\0') != std::string::npos)
                    throw config_invalid("service '" + name + "': a pool name holds a zero byte");
                def.pools.push_back(pool.get<std::string>());
            }
        }
        if (auto ips = service.find("ext_ips"); ips != service.end()) {
            if (!ips->is_array())
                throw config_invalid("service '" + name + "': \"ext_ips\" is not an array");
            for (const auto& element : *ips) {
                if (!element.is_object())
                    throw config_invalid("service '" + name + "': an \"ext_ips\" element is not an object");
                std::string ip = ext_ip_text(element, "ip", name, true);
                ext_ip_value value{ext_ip_text(element, "interface", name, true),
                                   ext_ip_text(element, "netmask", name, false)};
                def.ext_ips[ip] = std::move(value);
            }
        }
        return def;
    }
    return std::nullopt;
}

}  // namespace nodeactions::poolrun
