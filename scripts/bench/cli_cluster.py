"""Operator-facing figures on a real 3-node cluster on loopback (daemons, Runners,
poolrun on the emulated pools) holding SERVICES services:
  - `pellix-cluster status` wall time, process start included, over RUNS runs;
  - a mutating request's overhead beyond the Runner: the round trip of a service
    stop or start over ZMQ minus the time the leader spent in that Runner call
    (from its ">>> call" / "<<< call" debug lines);
  - the time from kill -9 of the leader to the endpoint answering again.

usage: cli_cluster.py BIN_DIR [SERVICES [RUNS]]"""
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests"))
os.environ["KELM_BIN_DIR"] = sys.argv[1]

import zmq  # noqa: E402

from kelm_harness import binary  # noqa: E402
from raft_watch import kill9, wait_for_leader  # noqa: E402
from service_site import ServiceCluster, wait_until  # noqa: E402

CALL = re.compile(r"^\[([\d\- :.]+)\] \[D\] \[(\d+)\] \[monitor\] (>>>|<<<) call '\d+' cmd 'service' "
                  r"data '\{\"cmd\":\"(\w+)\",\"serviceName\":\"([^\"]+)\"\}'")


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100 * (len(v) - 1))))]


def ms(values):
    return f"p50 {pct(values, 50) * 1000:.1f} ms, p99 {pct(values, 99) * 1000:.1f} ms (n={len(values)})"


def ask(url, request, timeout_ms=60000):
    s = zmq.Context.instance().socket(zmq.REQ)
    s.setsockopt(zmq.LINGER, 0)
    s.setsockopt(zmq.RCVTIMEO, timeout_ms)
    s.connect(url)
    try:
        s.send(json.dumps(request).encode())
        return json.loads(s.recv())
    except zmq.Again:
        return None
    finally:
        s.close()


def runner_seconds(leader_output, cmd, name):
    """The last Runner call's duration for (cmd, name) in the leader's log."""
    start = None
    took = None
    for line in leader_output.splitlines():
        m = CALL.match(line)
        if not m or m.group(4) != cmd or m.group(5) != name:
            continue
        t = datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f").timestamp()
        if m.group(3) == ">>>":
            start = t
        elif start is not None:
            took = t - start
    return took


def main():
    n_services = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    services = [{"name": f"s{i}", "pools": [f"p{i}"]} for i in range(n_services)]
    with tempfile.TemporaryDirectory(prefix="kelm-cli-bench-") as d:
        site = ServiceCluster(d, 3, services)
        try:
            for i in (1, 2, 3):
                site.start_node(i, log_level="debug")
            leader = wait_for_leader(site, 30)
            url = site.doc["cluster"]["mgmt-url"]
            wait_until(lambda: all(len(site.holders(f"p{i}")) == 1 for i in range(n_services)), 300, "all placed")
            wait_until(lambda: (r := ask(url, {"call": "service", "cmd": "status"})) and
                       all(s["state"] == "STARTED" for s in r["response"]), 120, "all started")

            argv = [binary("pellix-cluster"), "-c", site.config_path, "status"]
            walls = []
            for _ in range(runs):
                t0 = time.perf_counter()
                r = subprocess.run(argv, capture_output=True)
                walls.append(time.perf_counter() - t0)
                assert r.returncode == 0, r.stderr
            t0 = time.perf_counter()
            for _ in range(runs):
                subprocess.run(["/bin/true"])
            true_s = (time.perf_counter() - t0) / runs
            print(f"pellix-cluster status, 3 nodes, {n_services} services: {ms(walls)}; /bin/true {true_s * 1000:.1f} ms")

            overhead = {"stop": [], "start": []}
            for i in range(min(20, n_services)):
                name = f"s{i}"
                for cmd, extra in (("stop", {}), ("start", {"nodeId": leader})):
                    t0 = time.perf_counter()
                    reply = ask(url, dict({"call": "service", "cmd": cmd, "serviceName": name}, **extra))
                    rtt = time.perf_counter() - t0
                    assert reply == {"response": None}, (cmd, name, reply)
                    runner = runner_seconds(site.daemons[leader].output(), cmd, name)
                    overhead[cmd].append(rtt - runner)
            for cmd, v in overhead.items():
                print(f"service {cmd} over ZMQ beyond its Runner call: {ms(v)}")

            t_kill = time.monotonic()
            kill9(site.daemons[leader])
            while ask(url, {"call": "help"}, 300) is None:
                time.sleep(0.05)
            print(f"endpoint answering again {time.monotonic() - t_kill:.2f} s after kill -9 of the leader")
        finally:
            site.stop_all()


if __name__ == "__main__":
    main()
