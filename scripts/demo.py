"""Demo driver: a 3-node cluster on 127.0.0.1-3 in a directory of its own beside the
build, whose daemons are always stopped and whose logs and databases are kept (the
path is printed first and last). It elects a leader, replicates the cluster session
id, loses its leader to kill -9, elects another, and takes the killed node back as a
follower."""
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
os.environ["KELM_BIN_DIR"] = sys.argv[1]

import kelm_harness  # noqa: E402
import raft_watch  # noqa: E402

MONITOR_LINES = ("[monitor] state changed", "[monitor] node ", "[raft] leader lost majority", "[main] KELM")


def show(title, lines):
    print(f"\n== {title}")
    for line in lines:
        print("   " + line)


def monitor_lines(p, skip=0):
    lines = [line for line in p.output().splitlines() if any(t in line for t in MONITOR_LINES)]
    return lines[skip:]


def show_logs(cluster, ids):
    for i in ids:
        rows = raft_watch.cmdlog(cluster.db_path(i))
        show(f"node {i} command log (idx|term|key|value)", ["|".join(r) for r in rows])


def main():
    # Kept after the run: the daemons' logs are what a reader wants to look at next.
    work = tempfile.mkdtemp(prefix="demo-" + time.strftime("%Y%m%d-%H%M%S-"),
                            dir=os.path.dirname(os.path.abspath(sys.argv[1])))
    print(f"demo directory (logs kelm<node>-<run>.out, databases kelm<node>.db): {work}")
    cluster = kelm_harness.Cluster(work, kelm_harness.cluster_config(3))
    try:
        print(f"configuration: {cluster.config_path}")
        for node_id in (1, 2, 3):
            cluster.start(node_id, log_level="trace")
        t0 = time.monotonic()
        leader = raft_watch.wait_for_leader(cluster, timeout=30)
        print(f"\nnode {leader} leads after {time.monotonic() - t0:.1f} s "
              "(a node waits 5-6 s before it campaigns)")
        raft_watch.wait_until(lambda: all(raft_watch.session_ids(cluster.db_path(i)) for i in (1, 2, 3)), 10,
                              "session id on every node")
        seen = {}
        for node_id, p in cluster.daemons.items():
            lines = monitor_lines(p)
            seen[node_id] = len(lines)
            show(f"node {node_id}", lines)
        show_logs(cluster, (1, 2, 3))

        print(f"\n>>> kill -9 node {leader}, the leader")
        t0 = time.monotonic()
        raft_watch.kill9(cluster.daemons[leader])
        new = raft_watch.wait_for_leader(cluster, timeout=30, exclude=(leader,))
        print(f"node {new} leads after {time.monotonic() - t0:.1f} s")
        for node_id, p in raft_watch.live(cluster).items():
            show(f"node {node_id} since the kill", monitor_lines(p, seen[node_id]))

        print(f"\n>>> restart node {leader}")
        back = cluster.start(leader, log_level="trace")
        raft_watch.wait_until(lambda: len(raft_watch.cmdlog(cluster.db_path(leader)))
                              >= len(raft_watch.cmdlog(cluster.db_path(new))), 20, "catch-up")
        time.sleep(1.0)
        show(f"node {leader} after its restart (state {raft_watch.current_state(back)})", monitor_lines(back))
        show_logs(cluster, (1, 2, 3))
        led = raft_watch.assert_one_leader_per_term(cluster)
        print("\nterms and their one leader: " + ", ".join(f"t{t}: node {n[0]}" for t, n in sorted(led.items())))

        # The followers still know a leader, so a stop signal would only ask it to
        # stop them (the service manager does that); end them outright.
        for p in raft_watch.live(cluster).values():
            raft_watch.kill9(p)
        lone = cluster.start(1, log_level="info")
        lone.wait_for("[monitor] raft thread started", 10)
        lone.signal(signal.SIGTERM)
        status = lone.wait(10)
        show(f"node 1 alone, SIGTERM without a leader: status {status}", lone.output().splitlines()[-4:])
    except subprocess.TimeoutExpired as e:
        print(f"timed out: {e}")
    finally:
        cluster.stop_all()
        print(f"\nlogs and databases kept in {work}")


if __name__ == "__main__":
    main()
