"""Demo driver: the operator's view of a 3-node cluster on 127.0.0.1-3, each node with
its Runner, two services made of emulated pools. At every step it runs the real
`pellix-cluster status` and prints what it shows; each of those views is checked
against the emulated pool world (every service on exactly one node, the one that
status names) and the demo fails loudly when they differ. Steps: placement, an
operator's `service move`, a whole node killed (its service moves by itself), the
node back, `node exit` of one node, SIGQUIT for the whole cluster (every daemon
must exit 0). Logs, databases and the configuration stay in a directory beside the
build, printed first and last."""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
os.environ["KELM_BIN_DIR"] = os.path.abspath(sys.argv[1])

import raft_watch  # noqa: E402
from kelm_harness import binary  # noqa: E402
from service_site import ServiceCluster  # noqa: E402

SERVICES = [{"name": "web", "pools": ["webpool"], "pri0": 2}, {"name": "db", "pools": ["dbpool"], "pri0": 3}]
NODE_LINE = re.compile(r"^Node ID: *(\d+); name: *(.*?); state: *(\S+); \[ *(\S+)\]$")
SERVICE_LINE = re.compile(r"^\tService name: *(.*?); state: *(\S+); \[ *(\S+)\]$")


class DemoFailed(Exception):
    pass


def pellix(site, *args, show=True):
    """Runs pellix-cluster in the demo directory; with `show`, as a shell session would."""
    r = subprocess.run([binary("pellix-cluster"), "-c", "config.json", *args], cwd=site.workdir,
                       capture_output=True, text=True, timeout=60)
    if show:
        print("\n$ pellix-cluster -c config.json " + " ".join(args))
        sys.stdout.write(r.stdout + r.stderr)
        if r.returncode != 0:
            print(f"(exit status {r.returncode})")
    return r


def running_on(site):
    """{pool: [hosts]} of the hosts that run each pool: they hold it imported, are
    alive and not fenced (a fenced holder's pool is suspended, cut off its disks)."""
    world = json.loads(site.emul("zfs", "show"))
    hosts = world.get("hosts", {})

    def active(h):
        return hosts.get(h, {}).get("alive", True) and not hosts.get(h, {}).get("fenced", False)
    return {p["name"]: sorted(h for h in p.get("imported_by", {}) if active(h)) for p in world["pools"].values()}


def placement_errors(placed, states, pools):
    """What is wrong with a view in which each service is listed on `placed[name]`
    (node ids) in `states[name]`, against the pool world's `pools`."""
    errors = []
    for s in SERVICES:
        name, nodes = s["name"], placed.get(s["name"], [])
        holders = sorted(h for pool in s["pools"] for h in pools.get(pool, []))
        if len(nodes) != 1:
            errors.append(f"{name} is listed on {len(nodes)} nodes {nodes}")
        elif states.get(name) != "STARTED":
            errors.append(f"{name} is {states.get(name)}, not STARTED")
        elif holders != [f"node{nodes[0]}"] * len(s["pools"]):
            errors.append(f"{name} is listed on node {nodes[0]} but its pools run on {holders or 'no node'}")
    return errors


def status_json(site):
    r = pellix(site, "status", "--json", show=False)
    if r.returncode != 0:
        return None
    doc = json.loads(r.stdout)["cluster"]
    return {n["id"]: n["state"] for n in doc.get("nodes", [])}, doc.get("services", [])


def settled(site, nodes_expected):
    """True once the daemons agree with the pool world and every node is in the
    state expected of it ({id: "ONLINE"|"OFFLINE"})."""
    got = status_json(site)
    if got is None:
        return False
    nodes, services = got
    placed = {s["name"]: [s["nodeId"]] if s["nodeId"] is not None else [] for s in services}
    states = {s["name"]: s["state"] for s in services}
    return nodes == nodes_expected and not placement_errors(placed, states, running_on(site))


def wait_settled(site, nodes_expected, timeout, what):
    t0 = time.monotonic()
    while not settled(site, nodes_expected):
        if time.monotonic() - t0 > timeout:
            raise DemoFailed(f"not within {timeout} s: {what}")
        time.sleep(0.3)
    return time.monotonic() - t0


def status_step(site, title):
    """The operator's view, printed, then checked against the pool world."""
    print(f"\n== {title}")
    r = pellix(site, "status")
    if r.returncode != 0:
        raise DemoFailed(f"pellix-cluster status exited with {r.returncode}")
    placed, states, node = {}, {}, None
    for line in r.stdout.splitlines():
        if m := NODE_LINE.match(line):
            node = int(m.group(1))
        elif m := SERVICE_LINE.match(line):
            placed.setdefault(m.group(1), []).append(node)
            states[m.group(1)] = m.group(2)
    pools = running_on(site)
    errors = placement_errors(placed, states, pools)
    if errors:
        raise DemoFailed("status and the pool world disagree: " + "; ".join(errors))
    print("checked: every service runs on exactly one node, the one status shows ("
          + ", ".join(f"{p} imported on {h[0]}" for p, h in sorted(pools.items())) + ")")
    return {name: nodes[0] for name, nodes in placed.items()}


