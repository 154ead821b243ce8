// kelm-emul-ctladm: the stand-in for the CAM target layer control tool on an
// emulated host. Knows "portlist -x" (the host's ports as XML) and
// "port -o on|off -p N"; state, faults and call log in platform/emulated/fence_emul.hpp.
#include "platform/emulated/fence_emul.hpp"
#include "platform/process.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using platform::fence_emul::call_outcome;
using platform::fence_emul::json;

std::string xml_escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string portlist_xml(const json& host)
{
    std::string out = "<ctlportlist>\n";
    for (const auto& p : host["ports"]) {
        out += "<targ_port id=\"" + std::to_string(p.value("id", int64_t{0})) + "\">\n";
        out += "\t<frontend_type>" + xml_escape(p.value("name", "")) + "</frontend_type>\n";
        out += "\t<port_type>" + std::to_string(p.value("type", int64_t{0})) + "</port_type>\n";
        out += std::string("\t<online>") + (p.value("online", false) ? "YES" : "NO") + "</online>\n";
        out += "\t<port_name>" + xml_escape(p.value("name", "")) + "</port_name>\n";
        std::string target = p.value("target", "");
        if (!target.empty())
            out += "\t<target>" + xml_escape(target) + "</target>\n";
        out += "</targ_port>\n";
    }
    out += "</ctlportlist>\n";
    return out;
}

call_outcome usage()
{
    call_outcome o;
    o.exit = 1;
    o.err = "usage: ctladm portlist -x\n       ctladm port -o on|off -p port_id\n";
    return o;
}

// Strict decimal port id; none for anything else.
bool parse_id(const std::string& text, int64_t* id)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE)
        return false;
    *id = v;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    namespace fe = platform::fence_emul;
    if (args.size() == 2 && args[0] == "portlist" && args[1] == "-x") {
        fe::standin_finish(fe::standin_call("ctladm", "portlist", args, [](json& host) {
            call_outcome o;
            o.out = portlist_xml(host);
            return o;
        }));
    }
    if (args.size() == 5 && args[0] == "port" && args[1] == "-o" && (args[2] == "on" || args[2] == "off") &&
        args[3] == "-p") {
        int64_t id = -1;
        bool valid = parse_id(args[4], &id);
        bool on = args[2] == "on";
        fe::standin_finish(fe::standin_call("ctladm", "port", args, [&](json& host) {
            call_outcome o;
            if (valid) {
                for (auto& p : host["ports"]) {
                    if (p.value("id", int64_t{-1}) == id) {
                        p["online"] = on;
                        o.out = "Front end port " + std::to_string(id) + (on ? " online\n" : " offline\n");
                        return o;
                    }
                }
            }
            o.exit = 1;
            o.err = "ctladm: no port " + args[4] + "\n";
            return o;
        }));
    }
    fe::standin_finish(fe::standin_call("ctladm", "usage", args, [](json&) { return usage(); }));
}
