// The emulated CTL target ports and iSCSI initiator sessions of every emulated
// host, shared by the stand-in tools (kelm-emul-ctladm, kelm-emul-iscsictl), the
// administration tool kelm-emul-fence and the tests. Every call is one
// read-modify-write under the exclusive flock of "<root>/fence/lock"; while it
// holds that lock it may take the pool world's lock (zfs_emul.hpp), never the
// other way round.
//
// Files, under "$KELM_EMUL_ROOT/fence/":
//   lock        never replaced; flocked around every read and write below
//   state.json  rewritten through "state.json.tmp" + rename
//   calls.log   one JSON object per stand-in call, in call order:
//               {"host": "node1", "tool": "ctladm", "argv": ["port", "-o", "off",
//                "-p", "2"], "exit": 0}   (a signal ends as "exit": -signal)
//
// state.json:
//   {
//     "hosts": { "<host>": {
//        "ports": [ { "id": 2, "type": 16, "target": "iqn.2026-01.test:node3",
//                     "name": "iscsi", "online": true, "node": "node3" } ],
//                   // "node": the emulated host whose initiator uses this port
//        "sessions": [ { "nickname": "node_3", "target": "iqn.2026-01.test:node1",
//                        "portal": "127.0.0.3", "node": "node3", "luns": 2,
//                        "active": true, "state": "Connected",
//                        "looks": ["absent", "Connecting"] } ] } },
//                   // the initiator's configured targets; "active": a session
//                   // exists ("-R" clears it, "-A" sets it). "node": the host
//                   // whose target this is. A listing shows each active session
//                   // with the first of "looks" (consumed; "absent" hides it),
//                   // or with "state" once "looks" is empty ("absent" hides it
//                   // for good).
//     "fenced": { "<host>": true },
//     "cut_from": { "<host>": ["<disk host>"] },   // last links passed to the pools
//     "faults": [ { "tool": "iscsictl", "op": "list", "host": "", "times": 1,
//                   "exit": 1, "stdout": "", "stderr": "", "signal": 0 } ]
//   }
//
// Links: host X does not reach host D's disks while D's port for X ("node": X on
// D) is offline or X's session to D ("node": D on X) is inactive; the pool world
// gets the whole map (zfs_emul::set_cut_from) whenever it changes, so one host
// fencing X already parts the two of them.
// Fencing: a host X is fenced while at least one port or session on the other
// hosts refers to it ("node": X) and every such port is offline and every such
// session inactive. When a stand-in call turns that on or off, the pool world's
// fence_host(X, ...) follows (X keeps its own disks only; see platform/zfs.hpp).
//
// Faults: the stand-in takes the first fault matching its tool, op and host (""
// matches any; ops: ctladm "portlist", "port"; iscsictl "list", "remove", "add")
// and decrements "times" (removed at 0, -1 never runs out); it then prints
// "stdout" and "stderr", leaves the state alone, and ends with "exit" (default 1)
// or kills itself with "signal" when not 0.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::fence_emul {

using json = nlohmann::json;

// "<KELM_EMUL_ROOT>/fence"; empty when the platform is not emulated.
std::string state_dir();

// Runs `fn` on the state under the lock; writes it back when `fn` returns true,
// and appends `calls` to calls.log. A state file that does not parse is a
// failure (nothing is overwritten). After `fn` the fencing rule above is applied.
bool with_state(const std::function<bool(json& state, std::vector<json>& calls)>& fn, std::string* err);

// ---- administration ----

// Adds a port to `host`, or replaces the one with the same id; defaults: type 16,
// online, name "iscsi".
bool put_port(const std::string& host, const json& port, std::string* err);
// Adds a configured initiator target to `host`, or replaces the one with the same
// nickname; defaults: active, state "Connected", no looks, 0 LUNs.
bool put_session(const std::string& host, const json& session, std::string* err);
// Merge patch (RFC 7386) into the port with that id / the session with that nickname.
bool patch_port(const std::string& host, int64_t id, const json& patch, std::string* err);
bool patch_session(const std::string& host, const std::string& nickname, const json& patch, std::string* err);

// From a cluster configuration document: on every node's host (its "nodename"),
// one online iSCSI port of type 16 per other node carrying that node's
// "assigned_target" (ids from 1 in node order, after an ioctl port 0 without a
// target), and one active, connected session "node_<id>" per other node to its
// "internal_addr", presenting as many LUNs as that node has "devices".
bool build_mesh(const json& config, std::string* err);

// Appends a fault (see above); "tool" and "op" are required.
bool add_fault(const json& fault, std::string* err);

std::optional<json> read_state(std::string* err);
std::vector<json> read_calls(std::string* err);

// ---- used by the stand-ins ----

// Takes the first fault matching tool/op/host (see above), consumed under the lock.
std::optional<json> take_fault(json& state, const std::string& tool, const std::string& op, const std::string& host);

// Recomputes which hosts are fenced and tells the pool world about changes.
bool apply_fencing(json& state, std::string* err);

// What one stand-in call prints and how it ends.
struct call_outcome {
    int exit = 0;
    int signal = 0;  // not 0: the stand-in kills itself with it
    std::string out;
    std::string err;
};

// One stand-in call as host get_hostname(): under the lock, a matching fault
// (tool, op) answers instead of `act`, which gets the host's record ("ports",
// "sessions") and may change it; the call goes to calls.log with its arguments
// `args` and outcome. A state that can't be read or written gives exit 1.
call_outcome standin_call(const std::string& tool, const std::string& op, const std::vector<std::string>& args,
                          const std::function<call_outcome(json& host)>& act);

// Prints the outcome and ends the stand-in (exit status or signal).
[[noreturn]] void standin_finish(const call_outcome& outcome);

}  // namespace platform::fence_emul
