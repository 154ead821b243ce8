"""An HA pair on shared emulated disks, as the scenarios and the failover benchmark
run it: two daemons with their Runners, three disks (two SCSI, one NVMe) carrying
the services' pools, optionally one network namespace per node joined by a bridge.
Reads who leads, who holds the disks and where the pools are writable."""
import json
import os
import signal
import subprocess
import threading
import time

import pytest

from kelm_harness import binary, write_json
from poolrun_harness import NetNamespaces
from raft_watch import assert_one_leader_per_term, current_state, live, wait_for_leader
from service_site import ServiceCluster, wait_until

DISKS = [("da1", "scsi"), ("da2", "scsi"), ("nvme0ns1", "nvme")]
SERVICES = [{"name": "s1", "pools": ["p1"], "pri0": 1}, {"name": "s2", "pools": ["p2"], "pri0": 2}]
# p1 mirrors the two SCSI disks, p2 lies on the NVMe namespace.
VDEVS = {"p1": [{"type": "mirror", "children": [{"path": "/dev/da1", "disk": "da1"},
                                                 {"path": "/dev/da2", "disk": "da2"}]}],
         "p2": [{"path": "/dev/nvme0ns1", "disk": "nvme0ns1"}]}
DUEL_WINDOW_S = 5  # two hosts pre-empting each other within this span are dueling
PAIR_UP_S = 120
# The election waits 10 s for the disks, the services 10 + 4 + 8 s more; a loaded machine adds to both.
FAILOVER_S = 150
QUARANTINE = ("[HA reservation client] Disk {} QUARANTINED: 3 device errors, threshold 3 per 600 s. "
              "Excluded from the reservation group until kelm restart; replace the disk.")


class HaPair(ServiceCluster):
    """The pair on its shared disks; with `spaces`, each node lives in its own network
    namespace, both joined by a bridge in a third one."""

    def __init__(self, workdir, spaces=None):
        self.spaces = spaces
        root = os.path.join(str(workdir), "emul")
        os.makedirs(root, exist_ok=True)
        for name, proto in DISKS:
            emul_disk(root, "create", name, proto)
        super().__init__(workdir, 2, SERVICES, vdevs=VDEVS, ha={"disks": [d for d, _ in DISKS]})
        if spaces:
            for node in self.doc["nodes"]:
                node["internal_addr"] = spaces.addr(node["id"])
            write_json(self.config_path, self.doc)

    def prefix_for(self, node_id):
        return ["ip", "netns", "exec", self.spaces.node_ns[node_id]] if self.spaces else []

    def start_node(self, node_id, log_level="trace"):
        # trace: the election lines tell which term each node led
        return super().start_node(node_id, log_level=log_level)

    def disk(self, *args):
        return emul_disk(self.emul_root, *args)

    # ---- the pair's state ----
    def leader(self, timeout=PAIR_UP_S, exclude=()):
        return wait_for_leader(self, timeout=timeout, exclude=exclude)

    def reservations(self):
        """{disk: node id of the reservation holder or None}. A key names its node in
        its low 32 bits; the high ones carry the term its node reached."""
        state = json.loads(self.disk("show"))
        keys = {d: (state[d].get("reservation") or {}).get("key") for d, _ in DISKS}
        return {d: None if k is None else k & 0xFFFFFFFF for d, k in keys.items()}

    def services_on(self, node_id):
        """Every pool imported on the node. A node cut off the disks may still hold an
        import it cannot write: the double-import counter says whether two can."""
        return all(f"node{node_id}" in self.holders(p) for p in VDEVS)

    def services_only_on(self, node_id):
        return all(self.holders(p) == [f"node{node_id}"] for p in VDEVS)

    def placed(self):
        return self.holders("p1") == ["node1"] and self.holders("p2") == ["node2"]

    def dueling(self):
        return int(self.disk("dueling", str(DUEL_WINDOW_S)).strip())

    def assert_safe(self):
        assert self.double_imports() == 0, self.emul("zfs", "show")
        assert self.dueling() == 0, "\n".join(self.disk("journal", d) for d, _ in DISKS)
        assert_one_leader_per_term(self)

    # ---- faults ----
    def kill_daemon(self, node_id):
        """kill -9 of the node's daemon; its host and Runner go on, pools imported."""
        p = self.daemons[node_id]
        os.killpg(p.pid, signal.SIGKILL)
        p.proc.wait(10)

    def crash_node(self, node_id):
        """The whole node goes down: daemon and Runner killed, the host's imports gone."""
        self.kill_daemon(node_id)
        r = self.runners[node_id]
        os.killpg(r.pid, signal.SIGKILL)
        r.proc.wait(10)
        self.emul("zfs", "host-crash", f"node{node_id}")

    def out(self, node_id):
        return self.daemons[node_id].output()


