"""HA pair failover figures: two daemons with their Runners on three shared emulated
disks (two SCSI, one NVMe) carrying one service each. The node that leads goes down
(kill -9 of daemon and Runner, its host's imports dropped as in a reboot) RUNS times
over and comes back each time. Reported: the time from the kill to the survivor
leading with the reservation on every disk, and to every service running on it
(median, p95), and the double imports and dueling pre-emptions counted over all runs.

usage: ha_failover_bench.py BIN_DIR [RUNS]"""
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests"))
os.environ["KELM_BIN_DIR"] = sys.argv[1]

from ha_pair_site import HaPair, start_pair, survivor_leads, rejoin  # noqa: E402


def until(pred, timeout=300):
    """Seconds until pred holds, polled every 50 ms."""
    t0 = time.monotonic()
    while not pred():
        if time.monotonic() - t0 > timeout:
            raise AssertionError(f"not within {timeout} s")
        time.sleep(0.05)
    return time.monotonic() - t0


def p95(values):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(0.95 * len(s))) - 1)]


def summary(name, values):
    print(f"{name} over {len(values)} runs: median {statistics.median(values):.2f} s, p95 {p95(values):.2f} s, "
          f"min {min(values):.2f} s, max {max(values):.2f} s")


def main():
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    leading, serving = [], []
    with tempfile.TemporaryDirectory(prefix="kelm-ha-failover-") as work:
        c = HaPair(work)
        try:
            leader = start_pair(c)
            for run in range(runs):
                survivor = 3 - leader
                t0 = time.monotonic()
                c.crash_node(leader)
                until(lambda: survivor_leads(c, survivor))
                leading.append(time.monotonic() - t0)
                until(lambda: c.services_on(survivor))
                serving.append(time.monotonic() - t0)
                print(f"run {run + 1}: node {leader} down, node {survivor} leads after {leading[-1]:.2f} s, "
                      f"runs every service after {serving[-1]:.2f} s")
                rejoin(c, survivor, leader)
                leader = survivor
            summary("kill -> survivor leading", leading)
            summary("kill -> services running", serving)
            print(f"double imports {c.double_imports()}, dueling pre-emptions {c.dueling()}")
        finally:
            c.stop_all()


if __name__ == "__main__":
    main()
