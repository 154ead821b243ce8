"""A cluster that does its job: real daemons with their Runners, on the emulated
pools and fence tools, services made of emulated pools. Reads where each pool is
imported and what the replicated records say."""
import json
import os
import subprocess
import time

from kelm_harness import Cluster, Process, binary, cluster_config
from raft_watch import cmdlog


class ServiceCluster(Cluster):
    def __init__(self, workdir, n=3, services=None, ids=None, vdevs=None, **top):
        doc = cluster_config(n, ids=ids, **top)
        doc["cluster"]["start_delay"] = 0
        for node in doc["nodes"]:
            node["assigned_target"] = f"iqn.2026-01.test:{node['nodename']}"
            node["devices"] = ["d0"]
        doc["services"] = services or []
        super().__init__(workdir, doc)
        self.runners = {}
        for s in doc["services"]:
            for pool in s.get("pools", []):
                spec = {"name": pool}
                if vdevs and pool in vdevs:
                    spec["vdevs"] = vdevs[pool]
                self.emul("zfs", "create", json.dumps(spec))
        self.emul("fence", "mesh", self.config_path)

    def emul(self, kind, *args):
        r = subprocess.run([binary(f"kelm-emul-{kind}"), *args], env=dict(os.environ, **self.env_for("admin")),
                           capture_output=True, text=True, timeout=30)
        assert r.returncode == 0, r.stderr
        return r.stdout

    def env_for(self, node_id):
        host = node_id if isinstance(node_id, str) else f"node{node_id}"
        return {"KELM_EMUL_ROOT": self.emul_root, "KELM_EMUL_HOST": host}

    def prefix_for(self, node_id):
        """The command that runs a node's programs where that node lives (none: here)."""
        return []

    def start_runner(self, node_id):
        p = Process([binary("kelm-runner"), "-c", self.config_path, "-n", str(node_id), "-l", "info"], self.workdir,
                    f"runner{node_id}-{len(self.processes)}", env=self.env_for(node_id),
                    prefix=self.prefix_for(node_id))
        self.runners[node_id] = p
        self.processes.append(p)
        assert p.wait_for("[runner] serving node", 15), p.output() + p.errors()
        return p

    def start_node(self, node_id, log_level="debug"):
        if node_id not in self.runners or self.runners[node_id].proc.poll() is not None:
            self.start_runner(node_id)
        return self.start(node_id, log_level=log_level, prefix=self.prefix_for(node_id))

    # ---- the truth of the pool world ----
    def pools(self):
        return json.loads(self.emul("zfs", "show"))["pools"].values()

    def holders(self, pool):
        return sorted(h for p in self.pools() if p["name"] == pool for h in p["imported_by"])

    def double_imports(self):
        return int(self.emul("zfs", "double-imports").strip())

    # ---- the replicated records, as one node stores them ----
    def records(self, node_id):
        out = {}
        for _, _, key, value in cmdlog(self.db_path(node_id)):
            if key.startswith("svc-") and key.endswith("-runstate"):
                out[key[4:-9]] = json.loads(value)
        return out


