"""pellix-cluster driving a real cluster that does its job: three daemons with their
Runners on the emulated pools and fence tools, node ids 2, 8 and 10 (so "--id 010"
can only mean node 10), two services. Every command of the tree but the HA disk
report, with the texts and statuses an operator sees; after each step that
changes something, every pool is imported on exactly the node the cluster says."""
import json
import signal
import subprocess
import threading
import time

import pytest
import zmq

from kelm_harness import binary
from raft_watch import live, wait_for_leader
from service_site import ServiceCluster, wait_until

IDS = (2, 8, 10)
SERVICES = [{"name": "s1", "pools": ["p1"], "pri0": 8}, {"name": "s2", "pools": ["p2"], "pri0": 10}]
POOL = {"s1": "p1", "s2": "p2"}


@pytest.fixture
def site(tmp_path):
    c = ServiceCluster(tmp_path, services=SERVICES, ids=IDS)
    yield c
    c.stop_all()


def pellix(site, *args, timeout=60):
    """Runs the utility with the global option after the command words."""
    r = subprocess.run([binary("pellix-cluster"), *args, "-c", site.config_path], capture_output=True, text=True,
                       timeout=timeout)
    return r.returncode, r.stdout, r.stderr


def ok(site, *args):
    status, out, err = pellix(site, *args)
    assert status == 0, (args, status, out, err)
    assert err == "", (args, err)
    return out


def placed_on(site, where):
    """True when each service's pool is imported on its node alone (None: nowhere)."""
    return all(site.holders(POOL[s]) == ([f"node{n}"] if n else []) for s, n in where.items())


def assert_placed(site, where, timeout=60):
    wait_until(lambda: placed_on(site, where), timeout, f"pools placed as {where}")
    assert site.double_imports() == 0


def node_line(i, state="ONLINE", enabled=True, width=10):
    return f"Node ID: {i:2d}; name: {f'node{i}':>25}; state: {state:>{width}}; [{'enabled' if enabled else 'DISABLED':>12}]"


def svc_line(name, state, node, enabled=True):
    return f"Service name: {name:>24}; state: {state:>10} at node: {node:2d}; [{'enabled' if enabled else 'DISABLED':>12}]"


def table(nodes, services, disabled=()):
    """The status table: nodes in file order, each with the services on it."""
    out = ""
    for i in nodes:
        out += "\n" + node_line(i, enabled=i not in disabled, width=12) + "\n"
        for name, (state, node) in services.items():
            if node == i:
                out += f"\tService name: {name:>24}; state: {state:>10}; [{'enabled':>12}]\n"
    return out + "\n" + "_" * 40 + "\n"


def cmd_lines(leader, call_cmd):
    """The endpoint's "cmd from" lines for one request shape."""
    return [ln for ln in leader.output().splitlines() if f"mgmt_app: cmd from 127.0.0.1: {call_cmd}" in ln]


def ask(url, request, timeout_ms=60000):
    s = zmq.Context.instance().socket(zmq.REQ)
    s.setsockopt(zmq.LINGER, 0)
    s.setsockopt(zmq.RCVTIMEO, timeout_ms)
    s.connect(url)
    try:
        s.send(json.dumps(request).encode())
        return json.loads(s.recv())
    finally:
        s.close()


