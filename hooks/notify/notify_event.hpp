// What one hook run publishes and where: the action from the argument, the pool
// event, and the broker settings read from the INI data.
#pragma once

#include "hooks/notify/ini_file.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace notify {

// The production location of the INI file (tests move it with the platform layer).
inline constexpr const char* config_path = "/usr/local/etc/pellix-storage.config";

// "start" for an argument ending in "start", else "stop" for one ending in "stop",
// else nullopt. Hooks are called with "onestart" and "stop".
std::optional<std::string> action_from_argument(std::string_view argument);

struct pool_event {
    std::string action;   // "start" or "stop"
    std::string pool;     // PELLIX_POOL
    std::string node_id;  // PELLIX_NODE_ID, as given
};

struct broker_settings {
    std::string host;
    int port = 0;
    std::string vhost;
    int timeout_s = 0;    // below 1: no time-out at all
    int heartbeat_s = 0;
    std::string user;
    std::string password;
};

// Decimal text read like the C library's atoi: leading blanks and a sign are
// allowed, conversion stops at the first non-digit, text without digits is 0.
// Unlike atoi, values beyond the int range saturate instead of being undefined.
int leading_number(const std::string& text);

// The settings from [AMQP] and [Event]; nullopt when Host or Port is empty.
// An empty Vhost reads as "/".
std::optional<broker_settings> settings_from_ini(const ini_data& data);

}  // namespace notify
