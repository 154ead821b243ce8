"""A nemesis against a real cluster: daemons with their Runners on the emulated pools,
services of one pool and one address each, and a random fault every 20-40 s, with
operator moves, stops and starts through pellix-cluster between the faults.

Faults (FAULTS below): a host crash (daemon and Runner kill -9, the host's imports and
addresses gone, both started again); a daemon kill -9 and restart; a daemon stopped
(SIGSTOP) for 5-30 s; one node partitioned (its bridge port down) for 10-30 s; the disk
of a node's command log filled for 5-20 s (the daemon may die of it and is started
again); a Runner killed alone and started again.

The checker polls the pool world every 0.25 s: no double import, no pool held by two
unfenced hosts, each service address on at most one node not cut off since the last settle,
every daemon the nemesis did not kill alive. After each fault the cluster must settle:
every node's records identical, each service as the operator left it (running on the
one unfenced host that holds its pool and carries its address, or stopped and held by
none), and `pellix-cluster service status` saying the same. At the end SIGQUIT stops the
cluster: every daemon exits 0 and no pool is left imported.

As root, each node lives in a network namespace of its own, joined by a bridge, and
each node's command log sits on a small tmpfs of its own. Without namespaces the nodes
share the loopback, services have no address and the partition is left out; without
the tmpfs the disk fault is left out. KELM_NEMESIS_LOOPBACK=1 asks for the loopback as root.

KELM_NEMESIS_SECONDS: length of the fault phase (default 150: with the cold start, the
last fault's settle and the stop, a run under ASan takes about 5 minutes);
KELM_NEMESIS_NODES: 3 or 5; KELM_NEMESIS_SEED: the seed (printed at the start);
KELM_NEMESIS_FAULTS: the kinds to draw from (comma-separated, default all). A failing run keeps its
directory (daemon, Runner and operator logs, command logs) and prints where it is."""
import json
import os
import random
import shutil
import signal
import statistics
import subprocess
import tempfile
import threading
import time

import pytest

from kelm_harness import binary
from poolrun_harness import NetNamespaces
from raft_watch import wait_for_leader
from service_site import ServiceCluster, bridged_namespaces, pool_world, readdress

N = int(os.environ.get("KELM_NEMESIS_NODES", "3"))
NODES = tuple(range(1, N + 1))
SECONDS = float(os.environ.get("KELM_NEMESIS_SECONDS", "150"))
SEED = int(os.environ.get("KELM_NEMESIS_SEED", str(random.randrange(1 << 30))))
SETTLE_S = 240  # a leader crash: election, offline delay, fencing, recovery, restart; under ASan
REBOOT_AFTER_S = 30
QUIET_S = 5  # settled: found so at every look for this long
DEV = "kelmnet0"
SUBNET = "10.78.0"
SERVICES = [{"name": f"s{k}", "pools": [f"p{k}"], "pri0": NODES[k % N],
             "ext_ips": [{"interface": DEV, "ip": f"{SUBNET}.{100 + k}", "netmask": "24"}]}
            for k in range(1, max(5, N + 2) + 1)]


class NemesisSite(ServiceCluster):
    """The cluster, where each node's programs run in its namespace (if any) and each
    command log lives on its node's own disk (a tmpfs, if it could be mounted)."""

    def __init__(self, workdir, spaces, names, services):
        self.spaces, self.names = spaces, names
        if not names:
            for s in services:
                s.pop("ext_ips")
        super().__init__(workdir, N, services)
        if names:
            readdress(self, {i: f"{SUBNET}.{i}" for i in NODES})
        self.disks = {}
        for i in NODES:
            d = os.path.join(self.workdir, f"disk{i}")
            os.makedirs(d)
            if os.geteuid() == 0 and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", d],
                                                    capture_output=True).returncode == 0:
                self.disks[i] = d
        self.lock = threading.Lock()
        self.cut = set()  # nodes a fault cut off: until the next settle their addresses may linger
        self.down = set()  # nodes whose daemon the nemesis killed or let die
        self.intent = {}  # service name -> "run", "stopped" or "any": what the operator left it as

    def db_path(self, node_id):
        return os.path.join(self.workdir, f"disk{node_id}", f"kelm{node_id}.db")

    def prefix_for(self, node_id):
        return ["ip", "netns", "exec", self.names[node_id]] if self.names else []

    def addresses(self, i):
        if not self.names:
            return []
        own = f"{SUBNET}.{i}/24"
        return [a for a in self.spaces.addresses(self.names[i], DEV) if a != own]

    def pellix(self, *args):
        """The operator's command, run where the leader's endpoint is: (status, out, err)."""
        where = self.prefix_for(wait_for_leader(self, timeout=60))
        try:
            r = subprocess.run(where + [binary("pellix-cluster"), *args, "-c", self.config_path],
                               capture_output=True, text=True, timeout=120)
            return r.returncode, r.stdout, r.stderr
        except subprocess.TimeoutExpired:
            return "timeout", "", ""

    def close(self):
        self.stop_all()
        for d in self.disks.values():
            subprocess.run(["umount", "-l", d], capture_output=True)


