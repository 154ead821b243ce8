// The session list parser and the iscsictl command lines.
#include "nodeactions/iscsi_sessions.hpp"

#include "nodeactions/tool_runner.hpp"
#include "platform/fence_tools.hpp"

#include <nlohmann/json.hpp>

namespace nodeactions {

namespace {

using json = nlohmann::json;

void set(std::string* err, const std::string& text)
{
    if (err != nullptr)
        *err = text;
}

std::string string_at(const json& obj, const char* key)
{
    auto it = obj.find(key);
    return (it != obj.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

}  // namespace

std::optional<std::string> iscsi_sessions_get(std::string* err)
{
    std::string why;
    auto r = run_capture(platform::tool_path(platform::iscsictl_path), {"-L", "-v", "--libxo=json"}, &why);
    if (!r) {
        set(err, "iscsictl -L -v --libxo=json: " + why);
        return std::nullopt;
    }
    if (r->status != 0) {
        set(err, "iscsictl -L -v --libxo=json exited rc=" + std::to_string(r->status));
        return std::nullopt;
    }
    return std::move(r->output);
}

std::optional<std::vector<iscsi_session>> iscsi_sessions_parse(const std::string& text, std::string* err)
{
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception& e) {
        // Not only syntax: a number beyond a double (1e999) is the library's
        // out_of_range, and no JSON error may leave this parser.
        set(err, std::string("can't parse json: ") + e.what());
        return std::nullopt;
    }
    if (!doc.is_object() || !doc.contains("iscsictl")) {
        set(err, "no 'iscsictl' container in json");
        return std::nullopt;
    }
    std::vector<iscsi_session> sessions;
    const json& top = doc["iscsictl"];
    if (!top.is_object() || !top.contains("session"))
        return sessions;
    const json& list = top["session"];
    if (!list.is_array()) {
        set(err, "'session' is not an array");
        return std::nullopt;
    }
    for (const auto& element : list) {
        iscsi_session s;
        if (element.is_object()) {
            auto target = element.find("target");
            if (target != element.end() && target->is_object()) {
                s.target_name = string_at(*target, "name");
                s.portal = string_at(*target, "portal");
            }
            s.state = string_at(element, "state");
            auto devices = element.find("devices");
            if (devices != element.end() && devices->is_object()) {
                auto lun = devices->find("lun");
                if (lun != devices->end() && lun->is_array())
                    s.lun_count = lun->size();
            }
        }
        sessions.push_back(std::move(s));
    }
    return sessions;
}

std::optional<iscsi_session> iscsi_session_find(const std::vector<iscsi_session>& sessions,
                                                const std::string& portal)
{
    // A node without an address must not pick up a session that lacks one too.
    if (portal.empty())
        return std::nullopt;
    for (const auto& s : sessions)
        if (s.portal == portal)
            return s;
    return std::nullopt;
}

bool iscsi_session_ctl(const std::string& option, const std::string& nickname, std::string* output,
                       std::string* err)
{
    std::string why;
    auto r = run_capture(platform::tool_path(platform::iscsictl_path), {option, "-n", nickname}, &why);
    if (!r) {
        set(err, why);
        if (output != nullptr)
            output->clear();
        return false;
    }
    if (output != nullptr) {
        std::string out = std::move(r->output);
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
            out.pop_back();
        *output = std::move(out);
    }
    if (r->status != 0) {
        set(err, "iscsictl " + option + " -n " + nickname + " exited rc=" + std::to_string(r->status));
        return false;
    }
    return true;
}

bool iscsi_session_remove(const std::string& nickname, std::string* output, std::string* err)
{
    return iscsi_session_ctl("-R", nickname, output, err);
}

bool iscsi_session_add(const std::string& nickname, std::string* output, std::string* err)
{
    return iscsi_session_ctl("-A", nickname, output, err);
}

}  // namespace nodeactions
