// Configuration loading and typed access.
#include "config/cluster_config.hpp"

#include <fstream>
#include <sstream>

namespace config {

json load_file(const std::string& path)
{
    std::ifstream in(path);
    if (!in.is_open())
        return json::parse(std::string());  // the parse error of an empty input
    return json::parse(in);
}

std::vector<json> entries(const json& doc, const char* key)
{
    std::vector<json> out;
    if (!doc.is_object())
        return out;
    auto it = doc.find(key);
    if (it == doc.end())
        return out;
    if (it->is_array()) {
        for (const auto& e : *it)
            out.push_back(e);
    } else if (it->is_object()) {
        // nlohmann::json keeps object keys sorted: iteration is lexical key order.
        for (const auto& [k, v] : it->items())
            out.push_back(v);
    }
    return out;
}

namespace detail {

void wrong_type(const json& value, const char* key, const std::string& expected)
{
    throw json::type_error::create(
        302, "\"" + std::string(key) + "\" must be " + expected + ", not " + value.dump(-1, ' ', false,
                                                                                      json::error_handler_t::replace),
        &value);
}

bool integer_within(const json& value, int64_t min, uint64_t max)
{
    if (value.is_number_unsigned())
        return value.get<uint64_t>() <= max;
    if (value.is_number_integer()) {
        const int64_t v = value.get<int64_t>();
        return v >= min && (v < 0 || static_cast<uint64_t>(v) <= max);
    }
    return false;
}

}  // namespace detail

bool bool_or(const json& obj, const char* key, bool fallback)
{
    if (!obj.is_object())
        return fallback;
    auto it = obj.find(key);
    return (it != obj.end() && it->is_boolean()) ? it->get<bool>() : fallback;
}

std::string string_or(const json& obj, const char* key, const std::string& fallback)
{
    if (!obj.is_object())
        return fallback;
    auto it = obj.find(key);
    return (it != obj.end() && it->is_string()) ? it->get<std::string>() : fallback;
}

int64_t int_or(const json& obj, const char* key, int64_t fallback)
{
    if (!obj.is_object())
        return fallback;
    auto it = obj.find(key);
    return (it != obj.end() && it->is_number_integer()) ? it->get<int64_t>() : fallback;
}

cluster_settings read_cluster(const json& doc)
{
    cluster_settings c;
    if (!doc.is_object() || !doc.contains("cluster"))
        return c;
    const json& cl = doc.at("cluster");
    c.mgmt_url = value_or<std::string>(cl, "mgmt-url", "");
    c.start_delay = value_or<int64_t>(cl, "start_delay", default_start_delay);
    c.self_fencing = value_or<bool>(cl, "self_fencing", false);
    return c;
}

ha_settings read_ha(const json& doc)
{
    ha_settings h;
    if (!doc.is_object() || !doc.contains("ha"))
        return h;
    h.present = true;
    const json& ha = doc.at("ha");
    if (ha.is_object() && ha.contains("disks")) {
        for (const auto& d : ha.at("disks"))
            h.disks.push_back(d.get<std::string>());
    }
    h.flap_threshold = value_or<int64_t>(ha, "flap_threshold", default_flap_threshold);
    h.flap_window_sec = value_or<int64_t>(ha, "flap_window_sec", default_flap_window_sec);
    return h;
}

}  // namespace config