def emul_disk(root, *args):
    r = subprocess.run([binary("kelm-emul-disk"), *args], env=dict(os.environ, KELM_EMUL_ROOT=root,
                                                                    KELM_EMUL_HOST="admin"),
                       capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, (args, r.stderr)
    return r.stdout


class PairNets:
    """Two node namespaces, each with one veth into a bridge in a third namespace;
    cutting a node's bridge port partitions the pair. Unique names, always deleted.
    Where namespaces are refused (not root), the test that asks for them is skipped."""

    SUBNET = "10.91.0"

    def __init__(self):
        if os.geteuid() != 0:
            pytest.skip("network namespaces need root")
        self.spaces = NetNamespaces()
        self.node_ns = {}
        try:
            br, why = self.spaces.add("br")
            if br is None:
                pytest.skip(f"network namespaces refused: {why}")
            self.br = br
            self.spaces.ip(br, "link", "add", "kelmbr0", "type", "bridge")
            self.spaces.ip(br, "link", "set", "kelmbr0", "up")
            for i in (1, 2):
                ns, why = self.spaces.add(f"n{i}")
                assert ns, why
                self.node_ns[i] = ns
                self.spaces.ip(br, "link", "add", f"kelmp{i}", "type", "veth", "peer", "name", "kelmha0", "netns", ns)
                self.spaces.ip(br, "link", "set", f"kelmp{i}", "master", "kelmbr0")
                self.spaces.ip(br, "link", "set", f"kelmp{i}", "up")
                self.spaces.ip(ns, "addr", "add", f"{self.addr(i)}/24", "dev", "kelmha0")
                self.spaces.ip(ns, "link", "set", "kelmha0", "up")
        except BaseException:
            self.spaces.delete_all()
            raise

    def addr(self, node_id):
        return f"{self.SUBNET}.{node_id}"

    def cut(self, node_id, up=False):
        self.spaces.ip(self.br, "link", "set", f"kelmp{node_id}", "up" if up else "down")

    def delete(self):
        self.spaces.delete_all()


class LeaderOverlap:
    """Polls both daemons' states every 0.25 s while running; `longest` is the longest
    span (s) in which both were LEADER at once. A daemon that has exited leads nothing,
    whatever its last line said. Use as a context manager."""

    def __init__(self, c, period=0.25):
        self.c, self.period, self.longest = c, period, 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        since = None
        while not self._stop.wait(self.period):
            running = live(self.c)
            both = len(running) == 2 and all(current_state(p) == "LEADER" for p in running.values())
            now = time.monotonic()
            since = (since or now) if both else None
            if since is not None:
                self.longest = max(self.longest, now - since)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(5)
        return False


def start_pair(c):
    """Both nodes up, one leading, each service on its preferred node; the leader's id."""
    for i in (1, 2):
        c.start_node(i)
    leader = c.leader()
    wait_until(c.placed, PAIR_UP_S, "each service on its preferred node")
    for i in (1, 2):
        assert "[HA reservation client] started" in c.out(i)
    return leader


def survivor_leads(c, survivor):
    """The survivor leads and holds the reservation on every disk."""
    return current_state(c.daemons[survivor]) == "LEADER" and c.reservations() == {d: survivor for d, _ in DISKS}


def wait_takeover(c, survivor):
    wait_until(lambda: survivor_leads(c, survivor), FAILOVER_S, "the survivor leads and holds every disk")
    wait_until(lambda: c.services_on(survivor), FAILOVER_S, "every service on the survivor")
    assert "Obtain reservation done." in c.out(survivor)


def rejoin(c, leader, back):
    """Starts the node that went down; it follows and the leader lets go of every disk."""
    alive = f"[HA reservation client] node {back} alive"
    heard = c.out(leader).count(alive)
    p = c.start_node(back)
    wait_until(lambda: c.out(leader).count(alive) > heard, PAIR_UP_S, "the leader hears its peer")
    wait_until(lambda: c.reservations() == {d: None for d, _ in DISKS}, 30, "the leader released the disks")
    assert current_state(c.daemons[back]) == "FOLLOWER" and current_state(c.daemons[leader]) == "LEADER"
    return p
