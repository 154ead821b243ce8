"""nodefence end to end on the stand-in target and initiator tools: three nodes on
127.0.0.1..3, each an emulated host, fencing node 3 from the other two and back."""
import json
import os
import re
import socket
import subprocess
import time

import pytest

from kelm_harness import binary, cluster_config, write_json

LINE = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(\w)\] \[\d+\] (.*)$")


class Fence:
    """A private emulated platform with the CTL/iSCSI mesh of a three-node configuration."""

    def __init__(self, tmp_path, doc=None):
        self.root = str(tmp_path / "emul")
        os.makedirs(self.root)
        if doc is None:
            doc = cluster_config(3)
            for n in doc["nodes"]:
                n["assigned_target"] = f"iqn.2026-01.test:{n['nodename']}"
                n["devices"] = ["d0", "d1"]
        self.doc = doc
        self.config = write_json(tmp_path / "config.json", doc)
        self.emul("fence", "mesh", self.config)

    def env(self, host):
        e = dict(os.environ)
        e.update({"KELM_EMUL_ROOT": self.root, "KELM_EMUL_HOST": host})
        return e

    def emul(self, kind, *args, host="node1"):
        r = subprocess.run([binary(f"kelm-emul-{kind}"), *args], env=self.env(host), capture_output=True,
                           text=True, timeout=30)
        assert r.returncode == 0, r.stderr
        return r.stdout

    def run(self, *args, host="node1", config=True, sigchld_ignored=False):
        argv = [binary("nodefence"), args[0]] + ([self.config] if config else []) + list(args[1:])
        if sigchld_ignored:
            # An ignored signal stays ignored across exec: nodefence starts the way
            # a parent that ignores SIGCHLD would start it.
            argv = ["/bin/sh", "-c", 'trap "" CHLD; exec "$@"', "sh"] + argv
        start = time.monotonic()
        r = subprocess.run(argv, env=self.env(host), capture_output=True, text=True, timeout=60)
        r.elapsed = time.monotonic() - start
        r.lines = []
        for raw in r.stdout.splitlines():
            m = LINE.match(raw)
            assert m, raw
            r.lines.append((m.group(1), m.group(2)))
        return r

    def calls(self):
        return [json.loads(c) for c in self.emul("fence", "calls").splitlines()]

    def state(self):
        return json.loads(self.emul("fence", "show"))

    def pools(self):
        return json.loads(self.emul("zfs", "show"))


@pytest.fixture
def fence(tmp_path):
    return Fence(tmp_path)