def _interrupt(signo, frame):
    raise KeyboardInterrupt(f"signal {signo}")


@pytest.fixture
def site(tmp_path):
    signal.signal(signal.SIGTERM, _interrupt)  # a SIGTERM (ctest's time-out) also cleans up
    spaces, names = NetNamespaces(), {}
    if os.geteuid() == 0 and not os.environ.get("KELM_NEMESIS_LOOPBACK") and spaces.add("probe")[0]:
        names = bridged_namespaces(spaces, NODES, DEV, SUBNET)
    c = None
    try:
        c = NemesisSite(tmp_path, spaces, names, json.loads(json.dumps(SERVICES)))
        yield c
    finally:
        if c is not None:
            c.close()
        spaces.delete_all()


# ---- the faults: each injects, holds, heals; returns a note for the report ----

def kill9(p):
    if p is not None and p.proc.poll() is None:
        p.signal(signal.SIGKILL)
        p.wait(10)


def restart_daemon(site, i):
    site.start_node(i)
    with site.lock:
        site.down.discard(i)


def host_crash(site, i, rng):
    with site.lock:
        site.down.add(i)
        site.cut.add(i)
    kill9(site.daemons.get(i))
    kill9(site.runners.get(i))
    site.emul("zfs", "host-crash", f"node{i}")
    for a in site.addresses(i):  # a reboot takes the service addresses too
        site.spaces.ip(site.names[i], "addr", "del", a, "dev", DEV)
    time.sleep(rng.uniform(5, 30) if rng else 15)
    restart_daemon(site, i)
    return ""


def reboot_host(site, i):
    host_crash(site, i, None)


def daemon_kill(site, i, rng):
    with site.lock:
        site.down.add(i)
        site.cut.add(i)
    kill9(site.daemons[i])
    time.sleep(rng.uniform(1, 20))
    restart_daemon(site, i)
    return ""


def sigstop(site, i, rng):
    with site.lock:
        site.cut.add(i)
    site.daemons[i].signal(signal.SIGSTOP)
    held = rng.uniform(5, 30)
    time.sleep(held)
    site.daemons[i].signal(signal.SIGCONT)
    return f"{held:.0f} s"


def partition(site, i, rng):
    with site.lock:
        site.cut.add(i)
    site.spaces.ip(site.names[i], "link", "set", DEV, "down")
    held = rng.uniform(10, 30)
    time.sleep(held)
    site.spaces.ip(site.names[i], "link", "set", DEV, "up")
    return f"{held:.0f} s"