def test_every_command_drives_the_cluster(site):
    for i in IDS:
        site.start_node(i)
    leader_id = wait_for_leader(site, timeout=30)
    leader = site.daemons[leader_id]
    assert_placed(site, {"s1": 8, "s2": 10})
    url = site.doc["cluster"]["mgmt-url"]

    # What the operator reads.
    assert ok(site, "node", "list") == "Node ID:  2\nNode ID:  8\nNode ID: 10\n"
    assert ok(site, "service", "list") == f"Service name: {'s1':>24}\nService name: {'s2':>24}\n"
    wait_until(lambda: pellix(site, "node", "status")[1] == "".join(node_line(i) + "\n" for i in IDS), 20,
               "every node online in the node status")
    assert ok(site, "service", "status") == svc_line("s1", "STARTED", 8) + "\n" + svc_line("s2", "STARTED", 10) + "\n"
    assert ok(site, "status") == table(IDS, {"s1": ("STARTED", 8), "s2": ("STARTED", 10)})
    doc = ok(site, "status", "--json")
    assert not doc.endswith("\n") and doc.startswith('{\n   "cluster": {')
    assert json.loads(doc) == {"cluster": {
        "nodes": [{"enabled": True, "id": i, "name": f"node{i}", "state": "ONLINE"} for i in IDS],
        "services": [{"enabled": True, "name": "s1", "nodeId": 8, "state": "STARTED"},
                     {"enabled": True, "name": "s2", "nodeId": 10, "state": "STARTED"}]}}

    # Stop, start elsewhere, move back.
    assert ok(site, "service", "stop", "-s", "s1") == "No error\n"
    assert_placed(site, {"s1": None, "s2": 10}, 5)
    assert svc_line("s1", "STOPPED", 8) in ok(site, "service", "status")
    assert ok(site, "service", "start", "-s", "s1", "--id", "10") == "No error\n"
    assert_placed(site, {"s1": 10, "s2": 10}, 5)
    assert ok(site, "service", "move", "-s", "s1", "--dst-id", "8") == \
        "Stopping service s1\nService s1 stopped\nStarting service s1 on node 8\nService s1 started on node 8\n"
    assert_placed(site, {"s1": 8, "s2": 10}, 5)
    # A start on a node that already runs it is the daemon's refusal.
    status, out, err = pellix(site, "service", "start", "-s", "s1", "--id", "2")
    assert (status, out, err) == (11, "", "An error occured: EBUSY: service is already running on node 8\n")

    # "--id 010" is node 10: its service moves to the next node, node 8 keeps its own.
    assert ok(site, "node", "disable", "--id", "010") == ""
    assert [ln[ln.index("node disable"):] for ln in cmd_lines(leader, "node disable")] == ["node disable id=10"]
    assert_placed(site, {"s1": 8, "s2": 2}, 30)
    assert node_line(10, enabled=False) in ok(site, "node", "status")
    assert node_line(8) in ok(site, "node", "status")
    assert ok(site, "status") == table(IDS, {"s1": ("STARTED", 8), "s2": ("STARTED", 2)}, disabled=(10,))

    # Failed move pre-checks: a message, status 11, and no stop sent.
    stops = len(cmd_lines(leader, "service stop"))
    for args, text in [(("-s", "s1", "--dst-id", "10"), "Node disabled: 10"),
                       (("-s", "S1", "--dst-id", "2"), "Service not found: S1"),
                       (("-s", "s1", "--dst-id", "9"), "Node not found: 9")]:
        assert pellix(site, "service", "move", *args) == (11, "", text + "\n"), args
    assert len(cmd_lines(leader, "service stop")) == stops
    assert_placed(site, {"s1": 8, "s2": 2}, 1)
    assert ok(site, "node", "enable", "--id", "010") == ""
    assert node_line(10) in ok(site, "node", "status")

    # Disable: the owner's pass stops the service after its grace period; enable
    # places it again by preference.
    assert ok(site, "service", "disable", "-s", "s2") == "No error\n"
    assert_placed(site, {"s1": 8, "s2": None}, 40)
    assert svc_line("s2", "STOPPED", 2, enabled=False) in ok(site, "service", "status")
    assert ok(site, "service", "enable", "-s", "s2") == "No error\n"
    assert_placed(site, {"s1": 8, "s2": 10}, 40)

    # The same requests from any ZMQ client: a stop and a start with a requestId.
    assert ask(url, {"call": "service", "cmd": "stop", "serviceName": "s2", "requestId": 1}) == \
        {"requestId": 1, "response": None}
    assert_placed(site, {"s1": 8, "s2": None}, 5)
    assert ask(url, {"call": "service", "cmd": "start", "serviceName": "s2", "nodeId": 2, "requestId": "r"}) == \
        {"requestId": "r", "response": None}
    assert_placed(site, {"s1": 8, "s2": 2}, 5)
    assert "mgmt_app: done from 127.0.0.1: service start serviceName=s2 nodeId=2 requestId=r -> OK" in leader.output()

    # Node exit: the node's services go elsewhere, then its daemon exits cleanly.
    victim = next(i for i in (8, 2) if i != leader_id)
    assert ok(site, "node", "exit", "--id", str(victim)) == ""
    assert site.daemons[victim].wait(60) == 0
    assert "[main] KELM exit" in site.daemons[victim].output()
    wait_until(lambda: all(len(site.holders(p)) == 1 and f"node{victim}" not in site.holders(p)
                           for p in POOL.values()), 60, "services off the node that exited")
    assert site.double_imports() == 0
    wait_until(lambda: node_line(victim, "OFFLINE") in pellix(site, "node", "status")[1], 30, "exited node offline")


def test_sigterm_on_every_member_ends_the_cluster_with_requests_in_flight(site):
    for i in IDS:
        site.start_node(i)
    wait_for_leader(site, timeout=30)
    assert_placed(site, {"s1": 8, "s2": 10})
    url = site.doc["cluster"]["mgmt-url"]

    # Clients keep mutating and status requests pending while every member is told to stop.
    stop = threading.Event()
    replies = []

    def client(req):
        s = zmq.Context.instance().socket(zmq.REQ)
        s.setsockopt(zmq.LINGER, 0)
        s.setsockopt(zmq.RCVTIMEO, 2000)
        s.connect(url)
        try:
            while not stop.is_set():
                s.send(json.dumps(req).encode())
                try:
                    replies.append(json.loads(s.recv()))
                except zmq.Again:  # the endpoint went away with the request: a new socket
                    s.close()
                    s = zmq.Context.instance().socket(zmq.REQ)
                    s.setsockopt(zmq.LINGER, 0)
                    s.setsockopt(zmq.RCVTIMEO, 2000)
                    s.connect(url)
        finally:
            s.close()

    reqs = [{"call": "service", "cmd": c, "serviceName": n} for c in ("enable", "disable") for n in ("s1", "s2")]
    reqs += [{"call": "service", "cmd": "status"}, {"call": "node", "cmd": "status"}]
    threads = [threading.Thread(target=client, args=(r,)) for r in reqs]
    for t in threads:
        t.start()
    try:
        wait_until(lambda: len(replies) > 20, 20, "clients answered")
        t0 = time.monotonic()
        for p in live(site).values():
            p.signal(signal.SIGTERM)
        # A stop that reached a leader which exited first follows the next leader:
        # an election, a session wait and the stops fit well within two minutes.
        statuses = {i: p.wait(max(1.0, t0 + 120 - time.monotonic())) for i, p in site.daemons.items()}
        took = time.monotonic() - t0
    finally:
        stop.set()
        for t in threads:
            t.join()
    print(f"every daemon exited {took:.1f} s after SIGTERM")

    assert statuses == {i: 0 for i in IDS}, {i: site.daemons[i].output()[-3000:] for i in IDS}
    for i in IDS:
        assert "[main] KELM exit" in site.daemons[i].output()
    # The stop took every service down: no pool left imported, none ever twice.
    assert placed_on(site, {"s1": None, "s2": None})
    assert site.double_imports() == 0
    assert all(r.get("error") in (None, "EAGAIN") or "response" in r for r in replies), replies[-5:]