def wait_until(pred, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return
        time.sleep(0.2)
    raise AssertionError(f"not within {timeout} s: {what}")


# ---- added for the activation scenarios: who writes a pool, what each Runner ran ----

def mirror_on_every_node(pool, n):
    """A pool mirrored over one disk of each node: a fenced holder keeps the leaf
    on its own disk, so its import stays writable there and can be exported."""
    leaves = [{"path": f"/dev/diskid/{pool}-D{i}", "host": f"node{i}", "state": 7} for i in range(1, n + 1)]
    return {"name": pool, "vdevs": [{"type": "mirror", "children": leaves}]}


def fenced_hosts(site):
    hosts = json.loads(site.emul("zfs", "show")).get("hosts", {})
    return sorted(h for h, rec in hosts.items() if rec.get("fenced"))


def writers(site, pool):
    """The unfenced hosts that hold the pool: the ones that can write to it."""
    fenced = set(fenced_hosts(site))
    return [h for h in site.holders(pool) if h not in fenced]


def runner_runs(site, node_id, program="poolrun"):
    """What node_id's Runners (every one started) ran, as "<cmd> <arg>" texts in
    order: "start s1", "fence-on 3", ..."""
    out = []
    for p in site.processes:
        if not p.name.startswith(f"runner{node_id}-"):
            continue
        for line in p.output().splitlines():
            at = line.find("[runner] run: ")
            if at < 0:
                continue
            words = line[at + len("[runner] run: "):].split()
            if words and words[0].endswith("/" + program):
                out.append(f"{words[1]} {words[-1]}")
    return out


def settled(site, services, nodes):
    """Every service runs (state 3) on the one unfenced host holding its pools, and
    the records of `nodes` (identical) name that host. False while anything moves."""
    recs = [site.records(i) for i in nodes]
    if any(r != recs[0] for r in recs):
        return False
    for s in services:
        rec = recs[0].get(s["name"])
        if not rec or rec["state"] != 3 or rec["session_id"] == "-":
            return False
        for pool in s["pools"]:
            if writers(site, pool) != [f"node{rec['run_node']}"]:
                return False
    return True


# ---- placement checks, daemon kills and host reboots (random kills, namespaces, benchmarks) ----
import signal  # noqa: E402


def pool_world(site):
    """One snapshot of the emulated pool world: ({pool: sorted holders}, {fenced hosts}, double-import count)."""
    state = json.loads(site.emul("zfs", "show"))
    fenced = {h for h, rec in state.get("hosts", {}).items() if rec.get("fenced")}
    holders = {}
    for p in state["pools"].values():
        if not p.get("destroyed"):
            holders.setdefault(p["name"], []).extend(p["imported_by"])
    return {k: sorted(v) for k, v in holders.items()}, fenced, int(state.get("double_imports", 0))


def assert_one_writer(site):
    """Fails at once on a double import or on a pool that two unfenced hosts hold;
    True otherwise, so that it can sit inside a wait_until condition."""
    holders, fenced, doubles = pool_world(site)
    two = {p: hs for p, hs in holders.items() if len([h for h in hs if h not in fenced]) > 1}
    assert doubles == 0 and not two, f"{doubles} double imports, held by two writers: {two}, fenced: {sorted(fenced)}"
    return True


def placement_faults(site, services, nodes, strict):
    """What is wrong with the placement as the leader of `nodes` stores it, or [] when
    every service runs on one of `nodes`, its record names that node, and its pools are
    imported there and on no other unfenced host (strict: on no other host at all)."""
    holders, fenced, doubles = pool_world(site)
    faults = [f"{doubles} double imports"] if doubles else []
    recs = [site.records(i) for i in nodes]
    if any(r != recs[0] for r in recs):
        faults.append("records differ between nodes")
    for s in services:
        rec = recs[0].get(s["name"], {})
        if rec.get("state") != 3 or rec.get("run_node") not in nodes:
            faults.append(f"{s['name']}: record {rec}")
            continue
        for pool in s.get("pools", []):
            held = [h for h in holders.get(pool, []) if strict or h not in fenced]
            if held != [f"node{rec['run_node']}"]:
                faults.append(f"{s['name']}: record names node {rec['run_node']}, {pool} held by {held}")
    return faults


def kill_daemon(site, node_id):
    """kill -9 of a node's daemon; its Runner and its host's imports stay."""
    p = site.daemons[node_id]
    p.signal(signal.SIGKILL)
    p.wait(10)


def reboot_host(site, node_id):
    """The node's host goes down and comes back: daemon and Runner killed, its imports
    dropped as a reboot without a cache file drops them, then both started again."""
    for p in (site.daemons.get(node_id), site.runners.get(node_id)):
        if p is not None and p.proc.poll() is None:
            p.signal(signal.SIGKILL)
            p.wait(10)
    site.emul("zfs", "host-crash", f"node{node_id}")
    return site.start_node(node_id)


def readdress(site, addrs):
    """Moves the nodes to other internal addresses ({node id: address}): the configuration
    file is written again and the stand-in fence tools' portals follow."""
    for node in site.doc["nodes"]:
        node["internal_addr"] = addrs.get(node["id"], node["internal_addr"])
    with open(site.config_path, "w") as f:
        json.dump(site.doc, f, indent=1)
    site.emul("fence", "mesh", site.config_path)


def start_node_in(site, node_id, netns):
    """A node's Runner and daemon inside the network namespace `netns` (root only)."""
    prefix = ["ip", "netns", "exec", netns]
    r = Process([binary("kelm-runner"), "-c", site.config_path, "-n", str(node_id), "-l", "info"], site.workdir,
                f"runner{node_id}-{len(site.processes)}", env=site.env_for(node_id), prefix=prefix)
    site.runners[node_id] = r
    site.processes.append(r)
    assert r.wait_for("[runner] serving node", 15), r.output() + r.errors()
    return site.start(node_id, prefix=prefix)


# ---- nodes in network namespaces joined by a bridge (address moves, nemesis) ----
import subprocess  # noqa: E402


def bridged_namespaces(spaces, nodes, dev, subnet):
    """A namespace per node, each with port `dev` at `subnet`.<id>/24 on a bridge that lives
    in one more namespace; {node id: namespace}. Ends the run with the skip status where
    bridges are refused."""
    hub, why = spaces.add("hub")
    assert hub, why
    bridge = f"kb{spaces.tag}"
    made = subprocess.run(["ip", "-n", hub, "link", "add", bridge, "type", "bridge"], capture_output=True, text=True)
    if made.returncode != 0:
        import pytest
        pytest.exit(f"bridges refused: {made.stderr.strip()}", returncode=77)
    spaces.ip(hub, "link", "set", bridge, "up")
    names = {}
    for i in nodes:
        ns, why = spaces.add(f"n{i}")
        assert ns, why
        port = f"kv{spaces.tag}{i}"
        spaces.ip(ns, "link", "add", dev, "type", "veth", "peer", "name", port, "netns", hub)
        spaces.ip(hub, "link", "set", port, "master", bridge)
        spaces.ip(hub, "link", "set", port, "up")
        spaces.ip(ns, "addr", "add", f"{subnet}.{i}/24", "dev", dev)
        spaces.ip(ns, "link", "set", dev, "up")
        names[i] = ns
    return names
