"""Service failover and activation figures, measured on real daemons, Runners, poolrun
and nodefence over the emulated pools, on loopback (run by hand on a release build):

1. service failover: kill -9 of a non-leader's daemon holding services, until every one
   of its services is running on another node (the start's reply in that node's Runner
   log); the node's host is then rebooted and rejoins before the next run;
2. the same with the leader killed (adds the election and the 10 s "Subsequent run");
3. activation of 100 services on 5 nodes: from the leader's "ACTIVATED" to the last
   service started, and the same without the deliberate waits (the session wait and
   the 2 s node-online delay): from the first assignment to the last start.

usage: failover_bench.py BIN_DIR [RUNS] [LEADER_RUNS]
With KELM_BENCH_KEEP set, the logs and databases stay in a directory under it.
With KELM_BENCH_ONLY set to "activation" or "failover", only that part runs."""
import datetime
import os
import re
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests"))
os.environ["KELM_BIN_DIR"] = sys.argv[1]

from bench_workdir import workdir  # noqa: E402
from raft_watch import live, wait_for_leader, wait_until  # noqa: E402
from service_site import ServiceCluster, kill_daemon, placement_faults, pool_world, reboot_host  # noqa: E402

LINE = re.compile(r"^\[([\d-]+ [\d:.]+)\] \[\w\] \[(\d+)\] (.*)$")
CALL = re.compile(r"\[runner\] >>> call 'service' data '\[\"\{\\\"cmd\\\":\\\"(\w+)\\\",\\\"serviceName\\\":\\\"([^\\]+)")


def stamp(text):
    return datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S.%f").timestamp()


def lines(process):
    for raw in process.output().splitlines():
        m = LINE.match(raw)
        if m:
            yield stamp(m.group(1)), m.group(2), m.group(3)


def runner_starts(site):
    """[(time of the successful reply, service, node)] of every "start" the Runners carried out."""
    out = []
    for p in site.processes:
        if not p.name.startswith("runner"):
            continue
        node = int(p.name.split("-")[0][len("runner"):])
        asked = {}
        for t, thread, text in lines(p):
            m = CALL.search(text)
            if m:
                asked[thread] = (m.group(1), m.group(2))
            elif "[runner] <<< call 'service' => '{\"response\"" in text and thread in asked:
                cmd, name = asked.pop(thread)
                if cmd == "start":
                    out.append((t, name, node))
    return out


def percentile95(values):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(0.95 * len(values))) - 1)]


def summary(title, times):
    if times:
        print(f"{title}: {len(times)} runs, median {statistics.median(times):.2f} s, p95 {percentile95(times):.2f} s, "
              f"min {min(times):.2f} s, max {max(times):.2f} s", flush=True)


def on_node(site, node, nodes):
    recs = site.records(nodes[0])
    return [name for name, r in recs.items() if r.get("run_node") == node and r.get("state") == 3]


def failover_runs(site, services, runs, kill_leader):
    nodes = (1, 2, 3)
    times = []
    for run in range(runs):
        leader = wait_for_leader(site, timeout=60)
        if kill_leader:
            victim = leader
        else:
            victim = max((i for i in nodes if i != leader), key=lambda i: len(on_node(site, i, nodes)))
        moving = on_node(site, victim, nodes)
        if not moving:
            print(f"run {run + 1}: node {victim} holds no service; skipped", flush=True)
            continue
        t0 = time.time()
        kill_daemon(site, victim)
        rest = tuple(i for i in nodes if i != victim)

        def started():
            done = {name: t for t, name, node in runner_starts(site) if t >= t0 and node != victim and name in moving}
            return done if len(done) == len(moving) else None
        done = wait_until(started, 180, "the victim's services started elsewhere")
        times.append(max(done.values()) - t0)
        wait_until(lambda: not placement_faults(site, services, rest, False), 60, "settled")
        print(f"run {run + 1}: node {victim}{' (leader)' if victim == leader else ''} killed, "
              f"{', '.join(sorted(moving))} running elsewhere after {times[-1]:.2f} s", flush=True)
        if any(f"node{victim}" in hs for hs in pool_world(site)[0].values()):
            reboot_host(site, victim)
        else:
            site.start_node(victim)
        text = f"svc_app: Enable run services on node {victim}"
        marks = {p.pid: p.output().count(text) for p in live(site).values()}
        wait_until(lambda: any(p.output().count(text) > marks.get(p.pid, 0) for p in live(site).values()), 120,
                   "the node serving again")
        wait_until(lambda: not placement_faults(site, services, nodes, True), 60, "settled with the node back")
    return times


def failover(runs, leader_runs):
    services = [{"name": f"s{i}", "pools": [f"p{i}"]} for i in range(1, 7)]
    with workdir("kelm-failover-bench-") as work:
        site = ServiceCluster(work, 3, services)
        try:
            for i in (1, 2, 3):
                site.start_node(i, log_level="debug")
            wait_for_leader(site, timeout=60)
            wait_until(lambda: not placement_faults(site, services, (1, 2, 3), True), 120, "cold start placed")
            summary("service failover, non-leader killed", failover_runs(site, services, runs, False))
            summary("service failover, leader killed", failover_runs(site, services, leader_runs, True))
        finally:
            site.stop_all()


def activation(n_nodes=5, n_services=100):
    services = [{"name": f"a{i:03}", "pools": [f"ap{i:03}"]} for i in range(n_services)]
    nodes = tuple(range(1, n_nodes + 1))
    with workdir("kelm-activation-bench-") as work:
        site = ServiceCluster(work, n_nodes, services)
        try:
            for i in nodes:
                site.start_node(i, log_level="debug")
            leader = wait_for_leader(site, timeout=60)
            wait_until(lambda: not placement_faults(site, services, nodes, True), 300, "100 services placed")
            log = list(lines(site.daemons[leader]))
            first = lambda text: next(t for t, _, x in log if text in x)  # noqa: E731
            activated, assigned = first("svc_app: ACTIVATED"), first("svc_app: assign service")
            waited = first("svc_app: wait for")
            last = max(t for t, _, x in log if re.search(r"svc_app: service \S+ on node \d+ started", x))
            print(f"activation of {n_services} services on {n_nodes} nodes: ACTIVATED to last start {last - activated:.2f} s; "
                  f"ACTIVATED to the session wait {waited - activated:.2f} s; "
                  f"first assignment to last start (no deliberate waits) {last - assigned:.2f} s", flush=True)
        finally:
            site.stop_all()


def main():
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    leader_runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    only = os.environ.get("KELM_BENCH_ONLY", "")
    if only in ("", "activation"):
        activation()
    if only in ("", "failover"):
        failover(runs, leader_runs)


if __name__ == "__main__":
    main()