def wait_for_output(process, text, since, timeout):
    """True once `text` shows in the process's output after its first `since` characters."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if text in process.output()[since:]:
            return True
        time.sleep(0.2)
    return False


def kill_node(site, victim):
    """The whole node goes down: daemon and Runner killed, the host rebooted without
    its imports."""
    raft_watch.kill9(site.daemons[victim])
    raft_watch.kill9(site.runners[victim])
    site.emul("zfs", "host-crash", f"node{victim}")


def stop_cluster(site, leader):
    print(f"\n== the whole cluster stopped: SIGQUIT to node {leader}'s daemon (any node's would do)")
    print(f"$ kill -QUIT {site.daemons[leader].pid}")
    site.daemons[leader].signal(signal.SIGQUIT)
    bad = []
    for i, p in sorted(raft_watch.live(site).items()):
        try:
            status = p.wait(60)
        except subprocess.TimeoutExpired:
            status = "still running after 60 s"
        print(f"node {i}: daemon exit status {status}")
        if status != 0:
            bad.append(i)
    if bad:
        raise DemoFailed(f"daemons of nodes {bad} did not exit 0")
    left = {p: h for p, h in running_on(site).items() if h}
    if left:
        raise DemoFailed(f"pools still imported after the cluster stopped: {left}")
    print("checked: every daemon exited 0 and no pool is imported anywhere")


def run(site):
    all_online = {1: "ONLINE", 2: "ONLINE", 3: "ONLINE"}
    t_start = time.monotonic()
    for i in (1, 2, 3):
        site.start_node(i, log_level="debug")
    leader = raft_watch.wait_for_leader(site, timeout=30)
    took = wait_settled(site, all_online, 60, "both services running")
    print(f"\nnode {leader} leads; both services running {time.monotonic() - t_start:.1f} s after start "
          f"(a node waits 5-6 s before it campaigns)")
    where = status_step(site, "the cluster places each service on its preferred node")
    print("\n== the same, node by node and service by service")
    for args in (("node", "status"), ("service", "status")):
        if pellix(site, *args).returncode != 0:
            raise DemoFailed(" ".join(args) + " failed")

    target = next(i for i in (1, 2, 3) if i not in where.values())
    print(f"\n== the operator moves web to node {target}")
    if pellix(site, "service", "move", "-s", "web", "--dst-id", str(target)).returncode != 0:
        raise DemoFailed("service move failed")
    wait_settled(site, all_online, 30, "web running after the move")
    where = status_step(site, f"web runs on node {target}")

    victim = next(n for name, n in sorted(where.items()) if n != leader)
    moved = next(name for name, n in where.items() if n == victim)
    print(f"\n== node {victim} dies (daemon and Runner killed, the host reboots without its pools); "
          f"{moved} ran there")
    kill_node(site, victim)
    offline = {**all_online, victim: "OFFLINE"}
    took = wait_settled(site, offline, 90, f"{moved} running again after node {victim} died")
    print(f"{moved} running again after {took:.1f} s (4 s to notice, 8 s offline delay, fencing, recovery, start)")
    where = status_step(site, f"{moved} moved by itself; node {victim} is OFFLINE")

    print(f"\n== node {victim} comes back: its Runner and daemon started again")
    seen = len(site.daemons[leader].output())
    t0 = time.monotonic()
    site.start_node(victim, log_level="debug")
    wait_settled(site, all_online, 60, f"node {victim} back online")
    # ONLINE is the leader hearing the node; it runs services again once the leader
    # has checked that it holds none of them and lifted its fencing.
    taken_back = f"svc_app: Enable run services on node {victim}"
    if not wait_for_output(site.daemons[leader], taken_back, seen, 60):
        raise DemoFailed(f"node {victim} not taken back within 60 s")
    print(f"node {victim} online and taken back (fencing lifted) after {time.monotonic() - t0:.1f} s")
    status_step(site, f"node {victim} is back, with nothing to run; the services stay where they are")

    # A node that runs a service shows the services moving off it first.
    stopped = next((n for name, n in sorted(where.items()) if n != leader), 1 if leader != 1 else 2)
    print(f"\n== the operator stops node {stopped}: its services move first, then its daemon exits")
    if pellix(site, "node", "exit", "--id", str(stopped)).returncode != 0:
        raise DemoFailed("node exit failed")
    status = site.daemons[stopped].wait(60)
    print(f"node {stopped}: daemon exit status {status}")
    if status != 0:
        raise DemoFailed(f"node {stopped}'s daemon exited with {status}")
    wait_settled(site, {**all_online, stopped: "OFFLINE"}, 60, f"services running after node {stopped} stopped")
    status_step(site, f"node {stopped} stopped; its service runs elsewhere")

    stop_cluster(site, leader)
    doubles = site.double_imports()
    print(f"double imports seen by the emulated pool world: {doubles}")
    if doubles:
        raise DemoFailed(f"{doubles} double imports")
    print(f"\ndemo done in {time.monotonic() - t_start:.0f} s")


def main():
    work = tempfile.mkdtemp(prefix="demo-" + time.strftime("%Y%m%d-%H%M%S-"),
                            dir=os.path.dirname(os.path.abspath(sys.argv[1])))
    print(f"demo directory (config.json; logs kelm<node>-<run>.out, runner<node>-<run>.out; databases "
          f"kelm<node>.db): {work}")
    site = ServiceCluster(work, 3, SERVICES)
    failed = None
    try:
        run(site)
    except (DemoFailed, AssertionError, subprocess.TimeoutExpired) as e:
        failed = e
    finally:
        site.stop_all()
        print(f"\nlogs and databases kept in {work}")
    if failed is not None:
        print(f"\nDEMO FAILED: {failed}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