def test_fence_on_then_off_switches_port_and_session(fence):
    fence.emul("zfs", "create", json.dumps({
        "name": "tank", "imported_by": {"node1": {}},
        "vdevs": [{"path": "/dev/diskid/A", "host": "node1", "state": 7},
                  {"path": "/dev/diskid/B", "host": "node3", "state": 7}]}))

    on1 = fence.run("fence-on", "3", host="node1")
    assert on1.returncode == 0, on1.stdout
    assert on1.lines == [
        ("I", "phase=node node=node3 id=3 action=fence-on target=iqn.2026-01.test:node3 : begin"),
        ("I", "phase=ctl-port node=node3 id=3 port=2 : port has node IQN iqn.1994-09.org.freebsd:node3, "
              "disabling the port"),
        ("I", "phase=ctl-port node=node3 id=3 port=2 : target port fence-on completed: Front end port 2 offline"),
        ("I", "phase=iscsi-initiator node=node3 id=3 nickname=node_3 : succeeded to remove iscsi connection "
              "to node node3"),
        ("I", "phase=node node=node3 id=3 action=fence-on exit=0 : done")]
    # node2 still gives node3 access until it fences too; node1 and node3 no longer
    # reach each other's disks, so node1 has lost node3's disk already.
    pools = fence.pools()
    assert not pools["hosts"].get("node3", {}).get("fenced", False)
    assert pools["hosts"]["node1"]["cut_from"] == ["node3"]
    assert pools["hosts"]["node3"]["cut_from"] == ["node1"]
    assert pools["pools"]["1"]["imported_by"]["node1"]["lost"] == ["/dev/diskid/B"]
    on2 = fence.run("fence-on", "3", host="node2")
    assert on2.returncode == 0, on2.stdout
    pools = fence.pools()
    assert pools["hosts"]["node3"]["fenced"] is True
    view = json.loads(fence.emul("zfs", "view", "node1"))
    assert view["1"]["health"] == "DEGRADED" and view["1"]["leaves"]["/dev/diskid/B"] == "UNAVAIL"

    off = fence.run("fence-off", "3", host="node1")
    assert off.returncode == 0, off.stdout
    assert [t for _, t in off.lines] == [
        "phase=node node=node3 id=3 action=fence-off target=iqn.2026-01.test:node3 : begin",
        "phase=ctl-port node=node3 id=3 port=2 : port has node IQN iqn.1994-09.org.freebsd:node3, enabling the port",
        "phase=ctl-port node=node3 id=3 port=2 : target port fence-off completed: Front end port 2 online",
        "phase=iscsi-initiator node=node3 id=3 nickname=node_3 : succeeded to restore iscsi connection to node node3",
        "phase=session-wait node=node3 id=3 : initiator check tryout 5",
        "phase=session-wait node=node3 id=3 : connection established",
        "phase=session-wait node=node3 id=3 : 2 devices presented by node",
        "phase=vdev-online node=node3 id=3 : onlining vdevs of degraded pools",
        "phase=vdev-online node=node3 id=3 : succeeded to online vdevs of all pools",
        "phase=node node=node3 id=3 action=fence-off exit=0 : done"]
    pools = fence.pools()
    assert pools["hosts"]["node3"]["fenced"] is False
    assert pools["pools"]["1"]["vdevs"][1]["state"] == 7
    assert pools["pools"]["1"]["imported_by"]["node1"]["lost"] == []

    assert [(c["host"], c["tool"], c["argv"], c["exit"]) for c in fence.calls()] == [
        ("node1", "ctladm", ["portlist", "-x"], 0),
        ("node1", "ctladm", ["port", "-o", "off", "-p", "2"], 0),
        ("node1", "iscsictl", ["-R", "-n", "node_3"], 0),
        ("node2", "ctladm", ["portlist", "-x"], 0),
        ("node2", "ctladm", ["port", "-o", "off", "-p", "2"], 0),
        ("node2", "iscsictl", ["-R", "-n", "node_3"], 0),
        ("node1", "ctladm", ["portlist", "-x"], 0),
        ("node1", "ctladm", ["port", "-o", "on", "-p", "2"], 0),
        ("node1", "iscsictl", ["-A", "-n", "node_3"], 0),
        ("node1", "iscsictl", ["-L", "-v", "--libxo=json"], 0)]
    state = fence.state()
    assert state["hosts"]["node1"]["ports"][2]["online"] is True
    assert state["hosts"]["node2"]["ports"][2]["online"] is False
    assert state["fenced"]["node3"] is False


def test_fence_works_under_a_parent_that_ignores_sigchld(fence):
    on = fence.run("fence-on", "3", sigchld_ignored=True)
    assert on.returncode == 0, on.stdout
    assert on.lines[-1] == ("I", "phase=node node=node3 id=3 action=fence-on exit=0 : done")
    off = fence.run("fence-off", "3", sigchld_ignored=True)
    assert off.returncode == 0, off.stdout
    assert off.lines[-1] == ("I", "phase=node node=node3 id=3 action=fence-off exit=0 : done")
    assert fence.state()["hosts"]["node1"]["ports"][2]["online"] is True


