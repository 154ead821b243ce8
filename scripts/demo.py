"""Demo driver: a 3-node cluster on 127.0.0.1-3 with a Runner per node and two
services made of emulated pools, in a directory of its own beside the build whose
logs and databases are kept (the path is printed first and last). The leader places
the services, a node's daemon is killed and its service moves to another node, the
node comes back and stays fenced while it holds the old pool, and the cluster is
stopped with SIGQUIT."""
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
os.environ["KELM_BIN_DIR"] = sys.argv[1]

import raft_watch  # noqa: E402
from service_site import ServiceCluster, wait_until  # noqa: E402

SERVICES = [{"name": "web", "pools": ["webpool"], "pri0": 2}, {"name": "db", "pools": ["dbpool"], "pri0": 3}]
SVC_LINES = ("svc_app: assign", "svc_app: service", "svc_app: start service", "svc_app: stop service",
             "svc_app: recovery", "Entire cluster", "Subsequent run", "fence", "svc_app: successfully sent")


def show(title, lines):
    print(f"\n== {title}")
    for line in lines:
        print("   " + line)


def where(site):
    """One line per service: its record as node 1..3 store it, and where its pool is imported."""
    live = sorted(raft_watch.live(site))
    recs = site.records(live[0] if live else 1)
    out = []
    for s in SERVICES:
        r = recs.get(s["name"], {})
        out.append(f'{s["name"]:4} state {r.get("state", "-")} run_node {r.get("run_node", "-")}   '
                   f'pool {s["pools"][0]} imported on {site.holders(s["pools"][0]) or "no node"}')
    return out


def svc_lines(p, skip=0):
    lines = [line for line in p.output().splitlines() if any(t in line for t in SVC_LINES)]
    return lines[skip:]


def main():
    work = tempfile.mkdtemp(prefix="demo-" + time.strftime("%Y%m%d-%H%M%S-"),
                            dir=os.path.dirname(os.path.abspath(sys.argv[1])))
    print(f"demo directory (logs kelm<node>-<run>.out, runner<node>-<run>.out, databases kelm<node>.db): {work}")
    site = ServiceCluster(work, 3, SERVICES)
    try:
        print(f"configuration: {site.config_path}")
        for i in (1, 2, 3):
            site.start_node(i, log_level="debug")
        t0 = time.monotonic()
        leader = raft_watch.wait_for_leader(site, timeout=30)
        print(f"\nnode {leader} leads after {time.monotonic() - t0:.1f} s (a node waits 5-6 s before it campaigns)")
        wait_until(lambda: all(site.holders(s["pools"][0]) for s in SERVICES), 60, "services placed")
        print(f"services running after {time.monotonic() - t0:.1f} s")
        show(f"node {leader} (leader) placing the services", svc_lines(site.daemons[leader]))
        show("where each service runs", where(site))

        victim = 3 if leader != 3 else 2
        moved = next(s for s in SERVICES if s["pri0"] == victim)
        seen = len(svc_lines(site.daemons[leader]))
        print(f"\n>>> kill -9 node {victim}'s daemon ({moved['name']} runs there; its host keeps the pool)")
        t0 = time.monotonic()
        raft_watch.kill9(site.daemons[victim])
        pool = moved["pools"][0]
        wait_until(lambda: any(h != f"node{victim}" for h in site.holders(pool)), 90, "service moved")
        print(f"{moved['name']} running on another node after {time.monotonic() - t0:.1f} s "
              "(4 s to notice, 8 s offline delay, fencing, recovery, start)")
        show(f"node {leader} (leader) moving it", svc_lines(site.daemons[leader], seen))
        show("where each service runs (the dead node's pool is fenced off: suspended there)", where(site))
        print(f"double imports seen by the emulated pool world: {site.double_imports()}")

        print(f"\n>>> restart node {victim}'s daemon")
        seen = len(site.daemons[leader].output().splitlines())
        site.start_node(victim, log_level="debug")

        def since_restart():
            return [line for line in site.daemons[leader].output().splitlines()[seen:]
                    if "svc_app" in line and f"node {victim}" in line.lower()]
        wait_until(lambda: any("left fenced" in line or "Enable run services" in line for line in since_restart()),
                   60, "rejoin")
        show(f"node {leader} (leader) taking node {victim} back: it still holds {pool}, suspended, so it stays fenced",
             since_restart()[-4:])
        print(f"double imports seen by the emulated pool world: {site.double_imports()}")

        print(f"\n>>> SIGQUIT to node {leader}, the leader: stop the cluster")
        site.daemons[leader].signal(signal.SIGQUIT)
        try:
            status = site.daemons[leader].wait(60)
            show(f"node {leader} stopped the services and exited with status {status}",
                 svc_lines(site.daemons[leader])[-4:])
        except subprocess.TimeoutExpired:
            print("the cluster did not stop within 60 s; stopping the processes")
        for i, p in sorted(site.daemons.items()):
            try:
                print(f"node {i}: exit status {p.wait(20)}")
            except subprocess.TimeoutExpired:
                print(f"node {i}: still running")
        show("where each service runs", where(site))
    except (subprocess.TimeoutExpired, AssertionError) as e:
        print(f"demo stopped: {e}")
    finally:
        site.stop_all()
        print(f"\nlogs and databases kept in {work}")


if __name__ == "__main__":
    main()
