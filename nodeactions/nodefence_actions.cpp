// nodefence: the node lookup, the target port and initiator steps of fence-on and
// fence-off, the wait for the restored session and the onlining that follows.
//
// Runs for one fenced node take their turn on an exclusive lock of that node's
// lock file, held from before the first tool call to the end. A leader's call
// may be carried out long after it was asked (a port or session tool that
// hangs), and the leader that asked may have been deposed meanwhile; its
// successor's fence-on of the same node then waits for that late fence-off and
// is carried out after it, so the node ends fenced, and the successor hears the
// answer (and starts anything elsewhere) only then. The same holds the other
// way round for a late fence-on and the successor's fence-off.
#include "nodeactions/nodefence_actions.hpp"

#include "config/cluster_config.hpp"
#include "nodeactions/ctl_ports.hpp"
#include "nodeactions/exit_codes.hpp"
#include "nodeactions/phase_log.hpp"
#include "platform/emulation.hpp"
#include "platform/fence_tools.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <limits>

namespace nodeactions::nodefence {

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// The id as a 32-bit value; none for anything else.
std::optional<int32_t> id_of(const json& entry)
{
    auto it = entry.find("id");
    if (it == entry.end())
        return std::nullopt;
    if (it->is_number_unsigned()) {
        uint64_t v = it->get<uint64_t>();
        if (v > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
            return std::nullopt;
        return static_cast<int32_t>(v);
    }
    if (it->is_number_integer()) {
        int64_t v = it->get<int64_t>();
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
            return std::nullopt;
        return static_cast<int32_t>(v);
    }
    return std::nullopt;
}

// The held lock of one fenced node; released (closed) at the end of the run.
class node_lock {
public:
    explicit node_lock(int fd) : fd_(fd) {}
    node_lock(const node_lock&) = delete;
    node_lock& operator=(const node_lock&) = delete;
    ~node_lock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

private:
    int fd_;
};

// Takes node id's lock, waiting for the run that holds it; -1 with `err` set on failure.
int take_lock(int32_t id, std::string& err)
{
    const std::string path = fence_lock_path(id);
    const std::string dir = path.substr(0, path.rfind('/'));
    if (!platform::make_dirs(dir)) {
        err = "cannot create " + dir + ": " + std::strerror(errno);
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        err = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR)
            continue;
        err = "cannot lock " + path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string with_output(const std::string& message, const std::string& output)
{
    return output.empty() ? message : message + ": " + output;
}

}  // namespace

std::optional<fenced_node> find_node(const json& doc, const std::string& arg)
{
    if (!doc.is_object() || !doc.contains("nodes"))
        return std::nullopt;
    for (const auto& entry : config::entries(doc, "nodes")) {
        if (!entry.is_object())
            continue;
        auto id = id_of(entry);
        if (!id || std::to_string(*id) != arg)
            continue;
        fenced_node node;
        node.id = *id;
        node.nodename = config::string_or(entry, "nodename", "");
        node.assigned_target = config::string_or(entry, "assigned_target", "");
        node.internal_addr = config::string_or(entry, "internal_addr", "");
        auto devices = entry.find("devices");
        node.device_count = (devices != entry.end() && devices->is_array()) ? devices->size() : 0;
        node.enabled = config::bool_or(entry, "enabled", true);
        return node;
    }
    return std::nullopt;
}

std::string nickname(const fenced_node& node)
{
    return "node_" + std::to_string(node.id);
}

std::optional<wait_result> session_wait(const fenced_node& node, const std::string& context, const sleeper& sleep)
{
    const char* phase = "session-wait";
    const char* tail = "; sleeping for a second then returning with no error";
    wait_result latest;
    for (int n = 5; n >= 1; --n) {
        phase_info(phase, context, "initiator check tryout " + std::to_string(n));
        std::string err;
        auto text = iscsi_sessions_get(&err);
        if (!text) {
            phase_error(phase, context, "can't list initiator sessions: " + err + tail);
            sleep(1s);
            return std::nullopt;
        }
        auto sessions = iscsi_sessions_parse(*text, &err);
        if (!sessions) {
            phase_error(phase, context, "can't parse iscsictl output: " + err + tail);
            sleep(1s);
            return std::nullopt;
        }
        latest.session = iscsi_session_find(*sessions, node.internal_addr);
        if (latest.session && latest.session->state == "Connected") {
            phase_info(phase, context, "connection established");
            return latest;
        }
        sleep(latest.session ? n * 250ms : n * 350ms);
    }
    return latest;
}

int do_fence(const fenced_node& node, bool on, const sleeper& sleep)
{
    const std::string action = on ? "fence-on" : "fence-off";
    const std::string id = std::to_string(node.id);
    const std::string base = ctx({{"node", node.nodename}, {"id", id}});

    phase_info("node", ctx({{"node", node.nodename}, {"id", id}, {"action", action}, {"target", node.assigned_target}}),
               "begin");
    if (!node.enabled) {
        phase_info("node", ctx({{"node", node.nodename}, {"id", id}, {"action", action}, {"exit", "0"}}),
                   "skipped: node disabled in config");
        return exit_ok;
    }

    // The target port this host gives the node.
    std::string err;
    auto listing = ctl_portlist_get(&err);
    if (!listing)
        return phase_failed("ctl-port", base, exit_ctl_port_list, "can't get CTL port list: " + err);
    auto ports = ctl_portlist_parse(*listing, &err);
    if (!ports)
        return phase_failed("ctl-port", base, exit_ctl_port_list, "can't parse CTL port list: " + err);
    auto port = ctl_port_find(*ports, node.assigned_target);
    if (!port)
        return phase_failed("ctl-port", base, exit_ctl_port_list,
                            "a port of node " + node.nodename + " (target " + node.assigned_target +
                                ") has not been found");
    const std::string port_ctx = ctx({{"node", node.nodename}, {"id", id}, {"port", std::to_string(port->id)}});
    phase_info("ctl-port", port_ctx,
               "port has node IQN " + std::string(platform::iscsi_initiator_prefix) + node.nodename + ", " +
                   (on ? "disabling" : "enabling") + " the port");
    std::string output;
    if (!ctl_port_switch(port->id, !on, &output, &err)) {
        if (!output.empty())
            phase_error("ctl-port", port_ctx, "ctladm said: " + output);
        return phase_failed("ctl-port", port_ctx, exit_ctl_port_switch,
                            std::string("failed to ") + (on ? "disable" : "enable") + " target port: " + err);
    }
    // The completion line names the action argument like every other line of the
    // run; the line before already says which way the port went.
    phase_info("ctl-port", port_ctx, with_output("target port " + action + " completed", output));

    // This host's session to the node; its failure is reported, not fatal.
    const std::string nick = nickname(node);
    const std::string nick_ctx = ctx({{"node", node.nodename}, {"id", id}, {"nickname", nick}});
    const std::string verb = on ? "remove" : "restore";
    bool done = on ? iscsi_session_remove(nick, &output, &err) : iscsi_session_add(nick, &output, &err);
    if (done)
        phase_info("iscsi-initiator", nick_ctx,
                   with_output("succeeded to " + verb + " iscsi connection to node " + node.nodename, output));
    else
        phase_error("iscsi-initiator", nick_ctx,
                    with_output("failed to " + verb + " iscsi connection to node " + node.nodename + ": " + err, output));

    if (!on) {
        if (auto waited = session_wait(node, base, sleep)) {
            const auto& s = waited->session;
            if (!s || s->state != "Connected")
                phase_error("session-wait", base, "all of the attempts have been wasted with no connected session");
            size_t luns = s ? s->lun_count : 0;
            if (luns == node.device_count)
                phase_info("session-wait", base, std::to_string(luns) + " devices presented by node");
            else
                phase_error("session-wait", base,
                            std::to_string(luns) + " of " + std::to_string(node.device_count) +
                                " devices presented by node");
            phase_info("vdev-online", base, "onlining vdevs of degraded pools");
            if (pools_online_degraded(&err, sleep))
                phase_info("vdev-online", base, "succeeded to online vdevs of all pools");
            else
                phase_error("vdev-online", base, "failed to online vdevs of all pools: " + err);
        }
    }
    phase_info("node", ctx({{"node", node.nodename}, {"id", id}, {"action", action}, {"exit", "0"}}), "done");
    return exit_ok;
}

std::string fence_lock_path(int32_t id)
{
    return platform::system_path("/var/run/nodefence") + "/node-" + std::to_string(id) + ".lock";
}

int run(const invocation& inv)
{
    auto node = find_node(inv.doc, inv.target);
    if (!node)
        return phase_failed("node", ctx({{"id", inv.target}}), exit_node_not_found, "node was not found in config");
    std::string err;
    const int fd = take_lock(node->id, err);
    if (fd < 0)
        return phase_failed("node", ctx({{"node", node->nodename}, {"id", std::to_string(node->id)}}),
                            exit_fence_lock, err);
    const node_lock held(fd);
    return do_fence(*node, inv.action == "fence-on");
}

}  // namespace nodeactions::nodefence
