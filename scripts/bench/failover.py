"""Leader failover figures: a 3-node cluster on loopback whose leader is killed with
SIGKILL and restarted, RUNS times over. Each round checks one leader per term, that
the restarted node rejoins as a follower and that every applied command log is a
prefix of the longest; it reports the time from the kill to the new leader's
"state changed ... -> LEADER" line (median, p95), and the idle daemons' RSS and CPU.

usage: failover.py BIN_DIR [RUNS]"""
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests"))
os.environ["KELM_BIN_DIR"] = sys.argv[1]

import kelm_harness  # noqa: E402
from raft_watch import (assert_one_leader_per_term, cmdlog, current_state, kill9, live, same_prefix,  # noqa: E402
                        wait_for_leader, wait_until)


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def idle_figures(cluster, seconds=10.0):
    pids = {i: p.pid for i, p in live(cluster).items()}
    before = {i: cpu_ticks(pid) for i, pid in pids.items()}
    time.sleep(seconds)
    hz = os.sysconf("SC_CLK_TCK")
    for i, pid in pids.items():
        cpu = (cpu_ticks(pid) - before[i]) / hz / seconds * 100
        print(f"idle node {i} ({current_state(cluster.daemons[i])}): RSS {rss_kb(pid) / 1024:.1f} MiB, CPU {cpu:.2f} %")


def main():
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    with tempfile.TemporaryDirectory(prefix="kelm-failover-") as work:
        c = kelm_harness.Cluster(work, kelm_harness.cluster_config(3))
        try:
            for i in (1, 2, 3):
                c.start(i, log_level="trace")
            leader = wait_for_leader(c, timeout=30)
            wait_until(lambda: all(cmdlog(c.db_path(i)) for i in (1, 2, 3)), 10, "session everywhere")
            idle_figures(c)
            times = []
            for run in range(runs):
                old = c.daemons[leader]
                t0 = time.monotonic()
                kill9(old)
                new = wait_for_leader(c, timeout=30, exclude=(leader,))
                times.append(time.monotonic() - t0)
                back = c.start(leader, log_level="trace")
                assert back.wait_for("[monitor] raft thread started", 10)
                wait_until(lambda: len(cmdlog(c.db_path(leader))) >= len(cmdlog(c.db_path(new))), 20, "rejoin")
                assert same_prefix([cmdlog(c.db_path(i)) for i in (1, 2, 3)])
                assert current_state(back) == "FOLLOWER", current_state(back)
                assert_one_leader_per_term(c)
                print(f"run {run + 1}: node {leader} killed, node {new} leads after {times[-1]:.2f} s")
                leader = new
            times.sort()
            p95 = times[min(len(times) - 1, int(round(0.95 * len(times))) - 1)]
            print(f"failover over {runs} runs: median {statistics.median(times):.2f} s, p95 {p95:.2f} s, "
                  f"min {times[0]:.2f} s, max {times[-1]:.2f} s")
            print(f"terms led: {sorted(assert_one_leader_per_term(c).items())}")
        finally:
            for p in c.processes:
                if p.proc.poll() is None:
                    kill9(p)
            c.stop_all()


if __name__ == "__main__":
    main()