def test_exit_codes_and_untouched_tools(tmp_path):
    doc = cluster_config(3)
    for n in doc["nodes"]:
        n["assigned_target"] = f"iqn.2026-01.test:{n['nodename']}"
    doc["nodes"][1]["enabled"] = False
    doc["nodes"][2]["assigned_target"] = ""
    doc["nodes"].append({"id": "4", "nodename": "node4"})
    fence = Fence(tmp_path, doc)

    r = fence.run("fence-on", "2")
    assert r.returncode == 0
    assert r.lines[-1] == ("I", "phase=node node=node2 id=2 action=fence-on exit=0 : skipped: node disabled in config")
    assert fence.calls() == []

    for arg in ["4", "9", "02", "4294967298"]:
        r = fence.run("fence-off", arg)
        assert r.returncode == 14, r.stdout
        assert r.lines == [("E", f"FAILED phase=node id={arg} exit=14 : node was not found in config")]

    r = fence.run("fence-on", "3")
    assert r.returncode == 51
    assert r.lines[-1] == ("E", "FAILED phase=ctl-port node=node3 id=3 exit=51 : a port of node node3 (target ) "
                                "has not been found")
    assert [c["argv"] for c in fence.calls()] == [["portlist", "-x"]]

    fence.emul("fence", "fault", json.dumps({"tool": "ctladm", "op": "port", "stdout": "no can do\n", "exit": 2}))
    r = fence.run("fence-on", "1", host="node2")
    assert r.returncode == 50
    assert r.lines[-2:] == [
        ("E", "phase=ctl-port node=node1 id=1 port=1 : ctladm said: no can do"),
        ("E", "FAILED phase=ctl-port node=node1 id=1 port=1 exit=50 : failed to disable target port: "
              "ctladm port -o off -p 1 exited rc=2")]
    assert [c["tool"] for c in fence.calls()] == ["ctladm"] * 3

    r = fence.run("fence-middle", "1")
    assert r.returncode == 10
    r = fence.run("fence-on", config=False)
    assert r.returncode == 1
    assert [c["tool"] for c in fence.calls()] == ["ctladm"] * 3


def tryouts(r):
    return [t.split("tryout ")[1] for _, t in r.lines if "initiator check tryout" in t]


def test_session_connecting_at_the_third_look(fence):
    fence.emul("fence", "patch-session", "node1", "node_3", json.dumps({"looks": ["absent", "Connecting"]}))
    r = fence.run("fence-off", "3")
    assert r.returncode == 0, r.stdout
    assert tryouts(r) == ["5", "4", "3"]
    assert ("I", "phase=session-wait node=node3 id=3 : connection established") in r.lines
    assert r.elapsed >= 1.75 + 1.0


def test_session_that_never_shows_up(fence):
    fence.emul("fence", "patch-session", "node1", "node_3", json.dumps({"state": "absent"}))
    r = fence.run("fence-off", "3")
    assert r.returncode == 0, r.stdout
    assert tryouts(r) == ["5", "4", "3", "2", "1"]
    texts = [t for _, t in r.lines]
    i = texts.index("phase=session-wait node=node3 id=3 : all of the attempts have been wasted with no connected session")
    assert texts[i + 1] == "phase=session-wait node=node3 id=3 : 0 of 2 devices presented by node"
    assert texts[i + 2] == "phase=vdev-online node=node3 id=3 : onlining vdevs of degraded pools"
    assert texts[-1] == "phase=node node=node3 id=3 action=fence-off exit=0 : done"
    assert r.elapsed >= 5.25


def test_session_tool_failure(fence):
    fence.emul("fence", "fault", json.dumps({"tool": "iscsictl", "op": "add", "stderr": "iscsictl: boom\n"}))
    fence.emul("fence", "fault", json.dumps({"tool": "iscsictl", "op": "list", "exit": 1}))
    r = fence.run("fence-off", "3")
    assert r.returncode == 0, r.stdout
    assert r.stderr == "iscsictl: boom\n"
    assert r.lines[3] == ("E", "phase=iscsi-initiator node=node3 id=3 nickname=node_3 : failed to restore iscsi "
                               "connection to node node3: iscsictl -A -n node_3 exited rc=1")
    assert r.lines[4:] == [
        ("I", "phase=session-wait node=node3 id=3 : initiator check tryout 5"),
        ("E", "phase=session-wait node=node3 id=3 : can't list initiator sessions: iscsictl -L -v --libxo=json "
              "exited rc=1; sleeping for a second then returning with no error"),
        ("I", "phase=node node=node3 id=3 action=fence-off exit=0 : done")]
    assert r.elapsed >= 1.0


