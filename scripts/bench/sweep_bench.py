"""The sweep of the other nodes' services, before and after it was narrowed, measured
on real daemons, Runners, poolrun and nodefence over the emulated pools on loopback
(run by hand on two release builds; the figures are printed, never asserted).

For each build tree, 5 nodes:
1. a cold start of 100 services, then one of 500: from the leader's "ACTIVATED" to the
   last service started, the poolrun stop calls in each Runner's log and the stop hook
   runs on each node (one recording hook in service.d, which every stop runs once per
   pool of the service it stops, where it runs hooks at all);
2. a leader takeover in the 500-service cluster: kill -9 of the leader's daemon (its
   Runner and imports stay, as on a host whose daemon died); counted from the kill until
   every service runs again on the other four nodes: the same stop calls and hook runs on
   the four, the kill to the last start, and the new leader's "ACTIVATED" to the last
   start.

usage: sweep_bench.py BEFORE_TREE AFTER_TREE [SERVICES ...]
A tree is a build directory holding bin/ (or the bin directory itself); SERVICES are the
cold-start sizes (default 100 500), and the takeover runs on the largest. With
KELM_BENCH_KEEP set, the logs and databases stay in a directory under it."""
import datetime
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests"))

import kelm_harness  # noqa: E402
from bench_workdir import workdir  # noqa: E402
from raft_watch import wait_for_leader, wait_until  # noqa: E402
from service_site import ServiceCluster, kill_daemon, placement_faults, runner_runs  # noqa: E402

NODES = (1, 2, 3, 4, 5)
LINE = re.compile(r"^\[([\d-]+ [\d:.]+)\] \[\w\] \[\d+\] (.*)$")
STARTED = re.compile(r"svc_app: service (\S+) on node \d+ started")


def bin_dir(tree):
    for d in (os.path.join(tree, "bin"), tree):
        if os.access(os.path.join(d, "kelm"), os.X_OK):
            return os.path.abspath(d)
    sys.exit(f"sweep_bench: no kelm program in {tree}/bin or {tree}")


def log_lines(process):
    """(time, text) of every log line of a daemon."""
    for raw in process.output().splitlines():
        m = LINE.match(raw)
        if m:
            yield datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f").timestamp(), m.group(2)


class Counts:
    """Stop calls per Runner log and stop hook runs per node, read at one moment, so
    that a later reading minus this one counts what happened in between."""

    def __init__(self, site=None):
        if site is None:
            self.stops = dict.fromkeys(NODES, 0)
            self.hooks = dict.fromkeys(NODES, 0)
            return
        self.stops = {i: sum(1 for r in runner_runs(site, i) if r.startswith("stop ")) for i in NODES}
        path = os.path.join(site.workdir, "hooks.log")
        hooks = open(path).read().split("\n") if os.path.exists(path) else []
        self.hooks = {i: sum(1 for h in hooks if h.startswith(f"stop {i} ")) for i in NODES}

    def since(self, earlier, nodes):
        return ({i: self.stops[i] - earlier.stops[i] for i in nodes},
                {i: self.hooks[i] - earlier.hooks[i] for i in nodes})


def with_hook(site):
    """A stop hook that every poolrun of every emulated host finds (one file tree)."""
    hooks = os.path.join(site.emul_root, "fs/usr/local/libexec/kelm/service.d")
    os.makedirs(hooks, exist_ok=True)
    path = os.path.join(hooks, "001.count")
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" f'echo "$1 ${{PELLIX_NODE_ID--}} ${{PELLIX_SERVICE--}}" >> {site.workdir}/hooks.log\n')
    os.chmod(path, 0o755)


def per_node(d):
    return " ".join(f"n{i}={v}" for i, v in sorted(d.items()))


def last_start(log, since, names):
    done = {}
    for t, text in log:
        m = STARTED.search(text)
        if t >= since and m and m.group(1) in names:
            done[m.group(1)] = t
    return done


def cold_start(label, n_services, takeover, results):
    services = [{"name": f"a{i:03}", "pools": [f"ap{i:03}"]} for i in range(n_services)]
    names = {s["name"] for s in services}
    with workdir(f"kelm-sweep-bench-{label}-") as work:
        site = ServiceCluster(work, len(NODES), services)
        with_hook(site)
        try:
            for i in NODES:
                site.start_node(i, log_level="info")
            leader = wait_for_leader(site, timeout=60)
            wait_until(lambda: not placement_faults(site, services, NODES, True), 1800,
                       f"{n_services} services placed")
            log = list(log_lines(site.daemons[leader]))
            activated = next(t for t, x in log if "svc_app: ACTIVATED" in x)
            done = last_start(log, activated, names)
            stops, hooks = Counts(site).since(Counts(), NODES)
            results.append((label, f"cold start, {n_services} services",
                            f"ACTIVATED to last start {max(done.values()) - activated:.2f} s",
                            stops, hooks))
            print(f"[{label}] cold start of {n_services} services: {results[-1][2]}; "
                  f"stop calls {per_node(stops)}; stop hook runs {per_node(hooks)}", flush=True)
            if takeover:
                leader_takeover(label, site, services, leader, results)
        finally:
            site.stop_all()


def leader_takeover(label, site, services, leader, results):
    rest = tuple(i for i in NODES if i != leader)
    moving = {n for n, r in site.records(leader).items() if r.get("run_node") == leader}
    before = Counts(site)
    t0 = time.time()
    kill_daemon(site, leader)
    new_leader = wait_for_leader(site, timeout=60)
    wait_until(lambda: not placement_faults(site, services, rest, False), 1800, "settled on the other four")
    settled = time.time()
    stops, hooks = Counts(site).since(before, rest)
    log = list(log_lines(site.daemons[new_leader]))
    activated = next(t for t, x in log if t >= t0 and "svc_app: ACTIVATED" in x)
    done = last_start(log, t0, moving)
    last = max(done.values()) if done else settled
    results.append((label, f"leader takeover, {len(services)} services ({len(moving)} moved)",
                    f"kill to last start {last - t0:.2f} s, ACTIVATED to last start {last - activated:.2f} s",
                    stops, hooks))
    print(f"[{label}] leader takeover (node {leader} killed, node {new_leader} leads, {len(moving)} services moved): "
          f"{results[-1][2]}; stop calls {per_node(stops)}; stop hook runs {per_node(hooks)}", flush=True)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    trees = {"before": bin_dir(sys.argv[1]), "after": bin_dir(sys.argv[2])}
    sizes = [int(a) for a in sys.argv[3:]] or [100, 500]
    results = []
    for label, path in trees.items():
        # Every program (daemon, Runner, poolrun, the emulated tools) comes from this tree.
        kelm_harness.BIN_DIR = path
        for n in sizes:
            cold_start(label, n, n == max(sizes), results)
    print("\nsweep benchmark, 5 nodes (stop calls per Runner log, stop hook runs per node)")
    for label, what, timing, stops, hooks in results:
        print(f"{label:6} {what}: {timing}\n       stop calls {per_node(stops)}\n       stop hook runs {per_node(hooks)}")


if __name__ == "__main__":
    main()
