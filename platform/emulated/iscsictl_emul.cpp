// kelm-emul-iscsictl: the stand-in for the iSCSI initiator control tool on an
// emulated host. Knows "-L -v --libxo=json" (the host's sessions as JSON),
// "-R -n nickname" and "-A -n nickname"; state, faults and call log in
// platform/emulated/fence_emul.hpp.
#include "platform/emulated/fence_emul.hpp"
#include "platform/fence_tools.hpp"
#include "platform/process.hpp"

#include <string>
#include <vector>

namespace {

using platform::fence_emul::call_outcome;
using platform::fence_emul::json;

// The state a listing shows for an active session now, consuming one scripted look.
std::string look(json& session)
{
    json& looks = session["looks"];
    if (looks.is_array() && !looks.empty()) {
        std::string state = looks[0].is_string() ? looks[0].get<std::string>() : std::string("absent");
        looks.erase(0);
        return state;
    }
    return session.value("state", "Connected");
}

std::string session_list(json& host, const std::string& hostname)
{
    json list = json::array();
    int64_t id = 1;
    int disk = 0;
    for (auto& s : host["sessions"]) {
        if (!s.value("active", false))
            continue;
        std::string state = look(s);
        if (state == "absent")
            continue;
        json luns = json::array();
        int64_t count = s.value("luns", int64_t{0});
        for (int64_t l = 0; l < count; ++l)
            luns.push_back(json{{"lun", l}, {"device", "da" + std::to_string(disk++)}});
        list.push_back(json{{"id", id++},
                            {"name", s.value("nickname", "")},
                            {"state", state},
                            {"initiator", {{"name", std::string(platform::iscsi_initiator_prefix) + hostname}}},
                            {"target", {{"name", s.value("target", "")}, {"portal", s.value("portal", "")}}},
                            {"devices", {{"lun", luns}}}});
    }
    json doc = json{{"__version", "1"}, {"iscsictl", json::object()}};
    if (!list.empty())
        doc["iscsictl"]["session"] = list;
    return doc.dump() + "\n";
}

call_outcome failure(const std::string& text)
{
    call_outcome o;
    o.exit = 1;
    o.err = "iscsictl: " + text + "\n";
    return o;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    namespace fe = platform::fence_emul;
    const std::string hostname = platform::get_hostname();
    if (args == std::vector<std::string>{"-L", "-v", "--libxo=json"}) {
        fe::standin_finish(fe::standin_call("iscsictl", "list", args, [&](json& host) {
            call_outcome o;
            o.out = session_list(host, hostname);
            return o;
        }));
    }
    if (args.size() == 3 && (args[0] == "-R" || args[0] == "-A") && args[1] == "-n") {
        const bool add = args[0] == "-A";
        const std::string nickname = args[2];
        fe::standin_finish(fe::standin_call("iscsictl", add ? "add" : "remove", args, [&](json& host) {
            for (auto& s : host["sessions"]) {
                if (s.value("nickname", "") != nickname)
                    continue;
                if (add && s.value("active", false))
                    return failure("session for " + nickname + " already exists");
                if (!add && !s.value("active", false))
                    return failure("no session found for " + nickname);
                s["active"] = add;
                return call_outcome{};
            }
            return failure(add ? "target " + nickname + " not found in the configuration"
                               : "no session found for " + nickname);
        }));
    }
    fe::standin_finish(fe::standin_call("iscsictl", "usage", args, [](json&) {
        call_outcome o;
        o.exit = 1;
        o.err = "usage: iscsictl -L -v --libxo=json | -A -n nickname | -R -n nickname\n";
        return o;
    }));
}
