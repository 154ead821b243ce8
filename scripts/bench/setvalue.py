"""set-value commit latency on a 3-node loopback cluster, and etcd's put on a
3-member loopback cluster in the same run for comparison.

kelm: setvalue_bench is node 1 (the only node that may lead), two real daemons are
nodes 2 and 3. etcd: three etcd members; puts go through its HTTP gateway on one
kept-alive connection (the commit path without a process start per put), and a
smaller sample through `etcdctl put` (process start included).

usage: setvalue.py BIN_DIR [PUTS]"""
import base64
import http.client
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests"))
os.environ["KELM_BIN_DIR"] = sys.argv[1]

import kelm_harness  # noqa: E402


def percentile(sorted_values, p):
    return sorted_values[min(len(sorted_values) - 1, int(len(sorted_values) * p / 100))]


def report(name, ms):
    ms = sorted(ms)
    total = sum(ms) / 1000.0
    print(f"{name}: n={len(ms)} p50 {percentile(ms, 50):.2f} ms, p99 {percentile(ms, 99):.2f} ms, "
          f"{len(ms) / total:.0f} writes/s (one writer)")


def run_kelm(work, bin_dir):
    doc = kelm_harness.cluster_config(3)
    for n in doc["nodes"]:
        n["internal_addr"] = "127.0.0.1"
        n["leadership_disabled"] = n["id"] != 1
    cluster = kelm_harness.Cluster(work, doc)
    try:
        for i in (2, 3):
            cluster.start(i, log_level="warn")
        r = subprocess.run([os.path.join(bin_dir, "..", "bench", "setvalue_bench"), cluster.config_path, cluster.db_path(1),
                            "--benchmark_counters_tabular=true"], capture_output=True, text=True, timeout=300,
                           env=dict(os.environ, KELM_EMUL_ROOT=cluster.emul_root, KELM_EMUL_HOST="node1"))
        print(r.stdout)
        if r.returncode != 0:
            print(r.stderr[-3000:])
    finally:
        cluster.stop_all()


def run_etcd(work, puts):
    if shutil.which("etcd") is None:
        print("etcd not installed (scripts/deps installs etcd-server and etcd-client)")
        return
    members = []
    for i in range(3):
        members.append((f"e{i}", kelm_harness.free_port(), kelm_harness.free_port()))
    initial = ",".join(f"{n}=http://127.0.0.1:{peer}" for n, _, peer in members)
    procs = []
    try:
        for name, client, peer in members:
            argv = ["etcd", "--name", name, "--data-dir", os.path.join(work, name),
                    "--listen-client-urls", f"http://127.0.0.1:{client}",
                    "--advertise-client-urls", f"http://127.0.0.1:{client}",
                    "--listen-peer-urls", f"http://127.0.0.1:{peer}",
                    "--initial-advertise-peer-urls", f"http://127.0.0.1:{peer}",
                    "--initial-cluster", initial, "--initial-cluster-state", "new", "--log-level", "error"]
            procs.append(kelm_harness.Process(argv, work, name))
        endpoints = ",".join(f"127.0.0.1:{c}" for _, c, _ in members)
        env = dict(os.environ, ETCDCTL_API="3")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            r = subprocess.run(["etcdctl", "--endpoints", endpoints, "endpoint", "health"], capture_output=True,
                               env=env, timeout=30)
            if r.returncode == 0:
                break
            time.sleep(0.5)
        # Find the leader and write to it, as kelm's writer sits on its leader.
        st = json.loads(subprocess.run(["etcdctl", "--endpoints", endpoints, "endpoint", "status", "-w", "json"],
                                       capture_output=True, text=True, env=env, timeout=30).stdout)
        leader_port = next(int(s["Endpoint"].rsplit(":", 1)[1]) for s in st
                           if s["Status"]["leader"] == s["Status"]["header"]["member_id"])
        conn = http.client.HTTPConnection("127.0.0.1", leader_port, timeout=10)
        ms = []
        for n in range(puts):
            body = json.dumps({"key": base64.b64encode(b"bench/key").decode(),
                               "value": base64.b64encode(str(n).encode()).decode()})
            t0 = time.perf_counter()
            conn.request("POST", "/v3/kv/put", body, {"Content-Type": "application/json"})
            resp = conn.getresponse()
            resp.read()
            ms.append((time.perf_counter() - t0) * 1000)
            assert resp.status == 200, resp.status
        report("etcd put (HTTP gateway, leader)", ms)
        ms = []
        for n in range(100):
            t0 = time.perf_counter()
            subprocess.run(["etcdctl", "--endpoints", f"127.0.0.1:{leader_port}", "put", "bench/key", str(n)],
                           capture_output=True, env=env, timeout=30, check=True)
            ms.append((time.perf_counter() - t0) * 1000)
        report("etcdctl put (process start included)", ms)
    finally:
        for p in procs:
            p.stop()


def main():
    bin_dir = sys.argv[1]
    puts = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    with tempfile.TemporaryDirectory(prefix="kelm-setvalue-", dir=os.environ.get("KELM_BENCH_DIR")) as work:
        run_kelm(work, bin_dir)
        run_etcd(work, puts)


if __name__ == "__main__":
    main()