def test_stand_ins_refuse_what_they_do_not_know(fence):
    for kind, args in [("ctladm", ["portlist"]), ("ctladm", ["port", "-o", "up", "-p", "1"]),
                       ("ctladm", ["port", "-o", "on", "-p", "x1"]), ("ctladm", ["port", "-o", "on", "-p", "77"]),
                       ("iscsictl", ["-L"]), ("iscsictl", ["-A", "-n", "node_9"])]:
        r = subprocess.run([binary(f"kelm-emul-{kind}"), *args], env=fence.env("node1"), capture_output=True,
                           text=True, timeout=30)
        assert r.returncode == 1, (kind, args)
        assert r.stdout == ""
        assert r.stderr
    r = subprocess.run([binary("kelm-emul-ctladm"), "portlist", "-x"], env={"PATH": "/usr/bin:/bin"},
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 1
    assert "KELM_EMUL_ROOT" in r.stderr
    assert fence.state()["hosts"]["node1"]["ports"][2]["online"] is True


def runner_call(port, host, method, arg, timeout=60):
    import msgpack
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(msgpack.packb([0, 1, method, [arg]]))
        unp = msgpack.Unpacker(raw=False)
        while True:
            data = s.recv(65536)
            assert data, "the Runner closed the connection"
            unp.feed(data)
            for msg in unp:
                assert msg[0] == 1 and msg[2] is None, msg
                return json.loads(msg[3])


def test_runner_fence_node_runs_nodefence(fence, processes):
    """The Runners of nodes 1 and 2 fence node 3 and the Runner of node 1 unfences it:
    each runs the nodefence beside it, which runs the stand-ins beside itself."""
    runners = {}
    for node_id in (1, 2):
        p = processes([binary("kelm-runner"), "-c", fence.config, "-n", str(node_id), "-l", "debug"],
                      name=f"runner{node_id}", env={"KELM_EMUL_ROOT": fence.root, "KELM_EMUL_HOST": "unset"})
        assert p.wait_for("[runner] serving node", timeout=15), p.output() + p.errors()
        runners[node_id] = p
    node = {n["id"]: n for n in fence.doc["nodes"]}

    def call(node_id, data):
        return runner_call(node[node_id]["runner_port"], node[node_id]["internal_addr"], "fence-node", json.dumps(data))

    assert call(1, {"cmd": "on", "node": 3}) == {"response": "ok"}
    assert call(2, {"cmd": "on", "node": 3}) == {"response": "ok"}
    assert fence.pools()["hosts"]["node3"]["fenced"] is True
    assert call(1, {"cmd": "off", "node": 3}) == {"response": "ok"}
    assert fence.pools()["hosts"]["node3"]["fenced"] is False
    assert call(2, {"cmd": "on", "node": 9}) == {
        "error": "EPROGRAM", "errorMessage": "FAILED phase=node id=9 exit=14 : node was not found in config"}

    assert [(c["host"], c["tool"], c["argv"]) for c in fence.calls()] == [
        ("node1", "ctladm", ["portlist", "-x"]),
        ("node1", "ctladm", ["port", "-o", "off", "-p", "2"]),
        ("node1", "iscsictl", ["-R", "-n", "node_3"]),
        ("node2", "ctladm", ["portlist", "-x"]),
        ("node2", "ctladm", ["port", "-o", "off", "-p", "2"]),
        ("node2", "iscsictl", ["-R", "-n", "node_3"]),
        ("node1", "ctladm", ["portlist", "-x"]),
        ("node1", "ctladm", ["port", "-o", "on", "-p", "2"]),
        ("node1", "iscsictl", ["-A", "-n", "node_3"]),
        ("node1", "iscsictl", ["-L", "-v", "--libxo=json"])]
    assert f"nodefence fence-on {fence.config} 3" in runners[1].output()
