"""A cluster that does its job: real daemons with their Runners, on the emulated
pools and fence tools, services made of emulated pools. Reads where each pool is
imported and what the replicated records say."""
import json
import os
import subprocess
import time

from kelm_harness import Cluster, Process, binary, cluster_config
from raft_watch import cmdlog


class ServiceCluster(Cluster):
    def __init__(self, workdir, n=3, services=None, vdevs=None, **top):
        doc = cluster_config(n, **top)
        doc["cluster"]["start_delay"] = 0
        for node in doc["nodes"]:
            node["assigned_target"] = f"iqn.2026-01.test:{node['nodename']}"
            node["devices"] = ["d0"]
        doc["services"] = services or []
        super().__init__(workdir, doc)
        self.runners = {}
        for s in doc["services"]:
            for pool in s.get("pools", []):
                spec = {"name": pool}
                if vdevs and pool in vdevs:
                    spec["vdevs"] = vdevs[pool]
                self.emul("zfs", "create", json.dumps(spec))
        self.emul("fence", "mesh", self.config_path)

    def emul(self, kind, *args):
        r = subprocess.run([binary(f"kelm-emul-{kind}"), *args], env=dict(os.environ, **self.env_for("admin")),
                           capture_output=True, text=True, timeout=30)
        assert r.returncode == 0, r.stderr
        return r.stdout

    def env_for(self, node_id):
        host = node_id if isinstance(node_id, str) else f"node{node_id}"
        return {"KELM_EMUL_ROOT": self.emul_root, "KELM_EMUL_HOST": host}

    def prefix_for(self, node_id):
        """The command that runs a node's programs where that node lives (none: here)."""
        return []

    def start_runner(self, node_id):
        p = Process([binary("kelm-runner"), "-c", self.config_path, "-n", str(node_id), "-l", "info"], self.workdir,
                    f"runner{node_id}-{len(self.processes)}", env=self.env_for(node_id),
                    prefix=self.prefix_for(node_id))
        self.runners[node_id] = p
        self.processes.append(p)
        assert p.wait_for("[runner] serving node", 15), p.output() + p.errors()
        return p

    def start_node(self, node_id, log_level="debug"):
        if node_id not in self.runners or self.runners[node_id].proc.poll() is not None:
            self.start_runner(node_id)
        return self.start(node_id, log_level=log_level, prefix=self.prefix_for(node_id))

    # ---- the truth of the pool world ----
    def pools(self):
        return json.loads(self.emul("zfs", "show"))["pools"].values()

    def holders(self, pool):
        return sorted(h for p in self.pools() if p["name"] == pool for h in p["imported_by"])

    def double_imports(self):
        return int(self.emul("zfs", "double-imports").strip())

    # ---- the replicated records, as one node stores them ----
    def records(self, node_id):
        out = {}
        for _, _, key, value in cmdlog(self.db_path(node_id)):
            if key.startswith("svc-") and key.endswith("-runstate"):
                out[key[4:-9]] = json.loads(value)
        return out


def wait_until(pred, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return
        time.sleep(0.2)
    raise AssertionError(f"not within {timeout} s: {what}")