def disk_full(site, i, rng):
    """The tmpfs of the node's command log filled to the last byte, then emptied again;
    a daemon that could not write its log may have ended, and is started again."""
    with site.lock:
        site.down.add(i)
        site.cut.add(i)
    filler = os.path.join(site.disks[i], "filler")
    with open(filler, "wb", buffering=0) as f:
        try:
            while True:
                f.write(b"\0" * (1 << 16))
        except OSError:
            pass
    # A quiet cluster writes nothing: an enable request (which saves the service's
    # record) makes every node append while the disk is full.
    name = rng.choice(site.doc["services"])["name"]
    rc, _, err = site.pellix("service", "enable", "-s", name)
    # An enable is an operator's command like the others: it clears a manual stop, so
    # a stopped service starts again; one that answered an error may still have been
    # carried out.
    site.intent[name] = "run" if rc == 0 else "any"
    time.sleep(rng.uniform(5, 20))
    os.unlink(filler)
    code = site.daemons[i].proc.poll()
    if code is None:
        with site.lock:
            site.down.discard(i)
        return f"enable -> {rc} {err.strip()}, daemon lived"
    restart_daemon(site, i)
    return f"enable -> {rc} {err.strip()}, daemon exited {code}"


def runner_kill(site, i, rng):
    kill9(site.runners[i])
    time.sleep(rng.uniform(1, 15))
    site.start_runner(i)
    return ""


FAULTS = {"host-crash": host_crash, "daemon-kill": daemon_kill, "sigstop": sigstop,
          "partition": partition, "disk-full": disk_full, "runner-kill": runner_kill}


# ---- the checker ----

class Checker(threading.Thread):
    """Polls the pool world, the addresses and the daemons every 0.25 s; keeps what it found."""

    def __init__(self, site):
        super().__init__(daemon=True)
        self.site, self.found, self.polls, self.stop_flag = site, [], 0, threading.Event()

    def run(self):
        while not self.stop_flag.wait(0.25):
            try:
                self.poll()
            except Exception as e:  # noqa: BLE001  a tool that failed is a finding too
                self.found.append(f"poll failed: {e!r}")
            self.polls += 1

    def poll(self):
        site = self.site
        with site.lock:
            cut, down = set(site.cut), set(site.down)
        holders, fenced, doubles = pool_world(site)
        two = {p: hs for p, hs in holders.items() if len([h for h in hs if h not in fenced]) > 1}
        if doubles or two:
            self.note(f"{doubles} double imports, held by two writers: {two}, fenced: {sorted(fenced)}")
        # A fault marks its node before it strikes: what is seen dead or doubled is
        # judged by the marks as they are after the look.
        if site.names:
            on = {}
            for i in NODES:
                if i not in cut:
                    for a in site.addresses(i):
                        on.setdefault(a, []).append(i)
            for a, nodes in on.items():
                with site.lock:
                    nodes = [i for i in nodes if i not in site.cut]
                if len(nodes) > 1:
                    self.note(f"address {a} on nodes {nodes}")
        for i, p in list(site.daemons.items()):
            if i not in down and p.proc.poll() is not None:
                with site.lock:
                    if i not in site.down and site.daemons[i] is p:
                        self.note(f"daemon {i} exited {p.proc.returncode} unasked")

    def note(self, what):
        if not self.found or self.found[-1] != what:
            self.found.append(what)
            print(f"VIOLATION at {time.strftime('%H:%M:%S')}: {what}", flush=True)


def service_table(site):
    """`pellix-cluster service status` as {name: (state text, run node)}, or the failure."""
    rc, out, err = site.pellix("service", "status")
    if rc != 0:
        return f"status {rc}: {out}{err}"
    table = {}
    for line in out.splitlines():
        parts = [x.strip() for x in line.replace("Service name:", "").replace("at node:", ";").split(";")]
        if len(parts) >= 3:
            table[parts[0]] = (parts[1].replace("state:", "").strip(), parts[2])
    return table


