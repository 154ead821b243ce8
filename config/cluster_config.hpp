// The shared cluster configuration file: loading, the array-or-object lists, and
// typed access with the schema's defaults. Readers keep their own leniency: the
// strict getters throw the JSON library's own exceptions (their texts reach the
// daemon's error lines), the lenient ones fall back to the default.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

namespace config {

using json = nlohmann::json;

inline constexpr const char* default_path = "/usr/local/etc/kelm/config.json";

inline constexpr int64_t default_start_delay = 10;
inline constexpr int64_t default_flap_threshold = 3;
inline constexpr int64_t default_flap_window_sec = 600;
inline constexpr uint32_t no_node = 64;

// Reads and parses the whole file. A file that cannot be opened throws the parse
// error of an empty input; invalid JSON throws the library's parse error.
json load_file(const std::string& path);

// The entries of `nodes` or `services`: an array's elements, or an object's values
// in the lexical order of its keys. Missing or any other type gives no entries.
std::vector<json> entries(const json& doc, const char* key);

// ---- strict access: a present value of the wrong type throws json::type_error ----
//
// A boolean must be a JSON boolean and a text a JSON string. An integer must be a
// JSON integer within the target type's range: a float is refused rather than cut
// (47031.9) or converted out of range (1e10 into 32 bits, which is undefined), and
// so is a negative number for an unsigned type. The error names the key.

namespace detail {
[[noreturn]] void wrong_type(const json& value, const char* key, const std::string& expected);
bool integer_within(const json& value, int64_t min, uint64_t max);
}  // namespace detail

// `value` (the member `key` of some object) converted to T, checked as above.
template <typename T>
T checked(const json& value, const char* key)
{
    if constexpr (std::is_same_v<T, bool>) {
        if (!value.is_boolean())
            detail::wrong_type(value, key, "a boolean");
    } else if constexpr (std::is_integral_v<T>) {
        constexpr int64_t min = std::is_signed_v<T> ? static_cast<int64_t>(std::numeric_limits<T>::min()) : 0;
        constexpr uint64_t max = static_cast<uint64_t>(std::numeric_limits<T>::max());
        if (!detail::integer_within(value, min, max))
            detail::wrong_type(value, key,
                               "an integer from " + std::to_string(min) + " to " + std::to_string(max));
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!value.is_string())
            detail::wrong_type(value, key, "a string");
    }
    return value.get<T>();
}

// obj[key] converted to T when obj is an object holding key, else the default.
template <typename T>
T value_or(const json& obj, const char* key, T fallback)
{
    if (!obj.is_object())
        return fallback;
    auto it = obj.find(key);
    if (it == obj.end())
        return fallback;
    return checked<T>(*it, key);
}

// obj.at(key) converted to T; throws out_of_range when absent, type_error when mistyped.
template <typename T>
T required(const json& obj, const char* key)
{
    return checked<T>(obj.at(key), key);
}

// ---- lenient access: a value of another JSON type leaves the default ----

// Only a JSON boolean counts.
bool bool_or(const json& obj, const char* key, bool fallback);
// Only a JSON string counts.
std::string string_or(const json& obj, const char* key, const std::string& fallback);
// Only a JSON integer (signed or unsigned) counts.
int64_t int_or(const json& obj, const char* key, int64_t fallback);

// ---- the records, as the daemon-side readers take them ----

struct ext_ip_entry {
    std::string interface;
    std::string ip;
    std::string netmask;  // empty: /32
};

struct cluster_settings {
    std::string mgmt_url;  // empty when absent
    int64_t start_delay = default_start_delay;
    bool self_fencing = false;
};

struct ha_settings {
    bool present = false;
    std::vector<std::string> disks;
    int64_t flap_threshold = default_flap_threshold;
    int64_t flap_window_sec = default_flap_window_sec;
};

// `cluster` with its defaults; mistyped values throw.
cluster_settings read_cluster(const json& doc);
// `ha` with its defaults; mistyped values throw.
ha_settings read_ha(const json& doc);

}  // namespace config
