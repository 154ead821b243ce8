// Action selection and broker settings of the pool event hook.
#include "hooks/notify/notify_event.hpp"

#include <climits>
#include <cstdlib>

namespace notify {

namespace {

bool ends_with(std::string_view s, std::string_view tail)
{
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

std::optional<std::string> action_from_argument(std::string_view argument)
{
    if (ends_with(argument, "start"))
        return "start";
    if (ends_with(argument, "stop"))
        return "stop";
    return std::nullopt;
}

int leading_number(const std::string& text)
{
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

std::optional<broker_settings> settings_from_ini(const ini_data& data)
{
    broker_settings s;
    s.host = ini_value(data, "AMQP", "Host");
    std::string port = ini_value(data, "AMQP", "Port");
    if (s.host.empty() || port.empty())
        return std::nullopt;
    s.port = leading_number(port);
    s.vhost = ini_value(data, "AMQP", "Vhost");
    if (s.vhost.empty())
        s.vhost.push_back('/');  // the default vhost
    s.timeout_s = leading_number(ini_value(data, "AMQP", "Timeout"));
    s.heartbeat_s = leading_number(ini_value(data, "AMQP", "Heartbeat"));
    s.user = ini_value(data, "Event", "User");
    s.password = ini_value(data, "Event", "Password");
    return s;
}

}  // namespace notify