def unsettled(site, intent):
    """What keeps the cluster from being settled, or [] when it is."""
    if site.down or any(p.proc.poll() is not None for p in site.daemons.values()):
        return ["a daemon is down"]
    holders, fenced, _ = pool_world(site)
    if fenced:
        return [f"fenced: {sorted(fenced)}"]
    recs = [site.records(i) for i in NODES]
    if any(r != recs[0] for r in recs):
        return ["records differ between nodes"]
    faults = []
    for s in site.doc["services"]:
        name, pool = s["name"], s["pools"][0]
        rec = recs[0].get(name, {})
        writers = [h for h in holders.get(pool, []) if h not in fenced]
        want = intent.get(name)
        if rec.get("state") == 3 and want in ("run", "any"):
            on = [rec.get("run_node")]
            if writers != [f"node{on[0]}"]:
                faults.append(f"{name}: record names node {on[0]}, {pool} written by {writers}")
        elif rec.get("state") == 1 and want in ("stopped", "any"):
            on = []
            if writers:
                faults.append(f"{name}: stopped, {pool} written by {writers}")
        else:
            faults.append(f"{name}: record {rec}, operator wants {want}")
            continue
        if site.names:
            carriers = [i for i in NODES if s["ext_ips"][0]["ip"] + "/24" in site.addresses(i)]
            if carriers != on:
                faults.append(f"{name}: address on {carriers}, record says {on}")
    if faults:
        return faults
    table = service_table(site)
    for name, rec in recs[0].items():
        if name in intent:
            shown = ("STARTED", str(rec["run_node"])) if rec["state"] == 3 else ("STOPPED", None)
            got = table.get(name) if isinstance(table, dict) else table
            if not isinstance(got, tuple) or got[0] != shown[0] or (shown[1] and got[1] != shown[1]):
                faults.append(f"{name}: service status shows {got}, records {rec}")
    return faults


def stale_fenced(site):
    """Nodes that are fenced while their daemon runs and that still hold a pool: a node whose
    suspended imports keep it fenced, to serve again only after a reboot."""
    holders, fenced, _ = pool_world(site)
    return [i for i in NODES if f"node{i}" in fenced and i not in site.down
            and any(f"node{i}" in hs for hs in holders.values())]


def settle(site, checker, intent, what, notes):
    """Seconds until the cluster settled; fails on a violation or after SETTLE_S. A node
    left fenced with its stale imports for REBOOT_AFTER_S is rebooted, as an operator would."""
    t0 = time.monotonic()
    faults = ["not looked"]
    stale_since, quiet_since = {}, None
    while time.monotonic() - t0 < SETTLE_S:
        assert not checker.found, f"{what}: {checker.found}"
        faults = unsettled(site, intent)
        now = time.monotonic()
        if not faults:
            quiet_since = quiet_since or now
            if now - quiet_since >= QUIET_S:
                return quiet_since - t0
            time.sleep(1)
            continue
        quiet_since = None
        stale = stale_fenced(site)
        stale_since = {i: stale_since.get(i, now) for i in stale}
        for i in [i for i, t in stale_since.items() if now - t > REBOOT_AFTER_S]:
            notes.append(f"node {i} rebooted, left fenced with stale imports")
            reboot_host(site, i)
            del stale_since[i]
        time.sleep(0.5)
    raise AssertionError(f"{what}: not settled within {SETTLE_S} s: {faults}")


def operate(site, rng, intent, replies):
    """One or two operator commands, every reply kept (operator.json); the intent follows
    the ones that succeeded, and {service: node} of the moves and starts that did."""
    placed = {}
    for _ in range(rng.randint(1, 2)):
        name = rng.choice(sorted(intent))
        rec = site.records(NODES[0]).get(name, {})
        if rec.get("state") != 3:
            dst = rng.choice(NODES)
            args, then = ("service", "start", "-s", name, "--id", str(dst)), "run"
        elif rng.random() < 0.7 or list(intent.values()).count("stopped") >= 2:
            dst = rng.choice([i for i in NODES if i != rec.get("run_node")])
            args, then = ("service", "move", "-s", name, "--dst-id", str(dst)), "run"
        else:
            dst, args, then = None, ("service", "stop", "-s", name), "stopped"
        rc, out, err = site.pellix(*args)
        replies.append({"t": time.strftime("%H:%M:%S"), "args": args, "status": rc, "out": out, "err": err})
        with open(os.path.join(site.workdir, "operator.json"), "w") as f:
            json.dump(replies, f, indent=1)
        print(f"  operator: {' '.join(args)} -> {rc} {err.strip()}", flush=True)
        intent[name] = then if rc == 0 else "any"
        placed.pop(name, None)
        if rc == 0 and dst is not None:
            placed[name] = dst
    return placed


