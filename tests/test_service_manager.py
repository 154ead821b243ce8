"""The service manager inside kelm: its threads start with the daemon, and never
hold up its exit."""
import signal
import time

import pytest

from kelm_harness import binary


def lone_daemon_run(c, i):
    p = c.start(1, log_level="debug")
    assert p.wait_for("svc_app: Started on node 1", timeout=20), p.output() + p.errors()
    if i % 2:
        time.sleep(0.2)  # also after the stop of the cluster management service
    t0 = time.monotonic()
    p.signal(signal.SIGTERM)
    status = p.wait(20)
    took = time.monotonic() - t0
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
