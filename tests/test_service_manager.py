"""The service manager inside kelm: its threads start with the daemon, and never
hold up its exit."""
import json
import shutil
import signal
import time

import pytest

from kelm_harness import binary, cluster_config, free_port, write_json


def lone_daemon_run(c, i):
    p = c.start(1, log_level="debug")
    assert p.wait_for("svc_app: Started on node 1", timeout=20), p.output() + p.errors()
    if i % 2:
        time.sleep(0.2)  # also after the stop of the cluster management service
    t0 = time.monotonic()
    p.signal(signal.SIGTERM)
    # Timed to the daemon's last line: what follows it (the sanitizers' leak check
    # in a test build, the kernel's teardown) is not the daemon's doing.
    p.wait_for("[main] KELM exit", timeout=20)
    took = time.monotonic() - t0
    status = p.wait(20)
    return p, status, took


def start_runner(c, processes, node_id):
    r = processes([binary("kelm-runner"), "-c", c.config_path, "-n", str(node_id), "-l", "debug"],
                  name=f"runner{node_id}", env=c.env_for(node_id))
    assert r.wait_for("[runner] serving node", timeout=15), r.output() + r.errors()
    return r


def test_lone_daemon_exits_on_sigterm_within_3s_50_times(cluster_factory, processes):
    # Without a leader a stop signal makes the daemon exit at once: the service
    # manager's threads (waiting on their condition variable) must not hold it up.
    # The node's Runner is up, as on every node: the service manager's first call
    # (the stop of the cluster management service) is answered at once.
    c = cluster_factory(3)
    start_runner(c, processes, 1)
    slowest = 0.0
    for i in range(50):
        p, status, took = lone_daemon_run(c, i)
        out = p.output()
        assert status == 0, out + p.errors()
        assert took < 3.0, f"run {i}: {took:.2f}s\n" + out
        assert "svc_app: do_execute: cleanup and exit" in out
        assert "[main] KELM exit" in out
        slowest = max(slowest, took)
    print(f"slowest exit {slowest:.2f}s")


def test_service_manager_starts_with_the_daemon(cluster_factory):
    c = cluster_factory(1)
    p = c.start(1)
    # A single node leads at once: the service manager is activated.
    assert p.wait_for("svc_app: get event 'ACTIVATE'", timeout=20), p.output()
    assert p.wait_for("svc_app: ACTIVATED on node 1", timeout=20), p.output()
    # A leader's stop signal is the node-stop handling's to carry out; the
    # harness ends this daemon.


POOLRUN = r"""#!/bin/sh
# A poolrun that succeeds for services named ok-* and fails for every other.
eval name=\${$#}
case "$name" in
  ok-*) echo "[t] [I] [1] phase=service : done"; exit 0 ;;
  *)    echo "[t] [E] [1] FAILED phase=pool name=$name exit=13 : cannot import pool"; exit 13 ;;
esac
"""


def rec(state, run_node=1, session="S", failed=False):
    return json.dumps({"disabled_once": False, "enabled": True, "failed": failed, "run_node": run_node,
                       "session_id": session, "state": state}, separators=(",", ":"), sort_keys=True)


# name: (state, retries, run_node, stale, stored record or "", thrown, last_error)
FAILED_MSG = "FAILED phase=pool name={} exit=13 : cannot import pool"
EXPECTED = {
    "ok-start": (3, 0, 1, False, rec(3), "", ""),
    # The failed start stays "starting": a stop comes before it is placed anywhere else.
    "fail-start": (2, 1, 1, False, rec(2), "", ""),
    "to-start": (2, 1, 2, False, rec(2, 2), "", ""),
    "off-start": (2, 1, 3, False, rec(2, 3), "", ""),
    "ok-stop": (1, 0, 1024, False, rec(1), "", ""),
    "fail-stop": (3, 1, 1, False, rec(3), "", FAILED_MSG.format("fail-stop")),
    "to-stop": (4, 1, 2, False, rec(4, 2), "", "Can't connect to 127.0.0.1:{closed}"),
    "ok-stalestop": (5, 0, 1, False, rec(5, session="-"), "", ""),
    "fail-stalestop": (3, 1, 1, True, "", "", FAILED_MSG.format("fail-stalestop")),
    "ok-recover": (1, 0, 1, False, rec(1), "", ""),
    "ok-stalerecover": (1, 0, 1024, False, rec(1, session="-"), "", ""),
    "fail-recover": (5, 1, 1, False, rec(5), "", ""),
    "off-recover": (6, 1, 3, False, rec(6, 3), "", ""),
    # A record of an earlier leadership is not saved, and its Runner is not asked.
    "ok-oldterm": (2, 0, 1, False, "", "Error saving service state: ETIMEDOUT", ""),
}


def test_actions_against_a_real_runner(tmp_path, processes):
    doc = cluster_config(1)
    config = write_json(tmp_path / "config.json", doc)
    bindir = tmp_path / "bin"
    bindir.mkdir()
    shutil.copy2(binary("kelm-runner"), bindir / "kelm-runner")
    (bindir / "poolrun").write_text(POOLRUN)
    (bindir / "poolrun").chmod(0o755)
    env = {"KELM_EMUL_ROOT": str(tmp_path / "emul"), "KELM_EMUL_HOST": "node1"}
    runner_port = doc["nodes"][0]["runner_port"]
    r = processes([str(bindir / "kelm-runner"), "-c", config, "-n", "1", "-l", "debug"], name="runner1", env=env)
    assert r.wait_for("[runner] serving node", timeout=15), r.output() + r.errors()
    closed = free_port()
    probe = processes([binary("test-svc-actions"), str(runner_port), str(closed)], name="probe")
    assert probe.wait(120) == 0, probe.output() + probe.errors()
    rows = {}
    for line in probe.output().splitlines():
        if line.startswith("ROW "):
            row = json.loads(line[4:])
            rows[row["name"]] = row
    assert set(rows) == set(EXPECTED), probe.output()
    for name, (state, retries, run_node, stale, stored, thrown, last_error) in EXPECTED.items():
        got = rows[name]
        want = {"name": name, "state": state, "retries": retries, "run_node": run_node, "stale": stale,
                "stored": stored, "thrown": thrown, "last_error": last_error.format(closed=closed)}
        assert got == want, name
    calls = r.output()
    assert "ok-oldterm" not in calls