def test_nemesis(site, capsys):
    rng = random.Random(SEED)
    asked = os.environ.get("KELM_NEMESIS_FAULTS", ",".join(FAULTS)).split(",")
    unknown = [k for k in asked if k not in FAULTS]
    assert not unknown, f"KELM_NEMESIS_FAULTS: unknown kinds {unknown}; known: {','.join(FAULTS)}"
    kinds = [k for k in FAULTS if k in asked and (k != "partition" or site.names) and
             (k != "disk-full" or len(site.disks) == N)]
    assert kinds, f"KELM_NEMESIS_FAULTS: none of {asked} can be injected here"
    with capsys.disabled():  # the seed shows in a passing run's output too
        print(f"\nnemesis seed {SEED}, {N} nodes, {len(SERVICES)} services, {SECONDS:.0f} s, faults: {kinds}"
              f"{'' if site.names else ' (no namespaces: no partition, no addresses)'}", flush=True)
    checker = Checker(site)
    replies, history, times, reboots = [], [], {}, 0
    intent = site.intent
    intent.update({s["name"]: "run" for s in SERVICES})
    try:
        for i in NODES:
            site.start_node(i)
        wait_for_leader(site, timeout=60)
        checker.start()
        print(f"cold start settled after {settle(site, checker, intent, 'cold start', []):.1f} s", flush=True)
        t_end = time.monotonic() + SECONDS
        while time.monotonic() < t_end:
            t0 = time.monotonic()
            kind, node = rng.choice(kinds), rng.choice(NODES)
            history.append(f"{time.strftime('%H:%M:%S')} {kind} node {node}")
            print(f"fault {len(history)}: {kind} on node {node}", flush=True)
            notes = [FAULTS[kind](site, node, rng)]
            settle(site, checker, intent, f"after {kind} on node {node}", notes)
            with site.lock:
                site.cut.clear()
            took = time.monotonic() - t0
            times.setdefault(kind, []).append(took)
            print(f"  settled {took:.1f} s after the fault; {', '.join(n for n in notes if n)}", flush=True)
            reboots += len(notes) - 1
            placed = operate(site, rng, intent, replies)
            settle(site, checker, intent, "after the operator", notes)
            recs = site.records(NODES[0])
            wrong = {n: recs[n]["run_node"] for n, dst in placed.items() if recs[n]["run_node"] != dst}
            assert not wrong, f"moved or started to {placed}, running on {wrong}"
            time.sleep(max(0.0, t0 + rng.uniform(20, 40) - time.monotonic()))

        with site.lock:
            site.down.update(NODES)  # from here on the daemons are to exit
        site.daemons[rng.choice(NODES)].signal(signal.SIGQUIT)
        for i, p in site.daemons.items():
            try:
                rc = p.wait(180)
            except subprocess.TimeoutExpired:
                rc = "still running 180 s after SIGQUIT"
            assert rc == 0, f"daemon {i} after SIGQUIT: {rc}"
        checker.stop_flag.set()
        checker.join(5)
        assert not checker.found, checker.found
        left = {p: hs for p, hs in pool_world(site)[0].items() if hs}
        assert not left, f"pools still imported after the cluster stopped: {left}"
    except BaseException:
        keep = os.path.join(tempfile.gettempdir(), f"kelm-nemesis-{SEED}-{os.getpid()}")
        shutil.copytree(site.workdir, keep, ignore=shutil.ignore_patterns("filler"), dirs_exist_ok=True)
        print(f"nemesis seed {SEED} FAILED; faults: {history}; logs kept in {keep}", flush=True)
        raise
    finally:
        checker.stop_flag.set()
        with capsys.disabled():
            for kind, ts in sorted(times.items()):
                print(f"{kind}: {len(ts)} faults, settled after min {min(ts):.1f} / median "
                      f"{statistics.median(ts):.1f} / max {max(ts):.1f} s")
            print(f"{len(history)} faults, {reboots} reboots of nodes left fenced, {len(replies)} operator "
                  f"commands ({sum(r['status'] == 0 for r in replies)} succeeded), {checker.polls} polls, "
                  f"seed {SEED}", flush=True)
