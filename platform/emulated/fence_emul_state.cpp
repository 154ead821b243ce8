// The emulated CTL ports and iSCSI sessions (layout in platform/emulated/fence_emul.hpp):
// the locked state file, the call log, the administrative calls and the fencing
// rule. Lock rule: the exclusive flock of "<root>/fence/lock" covers every read
// and write of state.json and calls.log; the pool world's lock nests inside it.
#include "platform/emulated/fence_emul.hpp"

#include "platform/emulated/emul_state_file.hpp"
#include "platform/emulation.hpp"
#include "platform/process.hpp"
#include "platform/emulated/zfs_emul.hpp"

#include <csignal>
#include <fstream>
#include <map>
#include <set>

namespace platform::fence_emul {

namespace {

bool fail(std::string* err, const std::string& text)
{
    if (err != nullptr)
        *err = text;
    return false;
}

json empty_state()
{
    return json{{"hosts", json::object()}, {"fenced", json::object()}, {"faults", json::array()}};
}

json& host_record(json& state, const std::string& host)
{
    json& h = state["hosts"][host];
    if (!h.contains("ports"))
        h["ports"] = json::array();
    if (!h.contains("sessions"))
        h["sessions"] = json::array();
    return h;
}

json default_port()
{
    return json{{"id", 0}, {"type", 16}, {"target", ""}, {"name", "iscsi"}, {"online", true}, {"node", ""}};
}

json default_session()
{
    return json{{"nickname", ""}, {"target", ""}, {"portal", ""}, {"node", ""}, {"luns", 0},
                {"active", true}, {"state", "Connected"}, {"looks", json::array()}};
}

}  // namespace

std::string state_dir()
{
    auto root = emulated_root();
    return root ? *root + "/fence" : std::string();
}

bool with_state(const std::function<bool(json& state, std::vector<json>& calls)>& fn, std::string* err)
{
    const std::string dir = state_dir();
    if (dir.empty())
        return fail(err, "target/initiator emulation is not set up (KELM_EMUL_ROOT unset)");
    const emul_state::state_file file{dir,
                                      "calls.log",
                                      empty_state(),
                                      "can't open the fencing state lock: ",
                                      "can't lock the fencing state: ",
                                      "fencing state unreadable: ",
                                      "fencing state malformed: ",
                                      "can't write the fencing state: ",
                                      "can't replace the fencing state: ",
                                      "can't append to the call log: "};
    auto check = [](json& state, std::string* e) {
        return state.is_object() || fail(e, "fencing state unreadable: not an object");
    };
    return emul_state::with_state(file, check, [&](json& state, std::vector<json>& calls, bool* write) {
        *write = fn(state, calls);
        return !*write || apply_fencing(state, err);
    }, err);
}

bool apply_fencing(json& state, std::string* err)
{
    // Per referred host: seen at all, and whether anything still gives it access;
    // per host, the disk hosts it no longer reaches over the fabric.
    std::set<std::string> referred;
    std::set<std::string> reachable;
    std::map<std::string, std::set<std::string>> cut;
    for (auto& [host, rec] : state["hosts"].items()) {
        for (const auto& p : rec.value("ports", json::array())) {
            std::string node = p.value("node", "");
            if (node.empty() || node == host)
                continue;
            referred.insert(node);
            if (p.value("online", false))
                reachable.insert(node);
            else
                cut[node].insert(host);  // node's initiator no longer logs in here
        }
        for (const auto& s : rec.value("sessions", json::array())) {
            std::string node = s.value("node", "");
            if (node.empty() || node == host)
                continue;
            referred.insert(node);
            if (s.value("active", false))
                reachable.insert(node);
            else
                cut[host].insert(node);  // this host no longer sees node's disks
        }
    }
    json cuts = json::object();
    for (const auto& [host, disks] : cut)
        cuts[host] = json(std::vector<std::string>(disks.begin(), disks.end()));
    if (state.value("cut_from", json::object()) != cuts) {
        std::string why;
        if (!zfs_emul::set_cut_from(cuts, &why))
            return fail(err, "can't pass the fabric links to the pool world: " + why);
        state["cut_from"] = cuts;
    }
    json& fenced = state["fenced"];
    if (!fenced.is_object())
        fenced = json::object();
    std::set<std::string> hosts(referred);
    for (const auto& [host, v] : fenced.items()) {
        (void)v;
        hosts.insert(host);
    }
    for (const auto& host : hosts) {
        bool now = referred.count(host) != 0 && reachable.count(host) == 0;
        bool was = fenced.value(host, false);
        if (now == was)
            continue;
        std::string why;
        if (!zfs_emul::fence_host(host, now, &why))
            return fail(err, "can't " + std::string(now ? "fence " : "unfence ") + host + " in the pool world: " + why);
        fenced[host] = now;
    }
    return true;
}

std::optional<json> take_fault(json& state, const std::string& tool, const std::string& op, const std::string& host)
{
    json& faults = state["faults"];
    if (!faults.is_array())
        return std::nullopt;
    for (size_t i = 0; i < faults.size(); ++i) {
        json& f = faults[i];
        auto matches = [&](const char* key, const std::string& v) {
            std::string want = f.value(key, "");
            return want.empty() || want == v;
        };
        if (f.value("tool", "") != tool || !matches("op", op) || !matches("host", host))
            continue;
        json taken = f;
        int64_t times = f.value("times", int64_t{1});
        if (times > 0) {
            --times;
            f["times"] = times;
        }
        if (times == 0)
            faults.erase(i);
        return taken;
    }
    return std::nullopt;
}

bool put_port(const std::string& host, const json& port, std::string* err)
{
    if (!port.is_object() || !port.contains("id") || !port["id"].is_number_integer())
        return fail(err, "a port needs an integer \"id\"");
    return with_state(
        [&](json& state, std::vector<json>&) {
            json rec = default_port();
            rec.merge_patch(port);
            json& ports = host_record(state, host)["ports"];
            for (auto& p : ports) {
                if (p.value("id", int64_t{-1}) == rec["id"].get<int64_t>()) {
                    p = rec;
                    return true;
                }
            }
            ports.push_back(rec);
            return true;
        },
        err);
}

bool put_session(const std::string& host, const json& session, std::string* err)
{
    if (!session.is_object() || !session.contains("nickname") || !session["nickname"].is_string())
        return fail(err, "a session needs a \"nickname\"");
    return with_state(
        [&](json& state, std::vector<json>&) {
            json rec = default_session();
            rec.merge_patch(session);
            json& sessions = host_record(state, host)["sessions"];
            for (auto& s : sessions) {
                if (s.value("nickname", "") == rec["nickname"].get<std::string>()) {
                    s = rec;
                    return true;
                }
            }
            sessions.push_back(rec);
            return true;
        },
        err);
}

bool patch_port(const std::string& host, int64_t id, const json& patch, std::string* err)
{
    bool found = false;
    bool ok = with_state(
        [&](json& state, std::vector<json>&) {
            for (auto& p : host_record(state, host)["ports"])
                if (p.value("id", int64_t{-1}) == id) {
                    p.merge_patch(patch);
                    found = true;
                }
            return found;
        },
        err);
    if (ok && !found)
        return fail(err, "no port " + std::to_string(id) + " on " + host);
    return ok;
}

bool patch_session(const std::string& host, const std::string& nickname, const json& patch, std::string* err)
{
    bool found = false;
    bool ok = with_state(
        [&](json& state, std::vector<json>&) {
            for (auto& s : host_record(state, host)["sessions"])
                if (s.value("nickname", "") == nickname) {
                    s.merge_patch(patch);
                    found = true;
                }
            return found;
        },
        err);
    if (ok && !found)
        return fail(err, "no session " + nickname + " on " + host);
    return ok;
}

bool build_mesh(const json& config, std::string* err)
{
    // The configuration's nodes, array or object, objects only.
    std::vector<json> nodes;
    if (config.is_object() && config.contains("nodes")) {
        const json& list = config["nodes"];
        if (list.is_array() || list.is_object())
            for (const auto& n : list)
                if (n.is_object())
                    nodes.push_back(n);
    }
    auto text = [](const json& n, const char* key) {
        auto it = n.find(key);
        return (it != n.end() && it->is_string()) ? it->get<std::string>() : std::string();
    };
    return with_state(
        [&](json& state, std::vector<json>&) {
            for (const auto& self : nodes) {
                std::string host = text(self, "nodename");
                if (host.empty())
                    continue;
                json& rec = host_record(state, host);
                rec["ports"] = json::array();
                rec["sessions"] = json::array();
                json ioctl = default_port();
                ioctl.merge_patch(json{{"type", 4}, {"name", "ioctl"}});
                rec["ports"].push_back(ioctl);
                int64_t next_id = 1;
                for (const auto& peer : nodes) {
                    std::string peer_host = text(peer, "nodename");
                    if (peer_host.empty() || peer_host == host)
                        continue;
                    json port = default_port();
                    port.merge_patch(json{{"id", next_id++}, {"target", text(peer, "assigned_target")}, {"node", peer_host}});
                    rec["ports"].push_back(port);
                    json session = default_session();
                    auto devices = peer.find("devices");
                    size_t luns = (devices != peer.end() && devices->is_array()) ? devices->size() : 0;
                    std::string nickname = "node_" + (peer.contains("id") ? peer["id"].dump() : std::string("?"));
                    session.merge_patch(json{{"nickname", nickname},
                                             {"target", text(self, "assigned_target")},
                                             {"portal", text(peer, "internal_addr")},
                                             {"node", peer_host},
                                             {"luns", luns}});
                    rec["sessions"].push_back(session);
                }
            }
            return true;
        },
        err);
}

bool add_fault(const json& fault, std::string* err)
{
    if (!fault.is_object() || !fault.contains("tool") || !fault["tool"].is_string() || !fault.contains("op") ||
        !fault["op"].is_string())
        return fail(err, "a fault needs a \"tool\" and an \"op\"");
    return with_state(
        [&](json& state, std::vector<json>&) {
            json f = json{{"tool", ""}, {"op", ""}, {"host", ""}, {"times", 1}, {"exit", 1},
                          {"stdout", ""}, {"stderr", ""}, {"signal", 0}};
            f.merge_patch(fault);
            if (!state["faults"].is_array())
                state["faults"] = json::array();
            state["faults"].push_back(f);
            return true;
        },
        err);
}

std::optional<json> read_state(std::string* err)
{
    json out;
    bool ok = with_state(
        [&](json& state, std::vector<json>&) {
            out = state;
            return false;
        },
        err);
    if (!ok)
        return std::nullopt;
    return out;
}

std::vector<json> read_calls(std::string* err)
{
    std::vector<json> out;
    with_state(
        [&](json&, std::vector<json>&) {
            std::ifstream in(state_dir() + "/calls.log");
            std::string line;
            while (std::getline(in, line)) {
                if (line.empty())
                    continue;
                json j = json::parse(line, nullptr, false);
                if (!j.is_discarded())
                    out.push_back(j);
            }
            return false;
        },
        err);
    return out;
}

call_outcome standin_call(const std::string& tool, const std::string& op, const std::vector<std::string>& args,
                          const std::function<call_outcome(json& host)>& act)
{
    const std::string host = get_hostname();
    call_outcome outcome;
    std::string why;
    bool ok = with_state(
        [&](json& state, std::vector<json>& calls) {
            if (auto fault = take_fault(state, tool, op, host)) {
                outcome.exit = fault->value("exit", 1);
                outcome.signal = fault->value("signal", 0);
                outcome.out = fault->value("stdout", "");
                outcome.err = fault->value("stderr", "");
            } else {
                json& rec = host_record(state, host);
                outcome = act(rec);
            }
            calls.push_back(json{{"host", host}, {"tool", tool}, {"argv", args},
                                 {"exit", outcome.signal != 0 ? -outcome.signal : outcome.exit}});
            return true;
        },
        &why);
    if (!ok) {
        outcome = call_outcome{};
        outcome.exit = 1;
        outcome.err = tool + ": " + why + "\n";
    }
    return outcome;
}

void standin_finish(const call_outcome& outcome)
{
    std::fwrite(outcome.out.data(), 1, outcome.out.size(), stdout);
    std::fwrite(outcome.err.data(), 1, outcome.err.size(), stderr);
    std::fflush(nullptr);
    if (outcome.signal != 0) {
        std::signal(outcome.signal, SIG_DFL);
        std::raise(outcome.signal);
    }
    process_exit(outcome.exit);
}

}  // namespace platform::fence_emul
