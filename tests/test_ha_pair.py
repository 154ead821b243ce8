"""An HA pair on shared emulated disks: the disk voter elects a leader, and after
kill -9 of the leader the survivor takes the reservation on every disk and leads."""
import json
import os
import signal
import subprocess
import time

from kelm_harness import binary, cluster_config

DISKS = [("da1", "scsi"), ("da2", "scsi"), ("nvme0ns1", "nvme")]


def emul_disk(root, *args, host="node1"):
    env = dict(os.environ, KELM_EMUL_ROOT=root, KELM_EMUL_HOST=host)
    r = subprocess.run([binary("kelm-emul-disk"), *args], env=env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, (args, r.stderr)
    return r.stdout


def leader_of(procs):
    for node_id, p in procs.items():
        out = p.output()
        if out.rfind("state changed CANDIDATE -> LEADER") > out.rfind("-> FOLLOWER"):
            return node_id
    return None


def wait_until(cond, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        v = cond()
        if v:
            return v
        time.sleep(0.2)
    return None


def test_pair_elects_and_fails_over_on_leader_kill(cluster_factory):
    doc = cluster_config(2, ha={"disks": [name for name, _ in DISKS]})
    c = cluster_factory(doc=doc)
    for name, proto in DISKS:
        emul_disk(c.emul_root, "create", name, proto)
    procs = {i: c.start(i) for i in (1, 2)}
    leader = wait_until(lambda: leader_of(procs), 90)
    assert leader, procs[1].output()[-3000:] + procs[2].output()[-3000:]
    for p in procs.values():
        assert "[HA reservation client] started" in p.output()
    survivor = 3 - leader
    os.killpg(procs[leader].pid, signal.SIGKILL)

    def survivor_holds_all():
        if leader_of({survivor: procs[survivor]}) != survivor:
            return False
        state = json.loads(emul_disk(c.emul_root, "show"))
        # The key's low 32 bits name its node (the high ones carry a term).
        return all(((state[name].get("reservation") or {}).get("key") or 0) & 0xFFFFFFFF == survivor
                   for name, _ in DISKS)

    assert wait_until(survivor_holds_all, 120), procs[survivor].output()[-4000:]
    assert "Obtain reservation done." in procs[survivor].output()

    # The operator's report, read as the survivor's host, shows the truth.
    env = dict(os.environ, KELM_EMUL_ROOT=c.emul_root, KELM_EMUL_HOST=f"node{survivor}")
    r = subprocess.run([binary("pellix-cluster"), "ha", "disk", "status", "--output", "json", "-c", c.config_path],
                       env=env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    report = json.loads(r.stdout)["ha"]
    assert report["node"]["id"] == survivor
    assert report["summary"]["quorum_holder"] == {"key": survivor, "node": survivor}
    r = subprocess.run([binary("pellix-cluster"), "ha", "disk", "status", "-c", c.config_path],
                       env=env, capture_output=True, text=True, timeout=60)
    assert f"Quorum:   2 of 3 required -> HELD by 0x{survivor}(n{survivor}*)\n" in r.stdout, r.stdout
